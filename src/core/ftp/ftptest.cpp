#include "ftp/ftptest.h"

#include "platform/fileaccess.h"

namespace zf {
namespace {

// The reply limit of the test's own client when no FTP time-out is set: long
// enough for a slow server, short enough that the operator is not left
// waiting for the engine's minute (Cancel ends it sooner).
constexpr int kDefaultReplySeconds = 30;

FtpTestResult Failed(std::string message, std::string reason, const std::string& password,
                     const FtpSession::AbortCheck& abort) {
  FtpTestResult result;
  // A failure caused by Cancel is no failure of the server's.
  if (abort && abort()) {
    result.cancelled = true;
    return result;
  }
  result.message = std::move(message);
  if (!password.empty()) {
    for (std::size_t at = 0; (at = reason.find(password, at)) != std::string::npos;) {
      reason.replace(at, password.size(), "*****");
    }
  }
  result.reason = std::move(reason);
  return result;
}

// The last part of a name: some servers answer NLST with "folder/name".
std::string BaseName(const std::string& name) {
  const auto cut = name.rfind('/');
  return cut == std::string::npos ? name : name.substr(cut + 1);
}

}  // namespace

FtpTestResult RunFtpTest(FtpSession& client, const QueueRecord& shown, std::int32_t ftpTimeoutMs,
                         FtpSession::AbortCheck abort, const std::string& configFolder) {
  const auto failed = [&](std::string message, std::string reason) {
    return Failed(std::move(message), std::move(reason), shown.FTPpasw, abort);
  };
  if (client.Connected() && !client.Disconnect().ok()) {
    return failed("Unable to disconnect", client.failure());
  }
  client.SetAbortCheck(abort);
  client.SetLogin(shown.FTPhost, shown.FTPPort, shown.FTPuser, shown.FTPpasw);
  client.SetConnectTimeoutMs(ftpTimeoutMs);
  client.SetPassive(shown.FTPpassive);
  client.SetSecurity(SecurityOf(shown, configFolder));

  FtpTestResult result;
  if (!client.Connect().ok()) {
    // Not a server that is down: the operator must look at the key.
    result = client.failure() == kFtpKeyMismatch
                 ? failed("The server's key does not match the one stored for this queue", {})
                 : failed("Unable to connect", client.failure());
    if (client.identityUnknown() && !result.cancelled) result.unknownKey = client.presentedKey();
  } else if (!client.ChangeDir(shown.FTPpath).ok()) {
    result = failed("Unable to find path " + shown.FTPpath, client.failure());
  } else {
    Result<std::vector<std::string>> listed = client.ListNames();
    if (listed.ok()) {
      for (const std::string& name : *listed) {
        if (ListingNameMatches(BaseName(name), shown.Searchmask)) {
          result.names.push_back(name);
        }
      }
    }
    // An empty folder, or one where the mask lets nothing through, fails
    // alike: either way the queue would find nothing there.
    if (!listed.ok() || result.names.empty()) {
      result =
          failed("Unable to find files in" + shown.FTPpath,
                 listed.ok() ? "no file there fits the search mask \"" + shown.Searchmask + "\""
                             : client.failure());
    } else {
      result.ok = true;
    }
  }
  // Errors of this last disconnect change nothing of what was found.
  (void)client.Disconnect();
  client.SetAbortCheck({});
  return result;
}

FtpTestResult RunFtpTest(const QueueRecord& shown, std::int32_t ftpTimeoutMs,
                         FtpSession::AbortCheck abort, const std::string& configFolder) {
  FtpLimits limits;
  limits.responseTimeoutSeconds = ftpTimeoutMs > 0
                                      ? static_cast<int>((std::int64_t{ftpTimeoutMs} + 999) / 1000)
                                      : kDefaultReplySeconds;
  FtpSession client(limits);
  return RunFtpTest(client, shown, ftpTimeoutMs, std::move(abort), configFolder);
}

}  // namespace zf
