#include "engine/naming.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "deliverytestkit.h"
#include "engine/renamethread.h"
#include "enginetestkit.h"

namespace zf {
namespace {

using test::AddEntry;
using test::MakePass;
using test::RealLibrary;

// The rules run through the real regex.so, loaded as the program loads it.
class Naming : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RealLibrary().Has(EntryPoint::kFormatExpression))
        << "regex.so not found in ZF_BIN_DIR";
  }

  void AddRule(std::string match, std::string format, std::string trans = "",
               bool partial = false) {
    queue.NRegularexpr += 1;
    queue.rule(queue.NRegularexpr) =
        Rule{std::move(match), std::move(format), partial, std::move(trans)};
  }

  // Names the files through the stage; `ready` false marks a file not ready.
  PassContext Resolve(const std::vector<std::string>& names, const std::vector<bool>& ready = {}) {
    PassContext pass = MakePass(queue);
    for (std::size_t i = 0; i < names.size(); ++i) {
      AddEntry(pass.files, names[i], i < ready.size() ? ready[i] : true);
    }
    EXPECT_TRUE(resolver.ResolveNames(pass, state, [] { return true; }).ok());
    return pass;
  }

  NameResolver resolver{RealLibrary()};
  QueueRecord queue;
  NamingState state;
};

TEST_F(Naming, WithoutRulesEveryReadyFileIsUnresolved) {
  const PassContext pass = Resolve({"a.pdf", "b.pdf"});
  for (int k = 1; k <= 2; ++k) {
    EXPECT_TRUE(pass.files.at(k).unresolved);
    EXPECT_EQ(pass.files.at(k).comment, "cannot rename");
    EXPECT_EQ(pass.files.at(k).newname, "");
  }
}

TEST_F(Naming, TheFirstMatchingRuleGivesTheName) {
  AddRule(R"(X(\d+)\.pdf)", "never_$1.pdf");  // matches none of the names
  AddRule(R"(SPO_(\d+)\.pdf)", "Sport_$1.pdf");
  AddRule(R"((.*)\.pdf)", "other_$1.pdf");  // matches everything, but later
  const PassContext pass = Resolve({"SPO_07.pdf", "FUS_1.pdf", "notes.txt"});
  EXPECT_EQ(pass.files.at(1).newname, "Sport_07.pdf");
  EXPECT_EQ(pass.files.at(2).newname, "other_FUS_1.pdf");
  EXPECT_FALSE(pass.files.at(1).unresolved);
  EXPECT_EQ(pass.files.at(1).comment, "");
  EXPECT_EQ(pass.files.at(3).newname, "");
  EXPECT_TRUE(pass.files.at(3).unresolved);
}

TEST_F(Naming, AnEmptyNameFromTheMatchingRuleLeavesTheFileUnresolved) {
  AddRule(R"((.*)\.pdf)", "");
  AddRule(R"((.*)\.pdf)", "$1_later.pdf");
  const PassContext pass = Resolve({"a.pdf"});
  EXPECT_TRUE(pass.files.at(1).unresolved);
  EXPECT_EQ(pass.files.at(1).comment, "cannot rename");
  EXPECT_EQ(pass.files.at(1).newname, "");
  // A rule matched and made a name that cannot be used: delivery must not
  // delete the file for it.
  EXPECT_TRUE(pass.files.at(1).refused);
  EXPECT_EQ(pass.files.at(1).reason, "the rule gave an empty name");
}

TEST_F(Naming, PartialMatchingFollowsTheRulesFlag) {
  AddRule(R"(SPO_(\d+))", "whole_$1.pdf", "", false);
  AddRule(R"(SPO_(\d+))", "part_$1.pdf", "", true);
  const PassContext pass = Resolve({"SPO_007_a.pdf", "SPO_12"});
  EXPECT_EQ(pass.files.at(1).newname, "part_007.pdf");
  EXPECT_EQ(pass.files.at(2).newname, "whole_12.pdf");
}

TEST_F(Naming, SplitQueuesTakeThePageNumberAndKeepTheLastOneForNonNumbers) {
  queue.Splitpdf = true;
  AddRule(R"(p(\d+)_(\w+)\.pdf)", "$2.pdf", "$1");
  AddRule(R"((\w+)\.pdf)", "$1_x.pdf", "$1");  // page text "abc": no number
  const PassContext pass = Resolve({"p12_a.pdf", "abc.pdf", "p017_b.pdf", "def.pdf"});
  EXPECT_EQ(pass.files.at(1).newname, "a.pdf");
  EXPECT_EQ(pass.files.at(1).pagenumber, 12);
  EXPECT_EQ(pass.files.at(2).newname, "abc_x.pdf");
  EXPECT_EQ(pass.files.at(2).pagenumber, 12);
  EXPECT_EQ(pass.files.at(3).pagenumber, 17);
  EXPECT_EQ(pass.files.at(4).pagenumber, 17);
  EXPECT_EQ(state.currentpage, 17);
  EXPECT_TRUE(state.splitpages);
}

TEST_F(Naming, WithoutAnyPageNumberSinceStartThePageIsZero) {
  queue.Splitpdf = true;
  AddRule(R"((\w+)\.pdf)", "$1_x.pdf", "$1");
  const PassContext pass = Resolve({"abc.pdf"});
  EXPECT_EQ(pass.files.at(1).newname, "abc_x.pdf");
  EXPECT_EQ(pass.files.at(1).pagenumber, 0);
}

TEST_F(Naming, AFailingPageFormatMakesTheRuleMissAndTheNextOneIsTried) {
  queue.Splitpdf = true;
  AddRule(R"(p(\d+)\.pdf)", "first_$1.pdf", "$7");  // no group 7: the page call fails
  AddRule(R"(p(\d+)\.pdf)", "second_$1.pdf", "1$1");
  const PassContext pass = Resolve({"p5.pdf"});
  EXPECT_EQ(pass.files.at(1).newname, "second_5.pdf");
  EXPECT_EQ(pass.files.at(1).pagenumber, 15);
}

TEST_F(Naming, APageNumberReadByARuleThatMissesStillCounts) {
  queue.Splitpdf = true;
  AddRule(R"(p(\d+)\.pdf)", "$9.pdf", "$1");  // the name call fails, the page call succeeds
  AddRule(R"(p(\d+)\.pdf)", "page.pdf", "none");
  const PassContext pass = Resolve({"p33.pdf"});
  EXPECT_EQ(pass.files.at(1).newname, "page.pdf");
  EXPECT_EQ(pass.files.at(1).pagenumber, 33);
}

TEST_F(Naming, WithoutSplittingThePageFormatIsNeverUsedAndThePageStays) {
  queue.Splitpdf = false;
  state.currentpage = 41;
  AddRule(R"(p(\d+)\.pdf)", "$1.pdf", "$7");  // would fail if it were used
  const PassContext pass = Resolve({"p5.pdf"});
  EXPECT_EQ(pass.files.at(1).newname, "5.pdf");
  EXPECT_EQ(pass.files.at(1).pagenumber, 41);
  EXPECT_EQ(state.currentpage, 41);
  EXPECT_FALSE(state.splitpages);
}

TEST_F(Naming, FilesThatAreNotReadyAreSkipped) {
  AddRule(R"((.*))", "new_$1");
  const PassContext pass = Resolve({"a.pdf", "b.pdf", "c.pdf"}, {true, false, true});
  EXPECT_EQ(pass.files.at(1).newname, "new_a.pdf");
  EXPECT_EQ(pass.files.at(2).newname, "");
  EXPECT_FALSE(pass.files.at(2).unresolved);
  EXPECT_EQ(pass.files.at(2).comment, "");
  EXPECT_EQ(pass.files.at(3).newname, "new_c.pdf");
}

TEST_F(Naming, AnInputTooLongForTheLibraryIsNoMatch) {
  AddRule(std::string(1100, 'a') + "|(.*)", "long_$1");  // refused: longer than 1023
  AddRule(R"((.*))", "short_$1");
  const PassContext pass = Resolve({"a.pdf"});
  EXPECT_EQ(pass.files.at(1).newname, "short_a.pdf");
}

// A computed name becomes a file name in the output folder: anything that
// could leave that folder, or that the file system cannot hold, is no name.
TEST(SubfolderName, EveryPartMustBeAPlainName) {
  EXPECT_TRUE(IsSubfolderName("sub/a.pdf"));
  EXPECT_TRUE(IsSubfolderName("sub\\a.pdf"));
  EXPECT_TRUE(IsSubfolderName("a/b\\c.pdf"));
  EXPECT_FALSE(IsSubfolderName("a.pdf"));  // no separator: a plain name
  EXPECT_FALSE(IsSubfolderName("/a.pdf"));
  EXPECT_FALSE(IsSubfolderName("sub/"));
  EXPECT_FALSE(IsSubfolderName("a//b"));
  EXPECT_FALSE(IsSubfolderName("../a.pdf"));
  EXPECT_FALSE(IsSubfolderName("a\\..\\b.pdf"));
  EXPECT_FALSE(IsSubfolderName("./a.pdf"));
  EXPECT_FALSE(IsSubfolderName("sub/.zf-0123456789abcdef-a.part"));
  EXPECT_FALSE(IsSubfolderName(std::string(4096, 'a') + "/b"));
}

TEST_F(Naming, NamesThatAreNoPlainFileNamesLeaveTheFileUnresolved) {
  struct Case {
    std::string format;
    std::string rejected;
  };
  const std::vector<Case> cases = {
      {"../$1.pdf", "../x.pdf"},
      {"$1/../evil.pdf", "x/../evil.pdf"},
      {"$1//evil.pdf", "x//evil.pdf"},
      {"/etc/$1", "/etc/x"},
      {".", "."},
      {"..", ".."},
      {std::string(256, 'n'), std::string(256, 'n')},
      {".zf-0123456789abcdef-$1.part", ".zf-0123456789abcdef-x.part"},
      // Delivery reads "\" as a separator where the subfolders exist.
      {"..\\\\$1.pdf", "..\\x.pdf"},
      {"sub\\\\..\\\\..\\\\$1.pdf", "sub\\..\\..\\x.pdf"},
      {"sub\\\\.zf-0123456789abcdef-$1.part", "sub\\.zf-0123456789abcdef-x.part"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    queue = QueueRecord();
    AddRule(R"((.*)\.pdf)", c.format);
    AddRule(R"((.*)\.pdf)", "fine.pdf");  // not tried: the first match decides
    const PassContext pass = Resolve({"x.pdf"});
    EXPECT_TRUE(pass.files.at(1).unresolved);
    EXPECT_TRUE(pass.files.at(1).refused);
    EXPECT_FALSE(pass.files.at(1).reason.empty());
    EXPECT_EQ(pass.files.at(1).comment, "cannot rename");
    EXPECT_EQ(pass.files.at(1).newname, "");

    NamingState s;
    std::int32_t page = 0;
    const ResolvedName resolved = resolver.Resolve(queue, "x.pdf", s, page);
    EXPECT_EQ(resolved.newname, "");
    EXPECT_EQ(resolved.rejected, c.rejected);
    EXPECT_FALSE(resolved.unavailable);
  }
  // A name into a subfolder is taken as it stands; delivery checks that the
  // subfolder is there.
  for (const char* format : {"sub/$1.pdf", "a/b/$1.pdf"}) {
    queue = QueueRecord();
    AddRule(R"((.*)\.pdf)", format);
    const PassContext pass = Resolve({"x.pdf"});
    EXPECT_FALSE(pass.files.at(1).unresolved) << format;
    EXPECT_NE(pass.files.at(1).newname.find("x.pdf"), std::string::npos) << format;
  }
  // At the limit a name is still taken.
  queue = QueueRecord();
  AddRule(R"((.*)\.pdf)", std::string(255, 'n'));
  EXPECT_EQ(Resolve({"x.pdf"}).files.at(1).newname, std::string(255, 'n'));
}

TEST(PlainFileName, RefusesWhatIsNoSingleName) {
  EXPECT_TRUE(IsPlainFileName("a.pdf"));
  EXPECT_TRUE(IsPlainFileName(".hidden"));
  EXPECT_TRUE(IsPlainFileName("..a"));
  EXPECT_TRUE(IsPlainFileName("back\\slash.pdf"));  // an ordinary character here
  EXPECT_TRUE(IsPlainFileName(".zf-xyz.part"));     // not of the temporary shape
  EXPECT_FALSE(IsPlainFileName(""));
  EXPECT_FALSE(IsPlainFileName("."));
  EXPECT_FALSE(IsPlainFileName(".."));
  EXPECT_FALSE(IsPlainFileName("a/b"));
  EXPECT_FALSE(IsPlainFileName(std::string("a\0b", 3)));
  EXPECT_FALSE(IsPlainFileName(std::string(256, 'x')));
  EXPECT_FALSE(IsPlainFileName(".zf-0123456789abcdef-a.pdf.part"));
  // Where delivery finds the subfolders a backslash names, it is a separator:
  // no part between backslashes may climb out or take the temporary shape.
  EXPECT_TRUE(IsPlainFileName("a\\.\\b..\\"));
  EXPECT_FALSE(IsPlainFileName("..\\a.pdf"));
  EXPECT_FALSE(IsPlainFileName("a\\..\\..\\b.pdf"));
  EXPECT_FALSE(IsPlainFileName("a\\.."));
  EXPECT_FALSE(IsPlainFileName("sub\\.zf-0123456789abcdef-a.pdf.part"));
}

TEST(PageNumber, ReadsDecimalIntegersOnly) {
  struct Case {
    const char* text;
    bool ok;
    std::int32_t value;
  };
  const Case cases[] = {
      {"12", true, 12},         {"017", true, 17},
      {"-3", true, -3},         {"+4", true, 4},
      {"", false, 9},           {"abc", false, 9},
      {"12a", false, 9},        {" 12", false, 9},
      {"12 ", false, 9},        {"1.5", false, 9},
      {"+-1", false, 9},        {"--1", false, 9},
      {"+", false, 9},          {"$1A", false, 9},
      {"0x1A", false, 9},       {"2147483647", true, 2147483647},
      {"2147483648", false, 9}, {"-2147483648", true, -2147483647 - 1},
  };
  for (const Case& c : cases) {
    std::int32_t value = 9;
    EXPECT_EQ(ReadPageNumber(c.text, value), c.ok) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

// A missing library folder gives a library whose entry points are all
// missing, exactly as at a start-up that could not load it.
TEST_F(Naming, WithoutTheLibraryEveryFileIsLeftForALaterCycle) {
  test::TempDir dir;
  test::IgnoringSink sink;
  auto missing = LoadedExpressionLibrary::Load(dir.path() / "none", sink);
  NameResolver blind(*missing);
  for (const bool withRules : {true, false}) {
    queue = QueueRecord();
    if (withRules) AddRule(R"((.*))", "$1");
    PassContext pass = MakePass(queue);
    AddEntry(pass.files, "a.pdf");
    AddEntry(pass.files, "b.pdf");
    EXPECT_TRUE(blind.ResolveNames(pass, state, [] { return true; }).ok());
    for (int k = 1; k <= 2; ++k) {
      EXPECT_FALSE(pass.files.at(k).unresolved) << withRules;
      EXPECT_EQ(pass.files.at(k).newname, "");
      EXPECT_EQ(pass.files.at(k).comment, "");
    }
  }
  std::int32_t page = 0;
  const ResolvedName resolved = blind.Resolve(queue = QueueRecord(), "a.pdf", state, page);
  EXPECT_FALSE(resolved.unavailable);  // no rule: nothing to ask
  AddRule(R"((.*))", "$1");
  EXPECT_TRUE(blind.Resolve(queue, "a.pdf", state, page).unavailable);
  EXPECT_EQ(blind.ResolveName(queue, "a.pdf", state, page), "");
}

// Wraps the real library; an entry point can be made to answer "unavailable"
// from a chosen call on, which a loaded library cannot do by itself.
class FlakyLibrary : public ExpressionLibrary {
 public:
  bool Has(EntryPoint entry) const override { return RealLibrary().Has(entry); }
  CallResult TryMatch(std::string_view match, std::string_view name, bool partial) override {
    return RealLibrary().TryMatch(match, name, partial);
  }
  CallResult Format(std::string_view match, std::string_view format, std::string_view name,
                    bool partial, FormatPurpose purpose) override {
    ++calls;
    if (onFormat) onFormat(calls);
    if (unavailableFrom > 0 && calls >= unavailableFrom) return CallResult{};
    return RealLibrary().Format(match, format, name, partial, purpose);
  }
  CallResult SplitPdf(std::string_view path, int page, std::string_view outfolder) override {
    return RealLibrary().SplitPdf(path, page, outfolder);
  }

  int calls = 0;
  int unavailableFrom = 0;
  std::function<void(int)> onFormat;
};

TEST_F(Naming, ALibraryLostMidwayLeavesTheRestUntouched) {
  FlakyLibrary flaky;
  flaky.unavailableFrom = 4;  // the page call of the second file
  NameResolver r(flaky);
  queue.Splitpdf = true;
  AddRule(R"(p(\d+)\.pdf)", "n$1.pdf", "$1");
  PassContext pass = MakePass(queue);
  AddEntry(pass.files, "p1.pdf");
  AddEntry(pass.files, "p2.pdf");
  AddEntry(pass.files, "p3.pdf");
  EXPECT_TRUE(r.ResolveNames(pass, state, [] { return true; }).ok());
  EXPECT_EQ(pass.files.at(1).newname, "n1.pdf");
  for (int k = 2; k <= 3; ++k) {
    EXPECT_EQ(pass.files.at(k).newname, "");
    EXPECT_FALSE(pass.files.at(k).unresolved);
  }
  EXPECT_EQ(flaky.calls, 4);
}

// The stage inside a real engine: its page number carries over passes, and
// switching off ends the stage after the file at hand.
class NamingInEngine : public Naming {
 protected:
  NamingInEngine() { host.settings.switchedOn = true; }
  Trenamethread MakeEngine() {
    return Trenamethread(EngineServices{host, files, clock}, std::make_shared<EngineControl>());
  }
  PassContext PassOfTable(const std::vector<std::string>& names) {
    const int slot = host.table.Append([&](QueueRecord& r) { r = queue; }).value();
    PassContext pass = MakePass(host.table.Get(slot), slot);
    for (const std::string& n : names) AddEntry(pass.files, n);
    return pass;
  }

  test::RecordingHost host;
  test::CountingFiles files;
  test::FakeClock clock;
};

TEST_F(NamingInEngine, ThePageNumberLivesInTheEngineAcrossPasses) {
  queue.Splitpdf = true;
  queue.Enabled = true;
  AddRule(R"(p(\d+)\.pdf)", "n$1.pdf", "$1");
  AddRule(R"((.*))", "x_$1", "none");
  Trenamethread engine = MakeEngine();
  PassContext first = PassOfTable({"p8.pdf"});
  ASSERT_TRUE(resolver.ResolveNames(engine, first).ok());
  EXPECT_EQ(engine.currentpage, 8);
  EXPECT_TRUE(engine.splitpages);
  PassContext second = PassOfTable({"other.pdf"});
  ASSERT_TRUE(resolver.ResolveNames(engine, second).ok());
  EXPECT_EQ(second.files.at(1).newname, "x_other.pdf");
  EXPECT_EQ(second.files.at(1).pagenumber, 8);
}

TEST_F(NamingInEngine, SwitchingOffEndsTheStageAfterTheCurrentFile) {
  queue.Enabled = true;
  AddRule(R"((.*))", "new_$1");
  Trenamethread engine = MakeEngine();
  FlakyLibrary lib;
  lib.onFormat = [&](int) { host.settings.switchedOn = false; };
  NameResolver r(lib);
  PassContext pass = PassOfTable({"a", "b", "c"});
  ASSERT_TRUE(r.ResolveNames(engine, pass).ok());
  EXPECT_EQ(pass.files.at(1).newname, "new_a");
  EXPECT_EQ(pass.files.at(2).newname, "");
  EXPECT_FALSE(pass.files.at(2).unresolved);
  EXPECT_EQ(lib.calls, 1);
}

TEST_F(NamingInEngine, DisablingTheQueueInTheTableEndsTheStageToo) {
  queue.Enabled = true;
  AddRule(R"((.*))", "new_$1");
  Trenamethread engine = MakeEngine();
  FlakyLibrary lib;
  PassContext pass = PassOfTable({"a", "b", "c"});
  lib.onFormat = [&](int call) {
    if (call == 2) host.table.Update(pass.slot, [](QueueRecord& q) { q.Enabled = false; });
  };
  NameResolver r(lib);
  ASSERT_TRUE(r.ResolveNames(engine, pass).ok());
  EXPECT_EQ(pass.files.at(1).newname, "new_a");
  EXPECT_EQ(pass.files.at(2).newname, "new_b");
  EXPECT_EQ(pass.files.at(3).newname, "");
}

}  // namespace
}  // namespace zf
