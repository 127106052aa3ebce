#pragma once

#include <functional>
#include <string>

namespace zf {

// Owns a POSIX file descriptor and closes it on every way out of a scope.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { Close(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = other.Release();
    }
    return *this;
  }

  // Gives the descriptor up without closing it.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and answers the error close() reports (a deferred write error
  // on network file systems), or 0.
  int Close();

 private:
  int fd_;
};

// Flushes a folder so that the entries created or renamed in it survive a
// power cut. Answers 0 or the errno; a file system that cannot flush folders
// (EINVAL) counts as done. An empty folder means the current one.
int SyncFolder(const std::string& folder);
// The same for a folder already open.
int SyncFolder(int folderFd);

// Accepts connections on a listening socket and hands each to `serve`, one
// at a time, until `wake` (an eventfd or pipe) becomes readable: the loop of
// the small local servers that answer from a thread of their own.
void ServeUntilWoken(int listener, int wake, int acceptFlags,
                     const std::function<void(UniqueFd)>& serve);

}  // namespace zf
