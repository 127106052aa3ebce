#include "filetime.h"

#include <ctime>

namespace zf {

FileTimeKind FileTimeKindOf(std::int32_t filetimetype) {
  switch (filetimetype) {
    case 0:
      return FileTimeKind::kCreation;
    case 2:
      return FileTimeKind::kLastWrite;
    default:
      return FileTimeKind::kLastAccess;
  }
}

bool TryFatLocalTime(UnixTime instant, TDateTime& out) {
  const auto seconds = static_cast<std::time_t>(instant.seconds);
  std::tm tm{};
  if (localtime_r(&seconds, &tm) == nullptr) return false;
  const int year = tm.tm_year + 1900;
  if (year < 1980) {
    out = EncodeDateTime(1980, 1, 1);
    return true;
  }
  if (year > 2107) {
    out = EncodeDateTime(2107, 12, 31, 23, 59, 58);
    return true;
  }
  const int second = (tm.tm_sec > 59 ? 59 : tm.tm_sec) & ~1;
  return TryEncodeDateTime(year, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, second, 0, out);
}

TDateTime FileTimeOf(const FileInfo& info, std::int32_t filetimetype, Clock& clock) {
  UnixTime instant;
  switch (FileTimeKindOf(filetimetype)) {
    case FileTimeKind::kCreation:
      instant = info.creation;
      break;
    case FileTimeKind::kLastAccess:
      instant = info.lastAccess;
      break;
    case FileTimeKind::kLastWrite:
      instant = info.lastWrite;
      break;
  }
  TDateTime value = 0;
  return TryFatLocalTime(instant, value) ? value : clock.Now();
}

TDateTime FileTimeOf(FileAccess& files, const std::string& path, std::int32_t filetimetype,
                     Clock& clock) {
  const Result<FileInfo> info = files.Stat(path);
  return info.ok() ? FileTimeOf(info.value(), filetimetype, clock) : clock.Now();
}

}  // namespace zf
