#pragma once

#include <vector>

#include "config/queuetable.h"
#include "platform/fileaccess.h"
#include "platform/result.h"

namespace zf {

// Files that an FTP queue fetched but did not deliver. A fetched file is no
// longer on the server, and its queue never lists FTPTemppath, so a file
// whose delivery failed (or whose pass ended early) stays there until the
// operator sees to it; this lists them for a configuration check.
//
// The regular files in the queue's FTPTemppath that its Searchmask takes and
// its ignore masks leave, in listing order; not the hidden partial files of
// interrupted fetches (the server still has those files), nor folders or
// links. Empty for a queue without FTPuse. An error when the folder cannot
// be listed.
Result<std::vector<FileInfo>> ListFtpLeftovers(const QueueRecord& queue, FileAccess& files);
Result<std::vector<FileInfo>> ListFtpLeftovers(const QueueRecord& queue);

}  // namespace zf
