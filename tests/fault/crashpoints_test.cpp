// Crash points through the write-path hook: each scenario's pass
// of the real engine (real delivery, log writer, expression library, FTP
// client against a real server, configuration saves) is killed before every
// one of its write steps in turn, the program is started again, and nothing
// may be lost, doubled, torn or left behind.

#include "crashpoints.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "config/configpaths.h"
#include "config/datetimepattern.h"
#include "config/queuefile.h"
#include "config/settingsfile.h"
#include "deliverytestkit.h"
#include "engine/delivery.h"
#include "engine/renamethread.h"
#include "engine/standardstages.h"
#include "enginetestkit.h"
#include "ftp/ftpleftovers.h"
#include "ftp/ftpstages.h"
#include "ftptestserver.h"
#include "log/logfile.h"
#include "testpdf.h"

namespace zf::fault {
namespace {

namespace fs = std::filesystem;
using test::WriteFile;

// ZF_FAULT_LONG=1: more files per scenario, hence more crash points.
bool LongMode() {
  const char* value = std::getenv("ZF_FAULT_LONG");
  return value != nullptr && *value != '\0' && std::string(value) != "0";
}
int FileCount(int normal) {
  return LongMode() ? normal * 3 : normal;
}

// Contents differ between scenarios and files, so the ledger tells every
// input apart wherever it lands.
std::string Content(const std::string& scenario, int i) {
  return "content of " + scenario + " file " + std::to_string(i) + "\n" +
         std::string(static_cast<std::size_t>(100 + 37 * i), static_cast<char>('a' + i % 26));
}

// A log that a writer of this program made earlier, with `entries` lines.
std::string OldCsvLog(int entries) {
  std::string text = "Log created 30042024 070000\r\n";
  for (int i = 0; i < entries; ++i) {
    text += "old" + std::to_string(i) + ".dat,O" + std::to_string(i) +
            ".dat,,OK,,30.04.2024 07:00:00:000,30.04.2024 07:00:00:000\r\n";
  }
  return text;
}

struct QueueFolders {
  std::string in, out, err;
};
QueueFolders FoldersOf(const std::string& root, const std::string& queue) {
  return {root + "/in-" + queue, root + "/out-" + queue, root + "/err-" + queue};
}

// An enabled local queue over its folders under `root`, logging into
// root/log; `edit` changes the rest.
void AddQueue(QueueTable& table, const std::string& root, const std::string& name,
              const std::function<void(QueueRecord&)>& edit) {
  const QueueFolders f = FoldersOf(root, name);
  table.Append([&](QueueRecord& r) {
    r.name = name;
    r.Inputfolder = f.in;
    r.Outputfolder = f.out;
    r.Errorfolder = f.err;
    r.Searchmask = "*.*";
    r.ignoremask = "none";
    r.filetimetype = 2;
    r.Enabled = true;
    r.Enabledatstart = true;
    r.Makelog = true;
    r.Logfile = root + "/log";
    r.Maxentries = 10000;
    if (edit) edit(r);
  });
}

using TableFill = std::function<void(QueueTable&, const std::string& root)>;

// Everything one pass of the engine is lent, as the program lends it.
struct EngineRig {
  EngineRig(const TableFill& fill, const std::string& root) {
    host.settings.switchedOn = true;
    host.keepEvents = false;
    fill(host.table, root);
  }
  void Pass() { (void)engine.ScanQueues(); }

  test::RecordingHost host;
  test::FakeClock clock;
  SystemFileAccess access;
  VisualLog visualLog{clock, DefaultRegionalSettings(), [](VisualLogEntry) {}};
  LogFileWriter writer{host.table, clock, "dd.mm.yyyy hh:nn:ss:zzz"};
  StandardStages stages{test::RealLibrary(), visualLog, writer, clock};
  FtpStages ftp{host.settings};
  std::shared_ptr<EngineControl> control = std::make_shared<EngineControl>();
  Trenamethread engine{EngineServices{host, access, clock, &stages, &ftp, &visualLog}, control};
};

// The places of the queues `names` under `root`, created.
Places LocalPlaces(const std::string& root, const std::vector<std::string>& names,
                   bool errorFolders = true) {
  Places places;
  for (const std::string& name : names) {
    const QueueFolders f = FoldersOf(root, name);
    fs::create_directories(f.in);
    fs::create_directories(f.out);
    places.inputs.push_back(f.in);
    places.outputs.push_back(f.out);
    if (errorFolders) {
      fs::create_directories(f.err);
      places.errors.push_back(f.err);
    }
  }
  fs::create_directories(root + "/log");
  places.logFolders.push_back(root + "/log");
  return places;
}

// A scenario of the engine over the queues `fill` makes; `files` writes the
// inputs of a run into local queues' folders. The restart serves the queues
// `restartPasses` times.
CrashScenario EngineScenario(std::string name, std::vector<std::string> queues, TableFill fill,
                             std::function<void(const std::string& root, Ledger&)> files,
                             bool errorFolders = true, int restartPasses = 1) {
  // Made in the parent; each child works on its own untouched copy.
  const auto rig = std::make_shared<std::unique_ptr<EngineRig>>();
  CrashScenario s;
  s.name = std::move(name);
  s.make = [=](const std::string& root, const PageHashes&, Ledger& ledger, Places& places) {
    places = LocalPlaces(root, queues, errorFolders);
    files(root, ledger);
  };
  s.prepare = [=](const std::string& root) { *rig = std::make_unique<EngineRig>(fill, root); };
  // The program's pass: log files renewed at start, then every queue served.
  s.pass = [=](const std::string&) {
    (*rig)->writer.RenewLogFilesOnStart();
    (*rig)->Pass();
  };
  // The program started again: the clean-up of its start, then the same.
  s.restart = [=](const std::string&) {
    EngineRig& r = **rig;
    RemoveDeliveryLeftovers(r.host.table, SystemFileOperations::Instance());
    RemoveFtpLeftovers(r.host.table);
    (void)RemoveLogLeftovers(r.host.table);
    r.writer.RenewLogFilesOnStart();
    for (int i = 0; i < restartPasses; ++i) r.Pass();
  };
  return s;
}

// Writes `count` distinct inputs "<prefix><i><suffix>" into the queue's
// input folder and enters them in the ledger.
void Inputs(const std::string& root, const std::string& queue, const std::string& prefix,
            const std::string& suffix, int count, Ledger& ledger) {
  for (int i = 1; i <= count; ++i) {
    const std::string name = prefix + std::to_string(i) + suffix;
    const std::string content = Content(queue + prefix, i);
    WriteFile(FoldersOf(root, queue).in + "/" + name, content);
    ledger.Add(name, content);
  }
}

void ExpectClean(const CrashReport& report, int atLeast) {
  EXPECT_GE(report.points, atLeast);
  // The watch really read the folders while the killed passes ran.
  EXPECT_GE(report.observerRounds, static_cast<std::uint64_t>(report.points / 4));
  EXPECT_TRUE(report.violations.empty()) << [&] {
    std::string text;
    for (const std::string& v : report.violations) text += v + "\n";
    return text;
  }();
  std::string sites;
  for (const auto& [site, n] : report.pointsBySite) sites += " " + site + "=" + std::to_string(n);
  std::printf("[ crash    ] %d write steps, %d crash points, %llu observer rounds:%s\n",
              report.steps, report.points, static_cast<unsigned long long>(report.observerRounds),
              sites.c_str());
}

// The order check must catch a deletion that comes before the copy is safe.
TEST(DurabilityOrder, AnInputGoesOnlyAfterItsCopyAndItsFolderWereFlushed) {
  test::TempDir root;
  const std::string in = root / "in";
  const std::string temp = root / "fetched";
  fs::create_directories(root / "out");
  const std::string copy = root / "out/C_1.dat";
  WriteFile(copy, "one");
  Ledger ledger;
  ledger.Add("c1.dat", "one");
  Places places;
  places.inputs = {in};
  places.outputs = {root / "out"};
  places.ftpTemp = {temp};

  using K = WriteKind;
  const auto op = [](K kind, const std::string& path) {
    return WriteStepSeen{WriteSite::kFileOps, kind, path};
  };
  const auto ftp = [](K kind, const std::string& path) {
    return WriteStepSeen{WriteSite::kFtp, kind, path};
  };
  const WriteStepSeen create = op(K::kCreate, copy), flush = op(K::kSyncFile, copy),
                      rename = op(K::kRename, copy), folder = op(K::kSyncFolder, copy),
                      remove = op(K::kDelete, in + "/c1.dat"),
                      groupFolder = op(K::kSyncFolder, root / "out/C_2.dat"),
                      elsewhere = op(K::kSyncFolder, root / "err/C_1.dat");
  const std::string part = temp + "/.zf-0123456789abcdef-f1.dat.part";
  const WriteStepSeen fetchFlush = ftp(K::kSyncFile, part),
                      fetchRename = ftp(K::kRename, temp + "/f1.dat"),
                      fetchFolder = ftp(K::kSyncFolder, temp + "/f1.dat"),
                      serverDelete = ftp(K::kDelete, "ftp:f1.dat");
  const struct {
    const char* what;
    std::vector<WriteStepSeen> steps;
    bool ok;
  } cases[] = {
      {"in order", {create, flush, rename, folder, remove}, true},
      {"the folder not flushed", {create, flush, rename, remove}, false},
      {"the folder flushed before the rename", {create, flush, folder, rename, remove}, false},
      {"the copy not flushed", {create, rename, folder, remove}, false},
      {"the copy flushed after its rename", {create, rename, flush, folder, remove}, false},
      {"deleted first", {remove, create, flush, rename, folder}, false},
      // A group flushes each folder once, on behalf of all its copies there.
      {"the folder flushed for the group", {create, flush, rename, groupFolder, remove}, true},
      {"another folder flushed", {create, flush, rename, elsewhere, remove}, false},
      {"a fetch in order", {fetchFlush, fetchRename, fetchFolder, serverDelete}, true},
      {"a fetch without its folder flush", {fetchFlush, fetchRename, serverDelete}, false},
      {"a fetch deleted on the server first",
       {serverDelete, fetchFlush, fetchRename, fetchFolder},
       false},
  };
  for (const auto& c : cases) {
    const Findings found = CheckDurabilityOrder(c.steps, ledger, places);
    EXPECT_EQ(found.ok(), c.ok) << c.what << "\n" << found.Text();
  }
  // A deletion with no copy anywhere, unless the input may vanish.
  fs::remove(copy);
  EXPECT_FALSE(CheckDurabilityOrder({remove}, ledger, places).ok());
  Ledger vanishing;
  vanishing.Add("c1.dat", "one", {}, /*mayVanish=*/true);
  EXPECT_TRUE(CheckDurabilityOrder({remove}, vanishing, places).ok());
}

class CrashPoints : public testing::Test {
 protected:
  void SetUp() override {
    // Loaded once here, so that every child inherits it instead of loading it.
    ASSERT_TRUE(test::RealLibrary().Has(EntryPoint::kFormatExpression))
        << "regex.so not found in ZF_BIN_DIR";
  }
};

TEST_F(CrashPoints, ACopyQueueWithACsvLog) {
  const TableFill fill = [](QueueTable& t, const std::string& root) {
    AddQueue(t, root, "copy", [](QueueRecord& q) {
      q.NRegularexpr = 1;
      q.rule(1) = Rule{R"(c(\d+)\.dat)", "C_$1.dat", false, ""};
    });
  };
  const CrashReport report = RunCrashPoints(EngineScenario(
      "copy queue with a CSV log", {"copy"}, fill, [](const std::string& root, Ledger& ledger) {
        Inputs(root, "copy", "c", ".dat", FileCount(32), ledger);
      }));
  ExpectClean(report, 220);
}

TEST_F(CrashPoints, AQueueWithAnXmlLog) {
  const TableFill fill = [](QueueTable& t, const std::string& root) {
    AddQueue(t, root, "xml", [](QueueRecord& q) {
      q.logtype = 1;
      q.NRegularexpr = 1;
      q.rule(1) = Rule{R"(x(\d+)\.dat)", "X_$1.dat", false, ""};
    });
  };
  const CrashReport report = RunCrashPoints(EngineScenario(
      "queue with an XML log", {"xml"}, fill, [](const std::string& root, Ledger& ledger) {
        Inputs(root, "xml", "x", ".dat", FileCount(24), ledger);
      }));
  ExpectClean(report, 165);
}

TEST_F(CrashPoints, UnresolvedFilesGoToTheErrorFolder) {
  const TableFill fill = [](QueueTable& t, const std::string& root) {
    AddQueue(t, root, "unresolved", [](QueueRecord& q) {
      q.NRegularexpr = 1;
      q.rule(1) = Rule{R"(k(\d+)\.dat)", "K_$1.dat", false, ""};
    });
  };
  const CrashReport report = RunCrashPoints(
      EngineScenario("unresolved files to the error folder", {"unresolved"}, fill,
                     [](const std::string& root, Ledger& ledger) {
                       Inputs(root, "unresolved", "u", ".txt", FileCount(18), ledger);
                       Inputs(root, "unresolved", "k", ".dat", 2, ledger);
                     }));
  ExpectClean(report, 140);
}

// Every file of one queue to one name, each kept beside the others; every
// file of another copied where the old file is replaced only when it
// differs. A crash between a copy and its input's deletion leaves both: at
// the restart the copy is found by its content and the input dropped as a
// duplicate, never kept twice.
TEST_F(CrashPoints, KeepBothAndDuplicates) {
  const TableFill fill = [](QueueTable& t, const std::string& root) {
    AddQueue(t, root, "keep", [](QueueRecord& q) {
      q.Collision = kCollisionKeepBoth;
      q.NRegularexpr = 1;
      q.rule(1) = Rule{R"(k\d+\.dat)", "K.dat", false, ""};
    });
    AddQueue(t, root, "dup", [](QueueRecord& q) {
      q.Collision = kCollisionDuplicate;
      q.NRegularexpr = 1;
      q.rule(1) = Rule{R"(d(\d+)\.dat)", "D_$1.dat", false, ""};
    });
  };
  const CrashReport report =
      RunCrashPoints(EngineScenario("keep both and duplicates", {"keep", "dup"}, fill,
                                    [](const std::string& root, Ledger& ledger) {
                                      Inputs(root, "keep", "k", ".dat", FileCount(3), ledger);
                                      Inputs(root, "dup", "d", ".dat", FileCount(3), ledger);
                                    }));
  ExpectClean(report, 50);
}

// The splitter runs inside the expression library, out of the hook's sight;
// what is killed here are delivery's own steps around it: the staging link,
// its removal, the input's deletion (moved aside and removed), a file that
// cannot be split going to the error folder. (Eight files: the staging
// folder is made once per pass now, so each file has fewer steps.)
CrashScenario SplitScenario(const std::string& name, bool errorFolder) {
  const std::string queue = errorFolder ? "split" : "splitnoerr";
  const TableFill fill = [=](QueueTable& t, const std::string& root) {
    AddQueue(t, root, queue, [&](QueueRecord& q) {
      q.Splitpdf = true;
      if (!errorFolder) q.Errorfolder.clear();
      q.NRegularexpr = 1;
      q.rule(1) = Rule{R"((D\d+|bad)\.pdf)", "$1_##.pdf", false, "1"};
    });
  };
  const int count = FileCount(8);
  CrashScenario s = EngineScenario(
      name, {queue}, fill, [](const std::string&, Ledger&) {}, errorFolder);
  s.make = [=](const std::string& root, const PageHashes& pages, Ledger& ledger, Places& places) {
    places = LocalPlaces(root, {queue}, errorFolder);
    const std::string in = FoldersOf(root, queue).in;
    for (int i = 1; i <= count; ++i) {
      const std::string file = "D" + std::to_string(i) + ".pdf";
      const std::string pdf = test::TestPdf(2, 1, static_cast<std::size_t>(80 * i));
      WriteFile(in + "/" + file, pdf);
      const auto found = pages.find(file);
      ledger.Add(file, pdf, found == pages.end() ? std::vector<std::string>{} : found->second);
    }
    // Not a PDF: it cannot be split, and goes to the error folder if there is one.
    WriteFile(in + "/bad.pdf", "not a PDF " + queue);
    ledger.Add("bad.pdf", "not a PDF " + queue);
  };
  s.learnPages = [=](const std::string& root) {
    PageHashes pages;
    for (const auto& e : fs::directory_iterator(FoldersOf(root, queue).out)) {
      const std::string page = e.path().filename().string();
      const std::size_t cut = page.find('_');
      if (cut == std::string::npos) continue;
      pages[page.substr(0, cut) + ".pdf"].push_back(HashFile(e.path().string()));
    }
    return pages;
  };
  return s;
}

TEST_F(CrashPoints, ASplitQueueWithAnErrorFolder) {
  ASSERT_TRUE(test::RealLibrary().Has(EntryPoint::kPDFSplitter));
  ExpectClean(RunCrashPoints(SplitScenario("split queue with an error folder", true)), 60);
}

TEST_F(CrashPoints, ASplitQueueWithoutAnErrorFolder) {
  ASSERT_TRUE(test::RealLibrary().Has(EntryPoint::kPDFSplitter));
  ExpectClean(RunCrashPoints(SplitScenario("split queue without an error folder", false)), 50);
}

// Three queues logging into one folder: one renews its log at every start,
// one daily (its time passed today, last renewed yesterday), one when the
// log holds more entries than allowed. Each starts with an old log.
TEST_F(CrashPoints, LogRenewalOnStartDailyAndAtTheEntryLimit) {
  const TableFill fill = [](QueueTable& t, const std::string& root) {
    const auto rule = [](QueueRecord& q, const std::string& prefix) {
      q.NRegularexpr = 1;
      q.rule(1) = Rule{"(" + prefix + R"(\d+)\.dat)", "R_$1.dat", false, ""};
    };
    AddQueue(t, root, "onstart", [&](QueueRecord& q) {
      q.newonstart = true;
      rule(q, "s");
    });
    AddQueue(t, root, "daily", [&](QueueRecord& q) {
      q.daily = true;
      q.dailyhour = 7;
      q.lastlogrenew = EncodeDateTime(2024, 4, 30, 0);
      rule(q, "d");
    });
    AddQueue(t, root, "limit", [&](QueueRecord& q) {
      q.newonmax = true;
      q.Maxentries = 2;
      q.logtype = 1;
      rule(q, "m");
    });
  };
  const CrashReport report = RunCrashPoints(EngineScenario(
      "log renewal on start, daily and at the entry limit", {"onstart", "daily", "limit"}, fill,
      [](const std::string& root, Ledger& ledger) {
        WriteFile(root + "/log/onstart.log", OldCsvLog(3));
        WriteFile(root + "/log/daily.log", OldCsvLog(3));
        Inputs(root, "onstart", "s", ".dat", FileCount(6), ledger);
        Inputs(root, "daily", "d", ".dat", FileCount(6), ledger);
        Inputs(root, "limit", "m", ".dat", FileCount(8), ledger);
      }));
  ExpectClean(report, 170);
}

// A queue that fetches from a real FTP server on loopback: each file is
// fetched, flushed and renamed into the queue's folder in FTPTemppath before the server's copy is
// deleted, then delivered like a local one.
TEST_F(CrashPoints, AnFtpFetch) {
  test::TempDir served;
  test::FtpTestServer::Options options;
  options.root = served.path().string();
  test::FtpTestServer server(options);
  const int port = server.port();
  const std::string remote = served / "in";

  const TableFill fill = [=](QueueTable& t, const std::string& root) {
    AddQueue(t, root, "ftp", [&](QueueRecord& q) {
      q.Inputfolder.clear();
      q.FTPuse = true;
      q.FTPhost = "127.0.0.1";
      q.FTPPort = port;
      q.FTPuser = "zf";
      q.FTPpasw = "secret";
      q.FTPpath = "in";
      q.FTPTemppath = root + "/fetched";
      q.NRegularexpr = 1;
      q.rule(1) = Rule{R"(f(\d+)\.dat)", "F_$1.dat", false, ""};
    });
    MakeFtpSessions(t, FtpLimits{5, 5, true});
  };
  // A kill after a fetched copy took its name but before the server's copy
  // was deleted leaves the file in both places. There is no way to know
  // that the server's file is still the one fetched, so the local copy is
  // delivered and the server's fetched and delivered again in the pass after
  // (under the same name: the output holds it once). Twice, never lost: the
  // restart is judged after that second pass.
  CrashScenario s = EngineScenario(
      "FTP fetch", {}, fill, [](const std::string&, Ledger&) {}, true, 2);
  const int count = FileCount(12);
  s.make = [=](const std::string& root, const PageHashes&, Ledger& ledger, Places& places) {
    const QueueFolders f = FoldersOf(root, "ftp");
    for (const std::string& folder : {f.out, f.err, root + "/fetched/ftp", root + "/log"}) {
      fs::create_directories(folder);
    }
    fs::remove_all(remote);
    fs::create_directories(remote);
    for (int i = 1; i <= count; ++i) {
      const std::string name = "f" + std::to_string(i) + ".dat";
      WriteFile(remote + "/" + name, Content("ftp", i));
      ledger.Add(name, Content("ftp", i));
    }
    places.outputs = {f.out};
    places.errors = {f.err};
    places.ftpServer = {remote};
    places.ftpTemp = {root + "/fetched/ftp"};  // the queue's own folder there
    places.logFolders = {root + "/log"};
  };
  ExpectClean(RunCrashPoints(s), 150);
}

// What the program saves at close: each queue's lastlogrenew and the window
// layout into the queue file, then the general settings. Each file holds its
// old or its new content after any crash, and no temporary file survives the
// next start.
TEST_F(CrashPoints, SavingTheConfiguration) {
  const auto pathsIn = [](const std::string& folder) {
    ConfigPaths paths;
    paths.queueFile = folder + "/Zentrafold.ini";
    paths.settingsFile = folder + "/zentrafold-program.ini";
    paths.dbconnectFile = folder + "/dbconnect.ini";
    return paths;
  };
  // The program's state: its queues as loaded at start (the old files) and
  // as they stand at close. Made once, in the parent.
  struct State {
    QueueTable loaded;
    QueueTable closing;
    std::string oldQueues, oldSettings, newQueues, newSettings;
  };
  const auto state = std::make_shared<State>();
  const auto saveOld = [state, pathsIn](const std::string& folder) {
    const ConfigPaths paths = pathsIn(folder);
    WorkingSettings working;
    if (!QueueConfigFile(paths.queueFile).Save(state->loaded).ok() ||
        !GeneralSettingsFile(paths.settingsFile).Save(GeneralSettings{}, working).ok()) {
      throw std::runtime_error("cannot write the configuration before the close");
    }
  };
  const auto close = [state, pathsIn](const std::string& folder) {
    const ConfigPaths paths = pathsIn(folder);
    const WindowLayout layout{{120, 140, 300}, 800, 600, 10, 20};
    (void)QueueConfigFile(paths.queueFile).WriteCloseState(state->closing, layout);
    GeneralSettings settings;
    settings.browsetime = 25;
    settings.logformat = "yyyy-mm-dd hh:nn:ss";
    WorkingSettings working;
    (void)GeneralSettingsFile(paths.settingsFile).Save(settings, working);
  };

  CrashScenario s;
  s.name = "saving the configuration";
  s.prepare = [=](const std::string& root) {
    for (QueueTable* table : {&state->loaded, &state->closing}) {
      for (const char* name : {"first", "second"}) {
        AddQueue(*table, "/srv/zf", name, [](QueueRecord& q) { q.daily = true; });
      }
    }
    for (int slot = 1; slot <= state->closing.Nfolders(); ++slot) {
      state->closing.Update(slot,
                            [](QueueRecord& q) { q.lastlogrenew = EncodeDateTime(2024, 5, 1, 0); });
    }
    // The contents before and after, from a close rehearsed beside the runs.
    const std::string rehearsal = root + "-rehearsal";
    fs::create_directories(rehearsal);
    saveOld(rehearsal);
    const ConfigPaths paths = pathsIn(rehearsal);
    state->oldQueues = test::ReadFile(paths.queueFile);
    state->oldSettings = test::ReadFile(paths.settingsFile);
    close(rehearsal);
    state->newQueues = test::ReadFile(paths.queueFile);
    state->newSettings = test::ReadFile(paths.settingsFile);
    fs::remove_all(rehearsal);
  };
  s.make = [=](const std::string& root, const PageHashes&, Ledger&, Places& places) {
    const std::string config = root + "/config";
    fs::create_directories(config);
    const ConfigPaths paths = pathsIn(config);
    WriteFile(paths.queueFile, state->oldQueues);
    WriteFile(paths.settingsFile, state->oldSettings);
    places.configFiles[paths.queueFile] = {state->oldQueues, state->newQueues};
    places.configFiles[paths.settingsFile] = {state->oldSettings, state->newSettings};
  };
  s.pass = [=](const std::string& root) { close(root + "/config"); };
  // The start: the clean-up, then both files are read as the program reads them.
  s.restart = [=](const std::string& root) {
    const ConfigPaths paths = pathsIn(root + "/config");
    (void)RemoveConfigLeftovers(paths);
    (void)QueueConfigFile(paths.queueFile).Load(state->loaded);
    WorkingSettings working;
    (void)GeneralSettingsFile(paths.settingsFile).Load(working);
  };
  const CrashReport report = RunCrashPoints(s);
  EXPECT_NE(state->oldQueues, state->newQueues);
  EXPECT_NE(state->oldSettings, state->newSettings);
  ExpectClean(report, 10);
}

}  // namespace
}  // namespace zf::fault
