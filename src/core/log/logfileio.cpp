#include "logfileio.h"

#include <unistd.h>

namespace zf {

ssize_t LogFileIo::Write(int fd, const void* data, std::size_t size) {
  return ::write(fd, data, size);
}

int LogFileIo::Sync(int fd) {
  return ::fdatasync(fd);
}

LogFileIo& SystemLogFileIo() {
  static LogFileIo io;
  return io;
}

}  // namespace zf
