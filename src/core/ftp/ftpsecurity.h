#pragma once

#include <cstdint>
#include <string>

#include "config/queuetable.h"
#include "platform/result.h"

namespace zf {

// How a client reaches its server and how it knows the server is the right
// one. A TLS server is trusted through the system's certificates and its host
// name, or through the pinned key alone; an SFTP server only through its host
// key: the stored fingerprint, else its line in the known_hosts file.
struct FtpSecurity {
  std::int32_t protocol = kFtpPlain;
  // TLS: "sha256//<base64>" of the server's public key (several joined by
  // ";"). SFTP: the base64 SHA-256 of the host key, without "SHA256:".
  std::string fingerprint;
  std::string knownHosts;  // SFTP, a full path
  std::string keyFile;     // SFTP, a full path; empty logs in by password
  bool operator==(const FtpSecurity&) const = default;
};

// The reason given when the server presents another key than the one kept.
inline constexpr const char* kFtpKeyMismatch =
    "the server's key does not match the one stored for this queue";

// The queue's settings, FTPknownhosts and FTPkeyfile taken relative to the
// folder of the configuration (`configFolder`) unless absolute.
FtpSecurity SecurityOf(const QueueRecord& queue, const std::string& configFolder);

// The fingerprint as the client takes it for `protocol`, or why it cannot be
// one. Empty stays empty.
Result<std::string> NormalizedFingerprint(std::int32_t protocol, const std::string& text);

// "FTP", "FTP with explicit TLS", "FTP with implicit TLS", "SFTP".
std::string FtpProtocolName(std::int32_t protocol);

}  // namespace zf
