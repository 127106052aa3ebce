#include "platform/files.h"

#include "platform/tempfile.h"
#include "platform/uniquefd.h"
#include "platform/writehook.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace zf {
namespace {

Status ErrnoStatus(const std::string& what, const std::string& path, int err) {
  return Status::Error(what + " " + path + ": " + std::strerror(err), err);
}

const char* StepText(WriteStep step) {
  switch (step) {
    case WriteStep::kCreateTemp:
      return "Cannot create a temporary file for";
    case WriteStep::kWrite:
      return "Cannot write";
    case WriteStep::kSyncFile:
      return "Cannot flush";
    case WriteStep::kRename:
      return "Cannot replace";
    case WriteStep::kSyncFolder:
      return "Cannot flush the folder of";
  }
  return "Cannot write";
}

// The file that a save really replaces: the target of a symbolic link rather
// than the link, so that a linked configuration stays linked.
std::filesystem::path ResolveTarget(const std::string& path) {
  std::error_code ec;
  std::filesystem::path target(path);
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(target, ec))) {
    auto resolved = std::filesystem::weakly_canonical(target, ec);
    if (!ec) return resolved;
  }
  return target;
}

}  // namespace

int FileSystem::InjectFault(WriteStep step, const std::string& path) const {
  WriteKind kind = WriteKind::kWrite;
  switch (step) {
    case WriteStep::kCreateTemp:
      kind = WriteKind::kCreate;
      break;
    case WriteStep::kWrite:
      kind = WriteKind::kWrite;
      break;
    case WriteStep::kSyncFile:
      kind = WriteKind::kSyncFile;
      break;
    case WriteStep::kRename:
      kind = WriteKind::kRename;
      break;
    case WriteStep::kSyncFolder:
      kind = WriteKind::kSyncFolder;
      break;
  }
  BeforeWrite(WriteSite::kWholeFile, kind, path);
  return 0;
}

Result<std::string> FileSystem::ReadWholeFile(const std::string& path) const {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return ErrnoStatus("Cannot open", path, errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return ErrnoStatus("Cannot read", path, errno);
  if (S_ISDIR(st.st_mode)) return ErrnoStatus("Cannot read", path, EISDIR);
  std::string content;
  if (st.st_size > 0) content.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus("Cannot read", path, errno);
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  return content;
}

Status FileSystem::WriteWholeFileAtomic(const std::string& path, std::string_view content) const {
  const std::filesystem::path target = ResolveTarget(path);
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  const std::string targetText = target.string();

  auto fail = [&](WriteStep step, int err) { return ErrnoStatus(StepText(step), targetText, err); };

  // The temporary file lives beside the target: a rename within one file
  // system is atomic, across file systems it is not possible at all. It is
  // created readable by its owner only, since configuration files hold
  // passwords.
  if (int err = InjectFault(WriteStep::kCreateTemp, targetText))
    return fail(WriteStep::kCreateTemp, err);
  auto temp = CreateTempFile(folder.string(), target.filename().string(), kNewFileMode);
  if (!temp.ok()) return fail(WriteStep::kCreateTemp, temp.status().code());
  UniqueFd fd = std::move(temp.value().fd);
  const std::string tempPath = std::move(temp.value().path);

  auto failAndRemove = [&](WriteStep step, int err) {
    ::unlink(tempPath.c_str());
    return fail(step, err);
  };

  if (int err = InjectFault(WriteStep::kWrite, targetText))
    return failAndRemove(WriteStep::kWrite, err);
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return failAndRemove(WriteStep::kWrite, errno);
    }
    done += static_cast<std::size_t>(n);
  }

  // The old file's permissions go to the complete file, so the content is
  // never readable more widely than either file allowed; a failure here only
  // loses the mode.
  struct stat old {};
  if (::stat(targetText.c_str(), &old) == 0) (void)::fchmod(fd.get(), old.st_mode & 07777);

  if (int err = InjectFault(WriteStep::kSyncFile, targetText)) {
    return failAndRemove(WriteStep::kSyncFile, err);
  }
  if (::fsync(fd.get()) != 0) return failAndRemove(WriteStep::kSyncFile, errno);
  if (int err = fd.Close()) return failAndRemove(WriteStep::kSyncFile, err);

  if (int err = InjectFault(WriteStep::kRename, targetText))
    return failAndRemove(WriteStep::kRename, err);
  if (::rename(tempPath.c_str(), targetText.c_str()) != 0) {
    return failAndRemove(WriteStep::kRename, errno);
  }

  // The new content is in place now; flushing the folder makes the rename
  // itself survive a power cut. A failure is still reported, because the
  // caller was promised a durable file.
  if (int err = InjectFault(WriteStep::kSyncFolder, targetText))
    return fail(WriteStep::kSyncFolder, err);
  if (int err = SyncFolder(folder)) return fail(WriteStep::kSyncFolder, err);
  return Status::Ok();
}

const FileSystem& DefaultFileSystem() {
  static const FileSystem instance;
  return instance;
}

Result<std::string> ProgramFilePath() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return Status::Error("Cannot find the program file: " + ec.message(), ec.value());
  return path.string();
}

}  // namespace zf
