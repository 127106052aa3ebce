#include "ftp/ftpsecurity.h"

#include <cctype>

namespace zf {
namespace {

bool Base64Text(const std::string& text) {
  if (text.empty()) return false;
  std::size_t padding = 0;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '=') {
      ++padding;
    } else if (padding != 0 || !(std::isalnum(u) || c == '+' || c == '/')) {
      return false;
    }
  }
  return padding <= 2;
}

// A SHA-256 in base64: 43 characters, 44 with its padding.
bool Sha256Base64(const std::string& text) {
  return Base64Text(text) && (text.size() == 44 ? text.back() == '=' : text.size() == 43);
}

std::string Resolved(const std::string& path, const std::string& folder) {
  if (path.empty() || path.front() == '/' || folder.empty()) return path;
  return folder.back() == '/' ? folder + path : folder + "/" + path;
}

}  // namespace

FtpSecurity SecurityOf(const QueueRecord& queue, const std::string& configFolder) {
  FtpSecurity security;
  security.protocol = queue.FTPprotocol;
  // A malformed fingerprint is handed on as it is: it matches no key, so the
  // server is refused rather than trusted without one.
  const Result<std::string> pin = NormalizedFingerprint(queue.FTPprotocol, queue.FTPfingerprint);
  security.fingerprint = pin.ok() ? pin.value() : queue.FTPfingerprint;
  if (queue.FTPprotocol == kFtpSftp) {
    security.knownHosts = Resolved(
        queue.FTPknownhosts.empty() ? std::string(kDefaultKnownHosts) : queue.FTPknownhosts,
        configFolder);
    security.keyFile = Resolved(queue.FTPkeyfile, configFolder);
  }
  return security;
}

Result<std::string> NormalizedFingerprint(std::int32_t protocol, const std::string& text) {
  if (text.empty()) return std::string();
  if (protocol == kFtpSftp) {
    std::string hash = text.rfind("SHA256:", 0) == 0 ? text.substr(7) : text;
    while (!hash.empty() && hash.back() == '=') hash.pop_back();
    if (hash.size() != 43 || !Base64Text(hash)) {
      return Status::Error("'" + text + "' is no SHA-256 host key fingerprint (SHA256:<base64>)");
    }
    return hash;
  }
  if (protocol == kFtpExplicitTls || protocol == kFtpImplicitTls) {
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find(';', start);
      if (end == std::string::npos) end = text.size();
      const std::string one = text.substr(start, end - start);
      if (one.rfind("sha256//", 0) != 0 || !Sha256Base64(one.substr(8))) {
        return Status::Error("'" + text + "' is no public key fingerprint (sha256//<base64>)");
      }
      start = end + 1;
    }
    return text;
  }
  return Status::Error("plain FTP has no server key to compare with a fingerprint");
}

std::string FtpProtocolName(std::int32_t protocol) {
  switch (protocol) {
    case kFtpPlain:
      return "FTP";
    case kFtpExplicitTls:
      return "FTP with explicit TLS";
    case kFtpImplicitTls:
      return "FTP with implicit TLS";
    case kFtpSftp:
      return "SFTP";
    default:
      return "unknown protocol " + std::to_string(protocol);
  }
}

}  // namespace zf
