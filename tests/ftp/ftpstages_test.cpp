#include "ftp/ftpstages.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "enginetestkit.h"
#include "ftptestserver.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using test::FakeClock;
using test::FtpTestServer;
using test::HostEvent;
using test::QueueFolders;
using test::ReadFile;
using test::RecordingHost;
using test::SetTimes;
using test::TempDir;
using test::WriteFile;

// What naming would be handed: the ready entries, in table order.
class ReadyNames : public EngineStages {
 public:
  Status ResolveNames(Trenamethread&, PassContext& pass) override {
    std::vector<std::string> names;
    for (int k = 1; k <= pass.files.count(); ++k) {
      if (pass.files.at(k).ready) names.push_back(pass.files.at(k).oldname);
    }
    passes.push_back(names);
    return Status::Ok();
  }
  std::vector<std::vector<std::string>> passes;
};

class FtpPass : public testing::Test {
 protected:
  FtpPass() {
    host.settings.switchedOn = true;
    host.settings.ftpTimeout = 3000;
    fs::create_directory(served.path() / "in");
    fs::create_directory(temp);
    MakeFtpSessions(host.table, FtpLimits{5, 5, true});
  }

  void Serve(FtpTestServer::Options options = {}) {
    if (options.root.empty()) options.root = served.path().string();
    server = std::make_unique<FtpTestServer>(options);
  }
  int AddFtpQueue(const std::function<void(QueueRecord&)>& edit = {}) {
    return test::AddQueue(host.table, "Sport", folders, [&](QueueRecord& r) {
      r.Inputfolder.clear();
      r.FTPuse = true;
      r.FTPhost = "127.0.0.1";
      r.FTPPort = server->port();
      r.FTPuser = "zf";
      r.FTPpasw = "secret";
      r.FTPpath = "in";
      r.FTPTemppath = temp;
      if (edit) edit(r);
    });
  }
  Status Pass(int slot) { return engine.ProcessQueue(slot); }
  // A file on the server with its time set, seconds after 2021-01-01 UTC.
  void Put(const std::string& name, const std::string& content, int seconds) {
    const std::string path = Remote(name);
    WriteFile(path, content);
    SetTimes(path, 1609459200 + seconds, 1609459200 + seconds);
  }
  std::string Remote(const std::string& name) const {
    return (served.path() / "in" / name).string();
  }
  std::string Local(const std::string& name) const { return temp + "/" + name; }
  std::vector<std::string> LocalNames() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(temp)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<int> FtpEvents() const {
    std::vector<int> out;
    for (const HostEvent& e : host.EventsOf(HostEvent::kFtp)) out.push_back(e.a);
    return out;
  }

  RecordingHost host;
  FakeClock clock;
  SystemFileAccess files;
  ReadyNames stages;
  FtpStages ftp{host.settings};
  Trenamethread engine{EngineServices{host, files, clock, &stages, &ftp},
                       std::make_shared<EngineControl>()};
  TempDir served;
  QueueFolders folders;
  std::string temp = folders.root / "fetched";
  std::unique_ptr<FtpTestServer> server;
};

TEST_F(FtpPass, StableFilesAreFetchedOldestFirstAndDeletedOnTheServer) {
  Put("b.pdf", "second", 200);
  Put("a.pdf", "first", 100);
  Put("x.tmp", "ignored", 50);
  Put("c.txt", "not searched", 10);
  Serve();
  const int slot = AddFtpQueue([](QueueRecord& r) {
    r.Searchmask = "*.PDF;*.tmp";  // one mask: matches nothing
    r.ignoremask = "*.tmp";
  });
  host.table.Update(slot, [](QueueRecord& r) { r.Searchmask = "*.pdf"; });
  ASSERT_TRUE(Pass(slot).ok());

  ASSERT_EQ(stages.passes.size(), 1u);
  EXPECT_EQ(stages.passes[0], (std::vector<std::string>{"a.pdf", "b.pdf"}));
  EXPECT_EQ(LocalNames(), (std::vector<std::string>{"a.pdf", "b.pdf"}));
  EXPECT_EQ(ReadFile(Local("a.pdf")), "first");
  EXPECT_FALSE(fs::exists(Remote("a.pdf")));
  EXPECT_FALSE(fs::exists(Remote("b.pdf")));
  EXPECT_TRUE(fs::exists(Remote("x.tmp")));
  EXPECT_TRUE(fs::exists(Remote("c.txt")));
  EXPECT_EQ(host.table.Record(slot)->FTPcurrentpath, "in");
  // The whole folder is listed, the mask applied here.
  EXPECT_EQ(server->Count("MLSD"), 2);
  EXPECT_EQ(server->Count("RETR"), 2);
  EXPECT_EQ(server->Count("DELE"), 2);
  // The bar starts at 0 and is back at 0 after each file.
  const std::vector<int> progress = FtpEvents();
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.front(), 0);
  EXPECT_EQ(std::count(progress.begin(), progress.end(), 0), 3);
  EXPECT_EQ(progress.back(), 0);
}

TEST_F(FtpPass, AnUnchangedConnectionIsUsedWithoutAnyCommand) {
  Serve();
  const int slot = AddFtpQueue();
  for (int pass = 0; pass < 3; ++pass) {
    Put("f" + std::to_string(pass) + ".pdf", "x", pass);
    ASSERT_TRUE(Pass(slot).ok());
  }
  EXPECT_EQ(LocalNames(), (std::vector<std::string>{"f0.pdf", "f1.pdf", "f2.pdf"}));
  EXPECT_EQ(server->Count("CONNECT"), 1);
  EXPECT_EQ(server->Count("USER"), 1);
  EXPECT_EQ(server->Count("CWD"), 2);  // "/" and "in", once
  EXPECT_EQ(server->Count("NOOP"), 1);
  EXPECT_EQ(server->Count("QUIT"), 0);
}

TEST_F(FtpPass, AFileStillGrowingIsLeftForTheNextCycle) {
  Put("done.pdf", "complete", 100);
  Put("growing.pdf", "part", 200);
  Serve();
  const int slot = AddFtpQueue();
  bool grow = true;
  clock.hook = [&](int ms) {
    if (grow && ms == 100) {  // a slice of the stable wait: the upload goes on
      std::FILE* f = std::fopen(Remote("growing.pdf").c_str(), "ab");
      std::fputs("more", f);
      std::fclose(f);
    }
  };
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(stages.passes.back(), std::vector<std::string>{"done.pdf"});
  EXPECT_EQ(LocalNames(), std::vector<std::string>{"done.pdf"});
  EXPECT_TRUE(fs::exists(Remote("growing.pdf")));

  grow = false;
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(stages.passes.back(), std::vector<std::string>{"growing.pdf"});
  EXPECT_EQ(ReadFile(Local("growing.pdf")).size(), std::string("part").size() + 4 * 10);
  EXPECT_FALSE(fs::exists(Remote("growing.pdf")));
}

TEST_F(FtpPass, ChangedSettingsReconnectUnchangedOnesDoNot) {
  fs::create_directory(served.path() / "other");
  Serve();
  // The same port on another loopback address: only the host differs.
  FtpTestServer::Options second;
  second.root = served.path().string();
  second.host = "127.0.0.2";
  second.port = server->port();
  FtpTestServer other(second);
  const int slot = AddFtpQueue();
  ASSERT_TRUE(Pass(slot).ok());

  struct Case {
    const char* what;
    std::function<void(QueueRecord&)> edit;
    const FtpTestServer* expected;  // the server that sees the new log-in
    const char* folder;
  } cases[] = {
      {"path", [](QueueRecord& r) { r.FTPpath = "other"; }, server.get(), "other"},
      {"host", [](QueueRecord& r) { r.FTPhost = "127.0.0.2"; }, &other, "other"},
      {"back",
       [](QueueRecord& r) {
         r.FTPhost = "127.0.0.1";
         r.FTPpath = "/in";
       },
       server.get(), "/in"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server->ClearLog();
    other.ClearLog();
    host.table.Update(slot, c.edit);
    WriteFile((served.path() / "in" / c.what).string() + ".pdf", c.what);
    WriteFile((served.path() / "other" / c.what).string() + ".pdf", c.what);
    ASSERT_TRUE(Pass(slot).ok());
    EXPECT_EQ(c.expected->Count("CONNECT"), 1);
    EXPECT_EQ(c.expected->Count(std::string("CWD ") + c.folder), 1);
    EXPECT_EQ(c.expected->Count("NOOP"), 1);
    EXPECT_EQ(host.table.Record(slot)->FTPcurrentpath, c.folder);
    EXPECT_TRUE(fs::exists(Local(std::string(c.what) + ".pdf")));
  }
  // The connection left behind was closed politely.
  EXPECT_EQ(other.Count("QUIT"), 1);

  // A changed password reconnects too; a wrong one fails the pre-check.
  server->ClearLog();
  host.table.Update(slot, [](QueueRecord& r) { r.FTPpasw = "changed"; });
  const auto before = host.EventsOf(HostEvent::kFtp).size();
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(server->Count("QUIT"), 1);
  EXPECT_EQ(server->Count("PASS"), 1);
  EXPECT_EQ(host.EventsOf(HostEvent::kFtp).size(), before);
}

TEST_F(FtpPass, ASubfolderIsSkippedSoLaterFilesStillCome) {
  // The oldest entry, and unchanged: taken as a file it would be first in
  // line, fail to be fetched and hold up every later file for good.
  fs::create_directory(served.path() / "in" / "archive.pdf");
  SetTimes((served.path() / "in" / "archive.pdf").string(), 1609459200, 1609459200);
  FtpTestServer::Options o;
  for (bool listOnly : {false, true}) {
    SCOPED_TRACE(listOnly ? "LIST" : "MLSD");
    Put("later.pdf", "later", 500);
    o.listOnly = listOnly;
    Serve(o);
    const int slot = AddFtpQueue();
    ASSERT_TRUE(Pass(slot).ok());
    EXPECT_EQ(stages.passes.back(), std::vector<std::string>{"later.pdf"});
    EXPECT_TRUE(fs::is_directory(served.path() / "in" / "archive.pdf"));
    EXPECT_EQ(server->Count("RETR archive.pdf"), 0);
    EXPECT_EQ(server->Count("RETR later.pdf"), 1);
    EXPECT_FALSE(fs::exists(Remote("later.pdf")));
    ASSERT_TRUE(host.table.Delete(slot).ok());
  }
}

TEST_F(FtpPass, NamesDifferingOnlyInCaseAreDifferentFiles) {
  Put("page.pdf", "lower", 100);
  Put("PAGE.PDF", "upper", 100);
  Put("Page.pdf", "mixed", 200);
  Serve();
  const int slot = AddFtpQueue([](QueueRecord& r) { r.Searchmask = "page.pdf"; });
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(LocalNames(), (std::vector<std::string>{"PAGE.PDF", "Page.pdf", "page.pdf"}));
  EXPECT_EQ(ReadFile(Local("page.pdf")), "lower");
  EXPECT_EQ(ReadFile(Local("PAGE.PDF")), "upper");
  EXPECT_EQ(ReadFile(Local("Page.pdf")), "mixed");
  EXPECT_EQ(stages.passes.back().size(), 3u);
}

TEST_F(FtpPass, AServerStoppedInATransferLosesNothing) {
  Put("1-small.pdf", "small", 100);
  const std::string big(400'000, 'B');
  Put("2-big.pdf", big, 200);
  Put("3-later.pdf", "later", 300);
  FtpTestServer::Options o;
  o.cutAfter = 100'000;
  Serve(o);
  const int slot = AddFtpQueue();
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_TRUE(server->Ended());
  EXPECT_EQ(stages.passes.back(), std::vector<std::string>{"1-small.pdf"});
  EXPECT_EQ(LocalNames(), std::vector<std::string>{"1-small.pdf"});  // no partial file either
  EXPECT_EQ(ReadFile(Remote("2-big.pdf")), big);
  EXPECT_TRUE(fs::exists(Remote("3-later.pdf")));
  EXPECT_EQ(FtpEvents().back(), 0);

  // The server comes back on the same port: the lost connection is noticed
  // and the remaining files are fetched.
  FtpTestServer::Options again;
  again.port = server->port();
  Serve(again);
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(stages.passes.back(), (std::vector<std::string>{"2-big.pdf", "3-later.pdf"}));
  EXPECT_EQ(ReadFile(Local("2-big.pdf")), big);
  EXPECT_FALSE(fs::exists(Remote("2-big.pdf")));
  EXPECT_EQ(server->Count("CONNECT"), 1);
}

TEST_F(FtpPass, AWrongPasswordFailsThePreCheckSilently) {
  Put("a.pdf", "a", 1);
  Serve();
  const int slot = AddFtpQueue([](QueueRecord& r) { r.FTPpasw = "wrong"; });
  for (int pass = 0; pass < 2; ++pass) ASSERT_TRUE(Pass(slot).ok());
  EXPECT_TRUE(FtpEvents().empty());  // the pass ended before its FTP progress
  EXPECT_TRUE(stages.passes.empty());
  EXPECT_TRUE(LocalNames().empty());
  EXPECT_TRUE(fs::exists(Remote("a.pdf")));
  EXPECT_EQ(server->Count("PASS"), 2);  // tried again each cycle
  EXPECT_EQ(host.table.Record(slot)->FTPcurrentpath, "");

  // A folder that cannot be entered fails it the same way.
  host.table.Update(slot, [](QueueRecord& r) {
    r.FTPpasw = "secret";
    r.FTPpath = "missing";
  });
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_TRUE(stages.passes.empty());
  EXPECT_TRUE(fs::exists(Remote("a.pdf")));
}

TEST_F(FtpPass, ActiveAndPassiveDataConnectionsBothWork) {
  Serve();
  for (bool passive : {false, true}) {
    SCOPED_TRACE(passive ? "passive" : "active");
    server->ClearLog();
    const std::string name = passive ? "p.pdf" : "a.pdf";
    Put(name, name, 1);
    const int slot = AddFtpQueue([&](QueueRecord& r) { r.FTPpassive = passive; });
    ASSERT_TRUE(Pass(slot).ok());
    EXPECT_EQ(ReadFile(Local(name)), name);
    EXPECT_FALSE(fs::exists(Remote(name)));
    EXPECT_EQ(server->Count("PORT "), passive ? 0 : 3);  // two listings and the fetch
    EXPECT_EQ(server->Count("EPSV") + server->Count("PASV"), passive ? 3 : 0);
    ASSERT_TRUE(host.table.Delete(slot).ok());
  }
}

TEST_F(FtpPass, AListOnlyServerIsReadFromItsListLines) {
  Put("old report.pdf", std::string(5000, 'o'), 100);
  Put("new  report.pdf", "n", 86400 * 30);
  FtpTestServer::Options o;
  o.listOnly = true;
  Serve(o);
  const int slot = AddFtpQueue();
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(server->Count("MLSD"), 0);
  EXPECT_EQ(server->Count("LIST"), 2);
  EXPECT_EQ(stages.passes.back(), (std::vector<std::string>{"old report.pdf", "new  report.pdf"}));
  EXPECT_EQ(ReadFile(Local("old report.pdf")).size(), 5000u);
  EXPECT_FALSE(fs::exists(Remote("new  report.pdf")));
}

TEST_F(FtpPass, AFailedDeletionEndsTheFetchingForThisPass) {
  Put("1.pdf", "one", 100);
  Put("2.pdf", "two", 200);
  FtpTestServer::Options o;
  o.perm = "elrfmwMT";  // no "d": DELE is refused
  Serve(o);
  const int slot = AddFtpQueue();
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_TRUE(stages.passes.back().empty());
  // The first was fetched and stays in the temp folder as well as on the
  // server; the second was not tried.
  EXPECT_EQ(LocalNames(), std::vector<std::string>{"1.pdf"});
  EXPECT_TRUE(fs::exists(Remote("1.pdf")));
  EXPECT_TRUE(fs::exists(Remote("2.pdf")));
  EXPECT_EQ(server->Count("RETR"), 1);
  EXPECT_EQ(FtpEvents().back(), 0);
}

TEST_F(FtpPass, AMissingTempFolderFetchesAndDeletesNothing) {
  Put("1.pdf", "one", 100);
  Serve();
  const int slot = AddFtpQueue([&](QueueRecord& r) { r.FTPTemppath = temp + "/missing"; });
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_TRUE(stages.passes.back().empty());
  EXPECT_TRUE(fs::exists(Remote("1.pdf")));
  EXPECT_EQ(server->Count("DELE"), 0);
}

TEST_F(FtpPass, AServerGoneDuringTheStableWaitMakesNothingReady) {
  Put("1.pdf", "one", 100);
  Serve();
  const int slot = AddFtpQueue();
  clock.hook = [&](int ms) {
    if (ms == 100 && server->Running()) server->Stop();
  };
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_TRUE(stages.passes.back().empty());
  EXPECT_TRUE(fs::exists(Remote("1.pdf")));
  EXPECT_TRUE(LocalNames().empty());
}

TEST_F(FtpPass, ListingFailuresAndInvalidMasksEscapeTheStage) {
  Put("1.pdf", "one", 100);
  FtpTestServer::Options o;
  o.perm = "e";  // may enter the folder but not list it
  Serve(o);
  const int slot = AddFtpQueue();
  EXPECT_FALSE(Pass(slot).ok());
  EXPECT_TRUE(stages.passes.empty());

  Serve();
  host.table.Update(slot, [&](QueueRecord& r) {
    r.FTPPort = server->port();
    r.ignoremask = "[abc";
  });
  EXPECT_FALSE(Pass(slot).ok());
  EXPECT_TRUE(fs::exists(Remote("1.pdf")));
}

TEST_F(FtpPass, DiscoveryTakesAtMost999Files) {
  for (int i = 0; i < 1001; ++i) WriteFile(Remote("f" + std::to_string(i)), "");
  fs::create_directory(served.path() / "in" / "d");  // not counted
  Serve();
  const int slot = AddFtpQueue();
  const RecordPtr queue = host.table.Record(slot);
  ASSERT_TRUE(ftp.PrepareFtp(engine, queue));
  PassContext pass;
  pass.slot = slot;
  pass.uid = queue->uid;
  pass.queue = queue;
  pass.inputFolder = temp + "/";
  ASSERT_TRUE(ftp.ListRemote(engine, pass).ok());
  EXPECT_EQ(pass.files.count(), FileTable::kUsable);
  for (int k = 1; k <= pass.files.count(); ++k) {
    EXPECT_FALSE(pass.files.at(k).ready);
    EXPECT_EQ(pass.files.at(k).filesize, 0);
  }
}

TEST(FetchProgress, PercentOfTheListedSizeWithoutRepeats) {
  struct Case {
    std::int64_t size;
    std::vector<std::int64_t> received;
    std::vector<int> shown;
  } cases[] = {
      {200, {0, 1, 2, 3, 100, 100, 199, 200}, {1, 50, 99, 100}},
      {0, {0, 1, 5}, {}},  // an empty file shows nothing and divides by nothing
      {3, {1, 2, 3, 9}, {33, 66, 100}},
      {-1, {1, 2}, {}},  // a size the listing did not give
      // Beyond what 32 bits, or a plain product in 64 bits, could hold.
      {std::int64_t{1} << 62,
       {std::int64_t{1} << 61, (std::int64_t{1} << 62) - 1, std::int64_t{1} << 62},
       {50, 99, 100}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    RecordingHost host;
    FtpStages stages([] { return -1; });
    stages.SetProgressSize(c.size);
    for (std::int64_t r : c.received) stages.ShowFetchProgress(host, r);
    std::vector<int> shown;
    for (const HostEvent& e : host.EventsOf(HostEvent::kFtp)) shown.push_back(e.a);
    EXPECT_EQ(shown, c.shown);
  }
}

TEST_F(FtpPass, TheProgressBarFollowsEachFileAndReturnsToZero) {
  Put("1.bin", std::string(250'000, '1'), 100);
  Put("2.bin", "", 200);  // empty: fetched, nothing to show
  FtpTestServer::Options o;
  o.throttle = 1'000'000;
  Serve(o);
  const int slot = AddFtpQueue();
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(LocalNames(), (std::vector<std::string>{"1.bin", "2.bin"}));
  const std::vector<int> progress = FtpEvents();
  // 0 at the start of the pass, rising to 100 for the first file, 0 after
  // each of the two files.
  ASSERT_GE(progress.size(), 5u) << testing::PrintToString(progress);
  EXPECT_EQ(progress.front(), 0);
  const auto hundred = std::find(progress.begin(), progress.end(), 100);
  ASSERT_NE(hundred, progress.end());
  EXPECT_TRUE(std::is_sorted(progress.begin() + 1, hundred));
  EXPECT_EQ(std::vector<int>(hundred + 1, progress.end()), (std::vector<int>{0, 0}));
  for (std::size_t i = 1; i < progress.size(); ++i) {
    if (progress[i] != 0) {
      EXPECT_NE(progress[i], progress[i - 1]);
    }
  }
}

}  // namespace
}  // namespace zf
