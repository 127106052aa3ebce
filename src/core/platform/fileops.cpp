#include "platform/fileops.h"

#include "platform/tempfile.h"
#include "platform/uniquefd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace zf {
namespace {

constexpr std::size_t kChunk = 1 << 20;

Status ErrnoStatus(const std::string& what, const std::string& path, int err) {
  return Status::Error(what + " " + path + ": " + std::strerror(err), err);
}

// Folder and name of a path; the folder is "." for a bare name.
std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

Status WriteAll(int fd, const char* data, std::size_t size, const std::string& target) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus("Cannot write a copy to", target, errno);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return Status::Ok();
}

}  // namespace

bool FileOperations::IsTempName(std::string_view name) {
  return ::zf::IsTempName(name);
}

SystemFileOperations& SystemFileOperations::Instance() {
  static SystemFileOperations instance;
  return instance;
}

Status SystemFileOperations::CopyReplacing(const std::string& source, const std::string& target) {
  if (int err = InjectFault(FileStep::kOpenSource, source)) {
    return ErrnoStatus("Cannot open", source, err);
  }
  UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (in.get() < 0) return ErrnoStatus("Cannot open", source, errno);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return ErrnoStatus("Cannot read", source, errno);
  if (!S_ISREG(st.st_mode)) return ErrnoStatus("Cannot copy", source, EINVAL);
  struct stat existing {};
  if (::stat(target.c_str(), &existing) == 0 && existing.st_dev == st.st_dev &&
      existing.st_ino == st.st_ino) {
    return Status::Error("Cannot copy " + source + " onto itself as " + target, EINVAL);
  }

  const auto [folder, name] = SplitPath(target);
  if (int err = InjectFault(FileStep::kCreateTemp, target)) {
    return ErrnoStatus("Cannot create a copy in", folder, err);
  }
  Result<TempFile> temp = CreateTempFile(folder, name);
  if (!temp.ok()) return temp.status();
  const std::string tempPath = temp->path;
  const int rawFd = temp.value().fd.Release();

  Status status = CopyInto(in.get(), source, target, tempPath, rawFd);
  if (!status.ok()) ::unlink(tempPath.c_str());
  if (status.ok() && flush_) {
    // The copy is in place; flushing the folder makes the rename itself
    // survive a power cut. When that fails the caller keeps its source, so
    // at worst the file is delivered twice, never lost.
    if (int err = InjectFault(FileStep::kSyncFolder, target)) {
      return ErrnoStatus("Cannot flush the folder of", target, err);
    }
    if (int err = SyncFolder(folder)) return ErrnoStatus("Cannot flush the folder of", target, err);
  }
  return status;
}

// Copies the open source into the open temporary file, checks, flushes and
// closes it and renames it over the target. The caller removes the temporary
// file when this fails.
Status SystemFileOperations::CopyInto(int sourceFd, const std::string& source,
                                      const std::string& target, const std::string& tempPath,
                                      int tempFd) {
  UniqueFd out(tempFd);
  struct stat before {};
  if (::fstat(sourceFd, &before) != 0) return ErrnoStatus("Cannot read", source, errno);

  // The kernel copies without a trip through user space where it can (and
  // clones where the file system allows); elsewhere read and write do it.
  bool kernelCopy = true;
  std::unique_ptr<char[]> buffer;
  std::uint64_t copied = 0;
  for (;;) {
    if (int err = InjectFault(FileStep::kWrite, target)) {
      return ErrnoStatus("Cannot write a copy to", target, err);
    }
    ssize_t n = 0;
    if (kernelCopy) {
      n = ::copy_file_range(sourceFd, nullptr, out.get(), nullptr, kChunk, 0);
      if (n < 0) {
        const int err = errno;
        if (err == EINTR) continue;
        // Both file offsets moved with what was copied, so plain reads and
        // writes carry on from the same place.
        if (err == EXDEV || err == ENOSYS || err == EOPNOTSUPP || err == EINVAL) {
          kernelCopy = false;
          continue;
        }
        return ErrnoStatus("Cannot write a copy to", target, err);
      }
    } else {
      if (!buffer) buffer = std::make_unique<char[]>(kChunk);
      n = ::read(sourceFd, buffer.get(), kChunk);
      if (n < 0) {
        if (errno == EINTR) continue;
        return ErrnoStatus("Cannot read", source, errno);
      }
      if (n > 0) {
        Status written = WriteAll(out.get(), buffer.get(), static_cast<std::size_t>(n), target);
        if (!written.ok()) return written;
      }
    }
    if (n == 0) break;
    copied += static_cast<std::uint64_t>(n);
  }

  // A file that another program is still writing, or that shrank under us,
  // must not be delivered as if it were whole.
  struct stat after {};
  struct stat written {};
  if (::fstat(sourceFd, &after) != 0) return ErrnoStatus("Cannot read", source, errno);
  if (::fstat(out.get(), &written) != 0) return ErrnoStatus("Cannot check the copy", target, errno);
  const auto expected = static_cast<std::uint64_t>(before.st_size);
  if (copied != expected || static_cast<std::uint64_t>(after.st_size) != expected ||
      static_cast<std::uint64_t>(written.st_size) != expected) {
    return Status::Error("The copy of " + source + " to " + target + " is incomplete: " +
                             std::to_string(copied) + " of " + std::to_string(expected) +
                             " bytes, the source now holds " + std::to_string(after.st_size),
                         EIO);
  }

  // The last-write time goes with the copy; a later stage or another hot
  // folder may order files by it. Losing it is no reason to fail the copy.
  const timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
  (void)::futimens(out.get(), times);

  if (flush_) {
    if (int err = InjectFault(FileStep::kSyncFile, target)) {
      return ErrnoStatus("Cannot flush the copy to", target, err);
    }
    if (::fsync(out.get()) != 0) return ErrnoStatus("Cannot flush the copy to", target, errno);
  }
  if (int err = out.Close()) return ErrnoStatus("Cannot write a copy to", target, err);

  if (int err = InjectFault(FileStep::kReplace, target)) {
    return ErrnoStatus("Cannot replace", target, err);
  }
  if (::rename(tempPath.c_str(), target.c_str()) != 0) {
    return ErrnoStatus("Cannot replace", target, errno);
  }
  return Status::Ok();
}

Status SystemFileOperations::RenameNoReplace(const std::string& from, const std::string& to) {
  int err = InjectFault(FileStep::kRenameNoReplace, to);
  if (err == 0) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
      return Status::Ok();
    }
    err = errno;
  }
  if (err != EINVAL && err != ENOSYS && err != ENOTSUP) {
    return ErrnoStatus("Cannot rename " + from + " to", to, err);
  }
  // A file system that cannot refuse in the rename itself: a hard link
  // refuses an existing name just as well, and is then the only name left.
  err = InjectFault(FileStep::kLink, to);
  if (err == 0) {
    if (::link(from.c_str(), to.c_str()) == 0) {
      if (::unlink(from.c_str()) == 0) return Status::Ok();
      err = errno;
      ::unlink(to.c_str());  // keep one name, the old one
      return ErrnoStatus("Cannot rename " + from + " to", to, err);
    }
    err = errno;
  }
  if (err == EEXIST || err == ENOENT) return ErrnoStatus("Cannot rename " + from + " to", to, err);
  // Without hard links either: test the name, then rename. Another program
  // could take the name in between, a risk only such file systems carry.
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0)
    return ErrnoStatus("Cannot rename " + from + " to", to, EEXIST);
  if (errno != ENOENT) return ErrnoStatus("Cannot rename " + from + " to", to, errno);
  if (::rename(from.c_str(), to.c_str()) != 0) {
    return ErrnoStatus("Cannot rename " + from + " to", to, errno);
  }
  return Status::Ok();
}

Status SystemFileOperations::Delete(const std::string& path) {
  if (int err = InjectFault(FileStep::kDelete, path))
    return ErrnoStatus("Cannot delete", path, err);
  if (::unlink(path.c_str()) != 0) return ErrnoStatus("Cannot delete", path, errno);
  return Status::Ok();
}

Result<int> SystemFileOperations::RemoveTempFiles(const std::string& folder) {
  return RemoveTempFilesIn(folder, [this](const std::string& path) {
    return InjectFault(FileStep::kDelete, path) == 0;
  });
}

}  // namespace zf
