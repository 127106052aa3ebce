// The headless service as an operator runs it: the built program on
// temporary folders, fed with real files, watched through its folders, its
// standard output and its log files. Every wait polls for the expected state
// with a deadline.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "config/queuefile.h"
#include "ftptestserver.h"
#include "platform/fileops.h"
#include "programrunner.h"
#include "serviceconfig.h"
#include "tempdir.h"
#include "testpdf.h"

namespace zf::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr auto kDeadline = 30s;

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t from = 0;
  for (std::size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1) {
    fields.push_back(line.substr(from, tab - from));
  }
  fields.push_back(line.substr(from));
  return fields;
}

// The output lines for `input` with `comment`, each checked for its form.
// Results of one file with the given comment; a reason after it counts too.
int CountResults(const std::vector<std::string>& lines, const std::string& input,
                 const std::string& output, const std::string& comment) {
  static const std::regex time(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)");
  int n = 0;
  for (const std::string& line : lines) {
    const std::vector<std::string> f = Fields(line);
    EXPECT_EQ(f.size(), 4u) << line;
    if (f.size() != 4) continue;
    EXPECT_TRUE(std::regex_match(f[0], time)) << line;
    // The log word, then ": " and the reason where there is one.
    const bool sameComment = f[3] == comment || f[3].rfind(comment + ": ", 0) == 0;
    if (f[1] == input && f[2] == output && sameComment) ++n;
  }
  return n;
}

std::set<std::string> FilesIn(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.insert(e.path().filename());
  return names;
}

std::string ReadIfThere(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec) ? ReadFile(path) : std::string();
}

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

bool SetImmutable(const std::string& path, bool on) {
  const std::string cmd =
      std::string("chattr ") + (on ? "+i" : "-i") + " '" + path + "' >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

class Service : public ::testing::Test {
 protected:
  std::string Folder(const std::string& name) {
    fs::create_directories(dir_.path() / name);
    return dir_ / name;
  }
  QueueRecord Queue(const std::string& name, const std::string& error, std::vector<Rule> rules) {
    QueueRecord q = MakeQueue(name, Folder(name + "/in"), Folder(name + "/out"), error, rules);
    q.Makelog = true;
    q.Logfile = Folder("log");
    return q;
  }
  std::string In(const std::string& queue) { return dir_ / (queue + "/in"); }
  std::string Out(const std::string& queue) { return dir_ / (queue + "/out"); }
  std::string Log(const std::string& file) { return dir_ / ("log/" + file); }
  std::string QueueFile() { return dir_ / QueueConfigFile::kFileName; }

  void Configure(const std::vector<QueueRecord>& queues,
                 const GeneralSettings& s = QuickSettings()) {
    WriteConfiguration(dir_.path().string(), queues, s);
  }
  std::unique_ptr<ProgramRun> Start(bool verbose = false) {
    std::vector<std::string> args{"--headless", "--config-dir", dir_.path().string()};
    if (verbose) args.push_back("--verbose");
    return std::make_unique<ProgramRun>(args);
  }
  static void Stop(ProgramRun& run, int signal = SIGTERM) {
    run.Signal(signal);
    const std::optional<int> status = run.WaitExit(kDeadline);
    ASSERT_TRUE(status.has_value()) << "the service did not stop";
    EXPECT_EQ(*status, 0) << run.Err();
  }

  TempDir dir_;
};

const Rule kPageRule{R"(Page(\d+)\.pdf)", "P$1_renamed.pdf", false, "$1"};

TEST_F(Service, RenamesAFileAndReportsItOnStandardOutputAndInBothLogFormats) {
  QueueRecord csv = Queue("Csv", "", {kPageRule});
  csv.newonstart = true;
  QueueRecord xml = Queue("Xml", "", {kPageRule});
  xml.logtype = 1;
  Configure({csv, xml});
  // Left from an earlier run: a log file to be renewed on start and the
  // temporary file of an interrupted copy.
  WriteFile(Log("Csv.log"), "Log created 01012024 0000\nold,entry\n");
  const std::string leftover = ".zf-0123456789abcdef-P01_renamed.pdf.part";
  ASSERT_TRUE(FileOperations::IsTempName(leftover));
  WriteFile(Out("Csv") + "/" + leftover, "half a copy");

  auto run = Start();
  ASSERT_TRUE(run->WaitForErr("serving 2 queue(s)", kDeadline)) << run->Err();
  WriteFile(In("Csv") + "/Page01.pdf", "first");
  WriteFile(In("Xml") + "/Page01.pdf", "second");
  ASSERT_TRUE(WaitUntil(
      [&] {
        return fs::exists(Out("Csv") + "/P01_renamed.pdf") &&
               fs::exists(Out("Xml") + "/P01_renamed.pdf");
      },
      kDeadline));
  ASSERT_TRUE(run->WaitForOut([](const auto& l) { return l.size() >= 2; }, kDeadline));
  EXPECT_EQ(CountResults(run->OutLines(), "Page01.pdf", "P01_renamed.pdf", "Renamed"), 2);
  EXPECT_EQ(ReadFile(Out("Csv") + "/P01_renamed.pdf"), "first");
  EXPECT_EQ(ReadFile(Out("Xml") + "/P01_renamed.pdf"), "second");
  EXPECT_THAT(FilesIn(In("Csv")), IsEmpty());
  EXPECT_THAT(FilesIn(In("Xml")), IsEmpty());
  EXPECT_THAT(FilesIn(Out("Csv")), ElementsAre("P01_renamed.pdf"));  // the leftover is gone

  // The comma-separated log started afresh; the old one was moved aside.
  ASSERT_TRUE(
      WaitUntil([&] { return CountOf(ReadIfThere(Log("Csv.log")), "\n") >= 2; }, kDeadline));
  const std::string csvLog = ReadFile(Log("Csv.log"));
  EXPECT_THAT(csvLog, Not(HasSubstr("old,entry")));
  EXPECT_THAT(csvLog, HasSubstr("\nPage01.pdf,P01_renamed.pdf,"));
  EXPECT_THAT(csvLog, HasSubstr(",OK,"));
  int archives = 0;
  for (const std::string& name : FilesIn(dir_ / "log")) {
    if (name.rfind("Csv_", 0) == 0) {
      ++archives;
      EXPECT_THAT(ReadFile(Log(name)), HasSubstr("old,entry"));
    }
  }
  EXPECT_EQ(archives, 1);
  ASSERT_TRUE(WaitUntil(
      [&] { return ReadIfThere(Log("Xml.xml")).find("Newname") != std::string::npos; }, kDeadline));
  const std::string xmlLog = ReadFile(Log("Xml.xml"));
  EXPECT_THAT(xmlLog, HasSubstr("<JMF"));
  EXPECT_THAT(xmlLog, HasSubstr("<Page01.pdf>"));
  EXPECT_THAT(xmlLog, HasSubstr("xmlns=\"P01_renamed.pdf\""));
  EXPECT_THAT(xmlLog, HasSubstr("status=\"OK\""));

  Stop(*run, SIGINT);
}

TEST_F(Service, TwoFilesGivenOneNameAreBothRenamedAndTheLaterOneStays) {
  Configure({Queue("Q", "", {Rule{R"((a|b)_(\d+)\.txt)", "same_$2.txt", false, ""}})});
  WriteFile(In("Q") + "/b_1.txt", "B");
  WriteFile(In("Q") + "/a_1.txt", "A");
  // Files are delivered oldest first.
  const auto now = fs::file_time_type::clock::now();
  fs::last_write_time(In("Q") + "/a_1.txt", now - 20s);
  fs::last_write_time(In("Q") + "/b_1.txt", now - 10s);

  auto run = Start();
  ASSERT_TRUE(run->WaitForOut([](const auto& l) { return l.size() >= 2; }, kDeadline));
  const auto lines = run->OutLines();
  EXPECT_EQ(CountResults(lines, "a_1.txt", "same_1.txt", "Renamed"), 1);
  EXPECT_EQ(CountResults(lines, "b_1.txt", "same_1.txt", "Renamed"), 1);
  EXPECT_EQ(Fields(lines[0])[1], "a_1.txt");
  EXPECT_THAT(FilesIn(Out("Q")), ElementsAre("same_1.txt"));
  EXPECT_EQ(ReadFile(Out("Q") + "/same_1.txt"), "B");
  EXPECT_THAT(FilesIn(In("Q")), IsEmpty());
  Stop(*run);
}

TEST_F(Service, UnresolvedFilesGoToTheErrorFolderOrAreRemoved) {
  Configure({Queue("WithError", Folder("errors"), {kPageRule}), Queue("NoError", "", {kPageRule})});
  WriteFile(In("WithError") + "/memo.doc", "kept");
  WriteFile(In("NoError") + "/memo.doc", "dropped");

  auto run = Start();
  ASSERT_TRUE(run->WaitForOut([](const auto& l) { return l.size() >= 2; }, kDeadline));
  EXPECT_EQ(CountResults(run->OutLines(), "memo.doc", "", "cannot rename"), 2);
  EXPECT_THAT(FilesIn(dir_ / "errors"), ElementsAre("memo.doc"));
  EXPECT_EQ(ReadFile(dir_ / "errors/memo.doc"), "kept");
  EXPECT_THAT(FilesIn(In("WithError")), IsEmpty());
  EXPECT_THAT(FilesIn(In("NoError")), IsEmpty());
  EXPECT_THAT(FilesIn(Out("WithError")), IsEmpty());
  EXPECT_THAT(FilesIn(Out("NoError")), IsEmpty());
  for (const char* log : {"WithError.log", "NoError.log"}) {
    ASSERT_TRUE(WaitUntil(
        [&] { return ReadIfThere(Log(log)).find("memo.doc") != std::string::npos; }, kDeadline));
    const std::string text = ReadFile(Log(log));
    EXPECT_THAT(text, HasSubstr("\nmemo.doc,,"));
    EXPECT_THAT(text, HasSubstr(",Error,cannot rename,"));
  }
  Stop(*run);
}

// A queue that cannot be served is said once on the standard error, naming
// the queue and the cause, and the queue after it is served all the same.
TEST_F(Service, AQueueThatCannotBeServedIsReportedOnceAndTheNextIsServed) {
  QueueRecord bad = Queue("Bad", "", {kPageRule});
  bad.ignoremask = "*.tmp;[abc";
  Configure({bad, Queue("Good", "", {kPageRule})});
  WriteFile(In("Bad") + "/Page01.pdf", "bad");
  WriteFile(In("Good") + "/Page02.pdf", "good");
  auto run = Start();
  ASSERT_TRUE(run->WaitForOut(
      [](const auto& l) {
        return CountResults(l, "Page02.pdf", "P02_renamed.pdf", "Renamed") == 1;
      },
      kDeadline))
      << run->Out() << run->Err();
  const std::string said = "zentrafold: Bad: Queue \"Bad\" not served: ";
  ASSERT_TRUE(run->WaitForErr(said, kDeadline)) << run->Err();
  // Several more cycles pass (1-second browse time) without a second report.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(CountOf(run->Err(), said), 1) << run->Err();
  EXPECT_THAT(run->Err(), HasSubstr("[abc"));
  EXPECT_THAT(FilesIn(In("Bad")), ElementsAre("Page01.pdf"));
  Stop(*run);
}

// SIGUSR1 and `--status` ask the running service for its queue status
// table; it goes on serving afterwards.
TEST_F(Service, Sigusr1AndStatusRequestsPrintTheQueueStatusTable) {
  Configure({Queue("Q", "", {kPageRule})});
  WriteFile(In("Q") + "/Page01.pdf", "content");
  auto run = Start();
  ASSERT_TRUE(run->WaitForOut(
      [](const auto& l) {
        return CountResults(l, "Page01.pdf", "P01_renamed.pdf", "Renamed") == 1;
      },
      kDeadline))
      << run->Err();
  // The result line comes before the pass has ended, so the queue may still
  // show as served for a moment: ask again until the finished pass shows.
  std::string table;
  const std::regex idle("1 +Q +idle +1 +0");
  for (int attempt = 0; attempt < 100 && !std::regex_search(table, idle); ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int tables = CountOf(run->Err(), "Slot");
    run->Signal(SIGUSR1);
    ASSERT_TRUE(WaitUntil([&] { return CountOf(run->Err(), "Slot") > tables; }, kDeadline))
        << run->Err();
    const std::string err = run->Err();
    table = err.substr(err.rfind("Slot"));
  }
  EXPECT_THAT(table, HasSubstr("Queue"));
  EXPECT_THAT(table, testing::ContainsRegex("1 +Q +idle +1 +0"));
  // The same table on request through the configuration folder's socket,
  // which only the owner and the group may reach.
  const Finished asked = RunProgram({"--status", "--config-dir", dir_.path().string()});
  EXPECT_EQ(asked.status, 0) << asked.err;
  EXPECT_THAT(asked.out, testing::ContainsRegex("Slot.*\n1 +Q +idle +1 +0"));
  struct stat st {};
  ASSERT_EQ(::lstat((dir_ / "zentrafold.status").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  WriteFile(In("Q") + "/Page02.pdf", "more");
  EXPECT_TRUE(run->WaitForOut(
      [](const auto& l) {
        return CountResults(l, "Page02.pdf", "P02_renamed.pdf", "Renamed") == 1;
      },
      kDeadline));
  Stop(*run);
  // Nothing runs any more: exit status 3, and the socket has gone with it.
  const Finished after = RunProgram({"--status", "--config-dir", dir_.path().string()});
  EXPECT_EQ(after.status, 3) << after.err;
  EXPECT_THAT(after.err, HasSubstr("no instance is running"));
  EXPECT_FALSE(fs::exists(dir_ / "zentrafold.status"));
}

// The service manager's end of NOTIFY_SOCKET: every datagram with the time
// it came.
class NotifyListener {
 public:
  explicit NotifyListener(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("cannot bind " + path);
    }
    const timeval tick{0, 50'000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    reader_ = std::thread([this] {
      char buffer[4096];
      while (!done_) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) continue;
        std::lock_guard lock(mutex_);
        got_.push_back({std::chrono::steady_clock::now(), std::string(buffer, n)});
      }
    });
  }
  ~NotifyListener() {
    done_ = true;
    reader_.join();
    ::close(fd_);
  }
  using Message = std::pair<std::chrono::steady_clock::time_point, std::string>;
  std::vector<Message> Got() const {
    std::lock_guard lock(mutex_);
    return got_;
  }
  bool Has(const std::string& text) const {
    for (const Message& m : Got()) {
      if (m.second.find(text) != std::string::npos) return true;
    }
    return false;
  }
  // The times of the watchdog's pings.
  std::vector<std::chrono::steady_clock::time_point> Pings() const {
    std::vector<std::chrono::steady_clock::time_point> times;
    for (const Message& m : Got()) {
      if (m.second == "WATCHDOG=1") times.push_back(m.first);
    }
    return times;
  }

 private:
  std::string path_;
  int fd_ = -1;
  std::atomic<bool> done_{false};
  mutable std::mutex mutex_;
  std::vector<Message> got_;
  std::thread reader_;
};

// Under the service manager: ready once serving, a status line, and the
// watchdog's pings from the worker itself: through a stable wait and a long
// copy they keep coming; a worker stuck in a system call stops them.
TEST_F(Service, TellsTheServiceManagerItsStateAndPingsWhileTheWorkerMoves) {
  using std::chrono::milliseconds;
  struct Row {
    const char* what;
    int stabletime;
    std::size_t size;
    const char* delayMs;  // per chunk of 1 MiB written
    bool freeze;
  } const rows[] = {
      {"a stable wait of 2 s, then a copy of 2 s", 2, 2 << 20, "1000", false},
      {"a worker stuck in a system call", 1, 10, "0", true},
  };
  // A ping is due every half second.
  ::setenv("WATCHDOG_USEC", "2000000", 1);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove(Out("Q") + "/P07_renamed.pdf");
    TempDir box;
    NotifyListener manager(box / "notify");
    ::setenv("NOTIFY_SOCKET", (box / "notify").c_str(), 1);
    ::setenv("ZF_TEST_WRITE_DELAY_MS", row.delayMs, 1);
    if (row.freeze) ::setenv("ZF_TEST_FREEZE_AT", "Page07.pdf", 1);
    Configure({Queue("Q", "", {kPageRule})}, QuickSettings(1, row.stabletime));
    auto run = Start();
    ::unsetenv("ZF_TEST_FREEZE_AT");
    ::unsetenv("NOTIFY_SOCKET");
    ASSERT_TRUE(WaitUntil([&] { return manager.Has("READY=1"); }, kDeadline)) << run->Err();
    EXPECT_TRUE(manager.Has("STATUS=serving 1 of 1 queue, 0 files waiting, no failures"));
    WriteFile(In("Q") + "/Page07.pdf", std::string(row.size, 'x'));
    const auto dropped = std::chrono::steady_clock::now();
    if (row.freeze) {
      // Frozen at the copy's first step: the pings stop, the file stays.
      std::this_thread::sleep_for(milliseconds(row.stabletime * 1000 + 2500));
      const auto pings = manager.Pings();
      ASSERT_FALSE(pings.empty());
      EXPECT_GT(std::chrono::steady_clock::now() - pings.back(), milliseconds(1500));
      EXPECT_TRUE(fs::exists(In("Q") + "/Page07.pdf"));
      continue;  // the run is killed: a stuck worker never stops
    }
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(Out("Q") + "/P07_renamed.pdf"); }, kDeadline));
    const auto delivered = std::chrono::steady_clock::now();
    // The stable time and every slowed chunk of the copy have passed.
    EXPECT_GE(delivered - dropped,
              milliseconds(row.stabletime * 1000 +
                           static_cast<int>(row.size >> 20) * std::atoi(row.delayMs)));
    // No gap between pings from the drop to the delivery beyond a ping or
    // two missed, whatever the worker was doing (a copy without its pings
    // would leave 2 s without one).
    auto last = dropped;
    for (const auto& ping : manager.Pings()) {
      if (ping < dropped) continue;
      EXPECT_LT(ping - last, milliseconds(1900));
      last = ping;
    }
    EXPECT_LT(delivered - last, milliseconds(1900));
    Stop(*run);
    EXPECT_TRUE(manager.Has("STOPPING=1"));
  }
  ::unsetenv("WATCHDOG_USEC");
  ::unsetenv("ZF_TEST_WRITE_DELAY_MS");
}

// One engine per configuration: a second service on it is refused and names
// the first; a save of the queue file (as the window beside the service, an
// editor, makes it) reaches the running service.
TEST_F(Service, ASecondEngineIsRefusedAndSavedQueueChangesReachTheRunningOne) {
  Configure({Queue("Q", "", {kPageRule})});
  auto run = Start();
  ASSERT_TRUE(run->WaitForErr("serving 1 queue(s)", kDeadline)) << run->Err();
  const Finished second = RunProgram({"--headless", "--config-dir", dir_.path().string()});
  EXPECT_EQ(second.status, 3) << second.err;
  EXPECT_THAT(second.err, HasSubstr("in use by process " + std::to_string(run->pid()) + " ("));
  EXPECT_THAT(second.err, HasSubstr("--headless"));

  // One save adds a queue and changes the other's rule.
  Configure({Queue("Q", "", {Rule{R"(Page(\d+)\.pdf)", "Q$1.pdf", false, ""}}),
             Queue("R", "", {kPageRule})});
  // A pass already under way keeps the rules it began with: the files come
  // once the service has taken the new ones.
  ASSERT_TRUE(run->WaitForErr("changed: reloaded 2 queue(s)", kDeadline)) << run->Err();
  WriteFile(In("Q") + "/Page06.pdf", "x");
  WriteFile(In("R") + "/Page05.pdf", "x");
  EXPECT_TRUE(run->WaitForOut(
      [](const auto& l) {
        return CountResults(l, "Page06.pdf", "Q06.pdf", "Renamed") == 1 &&
               CountResults(l, "Page05.pdf", "P05_renamed.pdf", "Renamed") == 1;
      },
      kDeadline))
      << run->Err();
  Stop(*run);
}

// The reliability suite's step log goes only to a file of its own: a link
// planted under its name is not followed.
TEST_F(Service, TheStepLogFollowsNoLink) {
  Configure({Queue("Q", "", {kPageRule})});
  WriteFile(dir_ / "victim", "");
  fs::create_symlink(dir_ / "victim", dir_ / "link.log");
  struct Case {
    const char* log;
    bool written;
  };
  for (const Case c : {Case{"link.log", false}, Case{"steps.log", true}}) {
    SCOPED_TRACE(c.log);
    ::setenv("ZF_WRITE_STEP_LOG", (dir_ / c.log).c_str(), 1);
    WriteFile(In("Q") + "/Page07.pdf", "x");
    auto run = Start();
    ::unsetenv("ZF_WRITE_STEP_LOG");
    EXPECT_TRUE(run->WaitForOut(
        [](const auto& l) {
          return CountResults(l, "Page07.pdf", "P07_renamed.pdf", "Renamed") == 1;
        },
        kDeadline));
    Stop(*run);
    EXPECT_EQ(ReadFile(dir_ / "victim"), "");
    EXPECT_EQ(ReadIfThere(dir_ / c.log).find("zf-step") != std::string::npos, c.written);
    EXPECT_EQ(run->Err().find("cannot log write steps") == std::string::npos, c.written);
  }
}

// SIGUSR1 while the program's libraries initialise (a preloaded one sends
// it) waits for the service, which answers it once it runs.
TEST_F(Service, Sigusr1DuringStartUpIsAnsweredOnceRunning) {
  Configure({Queue("Q", "", {kPageRule})});
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string asanOptions = asan != nullptr ? asan : "";
  ::setenv("LD_PRELOAD",
           (std::string(std::getenv("ZF_BIN_DIR")) + "/testlibs/raiseatload.so").c_str(), 1);
  // The preloaded library comes before the sanitizer's run-time.
  ::setenv("ASAN_OPTIONS", (asanOptions + ":verify_asan_link_order=0").c_str(), 1);
  auto run = Start();
  ::unsetenv("LD_PRELOAD");
  if (asan != nullptr) {
    ::setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
  } else {
    ::unsetenv("ASAN_OPTIONS");
  }
  EXPECT_TRUE(run->WaitForErr("Slot", kDeadline)) << run->Err();
  Stop(*run);
}

TEST_F(Service, AnOutputFolderThatRefusesWritesKeepsTheInputAndFailsEveryCycle) {
  Configure({Queue("Q", "", {kPageRule})});
  if (!SetImmutable(Out("Q"), true)) GTEST_SKIP() << "chattr +i is not available here";
  WriteFile(In("Q") + "/Page01.pdf", "content");

  auto run = Start();
  ASSERT_TRUE(run->WaitForOut(
      [](const auto& l) {
        return CountResults(l, "Page01.pdf", "P01_renamed.pdf", "Cannot copy") >= 2;
      },
      kDeadline))
      << run->Out();
  // The operator reads why beside the log word; the log file keeps the word.
  EXPECT_THAT(run->Out(), HasSubstr("\tCannot copy: Operation not permitted"));
  EXPECT_THAT(FilesIn(In("Q")), ElementsAre("Page01.pdf"));
  EXPECT_EQ(ReadFile(In("Q") + "/Page01.pdf"), "content");
  EXPECT_THAT(FilesIn(Out("Q")), IsEmpty());
  ASSERT_TRUE(WaitUntil(
      [&] { return CountOf(ReadIfThere(Log("Q.log")), ",Error,Cannot copy,") >= 2; }, kDeadline));

  // Once the folder takes files again, the next cycle delivers it.
  ASSERT_TRUE(SetImmutable(Out("Q"), false));
  ASSERT_TRUE(run->WaitForOut(
      [](const auto& l) {
        return CountResults(l, "Page01.pdf", "P01_renamed.pdf", "Renamed") == 1;
      },
      kDeadline));
  EXPECT_EQ(ReadFile(Out("Q") + "/P01_renamed.pdf"), "content");
  EXPECT_THAT(FilesIn(In("Q")), IsEmpty());
  Stop(*run);
}

TEST_F(Service, AFileStillBeingWrittenIsLeftAloneUntilItStaysUnchanged) {
  Configure({Queue("Q", "", {kPageRule})});
  auto run = Start();
  ASSERT_TRUE(run->WaitForErr("serving 1 queue(s)", kDeadline));

  // Grows for about three seconds: longer than two cycles of browse and
  // stable time, each of which sees it change.
  const std::string path = In("Q") + "/Page07.pdf";
  std::string written;
  {
    std::ofstream file(path, std::ios::binary);
    for (int i = 0; i < 20; ++i) {
      const std::string chunk = "chunk " + std::to_string(i) + std::string(1000, '.') + "\n";
      file << chunk << std::flush;
      written += chunk;
      std::this_thread::sleep_for(150ms);  // the pace of a slow writer, not a wait for the service
      ASSERT_THAT(FilesIn(Out("Q")), IsEmpty()) << "taken while still being written";
      ASSERT_TRUE(fs::exists(path));
    }
  }
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(Out("Q") + "/P07_renamed.pdf"); }, kDeadline));
  ASSERT_TRUE(run->WaitForOut([](const auto& l) { return !l.empty(); }, kDeadline));
  EXPECT_EQ(ReadFile(Out("Q") + "/P07_renamed.pdf"), written);
  EXPECT_EQ(CountResults(run->OutLines(), "Page07.pdf", "P07_renamed.pdf", "Renamed"), 1);
  EXPECT_EQ(run->OutLines().size(), 1u);
  Stop(*run);
}

TEST_F(Service, SplitsAMultiPagePdfIntoPagesNamedByTheRule) {
  QueueRecord q = Queue("Q", Folder("errors"),
                        {Rule{R"(SPO_(\d+)_(\d+)\.pdf)", "SPO_$1_####.pdf", false, "$2"}});
  q.Splitpdf = true;
  Configure({q});
  WriteFile(In("Q") + "/SPO_20240517_17.pdf", TestPdf(3));

  auto run = Start();
  ASSERT_TRUE(run->WaitForOut([](const auto& l) { return !l.empty(); }, kDeadline));
  EXPECT_EQ(
      CountResults(run->OutLines(), "SPO_20240517_17.pdf", "SPO_20240517_####.pdf", "Renamed"), 1)
      << run->Out();
  EXPECT_THAT(FilesIn(Out("Q")), ElementsAre("SPO_20240517_0017.pdf", "SPO_20240517_0018.pdf",
                                             "SPO_20240517_0019.pdf"));
  EXPECT_THAT(FilesIn(In("Q")), IsEmpty());
  EXPECT_THAT(FilesIn(dir_ / "errors"), IsEmpty());
  for (const std::string& page : FilesIn(Out("Q"))) {
    const std::string text = ReadFile(Out("Q") + "/" + page);
    EXPECT_EQ(text.rfind("%PDF-", 0), 0u) << page;
    if (fs::exists("/usr/bin/qpdf")) {
      const Finished pages = RunProgram({"--show-npages", Out("Q") + "/" + page}, "/usr/bin/qpdf");
      EXPECT_EQ(pages.out, "1\n") << page;
    }
  }
  Stop(*run);
}

TEST_F(Service, FetchesFromAnFtpServerAndDeliversLikeALocalFile) {
  const std::string root = Folder("server");
  fs::create_directories(root + "/in");
  FtpTestServer server(FtpTestServer::Options{root});
  QueueRecord q = Queue("Remote", Folder("errors"), {kPageRule});
  q.FTPuse = true;
  q.Inputfolder.clear();
  q.FTPhost = "127.0.0.1";
  q.FTPPort = server.port();
  q.FTPuser = "zf";
  q.FTPpasw = "secret";
  q.FTPpath = "in";
  q.FTPTemppath = Folder("fetched");
  Configure({q});
  WriteFile(root + "/in/Page03.pdf", "from the server");
  WriteFile(root + "/in/memo.doc", "no rule for it");

  auto run = Start();
  ASSERT_TRUE(run->WaitForOut([](const auto& l) { return l.size() >= 2; }, kDeadline))
      << run->Err();
  const auto lines = run->OutLines();
  EXPECT_EQ(CountResults(lines, "Page03.pdf", "P03_renamed.pdf", "Renamed"), 1);
  EXPECT_EQ(CountResults(lines, "memo.doc", "", "cannot rename"), 1);
  EXPECT_EQ(ReadFile(Out("Remote") + "/P03_renamed.pdf"), "from the server");
  EXPECT_EQ(ReadFile(dir_ / "errors/memo.doc"), "no rule for it");
  // Fetched files leave the server; nothing stays in the queue's own folder
  // of the local one.
  EXPECT_THAT(FilesIn(root + "/in"), IsEmpty());
  EXPECT_THAT(FilesIn(dir_ / "fetched"), ElementsAre("Remote"));
  EXPECT_THAT(FilesIn(dir_ / "fetched/Remote"), IsEmpty());
  // The log-in never reaches the service's messages.
  EXPECT_THAT(run->Err(), Not(HasSubstr("secret")));
  Stop(*run);
}

TEST_F(Service, StopDuringAStableWaitEndsAfterTheSliceAndWritesTheCloseState) {
  // A stable time of 30 seconds waits in slices of 3.
  Configure({Queue("Q", "", {kPageRule})}, QuickSettings(1, 30));
  // Take the close-time key out, so that its return shows the close state written.
  std::string text = ReadFile(QueueFile());
  const std::size_t at = text.find("lastlogrenew=");
  ASSERT_NE(at, std::string::npos);
  text.erase(at, text.find('\n', at) + 1 - at);
  WriteFile(QueueFile(), text);
  WriteFile(In("Q") + "/Page01.pdf", "waiting");

  auto run = Start(/*verbose=*/true);
  // The pass lists the queue and then waits; its queue is served only after.
  ASSERT_TRUE(run->WaitForErr("pass over 1 queue(s)", kDeadline));
  std::this_thread::sleep_for(500ms);  // into the stable wait; the checks hold either way
  const auto signalled = std::chrono::steady_clock::now();
  run->Signal(SIGTERM);
  const std::optional<int> status = run->WaitExit(kDeadline);
  const auto took = std::chrono::steady_clock::now() - signalled;
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0) << run->Err();
  EXPECT_LT(took, 15s) << "waited for more than a slice of the stable wait";
  EXPECT_THAT(run->Err(), HasSubstr("stopping after the engine's current step"));

  // No later stage ran: the file is where it was and nothing was reported.
  EXPECT_THAT(FilesIn(In("Q")), ElementsAre("Page01.pdf"));
  EXPECT_THAT(FilesIn(Out("Q")), IsEmpty());
  EXPECT_THAT(run->OutLines(), IsEmpty());
  const std::string closed = ReadFile(QueueFile());
  EXPECT_THAT(closed, HasSubstr("lastlogrenew=01/01/1980 01:01:01\n"));
  EXPECT_THAT(closed, HasSubstr("Nfolders=1\n"));
}

TEST_F(Service, StopWhileManyFilesAreDeliveredLosesNoFileAndShowsNoHalfFile) {
  constexpr int kFiles = 500;
  Configure({Queue("Q", "", {Rule{R"(f(\d+)\.dat)", "g$1.dat", false, ""}})});
  auto content = [](int i) {
    return "file " + std::to_string(i) + "\n" +
           std::string(32 * 1024 + i, static_cast<char>('a' + i % 26));
  };
  auto number = [](int i) {
    std::string n = std::to_string(i);
    return std::string(3 - n.size(), '0') + n;
  };
  for (int i = 0; i < kFiles; ++i) WriteFile(In("Q") + "/f" + number(i) + ".dat", content(i));

  auto run = Start();
  ASSERT_TRUE(run->WaitForOut([](const auto& l) { return !l.empty(); }, 60s));
  Stop(*run);

  const std::set<std::string> out = FilesIn(Out("Q"));
  int delivered = 0;
  for (int i = 0; i < kFiles; ++i) {
    const std::string oldPath = In("Q") + "/f" + number(i) + ".dat";
    const std::string newName = "g" + number(i) + ".dat";
    const bool inInput = fs::exists(oldPath);
    const bool inOutput = out.count(newName) == 1;
    ASSERT_NE(inInput, inOutput) << "file " << i << (inInput ? " in both folders" : " lost");
    EXPECT_EQ(ReadFile(inInput ? oldPath : Out("Q") + "/" + newName), content(i)) << i;
    delivered += inOutput ? 1 : 0;
  }
  // Nothing but finished files in the output folder, each one reported.
  EXPECT_EQ(out.size(), static_cast<std::size_t>(delivered));
  const auto lines = run->OutLines();
  EXPECT_EQ(lines.size(), static_cast<std::size_t>(delivered));
  for (const std::string& line : lines) EXPECT_EQ(Fields(line).back(), "Renamed") << line;
  EXPECT_EQ(CountOf(ReadFile(Log("Q.log")), ",OK,"), delivered);
  std::printf("delivered %d of %d files before the stop\n", delivered, kFiles);
}

}  // namespace
}  // namespace zf::test
