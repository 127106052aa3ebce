#include "engine/renamethread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "config/queuefile.h"
#include "engine/discovery.h"
#include "enginetestkit.h"

namespace zf {
namespace {

using test::AddQueue;
using test::CountingFiles;
using test::FakeClock;
using test::HostEvent;
using test::QueueFolders;
using test::RecordingHost;
using test::WriteFile;

constexpr int kIdle = static_cast<int>(QueueIcon::kIdle);
constexpr int kActive = static_cast<int>(QueueIcon::kActive);

HostEvent Progress(int position) {
  return {HostEvent::kProgress, position};
}
HostEvent Full() {
  return {HostEvent::kFull};
}
HostEvent Icon(int slot, int icon) {
  return {HostEvent::kIcon, slot, icon};
}
HostEvent Refresh() {
  return {HostEvent::kRefresh};
}
HostEvent Ftp(int percent) {
  return {HostEvent::kFtp, percent};
}

// Records what the later stages were given.
class RecordingStages : public EngineStages {
 public:
  Status ResolveNames(Trenamethread& engine, PassContext& pass) override {
    ++resolved;
    for (int k = 1; k <= pass.files.count(); ++k) {
      if (pass.files.at(k).ready) readyNames.push_back(pass.files.at(k).oldname);
    }
    splitpages = engine.splitpages;
    lastInput = pass.inputFolder;
    lastOutput = pass.outputFolder;
    lastError = pass.errorFolder;
    if (onResolve) onResolve(engine, pass);
    if (throwOnResolve) throw std::runtime_error("resolve failed");
    return Status::Ok();
  }
  Status DeliverFiles(Trenamethread&, PassContext&) override {
    ++delivered;
    return Status::Ok();
  }
  void PrepareThread() override { ++prepared; }
  void ReleaseThread() override { ++released; }

  std::atomic<int> resolved{0}, delivered{0}, prepared{0}, released{0};
  std::vector<std::string> readyNames;
  bool splitpages = false;
  bool throwOnResolve = false;
  std::string lastInput, lastOutput, lastError;
  std::function<void(Trenamethread&, PassContext&)> onResolve;
};

class Engine : public testing::Test {
 protected:
  Engine() {
    host.settings.browsetime = 3;  // browse slices of 300 ms
    host.settings.stabletime = 2;  // stable slices of 200 ms
    host.settings.switchedOn = true;
  }
  EngineServices Services() { return {host, files, clock, &stages, ftp}; }
  Trenamethread MakeEngine() { return Trenamethread(Services(), control); }

  static bool WaitFinished(const EngineControl& c) {
    for (int i = 0; i < 4000 && !c.finished.load(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return c.finished.load();
  }

  RecordingHost host;
  CountingFiles files;
  FakeClock clock;
  RecordingStages stages;
  FtpIntake* ftp = nullptr;
  std::shared_ptr<EngineControl> control = std::make_shared<EngineControl>();
};

// A fresh engine and all it is lent, switched on with 200 ms stable slices
// and a status board, for the cases of a table.
struct Rig {
  Rig() {
    host.settings.switchedOn = true;
    host.settings.stabletime = 2;
  }
  Trenamethread MakeEngine() {
    return Trenamethread({host, files, clock, &stages, nullptr, nullptr, &board}, control);
  }
  RecordingHost host;
  CountingFiles files;
  FakeClock clock;
  RecordingStages stages;
  QueueStatusBoard board;
  std::shared_ptr<EngineControl> control = std::make_shared<EngineControl>();
};

// The slots whose icon went active, in order.
std::vector<int> ServedSlots(const RecordingHost& host) {
  std::vector<int> slots;
  for (const HostEvent& e : host.EventsOf(HostEvent::kIcon)) {
    if (e.b == kActive) slots.push_back(e.a);
  }
  return slots;
}

TEST_F(Engine, EmptyTableRunsTheProgressUpThenFullAndNothingElse) {
  host.onEvent = [&](const HostEvent& e) {
    if (e.kind == HostEvent::kFull) control->stop = true;
  };
  clock.hook = [&](int) {
    if (clock.Sleeps().size() == 3) host.settings.browsetime = 7;  // read at each slice
  };
  Trenamethread engine = MakeEngine();
  engine.Execute();
  EXPECT_EQ(host.Events(),
            (std::vector<HostEvent>{Progress(0), Progress(1), Progress(2), Progress(3), Progress(4),
                                    Progress(5), Progress(6), Progress(7), Progress(8), Progress(9),
                                    Progress(10), Full()}));
  EXPECT_EQ(clock.Sleeps(), (std::vector<int>{300, 300, 300, 700, 700, 700, 700, 700, 700, 700}));
  EXPECT_EQ(stages.prepared, 1);
  EXPECT_EQ(stages.released, 1);
}

TEST_F(Engine, SwitchedOffTheProgressStaysAtZeroAndNothingIsTouched) {
  QueueFolders f;
  AddQueue(host.table, "Sport", f);
  WriteFile(f.in + "/a.pdf", "x");
  host.settings.switchedOn = false;
  int slices = 0;
  clock.hook = [&](int) {
    if (++slices == 25) control->stop = true;
  };
  Trenamethread engine = MakeEngine();
  engine.Execute();
  // Three cycles began; the third ended at the stop request.
  EXPECT_EQ(host.Events(), (std::vector<HostEvent>{Progress(0), Progress(0), Progress(0)}));
  EXPECT_EQ(slices, 25);
  EXPECT_EQ(files.Lists(), 0);
  EXPECT_EQ(files.DirTestsOf(f.root.path().string()), 0);
}

TEST_F(Engine, ProgressFollowsTheSwitchAndAWindowErrorDoesNotStopTheWait) {
  QueueFolders f;
  AddQueue(host.table, "Sport", f);
  int slices = 0;
  clock.hook = [&](int ms) {
    if (ms != 300) return;
    ++slices;
    if (slices == 4) host.settings.switchedOn = false;
    if (slices == 15) host.settings.switchedOn = true;
  };
  bool thrown = false;
  host.onEvent = [&](const HostEvent& e) {
    if (e.kind == HostEvent::kFtp) control->stop = true;  // once the pass has begun
    if (e == Progress(2) && !thrown) {
      thrown = true;
      throw std::runtime_error("window gone");
    }
  };
  Trenamethread engine = MakeEngine();
  engine.Execute();
  std::vector<HostEvent> progress;
  for (const HostEvent& e : host.Events()) {
    if (e.kind == HostEvent::kProgress || e.kind == HostEvent::kFull) progress.push_back(e);
  }
  EXPECT_EQ(progress, (std::vector<HostEvent>{Progress(0), Progress(1), Progress(2), Progress(3),
                                              Progress(0),  // switched off in slice 4
                                              Progress(0),  // the next cycle begins
                                              Progress(1), Progress(2), Progress(3), Progress(4),
                                              Progress(5), Progress(6), Full()}));
  EXPECT_EQ(slices, 20);
  EXPECT_EQ(files.ListsOf(f.in), 1);  // the pass of the second cycle ran
}

TEST_F(Engine, APassServesEnabledQueuesInOrderWithIconsAroundTheirWork) {
  QueueFolders a, b, c;
  AddQueue(host.table, "A", a, [](QueueRecord& q) { q.Splitpdf = true; });
  AddQueue(host.table, "B", b, [](QueueRecord& q) { q.Enabled = false; });
  AddQueue(host.table, "C", c, [](QueueRecord& q) { q.Errorfolder.clear(); });
  WriteFile(a.in + "/one.pdf", "1");
  WriteFile(b.in + "/two.pdf", "2");
  Trenamethread engine = MakeEngine();
  ASSERT_TRUE(engine.ScanQueues().ok());

  // A and C are discovered (B is skipped), then only A has work of its own:
  // its icon is active around it. No slot costs a pause.
  EXPECT_EQ(host.Events(), (std::vector<HostEvent>{Ftp(0), Ftp(0), Icon(1, kActive), Refresh(),
                                                   Icon(1, kIdle), Refresh()}));
  EXPECT_EQ(clock.Sleeps(), std::vector<int>(10, 200));  // A's stable wait in ten slices
  EXPECT_EQ(files.ListsOf(b.root.path().string()), 0);
  // Only A had files: it alone reached the later stages, with its file ready.
  EXPECT_EQ(stages.resolved, 1);
  EXPECT_EQ(stages.delivered, 1);
  EXPECT_EQ(stages.readyNames, (std::vector<std::string>{"one.pdf"}));
  EXPECT_TRUE(stages.splitpages);
  EXPECT_EQ(stages.lastInput, a.in + "/");
  EXPECT_EQ(stages.lastOutput, a.out + "/");
  EXPECT_EQ(stages.lastError, a.err + "/");

  stages.readyNames.clear();
  WriteFile(c.in + "/three.pdf", "3");
  ASSERT_TRUE(engine.ProcessQueue(3).ok());
  EXPECT_EQ(stages.readyNames, (std::vector<std::string>{"three.pdf"}));
  EXPECT_EQ(stages.lastError, "");  // no error folder
  EXPECT_FALSE(stages.splitpages);
}

TEST_F(Engine, AFileWrittenDuringTheStableWaitIsNotReady) {
  QueueFolders f;
  AddQueue(host.table, "A", f);
  WriteFile(f.in + "/quiet.pdf", "1");
  WriteFile(f.in + "/busy.pdf", "1");
  clock.hook = [&](int ms) {
    if (ms == 200) WriteFile(f.in + "/busy.pdf", std::string(clock.Sleeps().size(), 'x'));
  };
  Trenamethread engine = MakeEngine();
  ASSERT_TRUE(engine.ProcessQueue(1).ok());
  EXPECT_EQ(stages.readyNames, (std::vector<std::string>{"quiet.pdf"}));
}

// Busy queues wait their stable time together: three queues with files take
// one wait of ten slices, then each is checked, named and delivered in table
// order, its icon active around its own work only. Every queue's status row
// shows its files and the seconds left throughout the shared wait.
TEST_F(Engine, BusyQueuesShareOneStableWait) {
  QueueFolders a, b, c;
  AddQueue(host.table, "A", a);
  AddQueue(host.table, "B", b);
  AddQueue(host.table, "C", c);
  WriteFile(a.in + "/a.pdf", "1");
  WriteFile(b.in + "/b1.pdf", "2");
  WriteFile(b.in + "/b2.pdf", "3");
  test::SetTimes(b.in + "/b1.pdf", 1'700'000'000, 1'700'000'000);  // the older goes first
  WriteFile(c.in + "/c.pdf", "4");
  QueueStatusBoard board;
  std::vector<std::vector<std::pair<int, int>>> seen;  // per slice: waiting, seconds left
  clock.hook = [&](int) {
    std::vector<std::pair<int, int>> rows;
    for (const QueueStatus& s : board.Snapshot(host.table, clock.Now())) {
      EXPECT_EQ(s.state, QueueStatus::State::kServing) << s.name;
      rows.emplace_back(s.waiting, s.stableSecondsLeft);
    }
    seen.push_back(rows);
    EXPECT_TRUE(host.EventsOf(HostEvent::kIcon).empty());  // nobody is served while all wait
  };
  std::vector<HostEvent> lastIcons;  // the last icon event as each queue is named
  stages.onResolve = [&](Trenamethread&, PassContext&) {
    lastIcons.push_back(host.EventsOf(HostEvent::kIcon).back());
  };
  Trenamethread engine({host, files, clock, &stages, nullptr, nullptr, &board}, control);
  ASSERT_TRUE(engine.ScanQueues().ok());

  EXPECT_EQ(clock.Sleeps(), std::vector<int>(10, 200));  // 2 s once, not three times
  EXPECT_EQ(stages.readyNames, (std::vector<std::string>{"a.pdf", "b1.pdf", "b2.pdf", "c.pdf"}));
  EXPECT_EQ(stages.delivered, 3);
  EXPECT_EQ(lastIcons,
            (std::vector<HostEvent>{Icon(1, kActive), Icon(2, kActive), Icon(3, kActive)}));
  for (int slot = 1; slot <= 3; ++slot) {
    EXPECT_EQ(host.IconsOf(slot), (std::vector<int>{kActive, kIdle})) << slot;
  }
  ASSERT_EQ(seen.size(), 10u);
  EXPECT_EQ(seen[0], (std::vector<std::pair<int, int>>{{1, 2}, {2, 2}, {1, 2}}));
  EXPECT_EQ(seen[9], (std::vector<std::pair<int, int>>{{1, 1}, {2, 1}, {1, 1}}));
  for (const QueueStatus& s : board.Snapshot(host.table, clock.Now())) {
    EXPECT_EQ(s.state, QueueStatus::State::kIdle) << s.name;
    EXPECT_EQ(s.waiting, 0) << s.name;  // all proved stable
  }
}

// A file written during the shared wait is not ready in that pass, in
// whichever queue it lies; the quiet files beside it and in the other queues
// are. The next pass takes it once it has stayed unchanged.
TEST_F(Engine, AFileGrowingDuringTheSharedWaitIsNotTaken) {
  QueueFolders a, b, c;
  AddQueue(host.table, "A", a);
  AddQueue(host.table, "B", b);
  AddQueue(host.table, "C", c);
  WriteFile(a.in + "/a.pdf", "1");
  WriteFile(b.in + "/quiet.pdf", "1");
  WriteFile(b.in + "/busy.pdf", "1");
  WriteFile(c.in + "/c.pdf", "1");
  bool growing = true;
  clock.hook = [&](int) {
    if (growing) WriteFile(b.in + "/busy.pdf", std::string(clock.Sleeps().size() + 1, 'x'));
  };
  Trenamethread engine = MakeEngine();
  ASSERT_TRUE(engine.ScanQueues().ok());
  EXPECT_EQ(stages.readyNames, (std::vector<std::string>{"a.pdf", "quiet.pdf", "c.pdf"}));

  growing = false;
  stages.readyNames.clear();
  ASSERT_TRUE(engine.ScanQueues().ok());
  EXPECT_EQ(stages.readyNames.size(), 4u);
  EXPECT_EQ(std::count(stages.readyNames.begin(), stages.readyNames.end(), "busy.pdf"), 1);
}

// A queue disabled or deleted while all wait is not delivered; the others
// are, after the whole wait. Only when every waiting queue has gone does the
// wait end early. Every queue whose pass began hears its end on the board.
TEST_F(Engine, AQueueLeavingTheSharedWaitIsNotDeliveredWhileTheOthersAre) {
  const struct {
    const char* what;
    std::vector<int> disable;  // slots disabled at the third slice
    int deleteSlot;            // deleted at the third slice, or 0
    std::vector<std::string> ready;
    int slices;
    std::vector<int> servedSlots;  // where an icon went active, in order
  } cases[] = {
      {"B disabled", {2}, 0, {"a.pdf", "c.pdf"}, 10, {1, 3}},
      {"B deleted, C moves up", {}, 2, {"a.pdf", "c.pdf"}, 10, {1, 2}},
      {"all disabled", {1, 2, 3}, 0, {}, 3, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Rig r;
    QueueFolders qa, qb, qc;
    AddQueue(r.host.table, "A", qa);
    AddQueue(r.host.table, "B", qb);
    AddQueue(r.host.table, "C", qc);
    WriteFile(qa.in + "/a.pdf", "1");
    WriteFile(qb.in + "/b.pdf", "2");
    WriteFile(qc.in + "/c.pdf", "3");
    r.clock.hook = [&](int) {
      if (r.clock.Sleeps().size() != 3) return;
      for (int slot : c.disable) {
        r.host.table.Update(slot, [](QueueRecord& q) { q.Enabled = false; });
      }
      if (c.deleteSlot != 0) {
        ASSERT_TRUE(r.host.table.Delete(c.deleteSlot).ok());
      }
    };
    Trenamethread engine = r.MakeEngine();
    ASSERT_TRUE(engine.ScanQueues().ok());
    EXPECT_EQ(r.stages.readyNames, c.ready);
    EXPECT_EQ(r.clock.CountSleeps(200), c.slices);
    EXPECT_EQ(r.files.StatsOf(qb.in), 0);  // B's files were never looked at again
    EXPECT_EQ(ServedSlots(r.host), c.servedSlots);
    for (const QueueStatus& s : r.board.Snapshot(r.host.table, r.clock.Now())) {
      EXPECT_NE(s.state, QueueStatus::State::kServing) << s.name;
      EXPECT_GT(s.lastPass, 0) << s.name;
    }
  }
}

// A switch-off or a stop during the shared wait ends it within the slice:
// no stability check, nothing named, no icon, and no queue left serving.
TEST_F(Engine, ASwitchOffOrStopEndsTheSharedWaitWithinOneSlice) {
  for (const bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "stop" : "switch-off");
    Rig r;
    QueueFolders qa, qb, qc;
    for (const QueueFolders* f : {&qa, &qb, &qc}) {
      AddQueue(r.host.table, "Q", *f);
      WriteFile(f->in + "/x.pdf", "1");
    }
    r.clock.hook = [&](int) {
      if (r.clock.Sleeps().size() != 4) return;
      if (stop) {
        r.control->stop = true;
      } else {
        r.host.settings.switchedOn = false;
      }
    };
    Trenamethread engine = r.MakeEngine();
    ASSERT_TRUE(engine.ScanQueues().ok());
    EXPECT_EQ(r.clock.Sleeps(), std::vector<int>(4, 200));
    EXPECT_EQ(r.files.Stats(), 0);
    EXPECT_EQ(r.stages.resolved, 0);
    EXPECT_EQ(r.stages.delivered, 0);
    EXPECT_TRUE(r.host.EventsOf(HostEvent::kIcon).empty());
    for (const QueueStatus& s : r.board.Snapshot(r.host.table, r.clock.Now())) {
      EXPECT_EQ(s.state, QueueStatus::State::kIdle) << s.name;
      EXPECT_EQ(s.stableSecondsLeft, 0) << s.name;
    }
  }
}

TEST_F(Engine, SwitchingOffOrDisablingEndsTheStageAfterTheCurrentFile) {
  for (const bool disable : {false, true}) {
    SCOPED_TRACE(disable ? "disabled" : "switched off");
    RecordingHost h;
    h.settings.switchedOn = true;
    h.settings.stabletime = 2;
    CountingFiles fs;
    FakeClock ck;
    RecordingStages st;
    auto ctl = std::make_shared<EngineControl>();
    QueueFolders a, b;
    AddQueue(h.table, "A", a);
    AddQueue(h.table, "B", b);
    for (int i = 0; i < 5; ++i) WriteFile(a.in + "/f" + std::to_string(i), "x");
    WriteFile(b.in + "/g", "x");
    const std::uint64_t uidA = h.table.Record(1)->uid;
    fs.onStat = [&](const std::string& path, int) {
      if (fs.StatsOf(a.in) != 2 || path.rfind(a.in, 0) != 0) return;
      if (disable) {
        h.table.UpdateQueue(uidA, [](QueueRecord& q) { q.Enabled = false; });
      } else {
        h.settings.switchedOn = false;
      }
    };
    Trenamethread engine({h, fs, ck, &st, nullptr}, ctl);
    ASSERT_TRUE(engine.ScanQueues().ok());
    EXPECT_EQ(fs.StatsOf(a.in), 2);           // the second file completed, no third was checked
    EXPECT_EQ(st.resolved, disable ? 1 : 0);  // B is still served when only A was disabled
    if (disable) {
      EXPECT_EQ(st.readyNames, (std::vector<std::string>{"g"}));
      EXPECT_EQ(h.IconsOf(2), (std::vector<int>{kActive, kIdle}));
    } else {
      EXPECT_EQ(fs.StatsOf(b.in), 0);  // the rest of the pass is skipped
      EXPECT_TRUE(h.IconsOf(2).empty());
    }
    EXPECT_EQ(ck.CountSleeps(100), 0);
  }
}

TEST_F(Engine, StopDuringTheStableWaitEndsAfterTheSliceAndSetsFinished) {
  QueueFolders f;
  AddQueue(host.table, "A", f);
  WriteFile(f.in + "/a.pdf", "x");
  // The worker makes its own control; the hook gets it once Start returns.
  std::atomic<EngineControl*> started{nullptr};
  std::atomic<int> stableSlices{0};
  clock.hook = [&](int ms) {
    if (ms != 200) return;
    ++stableSlices;
    while (started.load() == nullptr) std::this_thread::yield();
    started.load()->stop = true;  // the window is closing
  };
  std::shared_ptr<EngineControl> ctl = Trenamethread::Start(Services());
  started = ctl.get();
  ASSERT_TRUE(WaitFinished(*ctl));
  EXPECT_EQ(stableSlices, 1);
  EXPECT_EQ(files.StatsOf(f.in), 0);  // no stability check
  EXPECT_EQ(stages.resolved, 0);
  EXPECT_EQ(stages.released, 1);
}

// Queues with nothing to do cost a listing each and no time: a pass over
// twenty empty queues sleeps not at all. A stop ends the discovery at once.
TEST_F(Engine, IdleQueuesCostNoPauseAndAStopEndsTheDiscovery) {
  std::vector<std::unique_ptr<QueueFolders>> folders;
  for (int i = 1; i <= 20; ++i) {
    folders.push_back(std::make_unique<QueueFolders>());
    AddQueue(host.table, "Q" + std::to_string(i), *folders.back());
  }
  Trenamethread engine = MakeEngine();
  ASSERT_TRUE(engine.ScanQueues().ok());
  EXPECT_TRUE(clock.Sleeps().empty());
  EXPECT_EQ(files.Lists(), 20);
  EXPECT_TRUE(host.EventsOf(HostEvent::kIcon).empty());

  int begun = 0;
  host.onEvent = [&](const HostEvent& e) {
    if (e.kind == HostEvent::kFtp && ++begun == 2) control->stop = true;  // at the second queue
  };
  ASSERT_TRUE(engine.ScanQueues().ok());
  EXPECT_EQ(files.Lists(), 22);  // the second queue's listing was under way
  EXPECT_EQ(files.ListsOf(folders[2]->root.path().string()), 1);
  EXPECT_TRUE(clock.Sleeps().empty());
}

TEST_F(Engine, AFailedPreCheckSkipsTheQueueSilently) {
  QueueFolders a, b;
  AddQueue(host.table, "A", a, [&](QueueRecord& q) { q.Outputfolder = a.root / "missing"; });
  AddQueue(host.table, "B", b);
  WriteFile(a.in + "/a.pdf", "x");
  WriteFile(b.in + "/b.pdf", "x");
  Trenamethread engine = MakeEngine();
  ASSERT_TRUE(engine.ScanQueues().ok());
  EXPECT_EQ(files.ListsOf(a.in), 0);
  EXPECT_EQ(stages.readyNames, (std::vector<std::string>{"b.pdf"}));
  EXPECT_EQ(host.EventsOf(HostEvent::kFtp).size(), 1u);  // B's pass only
  EXPECT_TRUE(host.IconsOf(1).empty());                  // A had no work of its own
  EXPECT_EQ(host.IconsOf(2), (std::vector<int>{kActive, kIdle}));
}

// One queue's failure ends that queue's pass only: the queues after it are
// served in the same pass, and the operator hears of it once per cause, not
// in every cycle.
TEST_F(Engine, AnErrorEscapingAQueuesPassEndsOnlyThatQueueAndIsReportedOnce) {
  const struct {
    const char* what;
    bool badMask;
    const char* reason;
  } cases[] = {{"invalid ignore mask", true, "[abc"}, {"stage throws", false, "resolve failed"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingHost h;
    h.settings.switchedOn = true;
    CountingFiles fs;
    FakeClock ck;
    RecordingStages st;
    if (!c.badMask) {
      st.onResolve = [](Trenamethread&, PassContext& pass) {
        if (pass.queue->name == "A") throw std::runtime_error("resolve failed");
      };
    }
    auto ctl = std::make_shared<EngineControl>();
    QueueFolders a, b;
    AddQueue(h.table, "A", a, [&](QueueRecord& q) {
      if (c.badMask) q.ignoremask = "*.tmp;[abc";
    });
    AddQueue(h.table, "B", b);
    WriteFile(a.in + "/a.pdf", "x");
    WriteFile(b.in + "/b.pdf", "x");
    int cycles = 0;
    h.onEvent = [&](const HostEvent& e) {
      if (e == Progress(0) && ++cycles == 3) ctl->stop = true;
    };
    std::vector<VisualLogEntry> rows;
    VisualLog visual(ck, DefaultRegionalSettings(),
                     [&](VisualLogEntry e) { rows.push_back(std::move(e)); });
    Trenamethread engine({h, fs, ck, &st, nullptr, &visual}, ctl);
    engine.Execute();  // two whole cycles
    EXPECT_EQ(fs.ListsOf(a.in), 2);
    EXPECT_EQ(fs.ListsOf(b.in), 2);  // B is served in both cycles
    EXPECT_EQ(st.readyNames.back(), "b.pdf");
    // A's icon goes back to idle after its failed pass, as after any other;
    // failing in discovery it never reached work of its own.
    EXPECT_EQ(h.IconsOf(1),
              c.badMask ? std::vector<int>{} : (std::vector<int>{kActive, kIdle, kActive, kIdle}));
    ASSERT_EQ(rows.size(), 1u);  // the same cause in the second cycle stays quiet
    EXPECT_EQ(rows[0].queue, "A");
    EXPECT_EQ(rows[0].status, 2);
    EXPECT_TRUE(rows[0].problem);
    EXPECT_EQ(rows[0].comment, "Queue \"A\" not served");
    EXPECT_NE(rows[0].reason.find(c.reason), std::string::npos) << rows[0].reason;
  }
}

// A cause that goes away and comes back is reported again.
TEST_F(Engine, AQueueProblemIsReportedAgainAfterItWentAway) {
  host.settings.switchedOn = true;
  QueueFolders a;
  AddQueue(host.table, "A", a, [](QueueRecord& q) { q.ignoremask = "[abc"; });
  WriteFile(a.in + "/a.pdf", "x");
  std::vector<VisualLogEntry> rows;
  VisualLog visual(clock, DefaultRegionalSettings(),
                   [&](VisualLogEntry e) { rows.push_back(std::move(e)); });
  auto ctl = std::make_shared<EngineControl>();
  Trenamethread engine({host, files, clock, &stages, nullptr, &visual}, ctl);
  EXPECT_FALSE(engine.ScanQueues().ok());
  EXPECT_FALSE(engine.ScanQueues().ok());
  EXPECT_EQ(rows.size(), 1u);
  host.table.Update(1, [](QueueRecord& q) { q.ignoremask = "none"; });
  EXPECT_TRUE(engine.ScanQueues().ok());
  host.table.Update(1, [](QueueRecord& q) { q.ignoremask = "[abc"; });
  EXPECT_FALSE(engine.ScanQueues().ok());
  EXPECT_EQ(rows.size(), 2u);
}

// A file's problem is told once while the file stays; once the file has gone
// it is forgotten (a long run must not remember every file it ever met), so
// the same name coming back is told as a new file.
TEST_F(Engine, AFilesProblemIsForgottenOnceTheFileHasGone) {
  host.settings.switchedOn = true;
  QueueFolders a;
  AddQueue(host.table, "A", a);
  std::vector<VisualLogEntry> rows;
  VisualLog visual(clock, DefaultRegionalSettings(),
                   [&](VisualLogEntry e) { rows.push_back(std::move(e)); });
  stages.onResolve = [](Trenamethread& engine, PassContext& pass) {
    for (int k = 1; k <= pass.files.count(); ++k) {
      engine.ReportProblem(pass, pass.files.at(k).oldname, "Cannot rename", "refused");
    }
  };
  auto ctl = std::make_shared<EngineControl>();
  Trenamethread engine({host, files, clock, &stages, nullptr, &visual}, ctl);
  const struct {
    bool present;
    std::size_t rowsAfter;
  } passes[] = {{true, 1}, {true, 1}, {false, 1}, {true, 2}};
  for (const auto& p : passes) {
    if (p.present)
      WriteFile(a.in + "/a.pdf", "x");
    else
      std::filesystem::remove(a.in + "/a.pdf");
    EXPECT_TRUE(engine.ScanQueues().ok());
    EXPECT_EQ(rows.size(), p.rowsAfter);
  }
}

// An FTP intake that lists one remote file and "fetches" it when asked.
class FakeFtp : public FtpIntake {
 public:
  bool PrepareFtp(Trenamethread&, const RecordPtr& queue) override {
    ++prepared;
    preparedFor = queue->name;
    return serverUp;
  }
  Status ListRemote(Trenamethread&, PassContext& pass) override {
    ++listed;
    pass.files.at(1).oldname = "remote.pdf";
    pass.files.set_count(1);
    return listingFails ? Status::Error("listing failed") : Status::Ok();
  }
  Status FetchStable(Trenamethread&, PassContext& pass) override {
    ++fetched;
    fetchedInto = pass.inputFolder;
    pass.files.at(1).ready = true;
    return Status::Ok();
  }
  bool serverUp = true;
  bool listingFails = false;
  int prepared = 0, listed = 0, fetched = 0;
  std::string preparedFor, fetchedInto;
};

TEST_F(Engine, FtpQueuesGoThroughTheFtpIntake) {
  QueueFolders f;
  AddQueue(host.table, "Remote", f, [&](QueueRecord& q) {
    q.FTPuse = true;
    q.Inputfolder = "";  // not needed for an FTP queue
    q.FTPTemppath = f.root / "fetched";
  });
  std::filesystem::create_directory(f.root / "fetched");
  {
    Trenamethread engine = MakeEngine();  // no intake: the queue is skipped
    ASSERT_TRUE(engine.ScanQueues().ok());
    EXPECT_TRUE(host.EventsOf(HostEvent::kFtp).empty());
  }
  FakeFtp intake;
  ftp = &intake;
  Trenamethread engine = MakeEngine();
  intake.serverUp = false;
  ASSERT_TRUE(engine.ScanQueues().ok());
  EXPECT_EQ(intake.prepared, 1);
  EXPECT_EQ(intake.listed, 0);
  EXPECT_TRUE(host.EventsOf(HostEvent::kFtp).empty());

  intake.serverUp = true;
  ASSERT_TRUE(engine.ScanQueues().ok());
  EXPECT_EQ(intake.preparedFor, "Remote");
  EXPECT_EQ(intake.listed, 1);
  EXPECT_EQ(intake.fetched, 1);
  EXPECT_EQ(intake.fetchedInto, f.root / "fetched/Remote/");  // the queue's own folder there
  EXPECT_EQ(stages.readyNames, (std::vector<std::string>{"remote.pdf"}));
  EXPECT_EQ(clock.CountSleeps(200), 10);  // the stable wait lies between listing and fetch
  EXPECT_EQ(files.Lists(), 0);            // nothing local was listed

  intake.listingFails = true;
  EXPECT_FALSE(engine.ScanQueues().ok());
  EXPECT_EQ(intake.fetched, 1);
}

// The shared wait changes when files are looked at, never what becomes of
// them: over a mixed table, one pass gives the files, in the same order, that
// serving each queue on its own with its own wait gives. The FTP queue keeps
// its own wait inside its turn.
TEST_F(Engine, AMixedTableGivesTheOutcomeOfServingEachQueueAlone) {
  QueueFolders busy, empty, off, missing, remote, last;
  AddQueue(host.table, "Busy", busy);
  AddQueue(host.table, "Empty", empty);
  AddQueue(host.table, "Off", off, [](QueueRecord& q) { q.Enabled = false; });
  AddQueue(host.table, "Missing", missing,
           [&](QueueRecord& q) { q.Inputfolder = missing.root / "gone"; });
  AddQueue(host.table, "Remote", remote, [&](QueueRecord& q) {
    q.FTPuse = true;
    q.Inputfolder = "";
    q.FTPTemppath = remote.in;
  });
  AddQueue(host.table, "Last", last);
  // Oldest first within a queue, whatever the listing order.
  for (const auto& [name, seconds] :
       {std::pair<const char*, int>{"new.pdf", 3000}, {"old.pdf", 1000}, {"mid.pdf", 2000}}) {
    WriteFile(busy.in + "/" + name, name);
    test::SetTimes(busy.in + "/" + name, 1'700'000'000 + seconds, 1'700'000'000 + seconds);
  }
  WriteFile(off.in + "/off.pdf", "x");
  WriteFile(missing.in + "/missing.pdf", "x");
  WriteFile(last.in + "/last.pdf", "x");

  FakeFtp intake;
  QueueStatusBoard board;
  stages.onResolve = [&](Trenamethread&, PassContext& pass) {
    // Named while its own icon is the active one.
    EXPECT_EQ(host.EventsOf(HostEvent::kIcon).back(), Icon(pass.slot, kActive)) << pass.slot;
  };
  Trenamethread engine({host, files, clock, &stages, &intake, nullptr, &board}, control);
  ASSERT_TRUE(engine.ScanQueues().ok());
  const std::vector<std::string> together = stages.readyNames;
  EXPECT_EQ(clock.CountSleeps(200), 20);  // the shared wait and the FTP queue's own
  EXPECT_EQ(clock.CountSleeps(100), 1);   // the pause before the FTP session
  EXPECT_EQ(ServedSlots(host), (std::vector<int>{1, 5, 6}));
  const std::vector<QueueStatus> rows = board.Snapshot(host.table, clock.Now());
  EXPECT_EQ(rows[3].state, QueueStatus::State::kFailing);
  EXPECT_NE(rows[3].lastFailure.find("the input folder"), std::string::npos) << rows[3].lastFailure;

  stages.readyNames.clear();
  stages.onResolve = nullptr;  // no icons outside a pass over the table
  for (int slot = 1; slot <= host.table.Nfolders(); ++slot) {
    ASSERT_TRUE(engine.ProcessQueue(slot).ok());
  }
  EXPECT_EQ(together, stages.readyNames);
  EXPECT_EQ(together,
            (std::vector<std::string>{"old.pdf", "mid.pdf", "new.pdf", "remote.pdf", "last.pdf"}));
}

// An FTP queue's turn takes the queue as it stands when the turn comes: one
// disabled while the local queues wait is not served in that pass.
TEST_F(Engine, AnFtpQueueDisabledDuringTheSharedWaitIsNotServed) {
  QueueFolders local, remote;
  AddQueue(host.table, "Local", local);
  AddQueue(host.table, "Remote", remote, [&](QueueRecord& q) {
    q.FTPuse = true;
    q.Inputfolder = "";
    q.FTPTemppath = remote.in;
  });
  WriteFile(local.in + "/a.pdf", "x");
  clock.hook = [&](int) { host.table.Update(2, [](QueueRecord& q) { q.Enabled = false; }); };
  FakeFtp intake;
  ftp = &intake;
  Trenamethread engine = MakeEngine();
  ASSERT_TRUE(engine.ScanQueues().ok());
  EXPECT_EQ(stages.readyNames, (std::vector<std::string>{"a.pdf"}));
  EXPECT_EQ(intake.prepared, 0);
  EXPECT_EQ(clock.Sleeps(), std::vector<int>(10, 200));  // the shared wait only
  EXPECT_EQ(ServedSlots(host), (std::vector<int>{1}));
}

TEST_F(Engine, WritesReachTheServedQueueWhereverItMoved) {
  QueueFolders a, b;
  AddQueue(host.table, "A", a);
  AddQueue(host.table, "B", b);
  WriteFile(b.in + "/b.pdf", "x");
  const struct {
    const char* what;
    int deleteSlot;  // deleted while B is being named
    bool reload;     // and the table reloaded from a copy
    bool written;
    bool delivered;
  } cases[] = {
      {"A deleted, B moves to slot 1", 1, false, true, true},
      {"B itself deleted", 2, false, false, false},
      {"table reloaded", 0, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const QueueTable::State before = host.table.Snapshot();
    stages.delivered = 0;
    bool updated = false;
    stages.onResolve = [&](Trenamethread& engine, PassContext& pass) {
      if (c.deleteSlot != 0) {
        ASSERT_TRUE(host.table.Delete(c.deleteSlot).ok());
      }
      if (c.reload) host.table.Replace(host.table.Snapshot());
      updated = engine.UpdateQueue(pass, [](QueueRecord& q) { q.FTPcurrentpath = "written"; });
    };
    Trenamethread engine = MakeEngine();
    ASSERT_TRUE(engine.ProcessQueue(2).ok());
    EXPECT_EQ(updated, c.written);
    for (int slot = 1; slot <= host.table.Nfolders(); ++slot) {
      const RecordPtr r = host.table.Record(slot);
      EXPECT_EQ(r->FTPcurrentpath, r->name == "B" && c.written ? "written" : "") << slot;
    }
    // A queue gone from the table fails the guard: no delivery for it.
    EXPECT_EQ(stages.delivered, c.delivered ? 1 : 0);
    host.table.Replace(before);
  }
}

// The engine keeps serving while another thread edits, appends, deletes and
// reloads the table and flips the switch. Each pass writes its own queue's
// identity into that queue's record; no record may ever hold another's.
TEST(EngineThreads, RunsWhileTheTableIsEditedUnderIt) {
  RecordingHost host;
  host.keepEvents = false;
  host.settings.switchedOn = true;
  SystemFileAccess files;
  FakeClock clock;
  struct MarkingStages : EngineStages {
    Status ResolveNames(Trenamethread& engine, PassContext& pass) override {
      ++passes;
      // Naming takes a while, long enough for the table to change under it.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      engine.UpdateQueue(pass, [&](QueueRecord& q) {
        if (q.uid != pass.uid) ++strayWrites;
        q.lastlogrenew = static_cast<double>(pass.uid);
      });
      return Status::Ok();
    }
    std::atomic<int> passes{0}, strayWrites{0};
  } stages;
  std::atomic<int>& passes = stages.passes;

  test::TempDir config;
  std::vector<std::unique_ptr<QueueFolders>> pool;
  for (int i = 0; i < 6; ++i) {
    pool.push_back(std::make_unique<QueueFolders>());
    for (int k = 0; k < 3; ++k) WriteFile(pool[i]->in + "/f" + std::to_string(k), "x");
    AddQueue(host.table, "Q" + std::to_string(i), *pool[i]);
  }

  std::shared_ptr<EngineControl> control = Trenamethread::Start({host, files, clock, &stages});
  std::mt19937 random(7);
  int names = 100;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int op = 0; op < 1500 || passes.load() < 30; ++op) {
    if (std::chrono::steady_clock::now() > deadline) break;
    QueueTable& table = host.table;
    const int n = table.Nfolders();
    switch (random() % 6) {
      case 0:
        if (n > 0) {
          table.Update(1 + static_cast<int>(random() % n),
                       [](QueueRecord& q) { q.Enabled = !q.Enabled; });
        }
        break;
      case 1:
        if (n < 10) {
          const auto& f = *pool[random() % pool.size()];
          (void)table.Append([&](QueueRecord& q) {
            q.name = "N" + std::to_string(names++);
            q.Inputfolder = f.in;
            q.Outputfolder = f.out;
            q.Errorfolder = "";
            q.Searchmask = "*.*";
            q.Enabled = true;
            q.lastlogrenew = 0;  // a new queue starts unmarked
          });
        }
        break;
      case 2:
        if (n > 2) (void)table.Delete(1 + static_cast<int>(random() % n));
        break;
      case 3: {
        // The configuration dialog's OK saves the table, its Cancel reloads it.
        const QueueConfigFile file(config / QueueConfigFile::kFileName);
        ASSERT_TRUE(file.Save(table).ok());
        EXPECT_TRUE(file.Load(table).empty());
        break;
      }
      case 4:
        host.settings.switchedOn = random() % 4 != 0;
        break;
      default:
        host.settings.stabletime = 1 + static_cast<int>(random() % 3);
        break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  host.settings.switchedOn = true;
  control->stop = true;
  for (int i = 0; i < 4000 && !control->finished; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(control->finished);
  EXPECT_GE(passes.load(), 30);
  EXPECT_EQ(stages.strayWrites, 0);
  for (int slot = 1; slot <= QueueTable::kSlots; ++slot) {
    const RecordPtr r = host.table.Record(slot);
    if (r->lastlogrenew != 0) {
      EXPECT_EQ(r->lastlogrenew, static_cast<double>(r->uid)) << "slot " << slot;
    }
  }
}

// A stop is honoured at once, not after the current slice of a long wait: a
// browse time of 1000 seconds has slices of 100 seconds, and a stable time of
// 1000 seconds the same.
TEST(EngineStop, WakesTheBrowseAndStableWaitsAtOnce) {
  for (const bool inStableWait : {false, true}) {
    SCOPED_TRACE(inStableWait ? "stable wait" : "browse wait");
    RecordingHost h;
    h.settings.switchedOn = true;
    h.settings.browsetime = inStableWait ? 1 : 1000;
    h.settings.stabletime = 1000;
    QueueFolders a;
    AddQueue(h.table, "A", a);
    WriteFile(a.in + "/a.pdf", "x");
    SystemClock clock;
    SystemFileAccess files;
    std::atomic<bool> inPass{false};
    h.onEvent = [&](const HostEvent& e) {
      if (e.kind == HostEvent::kFtp) inPass = true;  // the pass has begun
    };
    const auto started = std::chrono::steady_clock::now();
    std::shared_ptr<EngineControl> control = Trenamethread::Start({h, files, clock});
    // In the stable wait: the pass has begun and sleeps its first slice.
    if (inStableWait) {
      for (int i = 0; i < 400 && !inPass; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      ASSERT_TRUE(inPass.load());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    control->stop = true;
    for (int i = 0; i < 3000 && !control->finished; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Far below a single slice of 100 seconds.
    EXPECT_TRUE(control->finished.load());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  }
}

// A file closed in a watched input folder ends the browse wait, so only the
// stable time stands between it and its delivery; unwatched, it waits for
// the next pass as before.
TEST(EngineWatch, AFileClosedInAWatchedFolderIsTakenWithoutWaitingForTheBrowseInterval) {
  struct Row {
    bool watch;
    int browsetime;
    std::chrono::milliseconds earliest, latest;  // from the write to its naming
  } const rows[] = {
      // Watched, half the browse interval is the bound: far above the stable
      // time, so a loaded machine does not fail it, far below the interval.
      {true, 30, std::chrono::milliseconds(900), std::chrono::milliseconds(15000)},
      {false, 2, std::chrono::milliseconds(1500), std::chrono::milliseconds(15000)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.watch ? "watched" : "not watched");
    RecordingHost h;
    h.settings.switchedOn = true;
    h.settings.browsetime = row.browsetime;
    h.settings.stabletime = 1;
    QueueFolders a;
    AddQueue(h.table, "A", a);
    SystemClock clock;
    SystemFileAccess files;
    RecordingStages stages;
    InotifyFolderWatcher watcher;
    ASSERT_TRUE(watcher.usable());
    std::atomic<bool> named{false};
    stages.onResolve = [&](Trenamethread&, PassContext& pass) {
      if (pass.files.count() > 0 && pass.files.at(1).ready) named = true;
    };
    EngineServices services{h, files, clock, &stages};
    if (row.watch) services.watcher = &watcher;
    std::shared_ptr<EngineControl> control = Trenamethread::Start(services);
    // The first browse wait is under way; the queue is quiet.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto written = std::chrono::steady_clock::now();
    WriteFile(a.in + "/a.pdf", "x");
    while (!named && std::chrono::steady_clock::now() - written < std::chrono::seconds(20)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto took = std::chrono::steady_clock::now() - written;
    control->stop = true;
    for (int i = 0; i < 3000 && !control->finished; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(control->finished.load());
    EXPECT_TRUE(named.load());
    // Never before its stable time, whatever woke the engine.
    EXPECT_GE(took, row.earliest);
    EXPECT_LE(took, row.latest);
  }
}

}  // namespace
}  // namespace zf
