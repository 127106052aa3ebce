#pragma once

#include <cstdint>

namespace zf {

// The device and inode of a file: its identity while it keeps its name or
// gets another. Zero for "not known".
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;

  bool known() const { return inode != 0; }
  bool operator==(const FileIdentity&) const = default;
};

// One version of a file: which file, and its size and times as they were when
// it was read. A sender that re-sends a file under the same name (a new file,
// or the old one rewritten in place) gives another version.
struct FileVersion {
  FileIdentity identity;
  std::int64_t size = 0;
  std::int64_t modified = 0;  // last write, nanoseconds since 1970
  std::int64_t changed = 0;   // last status change, nanoseconds since 1970

  bool operator==(const FileVersion&) const = default;
};

}  // namespace zf
