#include "platform/fileops.h"

#include "platform/heartbeat.h"
#include "platform/tempfile.h"
#include "platform/uniquefd.h"
#include "platform/writehook.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace zf {
namespace {

constexpr std::size_t kChunk = 1 << 20;
// Flushes of a group under way at once. A handful is enough for the journal
// to merge their commits; more only adds threads waiting on the same disk.
constexpr std::size_t kFlushThreads = 8;

Status ErrnoStatus(const std::string& what, const std::string& path, int err) {
  return Status::Error(what + " " + path + ": " + std::strerror(err), err);
}

// Folder and name of a path; the folder is "." for a bare name.
std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

Status WriteAllAt(int fd, const char* data, std::size_t size, off_t offset,
                  const std::string& target) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus("Cannot write a copy to", target, errno);
    }
    data += n;
    offset += n;
    size -= static_cast<std::size_t>(n);
  }
  return Status::Ok();
}

FileVersion VersionOfStat(const struct stat& st) {
  const auto ns = [](const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
  };
  return FileVersion{
      FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)},
      static_cast<std::int64_t>(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
}

WriteKind KindOf(FileStep step) {
  switch (step) {
    case FileStep::kOpenSource:
      return WriteKind::kOpen;
    case FileStep::kCreateTemp:
      return WriteKind::kCreate;
    case FileStep::kWrite:
      return WriteKind::kWrite;
    case FileStep::kSyncFile:
      return WriteKind::kSyncFile;
    case FileStep::kReplace:
    case FileStep::kRenameNoReplace:
      return WriteKind::kRename;
    case FileStep::kSyncFolder:
      return WriteKind::kSyncFolder;
    case FileStep::kLink:
    case FileStep::kHardLink:
      return WriteKind::kLink;
    case FileStep::kDelete:
      return WriteKind::kDelete;
    case FileStep::kMakeFolder:
      return WriteKind::kMakeFolder;
  }
  return WriteKind::kWrite;
}

// The seam a test uses to refuse the flush pool its threads.
std::atomic<bool> g_refuseFlushThreads{false};

bool StartFlushThread(std::vector<std::thread>& pool, const std::function<void()>& work) {
  if (g_refuseFlushThreads.load(std::memory_order_relaxed)) return false;
  try {
    pool.emplace_back(work);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace

void RefuseFlushThreadsForTesting(bool refuse) {
  g_refuseFlushThreads.store(refuse, std::memory_order_relaxed);
}

std::vector<int> SyncFileData(std::span<const int> fds, GroupFlush way) {
  std::vector<int> errors(fds.size(), 0);
  const auto syncOne = [&](std::size_t i) {
    if (::fdatasync(fds[i]) != 0) errors[i] = errno;
  };
  if (fds.size() <= 1 || way == GroupFlush::kEachFile) {
    for (std::size_t i = 0; i < fds.size(); ++i) syncOne(i);
  } else if (way == GroupFlush::kFileSystem) {
    // One flush per file system; its error is every file's on it.
    std::vector<std::pair<dev_t, int>> done;  // device, errno of its flush
    for (std::size_t i = 0; i < fds.size(); ++i) {
      struct stat st {};
      if (::fstat(fds[i], &st) != 0) {
        errors[i] = errno;
        continue;
      }
      const auto it = std::find_if(done.begin(), done.end(),
                                   [&](const auto& d) { return d.first == st.st_dev; });
      if (it != done.end()) {
        errors[i] = it->second;
      } else {
        errors[i] = ::syncfs(fds[i]) != 0 ? errno : 0;
        done.emplace_back(st.st_dev, errors[i]);
      }
    }
  } else {
    // A few flushes at once: the file system commits their metadata in
    // shared journal transactions instead of one after the other.
    const std::size_t threads = std::min<std::size_t>(kFlushThreads, fds.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
      for (std::size_t n = next++; n < fds.size(); n = next++) syncOne(n);
    };
    std::vector<std::thread> pool;
    pool.reserve(threads - 1);
    for (std::size_t t = 1; t < threads; ++t) {
      // Without another thread (a process at its thread limit, no memory
      // for a stack) the flushes still happen, on this thread: slower, and
      // never a reason to end the program or skip a flush.
      if (!StartFlushThread(pool, work)) break;
    }
    work();
    for (std::thread& t : pool) t.join();
  }
  return errors;
}

bool FileOperations::IsTempName(std::string_view name) {
  return ::zf::IsTempName(name);
}

int SystemFileOperations::InjectFault(FileStep step, const std::string& path) {
  BeforeWrite(WriteSite::kFileOps, KindOf(step), path);
  return 0;
}

SystemFileOperations& SystemFileOperations::Instance() {
  static SystemFileOperations instance;
  return instance;
}

Result<FileVersion> FileOperations::CopyReplacing(const Folder& from, const std::string& source,
                                                  const Folder& to, const std::string& target,
                                                  FileIdentity expected) {
  Result<StagedCopy> staged = StageCopy(from, source, to, target, expected);
  if (!staged.ok()) return staged.status();
  StagedCopy* const copies[] = {&staged.value()};
  if (const Status flushed = FlushCopies(copies).front(); !flushed.ok()) {
    DiscardCopy(staged.value());
    return flushed;
  }
  const FileVersion read = staged->read;
  if (Status published = PublishCopy(staged.value()); !published.ok()) return published;
  // The copy is in place; flushing the folder makes the rename itself
  // survive a power cut. When that fails the caller keeps its source, so
  // at worst the file is delivered twice, never lost.
  if (Status flushed = FlushFolder(to, target); !flushed.ok()) return flushed;
  return read;
}

namespace {

// The open folder of a path and the name in it.
Result<std::pair<Folder, std::string>> OpenParent(const std::string& path) {
  auto [folder, name] = SplitPath(path);
  Result<Folder> opened = Folder::Open(folder);
  if (!opened.ok()) return opened.status();
  return std::make_pair(std::move(opened).value(), name);
}

}  // namespace

Status FileOperations::CopyReplacing(const std::string& source, const std::string& target,
                                     FileIdentity expected) {
  auto from = OpenParent(source);
  if (!from.ok()) return from.status();
  auto to = OpenParent(target);
  if (!to.ok()) return to.status();
  const Result<FileVersion> copied =
      CopyReplacing(from->first, from->second, to->first, to->second, expected);
  return copied.ok() ? Status::Ok() : copied.status();
}

Status FileOperations::RenameNoReplace(const std::string& from, const std::string& to) {
  auto a = OpenParent(from);
  if (!a.ok()) return a.status();
  auto b = OpenParent(to);
  if (!b.ok()) return b.status();
  return RenameNoReplace(a->first, a->second, b->first, b->second);
}

Status FileOperations::Delete(const std::string& path) {
  auto at = OpenParent(path);
  if (!at.ok()) return at.status();
  return Delete(at->first, at->second);
}

Result<FileIdentity> FileOperations::IdentityOf(const std::string& path) {
  auto at = OpenParent(path);
  if (!at.ok()) return at.status();
  const Result<FileVersion> version = VersionOf(at->first, at->second);
  if (!version.ok()) return version.status();
  return version->identity;
}

Result<StagedCopy> SystemFileOperations::StageCopy(const Folder& from, const std::string& name,
                                                   const Folder& to, const std::string& targetName,
                                                   FileIdentity expected) {
  const std::string source = from.Display(name);
  const std::string target = to.Display(targetName);
  if (int err = InjectFault(FileStep::kOpenSource, source)) {
    return ErrnoStatus("Cannot open", source, err);
  }
  // No link is followed and no pipe can block the engine: what is read is
  // the regular file that was found stable, or nothing.
  UniqueFd in(
      ::openat(from.fd(), name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
  if (in.get() < 0) {
    if (errno == ELOOP) {
      return Status::Error("Cannot copy " + source + ": " + std::string(kNotRegularFile), EINVAL);
    }
    return ErrnoStatus("Cannot open", source, errno);
  }
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return ErrnoStatus("Cannot read", source, errno);
  if (!S_ISREG(st.st_mode)) {
    return Status::Error("Cannot copy " + source + ": " + std::string(kNotRegularFile), EINVAL);
  }
  if (expected.known() && (static_cast<std::uint64_t>(st.st_dev) != expected.device ||
                           static_cast<std::uint64_t>(st.st_ino) != expected.inode)) {
    return Status::Error("Cannot copy " + source + ": it is not the file that was found stable",
                         ESTALE);
  }
  struct stat existing {};
  if (::fstatat(to.fd(), targetName.c_str(), &existing, 0) == 0 && existing.st_dev == st.st_dev &&
      existing.st_ino == st.st_ino) {
    return Status::Error("Cannot copy " + source + " to " + target + ": " + std::string(kSameFile),
                         EINVAL);
  }

  if (int err = InjectFault(FileStep::kCreateTemp, target)) {
    return ErrnoStatus("Cannot create a copy in", to.path(), err);
  }
  Result<TempFile> temp = CreateTempFileAt(to.fd(), to.path(), targetName);
  if (!temp.ok()) return temp.status();
  Result<Folder> folder = to.Dup();
  if (!folder.ok()) {
    (void)::unlinkat(to.fd(), temp->path.c_str(), 0);
    return folder.status();
  }
  StagedCopy copy{source,
                  target,
                  std::move(folder).value(),
                  targetName,
                  temp->path,
                  std::move(temp.value().fd),
                  static_cast<std::uint64_t>(st.st_size),
                  {}};
  if (Status status = CopyData(in.get(), source, target, copy.fd.get(), copy.read); !status.ok()) {
    DiscardCopy(copy);
    return status;
  }
  // The disk starts on the data now, while the next copies of a group are
  // written; the flush then mostly waits for what is already under way.
  if (flush_) (void)::sync_file_range(copy.fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
  return copy;
}

std::vector<Status> SystemFileOperations::FlushCopies(std::span<StagedCopy* const> copies) {
  std::vector<Status> results(copies.size());
  if (!flush_) return results;
  // The fault seam is asked here, on the caller's thread, for every copy.
  std::vector<std::size_t> pending;
  for (std::size_t i = 0; i < copies.size(); ++i) {
    if (int err = InjectFault(FileStep::kSyncFile, copies[i]->target)) {
      results[i] = ErrnoStatus("Cannot flush the copy to", copies[i]->target, err);
    } else {
      pending.push_back(i);
    }
  }
  std::vector<int> fds;
  fds.reserve(pending.size());
  for (const std::size_t i : pending) fds.push_back(copies[i]->fd.get());
  const std::vector<int> errors = SyncFileData(fds, groupFlush_);
  for (std::size_t n = 0; n < pending.size(); ++n) {
    if (errors[n] == 0) continue;
    const std::size_t i = pending[n];
    results[i] = ErrnoStatus("Cannot flush the copy to", copies[i]->target, errors[n]);
  }
  return results;
}

Status SystemFileOperations::PublishCopy(StagedCopy& copy) {
  Status status;
  if (int err = copy.fd.Close()) {
    status = ErrnoStatus("Cannot write a copy to", copy.target, err);
  } else if (int fault = InjectFault(FileStep::kReplace, copy.target)) {
    status = ErrnoStatus("Cannot replace", copy.target, fault);
  } else if (::renameat(copy.folder.fd(), copy.tempName.c_str(), copy.folder.fd(),
                        copy.name.c_str()) != 0) {
    status = ErrnoStatus("Cannot replace", copy.target, errno);
  }
  if (!status.ok()) DiscardCopy(copy);
  copy.tempName.clear();
  return status;
}

void SystemFileOperations::DiscardCopy(StagedCopy& copy) {
  copy.fd.Close();
  if (!copy.tempName.empty()) ::unlinkat(copy.folder.fd(), copy.tempName.c_str(), 0);
  copy.tempName.clear();
}

Status SystemFileOperations::FlushFolder(const Folder& folder, const std::string& name) {
  if (!flush_) return Status::Ok();
  const std::string shown = folder.Display(name);
  if (int err = InjectFault(FileStep::kSyncFolder, shown)) {
    return ErrnoStatus("Cannot flush the folder of", shown, err);
  }
  if (::fsync(folder.fd()) != 0 && errno != EINVAL) {
    return ErrnoStatus("Cannot flush the folder of", shown, errno);
  }
  return Status::Ok();
}

// Copies the open source into the open temporary file and checks that the
// copy is whole; the caller removes the temporary file when this fails.
Status SystemFileOperations::CopyData(int sourceFd, const std::string& source,
                                      const std::string& target, int tempFd, FileVersion& read) {
  struct stat before {};
  if (::fstat(sourceFd, &before) != 0) return ErrnoStatus("Cannot read", source, errno);

  // Only the data is copied: holes of a sparse file stay holes, so a mostly
  // empty image of gigabytes does not fill the output disk. The kernel
  // copies without a trip through user space where it can (and clones where
  // the file system allows); elsewhere read and write do it.
  bool kernelCopy = true;
  std::unique_ptr<char[]> buffer;
  std::uint64_t copied = 0;  // data written plus holes passed over
  bool cutShort = false;     // the source ended before its size said
  const off_t size = before.st_size;
  off_t offset = 0;
  while (offset < size && !cutShort) {
    off_t data = ::lseek(sourceFd, offset, SEEK_DATA);
    // ENXIO: only a hole is left. Any other error: a file system that cannot
    // tell, where everything counts as data.
    if (data < 0) data = errno == ENXIO ? size : offset;
    if (data >= size) break;
    off_t hole = ::lseek(sourceFd, data, SEEK_HOLE);
    if (hole < 0 || hole > size) hole = size;
    copied += static_cast<std::uint64_t>(data - offset);
    offset = data;
    while (offset < hole) {
      Beat();  // a copy of gigabytes is work, not a hang
      if (int err = InjectFault(FileStep::kWrite, target)) {
        return ErrnoStatus("Cannot write a copy to", target, err);
      }
      const auto want = static_cast<std::size_t>(std::min<off_t>(hole - offset, kChunk));
      ssize_t n = 0;
      if (kernelCopy) {
        loff_t from = offset;
        loff_t to = offset;
        n = ::copy_file_range(sourceFd, &from, tempFd, &to, want, 0);
        if (n < 0) {
          const int err = errno;
          if (err == EINTR) continue;
          if (err == EXDEV || err == ENOSYS || err == EOPNOTSUPP || err == EINVAL) {
            kernelCopy = false;
            continue;
          }
          return ErrnoStatus("Cannot write a copy to", target, err);
        }
      } else {
        if (!buffer) buffer = std::make_unique<char[]>(kChunk);
        n = ::pread(sourceFd, buffer.get(), want, offset);
        if (n < 0) {
          if (errno == EINTR) continue;
          return ErrnoStatus("Cannot read", source, errno);
        }
        if (n > 0) {
          Status written =
              WriteAllAt(tempFd, buffer.get(), static_cast<std::size_t>(n), offset, target);
          if (!written.ok()) return written;
        }
      }
      if (n == 0) {
        cutShort = true;  // the source shrank; the check below says so
        break;
      }
      offset += n;
      copied += static_cast<std::uint64_t>(n);
    }
  }
  // A hole up to the end: the copy gets its full length without writing zeros.
  if (!cutShort && offset < size) copied += static_cast<std::uint64_t>(size - offset);
  if (::ftruncate(tempFd, size) != 0) {
    return ErrnoStatus("Cannot write a copy to", target, errno);
  }

  // A file that another program is still writing, or that shrank under us,
  // must not be delivered as if it were whole.
  struct stat after {};
  struct stat written {};
  if (::fstat(sourceFd, &after) != 0) return ErrnoStatus("Cannot read", source, errno);
  if (::fstat(tempFd, &written) != 0) return ErrnoStatus("Cannot check the copy", target, errno);
  const auto expected = static_cast<std::uint64_t>(before.st_size);
  // A writer that truncates and writes again, or overwrites in place, may
  // leave the size as it was; the copy would then mix old and new bytes into
  // a content the file never had. Its change and status-change times tell.
  const auto same = [](const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  };
  if (!same(before.st_mtim, after.st_mtim) || !same(before.st_ctim, after.st_ctim)) {
    return Status::Error("The copy of " + source + " to " + target +
                             " is incomplete: the source was written to while it was copied",
                         EIO);
  }
  if (copied != expected || static_cast<std::uint64_t>(after.st_size) != expected ||
      static_cast<std::uint64_t>(written.st_size) != expected) {
    return Status::Error("The copy of " + source + " to " + target + " is incomplete: " +
                             std::to_string(copied) + " of " + std::to_string(expected) +
                             " bytes, the source now holds " + std::to_string(after.st_size),
                         EIO);
  }

  // The last-write time goes with the copy; a later stage or another hot
  // folder may order files by it. Losing it is no reason to fail the copy.
  read = VersionOfStat(after);
  const timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
  (void)::futimens(tempFd, times);
  return Status::Ok();
}

Status SystemFileOperations::RenameReplacing(const Folder& fromFolder, const std::string& fromName,
                                             const Folder& toFolder, const std::string& toName) {
  const std::string to = toFolder.Display(toName);
  int err = InjectFault(FileStep::kReplace, to);
  if (err == 0 &&
      ::renameat(fromFolder.fd(), fromName.c_str(), toFolder.fd(), toName.c_str()) != 0) {
    err = errno;
  }
  if (err != 0) return ErrnoStatus("Cannot replace", to, err);
  return Status::Ok();
}

Status SystemFileOperations::RenameNoReplace(const Folder& fromFolder, const std::string& fromName,
                                             const Folder& toFolder, const std::string& toName) {
  const std::string from = fromFolder.Display(fromName);
  const std::string to = toFolder.Display(toName);
  const int a = fromFolder.fd();
  const int b = toFolder.fd();
  int err = InjectFault(FileStep::kRenameNoReplace, to);
  if (err == 0) {
    if (::renameat2(a, fromName.c_str(), b, toName.c_str(), RENAME_NOREPLACE) == 0) {
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
    if (::linkat(a, fromName.c_str(), b, toName.c_str(), 0) == 0) {
      if (::unlinkat(a, fromName.c_str(), 0) == 0) return Status::Ok();
      err = errno;
      ::unlinkat(b, toName.c_str(), 0);  // keep one name, the old one
      return ErrnoStatus("Cannot rename " + from + " to", to, err);
    }
    err = errno;
  }
  if (err == EEXIST || err == ENOENT) return ErrnoStatus("Cannot rename " + from + " to", to, err);
  // Without hard links either: test the name, then rename. Another program
  // could take the name in between, a risk only such file systems carry.
  struct stat st {};
  if (::fstatat(b, toName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
    return ErrnoStatus("Cannot rename " + from + " to", to, EEXIST);
  if (errno != ENOENT) return ErrnoStatus("Cannot rename " + from + " to", to, errno);
  if (::renameat(a, fromName.c_str(), b, toName.c_str()) != 0) {
    return ErrnoStatus("Cannot rename " + from + " to", to, errno);
  }
  return Status::Ok();
}

Status SystemFileOperations::Delete(const Folder& folder, const std::string& name) {
  const std::string path = folder.Display(name);
  if (int err = InjectFault(FileStep::kDelete, path))
    return ErrnoStatus("Cannot delete", path, err);
  if (::unlinkat(folder.fd(), name.c_str(), 0) != 0) {
    return ErrnoStatus("Cannot delete", path, errno);
  }
  return Status::Ok();
}

Status SystemFileOperations::MoveInto(const Folder& from, const std::string& name,
                                      const Folder& to) {
  const std::string path = from.Display(name);
  if (int err = InjectFault(FileStep::kDelete, path)) {
    return ErrnoStatus("Cannot delete", path, err);
  }
  if (::renameat2(from.fd(), name.c_str(), to.fd(), name.c_str(), RENAME_NOREPLACE) == 0) {
    return Status::Ok();
  }
  int err = errno;
  if (err == EINVAL || err == ENOSYS || err == ENOTSUP) {
    // No refusing rename here: a second name refuses an existing one too.
    if (::linkat(from.fd(), name.c_str(), to.fd(), name.c_str(), 0) == 0) {
      if (::unlinkat(from.fd(), name.c_str(), 0) == 0) return Status::Ok();
      err = errno;
      ::unlinkat(to.fd(), name.c_str(), 0);
    } else if (errno != EEXIST) {
      // Without hard links either: test the name, then rename.
      struct stat st {};
      if (::fstatat(to.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        err = EEXIST;
      } else if (::renameat(from.fd(), name.c_str(), to.fd(), name.c_str()) == 0) {
        return Status::Ok();
      } else {
        err = errno;
      }
    } else {
      err = errno;
    }
  }
  return ErrnoStatus("Cannot delete", path, err);
}

Status SystemFileOperations::HardLink(const Folder& fromFolder, const std::string& from,
                                      const Folder& toFolder, const std::string& to) {
  const std::string shown = toFolder.Display(to);
  if (int err = InjectFault(FileStep::kHardLink, shown)) {
    return ErrnoStatus("Cannot link " + fromFolder.Display(from) + " as", shown, err);
  }
  if (::linkat(fromFolder.fd(), from.c_str(), toFolder.fd(), to.c_str(), 0) != 0) {
    return ErrnoStatus("Cannot link " + fromFolder.Display(from) + " as", shown, errno);
  }
  return Status::Ok();
}

Result<Folder> SystemFileOperations::MakeFolder(const Folder& parent, const std::string& name) {
  const std::string path = parent.Display(name);
  if (int err = InjectFault(FileStep::kMakeFolder, path)) {
    return ErrnoStatus("Cannot create the folder", path, err);
  }
  if (::mkdirat(parent.fd(), name.c_str(), 0777) != 0 && errno != EEXIST) {
    return ErrnoStatus("Cannot create the folder", path, errno);
  }
  Result<Folder> made = parent.Sub(name);
  if (!made.ok()) return made;
  // Only a folder of our own: one another user made under the name may hold
  // anything, and what is put in it is ours to remove.
  struct stat st {};
  if (::fstat(made->fd(), &st) != 0) return ErrnoStatus("Cannot create the folder", path, errno);
  if (st.st_uid != ::geteuid()) return ErrnoStatus("Cannot create the folder", path, ENOTDIR);
  return made;
}

Result<FileVersion> SystemFileOperations::VersionOf(const Folder& folder, const std::string& name) {
  struct stat st {};
  if (::fstatat(folder.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return ErrnoStatus("Cannot look up", folder.Display(name), errno);
  }
  return VersionOfStat(st);
}

Status SystemFileOperations::RemoveFolderIfEmpty(const Folder& parent, const std::string& name) {
  const std::string path = parent.Display(name);
  BeforeWrite(WriteSite::kFileOps, WriteKind::kRemoveFolder, path);
  if (::unlinkat(parent.fd(), name.c_str(), AT_REMOVEDIR) != 0) {
    return ErrnoStatus("Cannot remove the folder", path, errno);
  }
  return Status::Ok();
}

Result<int> SystemFileOperations::RemoveTempFiles(const std::string& folder) {
  return RemoveTempFilesIn(folder, [this](const std::string& path) {
    return InjectFault(FileStep::kDelete, path) == 0;
  });
}

}  // namespace zf
