// Unstable and hostile inputs through the real engine, the program's naming
// and delivery and the real expression library: files still being written,
// files cut or rewritten while they are copied, empty and huge sparse files,
// links and pipes swapped in after the stability check, names that break
// naive logs, and a crowded folder. Each scenario ends with a restart and one
// more pass, judged by the reliability checks.

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/datetimepattern.h"
#include "deliverytestkit.h"
#include "engine/standardstages.h"
#include "enginetestkit.h"
#include "faultkit.h"
#include "invariants.h"
#include "log/jmflog.h"
#include "recordedvisuallog.h"

namespace zf::fault {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

// The real file operations; a test may act at any step (the source cut
// short, a link swapped in) while everything runs as in the program.
class HookedFiles : public SystemFileOperations {
 public:
  std::function<void(FileStep, const std::string&)> hook;

 protected:
  int InjectFault(FileStep step, const std::string& path) override {
    if (hook) hook(step, path);
    return 0;
  }
};

// The engine with the program's stages on one clock, run pass by pass on the
// test's thread.
struct Rig {
  Rig(Clock& c, FileOperations& ops)
      : clock(c), stages(test::RealLibrary(), visualLog, writer, c, ops) {
    host.settings.switchedOn = true;
    host.keepEvents = false;
  }
  ~Rig() {
    if (engine) stages.ReleaseThread();
  }
  EngineServices Services() {
    return EngineServices{host, access, clock, &stages, nullptr, &visualLog};
  }
  Status Pass() {
    if (!engine) {
      engine = std::make_unique<Trenamethread>(Services(), std::make_shared<EngineControl>());
      stages.PrepareThread();
    }
    return engine->ScanQueues();
  }
  std::vector<VisualLogEntry> Rows() const { return recorded.Rows(); }

  Clock& clock;
  test::RecordingHost host;
  SystemFileAccess access;
  test::RecordedVisualLog recorded{clock};
  VisualLog& visualLog = recorded.log();
  LogFileWriter writer{host.table, clock, "dd.mm.yyyy hh:nn:ss:zzz"};
  StandardStages stages;
  std::unique_ptr<Trenamethread> engine;
};

class Hostile : public testing::Test {
 protected:
  Hostile() {
    for (const std::string& f : {in, out, err, logs}) fs::create_directory(f);
    places.inputs = {in};
    places.outputs = {out};
    places.errors = {err};
    places.logFolders = {logs};
  }

  // A local queue over the scenario's folders: every name is taken as it is,
  // a line break in it too.
  int AddQueue(Rig& rig, const std::string& name, const std::string& input,
               const std::string& output, int logtype = 0, std::string errors = {}) {
    test::QueueFolders unused;
    return test::AddQueue(rig.host.table, name, unused, [&](QueueRecord& q) {
      q.Inputfolder = input;
      q.Outputfolder = output;
      q.Errorfolder = errors.empty() ? err : errors;
      q.Makelog = true;
      q.Logfile = logs;
      q.logtype = logtype;
      q.Maxentries = 100000;
      q.NRegularexpr = 1;
      q.rule(1) = Rule{R"((?s)(.*))", "$1", false, ""};
    });
  }

  void ExpectAllHeld(Rig& rig) {
    ASSERT_TRUE(RestartAndOnePass(rig.Services()).ok());
    const Findings findings = CheckAll(ledger, places);
    EXPECT_TRUE(findings.ok()) << findings.Text();
  }

  test::TempDir root;
  std::string in = root / "in";
  std::string out = root / "out";
  std::string err = root / "err";
  std::string logs = root / "log";
  Places places;
  Ledger ledger;
  HookedFiles ops;
  test::FakeClock fake;
};

TEST_F(Hostile, AFileStillGrowingIsNeverDeliveredAndComesWholeOnceItStops) {
  SystemClock clock;
  Rig rig(clock, ops);
  // Two seconds: a writer that pauses 200 ms between its pieces never looks
  // stable, even on a busy machine.
  rig.host.settings.stabletime = 2;
  AddQueue(rig, "Grow", in, out);
  const std::string path = in + "/growing.dat";
  std::string content;
  for (int i = 0; i < 20; ++i)
    content += "piece " + std::to_string(i) + " " + std::string(4000, 'g');
  ledger.Add("growing.dat", content);
  Observer observer(ledger, places, 2);
  observer.Start();

  // A writer adds a piece every 200 ms, four seconds long.
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const std::size_t piece = content.size() / 20;
    for (std::size_t i = 0; i < 20; ++i) {
      const std::size_t size = i == 19 ? content.size() - i * piece : piece;
      EXPECT_EQ(::write(fd, content.data() + i * piece, size), static_cast<ssize_t>(size));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ::close(fd);
    writing = false;
  });
  int passesWhileGrowing = 0;
  while (writing) {
    ASSERT_TRUE(rig.Pass().ok());
    if (!writing) break;
    ++passesWhileGrowing;
    EXPECT_EQ(CountFiles(out), 0) << "delivered while still growing";
  }
  writer.join();
  EXPECT_GE(passesWhileGrowing, 1);
  for (int i = 0; i < 3 && CountFiles(out) == 0; ++i) ASSERT_TRUE(rig.Pass().ok());
  EXPECT_EQ(HashFile(out + "/growing.dat"), ContentHash(content)) << "not delivered whole";
  const Findings seen = observer.Stop();
  EXPECT_GT(observer.rounds(), 0u);
  EXPECT_TRUE(seen.ok()) << seen.Text();
  ExpectAllHeld(rig);
}

// What happens to the source while its copy runs, before its second chunk.
struct CutCase {
  const char* label;
  off_t truncateTo;  // -1: not truncated
  char rewrite;      // 0: not written again; else the whole old size of it
};

TEST_F(Hostile, AFileCutOrRewrittenDuringItsCopyIsNeverPublishedTorn) {
  const CutCase cases[] = {
      {"truncated to nothing", 0, 0},
      {"truncated to a half", 3 << 19, 0},
      {"truncated and written again to its old size", 0, 'b'},
      {"overwritten in place, its size unchanged", -1, 'c'},
  };
  for (const CutCase& c : cases) {
    SCOPED_TRACE(c.label);
    test::TempDir scenario;
    const std::string cin = scenario / "in", cout = scenario / "out";
    fs::create_directory(cin);
    fs::create_directory(cout);
    Places p = places;
    p.inputs = {cin};
    p.outputs = {cout};
    Rig rig(fake, ops);
    AddQueue(rig, "Cut", cin, cout);
    const std::string path = cin + "/cut.dat";
    const std::string original(4 << 20, 'a');
    WriteFile(path, original);
    // Written long ago: a rewrite now must show in the file's times.
    test::SetTimes(path, 1'600'000'000, 1'600'000'000);
    const std::string now = c.rewrite != 0
                                ? std::string(original.size(), c.rewrite)
                                : original.substr(0, static_cast<std::size_t>(c.truncateTo));
    Ledger l;
    l.Add("cut.dat", now);
    int writes = 0;
    ops.hook = [&](FileStep step, const std::string& target) {
      if (step != FileStep::kWrite || target.rfind(cout, 0) != 0 || ++writes != 2) return;
      if (c.truncateTo >= 0) {
        ASSERT_EQ(::truncate(path.c_str(), c.truncateTo), 0);
      }
      if (c.rewrite != 0) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_EQ(::pwrite(fd, now.data(), now.size(), 0), static_cast<ssize_t>(now.size()));
        ::close(fd);
      }
    };
    Observer observer(l, p, 1);
    observer.Start();
    ASSERT_TRUE(rig.Pass().ok());
    ops.hook = nullptr;
    EXPECT_GE(writes, 2) << "the cut came during the copy";
    // Not delivered as it was: the copy saw the change and kept the input.
    EXPECT_EQ(CountFiles(cout), 0);
    ASSERT_FALSE(rig.Rows().empty());
    EXPECT_EQ(rig.Rows().back().comment, "Cannot copy");
    // The next pass takes the file as it now stands, whole.
    ASSERT_TRUE(rig.Pass().ok());
    EXPECT_EQ(HashFile(cout + "/cut.dat"), ContentHash(now));
    const Findings seen = observer.Stop();
    EXPECT_TRUE(seen.ok()) << seen.Text();
    ASSERT_TRUE(RestartAndOnePass(rig.Services()).ok());
    const Findings findings = CheckAll(l, p);
    EXPECT_TRUE(findings.ok()) << findings.Text();
  }
}

TEST_F(Hostile, AnEmptyFileAndAHugeSparseFile) {
  Rig rig(fake, ops);
  AddQueue(rig, "Sizes", in, out);
  WriteFile(in + "/empty.dat", "");
  ledger.Add("empty.dat", "");
  // 3 GiB, almost all of it one hole, with data at its start, middle and end.
  constexpr off_t kSize = off_t{3} << 30;
  const std::string sparse = in + "/sparse.img";
  {
    const int fd = ::open(sparse.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, kSize), 0);
    for (const off_t at : {off_t{0}, off_t{1} << 30, kSize - 9}) {
      ASSERT_EQ(::pwrite(fd, "sparse!!\n", 9, at), 9);
    }
    ::close(fd);
  }
  ledger.AddFile(sparse);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(rig.Pass().ok());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 60.0) << "the sparse file took too long";
  std::printf("sparse 3 GiB file delivered in %.2f s\n", seconds);

  EXPECT_EQ(fs::file_size(out + "/empty.dat"), 0u);
  struct stat st {};
  ASSERT_EQ(::stat((out + "/sparse.img").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, kSize);
  EXPECT_LT(st.st_blocks * 512, 64 << 20) << "the copy is no longer sparse";
  EXPECT_FALSE(fs::exists(sparse));
  ExpectAllHeld(rig);
}

TEST_F(Hostile, ALinkOrPipeSwappedInAfterTheStabilityCheckIsNeverFollowed) {
  for (const bool pipe : {false, true}) {
    SCOPED_TRACE(pipe ? "a pipe" : "a link");
    test::TempDir scenario;
    const std::string cin = scenario / "in", cout = scenario / "out";
    const std::string aside = scenario / "aside", secret = scenario / "secret";
    for (const std::string& f : {cin, cout, aside, secret}) fs::create_directory(f);
    Places p = places;
    p.inputs = {cin, aside, secret};
    p.outputs = {cout};
    Rig rig(fake, ops);
    AddQueue(rig, "Swap", cin, cout);
    Ledger l;
    WriteFile(cin + "/victim.dat", "the file found stable");
    l.Add("victim.dat", "the file found stable");
    WriteFile(secret + "/secret.dat", "not for the output folder");
    l.Add("secret.dat", "not for the output folder");
    WriteFile(cin + "/bystander.dat", "delivered as usual");
    l.Add("bystander.dat", "delivered as usual");

    // Between the stability check and the copy the name is given to another
    // entry; the file itself is moved aside (by whoever did the swap).
    bool swapped = false;
    ops.hook = [&](FileStep step, const std::string& source) {
      if (step != FileStep::kOpenSource || source != cin + "/victim.dat" || swapped) return;
      swapped = true;
      fs::rename(source, aside + "/victim.dat");
      if (pipe) {
        ASSERT_EQ(::mkfifo(source.c_str(), 0644), 0);
      } else {
        fs::create_symlink(secret + "/secret.dat", source);
      }
    };
    // A pass that blocked on the pipe would never end.
    auto pass = std::async(std::launch::async, [&] { return rig.Pass(); });
    ASSERT_EQ(pass.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "the pass hangs on the swapped-in entry";
    ASSERT_TRUE(pass.get().ok());
    ops.hook = nullptr;
    EXPECT_TRUE(swapped);
    EXPECT_FALSE(fs::exists(cout + "/victim.dat"));
    EXPECT_EQ(ReadFile(cout + "/bystander.dat"), "delivered as usual");
    bool told = false;
    for (const VisualLogEntry& row : rig.Rows()) {
      told = told || (row.inputName == "victim.dat" && row.status == 2);
    }
    EXPECT_TRUE(told) << "the failed copy was not shown";
    // Later passes pass the entry over; it is left where it is.
    auto again = std::async(std::launch::async, [&] { return RestartAndOnePass(rig.Services()); });
    ASSERT_EQ(again.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    ASSERT_TRUE(again.get().ok());
    EXPECT_TRUE(fs::is_symlink(cin + "/victim.dat") || fs::is_fifo(cin + "/victim.dat"));
    const Findings findings = CheckAll(l, p);
    EXPECT_TRUE(findings.ok()) << findings.Text();
  }
}

// The element names of the entries of a JMF log, decoded.
std::set<std::string> LoggedNames(const std::string& xmlPath) {
  std::set<std::string> names;
  const std::string text = ReadFile(xmlPath);
  xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr) return names;
  for (xmlNode* n = xmlDocGetRootElement(doc)->children; n != nullptr; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    const std::string tag = reinterpret_cast<const char*>(n->name);
    if (tag != "Folder") names.insert(DecodeXmlName(tag));
  }
  xmlFreeDoc(doc);
  return names;
}

TEST_F(Hostile, NamesThatBreakNaiveLogsAreDeliveredAndLoggedWhole) {
  const std::vector<std::string> hostileNames = {
      "line\nbreak.dat",
      "tab\there.dat",
      "comma,name,.dat",
      "quote\"double\".dat",
      "quote'single.dat",
      "latin\xE9\xFF.dat",
      "-leading-dash.dat",
      "--.dat",
      "dollar$1$.dat",
      "<angle>&amp;.dat",
      "back\\slash.dat",
      " space .dat",
      std::string(251, 'n') + ".dat",
  };
  Rig rig(fake, ops);
  // Each queue has its own folders: the same names go through both.
  const std::string inX = root / "inX", outX = root / "outX", errX = root / "errX";
  for (const std::string& f : {inX, outX, errX}) fs::create_directory(f);
  places.inputs.push_back(inX);
  places.outputs.push_back(outX);
  places.errors.push_back(errX);
  AddQueue(rig, "Csv", in, out, 0);
  AddQueue(rig, "Xml", inX, outX, 1, errX);
  for (const std::string& name : hostileNames) {
    ASSERT_LE(name.size(), 255u);
    WriteFile(in + "/" + name, "csv queue: " + name);
    ledger.Add(name, "csv queue: " + name);
    WriteFile(inX + "/" + name, "xml queue: " + name);
    ledger.Add(name, "xml queue: " + name);
  }
  ASSERT_TRUE(rig.Pass().ok());
  for (const std::string& name : hostileNames) {
    EXPECT_EQ(HashFile(out + "/" + name), ContentHash("csv queue: " + name)) << name;
    EXPECT_EQ(HashFile(outX + "/" + name), ContentHash("xml queue: " + name)) << name;
  }
  // The CSV log has one whole line per file (CheckAll reads its lines); a
  // line break in a name is written as a space.
  const std::string csv = ReadFile(logs + "/Csv.log");
  for (std::string name : hostileNames) {
    std::replace(name.begin(), name.end(), '\n', ' ');
    EXPECT_NE(csv.find(name + "," + name + ",,OK,"), std::string::npos) << name;
  }
  // The XML log parses, and each entry's element name gives the name back.
  std::set<std::string> expected;
  for (const std::string& name : hostileNames) expected.insert(ToUtf8(name));
  EXPECT_EQ(LoggedNames(logs + "/Xml.xml"), expected);
  ExpectAllHeld(rig);
}

// Seconds per file for `count` files in one folder, delivered pass by pass.
struct Crowd {
  double seconds = 0;
  std::vector<double> passes;
  int left = 0;
  int delivered = 0;
};

Crowd DeliverCrowd(Rig& rig, Ledger& ledger, const std::string& in, const std::string& out,
                   const std::string& tag, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string name = tag + "_" + std::to_string(i) + ".dat";
    const std::string content = tag + " file " + std::to_string(i);
    WriteFile(in + "/" + name, content);
    ledger.Add(name, content);
  }
  Crowd crowd;
  const auto start = std::chrono::steady_clock::now();
  while (CountFiles(in) > 0 && crowd.passes.size() < 6) {
    const auto t = std::chrono::steady_clock::now();
    if (!rig.Pass().ok()) break;
    crowd.passes.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count());
  }
  crowd.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  crowd.left = CountFiles(in);
  crowd.delivered = CountFiles(out);
  return crowd;
}

TEST_F(Hostile, TwoThousandFilesInOneFolder) {
  Rig rig(fake, ops);
  const std::string smallIn = root / "smallIn", smallOut = root / "smallOut";
  fs::create_directory(smallIn);
  fs::create_directory(smallOut);
  places.inputs.push_back(smallIn);
  places.outputs.push_back(smallOut);
  AddQueue(rig, "Few", smallIn, smallOut);
  const Crowd few = DeliverCrowd(rig, ledger, smallIn, smallOut, "few", 200);
  rig.host.table.Update(1, [](QueueRecord& q) { q.Enabled = false; });
  AddQueue(rig, "Crowd", in, out);
  const Crowd many = DeliverCrowd(rig, ledger, in, out, "crowd", 2000);
  EXPECT_EQ(few.left, 0);
  EXPECT_EQ(many.left, 0);
  EXPECT_EQ(many.delivered, 2000);
  // Ten times the files may cost ten times the time, not a hundred: the
  // time per file stays within a small factor of the small folder's (a
  // factor, not equality, for a machine busy with other work).
  const double perFew = few.seconds / 200, perMany = many.seconds / 2000;
  EXPECT_LT(perMany, 4 * perFew + 0.001)
      << few.seconds << " s for 200, " << many.seconds << " s for 2000";
  EXPECT_LT(many.seconds, 240.0);
  std::string each;
  for (const double t : many.passes) each += " " + std::to_string(t).substr(0, 5);
  std::printf("2000 files delivered in %.1f s (passes:%s s); 200 files in %.1f s\n", many.seconds,
              each.c_str(), few.seconds);
  ExpectAllHeld(rig);
}

}  // namespace
}  // namespace zf::fault
