#pragma once

// A folder for fuzz targets that must go through real files, made once per
// process and removed at its end. It lies in /dev/shm where that exists, so
// the flushes of atomic saves cost no disk time at thousands of runs a second.

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace zf::fuzz {

inline const std::string& ScratchFolder() {
  // Never destroyed: the clean-up at exit still needs the name.
  static const std::string* const folder = [] {
    std::string base = "/dev/shm";
    if (access(base.c_str(), W_OK) != 0) {
      const char* tmp = std::getenv("TMPDIR");
      base = tmp != nullptr ? tmp : "/tmp";
    }
    std::string name = base + "/zf-fuzz-XXXXXX";
    if (mkdtemp(name.data()) == nullptr) std::abort();
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(ScratchFolder(), ec);
    });
    return new std::string(name);
  }();
  return *folder;
}

}  // namespace zf::fuzz
