#include "platform/folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zf {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

Status OpenError(const std::string& path, int err) {
  // A link where a folder should be is refused as "not a folder".
  if (err == ELOOP) err = ENOTDIR;
  return Status::Error("Cannot open the folder " + path + ": " + std::strerror(err), err);
}

std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

}  // namespace

Result<Folder> Folder::Open(const std::string& path) {
  const std::string shown = WithSlash(path.empty() ? std::string(".") : path);
  UniqueFd fd(::open(shown.c_str(), kFolderFlags));
  if (!fd.valid()) return OpenError(shown, errno);
  return Folder(std::move(fd), shown);
}

Result<Folder> Folder::Sub(std::string_view name) const {
  const std::string shown = WithSlash(Display(name));
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos) {
    return OpenError(shown, EINVAL);
  }
  UniqueFd fd(::openat(fd_.get(), std::string(name).c_str(), kFolderFlags | O_NOFOLLOW));
  if (!fd.valid()) return OpenError(shown, errno);
  return Folder(std::move(fd), shown);
}

Result<Folder> Folder::Walk(std::string_view relative) const {
  Result<Folder> current = Dup();
  std::size_t start = 0;
  while (current.ok() && start < relative.size()) {
    std::size_t end = relative.find('/', start);
    if (end == std::string_view::npos) end = relative.size();
    current = current->Sub(relative.substr(start, end - start));
    start = end + 1;
  }
  return current;
}

Result<Folder> Folder::Dup() const {
  UniqueFd fd(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
  if (!fd.valid()) return OpenError(path_, errno);
  return Folder(std::move(fd), path_);
}

FileIdentity Folder::Identity() const {
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) return {};
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::string Folder::ProcPath() const {
  return "/proc/self/fd/" + std::to_string(fd_.get()) + "/";
}

}  // namespace zf
