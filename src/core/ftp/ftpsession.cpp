#include "ftp/ftpsession.h"

#include "platform/heartbeat.h"
#include "platform/tempfile.h"
#include "platform/uniquefd.h"
#include "platform/writehook.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace zf {
namespace {

// A listing larger than this is refused rather than held in memory: it would
// be far beyond what the engine's 999-entry file table can use.
constexpr std::size_t kMaxListingBytes = 64u << 20;
constexpr long kBufferSize = 128 * 1024;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool Unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// Percent-encodes everything but the unreserved characters (and "/" when
// `keepSlash`), so that no name can be read as a URL's query, fragment or
// ";type=" suffix.
std::string Encode(const std::string& text, bool keepSlash) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (Unreserved(c) || (keepSlash && c == '/')) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

// What a host text may hold: a name or an IPv4 address, or an IPv6 address
// (with or without brackets). Anything that could change the URL's meaning
// is refused.
bool ValidHost(const std::string& host) {
  if (host.empty()) return false;
  for (char c : host) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= ' ' || c == '/' || c == '?' || c == '#' || c == '@' || c == '\\' || c == '%' ||
        u == 0x7f) {
      return false;
    }
  }
  return true;
}

std::string HostPart(const std::string& host) {
  if (host.find(':') != std::string::npos && host.front() != '[') return "[" + host + "]";
  return host;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

// A path inside an SFTP quote command, quoted so that blanks and quotes in
// names stay part of it.
std::string QuotedPath(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

Slist Command(const std::string& text) {
  return Slist(curl_slist_append(nullptr, text.c_str()));
}

// The base64 SHA-256 of `data`, with its padding.
std::string Sha256Base64(const unsigned char* data, std::size_t size) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1) return {};
  unsigned char text[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
  const int written = EVP_EncodeBlock(text, digest, static_cast<int>(length));
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(written));
}

// The TLS peer's public key as a pinned key is written: the SHA-256 of its
// DER SubjectPublicKeyInfo.
std::string PublicKeyPin(X509* certificate) {
  EVP_PKEY* key = certificate != nullptr ? X509_get0_pubkey(certificate) : nullptr;
  const int size = key != nullptr ? i2d_PUBKEY(key, nullptr) : 0;
  if (size <= 0) return {};
  std::vector<unsigned char> der(static_cast<std::size_t>(size));
  unsigned char* end = der.data();
  if (i2d_PUBKEY(key, &end) != size) return {};
  return "sha256//" + Sha256Base64(der.data(), der.size());
}

// An SSH host key the way ssh shows its fingerprint: "SHA256:" and the
// base64 SHA-256 of the key blob, without padding. The library hands the
// blob raw, or base64 when `length` is 0.
std::string HostKeyFingerprint(const char* key, std::size_t length) {
  if (key == nullptr) return {};
  std::vector<unsigned char> blob;
  if (length == 0) {
    const std::size_t textLength = std::strlen(key);
    blob.resize(textLength / 4 * 3 + 3);
    const int decoded = EVP_DecodeBlock(blob.data(), reinterpret_cast<const unsigned char*>(key),
                                        static_cast<int>(textLength));
    if (decoded < 0) return {};
    // The decoder counts the padding's bytes as data.
    std::size_t size = static_cast<std::size_t>(decoded);
    for (std::size_t i = textLength; i > 0 && key[i - 1] == '=' && size > 0; --i) --size;
    blob.resize(size);
  } else {
    blob.assign(key, key + length);
  }
  std::string hash = Sha256Base64(blob.data(), blob.size());
  while (!hash.empty() && hash.back() == '=') hash.pop_back();
  return hash.empty() ? hash : "SHA256:" + hash;
}

// Where a TLS context keeps the session it was made for.
int SslContextSlot() {
  static const int slot = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return slot;
}

}  // namespace

struct FtpSession::Impl {
  CURL* curl = nullptr;

  // Where the body of a transfer goes: a text (listings) or a file.
  std::string* text = nullptr;
  bool tooLarge = false;
  int fd = -1;
  std::string localPath;  // the file `fd` writes, for the write hook
  int writeErrno = 0;
  std::int64_t written = 0;

  // The server's replies while logging in, one line each; other requests
  // keep none.
  bool collectReplies = false;
  std::vector<std::string> replies;

  // The last final reply line ("550 No such file.") of the request under way.
  std::string lastReply;

  // What the known_hosts check found of the server's key on the last
  // connect: it was unknown, or another key is stored for the server.
  bool keyUnknown = false;
  bool keyMismatch = false;
  std::string presentedKey;  // as FtpSession::presentedKey() tells it

  const ProgressHandler* progress = nullptr;  // set while a file is fetched
  const AbortCheck* abort = nullptr;          // the session's, for its whole life

  ~Impl() { Close(); }

  void Close() {
    if (curl != nullptr) curl_easy_cleanup(curl);  // sends QUIT on an open connection
    curl = nullptr;
  }

  static size_t OnWrite(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Impl*>(user);
    const size_t bytes = size * count;
    if (self->text != nullptr) {
      if (self->text->size() + bytes > kMaxListingBytes) {
        self->tooLarge = true;
        return 0;
      }
      self->text->append(data, bytes);
      return bytes;
    }
    size_t done = 0;
    while (done < bytes) {
      BeforeWrite(WriteSite::kFtp, WriteKind::kWrite, self->localPath);
      const ssize_t n = ::write(self->fd, data + done, bytes - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        self->writeErrno = errno;
        return 0;  // the library ends the transfer with a write error
      }
      done += static_cast<size_t>(n);
    }
    self->written += static_cast<std::int64_t>(bytes);
    return bytes;
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Impl*>(user);
    const size_t bytes = size * count;
    std::string line(data, bytes);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    // "ddd text" ends a reply; "ddd-" lines and indented ones continue it.
    if (line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
        std::isdigit(static_cast<unsigned char>(line[1])) &&
        std::isdigit(static_cast<unsigned char>(line[2])) && line[3] == ' ') {
      self->lastReply = line;
    }
    if (self->collectReplies && self->replies.size() < 1000) {
      self->replies.push_back(std::move(line));
    }
    return bytes;
  }

  static int OnProgress(void* user, curl_off_t /*dltotal*/, curl_off_t dlnow,
                        curl_off_t /*ultotal*/, curl_off_t /*ulnow*/) {
    auto* self = static_cast<Impl*>(user);
    Beat();  // a long transfer is work; a stalled one ends by its time-out
    if (self->abort != nullptr && *self->abort) {
      try {
        if ((*self->abort)()) return 1;  // the library ends the request
      } catch (...) {
        // A check that fails does not break anything off.
      }
    }
    // Only received bytes count; nothing is ever sent but commands.
    if (self->progress != nullptr && *self->progress && dlnow > 0) {
      try {
        (*self->progress)(static_cast<std::int64_t>(dlnow));
      } catch (...) {
        // A progress display that fails must not break off the transfer.
      }
    }
    return 0;
  }

  // Only a key that the known_hosts file holds for this host and port is
  // taken; a new or changed one is refused, never added.
  static int OnHostKey(CURL* /*curl*/, const curl_khkey* /*known*/, const curl_khkey* found,
                       curl_khmatch match, void* user) {
    auto* self = static_cast<Impl*>(user);
    if (found != nullptr) self->presentedKey = HostKeyFingerprint(found->key, found->len);
    if (match == CURLKHMATCH_OK) return CURLKHSTAT_FINE;
    (match == CURLKHMATCH_MISMATCH ? self->keyMismatch : self->keyUnknown) = true;
    return CURLKHSTAT_REJECT;
  }

  // Every TLS handshake of the session shows its peer's key to OnVerify,
  // also one that fails for want of a trusted authority.
  static CURLcode OnSslContext(CURL* /*curl*/, void* context, void* user) {
    auto* ctx = static_cast<SSL_CTX*>(context);
    SSL_CTX_set_ex_data(ctx, SslContextSlot(), user);
    SSL_CTX_set_verify(ctx, SSL_CTX_get_verify_mode(ctx), &OnVerify);
    return CURLE_OK;
  }

  // Notes the key and leaves the verdict as it is.
  static int OnVerify(int ok, X509_STORE_CTX* store) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self =
        ssl != nullptr
            ? static_cast<Impl*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), SslContextSlot()))
            : nullptr;
    if (self != nullptr && self->presentedKey.empty()) {
      self->presentedKey = PublicKeyPin(X509_STORE_CTX_get0_cert(store));
    }
    return ok;
  }

  long Reply() const {
    long code = 0;
    if (curl != nullptr) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    return code;
  }
};

FtpSession::FtpSession(FtpLimits limits) : limits_(limits), impl_(std::make_unique<Impl>()) {
  GlobalInit();
  impl_->abort = &abort_;
}

FtpSession::~FtpSession() = default;

void FtpSession::SetLogin(std::string host, std::int32_t port, std::string user,
                          std::string password) {
  host_ = std::move(host);
  port_ = port;
  user_ = std::move(user);
  password_ = std::move(password);
}

std::string FtpSession::BaseUrl() const {
  const char* scheme = security_.protocol == kFtpImplicitTls ? "ftps://"
                       : Sftp()                              ? "sftp://"
                                                             : "ftp://";
  return scheme + HostPart(host_) + ":" + std::to_string(port_) + "/";
}

std::string FtpSession::DirUrlOf(const std::string& path) const {
  std::string dir = path;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (Sftp()) {
    // SFTP paths are whole paths; "~/" is the log-in folder, which a
    // relative FTPpath starts from as it does over FTP.
    if (dir.empty()) return BaseUrl() + "~/";
    if (dir == "/") return BaseUrl();
    if (dir.front() == '/') return BaseUrl() + Encode(dir.substr(1), true) + "/";
    return BaseUrl() + "~/" + Encode(dir, true) + "/";
  }
  if (dir.empty()) return BaseUrl();
  // A leading "/" in the URL's path would be eaten as the separator after
  // the host; encoded, it reaches the CWD as an absolute path.
  std::string url = BaseUrl();
  if (dir.front() == '/') {
    url += "%2F";
    dir.erase(0, 1);
  }
  url += Encode(dir, true);
  if (!dir.empty()) url += '/';
  return url;
}

std::string FtpSession::DirUrl() const {
  return DirUrlOf(dir_);
}

int FtpSession::Perform() {
  impl_->lastReply.clear();
  return curl_easy_perform(impl_->curl);
}

Status FtpSession::Fail(const std::string& what, int code) {
  // The server's own words where it refused; they say more than the
  // library's summary of them.
  const long reply = impl_->Reply();
  if (code == CURLE_USE_SSL_FAILED) {
    // Its refusal of AUTH matters less than what it means.
    failure_ = "the server does not offer TLS";
  } else if (reply >= 400 && impl_->lastReply.rfind(std::to_string(reply), 0) == 0) {
    failure_ = impl_->lastReply;
  } else if (code == CURLE_SSL_PINNEDPUBKEYNOTMATCH || impl_->keyMismatch ||
             (code == CURLE_PEER_FAILED_VERIFICATION && Sftp() && !impl_->keyUnknown)) {
    failure_ = kFtpKeyMismatch;
  } else if (code == CURLE_PEER_FAILED_VERIFICATION) {
    failure_ = Sftp() ? "the server's key is not known for this queue"
                      : "the server's certificate could not be verified";
  } else if (code == CURLE_OPERATION_TIMEDOUT) {
    // Either limit may have ended it; both are named, so that a slow line
    // can be told from a silent server.
    failure_ = "Timed out: no answer in time, or less than " +
               std::to_string(limits_.minBytesPerSecond) + " bytes a second for " +
               std::to_string(stallSeconds_) + " s";
  } else {
    failure_ = curl_easy_strerror(static_cast<CURLcode>(code));
  }
  // 421: the server is closing the connection. It may not have hung up yet,
  // but nothing more will be done on it.
  if (reply == 421) {
    impl_->Close();
    connected_ = false;
  }
  return Status::Error(what + " (" + host_ + ":" + std::to_string(port_) + "): " + failure_, code);
}

const std::string& FtpSession::presentedKey() const {
  return impl_->presentedKey;
}

Status FtpSession::NotConnected(const std::string& what) {
  failure_ = "Not connected";
  return Status::Error(what + ": not connected");
}

Status FtpSession::LocalFail(const std::string& what, int err) {
  failure_ = std::strerror(err);
  return Status::Error(what + ": " + failure_, err);
}

bool FtpSession::Connected() {
  if (!connected_ || impl_->curl == nullptr) return false;
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(impl_->curl, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK ||
      socket == CURL_SOCKET_BAD) {
    return false;
  }
  // An idle control connection has nothing to read: anything there is the
  // server closing it (end of stream, or a "421" before it hangs up).
  pollfd p{socket, POLLIN | POLLRDHUP, 0};
  const int ready = ::poll(&p, 1, 0);
  return ready == 0;
}

Status FtpSession::Connect() {
  impl_->Close();
  connected_ = false;
  identityUnknown_ = false;
  impl_->presentedKey.clear();
  mlsd_ = false;
  dir_.clear();
  if (!ValidHost(host_)) return Status::Error("Unable to connect: \"" + host_ + "\" is no host");
  if (port_ < 1 || port_ > 65535) {
    return Status::Error("Unable to connect to " + host_ + ": " + std::to_string(port_) +
                         " is no port");
  }
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return Status::Error("Unable to connect: no FTP client available");
  impl_->curl = curl;
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
  if (!SetUpProtocol()) {
    impl_->Close();
    return Status::Error("Unable to connect to " + host_ + ": " +
                         FtpProtocolName(security_.protocol));
  }
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(connectTimeoutMs_ > 0 ? connectTimeoutMs_ : 0));
  curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                   static_cast<long>(limits_.responseTimeoutSeconds));
  curl_easy_setopt(curl, CURLOPT_ACCEPTTIMEOUT_MS,
                   static_cast<long>(limits_.responseTimeoutSeconds) * 1000L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits_.minBytesPerSecond);
  // Whole seconds, rounded up: 1 ms of time-out must not mean none.
  stallSeconds_ = connectTimeoutMs_ > 0
                      ? static_cast<int>((std::int64_t{connectTimeoutMs_} + 999) / 1000)
                      : limits_.stallSeconds;
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(stallSeconds_));
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kBufferSize);
  // One CWD with the whole folder, as an FTP client's "change directory" does.
  curl_easy_setopt(curl, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
  // Active connections name their port with PORT; EPRT only for IPv6, where
  // the library uses it whatever this says.
  curl_easy_setopt(curl, CURLOPT_FTP_USE_EPRT, 0L);
  curl_easy_setopt(curl, CURLOPT_FTP_USE_EPSV, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Impl::OnWrite);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, impl_.get());
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Impl::OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, impl_.get());
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Impl::OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, impl_.get());
  // Always on: the abort check is asked through it.
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);

  // Log in without a transfer, then ask for the features. The "*" lets an
  // old server refuse FEAT without the connection being dropped.
  const Slist feat = Command("*FEAT");
  curl_easy_setopt(curl, CURLOPT_URL, Sftp() ? DirUrlOf({}).c_str() : BaseUrl().c_str());
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(curl, CURLOPT_QUOTE, Sftp() ? nullptr : feat.get());
  impl_->replies.clear();
  impl_->collectReplies = true;
  const int rc = Perform();
  impl_->collectReplies = false;
  curl_easy_setopt(curl, CURLOPT_QUOTE, nullptr);
  if (rc != CURLE_OK) {
    Status failed = Fail("Unable to connect", rc);
    // Nothing stored to compare with, and no authority vouched: the
    // operator's question, not a server that is down.
    identityUnknown_ = !impl_->presentedKey.empty() && security_.fingerprint.empty() &&
                       (impl_->keyUnknown || (rc == CURLE_PEER_FAILED_VERIFICATION && !Sftp()));
    impl_->Close();
    return failed;
  }
  // MLSD is offered when FEAT lists MLST (RFC 3659), one feature per
  // indented line between "211-" and "211 ".
  bool inFeatures = false;
  for (const std::string& line : impl_->replies) {
    if (line.rfind("211-", 0) == 0) {
      inFeatures = true;
    } else if (line.rfind("211 ", 0) == 0) {
      inFeatures = false;
    } else if (inFeatures && line.size() >= 5 && line[0] == ' ') {
      std::string word = line.substr(1, 4);
      for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (word == "MLST" || word == "MLSD") mlsd_ = true;
    }
  }
  connected_ = true;
  return Status::Ok();
}

bool FtpSession::SetUpProtocol() {
  CURL* curl = impl_->curl;
  impl_->keyUnknown = false;
  impl_->keyMismatch = false;
  const FtpSecurity& s = security_;
  switch (s.protocol) {
    case kFtpPlain:
      curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "ftp");
      break;
    case kFtpExplicitTls:
    case kFtpImplicitTls:
      curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, s.protocol == kFtpImplicitTls ? "ftps" : "ftp");
      // Control and data both, or no log-in at all: never a fall back to
      // clear text.
      curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
      curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &Impl::OnSslContext);
      curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, impl_.get());
      // A pinned key is the whole proof: a server with its own certificate
      // is known by its key, not by an authority.
      if (!s.fingerprint.empty()) {
        curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, s.fingerprint.c_str());
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
      } else {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
      }
      break;
    case kFtpSftp:
      curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "sftp");
      if (!s.fingerprint.empty()) {
        curl_easy_setopt(curl, CURLOPT_SSH_HOST_PUBLIC_KEY_SHA256, s.fingerprint.c_str());
      } else {
        curl_easy_setopt(curl, CURLOPT_SSH_KNOWNHOSTS, s.knownHosts.c_str());
        curl_easy_setopt(curl, CURLOPT_SSH_KEYFUNCTION, &Impl::OnHostKey);
        curl_easy_setopt(curl, CURLOPT_SSH_KEYDATA, impl_.get());
      }
      if (!s.keyFile.empty()) {
        curl_easy_setopt(curl, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_PUBLICKEY));
        curl_easy_setopt(curl, CURLOPT_SSH_PRIVATE_KEYFILE, s.keyFile.c_str());
        // Empty: the public half is derived from the private key, never
        // looked for in the service user's home.
        curl_easy_setopt(curl, CURLOPT_SSH_PUBLIC_KEYFILE, "");
        if (!password_.empty()) curl_easy_setopt(curl, CURLOPT_KEYPASSWD, password_.c_str());
      } else {
        curl_easy_setopt(curl, CURLOPT_SSH_AUTH_TYPES,
                         static_cast<long>(CURLSSH_AUTH_PASSWORD | CURLSSH_AUTH_KEYBOARD));
      }
      break;
    default:
      return false;
  }
  if (!user_.empty()) {
    curl_easy_setopt(curl, CURLOPT_USERNAME, user_.c_str());
    if (!(Sftp() && !s.keyFile.empty())) {
      curl_easy_setopt(curl, CURLOPT_PASSWORD, password_.c_str());
    }
  }
  return true;
}

Status FtpSession::Disconnect() {
  impl_->Close();
  connected_ = false;
  dir_.clear();
  return Status::Ok();
}

Status FtpSession::ChangeDir(const std::string& path) {
  if (impl_->curl == nullptr) return NotConnected("Unable to change folder");
  CURL* curl = impl_->curl;
  curl_easy_setopt(curl, CURLOPT_URL, DirUrlOf(path).c_str());
  // SFTP has no current folder: opening the folder is what proves it is
  // there and may be read.
  std::string names;
  if (Sftp()) {
    curl_easy_setopt(curl, CURLOPT_DIRLISTONLY, 1L);
    impl_->text = &names;
    impl_->tooLarge = false;
  }
  curl_easy_setopt(curl, CURLOPT_NOBODY, Sftp() ? 0L : 1L);
  const int rc = Perform();
  impl_->text = nullptr;
  curl_easy_setopt(curl, CURLOPT_DIRLISTONLY, 0L);
  if (rc != CURLE_OK && !(Sftp() && impl_->tooLarge)) {
    return Fail("Unable to enter folder \"" + path + "\"", rc);
  }
  dir_ = path;
  return Status::Ok();
}

Status FtpSession::Noop() {
  if (impl_->curl == nullptr) return NotConnected("Unable to check the connection");
  CURL* curl = impl_->curl;
  const Slist noop = Command("NOOP");
  curl_easy_setopt(curl, CURLOPT_URL, DirUrl().c_str());
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTQUOTE, Sftp() ? nullptr : noop.get());
  const int rc = Perform();
  curl_easy_setopt(curl, CURLOPT_POSTQUOTE, nullptr);
  if (rc != CURLE_OK) return Fail("The FTP connection does not answer", rc);
  return Status::Ok();
}

Result<std::vector<RemoteEntry>> FtpSession::List(const ListingDate& today) {
  if (impl_->curl == nullptr) return NotConnected("Unable to list the folder");
  CURL* curl = impl_->curl;
  std::string text;
  for (;;) {
    curl_easy_setopt(curl, CURLOPT_URL, DirUrl().c_str());
    curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(curl, CURLOPT_FTPPORT, DataPassive() ? nullptr : "-");
    if (!Sftp()) curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, mlsd_ ? "MLSD" : nullptr);
    text.clear();
    impl_->text = &text;
    impl_->tooLarge = false;
    const int rc = Perform();
    impl_->text = nullptr;
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, nullptr);
    if (rc == CURLE_OK) break;
    if (impl_->tooLarge) {
      return Status::Error("The listing of \"" + dir_ + "\" on " + host_ + " is too large");
    }
    // A server that announced MLSD but refuses it as a command is listed
    // with LIST from now on.
    const long reply = impl_->Reply();
    if (mlsd_ && (reply == 500 || reply == 501 || reply == 502 || reply == 504)) {
      mlsd_ = false;
      continue;
    }
    Status failed = Fail("Unable to list folder \"" + dir_ + "\"", rc);
    // Refused, rather than lost on the way: say so, as the cure differs.
    const bool refused = reply >= 400 && !impl_->lastReply.empty() && failure_ == impl_->lastReply;
    if (!refused) return failed;
    return Status::Error("The FTP server refused the listing of " +
                             (dir_.empty() ? std::string("the log-in folder") : dir_) + " on " +
                             host_ + ":" + std::to_string(port_) + ": " + failure_,
                         rc);
  }
  return ParseListing(text, mlsd_ ? ListingFormat::kMlsd : ListingFormat::kList, today);
}

Result<std::vector<std::string>> FtpSession::ListNames() {
  if (impl_->curl == nullptr) return NotConnected("Unable to list the folder");
  CURL* curl = impl_->curl;
  std::string text;
  curl_easy_setopt(curl, CURLOPT_URL, DirUrl().c_str());
  curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
  curl_easy_setopt(curl, CURLOPT_FTPPORT, DataPassive() ? nullptr : "-");
  curl_easy_setopt(curl, CURLOPT_DIRLISTONLY, 1L);
  impl_->text = &text;
  impl_->tooLarge = false;
  const int rc = Perform();
  impl_->text = nullptr;
  curl_easy_setopt(curl, CURLOPT_DIRLISTONLY, 0L);
  if (rc != CURLE_OK) return Fail("Unable to list folder \"" + dir_ + "\"", rc);
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string name = text.substr(start, end - start);
    if (!name.empty() && name.back() == '\r') name.pop_back();
    if (!name.empty()) names.push_back(std::move(name));
    start = end + 1;
  }
  return names;
}

Status FtpSession::Retrieve(const std::string& name, const std::string& localPath,
                            std::int64_t expectedSize) {
  Result<Folder> opened = Folder::Open(FolderOf(localPath));
  if (!opened.ok()) {
    failure_ = std::strerror(opened.status().code());
    return opened.status();
  }
  const Folder& folder = opened.value();
  const std::string localName = BaseName(localPath);
  Result<TempFile> fetched = RetrieveToTemp(name, folder, localName, expectedSize);
  if (!fetched.ok()) return fetched.status();
  Status status;
  if (limits_.flushToDisk &&
      (BeforeWrite(WriteSite::kFtp, WriteKind::kSyncFile, folder.Display(fetched->path)),
       ::fdatasync(fetched.value().fd.get()) != 0)) {
    status = LocalFail("Unable to flush " + folder.Display(fetched->path), errno);
    fetched.value().fd.Close();
    ::unlinkat(folder.fd(), fetched->path.c_str(), 0);
    return status;
  }
  if (status = Place(fetched.value(), folder, localName); !status.ok()) return status;
  // The name must be on the disk too before the server's copy may go.
  if (limits_.flushToDisk) {
    BeforeWrite(WriteSite::kFtp, WriteKind::kSyncFolder, localPath);
    if (const int err = SyncFolder(folder.fd()))
      return LocalFail("Unable to flush folder " + folder.path(), err);
  }
  return Status::Ok();
}

Result<TempFile> FtpSession::RetrieveToTemp(const std::string& name, const Folder& folder,
                                            const std::string& localName,
                                            std::int64_t expectedSize) {
  if (impl_->curl == nullptr) return NotConnected("Unable to fetch \"" + name + "\"");
  if (!IsSafeRemoteName(name)) {
    failure_ = "Not a name that can be fetched";
    return Status::Error("Refused to fetch the remote name \"" + name + "\"");
  }
  // Exclusive and under a fresh random name: nothing planted beside the
  // target (a link, a pipe) can be opened in its stead, and the name stays
  // within the file system's limit however long the target's is.
  Result<TempFile> created = CreateTempFileAt(folder.fd(), folder.path(), localName);
  if (!created.ok()) {
    const Status& error = created.status();
    failure_ = error.code() > 0 ? std::strerror(error.code()) : error.message();
    return error;
  }
  TempFile temp = std::move(created).value();

  CURL* curl = impl_->curl;
  curl_easy_setopt(curl, CURLOPT_URL, (DirUrl() + Encode(name, false)).c_str());
  curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
  curl_easy_setopt(curl, CURLOPT_FTPPORT, DataPassive() ? nullptr : "-");
  impl_->progress = &progress_;
  impl_->fd = temp.fd.get();
  impl_->localPath = folder.Display(temp.path);
  impl_->writeErrno = 0;
  impl_->written = 0;
  const int rc = Perform();
  impl_->fd = -1;
  impl_->progress = nullptr;

  Status status;
  if (rc != CURLE_OK) {
    status = impl_->writeErrno != 0
                 ? LocalFail("Unable to write " + folder.Display(temp.path), impl_->writeErrno)
                 : Fail("Unable to fetch \"" + name + "\"", rc);
  } else if (expectedSize >= 0 && impl_->written != expectedSize) {
    failure_ = "The file changed while it was fetched";
    status = Status::Error("Fetched " + std::to_string(impl_->written) + " bytes of \"" + name +
                           "\", the listing said " + std::to_string(expectedSize));
  }
  if (!status.ok()) {
    temp.fd.Close();
    ::unlinkat(folder.fd(), temp.path.c_str(), 0);
    return status;
  }
  return temp;
}

Status FtpSession::Place(TempFile& temp, const Folder& folder, const std::string& localName) {
  Status status;
  if (const int err = temp.fd.Close(); err != 0) {
    status = LocalFail("Unable to write " + folder.Display(temp.path), err);
  }
  // The rename replaces whatever has the final name, a link included, and
  // never follows it.
  if (status.ok()) BeforeWrite(WriteSite::kFtp, WriteKind::kRename, folder.Display(localName));
  if (status.ok() &&
      ::renameat(folder.fd(), temp.path.c_str(), folder.fd(), localName.c_str()) != 0) {
    status = LocalFail(
        "Unable to rename " + folder.Display(temp.path) + " to " + folder.Display(localName),
        errno);
  }
  if (!status.ok()) ::unlinkat(folder.fd(), temp.path.c_str(), 0);
  return status;
}

Status FtpSession::Delete(const std::string& name) {
  if (impl_->curl == nullptr) return NotConnected("Unable to delete \"" + name + "\"");
  if (!IsSafeRemoteName(name)) {
    failure_ = "Not a name that can be deleted";
    return Status::Error("Refused to delete the remote name \"" + name + "\"");
  }
  CURL* curl = impl_->curl;
  // After the change into the folder, unlike a pre-transfer command, which
  // would run wherever the connection happens to be.
  // SFTP names the whole path, the way the folder's URL does ("/~/" is
  // the log-in folder).
  std::string sftpPath;
  if (Sftp()) {
    const std::string url = DirUrl() + Encode(name, false);
    char* decoded = curl_unescape(url.c_str() + BaseUrl().size() - 1, 0);
    sftpPath = decoded != nullptr ? decoded : "";
    curl_free(decoded);
  }
  const Slist dele = Command(Sftp() ? "rm " + QuotedPath(sftpPath) : "DELE " + name);
  // The server's copy is the last one anywhere else: its removal is a step
  // of the fetch like the local ones before it.
  BeforeWrite(WriteSite::kFtp, WriteKind::kDelete, "ftp:" + name);
  curl_easy_setopt(curl, CURLOPT_URL, DirUrl().c_str());
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(curl, Sftp() ? CURLOPT_QUOTE : CURLOPT_POSTQUOTE, dele.get());
  const int rc = Perform();
  curl_easy_setopt(curl, Sftp() ? CURLOPT_QUOTE : CURLOPT_POSTQUOTE, nullptr);
  if (rc != CURLE_OK) return Fail("Unable to delete \"" + name + "\"", rc);
  return Status::Ok();
}

Result<FtpSession::FileFacts> FtpSession::Facts(const std::string& name) {
  if (impl_->curl == nullptr) return NotConnected("Unable to look up \"" + name + "\"");
  if (!IsSafeRemoteName(name)) {
    failure_ = "Not a name that can be looked up";
    return Status::Error("Refused to look up the remote name \"" + name + "\"");
  }
  CURL* curl = impl_->curl;
  // Without a body the library asks MDTM and SIZE and moves no data.
  curl_easy_setopt(curl, CURLOPT_URL, (DirUrl() + Encode(name, false)).c_str());
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(curl, CURLOPT_FILETIME, 1L);
  // The library hands the facts on as header-like text too; not needed.
  std::string told;
  impl_->text = &told;
  impl_->tooLarge = false;
  const int rc = Perform();
  impl_->text = nullptr;
  curl_easy_setopt(curl, CURLOPT_FILETIME, 0L);
  if (rc != CURLE_OK) return Fail("Unable to look up \"" + name + "\"", rc);
  FileFacts facts;
  curl_off_t size = -1;
  curl_off_t time = -1;
  if (curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size) == CURLE_OK) {
    facts.size = static_cast<std::int64_t>(size);
  }
  if (curl_easy_getinfo(curl, CURLINFO_FILETIME_T, &time) == CURLE_OK) {
    facts.modified = static_cast<std::int64_t>(time);
  }
  return facts;
}

}  // namespace zf
