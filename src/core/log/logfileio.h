#pragma once

#include <sys/types.h>

#include <cstddef>

namespace zf {

// The two calls through which every log file byte reaches the disk. Tests
// derive from it to make a write or a flush fail the way a full disk does,
// with the real file system doing everything else.
class LogFileIo {
 public:
  virtual ~LogFileIo() = default;
  // As write(2): the bytes written, or -1 with errno set.
  virtual ssize_t Write(int fd, const void* data, std::size_t size);
  // As fdatasync(2): 0, or -1 with errno set.
  virtual int Sync(int fd);
};

// The real calls, for writers that are not handed another.
LogFileIo& SystemLogFileIo();

}  // namespace zf
