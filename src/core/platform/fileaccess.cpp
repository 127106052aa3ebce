#include "fileaccess.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/characters.h"
#include "platform/paths.h"

namespace zf {
namespace {

Status ErrnoStatus(const std::string& what, int error) {
  return Status::Error(what + ": " + std::strerror(error), error);
}

std::uint32_t AttributesOf(std::string_view name, std::uint32_t mode) {
  std::uint32_t attributes = 0;
  if (S_ISLNK(mode)) {
    attributes |= fileattr::kSymlink;
  } else if (S_ISDIR(mode)) {
    attributes |= fileattr::kDirectory;
  } else if (!S_ISREG(mode)) {
    attributes |= fileattr::kDevice;
  }
  // The desktop's read-only flag is a property of the file, not of the user
  // asking, so it maps to the owner's write bit (as file servers map it too)
  // and not to access(): the service may well run as root, for whom every
  // file is writable, and must still leave files marked read-only alone.
  // A link's own bits are always rwx, so a link is never read-only.
  if ((mode & S_IWUSR) == 0) attributes |= fileattr::kReadOnly;
  // Dot files are what this platform hides from folder views.
  if (!name.empty() && name[0] == '.' && name != "." && name != "..") {
    attributes |= fileattr::kHidden;
  }
  return attributes;
}

// Kernels before statx fall back to fstatat once and for all.
std::atomic<bool> g_statxMissing{false};

// Looks `name` up relative to `dirfd` without following a link.
Status LookUp(int dirfd, const char* name, FileInfo& info) {
  if (!g_statxMissing.load(std::memory_order_relaxed)) {
    struct statx sx {};
    if (statx(dirfd, name, AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT,
              STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
      info.size = static_cast<std::int64_t>(sx.stx_size);
      info.attributes = AttributesOf(info.name, sx.stx_mode);
      info.lastAccess = {sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec};
      info.lastWrite = {sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec};
      info.identity = {makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino};
      info.creationIsBirth = (sx.stx_mask & STATX_BTIME) != 0;
      info.creation = info.creationIsBirth ? UnixTime{sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec}
                                           : UnixTime{sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec};
      return Status::Ok();
    }
    if (errno != ENOSYS) return ErrnoStatus(name, errno);
    g_statxMissing.store(true, std::memory_order_relaxed);
  }
  struct stat st {};
  if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return ErrnoStatus(name, errno);
  info.size = static_cast<std::int64_t>(st.st_size);
  info.attributes = AttributesOf(info.name, st.st_mode);
  info.lastAccess = {st.st_atim.tv_sec, st.st_atim.tv_nsec};
  info.lastWrite = {st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
  info.creation = {st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
  info.creationIsBirth = false;
  info.identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  return Status::Ok();
}

// One element of a listing mask: a character to compare, `?` or `*`.
constexpr char32_t kAnyOne = 0xFFFFFFFEu;
constexpr char32_t kAnyRun = 0xFFFFFFFFu;

void Characters(std::string_view text, bool wildcards, std::vector<char32_t>& out) {
  out.clear();
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t c = NextCharacter(text, pos);
    if (wildcards && c == U'*') {
      out.push_back(kAnyRun);
    } else if (wildcards && c == U'?') {
      out.push_back(kAnyOne);
    } else {
      out.push_back(UpperAsciiLetter(c));
    }
  }
}

// Classic wildcard match: on a mismatch, let the last `*` take one more
// character and try again from there.
bool Fits(const std::vector<char32_t>& name, const std::vector<char32_t>& mask) {
  std::size_t n = 0, m = 0;
  std::size_t starMask = std::string_view::npos, starName = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == kAnyRun) {
      starMask = m++;
      starName = n;
    } else if (m < mask.size() && (mask[m] == kAnyOne || mask[m] == name[n])) {
      ++m, ++n;
    } else if (starMask != std::string_view::npos) {
      m = starMask + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == kAnyRun) ++m;
  return m == mask.size();
}

// A listing mask prepared once for a whole folder.
class ListingMask {
 public:
  explicit ListingMask(std::string_view mask) {
    Characters(mask, true, mask_);
    // "x.*" also lists "x": the dot and the extension may both be absent.
    const std::size_t n = mask_.size();
    if (n >= 2 && mask_[n - 1] == kAnyRun && mask_[n - 2] == U'.') {
      stem_.assign(mask_.begin(), mask_.end() - 2);
      hasStem_ = true;
    }
    const auto onlyStars = [](const std::vector<char32_t>& m) {
      return std::all_of(m.begin(), m.end(), [](char32_t c) { return c == kAnyRun; });
    };
    takesAll_ = !mask_.empty() && (onlyStars(mask_) || (hasStem_ && onlyStars(stem_)));
  }

  bool Takes(std::string_view name) {
    if (takesAll_) return true;
    Characters(name, false, name_);
    if (Fits(name_, mask_)) return true;
    return hasStem_ && name.find('.') == std::string_view::npos && Fits(name_, stem_);
  }

 private:
  std::vector<char32_t> mask_, stem_, name_;
  bool hasStem_ = false;
  bool takesAll_ = false;  // "*", "*.*" and the like: no need to look at names
};

class PosixDirListing final : public DirListing {
 public:
  PosixDirListing(DIR* dir, std::string_view mask) : dir_(dir), mask_(mask) {}
  ~PosixDirListing() override { closedir(dir_); }
  PosixDirListing(const PosixDirListing&) = delete;
  PosixDirListing& operator=(const PosixDirListing&) = delete;

  bool Next(FileInfo& entry) override {
    while (const dirent* d = readdir(dir_)) {
      if (!mask_.Takes(d->d_name)) continue;
      FileInfo info;
      info.name = d->d_name;
      // An entry that went away since the folder was read is simply not there.
      if (!LookUp(dirfd(dir_), d->d_name, info).ok()) continue;
      entry = std::move(info);
      return true;
    }
    return false;
  }

 private:
  DIR* dir_;
  ListingMask mask_;
};

}  // namespace

bool ListingNameMatches(std::string_view name, std::string_view mask) {
  return ListingMask(mask).Takes(name);
}

Result<std::unique_ptr<DirListing>> SystemFileAccess::List(const std::string& pattern) {
  const auto cut = pattern.rfind(kPathDelimiter);
  std::string folder = cut == std::string::npos ? std::string(".") : pattern.substr(0, cut + 1);
  std::string mask = cut == std::string::npos ? pattern : pattern.substr(cut + 1);
  if (mask.empty()) return Status::Error("No file mask in " + pattern, EINVAL);
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return ErrnoStatus(folder, errno);
  return std::unique_ptr<DirListing>(std::make_unique<PosixDirListing>(dir, mask));
}

Result<FileInfo> SystemFileAccess::Stat(const std::string& path) {
  FileInfo info;
  const std::string bare = ExcludeTrailingPathDelimiter(path);
  const auto cut = bare.rfind(kPathDelimiter);
  info.name = cut == std::string::npos ? bare : bare.substr(cut + 1);
  if (Status s = LookUp(AT_FDCWD, path.c_str(), info); !s.ok()) return s;
  return info;
}

bool SystemFileAccess::FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool SystemFileAccess::DirectoryExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace zf
