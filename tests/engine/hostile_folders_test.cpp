// Delivery into folders other people write at the same time: links planted
// or swapped in, files re-sent under the same name while they are delivered,
// names that chain through the input folder. The races are made at the
// platform seam, at the step where they do harm.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "deliverytestkit.h"
#include "engine/delivery.h"
#include "enginetestkit.h"
#include "immutable.h"
#include "testpdf.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

struct Folders {
  test::QueueFolders f;
  std::string outside = f.root / "outside";
  QueueTable table;
  test::FakeClock clock;
  std::vector<std::string> visual;  // input|output|comment|reason
  std::vector<std::string> told;    // input|comment|reason
  VisualLog visualLog{
      clock, DefaultRegionalSettings(), [this](VisualLogEntry e) {
        visual.push_back(e.inputName + "|" + e.outputName + "|" + e.comment + "|" + e.reason);
      }};
  LogFileWriter writer{table, clock, "dd.mm.yyyy"};
  Folders() { fs::create_directory(outside); }
  std::string In(const std::string& name) const { return f.in + "/" + name; }
  bool Said(const std::string& part) const {
    for (const auto* texts : {&told, &visual}) {
      for (const std::string& t : *texts) {
        if (t.find(part) != std::string::npos) return true;
      }
    }
    return false;
  }
};

// Runs a hook before each step of the real file operations.
class RacingFiles : public SystemFileOperations {
 public:
  std::function<int(FileStep, const std::string&)> hook;

 protected:
  int InjectFault(FileStep step, const std::string& path) override {
    return hook ? hook(step, path) : 0;
  }
};

// What a row expects of a path under the test's root: its content, or
// kGone / kThere.
const std::string kGone = "<gone>";
const std::string kThere = "<there>";

struct Row {
  const char* what;
  bool split;
  std::vector<std::pair<std::string, std::string>> files;  // input (content = name), new name
  std::function<void(Folders&)> plant;
  FileStep step;  // where the race happens: `race` runs, or the step fails with `error`
  std::function<void(Folders&)> race;
  int error;
  std::vector<std::pair<std::string, std::string>> expect;
  std::string said;  // in a problem told, or a result's reason
};

// A sender's second version of `path`: a new file renamed over the name.
void Resend(const std::string& path, const std::string& content) {
  WriteFile(path + ".new", content);
  fs::rename(path + ".new", path);
}

TEST(HostileFolders, NothingIsLostOrWrittenOrDeletedOutsideOurFolders) {
  const auto swapSub = [](Folders& s) {
    if (fs::is_symlink(s.f.out + "/sub")) return;
    fs::rename(s.f.out + "/sub", s.f.out + "/sub.old");
    fs::create_directory_symlink(s.outside, s.f.out + "/sub");
  };
  const std::vector<std::pair<std::string, std::string>> splitCopy = {
      {"out/P_1.pdf", kThere}, {"out/P_3.pdf", kThere}, {"in/p.pdf", kGone}};
  // clang-format off
  const std::vector<Row> rows = {
      {"a file re-sent during the group flush stays for the next pass", false,
       {{"a.pdf", "A.pdf"}}, {}, FileStep::kSyncFolder,
       [](Folders& s) { Resend(s.In("a.pdf"), "version 2"); }, 0,
       {{"out/A.pdf", "a.pdf"}, {"in/a.pdf", "version 2"}}},
      {"a file rewritten in place during the flush stays", false,
       {{"a.pdf", "A.pdf"}}, {}, FileStep::kSyncFolder,
       [](Folders& s) { WriteFile(s.In("a.pdf"), "A.PDF"); }, 0,
       {{"out/A.pdf", "a.pdf"}, {"in/a.pdf", "A.PDF"}}},
      {"a staging folder planted as a link is never written or deleted through", true,
       {{"n.pdf", "N.pdf"}},
       [](Folders& s) {
         WriteFile(s.outside + "/N.pdf", "victim");
         fs::create_directory_symlink(s.outside, s.In(".zf-staging"));
       }, FileStep::kOpenSource, {}, 0,
       {{"outside/N.pdf", "victim"}, {"in/n.pdf", kThere}}, "the split waits"},
      {"a subfolder swapped for a link after its check receives nothing", false,
       {{"a.pdf", "sub/A.pdf"}}, [](Folders& s) { fs::create_directory(s.f.out + "/sub"); },
       FileStep::kCreateTemp, swapSub, 0,
       {{"outside/A.pdf", kGone}, {"out/sub.old/A.pdf", "a.pdf"}}},
      {"a name that is another input of the pass waits instead of replacing it", false,
       {{"a.pdf", "b.pdf"}, {"b.pdf", "c.pdf"}}, {}, FileStep::kOpenSource, {}, 0,
       {{"in/a.pdf", "a.pdf"}, {"in/c.pdf", "b.pdf"}, {"in/b.pdf", kGone}}},
      {"a split where hard links are refused (EPERM) splits a copy", true,
       {{"p.pdf", "P_#.pdf"}}, {}, FileStep::kHardLink, {}, EPERM, splitCopy},
      {"a split across file systems (EXDEV) splits a copy", true,
       {{"p.pdf", "P_#.pdf"}}, {}, FileStep::kHardLink, {}, EXDEV, splitCopy},
      {"a copy onto the input itself is refused for its true cause", false,
       {{"a.pdf", "a.pdf"}}, {}, FileStep::kOpenSource, {}, 0, {{"in/a.pdf", "a.pdf"}},
       "|the same file as the target"},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Folders s;
    const bool chained = row.files.size() > 1 || row.files[0].first == row.files[0].second;
    const int slot = test::AddQueue(s.table, "Q", s.f, [&](QueueRecord& q) {
      q.Splitpdf = row.split;
      if (chained) q.Outputfolder = s.f.in;
    });
    for (const auto& [name, newname] : row.files) {
      WriteFile(s.In(name), row.split ? test::TestPdf(3) : name);
    }
    if (row.plant) row.plant(s);
    PassContext pass = test::MakePass(s.table.Get(slot), slot);
    for (const auto& [name, newname] : row.files) {
      test::AddEntry(pass.files, name);
      FileEntry& e = pass.files.at(pass.files.count());
      e.newname = newname;
      e.pagenumber = 1;
      e.identity = SystemFileOperations().IdentityOf(s.In(name)).value();
      e.filesize64 = static_cast<std::int64_t>(fs::file_size(s.In(name)));
    }
    RacingFiles files;
    bool raced = false;
    files.hook = [&](FileStep step, const std::string&) {
      if (step != row.step || raced) return 0;
      raced = row.error == 0;
      if (row.race) row.race(s);
      return row.error;
    };
    DeliveryReports reports;
    reports.problem = [&](std::string_view, std::string_view, std::string_view reason) {
      s.told.emplace_back(reason);
    };
    Delivery delivery(test::RealLibrary(), files, s.visualLog, s.writer, s.clock);
    ASSERT_TRUE(delivery
                    .DeliverFiles(
                        pass, [] { return true; }, reports)
                    .ok());
    for (const auto& [path, want] : row.expect) {
      const fs::path at = s.f.root.path() / path;
      if (want == kGone || want == kThere) {
        EXPECT_EQ(fs::exists(at), want == kThere) << path;
      } else {
        EXPECT_EQ(fs::exists(at) ? ReadFile(at) : kGone, want) << path;
      }
    }
    if (!row.said.empty()) {
      EXPECT_TRUE(s.Said(row.said)) << row.said;
    }
  }
}

// The start-up clean-up of a staging folder removes only what is provably
// ours, and puts an input that a crash left moved aside back.
TEST(HostileFolders, StartUpCleanUpTakesOnlyWhatIsOurs) {
  test::QueueFolders f;
  const std::string staging = f.in + "/.zf-staging";
  fs::create_directory(staging);
  WriteFile(f.in + "/a.pdf", "a");
  fs::create_hard_link(f.in + "/a.pdf", staging + "/A.pdf");        // a split's link
  WriteFile(staging + "/.zf-0123456789abcdef-B.pdf.part", "half");  // a copy's temporary file
  WriteFile(staging + "/c.pdf", "moved aside");                     // an input being deleted
  ASSERT_TRUE(RemoveStagingLeftovers(f.in).ok());
  EXPECT_EQ(test::NamesIn(f.in), (std::vector<std::string>{"a.pdf", "c.pdf"}));
  EXPECT_EQ(ReadFile(f.in + "/c.pdf"), "moved aside");
}

// Why a split fails decides where the file goes: a fault of the output side
// keeps it for the next pass; each cause is named as it is.
TEST(HostileFolders, SplitFailuresKeepTheFileAndNameTheirCause) {
  struct Case {
    const char* what;
    std::string content;
    int page;
    bool immutableOutput;
    std::string reason;
    bool keptInInput;
  };
  const std::vector<Case> cases = {
      {"an unwritable output folder", test::TestPdf(2), 1, true,
       "the pages could not be written: Operation not permitted", true},
      {"a negative page number", test::TestPdf(2), -3, false, "the first page number is negative",
       false},
      {"not a PDF file", "plain text", 1, false, "not a PDF file the splitter can read", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Folders s;
    const int slot = test::AddQueue(s.table, "Q", s.f, [&](QueueRecord& q) { q.Splitpdf = true; });
    WriteFile(s.In("p.pdf"), c.content);
    PassContext pass = test::MakePass(s.table.Get(slot), slot);
    test::AddEntry(pass.files, "p.pdf");
    pass.files.at(1).newname = "P_#.pdf";
    pass.files.at(1).pagenumber = c.page;
    std::optional<test::Immutable> frozen;
    if (c.immutableOutput && !frozen.emplace(s.f.out).ok()) GTEST_SKIP() << "no chattr +i here";
    SystemFileOperations files;
    Delivery delivery(test::RealLibrary(), files, s.visualLog, s.writer, s.clock);
    ASSERT_TRUE(delivery.DeliverFiles(pass, [] { return true; }).ok());
    EXPECT_EQ(s.visual, std::vector<std::string>{"p.pdf|P_#.pdf|Cannot split|" + c.reason});
    EXPECT_EQ(fs::exists(s.In("p.pdf")), c.keptInInput);
    EXPECT_EQ(fs::exists(s.f.err + "/p.pdf"), !c.keptInInput);
  }
}

// What is left alone (an input that cannot be deleted) is forgotten once the
// file is gone, so a long run does not collect every name it ever met.
TEST(HostileFolders, LeftAloneFilesAreForgottenWhenGone) {
  Folders s;
  const int slot = test::AddQueue(s.table, "Q", s.f);
  WriteFile(s.In("a.pdf"), "a");
  test::FaultyFiles files;
  files.step = FileStep::kDelete;
  files.error = EACCES;
  files.pathPrefix = s.f.in;
  Delivery delivery(test::RealLibrary(), files, s.visualLog, s.writer, s.clock);
  PassContext pass = test::MakePass(s.table.Get(slot), slot);
  test::AddEntry(pass.files, "a.pdf");
  pass.files.at(1).newname = "A.pdf";
  ASSERT_TRUE(delivery.DeliverFiles(pass, [] { return true; }).ok());
  EXPECT_EQ(delivery.LeftAloneCount(), 1u);
  fs::remove(s.In("a.pdf"));
  PassContext empty = test::MakePass(s.table.Get(slot), slot);
  ASSERT_TRUE(delivery.DeliverFiles(empty, [] { return true; }).ok());
  EXPECT_EQ(delivery.LeftAloneCount(), 0u);
}

}  // namespace
}  // namespace zf
