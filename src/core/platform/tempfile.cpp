#include "platform/tempfile.h"

#include "platform/writehook.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace zf {
namespace {

constexpr std::size_t kNameMax = 255;
constexpr std::size_t kRandomDigits = 16;

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// Random enough that two programs writing into one shared folder never pick
// the same temporary name; a clash is still caught by O_EXCL.
std::uint64_t RandomNumber() {
  std::uint64_t value = 0;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value)) {
    return value;
  }
  static std::atomic<std::uint64_t> counter{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return static_cast<std::uint64_t>(now) * 0x9E3779B97F4A7C15ull ^
         (static_cast<std::uint64_t>(::getpid()) << 32) ^ counter++;
}

Status ErrnoStatus(const std::string& what, const std::string& path, int err) {
  return Status::Error(what + " " + path + ": " + std::strerror(err), err);
}

}  // namespace

std::string MakeTempName(std::string_view targetName) {
  char digits[kRandomDigits + 1];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(RandomNumber()));
  std::string temp(kTempPrefix);
  temp.append(digits).append("-");
  const std::size_t room = kNameMax - temp.size() - kTempSuffix.size();
  temp.append(targetName.substr(0, room));
  temp.append(kTempSuffix);
  return temp;
}

bool IsTempName(std::string_view name) {
  const std::size_t least = kTempPrefix.size() + kRandomDigits + 1 + kTempSuffix.size();
  if (name.size() < least || !name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) {
    return false;
  }
  for (std::size_t i = 0; i < kRandomDigits; ++i) {
    if (!IsHexDigit(name[kTempPrefix.size() + i])) return false;
  }
  return name[kTempPrefix.size() + kRandomDigits] == '-';
}

Result<TempFile> CreateTempFile(const std::string& folder, std::string_view targetName,
                                mode_t mode) {
  const std::string prefix = folder.empty()         ? std::string("./")
                             : folder.back() == '/' ? folder
                                                    : folder + "/";
  for (int attempt = 0; attempt < 16; ++attempt) {
    TempFile temp;
    temp.path = prefix + MakeTempName(targetName);
    BeforeWrite(WriteSite::kTempFile, WriteKind::kCreate, temp.path);
    temp.fd = UniqueFd(::open(temp.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (temp.fd.valid()) return temp;
    if (errno != EEXIST) return ErrnoStatus("Cannot create a temporary file in", folder, errno);
  }
  return ErrnoStatus("Cannot create a temporary file in", folder, EEXIST);
}

Result<TempFile> CreateTempFileAt(int folderFd, const std::string& folder,
                                  std::string_view targetName, mode_t mode) {
  const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  for (int attempt = 0; attempt < 16; ++attempt) {
    TempFile temp;
    temp.path = MakeTempName(targetName);
    BeforeWrite(WriteSite::kTempFile, WriteKind::kCreate, prefix + temp.path);
    temp.fd = UniqueFd(
        ::openat(folderFd, temp.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (temp.fd.valid()) return temp;
    if (errno != EEXIST) return ErrnoStatus("Cannot create a temporary file in", folder, errno);
  }
  return ErrnoStatus("Cannot create a temporary file in", folder, EEXIST);
}

Result<int> RemoveTempFilesIn(const std::string& folder,
                              const std::function<bool(const std::string&)>& mayRemove) {
  return RemoveFilesIn(folder, IsTempName, mayRemove);
}

Result<int> RemoveFilesIn(const std::string& folder,
                          const std::function<bool(std::string_view)>& wanted,
                          const std::function<bool(const std::string&)>& mayRemove) {
  if (folder.empty()) return Status::Error("No folder to clean", EINVAL);
  UniqueFd dirFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirFd.valid()) return ErrnoStatus("Cannot open", folder, errno);
  // fdopendir takes the descriptor over; a duplicate keeps ours for unlinkat.
  const int listFd = ::dup(dirFd.get());
  if (listFd < 0) return ErrnoStatus("Cannot list", folder, errno);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(listFd), ::closedir);
  if (!dir) {
    const int err = errno;
    ::close(listFd);
    return ErrnoStatus("Cannot list", folder, err);
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != ".." && wanted(name)) names.emplace_back(name);
  }
  const std::string prefix = folder.back() == '/' ? folder : folder + "/";
  int removed = 0;
  for (const std::string& name : names) {
    struct stat st {};
    if (::fstatat(dirFd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode)) continue;
    if (mayRemove && !mayRemove(prefix + name)) continue;
    BeforeWrite(WriteSite::kTempFile, WriteKind::kDelete, prefix + name);
    if (::unlinkat(dirFd.get(), name.c_str(), 0) == 0) ++removed;
  }
  return removed;
}

}  // namespace zf
