#include "uniquefd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace zf {

int UniqueFd::Close() {
  if (fd_ < 0) return 0;
  const int rc = ::close(fd_);
  fd_ = -1;
  return rc == 0 ? 0 : errno;
}

int SyncFolder(const std::string& folder) {
  UniqueFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return errno;
  return SyncFolder(dir.get());
}

int SyncFolder(int folderFd) {
  if (::fsync(folderFd) != 0 && errno != EINVAL) return errno;
  return 0;
}

void ServeUntilWoken(int listener, int wake, int acceptFlags,
                     const std::function<void(UniqueFd)>& serve) {
  for (;;) {
    pollfd fds[2] = {{listener, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    UniqueFd client(::accept4(listener, nullptr, nullptr, acceptFlags | SOCK_CLOEXEC));
    if (client.valid()) serve(std::move(client));
  }
}

}  // namespace zf
