#include "engine/queuestatus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/datetimepattern.h"
#include "deliverytestkit.h"
#include "engine/renamethread.h"
#include "engine/standardstages.h"
#include "enginetestkit.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using State = QueueStatus::State;
using test::WriteFile;

class CountingHost : public test::RecordingHost {
 public:
  void QueueStatusChanged() override { ++changes; }
  std::atomic<int> changes{0};
};

// The real engine with the standard stages (the real expression library) and
// a status board, over queues in temporary folders.
class QueueStatusTest : public testing::Test {
 protected:
  QueueStatusTest() {
    host.settings.switchedOn = true;
    host.settings.stabletime = 2;  // stable slices of 200 ms
    fs::create_directory(logFolder);
  }
  void SetUp() override {
    ASSERT_TRUE(test::RealLibrary().Has(EntryPoint::kFormatExpression))
        << "regex.so not found in ZF_BIN_DIR";
  }

  // A queue that names SPO_<n>.pdf and sends every other file to its error
  // folder.
  int AddSport(const test::QueueFolders& folders, const std::string& name = "Sport") {
    return test::AddQueue(host.table, name, folders, [&](QueueRecord& q) {
      q.NRegularexpr = 1;
      q.rule(1) = Rule{R"(SPO_(\d+)\.pdf)", "Sport_$1.pdf", false, ""};
    });
  }
  Trenamethread& Engine() {
    if (!engine) {
      engine = std::make_unique<Trenamethread>(
          EngineServices{host, access, clock, &stages, nullptr, &visualLog, &board}, control);
    }
    return *engine;
  }
  QueueStatus Row(int slot) {
    const std::vector<QueueStatus> rows = board.Snapshot(host.table, clock.Now());
    EXPECT_LE(slot, static_cast<int>(rows.size()));
    return rows.at(static_cast<std::size_t>(slot - 1));
  }

  CountingHost host;
  test::CountingFiles access;
  test::FakeClock clock;
  test::TempDir logRoot;
  std::string logFolder = logRoot / "log";
  std::vector<VisualLogEntry> rows;
  VisualLog visualLog{clock, DefaultRegionalSettings(),
                      [this](VisualLogEntry e) { rows.push_back(std::move(e)); }};
  LogFileWriter writer{host.table, clock, "dd.mm.yyyy hh:nn:ss:zzz"};
  test::FaultyFiles fileOps;
  StandardStages stages{test::RealLibrary(), visualLog, writer, clock, fileOps};
  QueueStatusBoard board;
  std::shared_ptr<EngineControl> control = std::make_shared<EngineControl>();
  std::unique_ptr<Trenamethread> engine;
};

TEST_F(QueueStatusTest, APassCountsEachResultAndKeepsTheLastFailure) {
  test::QueueFolders f;
  AddSport(f);
  WriteFile(f.in + "/SPO_7.pdf", "named");
  WriteFile(f.in + "/unknown.pdf", "unresolved");
  // The unresolved file cannot be copied into the error folder: it stays.
  fileOps.step = FileStep::kCreateTemp;
  fileOps.error = ENOSPC;
  fileOps.pathPrefix = f.err;

  // Never served yet: idle with zeros.
  EXPECT_EQ(Row(1).state, State::kIdle);
  EXPECT_EQ(Row(1).lastPass, 0);

  ASSERT_TRUE(Engine().ScanQueues().ok());
  EXPECT_TRUE(fs::exists(f.out + "/Sport_7.pdf"));
  EXPECT_TRUE(fs::exists(f.in + "/unknown.pdf"));

  const QueueStatus s = Row(1);
  EXPECT_EQ(s.slot, 1);
  EXPECT_EQ(s.name, "Sport");
  EXPECT_EQ(s.uid, host.table.Get(1).uid);
  EXPECT_EQ(s.state, State::kIdle);
  EXPECT_EQ(s.deliveredToday, 1);
  EXPECT_EQ(s.failedToday, 1);
  EXPECT_EQ(s.lastFailure, "Cannot copy: No space left on device");
  EXPECT_GT(s.lastFailureTime, 0);
  EXPECT_GE(s.lastPass, s.lastFailureTime);  // the pass ended after its results
  EXPECT_LE(s.lastPass, clock.Now());
  EXPECT_EQ(s.waiting, 0);
  EXPECT_EQ(s.stableSecondsLeft, 0);
  EXPECT_FALSE(s.ftp);
  EXPECT_EQ(s.ftpConnection, "");
  // At least the pass's start and end and the two results were announced.
  EXPECT_GE(host.changes.load(), 4);
}

// What keeps a queue from being served shows as its state and last failure;
// a pass that succeeds again makes it idle and keeps the failure's text.
TEST_F(QueueStatusTest, AQueueThatCannotBeServedShowsFailingWithTheCause) {
  const struct {
    const char* what;
    std::function<void(QueueRecord&, const test::QueueFolders&)> breakIt;
    std::function<void(QueueRecord&, const test::QueueFolders&)> mend;
    State state;
    std::string failure;  // the start of lastFailure
  } cases[] = {
      {"invalid ignore mask", [](QueueRecord& q, auto&) { q.ignoremask = "*.tmp;[abc"; },
       [](QueueRecord& q, auto&) { q.ignoremask = "none"; }, State::kFailing,
       "Queue \"A\" not served: '[abc' is an invalid mask"},
      {"missing output folder",
       [](QueueRecord& q, const test::QueueFolders& f) { q.Outputfolder = f.root / "gone"; },
       [](QueueRecord& q, const test::QueueFolders& f) { q.Outputfolder = f.out; }, State::kFailing,
       "Queue \"A\" not served: the output folder \""},
      {"disabled", [](QueueRecord& q, auto&) { q.Enabled = false; },
       [](QueueRecord& q, auto&) { q.Enabled = true; }, State::kDisabled, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QueueStatusBoard fresh;
    CountingHost h;
    h.settings.switchedOn = true;
    test::QueueFolders f, g;
    test::AddQueue(h.table, "A", f, [&](QueueRecord& q) { c.breakIt(q, f); });
    test::AddQueue(h.table, "B", g);
    WriteFile(f.in + "/a.pdf", "x");
    Trenamethread engine({h, access, clock, nullptr, nullptr, &visualLog, &fresh},
                         std::make_shared<EngineControl>());
    (void)engine.ScanQueues();
    std::vector<QueueStatus> now = fresh.Snapshot(h.table, clock.Now());
    ASSERT_EQ(now.size(), 2u);
    EXPECT_EQ(now[0].state, c.state);
    EXPECT_EQ(now[0].lastFailure.substr(0, c.failure.size()), c.failure) << now[0].lastFailure;
    EXPECT_EQ(now[1].state, State::kIdle);  // the next queue is served as usual
    EXPECT_GT(now[1].lastPass, 0);

    // Still failing in the next pass, idle once it is mended.
    (void)engine.ScanQueues();
    EXPECT_EQ(fresh.Snapshot(h.table, clock.Now())[0].state, c.state);
    h.table.Update(1, [&](QueueRecord& q) { c.mend(q, f); });
    ASSERT_TRUE(engine.ScanQueues().ok());
    now = fresh.Snapshot(h.table, clock.Now());
    EXPECT_EQ(now[0].state, State::kIdle);
    EXPECT_GT(now[0].lastPass, 0);
    EXPECT_EQ(now[0].lastFailure.substr(0, c.failure.size()), c.failure);
  }
}

TEST_F(QueueStatusTest, CountsStartAgainOnANewDay) {
  test::QueueFolders f;
  AddSport(f);
  WriteFile(f.in + "/SPO_1.pdf", "1");
  WriteFile(f.in + "/bad.pdf", "2");
  ASSERT_TRUE(Engine().ScanQueues().ok());
  EXPECT_EQ(Row(1).deliveredToday, 1);
  EXPECT_EQ(Row(1).failedToday, 1);  // sent to the error folder without a name

  clock.SleepMs(16 * 3600 * 1000);  // 08:00 to past midnight
  EXPECT_EQ(Row(1).deliveredToday, 0);
  EXPECT_EQ(Row(1).failedToday, 0);
  EXPECT_EQ(Row(1).lastFailure, "cannot rename");  // not a count: it stays

  WriteFile(f.in + "/SPO_2.pdf", "3");
  ASSERT_TRUE(Engine().ScanQueues().ok());
  EXPECT_EQ(Row(1).deliveredToday, 1);
  EXPECT_EQ(Row(1).failedToday, 0);
}

// Seen from inside the sleeps of the stable wait: the files found and the
// whole seconds still to wait; after the pass, what did not prove stable.
TEST_F(QueueStatusTest, TheStableWaitShowsTheFilesAndTheSecondsLeft) {
  test::QueueFolders f;
  AddSport(f);
  WriteFile(f.in + "/SPO_1.pdf", "1");
  WriteFile(f.in + "/SPO_2.pdf", "2");
  std::vector<std::pair<int, int>> seen;  // waiting, seconds left, per stable slice
  std::vector<State> states;
  clock.hook = [&](int ms) {
    if (ms != 200) return;
    const QueueStatus s = board.Snapshot(host.table, clock.Now()).at(0);
    seen.emplace_back(s.waiting, s.stableSecondsLeft);
    states.push_back(s.state);
    // Still being written: it cannot be taken in this pass.
    if (seen.size() == 3) WriteFile(f.in + "/SPO_2.pdf", "2 and more");
  };
  const int before = host.changes;
  ASSERT_TRUE(Engine().ScanQueues().ok());
  const std::vector<std::pair<int, int>> expected = {{2, 2}, {2, 2}, {2, 2}, {2, 2}, {2, 2},
                                                     {2, 1}, {2, 1}, {2, 1}, {2, 1}, {2, 1}};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(states, std::vector<State>(10, State::kServing));
  const QueueStatus after = Row(1);
  EXPECT_EQ(after.waiting, 1);
  EXPECT_EQ(after.stableSecondsLeft, 0);
  EXPECT_EQ(after.deliveredToday, 1);
  // Start, wait, waiting count after the check, one result, end: not one per slice.
  EXPECT_LE(host.changes - before, 6);
}

TEST(QueueStatusBoardTest, WithoutABoardNothingIsRecordedAndNothingBreaks) {
  CountingHost host;
  host.settings.switchedOn = true;
  test::CountingFiles access;
  test::FakeClock clock;
  test::QueueFolders f;
  test::AddQueue(host.table, "A", f, [](QueueRecord& q) { q.ignoremask = "[abc"; });
  Trenamethread engine({host, access, clock}, std::make_shared<EngineControl>());
  EXPECT_EQ(engine.status(), nullptr);
  EXPECT_FALSE(engine.ScanQueues().ok());
  EXPECT_EQ(host.changes, 0);
}

QueueStatus Sample(int slot, std::string name, State state) {
  QueueStatus s;
  s.slot = slot;
  s.name = std::move(name);
  s.state = state;
  return s;
}

TEST(QueueStatusFormat, LinesAndTableShowEveryFieldAligned) {
  const TDateTime pass = EncodeDateTime(2024, 5, 1, 8, 0, 3);
  QueueStatus sport = Sample(1, "Sport", State::kIdle);
  sport.lastPass = pass;
  sport.deliveredToday = 12;
  sport.failedToday = 1;
  sport.lastFailure = "Cannot copy: No space left on device";
  sport.lastFailureTime = EncodeDateTime(2024, 5, 1, 7, 59, 58);
  QueueStatus news = Sample(2, "Nachrichten Ü", State::kServing);
  news.waiting = 3;
  news.stableSecondsLeft = 8;
  news.ftp = true;
  news.ftpConnection = "connected to files.example:21";
  const QueueStatus off = Sample(3, "Old", State::kDisabled);
  QueueStatus broken = Sample(4, "B", State::kFailing);
  broken.waiting = 2;
  broken.lastFailure = "Queue \"B\" not served: Invalid ignore mask: [abc";
  broken.lastFailureTime = pass;
  const RegionalSettings& regional = DefaultRegionalSettings();

  const struct {
    const QueueStatus* s;
    const char* line;
  } lines[] = {
      {&sport,
       "1 Sport: idle, delivered today 12, failed today 1, last pass 01/05/2024 08:00:03, "
       "last failure 01/05/2024 07:59:58 Cannot copy: No space left on device"},
      {&news,
       "2 Nachrichten Ü: serving, delivered today 0, failed today 0, waiting 3 (8 s left), "
       "last pass never, FTP connected to files.example:21"},
      {&off, "3 Old: disabled, delivered today 0, failed today 0, last pass never"},
      {&broken,
       "4 B: failing, delivered today 0, failed today 0, waiting 2, last pass never, last "
       "failure 01/05/2024 08:00:03 Queue \"B\" not served: Invalid ignore mask: [abc"},
  };
  for (const auto& l : lines) EXPECT_EQ(FormatQueueStatusLine(*l.s, regional), l.line);

  EXPECT_EQ(FormatQueueStatusTable({sport, news, off, broken}, regional),
            "Slot  Queue          State     Delivered  Failed  Waiting       Last pass            "
            "FTP                            Last failure\n"
            "1     Sport          idle      12         1       0             01/05/2024 08:00:03  "
            "-                              01/05/2024 07:59:58 Cannot copy: No space left on "
            "device\n"
            "2     Nachrichten Ü  serving   0          0       3 (8 s left)  never                "
            "connected to files.example:21  -\n"
            "3     Old            disabled  0          0       0             never                "
            "-                              -\n"
            "4     B              failing   0          0       2             never                "
            "-                              01/05/2024 08:00:03 Queue \"B\" not served: Invalid "
            "ignore mask: [abc\n");
  EXPECT_EQ(FormatQueueStatusTable({}, regional),
            "Slot  Queue  State  Delivered  Failed  Waiting  Last pass  FTP  Last failure\n");
}

// The window reads snapshots on its own thread while the worker serves the
// queues and files arrive; run under ThreadSanitizer too.
TEST(QueueStatusThreads, AReaderTakesSnapshotsWhileTheWorkerWrites) {
  ASSERT_TRUE(test::RealLibrary().Has(EntryPoint::kFormatExpression));
  CountingHost host;
  host.keepEvents = false;
  host.settings.switchedOn = true;
  test::FakeClock clock;
  test::CountingFiles access;
  test::QueueFolders f;
  test::AddQueue(host.table, "Sport", f, [&](QueueRecord& q) {
    q.NRegularexpr = 1;
    q.rule(1) = Rule{R"(SPO_(\d+)\.pdf)", "Sport_$1.pdf", false, ""};
  });
  VisualLog visualLog(clock, DefaultRegionalSettings(), [](VisualLogEntry) {});
  LogFileWriter writer(host.table, clock, "dd.mm.yyyy hh:nn:ss:zzz");
  StandardStages stages(test::RealLibrary(), visualLog, writer, clock);
  QueueStatusBoard board;
  const std::shared_ptr<EngineControl> control = Trenamethread::Start(
      EngineServices{host, access, clock, &stages, nullptr, &visualLog, &board});

  std::atomic<bool> done{false};
  std::atomic<int> snapshots{0};
  std::thread reader([&] {
    while (!done) {
      const std::vector<QueueStatus> rows = board.Snapshot(host.table, clock.Now());
      if (FormatQueueStatusTable(rows, DefaultRegionalSettings()).find("Sport") !=
          std::string::npos) {
        ++snapshots;
      }
    }
  });
  constexpr int kFiles = 20;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "SPO_" + std::to_string(i) + ".pdf";
    WriteFile(f.root / name, "content");
    fs::rename(f.root / name, f.in + "/" + name);
    if (i == kFiles / 2) host.table.Update(1, [](QueueRecord& q) { q.name = "Sport"; });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  auto delivered = [&] { return board.Snapshot(host.table, clock.Now()).at(0).deliveredToday; };
  while (delivered() < kFiles && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  control->stop = true;
  while (!control->finished && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  done = true;
  reader.join();
  ASSERT_TRUE(control->finished);
  EXPECT_EQ(delivered(), kFiles);
  EXPECT_GT(snapshots.load(), 0);
  EXPECT_GT(host.changes.load(), 0);
}

}  // namespace
}  // namespace zf
