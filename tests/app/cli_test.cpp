// The command line as an operator meets it: the built program run as a child
// process, with its exit status, standard output and standard error.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "programrunner.h"
#include "serviceconfig.h"
#include "tempdir.h"

namespace zf::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* f : {"in", "out", "err"}) fs::create_directory(dir_ / f);
  }
  void Configure(std::vector<QueueRecord> queues) {
    WriteConfiguration(dir_.path().string(), queues, QuickSettings());
  }
  QueueRecord Sport() {
    return MakeQueue(
        "Sport", dir_ / "in", dir_ / "out", dir_ / "err",
        {Rule{R"(SPO_(\d{4})(\d\d)(\d\d)_(\d+)\.pdf)", "$3.$2.$1_Sport_S$4.pdf", false, "$4"}});
  }
  // A copy of the program in a folder of its own, with the given stand-in
  // expression library beside it or none at all.
  std::string ProgramCopy(const std::string& library) {
    const fs::path bin = copies_.path() / "bin";
    fs::create_directories(bin);
    fs::copy_file(ProgramPath(), bin / "zentrafold");
    if (!library.empty()) fs::copy_file(library, bin / "regex.so");
    return (bin / "zentrafold").string();
  }
  std::vector<std::string> WithConfig(std::vector<std::string> args) {
    args.insert(args.begin(), {"--config-dir", dir_.path().string()});
    return args;
  }

  TempDir dir_;
  TempDir copies_;
};

TEST_F(Cli, TestRuleTellsTheNewNameAndAnswersWithItsStatus) {
  QueueRecord split = Sport();
  split.name = "Split";
  split.Splitpdf = true;
  Configure({Sport(), split});
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {{"--test-rule", "Sport", "SPO_20240517_07.pdf"}, 0, "new name: 17.05.2024_Sport_S07.pdf\n"},
      {{"--test-rule", "Split", "SPO_20240517_07.pdf"},
       0,
       "new name: 17.05.2024_Sport_S07.pdf\npage number: 7\n"},
      {{"--test-rule", "Sport", "SPO_2024_07.pdf"}, 1, "cannot rename\n"},
      {{"--test-rule", "Sport", "SPO_20240517_07.pdf/../x"}, 1, "cannot rename\n"},
      {{"--test-rule", "Nope", "SPO_20240517_07.pdf"}, 2, "", "no queue is named 'Nope'"},
      {{"--test-rule", "Sport"}, 2, "", "needs a queue name and a file name"},
  };
  for (const Case& c : cases) {
    const Finished run = RunProgram(WithConfig(c.args));
    EXPECT_EQ(run.status, c.status) << c.args[1] << " " << run.err;
    EXPECT_EQ(run.out, c.out);
    EXPECT_THAT(run.err, HasSubstr(c.err));
  }
}

TEST_F(Cli, TestRuleExplainsEveryRuleTheMasksAndTheOutputFolder) {
  QueueRecord sport = Sport();
  sport.Splitpdf = true;
  sport.NRegularexpr = 2;
  sport.rule(2) = sport.rule(1);
  sport.rule(1) = Rule{R"(SPO_(\d+)\.pdf)", "never.pdf", false, "$1"};
  sport.Searchmask = "*.pdf";
  Configure({sport});
  WriteFile(dir_ / "out/17.05.2024_Sport_S07.pdf", "x");

  Finished run =
      RunProgram(WithConfig({"--test-rule", "Sport", "SPO_20240517_07.pdf", "--explain"}));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "Test name: \"SPO_20240517_07.pdf\"\n"
            "Rule 1: no match\n"
            "  no name: no match\n"
            "Rule 2: match  <- the engine takes this rule\n"
            "  group 0: \"SPO_20240517_07.pdf\"\n"
            "  group 1: \"2024\"\n"
            "  group 2: \"05\"\n"
            "  group 3: \"17\"\n"
            "  group 4: \"07\"\n"
            "  name: \"17.05.2024_Sport_S07.pdf\"\n"
            "  page text: \"07\", page 7\n"
            "Search mask: lets the name through\n"
            "Ignore mask: lets the name through\n"
            "Engine: rule 2 gives \"17.05.2024_Sport_S07.pdf\", page 7\n"
            "Output folder: a file \"" +
                dir_ / "out/17.05.2024_Sport_S07.pdf" + "\" exists already\n");

  // No rule fits: status 1, as without --explain.
  run = RunProgram(WithConfig({"--test-rule", "Sport", "a.ps", "--explain"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.out, HasSubstr("Search mask: does not list the name\n"));
  EXPECT_THAT(run.out, HasSubstr("Engine: no rule gives a name: cannot rename\n"));

  // A library without MatchGroups loads with the usual message only and
  // explains without groups.
  const char* bin = std::getenv("ZF_BIN_DIR");
  ASSERT_NE(bin, nullptr);
  run = RunProgram(WithConfig({"--test-rule", "Sport", "x", "--explain"}),
                   ProgramCopy(std::string(bin) + "/testlibs/nosplit/regex.so"));
  EXPECT_EQ(run.err, "zentrafold: unable to load PDFSplitter from dll\n");
  EXPECT_THAT(run.out, HasSubstr("(the expression library gives no capture groups)\n"));

  run = RunProgram(WithConfig({"--test-rule", "Sport", std::string(1024, 'n'), "--explain"}));
  EXPECT_EQ(run.status, 2);
  EXPECT_THAT(run.err, HasSubstr("The test file name has 1024 characters"));
}

TEST_F(Cli, TestRuleWithoutTheExpressionLibraryIsAConfigurationError) {
  Configure({Sport()});
  const Finished run =
      RunProgram(WithConfig({"--test-rule", "Sport", "SPO_20240517_07.pdf"}), ProgramCopy(""));
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_THAT(run.err, HasSubstr("unable to load TryMatchExpression from dll\n"
                                 "zentrafold: unable to load FormatExpression from dll\n"
                                 "zentrafold: unable to load PDFSplitter from dll\n"));
}

TEST_F(Cli, CheckConfigReportsProblemsAndAnswersOneForAny) {
  Configure({Sport()});
  Finished run = RunProgram(WithConfig({"--check-config"}));
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_THAT(run.out, HasSubstr("(1 queue(s))"));
  EXPECT_THAT(run.out, HasSubstr("No problems found.\n"));

  QueueRecord broken = Sport();
  broken.name = "Broken";
  broken.Outputfolder = dir_ / "gone";
  broken.ignoremask = "[x";
  broken.rule(1).match = "(unclosed";
  broken.dailyminute = 75;
  QueueRecord sport = Sport();
  sport.ignoremask = kJunkIgnoremask;  // nothing to point out
  Configure({sport, broken});
  run = RunProgram(WithConfig({"--check-config"}));
  EXPECT_EQ(run.status, 1);
  const std::string gone = dir_ / "gone";
  EXPECT_THAT(run.out,
              HasSubstr("queue 2 'Broken': output folder '" + gone + "' does not exist\n"));
  EXPECT_THAT(run.out, HasSubstr("queue 2 'Broken': ignore mask: '[x' is an invalid mask"));
  EXPECT_THAT(
      run.out,
      HasSubstr("queue 2 'Broken': rule 1: match expression '(unclosed' does not compile\n"));
  EXPECT_THAT(run.out, HasSubstr("queue 2 'Broken': daily renewal time 1:75 is out of range"));
  EXPECT_THAT(run.out, Not(HasSubstr("queue 1 ")));
  EXPECT_THAT(run.out, HasSubstr("4 problem(s) found.\n"));
}

TEST_F(Cli, CheckConfigCountsTheLoadersWarningsAndTheLibrarysMessages) {
  // More rules than a queue holds: the loader cuts them and says so.
  QueueRecord many = Sport();
  Configure({many});
  const std::string queueFile = dir_ / "Zentrafold.ini";
  std::string text = ReadFile(queueFile);
  text.replace(text.find("NRegularexpr=1"), 14, "NRegularexpr=250");
  WriteFile(queueFile, text);
  Finished run = RunProgram(WithConfig({"--check-config"}));
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_THAT(run.out, HasSubstr("configuration: "));

  QueueRecord split = Sport();
  split.Splitpdf = true;
  Configure({split});
  const char* bin = std::getenv("ZF_BIN_DIR");
  ASSERT_NE(bin, nullptr);
  run = RunProgram(WithConfig({"--check-config"}),
                   ProgramCopy(std::string(bin) + "/testlibs/nosplit/regex.so"));
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_THAT(run.out, HasSubstr("expression library: unable to load PDFSplitter from dll\n"));
  EXPECT_THAT(run.out, HasSubstr("queue 1 'Sport': splits PDF files, but the expression library "
                                 "has no PDFSplitter\n"));
}

TEST_F(Cli, UsageErrorsAndMissingFoldersAnswerTwo) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--headless", "--check-config"}, "cannot be combined"},
      {{"--config-dir", (dir_ / "nowhere"), "--check-config"}, "does not exist"},
      {{"--config-dir", (dir_ / "nowhere"), "--headless"}, "does not exist"},
      {{"--config-dir", (dir_ / "nowhere"), "--test-rule", "Q", "n"}, "does not exist"},
  };
  for (const Case& c : cases) {
    const Finished run = RunProgram(c.args);
    EXPECT_EQ(run.status, 2) << c.args.back();
    EXPECT_THAT(run.err, HasSubstr(c.err));
  }
  const Finished version = RunProgram({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_THAT(version.out, HasSubstr("zentrafold "));
}

TEST_F(Cli, InitDemoMakesAWorkspaceThatPassesTheCheckOnce) {
  const std::string demo = dir_ / "demo";
  Finished run = RunProgram({"--init-demo", demo});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("drop files into   " + demo + "/input\n"));
  EXPECT_THAT(run.out, HasSubstr("--headless --config-dir " + demo + "\n"));

  run = RunProgram({"--config-dir", demo, "--check-config"});
  EXPECT_EQ(run.status, 0) << run.out;
  run = RunProgram({"--config-dir", demo, "--test-rule", "Demo", "report 12.pdf"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "new name: REPORT_page12.pdf\n");

  run = RunProgram({"--init-demo", demo});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("already exists"));

  run = RunProgram({"--config-dir", demo, "--show-paths"});
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(run.out, HasSubstr("Queue configuration file: " + demo + "/Zentrafold.ini\n"));
}

}  // namespace
}  // namespace zf::test
