#pragma once

#include <vector>

#include "config/queuetable.h"
#include "platform/fileaccess.h"
#include "platform/result.h"

namespace zf {

// Files that an FTP queue fetched but has not delivered yet. A fetched file
// is no longer on the server; each pass of the queue takes such files up
// again, so this lists what is waiting there (a delivery that keeps failing,
// a file marked read-only that no pass takes) for a configuration check.
//
// The regular files in the queue's FTPTemppath that its Searchmask takes and
// its ignore masks leave, in listing order; not the partial files of fetches
// in progress or broken off (temporary names, which the server still has),
// nor other hidden ".part" files, folders or links. Empty for a queue
// without FTPuse. An error when the folder cannot be listed.
Result<std::vector<FileInfo>> ListFtpLeftovers(const QueueRecord& queue, FileAccess& files);
Result<std::vector<FileInfo>> ListFtpLeftovers(const QueueRecord& queue);

}  // namespace zf
