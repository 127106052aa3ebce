#include "engine/delivery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config/datetimepattern.h"
#include "deliverytestkit.h"
#include "engine/renamethread.h"
#include "engine/standardstages.h"
#include "enginetestkit.h"
#include "testpdf.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using test::AddEntry;
using test::MakePass;
using test::ReadFile;
using test::WriteFile;

// Where an input file must be after delivery.
enum class Fate {
  kInput,     // still in the input folder, under whichever name
  kOutput,    // copied into the output folder
  kError,     // in the error folder
  kPages,     // split into the output folder; the file itself is gone
  kDeleted,   // gone: unresolved, and the queue has no error folder
  kReplaced,  // gone: a later file of the pass took its name in the output folder
};

// Makes one step of the real file operations fail for paths in a folder.
class FaultyFiles : public SystemFileOperations {
 public:
  FileStep step = FileStep::kOpenSource;
  int error = 0;
  std::string pathPrefix;
  int fromCall = 1;  // the step's first failing call, for chunked writes

 protected:
  int InjectFault(FileStep s, const std::string& path) override {
    if (error == 0 || s != step || path.rfind(pathPrefix, 0) != 0) return 0;
    return ++calls_ >= fromCall ? error : 0;
  }

 private:
  int calls_ = 0;
};

class DeliveryTest : public testing::Test {
 protected:
  DeliveryTest() {
    host.settings.switchedOn = true;
    slot = test::AddQueue(host.table, "Sport", f, [&](QueueRecord& q) {
      q.Makelog = true;
      q.Logfile = logFolder;
      q.logtype = 0;
      q.Maxentries = 10000;
    });
    fs::create_directory(logFolder);
  }

  void SetUp() override {
    ASSERT_TRUE(test::RealLibrary().Has(EntryPoint::kPDFSplitter))
        << "regex.so not found in ZF_BIN_DIR";
  }

  void Edit(const std::function<void(QueueRecord&)>& edit) { host.table.Update(slot, edit); }
  PassContext Pass() { return MakePass(host.table.Get(slot), slot); }

  // An input file with content of its own, so that it can be found anywhere.
  void Input(const std::string& name) { WriteFile(f.in + "/" + name, "content of " + name); }
  static void Named(PassContext& pass, const std::string& old, const std::string& newname,
                    std::int32_t page = 0) {
    AddEntry(pass.files, old, true, kFileTime);
    pass.files.at(pass.files.count()).newname = newname;
    pass.files.at(pass.files.count()).pagenumber = page;
  }
  static void Unnamed(PassContext& pass, const std::string& old) {
    AddEntry(pass.files, old, true, kFileTime);
    pass.files.at(pass.files.count()).unresolved = true;
    pass.files.at(pass.files.count()).comment = "cannot rename";
  }

  // Delivers with the given file operations (the real ones by default),
  // after noting every input file's content for the fate check.
  Status Deliver(
      PassContext& pass, FileOperations& ops, ExpressionLibrary& lib,
      const KeepGoingFn& keepGoing = [] { return true; }) {
    NoteInputs();
    Delivery delivery(lib, ops, visualLog, writer, clock);
    return delivery.DeliverFiles(pass, keepGoing);
  }
  Status Deliver(PassContext& pass) { return Deliver(pass, realFiles, test::RealLibrary()); }

  void NoteInputs() {
    before_.clear();
    for (const auto& e : fs::directory_iterator(f.in)) {
      before_[e.path().filename().string()] = ReadFile(e.path());
    }
  }

  // Every input file is in exactly the one place its fate says, or gone only
  // for the reasons that allow it; no temporary file is left anywhere.
  void ExpectFates(const PassContext& pass, const std::map<std::string, Fate>& fates) {
    std::multimap<std::string, std::string> where;  // content -> folder
    const std::vector<std::pair<std::string, std::string>> folders = {
        {"in", f.in}, {"out", f.out}, {"err", f.err}};
    for (const auto& [label, folder] : folders) {
      for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        EXPECT_FALSE(FileOperations::IsTempName(name)) << label << ": " << name;
        EXPECT_FALSE(name.ends_with(".part")) << label << ": " << name;
        if (e.is_regular_file()) where.emplace(ReadFile(e.path()), label);
      }
    }
    for (const auto& [old, fate] : fates) {
      SCOPED_TRACE(old);
      ASSERT_TRUE(before_.count(old)) << "not an input file";
      auto [first, last] = where.equal_range(before_.at(old));
      std::vector<std::string> places;
      for (auto it = first; it != last; ++it) places.push_back(it->second);
      switch (fate) {
        case Fate::kInput:
          EXPECT_EQ(places, std::vector<std::string>{"in"});
          break;
        case Fate::kOutput:
          EXPECT_EQ(places, std::vector<std::string>{"out"});
          break;
        case Fate::kError:
          EXPECT_EQ(places, std::vector<std::string>{"err"});
          break;
        case Fate::kDeleted: {
          EXPECT_TRUE(places.empty());
          EXPECT_TRUE(pass.errorFolder.empty()) << "deleted although there is an error folder";
          bool unresolved = false;
          for (int k = 1; k <= pass.files.count(); ++k) {
            if (pass.files.at(k).oldname == old) unresolved = pass.files.at(k).unresolved;
          }
          EXPECT_TRUE(unresolved) << "deleted although a rule named it";
          break;
        }
        case Fate::kPages:
        case Fate::kReplaced:
          EXPECT_TRUE(places.empty());
          break;
      }
    }
  }

  // Visual log rows without their time: input|output|comment|status.
  std::vector<std::string> Visual() const {
    std::vector<std::string> rows;
    for (const VisualLogEntry& e : visual) {
      rows.push_back(e.inputName + "|" + e.outputName + "|" + e.comment + "|" +
                     std::to_string(e.status));
    }
    return rows;
  }
  // The entry lines of the comma-separated log, without the "Log created" line.
  std::vector<std::string> LogLines() const {
    const std::string path = logFolder + "/Sport.log";
    if (!fs::exists(path)) return {};
    const std::string text = ReadFile(path);
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t end = text.find("\r\n", at);
      lines.push_back(text.substr(at, end - at));
      at = end == std::string::npos ? text.size() : end + 2;
    }
    EXPECT_FALSE(lines.empty());
    if (!lines.empty()) {
      EXPECT_EQ(lines.front().rfind("Log created ", 0), 0u);
      lines.erase(lines.begin());
    }
    return lines;
  }
  static std::string Line(const std::string& rest) {
    return rest + ",01.05.2024 07:00:02:000,01.05.2024 08:00:00:000";
  }
  std::vector<std::string> Names(const std::string& folder) const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename());
    return {names.begin(), names.end()};
  }

  static inline const TDateTime kFileTime = EncodeDateTime(2024, 5, 1, 7, 0, 2);

  test::QueueFolders f;
  std::string logFolder = f.root / "log";
  test::RecordingHost host;
  test::FakeClock clock;
  int slot = 0;
  std::vector<VisualLogEntry> visual;
  VisualLog visualLog{clock, DefaultRegionalSettings(),
                      [this](VisualLogEntry e) { visual.push_back(std::move(e)); }};
  LogFileWriter writer{host.table, clock, "dd.mm.yyyy hh:nn:ss:zzz"};
  SystemFileOperations realFiles;

 private:
  std::map<std::string, std::string> before_;
};

TEST_F(DeliveryTest, CopiesUnderTheNewNameAndReportsToBothLogs) {
  Input("a.pdf");
  Input("wait.pdf");
  test::SetTimes(f.in + "/a.pdf", 1'000'000'000, 1'000'000'123);
  PassContext pass = Pass();
  Named(pass, "a.pdf", "Sport_a.pdf");
  AddEntry(pass.files, "wait.pdf", false);  // not ready: not touched, no result
  ASSERT_TRUE(Deliver(pass).ok());

  EXPECT_EQ(ReadFile(f.out + "/Sport_a.pdf"), "content of a.pdf");
  struct stat st {};
  ASSERT_EQ(::stat((f.out + "/Sport_a.pdf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1'000'000'123) << "the copy keeps the last-write time";
  ExpectFates(pass, {{"a.pdf", Fate::kOutput}, {"wait.pdf", Fate::kInput}});
  EXPECT_EQ(Visual(), std::vector<std::string>{"a.pdf|Sport_a.pdf|Renamed|1"});
  EXPECT_EQ(LogLines(), std::vector<std::string>{Line("a.pdf,Sport_a.pdf,,OK,")});
}

TEST_F(DeliveryTest, ReplacesAnExistingTargetAndTheLastOfTwoFilesForOneNameStays) {
  Input("a.pdf");
  Input("b.pdf");
  WriteFile(f.out + "/Same.pdf", "the old target");
  PassContext pass = Pass();
  Named(pass, "a.pdf", "Same.pdf");
  Named(pass, "b.pdf", "Same.pdf");
  ASSERT_TRUE(Deliver(pass).ok());
  EXPECT_EQ(ReadFile(f.out + "/Same.pdf"), "content of b.pdf");
  EXPECT_EQ(Names(f.out), std::vector<std::string>{"Same.pdf"});
  ExpectFates(pass, {{"a.pdf", Fate::kReplaced}, {"b.pdf", Fate::kOutput}});
  EXPECT_EQ(Visual(),
            (std::vector<std::string>{"a.pdf|Same.pdf|Renamed|1", "b.pdf|Same.pdf|Renamed|1"}));
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{Line("a.pdf,Same.pdf,,OK,"), Line("b.pdf,Same.pdf,,OK,")}));
}

TEST_F(DeliveryTest, UnresolvedFilesGoToTheErrorFolderOrAreDeletedWithoutOne) {
  for (const bool withErrorFolder : {true, false}) {
    SCOPED_TRACE(withErrorFolder);
    visual.clear();
    fs::remove_all(logFolder);
    fs::create_directory(logFolder);
    Edit([&](QueueRecord& q) { q.Errorfolder = withErrorFolder ? f.err : ""; });
    Input("x.pdf");
    WriteFile(f.err + "/x.pdf", "an older x");
    PassContext pass = Pass();
    Unnamed(pass, "x.pdf");
    ASSERT_TRUE(Deliver(pass).ok());
    if (withErrorFolder) {
      EXPECT_EQ(ReadFile(f.err + "/x.pdf"), "content of x.pdf");  // replaced
      ExpectFates(pass, {{"x.pdf", Fate::kError}});
    } else {
      EXPECT_EQ(ReadFile(f.err + "/x.pdf"), "an older x");
      ExpectFates(pass, {{"x.pdf", Fate::kDeleted}});
    }
    EXPECT_FALSE(fs::exists(f.in + "/x.pdf"));
    EXPECT_EQ(Visual(), std::vector<std::string>{"x.pdf||cannot rename|2"});
    EXPECT_EQ(LogLines(), std::vector<std::string>{Line("x.pdf,,,Error,cannot rename")});
  }
}

// A copy that fails at any step leaves the input, the old target and no
// temporary file behind.
TEST_F(DeliveryTest, AFailedCopyKeepsTheInputAndTheOldTarget) {
  struct Case {
    const char* what;
    FileStep step;
    int error;
    int fromCall;
  };
  const Case cases[] = {
      {"the input vanished", FileStep::kOpenSource, ENOENT, 1},
      {"no room for a new file", FileStep::kCreateTemp, EACCES, 1},
      {"the disk fills up midway", FileStep::kWrite, ENOSPC, 2},
      {"the flush fails", FileStep::kSyncFile, EIO, 1},
      {"the target is refused", FileStep::kReplace, EACCES, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    visual.clear();
    fs::remove_all(logFolder);
    fs::create_directory(logFolder);
    // Big enough to need several chunks, so a write can fail halfway.
    WriteFile(f.in + "/big.pdf", std::string(3 << 20, 'b'));
    WriteFile(f.out + "/Big.pdf", "the old target");
    FaultyFiles faulty;
    faulty.step = c.step;
    faulty.error = c.error;
    faulty.fromCall = c.fromCall;
    faulty.pathPrefix = c.step == FileStep::kOpenSource ? f.in : f.out;
    PassContext pass = Pass();
    Named(pass, "big.pdf", "Big.pdf");
    ASSERT_TRUE(Deliver(pass, faulty, test::RealLibrary()).ok());
    EXPECT_EQ(ReadFile(f.out + "/Big.pdf"), "the old target");
    EXPECT_EQ(Names(f.out), std::vector<std::string>{"Big.pdf"});
    ExpectFates(pass, {{"big.pdf", Fate::kInput}});
    EXPECT_TRUE(fs::exists(f.in + "/big.pdf"));
    EXPECT_EQ(Visual(), std::vector<std::string>{"big.pdf|Big.pdf|Cannot copy|2"});
    EXPECT_EQ(LogLines(), std::vector<std::string>{Line("big.pdf,Big.pdf,,Error,Cannot copy")});
  }
}

// An output folder that refuses every change, as a full or locked share does.
TEST_F(DeliveryTest, AnUnwritableOutputFolderGivesCannotCopy) {
  Input("a.pdf");
  WriteFile(f.out + "/A.pdf", "the old target");
  if (std::system(("chattr +i '" + f.out + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "chattr +i is not available here";
  }
  PassContext pass = Pass();
  Named(pass, "a.pdf", "A.pdf");
  const Status status = Deliver(pass);
  (void)std::system(("chattr -i '" + f.out + "'").c_str());
  ASSERT_TRUE(status.ok());
  EXPECT_EQ(ReadFile(f.out + "/A.pdf"), "the old target");
  ExpectFates(pass, {{"a.pdf", Fate::kInput}});
  EXPECT_EQ(Visual(), std::vector<std::string>{"a.pdf|A.pdf|Cannot copy|2"});
}

TEST_F(DeliveryTest, AnUnresolvedFileThatCannotReachTheErrorFolderStays) {
  Input("x.pdf");
  FaultyFiles faulty;
  faulty.step = FileStep::kWrite;
  faulty.error = ENOSPC;
  faulty.pathPrefix = f.err;
  PassContext pass = Pass();
  Unnamed(pass, "x.pdf");
  ASSERT_TRUE(Deliver(pass, faulty, test::RealLibrary()).ok());
  ExpectFates(pass, {{"x.pdf", Fate::kInput}});
  EXPECT_TRUE(fs::exists(f.in + "/x.pdf"));
  EXPECT_TRUE(Names(f.err).empty());
  EXPECT_EQ(Visual(), std::vector<std::string>{"x.pdf||Cannot copy|2"});
  EXPECT_EQ(LogLines(), std::vector<std::string>{Line("x.pdf,,,Error,Cannot copy")});
}

// An error folder that is the input folder itself: copying the file onto
// itself is refused, so the file is not deleted after it.
TEST_F(DeliveryTest, AnErrorFolderThatIsTheInputFolderKeepsTheFile) {
  Edit([&](QueueRecord& q) { q.Errorfolder = f.in; });
  Input("x.pdf");
  PassContext pass = Pass();
  Unnamed(pass, "x.pdf");
  ASSERT_TRUE(Deliver(pass).ok());
  EXPECT_EQ(ReadFile(f.in + "/x.pdf"), "content of x.pdf");
  EXPECT_EQ(Visual(), std::vector<std::string>{"x.pdf||Cannot copy|2"});
}

TEST_F(DeliveryTest, AnOutputFolderThatIsTheInputFolderNeverLosesAFileNamedAsItself) {
  Edit([&](QueueRecord& q) { q.Outputfolder = f.in; });
  Input("same.pdf");
  PassContext pass = Pass();
  Named(pass, "same.pdf", "same.pdf");
  ASSERT_TRUE(Deliver(pass).ok());
  EXPECT_EQ(ReadFile(f.in + "/same.pdf"), "content of same.pdf");
  EXPECT_EQ(Visual(), std::vector<std::string>{"same.pdf|same.pdf|Cannot copy|2"});
}

class SplitDelivery : public DeliveryTest {
 protected:
  void SetUp() override {
    DeliveryTest::SetUp();
    Edit([](QueueRecord& q) { q.Splitpdf = true; });
  }
  void ThreePagePdf(const std::string& name) { WriteFile(f.in + "/" + name, test::TestPdf(3)); }
  static int Pages(const std::string& path) {
    const std::string cmd = "qpdf --show-npages '" + path + "' 2>/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) return -1;
    int n = -1;
    if (std::fscanf(p, "%d", &n) != 1) n = -1;
    ::pclose(p);
    return n;
  }
};

TEST_F(SplitDelivery, RenamesInPlaceSplitsIntoPagesAndRemovesTheFile) {
  ThreePagePdf("in.pdf");
  Input("wait.pdf");
  PassContext pass = Pass();
  Named(pass, "in.pdf", "SPO_##.pdf", 5);
  AddEntry(pass.files, "wait.pdf", false);
  ASSERT_TRUE(Deliver(pass).ok());
  EXPECT_EQ(Names(f.out), (std::vector<std::string>{"SPO_05.pdf", "SPO_06.pdf", "SPO_07.pdf"}));
  for (const char* page : {"SPO_05.pdf", "SPO_06.pdf", "SPO_07.pdf"}) {
    EXPECT_EQ(Pages(f.out + "/" + page), 1) << page;
  }
  ExpectFates(pass, {{"in.pdf", Fate::kPages}, {"wait.pdf", Fate::kInput}});
  EXPECT_EQ(Names(f.in), std::vector<std::string>{"wait.pdf"});
  EXPECT_EQ(Visual(), std::vector<std::string>{"in.pdf|SPO_##.pdf|Renamed|1"});
  EXPECT_EQ(LogLines(), std::vector<std::string>{Line("in.pdf,SPO_##.pdf,,OK,")});
}

TEST_F(SplitDelivery, AFileThatAlreadyBearsItsNewNameIsSplitWithoutRename) {
  ThreePagePdf("P.pdf");
  PassContext pass = Pass();
  Named(pass, "P.pdf", "P.pdf", 1);
  ASSERT_TRUE(Deliver(pass).ok());
  EXPECT_EQ(Names(f.out), (std::vector<std::string>{"P_001.pdf", "P_002.pdf", "P_003.pdf"}));
  EXPECT_TRUE(Names(f.in).empty());
  EXPECT_EQ(Visual(), std::vector<std::string>{"P.pdf|P.pdf|Renamed|1"});
}

TEST_F(SplitDelivery, ANewNameTakenInTheInputFolderGivesCannotRename) {
  ThreePagePdf("in.pdf");
  Input("taken.pdf");
  PassContext pass = Pass();
  Named(pass, "in.pdf", "taken.pdf", 1);
  ASSERT_TRUE(Deliver(pass).ok());
  EXPECT_EQ(ReadFile(f.in + "/taken.pdf"), "content of taken.pdf");
  EXPECT_TRUE(Names(f.out).empty());
  ExpectFates(pass, {{"in.pdf", Fate::kInput}, {"taken.pdf", Fate::kInput}});
  EXPECT_TRUE(fs::exists(f.in + "/in.pdf"));
  EXPECT_EQ(Visual(), std::vector<std::string>{"in.pdf|taken.pdf|Cannot rename|2"});
  EXPECT_EQ(LogLines(), std::vector<std::string>{Line("in.pdf,taken.pdf,,Error,Cannot rename")});
}

// The renamed file of a failed split is never lost: it goes to the error
// folder under its old name, or back to its old name in the input folder.
TEST_F(SplitDelivery, AFileThatCannotBeSplitIsKept) {
  for (const bool withErrorFolder : {true, false}) {
    SCOPED_TRACE(withErrorFolder);
    visual.clear();
    Edit([&](QueueRecord& q) { q.Errorfolder = withErrorFolder ? f.err : ""; });
    Input("notpdf.pdf");
    PassContext pass = Pass();
    Named(pass, "notpdf.pdf", "N_##.pdf", 1);
    ASSERT_TRUE(Deliver(pass).ok());
    EXPECT_TRUE(Names(f.out).empty());
    if (withErrorFolder) {
      EXPECT_EQ(Names(f.err), std::vector<std::string>{"notpdf.pdf"});
      ExpectFates(pass, {{"notpdf.pdf", Fate::kError}});
      fs::remove(f.err + "/notpdf.pdf");
    } else {
      EXPECT_EQ(Names(f.in), std::vector<std::string>{"notpdf.pdf"});
      ExpectFates(pass, {{"notpdf.pdf", Fate::kInput}});
    }
    EXPECT_EQ(Visual(), std::vector<std::string>{"notpdf.pdf|N_##.pdf|Cannot split|2"});
  }
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{Line("notpdf.pdf,N_##.pdf,,Error,Cannot split"),
                                      Line("notpdf.pdf,N_##.pdf,,Error,Cannot split")}));
}

TEST_F(SplitDelivery, AFailedSplitWhoseErrorCopyFailsGoesBackToItsOldName) {
  Input("notpdf.pdf");
  FaultyFiles faulty;
  faulty.step = FileStep::kCreateTemp;
  faulty.error = EACCES;
  faulty.pathPrefix = f.err;
  PassContext pass = Pass();
  Named(pass, "notpdf.pdf", "N.pdf", 1);
  ASSERT_TRUE(Deliver(pass, faulty, test::RealLibrary()).ok());
  EXPECT_EQ(Names(f.in), std::vector<std::string>{"notpdf.pdf"});
  EXPECT_TRUE(Names(f.err).empty());
  EXPECT_EQ(Visual(), std::vector<std::string>{"notpdf.pdf|N.pdf|Cannot split|2"});
}

TEST_F(SplitDelivery, WithoutPDFSplitterTheFileIsNotEvenRenamed) {
  auto nosplit = test::LoadLibrary("testlibs/nosplit");
  ASSERT_FALSE(nosplit->Has(EntryPoint::kPDFSplitter));
  ASSERT_TRUE(nosplit->Has(EntryPoint::kFormatExpression));
  ThreePagePdf("in.pdf");
  PassContext pass = Pass();
  Named(pass, "in.pdf", "N.pdf", 1);
  ASSERT_TRUE(Deliver(pass, realFiles, *nosplit).ok());
  EXPECT_EQ(Names(f.in), std::vector<std::string>{"in.pdf"});
  EXPECT_TRUE(Names(f.out).empty());
  EXPECT_TRUE(Names(f.err).empty());
  EXPECT_EQ(Visual(), std::vector<std::string>{"in.pdf|N.pdf|Cannot split|2"});
}

TEST_F(DeliveryTest, ALogFileThatCannotBeWrittenEndsTheStage) {
  Edit([&](QueueRecord& q) { q.Logfile = f.root / "no-such-folder"; });
  for (const char* name : {"a.pdf", "b.pdf", "c.pdf"}) Input(name);
  PassContext pass = Pass();
  Named(pass, "a.pdf", "A.pdf");
  Named(pass, "b.pdf", "B.pdf");
  Unnamed(pass, "c.pdf");
  const Status status = Deliver(pass);
  EXPECT_FALSE(status.ok());
  // The file at hand was delivered and shown; the rest wait untouched.
  ExpectFates(pass, {{"a.pdf", Fate::kOutput}, {"b.pdf", Fate::kInput}, {"c.pdf", Fate::kInput}});
  EXPECT_EQ(Visual(), std::vector<std::string>{"a.pdf|A.pdf|Renamed|1"});
}

TEST_F(DeliveryTest, WithoutMakelogOnlyTheVisualLogHearsOfIt) {
  Edit([](QueueRecord& q) { q.Makelog = false; });
  Input("a.pdf");
  PassContext pass = Pass();
  Named(pass, "a.pdf", "A.pdf");
  ASSERT_TRUE(Deliver(pass).ok());
  EXPECT_TRUE(Names(logFolder).empty());
  EXPECT_EQ(Visual(), std::vector<std::string>{"a.pdf|A.pdf|Renamed|1"});
}

TEST_F(DeliveryTest, TheXmlLogReceivesTheSameResults) {
  Edit([](QueueRecord& q) { q.logtype = 1; });
  Input("a.pdf");
  Input("x.pdf");
  PassContext pass = Pass();
  Named(pass, "a.pdf", "A.pdf");
  Unnamed(pass, "x.pdf");
  ASSERT_TRUE(Deliver(pass).ok());
  const std::string xml = ReadFile(logFolder + "/Sport.xml");
  EXPECT_NE(xml.find("<a.pdf>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("xmlns=\"A.pdf\" status=\"OK\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("status=\"Error\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("Comment=\"cannot rename\""), std::string::npos) << xml;
}

// Inside the engine: the stage asks the engine between files.
class DeliveryInEngine : public DeliveryTest {
 protected:
  Trenamethread MakeEngine(EngineStages* stages = nullptr) {
    return Trenamethread(EngineServices{host, files, clock, stages},
                         std::make_shared<EngineControl>());
  }
  test::CountingFiles files;
};

TEST_F(DeliveryInEngine, SwitchingOffFinishesAndReportsTheCurrentFileOnly) {
  for (const char* name : {"a.pdf", "b.pdf", "c.pdf"}) Input(name);
  PassContext pass = Pass();
  Named(pass, "a.pdf", "A.pdf");
  Named(pass, "b.pdf", "B.pdf");
  Named(pass, "c.pdf", "C.pdf");
  VisualLog switching(clock, DefaultRegionalSettings(), [this](VisualLogEntry e) {
    visual.push_back(std::move(e));
    host.settings.switchedOn = false;
  });
  Trenamethread engine = MakeEngine();
  Delivery delivery(test::RealLibrary(), realFiles, switching, writer, clock);
  NoteInputs();
  ASSERT_TRUE(delivery.DeliverFiles(engine, pass).ok());
  ExpectFates(pass, {{"a.pdf", Fate::kOutput}, {"b.pdf", Fate::kInput}, {"c.pdf", Fate::kInput}});
  EXPECT_EQ(Visual(), std::vector<std::string>{"a.pdf|A.pdf|Renamed|1"});
  EXPECT_EQ(LogLines(), std::vector<std::string>{Line("a.pdf,A.pdf,,OK,")});
}

// A whole per-queue pass with the program's stages: discovery, stability,
// naming through regex.so, delivery and both logs.
TEST_F(DeliveryInEngine, APassNamesAndDeliversWithTheStandardStages) {
  Edit([](QueueRecord& q) {
    q.NRegularexpr = 1;
    q.rule(1) = Rule{R"(SPO_(\d+)\.pdf)", "Sport_$1.pdf", false, ""};
  });
  Input("SPO_07.pdf");
  Input("unknown.txt");
  StandardStages stages(test::RealLibrary(), visualLog, writer, clock);
  Trenamethread engine = MakeEngine(&stages);
  ASSERT_TRUE(engine.ProcessQueue(slot).ok());
  EXPECT_EQ(ReadFile(f.out + "/Sport_07.pdf"), "content of SPO_07.pdf");
  EXPECT_EQ(ReadFile(f.err + "/unknown.txt"), "content of unknown.txt");
  EXPECT_TRUE(Names(f.in).empty());
  std::vector<std::string> rows = Visual();
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows, (std::vector<std::string>{"SPO_07.pdf|Sport_07.pdf|Renamed|1",
                                            "unknown.txt||cannot rename|2"}));
  EXPECT_EQ(LogLines().size(), 2u);
}

TEST_F(DeliveryInEngine, ALogErrorEndsOnlyThisQueuesDeliveryNotThePass) {
  Edit([&](QueueRecord& q) {
    q.Logfile = f.root / "no-such-folder";
    q.NRegularexpr = 1;
    q.rule(1) = Rule{R"((.*))", "new_$1", false, ""};
  });
  test::QueueFolders g;
  const int second = test::AddQueue(host.table, "Second", g, [](QueueRecord& q) {
    q.NRegularexpr = 1;
    q.rule(1) = Rule{R"((.*))", "new_$1", false, ""};
  });
  ASSERT_GT(second, slot);
  Input("a.pdf");
  Input("b.pdf");
  WriteFile(g.in + "/c.pdf", "c");
  StandardStages stages(test::RealLibrary(), visualLog, writer, clock);
  Trenamethread engine = MakeEngine(&stages);
  ASSERT_TRUE(engine.ScanQueues().ok());
  // One file of the first queue went before its log failed; the second
  // queue was still served.
  EXPECT_EQ(Names(f.in).size(), 1u);
  EXPECT_EQ(Names(f.out).size(), 1u);
  EXPECT_EQ(Names(g.out), std::vector<std::string>{"new_c.pdf"});
}

}  // namespace
}  // namespace zf
