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

}  // namespace zf
