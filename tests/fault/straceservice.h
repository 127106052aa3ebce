#pragma once

// The real program under strace: a service on a configuration of its own in a
// temporary folder, one of its threads traced (and killed or failed at a
// chosen system call), its calls read back from strace's output.
//
// strace counts `when=N` per system call and per traced thread. A crash point
// must be "the worker's Nth write", not whichever thread gets to its Nth
// write first, so a run traces exactly one thread: the worker (attached
// while it waits out its first browse time, before its first pass), the main
// thread from the program's start (configuration, clean-up, log renewal at
// start; threads it starts are not followed) or the main thread once the
// service is serving (what it does after SIGTERM: saving the configuration).

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "config/queuetable.h"
#include "config/settings.h"
#include "programrunner.h"
#include "tempdir.h"

namespace zf::fault {

// The system calls of every write path, traced in every run.
extern const char* const kWritePathCalls;

enum class Traced { kWorker, kStartUp, kClose };

// One system call of a trace (strace -y shows each descriptor's path).
struct TracedCall {
  std::string name;  // "openat"
  int ordinal = 0;   // 1 for the thread's first call of this name
  std::string line;
  bool ours = false;  // names or uses a path under the scenario's folder
  // The call's name with the scenario's paths in it, the folder replaced by
  // "<root>" and the random part of a temporary name masked: the same step
  // reads the same in every run.
  std::string Signature() const;
};

// The calls in strace's output file `file`, and whether the thread died of
// SIGKILL there (the last call is then the one it died in).
struct Trace {
  std::vector<TracedCall> calls;
  bool killed = false;
  // The calls of `name` on our paths, by ordinal.
  std::vector<const TracedCall*> Ours(const std::string& name) const;
  const TracedCall* Find(const std::string& name, int ordinal) const;
};
Trace ReadTrace(const std::string& file, const std::string& root);

// A temporary folder holding a scenario: the configuration in config/, the
// queue folders beside it.
class ServiceBench {
 public:
  std::string root() const { return dir_.path().string(); }
  // root/name, created with its parents.
  std::string Folder(const std::string& name);
  std::string ConfigDir() { return Folder("config"); }
  std::string QueueFile();
  void Configure(const std::vector<QueueRecord>& queues, const GeneralSettings& settings);
  int queues() const { return queues_; }
  // The arguments of a verbose headless run on this configuration.
  std::vector<std::string> Args();

 private:
  test::TempDir dir_;
  int queues_ = 0;
};

// How many passes the verbose service has finished, read from its standard
// error: it announces each pass as it starts ("pass over N queue(s)"), and
// only queues with work say when they are done, so a pass counts as
// finished once the next one has begun.
int PassesDone(const std::string& err);

// The service with one of its threads under strace.
class TracedService {
 public:
  // `inject`: strace's -e inject= expression, or empty to trace only;
  // `env`: VAR=value settings for the service; `options`: more for strace.
  TracedService(ServiceBench& bench, Traced traced, const std::string& inject,
                const std::vector<std::string>& env = {},
                const std::vector<std::string>& options = {});
  ~TracedService();
  TracedService(const TracedService&) = delete;
  TracedService& operator=(const TracedService&) = delete;

  // strace holds the thread before it made a call we trace.
  bool attached() const { return attached_; }
  // Waits until the service has ended or finished `passes` passes in all.
  void WaitPassesOrEnd(int passes, std::chrono::milliseconds timeout);
  bool Ended();
  // Ends strace; the service goes on untraced.
  void Detach();
  // Stops the service with SIGTERM; its exit status, nothing on time-out.
  std::optional<int> Stop(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Waits for the end of the service (after a kill) and of strace.
  std::optional<int> WaitEnd(std::chrono::milliseconds timeout);
  int Passes() const;
  std::string Err() const;
  std::string Out() const;
  pid_t servicePid() const { return servicePid_; }
  // strace's output so far (whole once strace has ended).
  Trace ReadCalls() const;

 private:
  std::string root_;
  std::string traceFile_;
  std::unique_ptr<test::ProgramRun> service_;  // kWorker, kClose
  std::unique_ptr<test::ProgramRun> strace_;
  pid_t servicePid_ = -1;
  bool attached_ = false;
  std::optional<int> status_;
};

// Starts the service again on the bench's configuration, lets one full pass
// run and stops it; answers the standard error, or why that failed.
struct Restarted {
  bool passed = false;
  std::optional<int> status;
  std::string err;
};
Restarted RestartOnePass(ServiceBench& bench, int passes = 1);

// How many runs of the service go at once (ZF_FAULT_JOBS, else 6): the runs
// mostly wait out browse and stable times, so several cost little more
// than one.
int FaultJobs();

// The names of the files in `folder` (not in subfolders).
std::vector<std::string> FilesIn(const std::string& folder);

}  // namespace zf::fault
