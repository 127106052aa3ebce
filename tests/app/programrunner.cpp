#include "programrunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace zf::test {

std::string ProgramPath() {
  const char* dir = std::getenv("ZF_BIN_DIR");
  if (dir == nullptr) throw std::runtime_error("ZF_BIN_DIR is not set; run the test under CTest");
  return std::string(dir) + "/zentrafold";
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
}

ProgramRun::ProgramRun(const std::vector<std::string>& args, const std::string& program) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // The child starts with nothing blocked and the default actions, whatever
  // the test runner has set up for itself.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(out[0]);
    close(err[0]);
    throw std::runtime_error("cannot start " + program);
  }
  reader_ = std::thread([this, o = out[0], e = err[0]] { Read(o, e); });
}

ProgramRun::~ProgramRun() {
  if (!status_) {
    kill(pid_, SIGKILL);
    int ignored = 0;
    waitpid(pid_, &ignored, 0);
  }
  if (reader_.joinable()) reader_.join();
}

void ProgramRun::Read(int outFd, int errFd) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  int open = 2;
  char buffer[4096];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        std::lock_guard lock(mutex_);
        (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
    changed_.notify_all();
  }
  for (const pollfd& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }
  {
    std::lock_guard lock(mutex_);
    eof_ = true;
  }
  changed_.notify_all();
}

std::vector<std::string> ProgramRun::OutLines() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t nl; (nl = out_.find('\n', from)) != std::string::npos; from = nl + 1) {
    lines.push_back(out_.substr(from, nl - from));
  }
  return lines;
}

std::string ProgramRun::Out() const {
  std::lock_guard lock(mutex_);
  return out_;
}

std::string ProgramRun::Err() const {
  std::lock_guard lock(mutex_);
  return err_;
}

bool ProgramRun::WaitForOut(const std::function<bool(const std::vector<std::string>&)>& done,
                            std::chrono::milliseconds timeout) {
  return WaitUntil([&] { return done(OutLines()); }, timeout);
}

bool ProgramRun::WaitForErr(const std::string& text, std::chrono::milliseconds timeout) {
  return WaitUntil([&] { return Err().find(text) != std::string::npos; }, timeout);
}

void ProgramRun::Signal(int signal) {
  if (!status_) kill(pid_, signal);
}

std::optional<int> ProgramRun::WaitExit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const bool ended = WaitUntil(
      [&] {
        int raw = 0;
        const pid_t r = waitpid(pid_, &raw, WNOHANG);
        if (r != pid_) return false;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return true;
      },
      timeout, 10ms);
  if (!ended) return std::nullopt;
  // The pipes close with the child (unless it left a grandchild holding them).
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, 5s, [&] { return eof_; });
  return status_;
}

Finished RunProgram(const std::vector<std::string>& args, const std::string& program,
                    std::chrono::milliseconds timeout) {
  ProgramRun run(args, program);
  const std::optional<int> status = run.WaitExit(timeout);
  return Finished{status.value_or(-1), run.Out(), run.Err()};
}

}  // namespace zf::test
