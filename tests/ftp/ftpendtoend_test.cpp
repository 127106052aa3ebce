// FTP queues in a running worker with the program's own naming and delivery:
// files are fetched from a real server on loopback, renamed through the real
// expression library, delivered and logged.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/datetimepattern.h"
#include "deliverytestkit.h"
#include "engine/renamethread.h"
#include "engine/standardstages.h"
#include "enginetestkit.h"
#include "ftp/ftpleftovers.h"
#include "ftp/ftpstages.h"
#include "ftp/ftptest.h"
#include "ftptestserver.h"
#include "immutable.h"
#include "platform/tempfile.h"
#include "recordedvisuallog.h"
#include "secureservers.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

constexpr const char* kPassword = "s3cret-Passw0rd";

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename());
  return names;
}

class EndToEnd : public testing::Test {
 protected:
  EndToEnd() {
    host.settings.switchedOn = true;
    host.keepEvents = false;
    fs::create_directory(served.path() / "in");
    fs::create_directory(temp);
    fs::create_directory(logFolder);
    MakeFtpSessions(host.table, FtpLimits{5, 5, true});
    test::FtpTestServer::Options o;
    o.root = served.path().string();
    o.password = kPassword;
    server = std::make_unique<test::FtpTestServer>(o);
  }
  ~EndToEnd() override { Stop(); }

  int AddFtpQueue(const std::string& name, const std::string& password) {
    return test::AddQueue(host.table, name, folders, [&](QueueRecord& q) {
      q.Inputfolder.clear();
      q.FTPuse = true;
      q.FTPhost = "127.0.0.1";
      q.FTPPort = server->port();
      q.FTPuser = "zf";
      q.FTPpasw = password;
      q.FTPpath = "in";
      q.FTPTemppath = temp;
      q.Makelog = true;
      q.Logfile = logFolder;
      q.logtype = 0;
      q.Maxentries = 10000;
      q.NRegularexpr = 1;
      q.rule(1) = Rule{R"(SPO_(\d+)\.pdf)", "Sport_$1.pdf", false, ""};
    });
  }
  void Start() {
    control = Trenamethread::Start(EngineServices{host, access, clock, &stages, &ftp});
  }
  // Waits until `done` holds or a minute has passed.
  bool WaitFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  void Stop() {
    if (!control) return;
    control->stop = true;
    WaitFor([&] { return control->finished.load(); });
    control.reset();
  }
  std::vector<VisualLogEntry> Rows() const { return recorded.Rows(); }

  test::RecordingHost host;
  test::FakeClock clock;
  SystemFileAccess access;
  test::QueueFolders folders;
  test::TempDir served;
  std::string temp = folders.root / "fetched";
  std::string logFolder = folders.root / "log";
  std::unique_ptr<test::FtpTestServer> server;
  test::RecordedVisualLog recorded{clock};
  VisualLog& visualLog = recorded.log();
  LogFileWriter writer{host.table, clock, "dd.mm.yyyy hh:nn:ss:zzz"};
  StandardStages stages{test::RealLibrary(), visualLog, writer, clock};
  FtpStages ftp{host.settings};
  std::shared_ptr<EngineControl> control;
};

TEST_F(EndToEnd, FetchedFilesAreRenamedDeliveredAndLogged) {
  ASSERT_TRUE(test::RealLibrary().Has(EntryPoint::kFormatExpression));
  const std::string in = (served.path() / "in").string();
  WriteFile(in + "/SPO_1.pdf", "one");
  WriteFile(in + "/SPO_2.pdf", "two");
  WriteFile(in + "/X_3.pdf", "unknown");
  fs::create_directory(in + "/SPO_4.pdf");  // a folder: never fetched
  // Written decomposed (U + combining diaeresis), as Mac clients do; the
  // rule is typed composed. Fetched and deleted under its real name.
  const std::string nfd =
      "SPO_U\xCC\x88"
      "5.pdf";
  WriteFile(in + "/" + nfd, "five");
  AddFtpQueue("Sport", kPassword);
  host.table.Update(1, [](QueueRecord& q) {
    q.Normalize = true;
    q.NRegularexpr = 2;
    q.rule(2) = Rule{"SPO_\xC3\x9C(\\d+)\\.pdf", "Sport_\xC3\x9C$1.pdf", false, ""};
  });
  // A second queue on the same server with a wrong password: skipped
  // silently in every cycle, its password shown nowhere.
  AddFtpQueue("Wrong", "not-the-password");
  Start();
  ASSERT_TRUE(WaitFor([&] { return Names(folders.out).size() == 3 && Rows().size() == 4; }));
  Stop();

  EXPECT_EQ(Names(folders.out), (std::set<std::string>{"Sport_1.pdf", "Sport_2.pdf",
                                                       "Sport_\xC3\x9C"
                                                       "5.pdf"}));
  EXPECT_EQ(ReadFile(folders.out + "/Sport_1.pdf"), "one");
  EXPECT_EQ(ReadFile(folders.out + "/Sport_2.pdf"), "two");
  EXPECT_EQ(Names(folders.err), std::set<std::string>{"X_3.pdf"});
  // Nothing left behind: not on the server, not in the temp folder.
  EXPECT_EQ(Names(in), std::set<std::string>{"SPO_4.pdf"});
  EXPECT_TRUE(Names(temp + "/Sport").empty());
  EXPECT_TRUE(ListFtpLeftovers(host.table.Get(1))->empty());

  const std::vector<VisualLogEntry> logged = Rows();
  ASSERT_EQ(logged.size(), 4u);
  std::set<std::string> inputs;
  for (const VisualLogEntry& row : logged) inputs.insert(row.inputName);
  EXPECT_EQ(inputs, (std::set<std::string>{"SPO_1.pdf", "SPO_2.pdf", "X_3.pdf", nfd}));
  const std::string csv = ReadFile(logFolder + "/Sport.log");
  EXPECT_NE(csv.find("Sport_1.pdf"), std::string::npos);
  EXPECT_NE(csv.find("Sport_2.pdf"), std::string::npos);
  EXPECT_NE(csv.find("X_3.pdf"), std::string::npos);
  EXPECT_FALSE(fs::exists(logFolder + "/Wrong.log"));

  // The password appears in no log of ours.
  for (const std::string& name : Names(logFolder)) {
    const std::string text = ReadFile(logFolder + "/" + name);
    EXPECT_EQ(text.find(kPassword), std::string::npos) << name;
    EXPECT_EQ(text.find("not-the-password"), std::string::npos) << name;
  }
  for (const VisualLogEntry& row : logged) {
    EXPECT_EQ(row.comment.find(kPassword), std::string::npos);
  }
  // Each file was fetched once; the folder never.
  EXPECT_EQ(server->Count("RETR"), 4);
  EXPECT_EQ(server->Count("RETR SPO_4.pdf"), 0);
  EXPECT_EQ(server->Count("DELE"), 4);
}

TEST_F(EndToEnd, AFileFetchedButNotDeliveredIsListedAsLeftOver) {
  const std::string in = (served.path() / "in").string();
  WriteFile(in + "/SPO_7.pdf", "seven");
  // The output name is taken by a folder: the copy fails, and the fetched
  // file, no longer on the server, waits in the temp folder for the passes
  // to come.
  fs::create_directory(folders.out + "/Sport_7.pdf");
  const int slot = AddFtpQueue("Sport", kPassword);
  Start();
  ASSERT_TRUE(WaitFor([&] { return !Rows().empty(); }));
  Stop();

  EXPECT_EQ(Rows().front().status, 2);
  EXPECT_FALSE(fs::exists(in + "/SPO_7.pdf"));
  EXPECT_EQ(ReadFile(temp + "/Sport/SPO_7.pdf"), "seven");
  const auto leftovers = ListFtpLeftovers(host.table.Get(slot));
  ASSERT_TRUE(leftovers.ok());
  ASSERT_EQ(leftovers->size(), 1u);
  EXPECT_EQ(leftovers->front().name, "SPO_7.pdf");
  EXPECT_EQ(leftovers->front().size, 5);
}

TEST_F(EndToEnd, AFileWaitingInTheTempFolderIsDeliveredByTheNextPass) {
  // Fetched and deleted on the server by an earlier run that ended before
  // delivering it; beside it, a fetch that run broke off.
  fs::create_directory(temp + "/Sport");
  WriteFile(temp + "/Sport/SPO_8.pdf", "eight");
  const std::string partial = MakeTempName("SPO_9.pdf");
  WriteFile(temp + "/Sport/" + partial, "nin");
  AddFtpQueue("Sport", kPassword);
  Start();
  ASSERT_TRUE(WaitFor([&] { return Names(folders.out).size() == 1; }));
  // A few passes more: the partial fetch is never taken.
  const int listed = server->Count("MLSD");
  ASSERT_TRUE(WaitFor([&] { return server->Count("MLSD") >= listed + 3; }));
  Stop();

  EXPECT_EQ(Names(folders.out), std::set<std::string>{"Sport_8.pdf"});
  EXPECT_EQ(ReadFile(folders.out + "/Sport_8.pdf"), "eight");
  EXPECT_TRUE(Names(folders.err).empty());
  EXPECT_EQ(Names(temp + "/Sport"), std::set<std::string>{partial});
  EXPECT_EQ(server->Count("RETR"), 0);
  ASSERT_EQ(Rows().size(), 1u);
  EXPECT_EQ(Rows().front().inputName, "SPO_8.pdf");
  EXPECT_EQ(Rows().front().status, 1);
}

TEST_F(EndToEnd, TlsAndSftpQueuesTakeFilesOnlyFromServersWithTheirKey) {
  // One queue per case in one run, each with a folder and a file of its own.
  test::TempDir remote, config;
  ftp.SetConfigFolder(config.path().string());
  test::TlsFtpServer explicitTls(remote.path().string(), false);
  test::TlsFtpServer implicitTls(remote.path().string(), true);
  test::SftpServer sftp(kPassword);
  test::SftpServer crashing;  // killed while it serves a fetch, then back
  WriteFile(config.path() / "known_hosts", sftp.knownHostsLine() + "\n");
  const std::string wrongPin = "sha256//" + std::string(43, 'A') + "=";
  const std::string key = sftp.userKey(), phrase = test::SftpServer::kKeyPassphrase;
  struct Case {
    std::int32_t protocol;
    int port;
    std::string user, password, fingerprint, keyfile, knownhosts;
    const char* refusal;  // nullptr: delivered
  };
  const Case cases[] = {
      {kFtpExplicitTls, explicitTls.port(), "anonymous", "", explicitTls.pin(), "", "", nullptr},
      {kFtpImplicitTls, implicitTls.port(), "anonymous", "", implicitTls.pin(), "", "", nullptr},
      {kFtpSftp, sftp.port(), "root", phrase, sftp.fingerprint(), key, "", nullptr},
      {kFtpSftp, sftp.port(), "root", phrase, "", key, "known_hosts", nullptr},
      {kFtpExplicitTls, explicitTls.port(), "anonymous", "", wrongPin, "", "", kFtpKeyMismatch},
      {kFtpImplicitTls, implicitTls.port(), "anonymous", "", "", "", "", "could not be verified"},
      {kFtpSftp, sftp.port(), "root", phrase, "SHA256:" + std::string(43, 'B'), key, "",
       kFtpKeyMismatch},
      {kFtpSftp, sftp.port(), "root", phrase, "", key, "missing", "key is not known"},
      {kFtpExplicitTls, server->port(), "zf", kPassword, "", "", "", "does not offer TLS"},
      {kFtpSftp, sftp.port(), "root", kPassword, sftp.fingerprint(), "", "", nullptr},
      // Undeletable on the server: left there, and this run's copy with it.
      {kFtpSftp, sftp.port(), "root", phrase, sftp.fingerprint(), key, "", "Cannot delete"},
      // Its server killed in the middle of a large fetch: no reason of
      // its own here, the file comes once the server is back.
      {kFtpSftp, crashing.port(), "root", phrase, crashing.fingerprint(), crashing.userKey(), "",
       nullptr},
  };
  constexpr int kCrash = 11;
  const std::string large(64 << 20, 'L');
  std::unique_ptr<test::Immutable> undeletable;
  for (int n = 0; n < static_cast<int>(std::size(cases)); ++n) {
    const Case& c = cases[n];
    const std::string name = "SPO_" + std::to_string(n) + ".pdf", folder = "q" + std::to_string(n);
    const fs::path in = (c.port == server->port() ? served.path() / "in" : remote.path() / folder);
    fs::create_directories(in);
    ::chmod(in.c_str(), 0777);
    WriteFile(in / name, n == kCrash ? large : name);
    ::chmod((in / name).c_str(), 0666);
    if (n == 10) {
      undeletable = std::make_unique<test::Immutable>((in / name).string());
      ASSERT_TRUE(undeletable->ok()) << "chattr +i";
    }
    host.table.Update(AddFtpQueue(folder, c.password), [&](QueueRecord& q) {
      q.FTPprotocol = c.protocol;
      q.FTPPort = c.port;
      q.FTPuser = c.user;
      q.FTPpath = c.protocol == kFtpSftp ? in.string() : folder;
      if (c.port == server->port()) q.FTPpath = "in";
      q.FTPfingerprint = c.fingerprint;
      q.FTPkeyfile = c.keyfile;
      q.FTPknownhosts = c.knownhosts;
    });
  }
  // With the visual log, where a refused connection is told.
  control = Trenamethread::Start(EngineServices{host, access, clock, &stages, &ftp, &visualLog});
  const auto refusals = [&](const std::string& queue) {
    std::vector<std::string> reasons;
    for (const VisualLogEntry& row : Rows()) {
      if (row.queue != queue) continue;
      if (row.comment == "FTP connection lost") reasons.push_back(row.reason);
      if (row.comment == "Cannot delete on the server" || row.comment == "Cannot fetch") {
        reasons.push_back(row.comment);
      }
    }
    return reasons;
  };
  // The large fetch under way, its server dies; the passes without it
  // show nothing of the file in the output and leave the server's copy.
  const std::string crashIn = (remote.path() / "q11" / "SPO_11.pdf").string();
  ASSERT_TRUE(WaitFor([&] {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(temp + "/q11", ec)) {
      if (IsTempName(e.path().filename().string()) && e.file_size(ec) >= (1 << 20)) return true;
    }
    return false;
  }));
  crashing.Kill();
  // Two passes more without it (q8 connects to the plain server in each).
  ASSERT_TRUE(WaitFor([&] { return refusals("q11").size() >= 2; }));
  const int connects = server->Count("CONNECT");
  ASSERT_TRUE(WaitFor([&] { return server->Count("CONNECT") >= connects + 2; }));
  EXPECT_FALSE(fs::exists(folders.out + "/Sport_11.pdf"));
  EXPECT_EQ(fs::file_size(crashIn), large.size());
  crashing.Restart();
  ASSERT_TRUE(WaitFor([&] {
    return Names(folders.out).size() == 6 && !refusals("q8").empty() && !refusals("q10").empty();
  }));
  Stop();
  for (int n = 0; n < static_cast<int>(std::size(cases)); ++n) {
    SCOPED_TRACE(n);
    const char* refusal = cases[n].refusal;
    EXPECT_EQ(fs::exists(folders.out + "/Sport_" + std::to_string(n) + ".pdf"), !refusal);
    const std::vector<std::string> reasons = refusals("q" + std::to_string(n));
    if (n == kCrash) {
      // The fetch cut off and the connection lost: each told once.
      ASSERT_EQ(reasons.size(), 2u);
      EXPECT_EQ(reasons[0], "Cannot fetch");
      continue;
    }
    ASSERT_EQ(reasons.size(), refusal ? 1u : 0u);  // once, however many passes
    if (refusal) {
      EXPECT_NE(reasons[0].find(refusal), std::string::npos) << reasons[0];
    }
  }
  EXPECT_EQ(ReadFile(folders.out + "/Sport_11.pdf"), large);
  EXPECT_FALSE(fs::exists(crashIn));
  EXPECT_EQ(server->Count("PASS"), 0);  // never a clear-text log-in
  // The queue dialog's test names another key as such, never a dead server.
  EXPECT_EQ(RunFtpTest(host.table.Get(7), 5000, {}, config.path().string()).message,
            "The server's key does not match the one stored for this queue");
}

}  // namespace
}  // namespace zf
