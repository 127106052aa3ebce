#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zf::test {

using namespace std::chrono_literals;

// The built program: $ZF_BIN_DIR/zentrafold (set by CTest).
std::string ProgramPath();

// Polls `done` every `step` until it holds or `timeout` has passed; answers
// whether it held. Tests wait for a state this way, never with a fixed sleep.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step = 25ms);

// A run of the program as a child process with its standard output and error
// read through pipes as they come. The destructor kills a child still running.
class ProgramRun {
 public:
  explicit ProgramRun(const std::vector<std::string>& args,
                      const std::string& program = ProgramPath());
  ~ProgramRun();
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  pid_t pid() const { return pid_; }
  std::vector<std::string> OutLines() const;  // complete lines so far
  std::string Out() const;
  std::string Err() const;

  // Waits until `done` holds for the output lines so far.
  bool WaitForOut(const std::function<bool(const std::vector<std::string>&)>& done,
                  std::chrono::milliseconds timeout);
  bool WaitForErr(const std::string& text, std::chrono::milliseconds timeout);

  void Signal(int signal);
  // The exit status once the child has ended and its output is read whole:
  // its exit code, or 128 + the signal that killed it; nothing on time-out.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout);

 private:
  void Read(int outFd, int errFd);

  pid_t pid_ = -1;
  std::optional<int> status_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_;
  std::string err_;
  bool eof_ = false;
  std::thread reader_;
};

struct Finished {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the program to its end (killed after `timeout`).
Finished RunProgram(const std::vector<std::string>& args,
                    const std::string& program = ProgramPath(),
                    std::chrono::milliseconds timeout = 60s);

}  // namespace zf::test
