#pragma once

#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "config/queuetable.h"
#include "immutable.h"
#include "log/logfile.h"
#include "log/logfileio.h"
#include "platform/clock.h"
#include "tempdir.h"

namespace zf::test {

// A clock standing at whatever moment the test sets.
class TestClock final : public Clock {
 public:
  TDateTime now = EncodeDateTime(2025, 12, 8, 14, 5, 12, 500);
  TDateTime Now() override { return now; }
  void SleepMs(int) override {}
};

inline LogFileEntry Entry(std::string input, std::string output, std::string status = "OK",
                          std::string comment = "",
                          TDateTime fileTime = EncodeDateTime(2025, 12, 8, 14, 3, 10, 123),
                          TDateTime pollTime = EncodeDateTime(2025, 12, 8, 14, 5, 12, 500)) {
  return LogFileEntry{std::move(input),   std::move(output), std::move(status),
                      std::move(comment), fileTime,          pollTime};
}

// One queue "Sport" logging into a fresh folder, with the file's defaults for
// the renewal settings; a writer over it with the default logformat.
struct LogFixture {
  TempDir dir;
  QueueTable table;
  TestClock clock;
  int slot = 0;

  explicit LogFixture(int logtype = 0) {
    slot = table
               .Append([&](QueueRecord& q) {
                 q.name = "Sport";
                 q.Inputfolder = "/hot/sport/in";
                 q.Outputfolder = "/hot/sport/out";
                 q.Makelog = true;
                 q.Logfile = dir.path().string();
                 q.logtype = logtype;
                 q.dailyhour = 1;
                 q.dailyminute = 1;
                 q.Maxentries = 10000;
                 q.lastlogrenew = EncodeDateTime(1980, 1, 1, 1, 1, 1, 1);
               })
               .value();
  }

  QueueRecord Queue() const { return table.Get(slot); }
  template <typename Fn>
  void Edit(Fn edit) {
    table.Update(slot, edit);
  }
  std::string Path(const std::string& name) const { return dir / name; }
  std::string LogPath() const { return LogFilePath(Queue()); }

  Status Write(LogFileWriter& writer, const LogFileEntry& entry) {
    return writer.WriteLogFileEntry(*table.Record(slot), entry);
  }

  // Names in the log folder, sorted, without hidden files.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

// Writes fail once `room` bytes have gone, as on a disk that runs full (0:
// at once); the flush fails while `failSync` is set.
class FullDiskIo : public LogFileIo {
 public:
  std::size_t room = SIZE_MAX;
  bool failSync = false;
  ssize_t Write(int fd, const void* data, std::size_t size) override {
    if (room == 0) {
      errno = ENOSPC;
      return -1;
    }
    const std::size_t n = std::min(size, room);
    room -= n;
    return LogFileIo::Write(fd, data, n);
  }
  int Sync(int fd) override {
    if (failSync) {
      errno = EIO;
      return -1;
    }
    return LogFileIo::Sync(fd);
  }
};

// A tiny tmpfs, for a disk that really runs full. Needs the right to mount.
class TinyDisk {
 public:
  explicit TinyDisk(const std::string& path, const char* options = "size=64k") : path_(path) {
    std::filesystem::create_directories(path_);
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, options) == 0;
  }
  ~TinyDisk() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

}  // namespace zf::test
