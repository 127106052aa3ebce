#include "engine/testbench.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "deliverytestkit.h"
#include "platform/fileaccess.h"
#include "tempdir.h"

namespace zf {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Lines = std::vector<std::string>;

void AddRule(QueueRecord& q, std::string match, std::string format, std::string trans = "",
             bool partial = false) {
  q.NRegularexpr += 1;
  q.rule(q.NRegularexpr) = Rule{std::move(match), std::move(format), partial, std::move(trans)};
}

void AddTranslation(QueueRecord& q, std::string format, std::string from, std::string to,
                    std::string definition) {
  q.Ntranslations += 1;
  q.translation(q.Ntranslations) =
      Translation{std::move(format), std::move(from), std::move(to), std::move(definition)};
}

// The translation rows of the worked example the operators' guide walks
// through.
QueueRecord WorkedExample() {
  QueueRecord q;
  AddTranslation(q, "$1", "ABC", "Alpha", "Publication");
  AddTranslation(q, "$2", "", "", "Date");
  AddTranslation(q, "Folder based", "North", "", "Location");
  return q;
}

TEST(TranslateTestResult, ParametersNamesValuesAndFolderBasedRows) {
  const QueueRecord worked = WorkedExample();
  QueueRecord overriding;
  AddTranslation(overriding, "$1", "X", "Ex", "First");
  AddTranslation(overriding, "$1", "Y", "Why", "Second");  // overrides the definition only
  AddTranslation(overriding, "$1", "Z", "Zed", "Third");
  AddTranslation(overriding, "Folder based", "F", "ignored", "Where");
  QueueRecord none;

  struct {
    const char* what;
    const QueueRecord& queue;
    std::string trans, result;
    Lines expected;
  } const cases[] = {
      {"worked example",
       worked,
       "$1|$2",
       "ABC|17",
       {"Publication=Alpha", "Date=17", "Location=North"}},
      {"from text differs: definition only",
       worked,
       "$1|$2",
       "ABD|",
       {"Publication=ABD", "Date=", "Location=North"}},
      {"characters before a $ are dropped",
       worked,
       "xy$1|ab$2",
       "ABC|5",
       {"Publication=Alpha", "Date=5", "Location=North"}},
      // "|x|" holds no "$": "x" joins the name before it, which then is "$1x".
      {"a part without $ joins the previous name",
       worked,
       "$1|x|$2",
       "ABC|B|C",
       {"Publication=Alpha", "=B", "Date=C", "Location=North"}},
      {"more values than names are not shown", none, "$1", "a|b|c", {"=a"}},
      {"fewer values leave entries empty", none, "$1|$2|$3", "a", {"=a", "=", "="}},
      {"an earlier translation stops the reading",
       overriding,
       "$1",
       "Y",
       {"Second=Why", "Where=F"}},
      {"a later row overrides the definition", overriding, "$1", "Q", {"Third=Q", "Where=F"}},
      {"translated by the first row", overriding, "$1", "X", {"First=Ex", "Where=F"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TranslateTestResult(c.queue, c.trans, c.result), c.expected) << c.what;
  }
}

TEST(TranslateTestResult, TwentyEntriesAtMostAndTheExcessIsSaid) {
  QueueRecord q;
  std::string trans, result;
  for (int i = 1; i <= 25; ++i) {
    trans += (i > 1 ? "|$" : "$") + std::to_string(i);
    result += (i > 1 ? "|" : "") + std::to_string(i);
  }
  AddTranslation(q, "Folder based", "F", "", "Where");
  const Lines lines = TranslateTestResult(q, trans, result);
  ASSERT_EQ(lines.size(), 21u);
  EXPECT_EQ(lines[0], "=1");
  EXPECT_EQ(lines[19], "=20");
  EXPECT_EQ(lines[20], "(more than 20 parameters: the rest are left out)");

  // 19 from the format and one "Folder based" row fill the 20 exactly.
  trans.clear();
  for (int i = 1; i <= 19; ++i) trans += (i > 1 ? "|$" : "$") + std::to_string(i);
  const Lines full = TranslateTestResult(q, trans, "");
  ASSERT_EQ(full.size(), 20u);
  EXPECT_EQ(full.back(), "Where=F");
}

class Bench : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(test::RealLibrary().Has(EntryPoint::kFormatExpression)); }
  RuleTestBench bench{test::RealLibrary()};
  QueueRecord q;
};

TEST_F(Bench, EmptyRuleListKeepsOrResetsTheResultAsEachButtonDoes) {
  const BenchResult match = bench.TestMatch(q, "a.pdf");
  EXPECT_FALSE(match.testResult.has_value());  // keeps what it showed
  EXPECT_FALSE(match.pageResult.has_value());
  EXPECT_THAT(match.translation, IsEmpty());
  const BenchResult format = bench.TestFormat(q, "a.pdf");
  EXPECT_EQ(format.testResult, "Found no match");
  EXPECT_THAT(format.refusal, IsEmpty());
}

TEST_F(Bench, TestMatchAndTestFormatRuleByRule) {
  AddRule(q, R"(X(\d+)\.pdf)", "never_$1.pdf");
  AddRule(q, R"(page(\d+))", "partial_$1.pdf", "", true);
  AddRule(q, R"(SPO_(\d+)\.pdf)", "Sport_$1.pdf");
  AddRule(q, R"(SPO_(\d+)\.pdf)", "later_$1.pdf");

  EXPECT_EQ(bench.TestMatch(q, "SPO_17.pdf").testResult, "Found a match");
  EXPECT_EQ(bench.TestMatch(q, "ECO_17.pdf").testResult, "Found no match");
  // The first rule that formats ends the test.
  BenchResult r = bench.TestFormat(q, "SPO_17.pdf");
  EXPECT_EQ(r.testResult, "Sport_17.pdf");
  EXPECT_EQ(r.pageResult, "");            // cleared without "Split pdf"
  EXPECT_THAT(r.translation, IsEmpty());  // the rule has no translation format
  // Partial: a match anywhere in the name.
  EXPECT_EQ(bench.TestFormat(q, "x_page07_y.pdf").testResult, "partial_07.pdf");
  q.rule(2).partial = false;
  EXPECT_EQ(bench.TestFormat(q, "x_page07_y.pdf").testResult, "Found no match");
  EXPECT_EQ(bench.TestMatch(q, "x_page07_y.pdf").testResult, "Found no match");
}

TEST_F(Bench, WithSplitPdfAFailingPageFormatPassesToTheNextRule) {
  q.Splitpdf = true;
  AddRule(q, R"(SPO_(\d+)\.pdf)", "first_$1.pdf", "$9");  // no group 9: page fails
  AddRule(q, R"(SPO_(\d+)\.pdf)", "second_$1.pdf", "$1");
  const BenchResult r = bench.TestFormat(q, "SPO_17.pdf");
  EXPECT_EQ(r.testResult, "second_17.pdf");
  EXPECT_EQ(r.pageResult, "17");
  // The page-number format doubles as translation format: "$1" with value 17.
  EXPECT_EQ(r.translation, Lines{"=17"});
}

TEST_F(Bench, TheWorkedExampleThroughTheButton) {
  q = WorkedExample();
  AddRule(q, R"(([A-Z]+)_(\d+)\.pdf)", "$1-$2.pdf", "$1|$2");
  const BenchResult r = bench.TestFormat(q, "ABC_17.pdf");
  EXPECT_EQ(r.testResult, "ABC-17.pdf");
  EXPECT_EQ(r.translation, (Lines{"Publication=Alpha", "Date=17", "Location=North"}));
}

TEST_F(Bench, ATranslationFormatThatCannotBeBuiltSaysSo) {
  AddRule(q, R"(([A-Z]+)_(\d+)\.pdf)", "$1.pdf", "${nope}");
  const BenchResult r = bench.TestFormat(q, "ABC_17.pdf");
  EXPECT_EQ(r.testResult, "ABC.pdf");
  EXPECT_EQ(r.translation, Lines{"cannot translate"});
}

TEST_F(Bench, TextsTooLongForTheLibraryAreRefusedNotCut) {
  AddRule(q, "(.*)", "$1");
  const std::string longName(1024, 'a');
  for (const BenchResult& r : {bench.TestMatch(q, longName), bench.TestFormat(q, longName)}) {
    EXPECT_EQ(r.refusal,
              "The test file name has 1024 characters; the expression library takes at most "
              "1023.");
    EXPECT_FALSE(r.testResult.has_value());
  }
  EXPECT_THAT(bench.TestFormat(q, std::string(1023, 'a')).refusal, IsEmpty());
  AddRule(q, "x", "y", std::string(2000, 't'));
  EXPECT_EQ(BenchInputRefusal(q, "a"),
            "Rule 2: the translation format has 2000 characters; the expression library takes "
            "at most 1023.");
  SystemFileAccess files;
  EXPECT_EQ(bench.Explain(q, "a", files).Lines(), Lines{BenchInputRefusal(q, "a")});
}

class Explain : public Bench {
 protected:
  void SetUp() override {
    Bench::SetUp();
    q.Outputfolder = out.path().string();
    q.Searchmask = "*.pdf";
    q.ignoremask = "none";
  }
  test::TempDir out;
  SystemFileAccess files;
};

TEST_F(Explain, OneRowPerRuleWithGroupsAndTheEnginesChoice) {
  AddRule(q, R"(X(\d+)\.pdf)", "never.pdf");
  AddRule(q, R"(SPO_(\d+)\.pdf)", "${nope}");  // matches, format fails
  AddRule(q, R"(SPO_(\d+)(_v\d)?\.pdf)", "Sport_$1.pdf");
  AddRule(q, R"(SPO.*)", "later.pdf");
  test::WriteFile(out.path() / "Sport_17.pdf", "x");

  const Explanation e = bench.Explain(q, "SPO_17.pdf", files);
  ASSERT_TRUE(e.groupsAvailable);
  ASSERT_EQ(e.rules.size(), 4u);
  EXPECT_EQ(e.engineRule, 3);
  EXPECT_EQ(e.engineName, "Sport_17.pdf");
  EXPECT_TRUE(e.outputExists);
  EXPECT_THAT(
      e.Lines(),
      ElementsAre("Test name: \"SPO_17.pdf\"", "Rule 1: no match", "  no name: no match",
                  "Rule 2: match", "  group 0: \"SPO_17.pdf\"", "  group 1: \"17\"",
                  "  no name: the name matches, but the format expression cannot be "
                  "built from it",
                  "Rule 3: match  <- the engine takes this rule", "  group 0: \"SPO_17.pdf\"",
                  "  group 1: \"17\"", "  group 2: (took no part)", "  name: \"Sport_17.pdf\"",
                  "Rule 4: match  (not reached by the engine)", "  group 0: \"SPO_17.pdf\"",
                  "  name: \"later.pdf\"", "Search mask: lets the name through",
                  "Ignore mask: lets the name through", "Engine: rule 3 gives \"Sport_17.pdf\"",
                  "Output folder: a file \"" + out / "Sport_17.pdf" + "\" exists already"));

  // What the queue's collision policy makes of it.
  test::WriteFile(out.path() / "Sport_17_2.pdf", "x");
  const std::string holds = "Collision: the output folder holds \"Sport_17.pdf\": ";
  const std::pair<std::int32_t, std::string> policies[] = {
      {kCollisionKeepBoth, holds + "keep both -> \"Sport_17_3.pdf\""},
      {kCollisionToError, holds + "the file stays (Cannot rename: the output folder already "
                                  "holds Sport_17.pdf)"},
      {kCollisionDuplicate, holds + "replaced if the content differs, else dropped as a "
                                    "duplicate"}};
  for (const auto& [policy, line] : policies) {
    q.Collision = policy;
    EXPECT_EQ(bench.Explain(q, "SPO_17.pdf", files).Lines().back(), line);
  }
}

TEST_F(Explain, TellsWhatTheReadinessOptionsDecide) {
  AddRule(q, "\xC3\x9C(\\d+)\\.pdf", "U$1.pdf");
  q.Normalize = true;
  q.Readyfile = "{base}.rdy";
  q.Checkpdf = true;
  q.Checkpdfpasses = 4;
  const Explanation e = bench.Explain(q,
                                      "U\xCC\x88"
                                      "1.pdf",
                                      files);
  EXPECT_EQ(e.engineName, "U1.pdf");  // the rule, typed composed, sees the NFC name
  EXPECT_THAT(e.Lines(), testing::IsSupersetOf(
                             {"Normalized to NFC: \"\xC3\x9C"
                              "1.pdf\"",
                              "Ready marker: the file waits for \"U\xCC\x88"
                              "1.rdy\", removed "
                              "after the file is delivered",
                              "Complete PDF: the file waits until its end is a complete PDF; "
                              "after 4 passes it goes to the error folder"}));
}

TEST_F(Explain, MasksUnsafeNamesAndPageNumbers) {
  q.Splitpdf = true;
  q.Searchmask = "*.ps";
  q.ignoremask = "SPO*";
  AddRule(q, R"(SPO_(\d+)\.pdf)", "../$1.pdf", "$1");
  Explanation e = bench.Explain(q, "SPO_17.pdf", files);
  EXPECT_FALSE(e.searchMaskLetsThrough);
  EXPECT_TRUE(e.ignored);
  EXPECT_EQ(e.engineRule, 1);
  EXPECT_TRUE(e.engineName.empty());
  EXPECT_EQ(e.refusedReason, "the name \"../17.pdf\" leaves the output folder");
  const Lines lines = e.Lines();
  EXPECT_THAT(lines, testing::Contains("  page text: \"17\", page 17"));
  EXPECT_THAT(lines, testing::Contains("Search mask: does not list the name"));
  EXPECT_THAT(lines, testing::Contains("Ignore mask: holds the name back"));
  EXPECT_THAT(lines.back(), HasSubstr("is taken but refused"));
  EXPECT_THAT(lines.back(), HasSubstr("cannot rename"));

  q.rule(1).format = "p_$1.pdf";
  q.rule(1).trans = "page$1";  // no page number: the engine keeps the one before
  e = bench.Explain(q, "SPO_17.pdf", files);
  EXPECT_EQ(e.engineName, "p_17.pdf");
  EXPECT_EQ(e.enginePage, 0);
  EXPECT_FALSE(e.outputExists);
  EXPECT_THAT(e.Lines(), testing::Contains("  page text: \"page17\", no page number: the page "
                                           "number stays"));
  EXPECT_THAT(e.Lines(), testing::Contains("Engine: rule 1 gives \"p_17.pdf\", page 0"));
}

TEST_F(Explain, ALibraryWithoutGroupsStillExplainsTheRest) {
  auto nogroups = test::LoadLibrary("testlibs/nosplit");
  ASSERT_FALSE(nogroups->Has(EntryPoint::kMatchGroups));
  RuleTestBench plain(*nogroups);
  AddRule(q, "a.pdf", "b.pdf");  // the stand-in matches equal texts and copies the format
  const Explanation e = plain.Explain(q, "a.pdf", files);
  EXPECT_FALSE(e.groupsAvailable);
  EXPECT_THAT(
      e.Lines(),
      ElementsAre("Test name: \"a.pdf\"", "(the expression library gives no capture groups)",
                  "Rule 1: match  <- the engine takes this rule", "  name: \"b.pdf\"",
                  "Search mask: lets the name through", "Ignore mask: lets the name through",
                  "Engine: rule 1 gives \"b.pdf\"",
                  "Output folder: no file \"" + out / "b.pdf" + "\" yet"));
}

}  // namespace
}  // namespace zf
