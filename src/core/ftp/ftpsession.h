#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ftp/ftplisting.h"
#include "ftp/ftpsecurity.h"
#include "platform/folder.h"
#include "platform/result.h"
#include "platform/tempfile.h"

namespace zf {

// Limits of our own beyond the connect time-out: a server that stops
// answering, or a transfer that stops moving, must not hold the worker thread
// (and with it the program's shutdown) for ever.
struct FtpLimits {
  int responseTimeoutSeconds = 60;  // for each reply on the control connection
  // A transfer slower than `minBytesPerSecond` for this long ends; the
  // connect time-out replaces it when one is set (see SetConnectTimeoutMs).
  int stallSeconds = 60;
  // Flush a fetched file to the disk before it takes its name (and before the
  // caller deletes the server's copy). Off only for measurements.
  bool flushToDisk = true;
  // The slowest transfer still taken for moving. 1 KiB/s is far below any
  // working line (a 1 MB scan would take a quarter of an hour), yet it cuts a
  // server that trickles a few bytes now and then to keep the transfer alive
  // and would otherwise hold the worker, and every other queue, for hours.
  long minBytesPerSecond = 1024;
};

// One FTP client: one control connection that is kept open and reused from
// command to command, as long as the log-in stays the same.
//
// Data connections are active by default (the client names a port with PORT,
// EPRT only where the address needs it) and files move in binary. Nothing is
// ever sent to the server but commands and the log-in; no message of this
// class carries the password, and no protocol trace is ever written.
//
// One thread at a time: the engine's worker uses a queue's client alone.
class FtpSession {
 public:
  explicit FtpSession(FtpLimits limits = {});
  ~FtpSession();
  FtpSession(const FtpSession&) = delete;
  FtpSession& operator=(const FtpSession&) = delete;

  // The log-in that the next Connect uses. An empty user logs in anonymously.
  void SetLogin(std::string host, std::int32_t port, std::string user, std::string password);
  const std::string& host() const { return host_; }
  std::int32_t port() const { return port_; }
  const std::string& user() const { return user_; }
  const std::string& password() const { return password_; }

  // The protocol and the server's identity that the next Connect uses.
  void SetSecurity(FtpSecurity security) { security_ = std::move(security); }
  const FtpSecurity& security() const { return security_; }

  // Connect time-out in milliseconds for the next Connect; 0 or less sets
  // none of our own, leaving the network's (and the library's) own limit.
  // When set, it is also how long a transfer may stay below the minimum
  // speed: the operator's word for how long the server may keep us waiting.
  void SetConnectTimeoutMs(std::int32_t milliseconds) { connectTimeoutMs_ = milliseconds; }
  // Passive data connections (the server names the port) instead of active
  // ones; takes effect with the next transfer, without reconnecting.
  void SetPassive(bool passive) { passive_ = passive; }
  bool passive() const { return passive_; }

  // True while a logged-in control connection is open and the server has not
  // closed it. Sends nothing.
  bool Connected();
  // Opens the control connection and logs in (after dropping any open one),
  // then asks which features the server offers.
  Status Connect();
  // Closes the control connection politely. Safe when none is open.
  Status Disconnect();

  // Enters `path` on the server (one CWD with the whole path; a path starting
  // with "/" is absolute). An empty path stays in the log-in folder.
  Status ChangeDir(const std::string& path);
  // The folder entered last; the one all further commands work in.
  const std::string& currentDir() const { return dir_; }
  Status Noop();

  // The detailed listing of the current folder, in full: MLSD where the
  // server offers it (exact times, entry kinds), LIST otherwise. `today`
  // dates LIST lines that give no year.
  Result<std::vector<RemoteEntry>> List(const ListingDate& today);
  // The names of the current folder (NLST), as the server sends them.
  Result<std::vector<std::string>> ListNames();
  // Whether listings use MLSD; known after Connect.
  bool UsesMlsd() const { return mlsd_; }

  // Fetches the remote file `name` of the current folder into `localPath`,
  // replacing a file of that name, from the start (no resume). The data goes
  // to a new temporary file beside it (CreateTempFile: the one temporary
  // shape that the start-up clean-up knows) that takes the final name only
  // when the transfer is complete and, when `expectedSize` is 0 or more, has
  // exactly that size; a transfer that breaks off leaves neither a partial
  // file under the final name nor the temporary one. The final name is
  // replaced by a rename, so a link or a pipe planted there is replaced,
  // never written through.
  Status Retrieve(const std::string& name, const std::string& localPath,
                  std::int64_t expectedSize = -1);
  // Retrieve in two halves, for callers that flush many fetched files at
  // once: the first leaves the complete, checked data in a new temporary
  // file for `localPath` (in its folder), neither flushed nor renamed, and
  // nothing on failure; the second closes a flushed one and renames it to
  // `localPath`, removing it on failure. Neither flushes the folder.
  // Both work in the open `folder`, so a link swapped in for it after it was
  // opened cannot redirect the fetch; `temp.path` is the temporary's name in it.
  Result<TempFile> RetrieveToTemp(const std::string& name, const Folder& folder,
                                  const std::string& localName, std::int64_t expectedSize = -1);
  Status Place(TempFile& temp, const Folder& folder, const std::string& localName);
  // Whether fetched files are to be flushed to the disk (FtpLimits).
  bool FlushesToDisk() const { return limits_.flushToDisk; }
  // An error of the local system (errno `err`) while fetching, kept as
  // failure(); also for the caller's own steps (a flush of fetched files).
  Status LocalFail(const std::string& what, int err);
  // Deletes the remote file `name` of the current folder.
  Status Delete(const std::string& name);
  // The size (SIZE) and modification time (MDTM, whole seconds since 1970)
  // of the remote file `name` of the current folder, for servers whose
  // listings tell neither exactly; -1 for what the server does not tell.
  struct FileFacts {
    std::int64_t size = -1;
    std::int64_t modified = -1;
    bool operator==(const FileFacts&) const = default;
  };
  Result<FileFacts> Facts(const std::string& name);

  // Called with the bytes received so far of the file being fetched, while
  // data comes in; an empty handler detaches it. It must not throw.
  using ProgressHandler = std::function<void(std::int64_t received)>;
  void SetProgressHandler(ProgressHandler handler) { progress_ = std::move(handler); }

  // Asked while a command or transfer is under way (at least once a second,
  // also when no data moves); true breaks it off at once, which also drops
  // the connection. An empty check detaches it. It must not throw.
  using AbortCheck = std::function<bool()>;
  void SetAbortCheck(AbortCheck check) { abort_ = std::move(check); }

  // The key the server presented on the last Connect, in the form the
  // queue's FTPfingerprint takes ("sha256//<base64>" of a TLS server's
  // public key, "SHA256:<base64>" of an SFTP host key as ssh shows it);
  // empty over plain FTP, or where the handshake did not get that far or
  // the key was checked against a stored fingerprint.
  const std::string& presentedKey() const;
  // Whether the last Connect failed only because nothing known vouches for
  // the server (no pin, no known_hosts line, no authority): the operator may
  // look at presentedKey() and decide to trust it. A key other than the
  // stored one is no such case.
  bool identityUnknown() const { return identityUnknown_; }

  // Why the last failed command failed, in the fewest words: the server's
  // reply when it refused ("550 Permission denied."), else what the network
  // or the local system said ("Timeout was reached", "No space left on
  // device"). Never holds the password.
  const std::string& failure() const { return failure_; }

 private:
  struct Impl;

  bool Sftp() const { return security_.protocol == kFtpSftp; }
  // Over TLS data connections are always passive: a firewall cannot read the
  // port an encrypted PORT names, and servers' active TLS data is unreliable.
  bool DataPassive() const {
    return passive_ || security_.protocol == kFtpExplicitTls ||
           security_.protocol == kFtpImplicitTls;
  }
  // Sets the protocol's options on a new handle; false for an unknown one.
  bool SetUpProtocol();
  std::string BaseUrl() const;
  std::string DirUrl() const;
  std::string DirUrlOf(const std::string& path) const;
  // Runs the request set up on the handle, with the reply lines of this
  // request only.
  int Perform();
  // An error for a failed request: `what`, the server, and the cause.
  Status Fail(const std::string& what, int code);
  Status NotConnected(const std::string& what);

  FtpLimits limits_;
  std::unique_ptr<Impl> impl_;
  std::string host_;
  std::int32_t port_ = 21;
  std::string user_;
  std::string password_;
  std::int32_t connectTimeoutMs_ = -1;
  int stallSeconds_ = 0;  // the slow-transfer window of the open connection
  bool passive_ = false;
  bool connected_ = false;
  bool identityUnknown_ = false;
  bool mlsd_ = false;
  std::string dir_;
  ProgressHandler progress_;
  AbortCheck abort_;
  std::string failure_;
  FtpSecurity security_;
};

}  // namespace zf
