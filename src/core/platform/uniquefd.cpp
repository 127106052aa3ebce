#include "uniquefd.h"

#include <fcntl.h>
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

}  // namespace zf
