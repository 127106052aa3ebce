#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/queuetable.h"
#include "ftp/ftpsession.h"

namespace zf {

// What the operator's FTP connection test found.
struct FtpTestResult {
  bool ok = false;         // logged in, entered the path and found names
  bool cancelled = false;  // broken off through the abort check; no message then
  // For the operator when the test failed: "Unable to disconnect", "Unable to
  // connect", "Unable to find path <path>" or "Unable to find files in<path>";
  // a server whose key is not the stored one is told as such.
  // Never the server's words, so never anything the server echoed of the log-in.
  std::string message;
  // Why, for the operator under the message: the server's reply, a time-out,
  // a refused connection, a mask nothing fits. The password never appears,
  // even where a server echoes what it was sent.
  std::string reason;
  // The names the queue's search mask lets through, in the order received.
  std::vector<std::string> names;
  // Nothing stored or trusted vouches for the server: the key it presented,
  // in the form FTPfingerprint takes, for the operator to trust or not.
  std::string unknownKey;
};

// Tries the FTP settings shown in the queue dialog with `client`, which must
// be the dialog's own and never a queue's: a queue's client carries the
// engine's log-in and folder between passes. Logs in, enters FTPpath and lists
// the names (NLST); nothing is fetched or deleted. The names are filtered with
// the same search-mask matching as the intake rather than sent with NLST,
// because servers differ on wildcards there (some refuse them outright), and
// the operator wants to see what the queue would take. `client` is
// disconnected at the end in every case.
// `configFolder` is where a relative FTPknownhosts or FTPkeyfile lies.
FtpTestResult RunFtpTest(FtpSession& client, const QueueRecord& shown, std::int32_t ftpTimeoutMs,
                         FtpSession::AbortCheck abort = {}, const std::string& configFolder = {});

// The same with a new client whose reply limit is the FTP time-out too (when
// one is set), so a server that accepts and then never answers ends the test
// within it.
FtpTestResult RunFtpTest(const QueueRecord& shown, std::int32_t ftpTimeoutMs,
                         FtpSession::AbortCheck abort = {}, const std::string& configFolder = {});

}  // namespace zf
