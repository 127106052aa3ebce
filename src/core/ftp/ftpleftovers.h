#pragma once

#include <string>
#include <vector>

#include "config/queuetable.h"
#include "platform/fileaccess.h"
#include "platform/folder.h"
#include "platform/result.h"

namespace zf {

// Files that an FTP queue fetched but has not delivered yet. A fetched file
// is no longer on the server; each pass of the queue takes such files up
// again, so this lists what is waiting there (a delivery that keeps failing,
// a file marked read-only that no pass takes) for a configuration check.
//
// The regular files in the queue's own subfolder of FTPTemppath that its Searchmask takes and
// its ignore masks leave, in listing order; not the partial files of fetches
// in progress or broken off (temporary names, which the server still has),
// nor other hidden ".part" files, folders or links. Empty for a queue
// without FTPuse. An error when the folder cannot be listed.
Result<std::vector<FileInfo>> ListFtpLeftovers(const QueueRecord& queue, FileAccess& files);
Result<std::vector<FileInfo>> ListFtpLeftovers(const QueueRecord& queue);

// The queue's own subfolder of FTPTemppath (FtpTempFolderOf), made when
// missing and opened without following a link: a link or a file planted
// under its name is refused, never written through. FTPTemppath itself is
// the operator's choice and may be a link.
Result<Folder> OpenFtpTempFolder(const QueueRecord& queue);

// What interrupted fetches and splits left in the FTP queues' subfolders
// (our temporary files and staging links, nothing else), for the start-up
// before the engine runs; answers how many went.
int RemoveFtpLeftovers(const QueueTable& table);

// FTP temporary folders that invite mistakes: one shared with another queue
// (harmless while each queue keeps its own subfolder, which two queues of one
// name would share), or one that is, or lies inside, an input, output or
// error folder, where other queues and people work. One text per finding of
// the queue in `slot`; `serious` for those that can mix up files.
struct FtpFolderFinding {
  int slot = 0;
  bool serious = false;
  std::string text;
};
std::vector<FtpFolderFinding> CheckFtpTempFolders(const QueueTable::State& state);

}  // namespace zf
