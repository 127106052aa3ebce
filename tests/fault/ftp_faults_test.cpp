// FTP intake under a misbehaving server (tests/ftp/ftpserver.py with fault
// rules) and a worker killed in the middle of a fetch. Whatever the fault, no
// partial file is ever published, the server's copy goes only after ours is
// whole, the fault is reported, the other files and queues still come, and
// the file arrives whole once the fault is gone.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/datetimepattern.h"
#include "deliverytestkit.h"
#include "engine/standardstages.h"
#include "enginetestkit.h"
#include "faultkit.h"
#include "ftp/ftpstages.h"
#include "ftptestserver.h"
#include "invariants.h"
#include "platform/tempfile.h"
#include "recordedvisuallog.h"
#include "secureservers.h"

namespace zf::fault {
namespace {

namespace fs = std::filesystem;
using test::WriteFile;

constexpr const char* kPassword = "fault-Passw0rd";
constexpr std::size_t kVictimSize = (256 << 10) + 17;

// Two FTP queues on one real server: "Faulty" meets the fault, "Other" (its
// own folder, client and temp folder) must not notice it. With `tls` the
// server requires explicit TLS and the queues pin its key.
struct FtpRig {
  explicit FtpRig(bool tls = false) {
    for (const std::string& f : {served + "/in", served + "/in2", temp, temp2, out, err, logs}) {
      fs::create_directories(f);
    }
    host.settings.switchedOn = true;
    host.settings.ftpTimeout = 1500;  // FTPtimeout: the stall limit too
    host.keepEvents = false;
    MakeFtpSessions(host.table, FtpLimits{5, 5, true});
    SetFaults("[]");
    test::FtpTestServer::Options o;
    o.root = served;
    o.password = kPassword;
    o.faults = faults;
    if (tls) {
      const std::string d = root.path().string();
      test::Shell("cd " + d + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 " +
                  "-nodes -keyout key.pem -out cert.pem -days 2 -subj /CN=127.0.0.1 2>/dev/null " +
                  "&& cat cert.pem key.pem > tls.pem");
      pin = "sha256//" + test::Shell("openssl pkey -in " + d + "/key.pem -pubout -outform der | " +
                                     "openssl dgst -sha256 -binary | base64");
      o.certfile = d + "/tls.pem";
    }
    server = std::make_unique<test::FtpTestServer>(o);
    places.outputs = {out};
    places.errors = {err};
    places.ftpServer = {served};
    // Each queue fetches into a folder of its own, named after it.
    places.ftpTemp = {temp + "/Faulty", temp2 + "/Other"};
    for (const std::string& f : places.ftpTemp) fs::create_directories(f);
    (void)ftp.UseJournal(journal);
    places.logFolders = {logs};
  }

  int AddFtpQueue(const std::string& name, const std::string& folder, const std::string& fetched,
                  bool passive = false) {
    test::QueueFolders unused;
    return test::AddQueue(host.table, name, unused, [&](QueueRecord& q) {
      q.Inputfolder.clear();
      q.Outputfolder = out;
      q.Errorfolder = err;
      q.FTPuse = true;
      q.FTPhost = "127.0.0.1";
      q.FTPPort = server->port();
      q.FTPuser = "zf";
      q.FTPpasw = kPassword;
      q.FTPpath = folder;
      q.FTPTemppath = fetched;
      q.FTPpassive = passive;
      if (!pin.empty()) {
        q.FTPprotocol = kFtpExplicitTls;
        q.FTPfingerprint = pin;
      }
      q.Makelog = true;
      q.Logfile = logs;
      q.Maxentries = 100000;
      q.NRegularexpr = 1;
      q.rule(1) = Rule{R"((.*))", "$1", false, ""};
    });
  }
  // The rules the server reads at its next command, put in place in one step.
  void SetFaults(const std::string& json) { DropFile(root.path().string(), "faults.json", json); }
  void Serve(const std::string& folder, const std::string& name, const std::string& content,
             long long age = 0) {
    const std::string path = served + "/" + folder + "/" + name;
    WriteFile(path, content);
    ledger.Add(name, content);
    if (age > 0) test::SetTimes(path, 1'700'000'000 - age, 1'700'000'000 - age);
  }

  EngineServices Services(EngineStages* s, FtpIntake* f) {
    return EngineServices{host, access, clock, s, f, &visualLog};
  }
  Status Pass() {
    if (!engine) {
      engine = std::make_unique<Trenamethread>(Services(&stages, &ftp),
                                               std::make_shared<EngineControl>());
      stages.PrepareThread();
    }
    return engine->ScanQueues();
  }
  // A new start of the program: its clean-up, fresh stages (nothing
  // remembered of this run) and one pass.
  Status Restart() {
    StandardStages freshStages(test::RealLibrary(), visualLog, writer, clock);
    FtpStages freshFtp(host.settings);
    (void)freshFtp.UseJournal(journal);  // what is owed the server is remembered
    return RestartAndOnePass(Services(&freshStages, &freshFtp));
  }
  std::vector<VisualLogEntry> Rows() const { return recorded.Rows(); }
  bool Told(const std::string& queue) {
    for (const VisualLogEntry& row : Rows()) {
      if (row.queue == queue && row.status == 2) return true;
    }
    return false;
  }

  test::TempDir root;
  std::string served = root / "served";
  std::string temp = root / "fetched";
  std::string temp2 = root / "fetched2";
  std::string out = root / "out";
  std::string err = root / "err";
  std::string logs = root / "log";
  std::string faults = root / "faults.json";
  std::string journal = root / "Zentrafold.ftpowed";
  std::string pin;  // the server's key, over TLS
  test::RecordingHost host;
  test::FakeClock clock;
  SystemFileAccess access;
  test::RecordedVisualLog recorded{clock};
  VisualLog& visualLog = recorded.log();
  LogFileWriter writer{host.table, clock, "dd.mm.yyyy hh:nn:ss:zzz"};
  StandardStages stages{test::RealLibrary(), visualLog, writer, clock};
  FtpStages ftp{host.settings};
  std::unique_ptr<test::FtpTestServer> server;
  std::unique_ptr<Trenamethread> engine;
  Places places;
  Ledger ledger;
};

std::string VictimContent() {
  std::string content(kVictimSize, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i * 7 % 26);
  return content;
}

struct FaultCase {
  const char* label;
  // The JSON rule: for victim.dat, or (listing rules) for the first listing
  // of the pass, which is the faulty queue's.
  std::string rule;
  bool passive = false;
  // A fault that may still hand over the whole file (all bytes came, only
  // the end of the conversation went wrong): it may then be delivered.
  bool mayDeliver = false;
  // The server keeps a file it refused to delete alone for the rest of the
  // run; the next start takes it.
  bool onlyAfterRestart = false;
  // 450 to a listing is how many servers say "no files": the folder counts
  // as empty for this pass, which is no fault to report.
  bool reported = true;
  // The connection goes at the deletion: the file is delivered, and its
  // deletion owed to the server, across the restart too.
  bool deletionOwed = false;
};

std::string Retr(const std::string& action) {
  return R"({"cmd": "RETR", "name": "victim.dat", )" + action + "}";
}

std::vector<FaultCase> FaultCases() {
  const std::string size = std::to_string(kVictimSize);
  const std::string sizeLess1 = std::to_string(kVictimSize - 1);
  const std::vector<FaultCase> cases = {
      {"data connection cut before any byte", Retr(R"("action": "cut", "after": 0)")},
      {"data connection cut after 1 byte", Retr(R"("action": "cut", "after": 1)")},
      {"data connection cut after 64 KiB", Retr(R"("action": "cut", "after": 65536)")},
      {"data connection cut one byte short", Retr(R"("action": "cut", "after": )" + sizeLess1)},
      {"a short transfer reported with 226",
       Retr(R"("action": "cut", "after": 65536, "then": "226")")},
      {"one byte short reported with 226",
       Retr(R"("action": "cut", "after": )" + sizeLess1 + R"(, "then": "226")")},
      {"control connection dropped mid-transfer",
       Retr(R"("action": "cut", "after": 65536, "then": "drop")")},
      {"control connection dropped before 226",
       Retr(R"("action": "cut", "after": )" + size + R"(, "then": "drop")"), false, true},
      {"RETR answered 421", Retr(R"("action": "reply", "code": 421)")},
      {"RETR answered 425", Retr(R"("action": "reply", "code": 425)")},
      {"RETR answered 426", Retr(R"("action": "reply", "code": 426)")},
      {"RETR answered 450", Retr(R"("action": "reply", "code": 450)")},
      {"RETR answered 550", Retr(R"("action": "reply", "code": 550)")},
      {"listing answered 425",
       R"({"cmd": ["MLSD", "LIST"], "times": 1, "action": "reply", "code": 425})"},
      {"listing answered 450",
       R"({"cmd": ["MLSD", "LIST"], "times": 1, "action": "reply", "code": 450})", false, false,
       false, false},
      {"listing answered 421",
       R"({"cmd": ["MLSD", "LIST"], "times": 1, "action": "reply", "code": 421})"},
      {"passive mode refused", R"({"cmd": ["PASV", "EPSV"], "action": "reply", "code": 425})",
       true},
      {"DELE refused", R"({"cmd": "DELE", "name": "victim.dat", "action": "reply", "code": 550})",
       false, false, true},
      {"a stall longer than the time-out",
       Retr(R"("action": "stall", "after": 65536, "seconds": 6)")},
      // The client measures speed over the last five seconds: after a burst
      // of 64 KiB it may take up to five seconds more than the time-out to
      // give up, longer than the stall above. Without a burst the time-out
      // alone counts, which makes this row's outcome certain over TLS too,
      // where the data connection's handshake delays the burst.
      {"a stall before the first byte", Retr(R"("action": "stall", "after": 0, "seconds": 6)")},
      {"DELE answered 421, then a restart",
       R"({"cmd": "DELE", "name": "victim.dat", "action": "reply", "code": 421})", false, true,
       false, false, true},
  };
  return cases;
}

// The faults that any protocol may meet, over TLS too: what a lost
// connection does to an encrypted transfer differs from a clear one.
bool AlsoOverTls(const FaultCase& c) {
  for (const char* label :
       {"data connection cut after 64 KiB", "a short transfer reported with 226", "DELE refused",
        "a stall before the first byte"}) {
    if (std::string(c.label) == label) return true;
  }
  return false;
}

class FtpFaults : public testing::TestWithParam<bool> {};

TEST_P(FtpFaults, EachFaultLosesNothingAndTheFileComesWholeOnceItIsGone) {
  const bool tls = GetParam();
  const std::string victim = VictimContent();
  for (const FaultCase& c : FaultCases()) {
    if (tls && !AlsoOverTls(c)) continue;
    SCOPED_TRACE(c.label);
    const auto started = std::chrono::steady_clock::now();
    FtpRig rig(tls);
    // The listed rules of a queue in the passive case are for that queue.
    rig.AddFtpQueue("Faulty", "in", rig.temp, c.passive);
    rig.AddFtpQueue("Other", "in2", rig.temp2);
    rig.Serve("in", "victim.dat", victim, /*age=*/100);
    rig.Serve("in", "later.dat", "a file after the victim");
    rig.Serve("in2", "other.dat", "the other queue's file");
    rig.SetFaults("[" + c.rule + "]");
    Observer observer(rig.ledger, rig.places, 1);
    observer.Start();

    // A listing refused ends the queue's pass with an error (reported);
    // the pass goes on with the next queue all the same.
    (void)rig.Pass();
    const std::string delivered = rig.out + "/victim.dat";
    if (!c.mayDeliver) {
      EXPECT_FALSE(fs::exists(delivered)) << "delivered despite the fault";
      EXPECT_TRUE(fs::exists(rig.served + "/in/victim.dat")) << "the server's copy went";
    }
    EXPECT_TRUE(fs::exists(rig.out + "/other.dat")) << "the other queue was held up";
    const bool laterCame = fs::exists(rig.out + "/later.dat");
    if (!c.mayDeliver && c.reported) {
      EXPECT_TRUE(rig.Told("Faulty")) << "the fault was not reported";
    }

    // The fault gone: the file comes whole, in this run or the next.
    rig.SetFaults("[]");
    for (int pass = 0; pass < 3 && !fs::exists(delivered) && !c.onlyAfterRestart; ++pass) {
      ASSERT_TRUE(rig.Pass().ok());
    }
    if (c.onlyAfterRestart) {
      EXPECT_FALSE(fs::exists(delivered));
      EXPECT_EQ(rig.server->Count("RETR victim.dat"), 1) << "fetched again although unchanged";
    }
    const Findings seen = observer.Stop();
    EXPECT_TRUE(seen.ok()) << seen.Text();
    const Status restarted = rig.Restart();
    if (!restarted.ok()) {
      for (const std::string& line : rig.server->Commands())
        std::printf("  server: %s\n", line.c_str());
    }
    ASSERT_TRUE(restarted.ok()) << restarted.message();
    EXPECT_EQ(HashFile(delivered), ContentHash(victim)) << "not delivered whole";
    EXPECT_EQ(HashFile(rig.out + "/later.dat"), ContentHash("a file after the victim"));
    EXPECT_FALSE(fs::exists(rig.served + "/in/victim.dat"));
    // Deleted on the server only once fetched whole: one DELE, after the
    // last RETR of it.
    const std::vector<std::string> commands = rig.server->Commands();
    int lastRetr = -1, dele = -1, deles = 0;
    for (int i = 0; i < static_cast<int>(commands.size()); ++i) {
      if (commands[i] == "RETR victim.dat") lastRetr = i;
      if (commands[i] == "DELE victim.dat") {
        dele = i;
        ++deles;
      }
    }
    EXPECT_GT(dele, lastRetr);
    EXPECT_EQ(deles, c.onlyAfterRestart || c.deletionOwed ? 2 : 1);
    // Delivered once only: a file whose deletion was owed is not fetched
    // again, before the restart or after it.
    if (c.deletionOwed) {
      EXPECT_EQ(rig.server->Count("RETR victim.dat"), 1);
    }
    const Findings findings = CheckAll(rig.ledger, rig.places);
    EXPECT_TRUE(findings.ok()) << findings.Text();
    std::printf("%-45s later file in the same pass: %-3s %.1f s\n", c.label,
                laterCame ? "yes" : "no",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  }
}

std::string ProtocolName(const testing::TestParamInfo<bool>& p) {
  return p.param ? "ExplicitTls" : "Plain";
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, FtpFaults, testing::Bool(), ProtocolName);

// True once a temporary fetch of at least `bytes` stands in `folder`.
bool FetchUnderWay(const std::string& folder, std::uintmax_t bytes) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    if (IsTempName(e.path().filename().string()) && e.file_size(ec) >= bytes) return true;
  }
  return false;
}

class FtpFaultsKill : public testing::TestWithParam<bool> {};

TEST_P(FtpFaultsKill, AWorkerKilledMidFetchLeavesTheServerCopy) {
  for (const bool goneAfterwards : {false, true}) {
    SCOPED_TRACE(goneAfterwards ? "the server's file gone afterwards" : "the server's file kept");
    FtpRig rig(GetParam());
    rig.AddFtpQueue("Faulty", "in", rig.temp);
    const std::string victim = VictimContent();
    rig.Serve("in", "victim.dat", victim);
    // The transfer halts half-way long enough to be killed there.
    rig.SetFaults("[" + Retr(R"("action": "stall", "after": 65536, "seconds": 30)") + "]");

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      (void)rig.Pass();
      ::_exit(0);
    }
    const bool underWay = WaitUntil([&] { return FetchUnderWay(rig.temp + "/Faulty", 65536); }, 30);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(underWay) << "the fetch never started";
    EXPECT_TRUE(WIFSIGNALED(status));
    // Killed: nothing under a final name, the server's copy untouched.
    EXPECT_FALSE(fs::exists(rig.temp + "/Faulty/victim.dat"));
    EXPECT_EQ(CountFiles(rig.out), 0);
    EXPECT_EQ(rig.server->Count("DELE"), 0);
    EXPECT_EQ(HashFile(rig.served + "/in/victim.dat"), ContentHash(victim));

    rig.SetFaults("[]");
    if (goneAfterwards) {
      fs::remove(rig.served + "/in/victim.dat");
      Ledger ledger;
      ledger.Add("victim.dat", victim, {}, /*mayVanish=*/true);
      rig.ledger = ledger;
    }
    ASSERT_TRUE(rig.Restart().ok());
    if (goneAfterwards) {
      EXPECT_EQ(CountFiles(rig.out), 0);
    } else {
      EXPECT_EQ(HashFile(rig.out + "/victim.dat"), ContentHash(victim));
    }
    const Findings findings = CheckAll(rig.ledger, rig.places);
    EXPECT_TRUE(findings.ok()) << findings.Text();
  }
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, FtpFaultsKill, testing::Bool(), ProtocolName);

}  // namespace
}  // namespace zf::fault
