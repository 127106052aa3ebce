// The queue configuration rewritten by the dialog's own operations, a
// thousand times in ten seconds, while the real engine runs its passes over
// real folders on its own thread: the engine must only ever see whole
// records, no input may be lost on the way, and the saved file must hold
// the last state.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/datetimepattern.h"
#include "config/queueediting.h"
#include "config/queuefile.h"
#include "deliverytestkit.h"
#include "engine/standardstages.h"
#include "enginetestkit.h"
#include "faultkit.h"
#include "invariants.h"

namespace zf::fault {
namespace {

namespace fs = std::filesystem;

// Every edit below stores this in the record's (unused) plugin host field in
// the same step as the fields it covers; a record seen with another value
// was published half-written.
std::string Signature(const QueueRecord& r) {
  return r.name + "|" + r.Inputfolder + "|" + r.Outputfolder + "|" + r.rule(1).format + "|" +
         r.rule(2).format + "|" + (r.Enabled ? "on" : "off") + "|" + r.Searchmask;
}

// The program's naming and delivery, with a look at each pass's record first.
class CheckingStages final : public EngineStages {
 public:
  explicit CheckingStages(EngineStages& inner) : inner_(inner) {}
  void PrepareThread() override { inner_.PrepareThread(); }
  void ReleaseThread() override { inner_.ReleaseThread(); }
  Status ResolveNames(Trenamethread& engine, PassContext& pass) override {
    Check(*pass.queue);
    return inner_.ResolveNames(engine, pass);
  }
  Status DeliverFiles(Trenamethread& engine, PassContext& pass) override {
    Check(*pass.queue);
    return inner_.DeliverFiles(engine, pass);
  }

  std::atomic<int> checked{0};
  std::string Torn() {
    std::lock_guard lock(mutex_);
    return torn_;
  }

 private:
  void Check(const QueueRecord& r) {
    ++checked;
    if (r.HostName == Signature(r)) return;
    std::lock_guard lock(mutex_);
    if (torn_.empty())
      torn_ = "record \"" + r.name + "\" holds " + r.HostName + ", fields say " + Signature(r);
  }

  EngineStages& inner_;
  std::mutex mutex_;
  std::string torn_;
};

class ConfigRace : public testing::Test {
 protected:
  ConfigRace() {
    for (int i = 0; i < 4; ++i) ins.push_back(root / ("in" + std::to_string(i)));
    for (int i = 0; i < 3; ++i) outs.push_back(root / ("out" + std::to_string(i)));
    for (const auto& f : ins) fs::create_directory(f);
    for (const auto& f : outs) fs::create_directory(f);
    fs::create_directory(err);
    fs::create_directory(logs);
    fs::create_directory(root / "config");
    paths.queueFile = root / "config/Zentrafold.ini";
    host.settings.switchedOn = true;
    host.keepEvents = false;
    // Passes run back to back in virtual time, with a real breath in each
    // sleep so the editing thread and the engine really interleave.
    clock.hook = [](int) { std::this_thread::sleep_for(std::chrono::microseconds(200)); };
    places.inputs = ins;
    places.outputs = outs;
    places.errors = {err};
    places.logFolders = {logs};
  }

  // A queue as the dialog's "new queue" leaves it, on the given folders.
  void Fill(QueueRecord& r, const std::string& name, const std::string& in,
            const std::string& out) {
    ResetFieldsTheDialogNeverWrites(r);
    r.FTPsession.reset();
    r.FTPuse = false;
    r.name = name;
    r.Inputfolder = in;
    r.Outputfolder = out;
    r.Errorfolder = err;
    r.Searchmask = "*.dat";
    r.ignoremask = "none";
    r.filetimetype = 2;
    r.Enabled = r.Enabledatstart = true;
    r.Makelog = true;
    r.Logfile = logs;
    r.logtype = name.size() % 2;  // CSV and XML logs both
    r.Maxentries = 100000;
    r.NRegularexpr = 2;
    r.rule(1) = Rule{R"(F_(\d+)\.dat)", "G_$1.dat", false, ""};
    r.rule(2) = Rule{R"(X_(\d+)\.dat)", "Y_$1.dat", false, ""};
    r.HostName = Signature(r);
  }

  ~ConfigRace() override { StopEngine(); }

  EngineServices Services() { return EngineServices{host, access, clock, &stages}; }
  // Stops the worker and waits until it touches nothing of this fixture.
  bool StopEngine() {
    if (!control) return true;
    control->stop = true;
    const bool finished = WaitUntil([&] { return control->finished.load(); });
    control.reset();
    return finished;
  }

  test::TempDir root;
  std::vector<std::string> ins, outs;
  std::string err = root / "err";
  std::string logs = root / "log";
  ConfigPaths paths;
  Places places;
  Ledger ledger;
  test::RecordingHost host;
  test::FakeClock clock;
  SystemFileAccess access;
  VisualLog visualLog{clock, DefaultRegionalSettings(), [](VisualLogEntry) {}};
  LogFileWriter writer{host.table, clock, "dd.mm.yyyy hh:nn:ss:zzz"};
  StandardStages standard{test::RealLibrary(), visualLog, writer, clock};
  CheckingStages stages{standard};
  std::shared_ptr<EngineControl> control;
};

// The names, folders, rules and switches of every queue, as the file holds
// them and as the table holds them.
std::vector<std::string> Described(const QueueTable& table) {
  std::vector<std::string> out;
  for (int slot = 1; slot <= table.Nfolders(); ++slot) {
    const RecordPtr r = table.Record(slot);
    out.push_back(Signature(*r) + "|" + r->HostName + "|" + r->rule(1).match + "|" +
                  (r->Enabledatstart ? "start" : "-"));
  }
  return out;
}

TEST(ConfigRaceSignature, TellsATornRecord) {
  // The check the engine side makes must catch a record whose fields were
  // changed without the rest.
  QueueRecord r;
  r.name = "Q";
  r.Outputfolder = "/a";
  r.HostName = Signature(r);
  EXPECT_EQ(r.HostName, Signature(r));
  r.Outputfolder = "/b";
  EXPECT_NE(r.HostName, Signature(r));
}

TEST_F(ConfigRace, AThousandDialogEditsWhileTheEngineRuns) {
  ASSERT_TRUE(test::RealLibrary().Has(EntryPoint::kFormatExpression));
  const QueueConfigFile file(paths.queueFile, DefaultFileSystem(), DefaultRegionalSettings());
  int names = 0;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(host.table
                    .Append([&](QueueRecord& r) {
                      Fill(r, "Q" + std::to_string(++names), ins[i], outs[i]);
                    })
                    .ok());
  }
  ASSERT_TRUE(file.Save(host.table).ok());

  const auto contentOf = [](int n) {
    return "input " + std::to_string(n) + " " + std::string(static_cast<std::size_t>(n % 97), 'x');
  };
  int fileNo = 0;
  const auto drop = [&](const std::string& folder) {
    const std::string name = "F_" + std::to_string(++fileNo) + ".dat";
    ledger.Add(name, contentOf(fileNo));
    DropFile(folder, name, contentOf(fileNo));
  };
  // Every content an input may have, so that a file seen half-written under
  // a final name shows while the edits run.
  Ledger possible;
  for (int n = 1; n <= 400; ++n) possible.Add("F_" + std::to_string(n) + ".dat", contentOf(n));
  Observer observer(possible, places, 25);
  observer.Start();
  for (int i = 0; i < 20; ++i) drop(ins[static_cast<std::size_t>(i % 4)]);

  control = Trenamethread::Start(Services());

  std::mt19937 random(17);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  std::map<std::string, int> done;
  std::string saveProblem;
  const auto start = std::chrono::steady_clock::now();
  constexpr int kOperations = 1000;
  for (int op = 0; op < kOperations; ++op) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(op * 10));
    const int count = host.table.Nfolders();
    // A queue by its shown name, as the dialog finds the one selected.
    const std::string shown = host.table.Record(1 + static_cast<int>(pick(count)))->name;
    const int slot = host.table.FindByName(shown);
    switch (op % 10) {
      case 0:  // "New queue", then Apply
        if (count < 40) {
          const auto appended = host.table.Append([&](QueueRecord& r) {
            Fill(r, "Q" + std::to_string(++names), ins[pick(ins.size())], outs[pick(outs.size())]);
          });
          ASSERT_TRUE(appended.ok()) << appended.status().message();
          ++done["add"];
        }
        break;
      case 1:
      case 2:
      case 3:
      case 9:  // the shown queue edited and applied: folders, rules, switch, mask
        host.table.Update(slot, [&](QueueRecord& r) {
          r.Inputfolder = ins[pick(ins.size())];
          r.Outputfolder = outs[pick(outs.size())];
          r.rule(1).format = op % 2 == 0 ? "G_$1.dat" : "H_$1.dat";
          r.Enabled = r.Enabledatstart = pick(5) != 0;
          r.Searchmask = pick(2) == 0 ? "*.dat" : "F_*";
          r.HostName = Signature(r);
        });
        ++done["edit"];
        break;
      case 4: {  // a queue moved to the end: deleted and added again as it was
        if (count < 2) break;
        const QueueRecord kept = host.table.Get(slot);
        ASSERT_TRUE(host.table.Delete(slot).ok());
        ASSERT_TRUE(host.table.Append([&](QueueRecord& r) { r = kept; }).ok());
        ++done["move queue"];
        break;
      }
      case 5:  // the rule list's up and down buttons
        host.table.Update(slot, [&](QueueRecord& r) {
          std::swap(r.rule(1), r.rule(2));
          r.HostName = Signature(r);
        });
        ++done["move rule"];
        break;
      case 6:  // "Delete"
        if (count > 2) {
          ASSERT_TRUE(host.table.Delete(slot).ok());
          ++done["delete"];
        }
        break;
      case 7:
        drop(ins[pick(ins.size())]);
        break;
      case 8: {  // "OK": the queue file saved, and read back as it now stands
        const std::vector<std::string> before = Described(host.table);
        const Status saved = file.Save(host.table);
        ASSERT_TRUE(saved.ok()) << saved.message();
        QueueTable reread;
        (void)file.Load(reread);
        if (Described(reread) != before && saveProblem.empty()) {
          saveProblem = "save " + std::to_string(op) + " does not read back as saved";
        }
        ++done["save"];
        break;
      }
    }
    if (op % 4 == 1) drop(ins[pick(ins.size())]);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
#if !defined(__SANITIZE_THREAD__)
  // Paced to ten seconds; a machine busy with other work may stretch that,
  // a stalled editor (one waiting for the engine) stretches it far more.
  // (ThreadSanitizer slows every step several times over; there the run only
  // has to end.)
  EXPECT_LT(seconds, 30.0) << "a thousand edits took too long";
#endif
  EXPECT_TRUE(saveProblem.empty()) << saveProblem;

  // Every input folder served again, and all saved, as an operator would
  // leave it: then everything must reach an output or the error folder.
  for (const std::string& in : ins) {
    ASSERT_TRUE(host.table
                    .Append([&](QueueRecord& r) {
                      Fill(r, "Final" + std::to_string(++names), in, outs[0]);
                    })
                    .ok());
  }
  const std::vector<std::string> last = Described(host.table);
  ASSERT_TRUE(file.Save(host.table).ok());
  const bool drained = WaitUntil([&] {
    int waiting = 0;
    for (const std::string& in : ins) waiting += CountFiles(in);
    return waiting == 0;
  });
  ASSERT_TRUE(StopEngine());
  EXPECT_TRUE(drained) << "inputs still waiting after the edits ended";
  const Findings seen = observer.Stop();
  EXPECT_LE(fileNo, 400) << "inputs the observer does not know";
  EXPECT_GT(observer.rounds(), 10u) << "the output folders were hardly watched";
  EXPECT_TRUE(seen.ok()) << seen.Text();

  EXPECT_GT(stages.checked.load(), 50) << "the engine hardly ran during the edits";
  EXPECT_EQ(stages.Torn(), "") << "the engine saw a half-written record";

  ASSERT_TRUE(RestartAndOnePass(Services(), paths).ok());
  std::string content = test::ReadFile(paths.queueFile);
  places.configFiles[paths.queueFile] = {content};
  const Findings findings = CheckAll(ledger, places);
  EXPECT_TRUE(findings.ok()) << findings.Text();

  QueueTable reread;
  const std::vector<std::string> warnings = file.Load(reread);
  EXPECT_TRUE(warnings.empty());
  EXPECT_EQ(Described(reread), last) << "the saved file does not hold the last state";

  std::string summary;
  for (const auto& [kind, n] : done) summary += " " + kind + "=" + std::to_string(n);
  std::printf("config race: %d operations in %.1f s:%s; %d inputs; %d engine checks\n", kOperations,
              seconds, summary.c_str(), fileNo, stages.checked.load());
}

}  // namespace
}  // namespace zf::fault
