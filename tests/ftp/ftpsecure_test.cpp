// FTP over TLS and SFTP against Debian's own servers on loopback: files are
// listed, fetched whole and deleted on the server only with the server's
// identity proven; another key, or no TLS at all, is refused before log-in.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "ftp/ftpsession.h"
#include "ftp/ftptest.h"
#include "ftptestserver.h"
#include "secureservers.h"

namespace zf {
namespace {

namespace fs = std::filesystem;

// A name with blanks, quotes and non-ASCII letters, and a few MB of data.
const std::string kOddName = "Sport \"A\" 1 \xc3\xa4.pdf";
const std::string kData = [] {
  std::string d(3 << 20, '\0');
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<char>(i * 7 % 251);
  return d;
}();

struct Outcome {
  bool connected;
  std::string failure;  // the session's reason when not
};

// Connects with `security`; when that works, lists `folder`, fetches the odd
// file into `local` and deletes it on the server.
Outcome FetchAndDelete(FtpSession& session, int port, const std::string& user,
                       const std::string& password, const FtpSecurity& security,
                       const std::string& folder, const std::string& local) {
  session.SetLogin("127.0.0.1", port, user, password);
  session.SetSecurity(security);
  if (!session.Connect().ok()) return {false, session.failure()};
  EXPECT_TRUE(session.ChangeDir(folder).ok()) << session.failure();
  const Result<std::vector<RemoteEntry>> listed = session.List(ListingDate{2026, 12});
  EXPECT_TRUE(listed.ok()) << session.failure();
  std::int64_t size = -1;
  if (listed.ok()) {
    for (const RemoteEntry& e : *listed) {
      if (e.name == kOddName && e.kind == RemoteEntry::Kind::kFile) size = e.size;
    }
  }
  EXPECT_EQ(size, static_cast<std::int64_t>(kData.size()));
  // What proves a file owed a deletion is still the one fetched.
  const Result<FtpSession::FileFacts> facts = session.Facts(kOddName);
  EXPECT_TRUE(facts.ok() && facts->size == size && facts->modified > 0) << session.failure();
  EXPECT_TRUE(session.Retrieve(kOddName, local + "/" + kOddName, size).ok()) << session.failure();
  EXPECT_TRUE(session.Delete(kOddName).ok()) << session.failure();
  // The connection stays open for the next pass.
  EXPECT_TRUE(session.Connected());
  return {true, {}};
}

TEST(FtpSecure, TlsServerIsFetchedFromOnlyWithItsIdentityProven) {
  const std::string wrongPin = "sha256//" + std::string(43, 'A') + "=";
  struct Case {
    const char* what;
    std::int32_t protocol;
    bool tlsServer;       // vsftpd with TLS, else the plain test server
    bool pinned;          // the server's own pin, else wrongPin ("" with pinNone)
    bool pinNone;         // no pin: the system's trust store must vouch
    const char* failure;  // empty: fetched and deleted
  };
  const Case cases[] = {
      {"explicit, pinned", kFtpExplicitTls, true, true, false, ""},
      {"implicit, pinned", kFtpImplicitTls, true, true, false, ""},
      {"explicit, wrong pin", kFtpExplicitTls, true, false, false, kFtpKeyMismatch},
      {"implicit, wrong pin", kFtpImplicitTls, true, false, false, kFtpKeyMismatch},
      {"explicit, self-signed, no pin", kFtpExplicitTls, true, false, true,
       "the server's certificate could not be verified"},
      {"explicit, server without TLS", kFtpExplicitTls, false, false, true,
       "the server does not offer TLS"},
      {"implicit, server without TLS", kFtpImplicitTls, false, false, true, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir root;
    test::TempDir local;
    const std::string in = root.path().string() + "/in";
    fs::create_directory(in);
    ::chmod(in.c_str(), 0777);
    test::WriteFile(in + "/" + kOddName, kData);
    ::chmod((in + "/" + kOddName).c_str(), 0666);
    std::unique_ptr<test::TlsFtpServer> tls;
    std::unique_ptr<test::FtpTestServer> plain;
    int port = 0;
    std::string pin = c.pinNone ? "" : wrongPin;
    if (c.tlsServer) {
      tls =
          std::make_unique<test::TlsFtpServer>(root.path().string(), c.protocol == kFtpImplicitTls);
      port = tls->port();
      if (c.pinned) pin = tls->pin();
    } else {
      test::FtpTestServer::Options o;
      o.root = root.path().string();
      plain = std::make_unique<test::FtpTestServer>(o);
      port = plain->port();
    }
    FtpSession session(FtpLimits{5, 5, true});
    const Outcome got = FetchAndDelete(session, port, c.tlsServer ? "anonymous" : "zf",
                                       c.tlsServer ? "" : "secret", {c.protocol, pin, {}, {}},
                                       c.tlsServer ? "in" : "/in", local.path().string());
    const bool fetches = c.failure != nullptr && c.failure[0] == '\0';
    EXPECT_EQ(got.connected, fetches);
    if (c.failure != nullptr) {
      EXPECT_EQ(got.failure, c.failure);
    }
    const bool fetched = fs::exists(local.path() / kOddName);
    EXPECT_EQ(fetched, got.connected);
    EXPECT_EQ(fs::exists(in + "/" + kOddName), !got.connected);
    if (fetched) {
      EXPECT_EQ(test::ReadFile(local.path() / kOddName), kData);
    }
    // Never a clear-text log-in where TLS was asked for.
    if (plain) {
      EXPECT_EQ(plain->Count("PASS"), 0);
    }
  }
}

TEST(FtpSecure, SftpServerIsFetchedFromOnlyWithAKnownHostKey) {
  test::SftpServer server;
  test::TempDir config;
  const std::string other = "SHA256:" + std::string(43, 'B');
  const std::string changedLine = "[127.0.0.1]:" + std::to_string(server.port()) +
                                  " ecdsa-sha2-nistp256 AAAAE2VjZHNhLXNoYTItbmlzdHAyNTYAAAAIbmlzdHA"
                                  "yNTYAAABBBFakeFakeFakeFakeFakeFakeFakeFakeFakeFakeFakeFakeFakeFa"
                                  "keFakeFakeFakeFakeFakeFakeFakeFakeFakeFakeFakeFakeFakeFakeFakeFa"
                                  "keFakeFA=";
  struct Case {
    const char* what;
    std::string fingerprint;
    std::string knownHosts;  // the known_hosts file's content
    const char* failure;     // empty: fetched and deleted
  };
  const Case cases[] = {
      {"fingerprint", server.fingerprint(), "", ""},
      {"known_hosts", "", server.knownHostsLine() + "\n", ""},
      {"other fingerprint", other, server.knownHostsLine() + "\n", kFtpKeyMismatch},
      {"changed key in known_hosts", "", changedLine + "\n", kFtpKeyMismatch},
      {"unknown host", "", "", "the server's key is not known for this queue"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir root;
    test::TempDir local;
    const std::string in = root.path().string() + "/in";
    fs::create_directory(in);
    test::WriteFile(in + "/" + kOddName, kData);
    test::WriteFile(config.path() / "known_hosts", c.knownHosts);
    QueueRecord q;
    q.FTPprotocol = kFtpSftp;
    q.FTPfingerprint = c.fingerprint;
    q.FTPknownhosts = "known_hosts";
    q.FTPkeyfile = server.userKey();
    FtpSession session(FtpLimits{5, 5, true});
    const Outcome got =
        FetchAndDelete(session, server.port(), "root", test::SftpServer::kKeyPassphrase,
                       SecurityOf(q, config.path().string()), in, local.path().string());
    EXPECT_EQ(got.connected, c.failure[0] == '\0');
    EXPECT_EQ(got.failure, c.failure);
    EXPECT_EQ(fs::exists(local.path() / kOddName), got.connected);
    EXPECT_EQ(fs::exists(in + "/" + kOddName), !got.connected);
    // The queue dialog's test names a changed key as such, never a dead server.
    if (c.failure == std::string(kFtpKeyMismatch)) {
      q.FTPhost = "127.0.0.1";
      q.FTPPort = server.port();
      q.FTPuser = "root";
      q.FTPpasw = test::SftpServer::kKeyPassphrase;
      EXPECT_EQ(RunFtpTest(q, 5000, {}, config.path().string()).message,
                "The server's key does not match the one stored for this queue");
    }
  }
}

}  // namespace
}  // namespace zf
