#include "demo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "checkconfig.h"
#include "config/configpaths.h"
#include "config/queuefile.h"
#include "config/settingsfile.h"
#include "exprlib/loadedexpressionlibrary.h"
#include "serviceconfig.h"
#include "tempdir.h"
#include "testrule.h"

namespace zf::app {
namespace {

namespace fs = std::filesystem;
using ::testing::IsEmpty;

constexpr const char* kProgram = "/opt/zentrafold/bin/zentrafold";

TEST(Demo, WritesAWorkingQueueThroughTheConfigurationFiles) {
  test::TempDir dir;
  const std::string root = dir / "new/demo";
  const auto demo = InitDemo(root, kProgram);
  ASSERT_TRUE(demo.ok()) << demo.status().message();
  EXPECT_EQ(demo->folder, root);
  for (const std::string& f : {demo->input, demo->output, demo->error, demo->log}) {
    EXPECT_TRUE(fs::is_directory(f)) << f;
  }

  // Read back as the program reads it.
  const ConfigPaths paths = ConfigPaths::For(kProgram, root);
  // The settings file is looked up without regard to case, as on the desktop
  // platform, where the program's own ".ini" is the queue file itself.
  EXPECT_EQ(paths.settingsFile, root + "/Zentrafold.ini");
  QueueTable table;
  EXPECT_THAT(QueueConfigFile(paths.queueFile).Load(table), IsEmpty());
  ASSERT_EQ(table.Nfolders(), 1);
  const QueueRecord q = table.Get(1);
  EXPECT_EQ(q.name, "Demo");
  EXPECT_EQ(q.Inputfolder, root + "/input");
  EXPECT_EQ(q.Outputfolder, root + "/output");
  EXPECT_EQ(q.Errorfolder, root + "/error");
  EXPECT_TRUE(q.Enabled);
  EXPECT_TRUE(q.Makelog);
  EXPECT_EQ(q.logtype, 0);
  EXPECT_EQ(q.Logfile, root + "/log");
  WorkingSettings working;
  const auto settings = GeneralSettingsFile(paths.settingsFile).Load(working);
  EXPECT_THAT(settings.messages, IsEmpty());
  EXPECT_EQ(settings.settings.browsetime, 2);
  EXPECT_EQ(settings.settings.stabletime, 2);

  // What the user is told the rules do is what they do, and the check finds
  // nothing wrong with the demo.
  auto library = test::LoadBuiltLibrary();
  struct Case {
    std::string name;
    int status;
    std::string text;
  };
  const Case cases[] = {
      {"report 12.pdf", kNamed, "new name: REPORT_page12.pdf\n"},
      {"Sport_3.pdf", kNamed, "new name: SPORT_page3.pdf\n"},
      {"notes.txt", kNamed, "new name: notes_renamed.txt\n"},
      {"photo.jpg", kNotNamed, "cannot rename\n"},
  };
  for (const Case& c : cases) {
    const RuleTestOutcome outcome = TestRule(table, *library, "Demo", c.name);
    EXPECT_EQ(outcome.status, c.status) << c.name;
    EXPECT_EQ(outcome.text, c.text) << c.name;
  }
  const std::string told = DescribeDemo(*demo);
  EXPECT_NE(told.find("'report 12.pdf' becomes 'REPORT_page12.pdf'"), std::string::npos) << told;
  EXPECT_NE(told.find(root + "/input"), std::string::npos);
  SystemFileAccess files;
  const ConfigReport report = CheckConfiguration(table, {}, library.get(), files);
  EXPECT_THAT(report.problems, IsEmpty());
}

TEST(Demo, NeverWritesOverAnExistingConfiguration) {
  test::TempDir dir;
  const std::string queueFile = dir / "Zentrafold.ini";
  test::WriteFile(queueFile, "[System]\nNfolders=0\n");
  const auto demo = InitDemo(dir.path().string(), kProgram);
  ASSERT_FALSE(demo.ok());
  EXPECT_NE(demo.status().message().find("already exists"), std::string::npos);
  EXPECT_EQ(test::ReadFile(queueFile), "[System]\nNfolders=0\n");
  EXPECT_FALSE(fs::exists(dir / "input"));
}

TEST(TestRule, UnknownQueuesAndAMissingLibraryAreConfigurationErrors) {
  QueueTable table;
  ASSERT_TRUE(table
                  .Append([](QueueRecord& q) {
                    ApplyQueueDefaults(q);
                    q.name = "Split";
                    q.Splitpdf = true;
                    q.NRegularexpr = 2;
                    q.rule(1) = Rule{R"(SPO_(\d+)_p(\d+)\.pdf)", "SPO_$1_###.pdf", false, "$2"};
                    // Names well, but the page text is not a number: the page
                    // number is the last one read (none yet in a fresh run).
                    q.rule(2) = Rule{R"(X_(\w+)\.pdf)", "X_$1.pdf", false, "$1"};
                  })
                  .ok());
  auto library = test::LoadBuiltLibrary();
  RuleTestOutcome outcome = TestRule(table, *library, "Split", "SPO_20240517_p17.pdf");
  EXPECT_EQ(outcome.status, kNamed);
  EXPECT_EQ(outcome.text, "new name: SPO_20240517_###.pdf\npage number: 17\n");
  outcome = TestRule(table, *library, "Split", "X_abc.pdf");
  EXPECT_EQ(outcome.status, kNamed);
  EXPECT_EQ(outcome.text, "new name: X_abc.pdf\npage number: 0\n");

  outcome = TestRule(table, *library, "split", "SPO_1_p1.pdf");  // case counts
  EXPECT_EQ(outcome.status, kUsageOrConfigError);
  EXPECT_EQ(outcome.text, "no queue is named 'split'");

  struct Sink : LoadMessageSink {
    void ShowInformation(const std::string&) override {}
  } sink;
  test::TempDir empty;
  auto missing = LoadedExpressionLibrary::Load(empty.path(), sink);
  outcome = TestRule(table, *missing, "Split", "SPO_1_p1.pdf");
  EXPECT_EQ(outcome.status, kUsageOrConfigError);
  EXPECT_NE(outcome.text.find("not available"), std::string::npos);
}

}  // namespace
}  // namespace zf::app
