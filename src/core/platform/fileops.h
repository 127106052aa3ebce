#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fileidentity.h"
#include "platform/folder.h"
#include "platform/result.h"
#include "platform/tempfile.h"
#include "platform/uniquefd.h"

namespace zf {

// The endings of the EINVAL messages of a copy, for callers that name the
// cause to an operator.
inline constexpr std::string_view kNotRegularFile = "not a regular file";
inline constexpr std::string_view kSameFile = "the same file as the target";

// A copy written under its temporary name beside its target, not yet known
// to be on the disk and not yet under the target's name (see StageCopy).
struct StagedCopy {
  std::string source;  // display paths, for messages and the fault seam
  std::string target;
  Folder folder;  // the target's folder
  std::string name;
  std::string tempName;
  UniqueFd fd;  // the temporary file, open until it is published or discarded
  std::uint64_t bytes = 0;
  FileVersion read;  // the source as it was copied
};

// The file operations of delivery: copy replacing a target, rename failing on
// an existing target, delete, and the clean-up of copies a crash left behind.
// Each names its files by an open folder and a name in it (platform/folder.h).
//
// A copy never shows a half-written file under the target's name and never
// destroys the old target when it fails: it writes a temporary file in the
// target's folder, checks and flushes it, and only then renames it over the
// target. Temporary names start with kTempPrefix and 16 hex digits and end in
// kTempSuffix; the leading dot keeps them out of the search masks, and the
// exact shape lets the start-up clean-up remove only what a copy left behind.
class FileOperations {
 public:
  static constexpr std::string_view kTempPrefix = ::zf::kTempPrefix;
  static constexpr std::string_view kTempSuffix = ::zf::kTempSuffix;

  virtual ~FileOperations() = default;

  // Copies the regular file `source` to `target`, replacing a file of that
  // name, and answers the version of the source that was copied. The copy
  // keeps the source's last-write time, as desktop copies do. On failure the
  // target is as it was and no temporary file is left; the one exception is
  // a failed flush of the folder after the rename, when the copy is in place
  // but not known to survive a power cut. A source and target that are one
  // file (the same name, or a hard link) are refused with EINVAL: replacing
  // would leave nothing to copy from.
  //
  // The source is opened without following a link and without blocking, and
  // must be a regular file; with `expected` known it must also be that very
  // file (ESTALE otherwise), so a link or pipe swapped in under the name after
  // the file was found stable is never read. Holes of a sparse source stay
  // holes in the copy.
  Result<FileVersion> CopyReplacing(const Folder& from, const std::string& source, const Folder& to,
                                    const std::string& target, FileIdentity expected = {});
  // The same by paths, for callers outside delivery.
  Status CopyReplacing(const std::string& source, const std::string& target,
                       FileIdentity expected = {});

  // The steps of CopyReplacing, for callers that deliver many files and pay
  // the disk's flush once for all of them: stage each copy, flush them
  // together, publish each, then flush each folder once. Until a copy is
  // published its target is untouched, and a crash leaves only a temporary
  // file that the start-up clean-up removes.
  //
  // Opens and checks the source as CopyReplacing does and writes it to a new
  // temporary file in the target's folder; on failure nothing is left.
  virtual Result<StagedCopy> StageCopy(const Folder& from, const std::string& source,
                                       const Folder& to, const std::string& target,
                                       FileIdentity expected = {}) = 0;
  // Makes the data of every copy durable; one status per copy, in order. A
  // copy that failed is still staged, for the caller to discard.
  virtual std::vector<Status> FlushCopies(std::span<StagedCopy* const> copies) = 0;
  // Renames the copy over its target; on failure the temporary file is gone
  // and the target is as it was.
  virtual Status PublishCopy(StagedCopy& copy) = 0;
  // Removes a staged copy that will not be published.
  virtual void DiscardCopy(StagedCopy& copy) = 0;
  // Flushes `folder`, so that what was published there survives a power
  // cut; `name` is what was published last (for messages).
  virtual Status FlushFolder(const Folder& folder, const std::string& name) = 0;

  // Renames; fails with EEXIST when `to` exists.
  virtual Status RenameNoReplace(const Folder& fromFolder, const std::string& from,
                                 const Folder& toFolder, const std::string& to) = 0;
  Status RenameNoReplace(const std::string& from, const std::string& to);

  // Renames, replacing a file `to` in one step.
  virtual Status RenameReplacing(const Folder& fromFolder, const std::string& from,
                                 const Folder& toFolder, const std::string& to) = 0;

  virtual Status Delete(const Folder& folder, const std::string& name) = 0;
  Status Delete(const std::string& path);

  // Moves `name` from `from` into the folder `to` under the same name,
  // refusing an existing one: the first step of deleting a file whose
  // identity is to be proven first, so the fault seam sees it as the
  // deletion of `from`'s file.
  virtual Status MoveInto(const Folder& from, const std::string& name, const Folder& to) = 0;

  // A second name `to` for the file `from` (a link itself is never followed);
  // fails with EEXIST when `to` exists.
  virtual Status HardLink(const Folder& fromFolder, const std::string& from, const Folder& toFolder,
                          const std::string& to) = 0;

  // Makes the subfolder `name` unless it is there, and opens it. A link or a
  // file of that name, or a folder of another owner, is refused with ENOTDIR.
  virtual Result<Folder> MakeFolder(const Folder& parent, const std::string& name) = 0;

  // Removes the subfolder when it holds nothing; anything else is left alone.
  virtual Status RemoveFolderIfEmpty(const Folder& parent, const std::string& name) = 0;

  // The version of the entry itself (a link is not followed).
  virtual Result<FileVersion> VersionOf(const Folder& folder, const std::string& name) = 0;
  Result<FileIdentity> IdentityOf(const std::string& path);

  // Removes the temporary files of interrupted copies from `folder` (see
  // IsTempName) and answers how many went. Folders and links are left alone.
  virtual Result<int> RemoveTempFiles(const std::string& folder) = 0;

  // True for a name of the shape that CopyReplacing gives its temporary files.
  static bool IsTempName(std::string_view name);
};

// The steps of the system operations, each of which a test can make fail.
enum class FileStep {
  kOpenSource,
  kCreateTemp,
  kWrite,  // before each chunk of a copy
  kSyncFile,
  kReplace,  // the rename of the finished copy over the target
  kSyncFolder,
  kRenameNoReplace,
  kLink,  // the fallback of RenameNoReplace where the file system cannot refuse
  kDelete,
  kHardLink,
  kMakeFolder,
};

// How FlushCopies makes a group of copies durable. Each copy's write-back
// was started when it was staged, so the disk is already busy with the data;
// what is left is waiting for it and for the journal commits that record the
// new files.
enum class GroupFlush {
  kEachFile,    // fdatasync of each copy in turn
  kFileSystem,  // one syncfs per file system the copies are on
  kThreads,     // fdatasync of the copies from a few threads at once, so
                // that their journal commits merge
};

// The operating system's file operations. Not final: tests derive from it to
// make one step fail the way the system would (a full disk, a refused rename,
// a vanished file) while the real file system does everything else.
class SystemFileOperations : public FileOperations {
 public:
  // The way of flushing groups that measured fastest on a journalling disk
  // (bench/bench_delivery).
  static constexpr GroupFlush kDefaultGroupFlush = GroupFlush::kThreads;

  // Without flushing, copies are not forced to the disk before they replace
  // their target; only for measuring what the flushes cost.
  explicit SystemFileOperations(bool flushToDisk = true, GroupFlush groupFlush = kDefaultGroupFlush)
      : flush_(flushToDisk), groupFlush_(groupFlush) {}

  Result<StagedCopy> StageCopy(const Folder& from, const std::string& source, const Folder& to,
                               const std::string& target, FileIdentity expected = {}) override;
  std::vector<Status> FlushCopies(std::span<StagedCopy* const> copies) override;
  Status PublishCopy(StagedCopy& copy) override;
  void DiscardCopy(StagedCopy& copy) override;
  Status FlushFolder(const Folder& folder, const std::string& name) override;
  using FileOperations::RenameNoReplace;
  Status RenameNoReplace(const Folder& fromFolder, const std::string& from, const Folder& toFolder,
                         const std::string& to) override;
  Status RenameReplacing(const Folder& fromFolder, const std::string& from, const Folder& toFolder,
                         const std::string& to) override;
  using FileOperations::Delete;
  Status Delete(const Folder& folder, const std::string& name) override;
  Status MoveInto(const Folder& from, const std::string& name, const Folder& to) override;
  Status HardLink(const Folder& fromFolder, const std::string& from, const Folder& toFolder,
                  const std::string& to) override;
  Result<Folder> MakeFolder(const Folder& parent, const std::string& name) override;
  Status RemoveFolderIfEmpty(const Folder& parent, const std::string& name) override;
  Result<FileVersion> VersionOf(const Folder& folder, const std::string& name) override;
  Result<int> RemoveTempFiles(const std::string& folder) override;

  // One instance for callers that are not handed another.
  static SystemFileOperations& Instance();

 protected:
  // Test seam: a non-zero errno value makes `step` fail with that error before
  // it runs. `path` is the file the step works on (its folder's path and its
  // name). This one passes the step to
  // the process-wide write hook (platform/writehook.h) and lets it run; an
  // override that wants the hook to see its steps calls it too.
  virtual int InjectFault(FileStep step, const std::string& path);

 private:
  Status CopyData(int sourceFd, const std::string& source, const std::string& target, int tempFd,
                  FileVersion& read);

  bool flush_;
  GroupFlush groupFlush_;
};

// Flushes the data of the open files `fds` to the disk in the way `way`
// says; answers 0 or the errno for each. For anything that must be durable
// in groups: delivery's copies, FTP fetches.
std::vector<int> SyncFileData(std::span<const int> fds,
                              GroupFlush way = SystemFileOperations::kDefaultGroupFlush);

// Makes SyncFileData behave as if no thread could be created, so a test can
// see the flushes done on the caller's thread instead.
void RefuseFlushThreadsForTesting(bool refuse);

}  // namespace zf
