#include "ftp/ftpleftovers.h"

#include <memory>
#include <string_view>

#include "engine/masks.h"
#include "platform/paths.h"
#include "platform/tempfile.h"

namespace zf {
namespace {

// A file still being written, as a pass sees it: a hidden name ending in
// ".part". Our own fetches in progress (and those a crash broke off) have the
// temporary shape of platform/tempfile.h, one such name; the start-up
// clean-up removes them.
bool IsBeingWritten(std::string_view name) {
  return name.size() > 1 + kTempSuffix.size() && name.front() == '.' && name.ends_with(kTempSuffix);
}

}  // namespace

Result<std::vector<FileInfo>> ListFtpLeftovers(const QueueRecord& queue, FileAccess& files) {
  std::vector<FileInfo> leftovers;
  if (!queue.FTPuse) return leftovers;
  if (queue.FTPTemppath.empty()) return Status::Error("The queue has no FTP temp folder");
  const std::string folder = IncludeTrailingPathDelimiter(queue.FTPTemppath);
  Result<std::unique_ptr<DirListing>> listing = files.List(folder + queue.Searchmask);
  if (!listing.ok()) return listing.status();
  const IgnoreMasks ignored(queue.ignoremask);
  constexpr std::uint32_t kNotAFile =
      fileattr::kDirectory | fileattr::kVolumeLabel | fileattr::kSymlink | fileattr::kDevice;
  FileInfo entry;
  while (listing.value()->Next(entry)) {
    if (entry.name == "." || entry.name == ".." || entry.Has(kNotAFile) ||
        IsBeingWritten(entry.name)) {
      continue;
    }
    // An invalid ignore mask lists the file: better shown once too often.
    const Result<bool> ignore = ignored.Matches(entry.name);
    if (ignore.ok() && ignore.value()) continue;
    leftovers.push_back(entry);
  }
  return leftovers;
}

Result<std::vector<FileInfo>> ListFtpLeftovers(const QueueRecord& queue) {
  SystemFileAccess files;
  return ListFtpLeftovers(queue, files);
}

}  // namespace zf
