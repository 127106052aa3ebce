#include "discovery.h"

#include <cerrno>
#include <string_view>
#include <utility>

#include "engine/masks.h"
#include "engine/readiness.h"
#include "platform/filetime.h"
#include "platform/paths.h"

namespace zf {
namespace {

constexpr int kMaxOrderingPasses = 10'001;

// Entries the engine never takes, whatever their name. Links are neither
// followed nor moved: taking one would copy or delete whatever it points to.
// Pipes and devices cannot be copied without blocking the engine.
constexpr std::uint32_t kNeverTaken = fileattr::kSymlink | fileattr::kDevice;

// A hidden name ending in ".part" is a file still being written: our own
// copies into an output folder, the page files of a split and FTP fetches all
// write under such a name and rename when complete. A queue whose input folder
// is another queue's output folder must not take one half-written.
bool IsBeingWritten(std::string_view name) {
  constexpr std::string_view kSuffix = ".part";
  return name.size() > kSuffix.size() + 1 && name.front() == '.' &&
         name.substr(name.size() - kSuffix.size()) == kSuffix;
}

bool FolderExists(FileAccess& files, const std::string& folder) {
  try {
    return !folder.empty() && files.DirectoryExists(ExcludeTrailingPathDelimiter(folder));
  } catch (...) {
    return false;
  }
}

}  // namespace

bool CheckQueue(const QueueRecord& queue, FileAccess& files,
                const std::function<bool()>& prepareFtp) {
  bool usable = true;
  if (queue.FTPuse) {
    try {
      usable = prepareFtp && prepareFtp();
    } catch (...) {
      usable = false;
    }
  } else {
    usable = FolderExists(files, queue.Inputfolder);
  }
  usable = FolderExists(files, queue.Outputfolder) && usable;
  if (!queue.Errorfolder.empty()) usable = FolderExists(files, queue.Errorfolder) && usable;
  return usable;
}

Status DiscoverFiles(FileAccess& files, Clock& clock, PassContext& pass) {
  FileTable& table = pass.files;
  const QueueRecord& queue = *pass.queue;
  table.set_count(0);
  // The listing closes when this goes, on every way out of the loop.
  // Normalized names meet the search mask here, so the listing takes all.
  const bool nfc = queue.Normalize;
  Result<std::unique_ptr<DirListing>> listing =
      files.List(pass.inputFolder + (nfc ? std::string("*") : queue.Searchmask));
  // A folder that is gone lists nothing (the pre-check and the status board
  // tell about missing folders); any other failure to read it (no right to,
  // an I/O error) would otherwise look like an empty folder for ever, so it
  // ends the queue's pass and is reported.
  if (!listing.ok()) {
    return listing.status().code() == ENOENT ? Status::Ok() : listing.status();
  }
  const IgnoreMasks ignored(queue.ignoremask);
  FileInfo entry;
  int count = 0;
  while (count < FileTable::kUsable && listing.value()->Next(entry)) {
    const std::string seen = nfc ? NfcName(entry.name) : std::string();
    if (nfc && !ListingNameMatches(seen, queue.Searchmask)) continue;
    const Result<bool> ignore = ignored.Matches(nfc ? seen : entry.name);
    if (!ignore.ok()) return ignore.status();
    if (ignore.value() || entry.name == "." || entry.name == ".." ||
        entry.Has(fileattr::kDirectory) || entry.Has(fileattr::kVolumeLabel) ||
        entry.Has(fileattr::kReadOnly) || entry.Has(kNeverTaken) || IsBeingWritten(entry.name)) {
      continue;
    }
    FileEntry& e = table.at(++count);
    e = FileEntry{};
    e.oldname = entry.name;
    if (nfc && seen != entry.name) e.nfcname = seen;
    // The listing looked the entry up already; its times are the ones a
    // second look-up would give.
    e.filetime = FileTimeOf(entry, queue.filetimetype, clock);
    e.filesize = static_cast<std::int32_t>(entry.size);
    e.filesize64 = entry.size;
    table.set_count(count);
  }
  return Status::Ok();
}

void OrderFiles(FileTable& table, const KeepGoingFn& keepGoing) {
  const int count = table.count();
  if (count < 2) return;
  for (int round = 1; round <= kMaxOrderingPasses; ++round) {
    bool exchanged = false;
    for (int j = 1; j < count; ++j) {
      // Only a strictly later time moves, so equal times keep listing order.
      if (table.at(j).filetime > table.at(j + 1).filetime) {
        std::swap(table.at(j), table.at(j + 1));
        exchanged = true;
      }
    }
    if (!exchanged || !keepGoing()) return;
  }
}

void CheckStability(FileAccess& files, Clock& clock, PassContext& pass,
                    const KeepGoingFn& keepGoing) {
  FileTable& table = pass.files;
  const std::int32_t filetimetype = pass.queue->filetimetype;
  try {
    for (int k = 1; k <= table.count(); ++k) {
      FileEntry& e = table.at(k);
      const Result<FileInfo> now = files.Stat(pass.inputFolder + e.oldname);
      if (now.ok()) {
        // The full size is compared: a file past 2 GiB that is still growing
        // may wrap to the same 32-bit value.
        e.ready = !now->Has(fileattr::kDirectory | kNeverTaken) && now->size == e.filesize64 &&
                  FileTimeOf(now.value(), filetimetype, clock) == e.filetime;
        e.identity = now->identity;
      }
      if (!keepGoing()) return;
    }
  } catch (...) {
    // The entries not reached stay not ready and are met again next cycle.
  }
}

}  // namespace zf
