#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/result.h"

namespace zf {

// The steps of replacing a file atomically, in the order they run.
enum class WriteStep { kCreateTemp, kWrite, kSyncFile, kRename, kSyncFolder };

// Whole-file reading and atomic whole-file replacement.
//
// Configuration files are always read whole and written whole: a save either
// leaves the complete new file or the untouched old one, never a mixture.
// The class has no state; tests derive from it to make one step fail the way
// the operating system would (a full disk, a refused rename), with the real
// file system doing everything else.
class FileSystem {
 public:
  // Owner read and write only: the configuration files hold FTP and
  // database passwords.
  static constexpr mode_t kNewFileMode = 0600;

  virtual ~FileSystem() = default;

  // The file's bytes. A missing file is an error with code ENOENT, so that
  // callers can tell "nothing there yet" from "there but unreadable".
  Result<std::string> ReadWholeFile(const std::string& path) const;

  // Writes `content` to a temporary file in the target's folder, flushes it to
  // the disk, renames it over `path` and flushes the folder. A symbolic link is
  // followed, so the file it points to is replaced and the link stays. The
  // temporary file carries kNewFileMode (less the umask) from the moment it
  // exists; once its content is complete it takes an existing file's
  // permission bits, so a new file keeps kNewFileMode and an old one its
  // own. It has the shape of platform/tempfile.h, so RemoveTempFilesIn clears
  // what a crash left. On failure the old file is untouched and the
  // temporary file is gone; the message names the step.
  Status WriteWholeFileAtomic(const std::string& path, std::string_view content) const;

 protected:
  // Test seam: a non-zero errno value makes `step` fail with that error
  // before it runs. This one passes the step to the process-wide write hook
  // (platform/writehook.h) and lets it run.
  virtual int InjectFault(WriteStep step, const std::string& path) const;
};

// The real file system, for callers that are not handed another.
const FileSystem& DefaultFileSystem();

// Full path of the running program file (from /proc/self/exe).
Result<std::string> ProgramFilePath();

}  // namespace zf
