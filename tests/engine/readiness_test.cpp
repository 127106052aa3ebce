#include "engine/readiness.h"

#include <gtest/gtest.h>

#include <filesystem>
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
using test::WriteFile;

// "Ü" as a Mac client writes it (U + combining diaeresis) and as it is typed.
const std::string kNfdU = "U\xCC\x88";
const std::string kNfcU = "\xC3\x9C";

// The real engine with the standard stages over one queue in temporary
// folders; each ScanQueues is one pass with its stable wait in virtual time.
class ReadinessTest : public testing::Test {
 protected:
  ReadinessTest() { host.settings.switchedOn = true; }
  void SetUp() override {
    ASSERT_TRUE(test::RealLibrary().Has(EntryPoint::kFormatExpression))
        << "regex.so not found in ZF_BIN_DIR";
  }
  // A queue that names SPO_<n>.pdf Sport_<n>.pdf.
  void AddSport(const std::function<void(QueueRecord&)>& edit) {
    test::AddQueue(host.table, "Sport", f, [&](QueueRecord& q) {
      q.NRegularexpr = 1;
      q.rule(1) = Rule{R"(SPO_(\d+)\.pdf)", "Sport_$1.pdf", false, ""};
      edit(q);
    });
  }
  // Empty folders and a fresh queue (a new identity) for the next row.
  void Reset() {
    for (const auto& d : {f.in, f.out, f.err}) fs::remove_all(d), fs::create_directory(d);
    if (host.table.Nfolders() > 0) {
      ASSERT_TRUE(host.table.Delete(1).ok());
    }
  }
  void Pass() { ASSERT_TRUE(engine.ScanQueues().ok()); }
  std::string Waiting() { return board.Snapshot(host.table, clock.Now()).at(0).waitingReason; }

  test::QueueFolders f;
  test::RecordingHost host;
  test::CountingFiles access;
  test::FakeClock clock;
  std::vector<VisualLogEntry> rows;
  VisualLog visualLog{clock, DefaultRegionalSettings(),
                      [this](VisualLogEntry e) { rows.push_back(std::move(e)); }};
  LogFileWriter writer{host.table, clock, "dd.mm.yyyy hh:nn:ss:zzz"};
  StandardStages stages{test::RealLibrary(), visualLog, writer, clock};
  QueueStatusBoard board;
  Trenamethread engine{EngineServices{host, access, clock, &stages, nullptr, &visualLog, &board},
                       std::make_shared<EngineControl>()};
};

TEST_F(ReadinessTest, NormalizedNamesMeetMasksAndRulesTypedInNfc) {
  struct Row {
    const char* what;
    bool normalize;
    std::string searchmask, ignoremask;
    std::vector<std::string> out, err;  // where the file ends up; neither: it stays
  } const table[] = {
      {"off: the rule never matches", false, "*.*", "none", {}, {"SPO_" + kNfdU + "1.pdf"}},
      {"on: named, the output in NFC", true, "*.*", "none", {"Sport_" + kNfcU + "1.pdf"}, {}},
      {"on: the search mask sees NFC",
       true,
       "SPO_" + kNfcU + "*",
       "none",
       {"Sport_" + kNfcU + "1.pdf"},
       {}},
      {"on: the ignore mask sees NFC", true, "*.*", "*" + kNfcU + "1*", {}, {}},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    Reset();
    AddSport([&](QueueRecord& q) {
      q.Normalize = row.normalize;
      q.Searchmask = row.searchmask;
      q.ignoremask = row.ignoremask;
      q.rule(1) = Rule{"SPO_(" + kNfcU + R"(\d+)\.pdf)", "Sport_$1.pdf", false, ""};
    });
    const std::string name = "SPO_" + kNfdU + "1.pdf";
    WriteFile(f.in + "/" + name, "data");
    Pass();
    EXPECT_EQ(test::NamesIn(f.out), row.out);
    EXPECT_EQ(test::NamesIn(f.err), row.err);
    // Found by its real name: delivered means gone from the input folder.
    EXPECT_EQ(fs::exists(f.in + "/" + name), row.out.empty() && row.err.empty());
  }
}

TEST_F(ReadinessTest, APdfWrittenInTwoHalvesWaitsUntilComplete) {
  const std::string pdf = test::TestPdf(2);
  struct Row {
    const char* what;
    bool checkpdf;
    int passes;
    int completedBefore;  // the pass before which the second half comes; 0 never
    int deliveredAt, errorAt;
  } const table[] = {
      {"off: delivered half", false, 10, 2, 1, 0},
      {"on: waits, delivered once complete", true, 10, 3, 3, 0},
      {"on: never complete, error folder after 2 passes", true, 2, 0, 0, 2},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    Reset();
    AddSport([&](QueueRecord& q) {
      q.Checkpdf = row.checkpdf;
      q.Checkpdfpasses = row.passes;
    });
    WriteFile(f.in + "/SPO_4.pdf", pdf.substr(0, pdf.size() / 2));
    for (int pass = 1; pass <= 3; ++pass) {
      if (pass == row.completedBefore && fs::exists(f.in + "/SPO_4.pdf")) {
        WriteFile(f.in + "/SPO_4.pdf", pdf);
      }
      Pass();
      const bool delivered = row.deliveredAt != 0 && pass >= row.deliveredAt;
      const bool failed = row.errorAt != 0 && pass >= row.errorAt;
      EXPECT_EQ(fs::exists(f.out + "/Sport_4.pdf"), delivered) << "pass " << pass;
      EXPECT_EQ(fs::exists(f.err + "/SPO_4.pdf"), failed) << "pass " << pass;
      if (delivered) {
        // Unchecked, the first half is what goes out.
        EXPECT_EQ(test::ReadFile(f.out + "/Sport_4.pdf").size(),
                  row.checkpdf ? pdf.size() : pdf.size() / 2);
      }
      const bool waits = row.checkpdf && !delivered && !failed;
      EXPECT_EQ(Waiting(), waits ? "1 incomplete PDF" : "") << "pass " << pass;
    }
    if (row.errorAt != 0) {
      EXPECT_EQ(rows.back().comment, "Cannot rename: incomplete PDF");
      EXPECT_EQ(rows.back().reason, "its end was not a complete PDF in 2 passes");
    }
  }
}

TEST_F(ReadinessTest, AFileWaitsForItsReadyMarkerWhichGoesWithIt) {
  struct Row {
    const char* what;
    std::string pattern, mask, marker;
    int fileAt, markerAt;  // the pass before which each is written; 0 never
    int deliveredAt;
    std::string waitingAfter1, waitingAfter2;
  } const table[] = {
      {"marker before its file", "{name}.done", "*.*", "SPO_5.pdf.done", 2, 1, 2, "", ""},
      {"marker after its file", "{base}.rdy", "*.pdf", "SPO_5.rdy", 1, 2, 2,
       "1 without ready marker", ""},
      {"marker without a file, not listed", "{name}.done", "*.pdf", "SPO_5.pdf.done", 0, 1, 0, "",
       "marker SPO_5.pdf.done without its file"},
      {"no pattern: a marker is a file", "", "*.*", "SPO_5.pdf.done", 1, 1, 1, "", ""},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    Reset();
    AddSport([&](QueueRecord& q) {
      q.Readyfile = row.pattern;
      q.Searchmask = row.mask;
    });
    for (int pass = 1; pass <= 2; ++pass) {
      if (pass == row.fileAt) WriteFile(f.in + "/SPO_5.pdf", "data");
      if (pass == row.markerAt) WriteFile(f.in + "/" + row.marker, "");
      Pass();
      const bool delivered = row.deliveredAt != 0 && pass >= row.deliveredAt;
      EXPECT_EQ(fs::exists(f.out + "/Sport_5.pdf"), delivered) << "pass " << pass;
      EXPECT_EQ(Waiting(), pass == 1 ? row.waitingAfter1 : row.waitingAfter2) << "pass " << pass;
      // A marker is never delivered nor sent to the error folder; it goes
      // with its file, and stays while it has none.
      if (!row.pattern.empty()) {
        EXPECT_FALSE(fs::exists(f.out + "/" + row.marker));
        EXPECT_TRUE(test::NamesIn(f.err).empty());
        EXPECT_EQ(fs::exists(f.in + "/" + row.marker), pass >= row.markerAt && !delivered);
      }
    }
  }
}

}  // namespace
}  // namespace zf
