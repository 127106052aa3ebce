#include "platform/library.h"

#include <dlfcn.h>

#include <mutex>
#include <system_error>

namespace zf {

namespace {

// dlerror() keeps its text in state shared by the calling thread's dl calls;
// one lock keeps the text we read tied to the call that failed.
std::mutex& DlMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

Result<DynamicLibrary> DynamicLibrary::Open(const std::filesystem::path& path) {
  if (path.empty()) return Status::Error("no library path given");
  // A bare file name would make the loader search the system's library path;
  // only the file at exactly this place may be loaded.
  const std::filesystem::path absolute = std::filesystem::absolute(path);
  std::lock_guard lock(DlMutex());
  dlerror();
  void* handle = dlopen(absolute.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* error = dlerror();
    return Status::Error(error != nullptr ? error : "cannot load " + absolute.string());
  }
  return DynamicLibrary(handle);
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(other.handle_) {
  other.handle_ = nullptr;
}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

DynamicLibrary::~DynamicLibrary() {
  Close();
}

void DynamicLibrary::Close() noexcept {
  if (handle_ != nullptr) {
    dlclose(handle_);
    handle_ = nullptr;
  }
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  std::lock_guard lock(DlMutex());
  return dlsym(handle_, name);
}

Result<std::filesystem::path> ProgramFolder() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return Status::Error("cannot find the program file: " + ec.message(), ec.value());
  return exe.parent_path();
}

}  // namespace zf
