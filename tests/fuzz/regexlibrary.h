#pragma once

// The expression library regex.so as the program loads it: from ZF_BIN_DIR
// when CTest gives it, otherwise from the fuzzer's own folder (bin/ of the
// build), and called through its C entry points with the program's buffers.
// C++17, for the PDF target.

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "exprlib/expressionabi.h"

namespace zf::fuzz {

inline void* RegexLibrary() {
  static void* const handle = [] {
    std::string folder;
    if (const char* bin = std::getenv("ZF_BIN_DIR")) {
      folder = bin;
    } else {
      char self[4096];
      const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
      if (n > 0) folder.assign(self, static_cast<std::size_t>(n));
      folder = folder.substr(0, folder.find_last_of('/'));
    }
    const std::string path = folder + "/regex.so";
    void* loaded = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (loaded == nullptr) {
      std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
      std::abort();
    }
    return loaded;
  }();
  return handle;
}

template <typename Fn>
Fn EntryPoint(const char* name) {
  void* symbol = dlsym(RegexLibrary(), name);
  if (symbol == nullptr) {
    std::fprintf(stderr, "regex.so has no entry point %s\n", name);
    std::abort();
  }
  return reinterpret_cast<Fn>(symbol);
}

}  // namespace zf::fuzz
