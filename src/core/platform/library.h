#pragma once

#include <filesystem>
#include <string>

#include "platform/result.h"

namespace zf {

// File name ending of a library loaded at run time on this platform.
#ifdef _WIN32
inline constexpr char kSharedLibraryExtension[] = ".dll";
#else
inline constexpr char kSharedLibraryExtension[] = ".so";
#endif

// A library loaded at run time by path. The library stays loaded as long as
// the object lives; moving hands the handle over. Symbols are looked up by
// name and are nullptr when the library does not export them.
class DynamicLibrary {
 public:
  static Result<DynamicLibrary> Open(const std::filesystem::path& path);

  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;
  ~DynamicLibrary();

  void* Symbol(const char* name) const;

  // The symbol as a function pointer of type Fn, nullptr when missing.
  template <typename Fn>
  Fn Function(const char* name) const {
    return reinterpret_cast<Fn>(Symbol(name));
  }

 private:
  explicit DynamicLibrary(void* handle) : handle_(handle) {}
  void Close() noexcept;

  void* handle_ = nullptr;
};

// The folder that holds the running program; the expression library and the
// INI files live beside it.
Result<std::filesystem::path> ProgramFolder();

}  // namespace zf
