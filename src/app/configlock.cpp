#include "configlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "lineprinter.h"

namespace zf::app {
namespace {

std::string ReadProcFile(pid_t pid, const char* name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

pid_t ReadPid(int fd) {
  char text[32] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  const long pid = std::strtol(text, nullptr, 10);
  return pid > 0 ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

std::string DescribeProcess(pid_t pid) {
  std::string text = "process " + std::to_string(pid);
  std::string command = ReadProcFile(pid, "cmdline");
  while (!command.empty() && command.back() == '\0') command.pop_back();
  for (char& c : command)
    if (c == '\0') c = ' ';
  if (command.empty()) {
    command = ReadProcFile(pid, "comm");
    while (!command.empty() && command.back() == '\n') command.pop_back();
  }
  if (!command.empty()) text += " (" + EscapeControls(command) + ")";
  return text;
}

ConfigLock::ConfigLock(const std::string& folder) : path_(folder + "/" + kFileName) {
  const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) {
    detail_ = "cannot open " + folder + ": " + std::strerror(errno);
    return;
  }
  // A link planted under the lock's name is never followed; a reader who may
  // not write the folder (an operator beside the service) still locks.
  constexpr int kFlags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  fd_ = UniqueFd(::openat(dir.get(), kFileName, O_RDWR | O_CREAT | kFlags, 0644));
  if (!fd_.valid() && (errno == EACCES || errno == EROFS || errno == EPERM))
    fd_ = UniqueFd(::openat(dir.get(), kFileName, O_RDONLY | kFlags));
  struct stat st {};
  if (!fd_.valid() || ::fstat(fd_.get(), &st) != 0) {
    detail_ = "cannot open " + path_ + ": " + std::strerror(errno);
    fd_ = UniqueFd();
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    detail_ = path_ + " is not a regular file";
    fd_ = UniqueFd();
    return;
  }
  if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) {
      detail_ = "cannot lock " + path_ + ": " + std::strerror(errno);
      fd_ = UniqueFd();
      return;
    }
    state_ = State::kBusy;
    // The holder writes its id just after it took the lock.
    for (int attempt = 0; attempt < 10 && (holder_ = ReadPid(fd_.get())) == 0; ++attempt)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    detail_ = holder_ > 0 ? DescribeProcess(holder_) : std::string("another process");
    fd_ = UniqueFd();
    return;
  }
  state_ = State::kHeld;
  const std::string pid = std::to_string(::getpid()) + "\n";
  // Only a help for the next one who finds it locked: a lock file we may not
  // write is still a lock.
  if (::ftruncate(fd_.get(), 0) != 0 || ::pwrite(fd_.get(), pid.data(), pid.size(), 0) < 0) {
  }
}

std::string ConfigLock::Refusal() const {
  if (state_ == State::kBusy)
    return "the configuration in " + path_.substr(0, path_.rfind('/')) + " is in use by " +
           detail_ + ": one engine per configuration";
  return "cannot lock the configuration: " + detail_;
}

}  // namespace zf::app
