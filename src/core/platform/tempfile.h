#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/uniquefd.h"

namespace zf {

// Every file this program writes first appears under one temporary shape:
// ".zf-<16 hex digits>-<target name>.part" in the target's own folder. The
// leading dot keeps it out of search masks, the ".part" ending tells other
// hot folders it is still being written, and the exact shape lets the
// start-up clean-up remove what a crash left behind, and nothing else, in
// every folder we write to.
inline constexpr std::string_view kTempPrefix = ".zf-";
inline constexpr std::string_view kTempSuffix = ".part";

// A fresh temporary name for a file that will become `targetName`; the
// target's name is kept (cut to fit the file system's name limit) so an
// operator can tell what it was for.
std::string MakeTempName(std::string_view targetName);

// True for a name of the shape MakeTempName gives.
bool IsTempName(std::string_view name);

// A temporary file created exclusively in a folder.
struct TempFile {
  UniqueFd fd;
  std::string path;
};

// Creates a new temporary file for `targetName` in `folder` (O_EXCL, retried
// on a clash) with the permission bits `mode` (before the umask).
Result<TempFile> CreateTempFile(const std::string& folder, std::string_view targetName,
                                mode_t mode = 0666);

// The same in the open folder `folderFd` (shown as `folder`); the path of
// the result is the bare name.
Result<TempFile> CreateTempFileAt(int folderFd, const std::string& folder,
                                  std::string_view targetName, mode_t mode = 0666);

// Removes the regular files whose names `wanted` accepts from `folder`
// (never a folder or a link) and answers how many went; `mayRemove`, when
// given, is asked for each full path first (a test seam).
Result<int> RemoveFilesIn(const std::string& folder,
                          const std::function<bool(std::string_view)>& wanted,
                          const std::function<bool(const std::string&)>& mayRemove = {});

// Removes the regular files of temporary shape from `folder` and answers how
// many went. Folders, links and every other name are left alone.
// `mayRemove`, when given, is asked for each full path first (a test seam).
Result<int> RemoveTempFilesIn(const std::string& folder,
                              const std::function<bool(const std::string&)>& mayRemove = {});

}  // namespace zf
