#include "ftp/ftptest.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "ftptestserver.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using test::FtpTestServer;
using test::TempDir;
using test::WriteFile;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

constexpr const char* kPassword = "Xq7-secret-pw";

class FtpTest : public testing::Test {
 protected:
  FtpTest() {
    fs::create_directory(served.path() / "in");
    fs::create_directory(served.path() / "empty");
    for (const char* name : {"a.pdf", "b.PDF", "c.txt"}) {
      WriteFile(served.path() / "in" / name, "data");
    }
    FtpTestServer::Options options;
    options.root = served.path().string();
    options.password = kPassword;
    server = std::make_unique<FtpTestServer>(options);
  }
  QueueRecord Shown() const { return test::ShownFtpQueue(server->port(), kPassword); }

  TempDir served;
  std::unique_ptr<FtpTestServer> server;
};

TEST_F(FtpTest, ListsTheNamesTheSearchMaskLetsThroughAndTouchesNothing) {
  for (bool passive : {false, true}) {
    SCOPED_TRACE(passive);
    QueueRecord shown = Shown();
    shown.FTPpassive = passive;
    const FtpTestResult result = RunFtpTest(shown, 5000);
    EXPECT_TRUE(result.ok);
    EXPECT_FALSE(result.cancelled);
    EXPECT_THAT(result.message, IsEmpty());
    // The intake's masks ignore letter case, so b.PDF is taken too.
    EXPECT_THAT(result.names, UnorderedElementsAre("a.pdf", "b.PDF"));
  }
  EXPECT_EQ(server->Count("NLST"), 2);
  EXPECT_EQ(server->Count("RETR"), 0);
  EXPECT_EQ(server->Count("DELE"), 0);
  EXPECT_EQ(server->Count("QUIT"), server->Count("CONNECT")) << "every connection was closed";
  for (const char* name : {"a.pdf", "b.PDF", "c.txt"}) {
    EXPECT_TRUE(fs::exists(served.path() / "in" / name)) << name;
  }
}

TEST_F(FtpTest, EachFailureHasItsOwnMessageAndReasonWithoutThePassword) {
  struct Case {
    const char* what;
    void (*change)(QueueRecord&);
    std::string message;
    std::string reason;  // a part of it
  } cases[] = {
      {"wrong password", [](QueueRecord& q) { q.FTPpasw = "wrong"; }, "Unable to connect", "530"},
      {"unknown user", [](QueueRecord& q) { q.FTPuser = "nobody"; }, "Unable to connect", "530"},
      {"no host", [](QueueRecord& q) { q.FTPhost.clear(); }, "Unable to connect", ""},
      {"nothing listens", [](QueueRecord& q) { q.FTPPort = 1; }, "Unable to connect", "onnect"},
      {"missing path", [](QueueRecord& q) { q.FTPpath = "/x"; }, "Unable to find path /x", "550"},
      {"empty folder", [](QueueRecord& q) { q.FTPpath = "/empty"; },
       "Unable to find files in/empty", "fits the search mask \"*.pdf\""},
      {"nothing fits the mask", [](QueueRecord& q) { q.Searchmask = "*.tif"; },
       "Unable to find files in/in", "fits the search mask \"*.tif\""},
      // One mask, so the ";" must be in the name.
      {"a list as search mask", [](QueueRecord& q) { q.Searchmask = "*.pdf;*.txt"; },
       "Unable to find files in/in", "fits the search mask \"*.pdf;*.txt\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QueueRecord shown = Shown();
    c.change(shown);
    const FtpTestResult result = RunFtpTest(shown, 5000);
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.cancelled);
    EXPECT_EQ(result.message, c.message);
    EXPECT_THAT(result.reason, HasSubstr(c.reason));
    EXPECT_THAT(result.message + result.reason, Not(HasSubstr(kPassword)));
    EXPECT_THAT(result.names, IsEmpty());
  }
  EXPECT_EQ(server->Count("RETR"), 0);
  EXPECT_EQ(server->Count("DELE"), 0);
}

TEST_F(FtpTest, UsesItsOwnClientAndLeavesItDisconnected) {
  FtpSession mine(FtpLimits{5, 5, true});
  // Left connected elsewhere: the test starts from a fresh log-in.
  mine.SetLogin("127.0.0.1", server->port(), "zf", kPassword);
  ASSERT_TRUE(mine.Connect().ok());
  ASSERT_TRUE(mine.ChangeDir("/empty").ok());
  const FtpTestResult result = RunFtpTest(mine, Shown(), 5000);
  EXPECT_TRUE(result.ok);
  EXPECT_THAT(result.names, UnorderedElementsAre("a.pdf", "b.PDF"));
  EXPECT_FALSE(mine.Connected());
  EXPECT_EQ(server->Count("CONNECT"), 2);
}

// A port that accepts connections (the kernel completes them) but never
// sends the greeting.
class SilentServer {
 public:
  SilentServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 8);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~SilentServer() { ::close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

TEST(FtpTestSilentServer, EndsWithinTheTimeOutOrAtOnceOnCancel) {
  SilentServer silent;
  ASSERT_GT(silent.port(), 0);
  QueueRecord shown;
  shown.FTPhost = "127.0.0.1";
  shown.FTPPort = silent.port();
  shown.FTPuser = "zf";
  shown.FTPpasw = kPassword;
  shown.FTPpath = "/in";
  shown.Searchmask = "*.*";

  auto start = std::chrono::steady_clock::now();
  FtpTestResult result = RunFtpTest(shown, 500);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(result.message, "Unable to connect");
  EXPECT_FALSE(result.cancelled);

  // No time-out of the operator's: without Cancel this would wait for the
  // reply limit of half a minute.
  std::atomic<bool> cancel{false};
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancel = true;
  });
  start = std::chrono::steady_clock::now();
  result = RunFtpTest(shown, -1, [&] { return cancel.load(); });
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(result.cancelled);
  EXPECT_THAT(result.message, IsEmpty());
  EXPECT_FALSE(result.ok);
}

}  // namespace
}  // namespace zf
