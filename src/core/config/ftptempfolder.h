#pragma once

#include <string>

#include "config/queuetable.h"

namespace zf {

// The local folder an FTP queue fetches into: a subfolder of its FTPTemppath
// named after the queue. Every queue that keeps the default FTPTemppath
// shares it, so each takes up only the files it fetched itself; the name
// makes the folder stable across restarts and tells the operator whose files
// wait there. A renamed queue starts a new subfolder; files still waiting in
// the old one stay there for the operator. Ends in a path separator; empty
// when the queue has no FTPTemppath.
std::string FtpTempFolderOf(const QueueRecord& queue);

// The subfolder's own name: the queue name with every character outside
// letters, digits, blank, "-", "_" and "." (and a leading ".") written as
// "%XX", so no name can reach outside FTPTemppath or hide; "%" for a queue
// without a name.
std::string FtpTempSubfolderName(const std::string& queueName);

}  // namespace zf
