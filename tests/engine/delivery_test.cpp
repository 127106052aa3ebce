#include "engine/delivery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "config/datetimepattern.h"
#include "deliverytestkit.h"
#include "engine/renamethread.h"
#include "engine/standardstages.h"
#include "enginetestkit.h"
#include "immutable.h"
#include "testpdf.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using test::AddEntry;
using test::FaultyFiles;
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
    return delivery_(lib, ops).DeliverFiles(pass, keepGoing, Reports());
  }
  // One delivery per library and file operations, kept across calls as the
  // engine keeps its stage: what it remembers between passes counts.
  Delivery& delivery_(ExpressionLibrary& lib, FileOperations& ops) {
    if (!delivery || &lib != deliveryLib || &ops != deliveryOps) {
      delivery = std::make_unique<Delivery>(lib, ops, visualLog, writer, clock);
      deliveryLib = &lib;
      deliveryOps = &ops;
    }
    return *delivery;
  }
  DeliveryReports Reports() {
    DeliveryReports r;
    r.problem = [this](std::string_view input, std::string_view comment, std::string_view reason) {
      problems.push_back(std::string(input) + "|" + std::string(comment) + "|" +
                         std::string(reason));
    };
    return r;
  }
  Status Deliver(PassContext& pass) { return Deliver(pass, realFiles, test::RealLibrary()); }

  void NoteInputs() {
    before_.clear();
    for (const auto& e : fs::directory_iterator(f.in)) {
      if (!e.is_regular_file()) continue;  // a pipe would block the read
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
  std::vector<std::string> Names(const std::string& folder) const { return test::NamesIn(folder); }

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
  std::vector<std::string> problems;  // input|comment|reason
  std::unique_ptr<Delivery> delivery;
  ExpressionLibrary* deliveryLib = nullptr;
  FileOperations* deliveryOps = nullptr;

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
    problems.clear();
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
    // The comment stays the log files' word; the reason goes beside it.
    EXPECT_EQ(visual[0].reason, std::strerror(c.error));
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
  EXPECT_EQ(Names(f.in), std::vector<std::string>{"wait.pdf"});  // no staging folder left
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

// The input folder is never renamed in: another file there that bears the
// new name is left alone, and the split goes ahead.
TEST_F(SplitDelivery, AFileOfTheNewNameInTheInputFolderIsLeftAlone) {
  ThreePagePdf("in.pdf");
  Input("taken.pdf");
  PassContext pass = Pass();
  Named(pass, "in.pdf", "taken.pdf", 1);
  ASSERT_TRUE(Deliver(pass).ok());
  EXPECT_EQ(ReadFile(f.in + "/taken.pdf"), "content of taken.pdf");
  EXPECT_EQ(Names(f.out),
            (std::vector<std::string>{"taken_001.pdf", "taken_002.pdf", "taken_003.pdf"}));
  EXPECT_EQ(Names(f.in), std::vector<std::string>{"taken.pdf"});
  EXPECT_EQ(Visual(), std::vector<std::string>{"in.pdf|taken.pdf|Renamed|1"});
}

// The splitter is handed the file under its new name in our staging folder,
// while the input keeps its old name: a crash at any point of the split
// leaves the file where the rules found it, and the start-up clean-up removes
// the staging link.
TEST_F(SplitDelivery, TheFileKeepsItsOldNameWhileItIsSplit) {
  ThreePagePdf("in.pdf");
  struct Watching : ExpressionLibrary {
    ExpressionLibrary& real = test::RealLibrary();
    std::string input;
    std::vector<std::string> seenPath;
    bool inputThere = false;
    bool Has(EntryPoint e) const override { return real.Has(e); }
    CallResult TryMatch(std::string_view m, std::string_view n, bool p) override {
      return real.TryMatch(m, n, p);
    }
    CallResult Format(std::string_view m, std::string_view f, std::string_view n, bool p,
                      FormatPurpose u) override {
      return real.Format(m, f, n, p, u);
    }
    CallResult SplitPdf(std::string_view path, std::int32_t page, std::string_view out) override {
      seenPath.emplace_back(path);
      inputThere = fs::exists(input);
      return real.SplitPdf(path, page, out);
    }
  } watching;
  watching.input = f.in + "/in.pdf";
  PassContext pass = Pass();
  Named(pass, "in.pdf", "SPO_#.pdf", 1);
  ASSERT_TRUE(Deliver(pass, realFiles, watching).ok());
  ASSERT_EQ(watching.seenPath.size(), 1u);
  // Through our open staging folder, so a link swapped in cannot redirect it.
  EXPECT_TRUE(watching.seenPath[0].starts_with("/proc/self/fd/")) << watching.seenPath[0];
  EXPECT_TRUE(watching.seenPath[0].ends_with("/SPO_#.pdf")) << watching.seenPath[0];
  EXPECT_TRUE(watching.inputThere);
  EXPECT_EQ(Names(f.out), (std::vector<std::string>{"SPO_1.pdf", "SPO_2.pdf", "SPO_3.pdf"}));

  // What a crash during the split leaves: the input and a staging link.
  ThreePagePdf("again.pdf");
  fs::create_directory(f.in + "/.zf-staging");
  fs::create_hard_link(f.in + "/again.pdf", f.in + "/.zf-staging/AGAIN.pdf");
  EXPECT_EQ(RemoveDeliveryLeftovers(host.table), 1);
  EXPECT_EQ(Names(f.in), std::vector<std::string>{"again.pdf"});
  EXPECT_EQ(Pages(f.in + "/again.pdf"), 3);
}

// The file of a failed split is never lost: it goes to the error folder
// under its old name, or stays in the input folder, told once and not as a
// result of every pass.
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
    EXPECT_EQ(Visual(), withErrorFolder
                            ? std::vector<std::string>{"notpdf.pdf|N_##.pdf|Cannot split|2"}
                            : std::vector<std::string>{});
  }
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{Line("notpdf.pdf,N_##.pdf,,Error,Cannot split")}));
}

TEST_F(SplitDelivery, AFailedSplitWhoseErrorCopyFailsStaysUnderItsOldName) {
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

// A log file that cannot be written loses its entries, and the operator is
// told of each one; the files themselves are delivered all the same.
TEST_F(DeliveryTest, ALogFileThatCannotBeWrittenIsReportedAndDeliveryGoesOn) {
  Edit([&](QueueRecord& q) { q.Logfile = f.root / "no-such-folder"; });
  for (const char* name : {"a.pdf", "b.pdf", "c.pdf"}) Input(name);
  PassContext pass = Pass();
  Named(pass, "a.pdf", "A.pdf");
  Named(pass, "b.pdf", "B.pdf");
  Unnamed(pass, "c.pdf");
  ASSERT_TRUE(Deliver(pass).ok());
  ExpectFates(pass, {{"a.pdf", Fate::kOutput}, {"b.pdf", Fate::kOutput}, {"c.pdf", Fate::kError}});
  EXPECT_EQ(Visual(), (std::vector<std::string>{"a.pdf|A.pdf|Renamed|1", "b.pdf|B.pdf|Renamed|1",
                                                "c.pdf||cannot rename|2"}));
  ASSERT_EQ(problems.size(), 3u);
  for (const std::string& p : problems) {
    EXPECT_NE(p.find("|Cannot write the log file|"), std::string::npos) << p;
    EXPECT_NE(p.find("no-such-folder"), std::string::npos) << p;
  }
}

// An input that cannot be deleted after its copy (an immutable file, an
// append-only folder) is reported once and not delivered again while it stays
// the same file: no copy and no "Renamed" in every pass.
TEST_F(DeliveryTest, AnInputThatCannotBeDeletedIsReportedAndNotDeliveredAgain) {
  Input("a.pdf");
  test::Immutable locked(f.in + "/a.pdf");
  if (!locked.ok()) GTEST_SKIP() << "chattr +i is not available here";
  const auto passWith = [&] {
    PassContext pass = Pass();
    Named(pass, "a.pdf", "A.pdf");
    pass.files.at(1).identity = realFiles.IdentityOf(f.in + "/a.pdf").value();
    return pass;
  };
  PassContext first = passWith();
  ASSERT_TRUE(Deliver(first).ok());
  EXPECT_EQ(ReadFile(f.out + "/A.pdf"), "content of a.pdf");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].rfind("a.pdf|Cannot delete|Operation not permitted", 0), 0u) << problems[0];
  fs::remove(f.out + "/A.pdf");
  PassContext second = passWith();
  ASSERT_TRUE(Deliver(second).ok());
  EXPECT_FALSE(fs::exists(f.out + "/A.pdf")) << "delivered a second time";
  EXPECT_EQ(Visual(), std::vector<std::string>{"a.pdf|A.pdf|Renamed|1"});
  EXPECT_EQ(LogLines().size(), 1u);
  EXPECT_EQ(problems.size(), 1u);
}

// A name a rule made that cannot be used never costs the file: it goes to the
// error folder with the reason, or stays in the input folder, said once.
TEST_F(DeliveryTest, ARefusedNameSendsTheFileToTheErrorFolderOrLeavesIt) {
  for (const bool withErrorFolder : {true, false}) {
    SCOPED_TRACE(withErrorFolder);
    visual.clear();
    problems.clear();
    Edit([&](QueueRecord& q) { q.Errorfolder = withErrorFolder ? f.err : ""; });
    Input("keep.pdf");
    PassContext pass = Pass();
    Unnamed(pass, "keep.pdf");
    pass.files.at(1).refused = true;
    pass.files.at(1).reason = "the name \"../keep.pdf\" leaves the output folder";
    ASSERT_TRUE(Deliver(pass).ok());
    if (withErrorFolder) {
      ExpectFates(pass, {{"keep.pdf", Fate::kError}});
      ASSERT_EQ(visual.size(), 1u);
      EXPECT_EQ(visual[0].comment, "cannot rename");
      EXPECT_EQ(visual[0].reason, pass.files.at(1).reason);
      fs::remove(f.err + "/keep.pdf");
    } else {
      ExpectFates(pass, {{"keep.pdf", Fate::kInput}});
      EXPECT_TRUE(visual.empty());
      EXPECT_EQ(problems,
                std::vector<std::string>{"keep.pdf|cannot rename|" + pass.files.at(1).reason});
    }
  }
}

// A name with separators is delivered into an existing subfolder of the
// output folder, and never anywhere else.
TEST_F(DeliveryTest, ANameIntoASubfolderNeedsARealSubfolderOfTheOutputFolder) {
  fs::create_directories(f.out + "/sport/day");
  const test::TempDir outside;
  fs::create_directory_symlink(outside.path(), f.out + "/escape");
  struct Case {
    const char* newname;
    const char* deliveredAs;  // relative to the output folder; empty: refused
  };
  const Case cases[] = {
      {"sport/a.pdf", "sport/a.pdf"},
      {"sport\\day\\a.pdf", "sport/day/a.pdf"},  // written on the desktop platform
      {"missing/a.pdf", ""},
      {"escape/a.pdf", ""},                    // a link out of the output folder
      {"back\\slash.pdf", "back\\slash.pdf"},  // no such subfolder: a plain name
  };
  Edit([](QueueRecord& q) { q.Errorfolder = ""; });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.newname);
    problems.clear();
    Input("a.pdf");
    PassContext pass = Pass();
    Named(pass, "a.pdf", c.newname);
    ASSERT_TRUE(Deliver(pass).ok());
    if (*c.deliveredAs != 0) {
      EXPECT_EQ(ReadFile(f.out + "/" + c.deliveredAs), "content of a.pdf");
      EXPECT_FALSE(fs::exists(f.in + "/a.pdf"));
      fs::remove(f.out + "/" + c.deliveredAs);
    } else {
      EXPECT_TRUE(fs::exists(f.in + "/a.pdf"));  // kept: the queue has no error folder
      ASSERT_EQ(problems.size(), 1u);
      EXPECT_NE(problems[0].find("no subfolder"), std::string::npos) << problems[0];
      fs::remove(f.in + "/a.pdf");
    }
    EXPECT_TRUE(fs::is_empty(outside.path()));
  }
}

// Between the stability check and the copy, another program may put a link
// or a pipe under the file's name: neither is read, nothing blocks, and a
// link's target (any file the service could read) never reaches the output.
TEST_F(DeliveryTest, AFileSwappedAfterTheStabilityCheckIsNotDelivered) {
  const test::TempDir secrets;
  WriteFile(secrets.path() / "Zentrafold.ini", "FTPpasw=secret");
  for (const char* swap : {"link", "fifo", "other file"}) {
    SCOPED_TRACE(swap);
    visual.clear();
    Input("a.pdf");
    PassContext pass = Pass();
    Named(pass, "a.pdf", "A.pdf");
    pass.files.at(1).identity = realFiles.IdentityOf(f.in + "/a.pdf").value();
    // The other file is made while the first still exists, so it cannot
    // reuse its inode.
    WriteFile(f.root / "other", "content of a.pdf");
    fs::remove(f.in + "/a.pdf");
    const std::string swapped = f.in + "/a.pdf";
    if (std::string(swap) == "link") {
      fs::create_symlink(secrets / "Zentrafold.ini", swapped);
    } else if (std::string(swap) == "fifo") {
      ASSERT_EQ(::mkfifo(swapped.c_str(), 0600), 0);
    } else {
      fs::rename(f.root / "other", swapped);  // same content, another file
    }
    fs::remove(f.root / "other");
    ASSERT_TRUE(Deliver(pass).ok());
    EXPECT_FALSE(fs::exists(f.out + "/A.pdf"));
    EXPECT_TRUE(fs::exists(fs::symlink_status(swapped))) << "the swapped entry was removed";
    ASSERT_EQ(visual.size(), 1u);
    EXPECT_EQ(visual[0].comment, "Cannot copy");
    EXPECT_FALSE(visual[0].reason.empty());
    fs::remove(swapped);
  }
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

// Copies go in groups; a switch-off is seen after each file joins the group,
// and only the group under way is finished: delivered and reported.
TEST_F(DeliveryInEngine, SwitchingOffFinishesAndReportsTheCurrentGroupOnly) {
  for (const char* name : {"a.pdf", "b.pdf", "c.pdf"}) Input(name);
  PassContext pass = Pass();
  Named(pass, "a.pdf", "A.pdf");
  Named(pass, "b.pdf", "B.pdf");
  Named(pass, "c.pdf", "C.pdf");
  // The switch goes off while b.pdf is copied.
  class SwitchingFiles : public SystemFileOperations {
   public:
    explicit SwitchingFiles(test::RecordingHost& host) : host_(host) {}

   protected:
    int InjectFault(FileStep step, const std::string& path) override {
      if (step == FileStep::kOpenSource && path.ends_with("/b.pdf")) {
        host_.settings.switchedOn = false;
      }
      return 0;
    }

   private:
    test::RecordingHost& host_;
  } switching(host);
  Trenamethread engine = MakeEngine();
  Delivery delivery(test::RealLibrary(), switching, visualLog, writer, clock);
  NoteInputs();
  ASSERT_TRUE(delivery.DeliverFiles(engine, pass).ok());
  ExpectFates(pass, {{"a.pdf", Fate::kOutput}, {"b.pdf", Fate::kOutput}, {"c.pdf", Fate::kInput}});
  EXPECT_EQ(Visual(), (std::vector<std::string>{"a.pdf|A.pdf|Renamed|1", "b.pdf|B.pdf|Renamed|1"}));
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{Line("a.pdf,A.pdf,,OK,"), Line("b.pdf,B.pdf,,OK,")}));
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

TEST_F(DeliveryInEngine, ALogErrorNeitherEndsThisQueuesDeliveryNorThePass) {
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
  // Both files of the first queue went although its log failed; the second
  // queue was served too.
  EXPECT_TRUE(Names(f.in).empty());
  EXPECT_EQ(Names(f.out).size(), 2u);
  EXPECT_EQ(Names(g.out), std::vector<std::string>{"new_c.pdf"});
}

// Two files for one name, in one pass or one after the other: the queue's
// collision policy decides, and both logs say which way each file went.
TEST_F(DeliveryInEngine, TwoFilesForOneNameGoTheWayTheCollisionPolicySays) {
  struct Case {
    std::int32_t policy;
    bool sameContent, errorFolder, split;
    std::string folders;  // what each folder holds afterwards, name=content
    std::string second;   // the visual log row of the second file
  };
  const std::vector<Case> cases = {
      {kCollisionReplace, false, true, false, "out:X.pdf=two", "b_X.pdf|X.pdf|Renamed|1"},
      {kCollisionKeepBoth, false, true, false, "out:X.pdf=one out:X_2.pdf=two",
       "b_X.pdf|X_2.pdf|Kept both|1"},
      {kCollisionKeepBoth, true, false, false, "out:X.pdf=one", "b_X.pdf|X.pdf|Duplicate|1"},
      {kCollisionToError, false, true, false, "err:b_X.pdf=two out:X.pdf=one",
       "b_X.pdf|X.pdf|Cannot rename: the output folder already holds X.pdf|2"},
      {kCollisionToError, false, false, false, "in:b_X.pdf=two out:X.pdf=one", ""},
      {kCollisionDuplicate, true, true, false, "out:X.pdf=one", "b_X.pdf|X.pdf|Duplicate|1"},
      {kCollisionDuplicate, false, true, false, "out:X.pdf=two", "b_X.pdf|X.pdf|Replaced|1"},
      // A split queue judges each page.
      {kCollisionKeepBoth, false, true, true,
       "out:X_01.pdf out:X_01_2.pdf out:X_02.pdf "
       "out:X_02_2.pdf",
       "b_X.pdf|X_##.pdf|Kept both|1"},
      {kCollisionToError, false, true, true, "err:b_X.pdf out:X_01.pdf out:X_02.pdf",
       "b_X.pdf|X_##.pdf|Cannot rename: the output folder already holds X_01.pdf|2"},
  };
  StandardStages stages(test::RealLibrary(), visualLog, writer, clock);
  for (const Case& c : cases) {
    for (const bool twoPasses : {false, true}) {
      SCOPED_TRACE(c.folders + (twoPasses ? ", two passes" : ", one pass"));
      for (const std::string& folder : {f.in, f.out, f.err, logFolder}) {
        fs::remove_all(folder);
        fs::create_directory(folder);
      }
      visual.clear();
      Edit([&](QueueRecord& q) {
        q.Collision = c.policy;
        q.Errorfolder = c.errorFolder ? f.err : "";
        q.Splitpdf = c.split;
        q.NRegularexpr = 1;
        q.rule(1) = Rule{R"([ab]_(X)\.pdf)", c.split ? "$1_##.pdf" : "$1.pdf", false, "1"};
      });
      Trenamethread engine = MakeEngine(&stages);
      const auto content = [&](const std::string& text, std::size_t pad) {
        return c.split ? test::TestPdf(2, 1, pad) : text;
      };
      // The older file comes first.
      WriteFile(f.in + "/a_X.pdf", content("one", 10));
      test::SetTimes(f.in + "/a_X.pdf", 1'600'000'000, 1'600'000'000);
      if (twoPasses) {
        ASSERT_TRUE(engine.ProcessQueue(slot).ok());
      }
      WriteFile(f.in + "/b_X.pdf", c.sameContent ? content("one", 10) : content("two", 20));
      test::SetTimes(f.in + "/b_X.pdf", 1'600'000'100, 1'600'000'100);
      ASSERT_TRUE(engine.ProcessQueue(slot).ok());
      if (!c.errorFolder) {
        // A refused file is told once and waits; a further pass changes nothing.
        ASSERT_TRUE(engine.ProcessQueue(slot).ok());
      }

      std::string held;
      for (const auto& [label, folder] : std::vector<std::pair<std::string, std::string>>{
               {"err", f.err}, {"in", f.in}, {"out", f.out}}) {
        for (const std::string& name : Names(folder)) {
          held += (held.empty() ? "" : " ") + label + ":" + name +
                  (c.split ? "" : "=" + ReadFile(folder + "/" + name));
        }
      }
      EXPECT_EQ(held, c.folders);
      const std::vector<std::string> rows = Visual();
      ASSERT_EQ(rows.size(), c.second.empty() ? 1u : 2u);
      EXPECT_EQ(rows.front(), c.split ? "a_X.pdf|X_##.pdf|Renamed|1" : "a_X.pdf|X.pdf|Renamed|1");
      if (c.second.empty()) continue;
      EXPECT_EQ(rows.back(), c.second);
      // The log file names the way too, beside the status word.
      const std::string way = c.second.substr(c.second.find('|', 8) + 1);
      const std::string comment = way.substr(0, way.size() - 2);
      const std::string status = way.ends_with("|1") ? "OK," : "Error,";
      const std::string line = LogLines().back();
      EXPECT_NE(line.find(status + (comment == kRenamed ? "" : comment) + ","), std::string::npos)
          << line;
    }
  }
}

}  // namespace
}  // namespace zf
