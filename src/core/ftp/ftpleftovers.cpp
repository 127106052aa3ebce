#include "ftp/ftpleftovers.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string_view>

#include "config/ftptempfolder.h"
#include "engine/delivery.h"
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
  const std::string folder = FtpTempFolderOf(queue);
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

Result<Folder> OpenFtpTempFolder(const QueueRecord& queue) {
  if (queue.FTPTemppath.empty()) return Status::Error("The queue has no FTP temp folder");
  Result<Folder> base = Folder::Open(queue.FTPTemppath);
  if (!base.ok()) {
    const int err = base.status().code();
    if (err == ENOENT || err == ENOTDIR) {
      return Status::Error("The FTP temp folder " + queue.FTPTemppath + " cannot be found", err);
    }
    return Status::Error(
        "The FTP temp folder " + queue.FTPTemppath + " cannot be read: " + std::strerror(err), err);
  }
  const std::string own = FtpTempFolderOf(queue);
  const std::string name = FtpTempSubfolderName(queue.name);
  if (::mkdirat(base->fd(), name.c_str(), 0700) != 0 && errno != EEXIST) {
    const int err = errno;
    return Status::Error("The FTP temp folder " + own + " cannot be made: " + std::strerror(err),
                         err);
  }
  Result<Folder> folder = base->Sub(name);
  if (!folder.ok()) {
    const int err = folder.status().code();
    if (err == ENOTDIR) {
      return Status::Error(
          "The FTP temp folder " + own + " is not a folder of ours (a link or a file stands there)",
          err);
    }
    return Status::Error("The FTP temp folder " + own + " cannot be read: " + std::strerror(err),
                         err);
  }
  return folder;
}

int RemoveFtpLeftovers(const QueueTable& table) {
  const QueueTable::State state = table.Snapshot();
  int removed = 0;
  for (int i = 0; i < state.Nfolders; ++i) {
    const QueueRecord& queue = *state.slots[static_cast<std::size_t>(i)];
    if (!queue.FTPuse || queue.FTPTemppath.empty()) continue;
    // Only a real folder of ours is cleaned; a link planted there is not
    // followed.
    if (!OpenFtpTempFolder(queue).ok()) continue;
    const std::string folder = FtpTempFolderOf(queue);
    if (const Result<int> temps = RemoveDeliveryLeftovers(folder); temps.ok()) removed += *temps;
    if (const Result<int> links = RemoveStagingLeftovers(folder); links.ok()) removed += *links;
  }
  return removed;
}

namespace {

// The folder as the system resolves it, so that two spellings of one folder
// (a trailing separator, "..", a link to it) compare equal; as written
// where it cannot be resolved.
std::filesystem::path Resolved(const std::string& folder) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::weakly_canonical(folder, error);
  if (error) path = std::filesystem::path(folder).lexically_normal();
  std::string text = path.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// True when `inner` is `outer` or lies inside it.
bool Within(const std::filesystem::path& inner, const std::filesystem::path& outer) {
  auto o = outer.begin();
  auto i = inner.begin();
  for (; o != outer.end(); ++o, ++i) {
    if (i == inner.end() || *i != *o) return false;
  }
  return true;
}

}  // namespace

std::vector<FtpFolderFinding> CheckFtpTempFolders(const QueueTable::State& state) {
  struct Folder {
    int slot;
    const char* what;
    std::filesystem::path path;
  };
  std::vector<Folder> folders;
  for (int slot = 1; slot <= state.Nfolders; ++slot) {
    const QueueRecord& q = *state.slots[static_cast<std::size_t>(slot - 1)];
    if (!q.FTPuse && !q.Inputfolder.empty()) {
      folders.push_back({slot, "input folder", Resolved(q.Inputfolder)});
    }
    if (!q.Outputfolder.empty()) {
      folders.push_back({slot, "output folder", Resolved(q.Outputfolder)});
    }
    if (!q.Errorfolder.empty()) folders.push_back({slot, "error folder", Resolved(q.Errorfolder)});
  }
  std::vector<FtpFolderFinding> findings;
  std::map<std::filesystem::path, int> firstTemp;
  std::map<std::filesystem::path, int> firstOwn;
  for (int slot = 1; slot <= state.Nfolders; ++slot) {
    const QueueRecord& q = *state.slots[static_cast<std::size_t>(slot - 1)];
    if (!q.FTPuse || q.FTPTemppath.empty()) continue;
    const auto label = [&](int other) {
      const QueueRecord& o = *state.slots[static_cast<std::size_t>(other - 1)];
      return "queue " + std::to_string(other) + " '" + o.name + "'";
    };
    const std::filesystem::path temp = Resolved(q.FTPTemppath);
    const std::filesystem::path own = Resolved(FtpTempFolderOf(q));
    const std::string named = "FTP temporary folder '" + q.FTPTemppath + "'";
    if (const auto [first, fresh] = firstOwn.emplace(own, slot); !fresh) {
      findings.push_back({slot, true,
                          named + " and the queue's name are those of " + label(first->second) +
                              ": the two would take up each other's fetched files"});
    } else if (const auto [shared, once] = firstTemp.emplace(temp, slot); !once) {
      findings.push_back({slot, false,
                          named + " is also that of " + label(shared->second) +
                              "; each queue keeps its fetched files in a subfolder named after "
                              "it, so a renamed queue leaves its waiting files behind"});
    }
    for (const Folder& f : folders) {
      if (Within(temp, f.path)) {
        findings.push_back({slot, true,
                            named + (temp == f.path ? " is the " : " lies inside the ") + f.what +
                                " of " + label(f.slot) +
                                ": files fetched there mix with files other people work on"});
      } else if (Within(f.path, own)) {
        findings.push_back({slot, true,
                            "the " + std::string(f.what) + " of " + label(f.slot) +
                                " lies inside the queue's FTP temporary folder '" + own.string() +
                                "'"});
      }
    }
  }
  return findings;
}

}  // namespace zf
