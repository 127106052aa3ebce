#include "ftp/ftpsession.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "enginetestkit.h"
#include "ftptestserver.h"
#include "platform/tempfile.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using test::FtpTestServer;
using test::ReadFile;
using test::SetTimes;
using test::SilentServer;
using test::TempDir;
using test::WriteFile;

constexpr ListingDate kToday{2024, 5, 1};

std::string Bytes(std::size_t n, char seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7 % 251);
  return s;
}

int TempNamesIn(const fs::path& folder) {
  int count = 0;
  for (const auto& e : fs::directory_iterator(folder))
    count += IsTempName(e.path().filename().string());
  return count;
}

class Session : public testing::Test {
 protected:
  Session() { fs::create_directory(served.path() / "in"); }

  std::unique_ptr<FtpTestServer> Serve(FtpTestServer::Options options = {}) {
    options.root = served.path().string();
    return std::make_unique<FtpTestServer>(options);
  }
  // A session logged in to `server` and in folder "in".
  std::unique_ptr<FtpSession> Open(const FtpTestServer& server, bool passive = false) {
    auto s = std::make_unique<FtpSession>(FtpLimits{5, 5, true});
    s->SetLogin("127.0.0.1", server.port(), "zf", "secret");
    s->SetPassive(passive);
    EXPECT_TRUE(s->Connect().ok());
    EXPECT_TRUE(s->ChangeDir("in").ok());
    return s;
  }
  std::string In(const std::string& name) const { return (served.path() / "in" / name).string(); }

  TempDir served;
  TempDir local;
};

TEST_F(Session, LogsInOnceAndKeepsTheConnectionForEveryCommand) {
  auto server = Serve();
  WriteFile(In("a.pdf"), "alpha");
  WriteFile(In("b.pdf"), "beta!");
  auto s = Open(*server);
  EXPECT_TRUE(s->Connected());
  EXPECT_TRUE(s->UsesMlsd());
  EXPECT_EQ(s->currentDir(), "in");
  EXPECT_TRUE(s->Noop().ok());
  ASSERT_TRUE(s->List(kToday).ok());
  EXPECT_TRUE(s->Retrieve("a.pdf", local / "a.pdf").ok());
  EXPECT_TRUE(s->Retrieve("b.pdf", local / "b.pdf").ok());
  EXPECT_TRUE(s->Delete("a.pdf").ok());
  EXPECT_TRUE(s->Connected());

  EXPECT_EQ(server->Count("CONNECT"), 1);
  EXPECT_EQ(server->Count("USER zf"), 1);
  EXPECT_EQ(server->Count("PASS ******"), 1);
  EXPECT_EQ(server->Count("FEAT"), 1);
  EXPECT_EQ(server->Count("CWD in"), 1);  // entered once, not per command
  EXPECT_EQ(server->Count("NOOP"), 1);
  EXPECT_EQ(server->Count("MLSD"), 1);
  EXPECT_EQ(server->Count("RETR"), 2);
  EXPECT_EQ(server->Count("DELE a.pdf"), 1);
  EXPECT_EQ(server->Count("TYPE I"), 1);  // binary for every file
  EXPECT_EQ(ReadFile(local / "a.pdf"), "alpha");
  EXPECT_FALSE(fs::exists(In("a.pdf")));
  EXPECT_TRUE(fs::exists(In("b.pdf")));

  EXPECT_TRUE(s->Disconnect().ok());
  EXPECT_FALSE(s->Connected());
  EXPECT_EQ(server->Count("QUIT"), 1);
}

TEST_F(Session, FailedLogInsAndBadSettingsNeverShowThePassword) {
  auto server = Serve();
  const std::string password = "Wr0ng-Pa55word";
  struct Case {
    std::string host;
    int port;
  } cases[] = {
      {"127.0.0.1", server->port()},  // refused log-in
      {"127.0.0.1", 1},               // nobody listens
      {"no/host", 21},
      {"", 21},
      {"127.0.0.1", 0},
      {"127.0.0.1", 70000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host + ":" + std::to_string(c.port));
    FtpSession s(FtpLimits{5, 5, true});
    s.SetLogin(c.host, c.port, "zf", password);
    s.SetConnectTimeoutMs(3000);
    const Status status = s.Connect();
    EXPECT_FALSE(status.ok());
    EXPECT_FALSE(status.message().empty());
    EXPECT_EQ(status.message().find(password), std::string::npos) << status.message();
    EXPECT_FALSE(s.Connected());
    EXPECT_FALSE(s.ChangeDir("in").ok());
  }
  EXPECT_EQ(server->Count("PASS ******"), 1);
}

TEST_F(Session, FoldersRelativeAbsoluteAndMissing) {
  fs::create_directories(served.path() / "in" / "deeper");
  WriteFile(In("deeper/x.txt"), "x");
  auto server = Serve();
  auto s = Open(*server);
  EXPECT_FALSE(s->ChangeDir("missing").ok());
  EXPECT_EQ(s->currentDir(), "in");  // a failed change keeps the folder
  for (const char* path : {"/in/deeper", "in/deeper/", "/in/deeper/"}) {
    ASSERT_TRUE(s->ChangeDir(path).ok()) << path;
    auto listing = s->List(kToday);
    ASSERT_TRUE(listing.ok());
    ASSERT_EQ(listing->size(), 1u) << path;
    EXPECT_EQ(listing->front().name, "x.txt");
  }
  ASSERT_TRUE(s->ChangeDir("").ok());  // the log-in folder
  auto top = s->List(kToday);
  ASSERT_TRUE(top.ok());
  ASSERT_EQ(top->size(), 1u);
  EXPECT_EQ(top->front().name, "in");
  EXPECT_EQ(top->front().kind, RemoteEntry::Kind::kDirectory);
}

TEST_F(Session, MlsdAndListGiveTheSameEntries) {
  WriteFile(In("report one.pdf"), std::string(1234, 'r'));
  WriteFile(In("b.txt"), "");
  fs::create_directory(served.path() / "in" / "sub");
  // 2021-03-14 09:30:07 UTC: LIST shows it with its year, MLSD to the second.
  SetTimes(In("report one.pdf"), 1615714207, 1615714207);
  for (bool listOnly : {false, true}) {
    SCOPED_TRACE(listOnly ? "LIST" : "MLSD");
    FtpTestServer::Options o;
    o.listOnly = listOnly;
    auto server = Serve(o);
    auto s = Open(*server);
    EXPECT_EQ(s->UsesMlsd(), !listOnly);
    auto listing = s->List(kToday);
    ASSERT_TRUE(listing.ok()) << listing.status().message();
    std::vector<RemoteEntry> entries = *listing;
    std::sort(entries.begin(), entries.end(),
              [](const RemoteEntry& a, const RemoteEntry& b) { return a.name < b.name; });
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "b.txt");
    EXPECT_EQ(entries[0].size, 0);
    EXPECT_EQ(entries[1].name, "report one.pdf");
    EXPECT_EQ(entries[1].size, 1234);
    EXPECT_EQ(entries[1].kind, RemoteEntry::Kind::kFile);
    EXPECT_EQ(ToMilliseconds(entries[1].time),
              ToMilliseconds(listOnly ? EncodeDateTime(2021, 3, 14)
                                      : EncodeDateTime(2021, 3, 14, 9, 30, 7)));
    EXPECT_EQ(entries[2].name, "sub");
    EXPECT_EQ(entries[2].kind, RemoteEntry::Kind::kDirectory);
    EXPECT_EQ(server->Count("MLSD"), listOnly ? 0 : 1);
    EXPECT_EQ(server->Count("LIST"), listOnly ? 1 : 0);

    auto names = s->ListNames();
    ASSERT_TRUE(names.ok());
    EXPECT_EQ(names->size(), 3u);
  }
}

TEST_F(Session, AServerThatRefusesTheMlsdItAnnouncedIsListedWithList) {
  WriteFile(In("a.pdf"), "alpha");
  FtpTestServer::Options o;
  o.refuseMlsd = true;
  auto server = Serve(o);
  auto s = Open(*server);
  EXPECT_TRUE(s->UsesMlsd());
  for (int i = 0; i < 2; ++i) {
    auto listing = s->List(kToday);
    ASSERT_TRUE(listing.ok()) << listing.status().message();
    ASSERT_EQ(listing->size(), 1u);
    EXPECT_EQ(listing->front().name, "a.pdf");
    EXPECT_EQ(listing->front().size, 5);
  }
  EXPECT_FALSE(s->UsesMlsd());
  EXPECT_EQ(server->Count("MLSD"), 1);  // tried once, then LIST for good
  EXPECT_EQ(server->Count("LIST"), 2);
}

TEST_F(Session, TheConnectTimeOutCoversAServerThatNeverGreets) {
  const SilentServer silent;
  const int port = silent.port();

  // Both end with the library's time-out error. The first must be ended by
  // our 200 ms, long before the 30-second reply limit could end it.
  struct Case {
    std::int32_t timeoutMs;
    int replyLimitSeconds;
  } cases[] = {
      {200, 30},
      {-1, 1},  // none of our own: the reply limit ends it
      {0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.timeoutMs);
    FtpSession s(FtpLimits{c.replyLimitSeconds, 1, true});
    s.SetLogin("127.0.0.1", port, "zf", "secret");
    s.SetConnectTimeoutMs(c.timeoutMs);
    const auto start = std::chrono::steady_clock::now();
    const Status status = s.Connect();
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(status.code(), 28) << status.message();  // CURLE_OPERATION_TIMEDOUT
    if (c.timeoutMs > 0) {
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    }
    EXPECT_FALSE(s.Connected());
  }
}

TEST_F(Session, RetrieveReplacesTheLocalFileAndReportsProgress) {
  const std::string content = Bytes(300'000, 'a');
  WriteFile(In("big.bin"), content);
  WriteFile(local / "big.bin", "an older file of that name");
  FtpTestServer::Options o;
  o.throttle = 1'000'000;  // several progress calls
  auto server = Serve(o);
  auto s = Open(*server);
  std::vector<std::int64_t> seen;
  s->SetProgressHandler([&](std::int64_t received) { seen.push_back(received); });
  ASSERT_TRUE(s->Retrieve("big.bin", local / "big.bin", 300'000).ok());
  EXPECT_EQ(ReadFile(local / "big.bin"), content);
  EXPECT_EQ(TempNamesIn(local.path()), 0);
  ASSERT_GE(seen.size(), 2u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_GT(seen.front(), 0);
  EXPECT_EQ(seen.back(), 300'000);

  // Detached, the handler is not called again.
  s->SetProgressHandler({});
  const std::size_t calls = seen.size();
  ASSERT_TRUE(s->Retrieve("big.bin", local / "again.bin").ok());
  EXPECT_EQ(seen.size(), calls);
  EXPECT_EQ(server->Count("REST"), 0);  // never resumed
}

TEST_F(Session, FailedRetrievalsLeaveNoFileBehind) {
  WriteFile(In("five.txt"), "12345");
  auto server = Serve();
  auto s = Open(*server);
  WriteFile(local / "five.txt", "old");

  // The listing said another size: the file changed meanwhile.
  Status status = s->Retrieve("five.txt", local / "five.txt", 6);
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(ReadFile(local / "five.txt"), "old");
  EXPECT_EQ(TempNamesIn(local.path()), 0);

  // The server's refusal is the cause given, in its own words.
  status = s->Retrieve("missing.txt", local / "missing.txt");
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(s->failure().rfind("550 ", 0), 0u) << s->failure();
  EXPECT_NE(status.message().find(s->failure()), std::string::npos) << status.message();
  EXPECT_FALSE(fs::exists(local / "missing.txt"));
  EXPECT_EQ(TempNamesIn(local.path()), 0);

  EXPECT_FALSE(s->Retrieve("five.txt", local / "no-such-folder/five.txt").ok());
  for (const char* unsafe : {"../five.txt", "..", ""}) {
    EXPECT_FALSE(s->Retrieve(unsafe, local / "x").ok()) << unsafe;
    EXPECT_FALSE(s->Delete(unsafe).ok()) << unsafe;
  }
  EXPECT_FALSE(s->Delete("missing.txt").ok());
  EXPECT_EQ(s->failure().rfind("550 ", 0), 0u) << s->failure();
  EXPECT_TRUE(s->Connected());
  // None of that costs the connection.
  EXPECT_TRUE(s->Retrieve("five.txt", local / "five.txt", 5).ok());
  EXPECT_EQ(ReadFile(local / "five.txt"), "12345");
  EXPECT_EQ(server->Count("CONNECT"), 1);
  EXPECT_EQ(fs::directory_iterator(local.path()) == fs::directory_iterator(), false);
  for (const auto& e : fs::directory_iterator(local.path())) {
    EXPECT_EQ(e.path().filename().string().find(".part"), std::string::npos) << e.path();
  }
}

TEST_F(Session, NamesThatMeanSomethingInAUrl) {
  const char* names[] = {"a b#1;type=a.pdf", "100%.txt", "q?x=1&y", "semi;colon", "ä ö.pdf"};
  for (const char* name : names) WriteFile(In(name), name);
  auto server = Serve();
  auto s = Open(*server);
  for (const char* name : names) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(s->Retrieve(name, local / name).ok());
    EXPECT_EQ(ReadFile(local / name), name);
    EXPECT_TRUE(s->Delete(name).ok());
    EXPECT_FALSE(fs::exists(In(name)));
  }
}

TEST_F(Session, ActiveByDefaultPassiveOnRequest) {
  WriteFile(In("f.txt"), "data");
  auto server = Serve();
  for (bool passive : {false, true}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    server->ClearLog();
    auto s = Open(*server, passive);
    ASSERT_TRUE(s->List(kToday).ok());
    ASSERT_TRUE(s->Retrieve("f.txt", local / "f.txt").ok());
    EXPECT_EQ(server->Count("PORT "), passive ? 0 : 2);
    EXPECT_EQ(server->Count("EPSV") + server->Count("PASV"), passive ? 2 : 0);
  }
  // Switching needs no new connection.
  server->ClearLog();
  auto s = Open(*server, false);
  s->SetPassive(true);
  ASSERT_TRUE(s->Retrieve("f.txt", local / "f.txt").ok());
  s->SetPassive(false);
  ASSERT_TRUE(s->Retrieve("f.txt", local / "f.txt").ok());
  EXPECT_EQ(server->Count("CONNECT"), 1);
  EXPECT_EQ(server->Count("EPSV"), 1);
  EXPECT_EQ(server->Count("PORT "), 1);
}

TEST_F(Session, AServerThatGoesAwayIsNoLongerConnected) {
  auto server = Serve();
  auto s = Open(*server);
  ASSERT_TRUE(s->Connected());
  server->Stop();
  bool connected = true;
  for (int i = 0; i < 200 && connected; ++i) {
    connected = s->Connected();
    if (connected) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(connected);
  EXPECT_FALSE(s->List(kToday).ok());
}

TEST_F(Session, ATransferCutOffLeavesTheServerCopyAndNoLocalFile) {
  const std::string content = Bytes(600'000, 'c');
  WriteFile(In("cut.bin"), content);
  WriteFile(local / "cut.bin", "previous");
  FtpTestServer::Options o;
  o.cutAfter = 100'000;
  auto server = Serve(o);
  auto s = Open(*server);
  std::int64_t received = 0;
  s->SetProgressHandler([&](std::int64_t r) { received = r; });
  const Status status = s->Retrieve("cut.bin", local / "cut.bin", 600'000);
  EXPECT_FALSE(status.ok());
  EXPECT_GT(received, 0);
  EXPECT_LT(received, 600'000);
  EXPECT_TRUE(server->Ended());
  EXPECT_EQ(ReadFile(local / "cut.bin"), "previous");
  EXPECT_EQ(TempNamesIn(local.path()), 0);
  EXPECT_EQ(ReadFile(In("cut.bin")), content);
  EXPECT_FALSE(s->Connected());
}

TEST_F(Session, AFetchWritesOnlyIntoItsOwnNewTemporaryFile) {
  const std::string content = Bytes(200'000, 't');
  WriteFile(In("a.bin"), content);
  WriteFile(In("b.bin"), content);
  TempDir elsewhere;
  WriteFile(elsewhere / "target", "not to be touched");
  // Planted where a fetch might write: at the final names, and at the fixed
  // partial name of an older shape.
  fs::create_symlink(elsewhere / "target", local / "a.bin");
  fs::create_symlink(elsewhere / "target", local / ".a.bin.part");
  ASSERT_EQ(::mkfifo((local / "b.bin").c_str(), 0600), 0);
  FtpTestServer::Options o;
  o.throttle = 1'000'000;  // several progress calls
  auto server = Serve(o);
  auto s = Open(*server);
  std::set<std::string> seen;  // the names beside the target while data comes in
  s->SetProgressHandler([&](std::int64_t) {
    for (const auto& e : fs::directory_iterator(local.path())) seen.insert(e.path().filename());
  });
  for (const char* name : {"a.bin", "b.bin"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(s->Retrieve(name, local / name, 200'000).ok()) << s->failure();
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(local / name)));
    EXPECT_EQ(ReadFile(local / name), content);
  }
  EXPECT_EQ(ReadFile(elsewhere / "target"), "not to be touched");
  // Each fetch had a temporary file of the one shape the start-up clean-up
  // removes, and took its name when complete.
  int temps = 0;
  for (const std::string& name : seen) {
    if (IsTempName(name)) {
      ++temps;
    } else {
      EXPECT_TRUE(name == "a.bin" || name == "b.bin" || name == ".a.bin.part") << name;
    }
  }
  EXPECT_EQ(temps, 2);
  EXPECT_EQ(TempNamesIn(local.path()), 0);
}

}  // namespace
}  // namespace zf
