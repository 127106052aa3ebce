#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "exprlib/expressionabi.h"
#include "platform/library.h"
#include "regexlibtest.h"

namespace zf {
namespace {

class Expressions : public ::testing::Test {
 protected:
  void SetUp() override {
    lib_ = test::LoadRegexLibrary();
    ASSERT_NE(lib_, nullptr) << "regex.so not found or incomplete";
  }

  bool Matches(const std::string& match, const std::string& name, bool partial) {
    return lib_->TryMatch(match, name, partial).ok();
  }

  // The built text, or "<fail>" when the call does not succeed.
  std::string Formatted(const std::string& match, const std::string& format,
                        const std::string& name, bool partial = false) {
    const CallResult r = lib_->Format(match, format, name, partial);
    if (!r.ok()) {
      EXPECT_EQ(r.status, CallStatus::kFailed);
      EXPECT_TRUE(r.text.empty());
      return "<fail>";
    }
    return r.text;
  }

  std::unique_ptr<LoadedExpressionLibrary> lib_;
};

TEST_F(Expressions, WholeNameOrAnywhereInIt) {
  struct {
    const char* match;
    const char* name;
    bool whole;
    bool partial;
  } const cases[] = {
      {R"(\d+)", "abc123", false, true},
      {R"(abc\d+)", "abc123", true, true},
      {R"(abc\d)", "abc123", false, true},  // the end of the name must be reached
      {R"(bc\d+)", "abc123", false, true},  // and its start
      {"a|ab", "ab", true, true},           // the end anchor backtracks into alternatives
      {"ab|abc", "abcd", false, true},
      {"abc", "ABC", false, false},  // case counts
      {"(?i)abc", "ABC", true, true},
      {"", "", true, true},
      {"", "x", false, true},
      {"x", "", false, false},
      {R"(^SPO_\d{3}\.pdf$)", "SPO_017.pdf", true, true},
      {R"(\.pdf)", "SPO_017.pdf.tmp", false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Matches(c.match, c.name, false), c.whole) << c.match << " on " << c.name;
    EXPECT_EQ(Matches(c.match, c.name, true), c.partial) << c.match << " on " << c.name;
    // Format goes by the same match.
    EXPECT_EQ(lib_->Format(c.match, "x", c.name, false).ok(), c.whole) << c.match;
    EXPECT_EQ(lib_->Format(c.match, "x", c.name, true).ok(), c.partial) << c.match;
  }
}

TEST_F(Expressions, FormatBuildsTextFromTheMatch) {
  const std::string name = "SPO_2024-05-17_page07_sport.pdf";
  const std::string match = R"((?<pub>[A-Z]+)_(\d{4})-(\d\d)-(\d\d)_page(\d+)_(\w+)(_v\d+)?\.pdf)";
  struct {
    const char* format;
    const char* expected;
  } const cases[] = {
      {"$0", "SPO_2024-05-17_page07_sport.pdf"},
      {"$1", "SPO"},
      {"$4$3$2_$5.pdf", "17052024_07.pdf"},
      {"${1}2", "SPO2"},  // braces end the number
      {"$12", "<fail>"},  // group 12 does not exist
      {"${pub}-${6}", "SPO-sport"},
      {"${nope}", "<fail>"},  // no group of that name
      {R"(\U$6\E_$6)", "SPORT_sport"},
      {R"(\L$1\E$1)", "spoSPO"},
      {R"(\u$6)", "Sport"},
      {R"(${7:+versioned:first})", "first"},  // group 7 exists but is unset
      {R"(${5:+p$5:none})", "p07"},
      {R"(${7:-v0})", "v0"},
      {"a$7b", "ab"},  // an unset group inserts nothing
      {"$$1", "$1"},
      {R"(\$1\\)", "$1\\"},
      {"", ""},
      {"plain.pdf", "plain.pdf"},
      {R"(${99:+a:b})", "<fail>"},
      {"${1", "<fail>"},         // syntax error
      {R"(\q)", "<fail>"},       // unknown escape
      {R"(a\x{0}b)", "<fail>"},  // a NUL would cut the name short
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Formatted(match, c.format, name), c.expected) << c.format;
  }

  // The output is the built text alone, also for a match inside the name.
  EXPECT_EQ(Formatted(R"(page(\d+))", "$1", name, true), "07");
  EXPECT_EQ(Formatted(R"(page(\d+))", "$1", name, false), "<fail>");
  EXPECT_EQ(Formatted(R"((\d+))", "$1", "a1b22", true), "1");  // the first match

  const CallResult page = lib_->Format(match, "$5", name, false, FormatPurpose::kPage);
  EXPECT_TRUE(page.ok());
  EXPECT_EQ(page.text, "07");
}

// The groups the bench's explanation shows are those Format builds from.
TEST_F(Expressions, MatchGroupsGivesTheGroupsOfTheMatchFormatUses) {
  using Groups = std::vector<std::optional<std::string>>;
  const std::string name = "SPO_2024-05-17_page07.pdf";
  const std::string match = R"(([A-Z]+)_(\d{4})-\d\d-(\d\d)_page(\d+)(_v\d+)?\.pdf)";
  GroupsResult r = lib_->MatchGroups(match, name, false);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.groups, (Groups{name, "SPO", "2024", "17", "07", std::nullopt}));

  // Partial: the first match inside the name; an empty group is no unset one.
  r = lib_->MatchGroups(R"(page(\d+)(x?))", name, true);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.groups, (Groups{"page07", "07", ""}));

  EXPECT_EQ(lib_->MatchGroups(R"(page(\d+))", name, false).status, CallStatus::kFailed);
  EXPECT_EQ(lib_->MatchGroups("(", name, true).status, CallStatus::kFailed);
  // A name that is no UTF-8 still matches, byte for byte, as Format does.
  r = lib_->MatchGroups("(.)b",
                        "\xE4"
                        "b",
                        false);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.groups, (Groups{"\xE4"
                              "b",
                              "\xE4"}));
  // Groups that would not fit the output buffer are refused, not cut.
  const std::string longName(600, 'a');
  r = lib_->MatchGroups("((a+))", longName, false);
  EXPECT_EQ(r.status, CallStatus::kFailed);
  EXPECT_EQ(r.value, 2);
}

TEST_F(Expressions, InvalidExpressionsFailEveryTime) {
  for (const char* bad : {"([a-z", "a{2,1}", "(?<n>a)(?<n>b)", "\\", "*x", "(?P<1>a)"}) {
    // Twice: the second answer comes from the cache of compiled expressions.
    for (int round = 0; round < 2; ++round) {
      EXPECT_FALSE(Matches(bad, "abc", true)) << bad;
      EXPECT_EQ(Formatted(bad, "x", "abc", true), "<fail>") << bad;
    }
  }
}

TEST_F(Expressions, OutputMustFitTheBuffer) {
  const std::string name(341, 'n');
  EXPECT_EQ(Formatted("(.*)", "$1$1$1", name).size(), 1023u);
  EXPECT_EQ(Formatted("(.*)", "$1$1$1x", name), "<fail>");
  EXPECT_EQ(Formatted("(.*)", "$1$1$1$1$1$1$1$1", name), "<fail>");
  // After a failure the next call builds its text as usual.
  EXPECT_EQ(Formatted("(.*)", "[$1]", "ok"), "[ok]");
}

TEST_F(Expressions, UmlautsAreWordCharactersAndChangeCase) {
  EXPECT_TRUE(Matches(R"(\w+)", "Müller", false));
  EXPECT_TRUE(Matches(R"(\w+_Straße\.pdf)", "Jürgen_Straße.pdf", false));
  EXPECT_TRUE(Matches("(?i)MÜLLER", "müller", false));
  EXPECT_TRUE(Matches("M.ller", "Müller", false));  // one character, two bytes
  EXPECT_EQ(Formatted(R"((\w+)_(\w+)\.pdf)", R"(\U$1\E-\u$2)", "müller_öl.pdf"), "MÜLLER-Öl");
}

TEST_F(Expressions, NamesThatAreNotUtf8StillMatchAndKeepTheirBytes) {
  // "Müller" in the Western code page: the ü is the single byte 0xFC.
  const std::string latin1 = "M\xFCller_03.pdf";
  EXPECT_TRUE(Matches(R"(.*_\d+\.pdf)", latin1, false));
  EXPECT_TRUE(Matches(R"(M.ller_\d+\.pdf)", latin1, false));  // one byte, one character
  EXPECT_TRUE(Matches(R"(_\d+)", latin1, true));
  EXPECT_FALSE(Matches(R"(\d+)", latin1, false));
  EXPECT_EQ(Formatted(R"((.*)_(\d+)\.pdf)", "$2_$1.pdf", latin1), "03_M\xFCller.pdf");
  // Case conversion changes the ASCII letters and leaves every other byte,
  // including those whose Latin-1 letter has its other case elsewhere.
  EXPECT_EQ(Formatted("(.*)", R"(\U$1)", latin1), "M\xFCLLER_03.PDF");
  EXPECT_EQ(Formatted("(.*)", R"(\U$1)", "a\xFF\xB5\xDF\xFC"), "A\xFF\xB5\xDF\xFC");
  EXPECT_EQ(Formatted("(.*)", R"(\L$1)", "A\xDC\xC4\xD6"), "a\xDC\xC4\xD6");

  // A format that is not UTF-8 is taken byte for byte as well.
  EXPECT_EQ(Formatted(R"((\d+))", "Caf\xE9_$1", "p12", true), "Caf\xE9_12");
  // A lone byte at the very end of the name must not be read past.
  EXPECT_EQ(Formatted("(.*)", R"(\U$1)", "ab\xF4"), "AB\xF4");
}

TEST_F(Expressions, RunawayExpressionsGiveUpInsteadOfHanging) {
  const std::string name = std::string(60, 'a') + "!";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Matches("(a+)+$", name, true));
  EXPECT_FALSE(Matches("(a|a)*b", name, false));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(Expressions, ManyDistinctExpressionsStayCorrectPastTheCacheBound) {
  // More expressions than the cache holds: the oldest are dropped and compiled
  // again when they come back, while calls keep their own copy.
  for (int i = 0; i < 5000; ++i) {
    const std::string match = "r" + std::to_string(i) + R"(_(\d+))";
    ASSERT_EQ(Formatted(match, "$1", "r" + std::to_string(i) + "_" + std::to_string(i)),
              std::to_string(i));
  }
  EXPECT_EQ(Formatted(R"(r0_(\d+))", "<$1>", "r0_7"), "<7>");
  EXPECT_FALSE(Matches(R"(r0_(\d+))", "r1_7", false));
}

// Whatever else the library is built from (the standard library's templates,
// PCRE2 and qpdf code pulled in), the program's loader sees only its four
// entry points.
TEST(ExpressionLibraryFile, ExportsTheFourEntryPointsAndNothingElse) {
  const std::string path =
      (test::ProgramBinFolder() / LoadedExpressionLibrary::FileName()).string();
  std::FILE* nm = ::popen(("nm -D --defined-only '" + path + "' 2>/dev/null").c_str(), "r");
  ASSERT_NE(nm, nullptr);
  std::set<std::string> exported;
  char line[512];
  while (std::fgets(line, sizeof line, nm) != nullptr) {
    char type = 0;
    char name[400];
    if (std::sscanf(line, "%*s %c %399s", &type, name) == 2) exported.insert(name);
  }
  if (::pclose(nm) != 0 && exported.empty()) GTEST_SKIP() << "nm is not available here";
  EXPECT_THAT(exported, ::testing::ElementsAre("FormatExpression", "MatchGroups", "PDFSplitter",
                                               "TryMatchExpression"));
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return text;
}

// The program serialises its calls, but the library does not rely on that:
// two threads call the entry point itself at once and share the cache of
// compiled expressions, each adding more of its own than the cache holds, so
// entries are added and dropped under both all along.
TEST_F(Expressions, ThreadsThatCallTheLibraryAtOnceGetTheirOwnResults) {
  Result<DynamicLibrary> raw =
      DynamicLibrary::Open(test::ProgramBinFolder() / LoadedExpressionLibrary::FileName());
  ASSERT_TRUE(raw.ok()) << raw.status().message();
  const auto format = raw.value().Function<FormatExpressionFn>(kFormatExpressionName);
  ASSERT_NE(format, nullptr);

  constexpr int kNames = 2500;
  auto work = [format](const std::string& prefix, int* wrong) {
    char output[kExchangeBufferSize];
    for (int i = 0; i < kNames; ++i) {
      const std::string number = std::to_string(i);
      const std::string name = prefix + "_" + number + ".pdf";
      if (format(R"(([a-z]+)_(\d+)\.pdf)", R"(\U$1\E$2)", name.c_str(), output, 0) != 1 ||
          output != Upper(prefix) + number) {
        ++*wrong;
      }
      const std::string own = prefix + number + R"(_(\d+))";
      const std::string ownName = prefix + number + "_" + number;
      if (format(own.c_str(), "<$1>", ownName.c_str(), output, 0) != 1 ||
          output != "<" + number + ">") {
        ++*wrong;
      }
    }
  };
  int wrong_engine = 0, wrong_bench = 0;
  std::thread engine(work, "engine", &wrong_engine);
  std::thread bench(work, "bench", &wrong_bench);
  engine.join();
  bench.join();
  EXPECT_EQ(wrong_engine, 0);
  EXPECT_EQ(wrong_bench, 0);
}

}  // namespace
}  // namespace zf
