#include "ftp/ftpstages.h"
#include "platform/writehook.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/datetimepattern.h"
#include "enginetestkit.h"
#include "ftptestserver.h"
#include "log/visuallog.h"
#include "platform/tempfile.h"

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

// Naming and delivery as far as the FTP stages care: the ready entries
// naming is handed, in table order, and a delivery that moves each of them
// out of the temp folder into the output folder.
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
  Status DeliverFiles(Trenamethread&, PassContext& pass) override {
    if (keep.count(pass.queue->name) != 0) return Status::Ok();
    for (int k = 1; k <= pass.files.count(); ++k) {
      const FileEntry& e = pass.files.at(k);
      if (!e.ready) continue;
      fs::rename(pass.inputFolder + e.oldname, pass.outputFolder + e.oldname);
    }
    return Status::Ok();
  }
  std::vector<std::vector<std::string>> passes;
  std::set<std::string> keep;  // queues whose fetched files delivery leaves
};

// The real file system; listings of folders under `failing` fail with EACCES.
class ListFaults : public SystemFileAccess {
 public:
  Result<std::unique_ptr<DirListing>> List(const std::string& pattern) override {
    if (!failing.empty() && pattern.rfind(failing, 0) == 0) {
      return Status::Error(pattern + ": Permission denied", EACCES);
    }
    return SystemFileAccess::List(pattern);
  }
  std::string failing;
};

std::vector<std::string> NamesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

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
  // The queue's own folder in the temp folder, which its first pass makes.
  std::string Local(const std::string& name) const {
    fs::create_directories(temp + "/Sport");
    return temp + "/Sport/" + name;
  }
  std::vector<std::string> LocalNames() const { return NamesIn(Local("")); }
  // What delivery took out of the temp folder.
  std::string Delivered(const std::string& name) const { return folders.out + "/" + name; }
  std::vector<std::string> DeliveredNames() const { return NamesIn(folders.out); }
  // The problems reported, as "input: comment: reason".
  std::vector<std::string> Problems() const {
    std::vector<std::string> out;
    for (const VisualLogEntry& row : rows) {
      out.push_back(row.inputName + ": " + row.comment + ": " + row.reason);
    }
    return out;
  }
  std::vector<int> FtpEvents() const {
    std::vector<int> out;
    for (const HostEvent& e : host.EventsOf(HostEvent::kFtp)) out.push_back(e.a);
    return out;
  }

  RecordingHost host;
  FakeClock clock;
  ListFaults files;
  ReadyNames stages;
  FtpStages ftp{host.settings};
  std::vector<VisualLogEntry> rows;
  VisualLog visualLog{clock, DefaultRegionalSettings(),
                      [this](VisualLogEntry e) { rows.push_back(std::move(e)); }};
  std::shared_ptr<EngineControl> control = std::make_shared<EngineControl>();
  Trenamethread engine{EngineServices{host, files, clock, &stages, &ftp, &visualLog}, control};
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
  EXPECT_EQ(DeliveredNames(), (std::vector<std::string>{"a.pdf", "b.pdf"}));
  EXPECT_EQ(ReadFile(Delivered("a.pdf")), "first");
  EXPECT_TRUE(LocalNames().empty());
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

// The fetched files are made durable together: every file of the group is
// fetched before the first is deleted on the server, and each is deleted
// only once it is here under its name.
TEST_F(FtpPass, AGroupIsFetchedWholeBeforeTheServersCopiesAreDeleted) {
  Put("a.pdf", "first", 100);
  Put("b.pdf", "second", 200);
  Put("c.pdf", "third", 300);
  Serve();
  const int slot = AddFtpQueue();
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(stages.passes.back(), (std::vector<std::string>{"a.pdf", "b.pdf", "c.pdf"}));
  const std::vector<std::string> commands = server->Commands();
  std::size_t lastRetr = 0;
  std::size_t firstDele = commands.size();
  std::vector<std::string> deleted;
  for (std::size_t i = 0; i < commands.size(); ++i) {
    if (commands[i].rfind("RETR ", 0) == 0) lastRetr = i;
    if (commands[i].rfind("DELE ", 0) == 0) {
      firstDele = std::min(firstDele, i);
      deleted.push_back(commands[i].substr(5));
    }
  }
  EXPECT_LT(lastRetr, firstDele);
  EXPECT_EQ(deleted, (std::vector<std::string>{"a.pdf", "b.pdf", "c.pdf"}));
  EXPECT_EQ(ReadFile(Delivered("c.pdf")), "third");
}

TEST_F(FtpPass, AnUnchangedConnectionIsUsedWithoutAnyCommand) {
  Serve();
  const int slot = AddFtpQueue();
  for (int pass = 0; pass < 3; ++pass) {
    Put("f" + std::to_string(pass) + ".pdf", "x", pass);
    ASSERT_TRUE(Pass(slot).ok());
  }
  EXPECT_EQ(DeliveredNames(), (std::vector<std::string>{"f0.pdf", "f1.pdf", "f2.pdf"}));
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
  EXPECT_EQ(DeliveredNames(), std::vector<std::string>{"done.pdf"});
  EXPECT_TRUE(fs::exists(Remote("growing.pdf")));

  grow = false;
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(stages.passes.back(), std::vector<std::string>{"growing.pdf"});
  EXPECT_EQ(ReadFile(Delivered("growing.pdf")).size(), std::string("part").size() + 4 * 10);
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
    EXPECT_TRUE(fs::exists(Delivered(std::string(c.what) + ".pdf")));
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

TEST_F(FtpPass, ASubfolderOrAHiddenUploadIsSkippedSoLaterFilesStillCome) {
  // The oldest entry, and unchanged: taken as a file it would be first in
  // line, fail to be fetched and hold up every later file for good.
  fs::create_directory(served.path() / "in" / "archive.pdf");
  SetTimes((served.path() / "in" / "archive.pdf").string(), 1609459200, 1609459200);
  // Uploads under way (a stalled one), never to be fetched under their writer.
  Put(".x.part", "half an upload", 10);
  Put(".hidden.pdf", "hidden", 20);
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
    EXPECT_EQ(server->Count("RETR ."), 0);
    EXPECT_EQ(server->Count("DELE ."), 0);
    EXPECT_EQ(ReadFile(Remote(".x.part")), "half an upload");
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
  EXPECT_EQ(DeliveredNames(), (std::vector<std::string>{"PAGE.PDF", "Page.pdf", "page.pdf"}));
  EXPECT_EQ(ReadFile(Delivered("page.pdf")), "lower");
  EXPECT_EQ(ReadFile(Delivered("PAGE.PDF")), "upper");
  EXPECT_EQ(ReadFile(Delivered("Page.pdf")), "mixed");
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
  EXPECT_EQ(DeliveredNames(), std::vector<std::string>{"1-small.pdf"});
  EXPECT_TRUE(LocalNames().empty());  // no partial file either
  EXPECT_EQ(ReadFile(Remote("2-big.pdf")), big);
  EXPECT_TRUE(fs::exists(Remote("3-later.pdf")));
  EXPECT_EQ(FtpEvents().back(), 0);
  // The lost connection ended the fetching: the file it broke off is
  // reported, and the outage, the later one was not tried.
  ASSERT_EQ(Problems().size(), 2u);
  EXPECT_EQ(Problems()[0].rfind("2-big.pdf: Cannot fetch: ", 0), 0u) << Problems()[0];
  EXPECT_EQ(Problems()[1].rfind(": FTP connection lost: ", 0), 0u) << Problems()[1];
  EXPECT_EQ(server->Count("RETR 3-later.pdf"), 0);

  // The server comes back on the same port: the lost connection is noticed
  // and the remaining files are fetched.
  FtpTestServer::Options again;
  again.port = server->port();
  Serve(again);
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(stages.passes.back(), (std::vector<std::string>{"2-big.pdf", "3-later.pdf"}));
  EXPECT_EQ(ReadFile(Delivered("2-big.pdf")), big);
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

// The status board shows each FTP queue's connection: the error while the
// server refuses us (never with the password), then the server we are on.
TEST_F(FtpPass, TheStatusBoardShowsTheConnectionState) {
  Serve();
  const int slot = AddFtpQueue([](QueueRecord& r) { r.FTPpasw = "wrong-one"; });
  QueueStatusBoard board;
  Trenamethread watched{EngineServices{host, files, clock, &stages, &ftp, &visualLog, &board},
                        std::make_shared<EngineControl>()};
  auto row = [&] { return board.Snapshot(host.table, clock.Now()).at(slot - 1); };
  EXPECT_TRUE(row().ftp);
  EXPECT_EQ(row().ftpConnection, "not connected");

  ASSERT_TRUE(watched.ScanQueues().ok());
  EXPECT_EQ(row().state, QueueStatus::State::kFailing);
  EXPECT_NE(row().ftpConnection.find("530"), std::string::npos) << row().ftpConnection;
  EXPECT_EQ(row().ftpConnection.find("wrong-one"), std::string::npos);
  EXPECT_EQ(row().lastFailure, "Queue \"Sport\" not served: the FTP server cannot be used");

  // A message that happens to hold the password shows it masked.
  host.table.Update(slot, [](QueueRecord& r) {
    r.FTPhost = "no such host";
    r.FTPpasw = "such";
  });
  ASSERT_TRUE(watched.ScanQueues().ok());
  EXPECT_EQ(row().ftpConnection, "Unable to connect: \"no *** host\" is no host");

  host.table.Update(slot, [](QueueRecord& r) {
    r.FTPhost = "127.0.0.1";
    r.FTPpasw = "secret";
  });
  ASSERT_TRUE(watched.ScanQueues().ok());
  EXPECT_EQ(row().ftpConnection, "connected to 127.0.0.1:" + std::to_string(server->port()));
  EXPECT_EQ(row().state, QueueStatus::State::kIdle);
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
    EXPECT_EQ(ReadFile(Delivered(name)), name);
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
  EXPECT_EQ(ReadFile(Delivered("old report.pdf")).size(), 5000u);
  EXPECT_FALSE(fs::exists(Remote("new  report.pdf")));
}

TEST_F(FtpPass, AFileThatCannotBeFetchedOrDeletedIsSkippedAndReported) {
  // Oldest first, each of the first three once ended the pass in every
  // cycle; 250 characters leave no room for a temporary name that holds the
  // whole name and more.
  const std::string longName = std::string(246, 'n') + ".pdf";
  Put("1-refused.pdf", "unreadable", 100);
  Put("2-kept.pdf", "undeletable", 200);
  Put(longName, "long", 300);
  Put("4-later.pdf", "later", 400);
  FtpTestServer::Options o;
  o.refuseRetr = {"1-refused.pdf"};
  o.refuseDele = {"2-kept.pdf"};
  Serve(o);
  const int slot = AddFtpQueue();
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(stages.passes.back(), (std::vector<std::string>{longName, "4-later.pdf"}));
  EXPECT_EQ(DeliveredNames(), (std::vector<std::string>{"4-later.pdf", longName}));
  EXPECT_EQ(ReadFile(Delivered(longName)), "long");
  // The copy of the file the server keeps is not delivered, or it would be
  // delivered again whenever it is fetched once more.
  EXPECT_TRUE(LocalNames().empty());
  EXPECT_EQ(ReadFile(Remote("1-refused.pdf")), "unreadable");
  EXPECT_EQ(ReadFile(Remote("2-kept.pdf")), "undeletable");
  const std::vector<std::string> reported = {
      "1-refused.pdf: Cannot fetch: 550 This file may not be read.",
      "2-kept.pdf: Cannot delete on the server: 550 This file may not be deleted."};
  EXPECT_EQ(Problems(), reported);
  for (const VisualLogEntry& row : rows) {
    EXPECT_EQ(row.status, 2);
    EXPECT_EQ(row.queue, "Sport");
  }

  // Later passes try the refused fetch again, quietly, and leave the file
  // that cannot be deleted alone while it is unchanged.
  for (int pass = 0; pass < 2; ++pass) ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(server->Count("RETR 1-refused.pdf"), 3);
  EXPECT_EQ(server->Count("RETR 2-kept.pdf"), 1);
  EXPECT_EQ(server->Count("DELE 2-kept.pdf"), 1);
  EXPECT_EQ(Problems(), reported);
  EXPECT_TRUE(LocalNames().empty());

  // Changed, it is a new file: fetched, refused and reported once more.
  Put("2-kept.pdf", "changed", 500);
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(server->Count("RETR 2-kept.pdf"), 2);
  ASSERT_EQ(Problems().size(), 3u);
  EXPECT_EQ(Problems().back(), reported[1]);
  EXPECT_EQ(ReadFile(Remote("2-kept.pdf")), "changed");
  EXPECT_TRUE(LocalNames().empty());
  EXPECT_EQ(FtpEvents().back(), 0);

  // Gone from the server, it is forgotten: put back just as it was, it is a
  // new file again.
  fs::remove(Remote("2-kept.pdf"));
  ASSERT_TRUE(Pass(slot).ok());
  Put("2-kept.pdf", "changed", 500);
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(server->Count("RETR 2-kept.pdf"), 3);
  EXPECT_EQ(Problems().size(), 4u);
}

TEST_F(FtpPass, FilesWaitingInTheTempFolderAreTakenWithoutFetching) {
  Serve();
  const int slot = AddFtpQueue([](QueueRecord& r) {
    r.Searchmask = "*.pdf";
    r.ignoremask = "*-ignored.pdf";
  });
  // Fetched by an earlier pass, deleted on the server, never delivered.
  WriteFile(Local("waiting.pdf"), "fetched before");
  // Never taken: masks, partial fetches, other writers' files, folders,
  // links and pipes.
  const std::string partial = MakeTempName("broken.pdf");
  WriteFile(Local("x-ignored.pdf"), "ignored");
  WriteFile(Local("other.txt"), "not searched");
  WriteFile(Local(partial), "a fetch broken off");
  WriteFile(Local(".copy.pdf.part"), "still being written");
  fs::create_directory(Local("folder.pdf"));
  fs::create_symlink(Local("other.txt"), Local("link.pdf"));
  ASSERT_EQ(::mkfifo(Local("pipe.pdf").c_str(), 0644), 0);
  // The server's folder is empty: the pass comes all the same.
  ASSERT_TRUE(Pass(slot).ok());
  ASSERT_EQ(stages.passes.size(), 1u);
  EXPECT_EQ(stages.passes.back(), std::vector<std::string>{"waiting.pdf"});
  EXPECT_EQ(ReadFile(Delivered("waiting.pdf")), "fetched before");
  std::vector<std::string> left = {partial,     ".copy.pdf.part", "folder.pdf",   "link.pdf",
                                   "other.txt", "pipe.pdf",       "x-ignored.pdf"};
  std::sort(left.begin(), left.end());
  EXPECT_EQ(LocalNames(), left);
  EXPECT_EQ(server->Count("RETR"), 0);

  // A waiting copy whose name the server offers again goes first, unharmed;
  // the server's file waits for the next pass.
  WriteFile(Local("same.pdf"), "waiting copy");
  Put("same.pdf", "server copy", 100);
  Put("new.pdf", "new", 200);
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(ReadFile(Delivered("same.pdf")), "waiting copy");
  EXPECT_EQ(ReadFile(Delivered("new.pdf")), "new");
  EXPECT_EQ(ReadFile(Remote("same.pdf")), "server copy");
  EXPECT_EQ(server->Count("RETR same.pdf"), 0);
  fs::remove(Delivered("same.pdf"));
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(ReadFile(Delivered("same.pdf")), "server copy");
  EXPECT_FALSE(fs::exists(Remote("same.pdf")));
}

TEST_F(FtpPass, AQueueSwitchedOffStopsTheFetchingBetweenFiles) {
  Put("1.pdf", std::string(1000, '1'), 100);
  Put("2.pdf", "2", 200);
  Serve();
  const int slot = AddFtpQueue();
  host.onEvent = [&](const HostEvent& e) {
    if (e.kind == HostEvent::kFtp && e.a > 0) {
      host.table.Update(slot, [](QueueRecord& r) { r.Enabled = false; });
    }
  };
  ASSERT_TRUE(Pass(slot).ok());
  EXPECT_EQ(server->Count("RETR"), 1);
  EXPECT_TRUE(fs::exists(Remote("2.pdf")));
  // The file under way was finished; it waits for the queue's next pass.
  EXPECT_FALSE(fs::exists(Remote("1.pdf")));
  EXPECT_EQ(LocalNames(), std::vector<std::string>{"1.pdf"});
  EXPECT_TRUE(rows.empty());
}

TEST_F(FtpPass, AStopBreaksOffATricklingTransferAtOnce) {
  host.settings.ftpTimeout = 60'000;  // the speed floor is not what ends it here
  const std::string slow(100, 's');
  Put("1-slow.pdf", slow, 100);
  Put("2-next.pdf", "next", 200);
  FtpTestServer::Options o;
  o.throttle = 1;  // a byte a second
  Serve(o);
  const int slot = AddFtpQueue();
  std::chrono::steady_clock::time_point stoppedAt;
  std::thread stopper([&] {
    // Once the transfer is under way: its partial file is there.
    for (int waited = 0; waited < 20'000 && LocalNames().empty(); waited += 10) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stoppedAt = std::chrono::steady_clock::now();
    control->stop = true;
  });
  const Status status = Pass(slot);
  const auto endedAt = std::chrono::steady_clock::now();
  stopper.join();
  EXPECT_TRUE(status.ok()) << status.message();
  const auto took =
      std::chrono::duration_cast<std::chrono::milliseconds>(endedAt - stoppedAt).count();
  EXPECT_GE(took, 0) << "the fetch ended before the stop";
  EXPECT_LT(took, 2000) << "the fetch went on " << took << " ms after the stop";
  EXPECT_EQ(ReadFile(Remote("1-slow.pdf")), slow);
  EXPECT_TRUE(fs::exists(Remote("2-next.pdf")));
  EXPECT_EQ(server->Count("RETR 2-next.pdf"), 0);
  EXPECT_EQ(server->Count("DELE"), 0);
  EXPECT_TRUE(LocalNames().empty());  // no partial file
  EXPECT_TRUE(rows.empty());          // a stop is no problem of the file's
}

TEST_F(FtpPass, ATransferBelowTheSpeedFloorIsCutAfterTheTimeOut) {
  host.settings.ftpTimeout = 2000;
  const std::string content(100'000, 's');
  Put("1-slow.pdf", content, 100);
  FtpTestServer::Options o;
  o.throttle = 200;  // moving, but far below 1 KiB/s
  Serve(o);
  const int slot = AddFtpQueue();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Pass(slot).ok());
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_EQ(ReadFile(Remote("1-slow.pdf")), content);
  EXPECT_TRUE(LocalNames().empty());
  ASSERT_EQ(Problems().size(), 2u);  // the file, and the connection it took along
  EXPECT_EQ(Problems()[0].rfind("1-slow.pdf: Cannot fetch: ", 0), 0u) << Problems()[0];
  EXPECT_NE(Problems()[0].find("Timed out"), std::string::npos) << Problems()[0];
}

TEST_F(FtpPass, AMissingTempFolderEndsThePassBeforeAnyFileIsTouched) {
  Put("1.pdf", "one", 100);
  Serve();
  const std::string missing = temp + "/missing";
  const int slot = AddFtpQueue([&](QueueRecord& r) { r.FTPTemppath = missing; });
  const Status status = Pass(slot);
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(status.message(), "The FTP temp folder " + missing + " cannot be found");
  EXPECT_TRUE(stages.passes.empty());
  EXPECT_TRUE(fs::exists(Remote("1.pdf")));
  EXPECT_EQ(server->Count("RETR"), 0);
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

TEST_F(FtpPass, RefusedListingsAndInvalidMasksEndThePassWithTheirCause) {
  Put("1.pdf", "one", 100);
  FtpTestServer::Options refusing;
  refusing.perm = "e";  // may enter the folder but not list it
  Serve(refusing);
  const int slot = AddFtpQueue();
  const std::string refused = "The FTP server refused the listing of in on 127.0.0.1:";
  Status status = Pass(slot);
  EXPECT_EQ(status.message().rfind(refused, 0), 0u) << status.message();
  EXPECT_NE(status.message().find(": 550 "), std::string::npos) << status.message();
  EXPECT_TRUE(stages.passes.empty());

  // Refused at the second listing, after the stable wait: the same.
  Serve();
  host.table.Update(slot, [&](QueueRecord& r) { r.FTPPort = server->port(); });
  refusing.port = server->port();
  clock.hook = [&](int ms) {
    if (ms == 100 && server->options().perm.empty()) {
      server->Stop();  // frees the port
      Serve(refusing);
    }
  };
  status = Pass(slot);
  EXPECT_EQ(status.message().rfind(refused, 0), 0u) << status.message();
  EXPECT_TRUE(stages.passes.empty());
  clock.hook = {};

  // An ignore mask that cannot be read, met by a server's name or by a name
  // waiting in the temp folder.
  Serve();
  host.table.Update(slot, [&](QueueRecord& r) {
    r.FTPPort = server->port();
    r.ignoremask = "[abc";
  });
  status = Pass(slot);
  EXPECT_EQ(status.message().rfind("Invalid ignore mask: '[abc'", 0), 0u) << status.message();
  EXPECT_TRUE(fs::exists(Remote("1.pdf")));
  fs::remove(Remote("1.pdf"));
  WriteFile(Local("w.pdf"), "waiting");
  status = Pass(slot);
  EXPECT_EQ(status.message().rfind("Invalid ignore mask: '[abc'", 0), 0u) << status.message();
  EXPECT_TRUE(stages.passes.empty());

  // A temp folder that cannot be read says so, whatever the masks.
  files.failing = temp;
  for (const char* mask : {"none", "*.tmp"}) {
    host.table.Update(slot, [&](QueueRecord& r) { r.ignoremask = mask; });
    status = Pass(slot);
    EXPECT_EQ(status.message().rfind("The FTP temp folder " + Local("") + " cannot be read: ", 0),
              0u)
        << status.message();
    EXPECT_NE(status.message().find("Permission denied"), std::string::npos);
  }
}

TEST_F(FtpPass, EachQueueTakesUpOnlyTheFilesItFetchedItself) {
  Serve();
  fs::create_directory(served.path() / "in2");
  const int sport = AddFtpQueue();
  const int news = AddFtpQueue([](QueueRecord& r) {
    r.name = "News";
    r.FTPpath = "in2";
  });
  // News fetches its file (deleted on the server), and its delivery leaves it
  // waiting in the temp folder that both queues name.
  WriteFile((served.path() / "in2" / "b.pdf").string(), "news");
  stages.keep = {"News"};
  ASSERT_TRUE(Pass(news).ok());
  ASSERT_FALSE(fs::exists(served.path() / "in2" / "b.pdf"));
  ASSERT_TRUE(Pass(sport).ok());
  EXPECT_TRUE(DeliveredNames().empty());
  stages.keep.clear();
  ASSERT_TRUE(Pass(news).ok());
  EXPECT_EQ(ReadFile(Delivered("b.pdf")), "news");

  // A link planted as a queue's own folder is refused, never written through.
  fs::remove_all(temp + "/Sport");
  fs::create_symlink(folders.out, temp + "/Sport");
  Put("a.pdf", "a", 100);
  const Status status = Pass(sport);
  EXPECT_NE(status.message().find("is not a folder of ours"), std::string::npos)
      << status.message();
  EXPECT_TRUE(fs::exists(Remote("a.pdf")));
  EXPECT_EQ(server->Count("RETR a.pdf"), 0);

  // Swapped for a link while a file is fetched: the fetch stays in the folder
  // that was opened, and nothing reaches where the link points.
  fs::remove(temp + "/Sport");
  static std::string swap;  // the folder to swap, for the plain-function hook
  swap = temp + "/Sport";
  stages.keep = {"Sport"};
  const WriteHook before = SetWriteHook([](WriteSite site, WriteKind kind, std::string_view) {
    if (site != WriteSite::kFtp || kind != WriteKind::kWrite || swap.empty()) return;
    fs::rename(swap, swap + ".moved");
    fs::create_symlink(fs::path(swap).parent_path().parent_path() / "out", swap);
    swap.clear();
  });
  const Status swapped = Pass(sport);
  SetWriteHook(before);
  EXPECT_TRUE(swapped.ok()) << swapped.message();
  EXPECT_TRUE(swap.empty());  // the swap was made
  EXPECT_EQ(ReadFile(temp + "/Sport.moved/a.pdf"), "a");
  EXPECT_EQ(DeliveredNames(), std::vector<std::string>{"b.pdf"});  // News's, from before
}

TEST_F(FtpPass, AnOutageIsReportedOnceWhenItBeginsAndOnceWhenItEnds) {
  Serve();
  const int slot = AddFtpQueue();
  const int port = server->port();
  struct Step {
    bool serverUp;
    std::vector<std::string> rowsAfter;  // "status comment" of every row so far
  };
  const std::vector<std::string> lost = {"2 FTP connection lost"};
  const std::vector<std::string> both = {"2 FTP connection lost", "1 FTP connection back"};
  const Step steps[] = {{true, {}}, {false, lost}, {false, lost}, {true, both}, {true, both}};
  for (const Step& step : steps) {
    if (step.serverUp && !server->Running()) {
      FtpTestServer::Options again;
      again.port = port;
      Serve(again);
    } else if (!step.serverUp) {
      server->Stop();
    }
    ASSERT_TRUE(Pass(slot).ok());
    std::vector<std::string> seen;
    for (const VisualLogEntry& row : rows) {
      EXPECT_TRUE(row.problem);
      EXPECT_EQ(row.queue, "Sport");
      seen.push_back(std::to_string(row.status) + " " + row.comment);
    }
    EXPECT_EQ(seen, step.rowsAfter);
  }
}

TEST_F(FtpPass, AnOwedDeletionSurvivesARestartAndDeletesOnlyTheFileFetched) {
  const std::string journal = folders.root / "Zentrafold.ftpowed";
  const std::string faults = served.path() / "faults.json";
  enum class Then { kRestart, kReplaceSameSizeAndTime, kRewriteSameDay };
  struct Case {
    bool listOnly;
    Then then;
    int retrievals;  // after the second pass
    std::string delivered;
  };
  const Case cases[] = {
      // Delivered already: after a restart only the deletion is left.
      {false, Then::kRestart, 1, "v1"},
      {true, Then::kRestart, 1, "v1"},
      // Another file under the name, which the listing alone cannot tell
      // apart: its "unique" fact, or its exact MDTM time, does.
      {false, Then::kReplaceSameSizeAndTime, 2, "v2"},
      {true, Then::kRewriteSameDay, 2, "v2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.listOnly) + " " + std::to_string(static_cast<int>(c.then)));
    fs::remove(journal);
    FtpStages stages1(host.settings);
    ASSERT_TRUE(stages1.UseJournal(journal).ok());
    Trenamethread first{EngineServices{host, files, clock, &stages, &stages1, &visualLog}, control};
    // The connection goes just as the server's copy was to be deleted.
    WriteFile(faults, R"([{"cmd": "DELE", "action": "reply", "code": 421, "times": 1}])");
    FtpTestServer::Options o;
    o.listOnly = c.listOnly;
    o.faults = faults;
    Serve(o);
    const int slot = AddFtpQueue();
    Put("a.pdf", "v1", 100);
    ASSERT_TRUE(first.ProcessQueue(slot).ok());
    ASSERT_EQ(ReadFile(Delivered("a.pdf")), "v1");
    ASSERT_TRUE(fs::exists(Remote("a.pdf")));

    FtpStages stages2(host.settings);
    ASSERT_TRUE(stages2.UseJournal(journal).ok());
    FtpStages& second = c.then == Then::kRestart ? stages2 : stages1;
    if (c.then == Then::kReplaceSameSizeAndTime) {
      // A new file (another inode) with the old one's size and time.
      Put("a.tmp", "v2", 100);
      fs::rename(Remote("a.tmp"), Remote("a.pdf"));
    } else if (c.then == Then::kRewriteSameDay) {
      Put("a.pdf", "v2", 110);  // LIST shows the day of a file that old
    }
    Trenamethread later{EngineServices{host, files, clock, &stages, &second, &visualLog}, control};
    ASSERT_TRUE(later.ProcessQueue(slot).ok());
    EXPECT_EQ(server->Count("RETR a.pdf"), c.retrievals);
    EXPECT_EQ(ReadFile(Delivered("a.pdf")), c.delivered);
    EXPECT_FALSE(fs::exists(Remote("a.pdf")));
    ASSERT_TRUE(host.table.Delete(slot).ok());
    fs::remove(Delivered("a.pdf"));
  }
}

// With ready markers a file is fetched once stable and marked in the same
// listing; its marker goes after it on the server, a lone one stays.
TEST_F(FtpPass, AFileIsFetchedOnlyWithItsMarkerWhichIsDeletedAfterIt) {
  struct Case {
    std::string file;
    int filePass;    // the pass before which it is put on the server; 0 never
    int markerPass;  // the same for its marker
    bool delivered;  // after the second pass
    bool markerKept;
  };
  const Case cases[] = {
      {"early.pdf", 2, 1, true, false},      // the marker before its file
      {"late.pdf", 1, 2, true, false},       // the file waits for its marker
      {"unmarked.pdf", 1, 0, false, false},  // never fetched
      {"lone.pdf", 0, 1, false, true},       // the marker stays on the server
      {"refused.pdf", 1, 1, true, true},     // its marker may not be deleted
  };
  FtpTestServer::Options o;
  o.refuseDele = {"refused.pdf.done"};
  Serve(o);
  const int slot = AddFtpQueue([](QueueRecord& r) {
    r.Searchmask = "*.pdf";  // hides the markers from discovery
    r.Readyfile = "{name}.done";
  });
  QueueStatusBoard board;
  Trenamethread watched{EngineServices{host, files, clock, &stages, &ftp, &visualLog, &board},
                        control};
  // A lone marker is shown once it stood alone for a pass.
  const std::string waiting[] = {"2 without ready marker",
                                 "1 without ready marker; marker lone.pdf.done without its file"};
  for (int pass = 1; pass <= 2; ++pass) {
    for (const Case& c : cases) {
      if (c.filePass == pass) Put(c.file, c.file, 100);
      if (c.markerPass == pass) Put(c.file + ".done", "", 100);
    }
    ASSERT_TRUE(watched.ProcessQueue(slot).ok());
    EXPECT_EQ(board.Snapshot(host.table, clock.Now()).at(slot - 1).waitingReason,
              waiting[pass - 1]);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(fs::exists(Delivered(c.file)), c.delivered);
    EXPECT_EQ(fs::exists(Remote(c.file)), c.filePass != 0 && !c.delivered);
    EXPECT_EQ(fs::exists(Remote(c.file + ".done")), c.markerKept);
  }
  EXPECT_EQ(stages.passes[0], std::vector<std::string>{"refused.pdf"});
  EXPECT_EQ(DeliveredNames(), (std::vector<std::string>{"early.pdf", "late.pdf", "refused.pdf"}));
  EXPECT_TRUE(LocalNames().empty());
  // Reported once, tried again in the later listings.
  EXPECT_EQ(Problems(), std::vector<std::string>{
                            "refused.pdf.done: Cannot delete on the server: 550 This file may "
                            "not be deleted."});
  EXPECT_GE(server->Count("DELE refused.pdf.done"), 2);
}

TEST_F(FtpPass, DiscoveryTakesAtMost999Files) {
  for (int i = 0; i < 1001; ++i) WriteFile(Remote("f" + std::to_string(i)), "");
  fs::create_directory(served.path() / "in" / "d");  // not counted
  for (const char* name : {"w1", "w2", "w3"}) WriteFile(Local(name), "waiting");
  Serve();
  const int slot = AddFtpQueue();
  const RecordPtr queue = host.table.Record(slot);
  ASSERT_TRUE(ftp.PrepareFtp(engine, queue));
  PassContext pass;
  pass.slot = slot;
  pass.uid = queue->uid;
  pass.queue = queue;
  pass.inputFolder = Local("");
  ASSERT_TRUE(ftp.ListRemote(engine, pass).ok());
  EXPECT_EQ(pass.files.count(), FileTable::kUsable);
  // The files waiting in the temp folder count, and come first.
  for (int k = 1; k <= pass.files.count(); ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(pass.files.at(k).waiting, k <= 3);
    EXPECT_FALSE(pass.files.at(k).ready);
    EXPECT_EQ(pass.files.at(k).filesize, k <= 3 ? 7 : 0);
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
  EXPECT_EQ(DeliveredNames(), (std::vector<std::string>{"1.bin", "2.bin"}));
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
