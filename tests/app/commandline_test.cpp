#include "commandline.h"

#include <gtest/gtest.h>

namespace zf::app {
namespace {

TEST(CommandLine, ModesAndTheirValues) {
  struct Case {
    std::vector<std::string> args;
    Mode mode;
    std::string configDir, queue, fileName, demoDir;
    bool verbose = false;
    bool explain = false;
  };
  const Case cases[] = {
      {{}, Mode::kWindow},
      {{"--help"}, Mode::kHelp},
      {{"-h"}, Mode::kHelp},
      {{"--version"}, Mode::kVersion},
      {{"--show-paths", "--config-dir", "/etc/zf"}, Mode::kShowPaths, "/etc/zf"},
      {{"--config-dir=/etc/zf", "--headless"}, Mode::kHeadless, "/etc/zf"},
      {{"--headless", "--verbose"}, Mode::kHeadless, "", "", "", "", true},
      {{"--check-config"}, Mode::kCheckConfig},
      {{"--test-rule", "Sport", "report 12.pdf", "--config-dir", "d"},
       Mode::kTestRule,
       "d",
       "Sport",
       "report 12.pdf"},
      // A file name that looks like an option is still the file name.
      {{"--test-rule", "Sport", "--headless"}, Mode::kTestRule, "", "Sport", "--headless"},
      {{"--init-demo", "demo"}, Mode::kInitDemo, "", "", "", "demo"},
      {{"--test-rule", "Q", "n", "--explain"}, Mode::kTestRule, "", "Q", "n", "", false, true},
      {{"--explain", "--test-rule", "Q", "n"}, Mode::kTestRule, "", "Q", "n", "", false, true},
  };
  for (const Case& c : cases) {
    const auto cl = ParseCommandLine(c.args);
    ASSERT_TRUE(cl.ok()) << cl.status().message();
    EXPECT_EQ(cl->mode, c.mode);
    EXPECT_EQ(cl->configDir, c.configDir);
    EXPECT_EQ(cl->queue, c.queue);
    EXPECT_EQ(cl->fileName, c.fileName);
    EXPECT_EQ(cl->demoDir, c.demoDir);
    EXPECT_EQ(cl->verbose, c.verbose);
    EXPECT_EQ(cl->explain, c.explain);
  }
}

TEST(CommandLine, UsageErrorsAreRefusedWithStatusTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"--config-dir"},
      {"--config-dir", ""},
      {"--config-dir="},
      {"--test-rule"},
      {"--test-rule", "Sport"},
      {"--test-rule", "", "a.pdf"},
      {"--test-rule", "Sport", ""},
      {"--init-demo"},
      {"--headless", "--check-config"},
      {"--test-rule", "Q", "n", "--init-demo", "d"},
      {"--verbose"},
      {"--check-config", "--verbose"},
      {"--explain"},
      {"--headless", "--explain"},
  };
  for (const auto& args : cases) {
    const auto cl = ParseCommandLine(args);
    ASSERT_FALSE(cl.ok()) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(cl.status().code(), 2);
    EXPECT_FALSE(cl.status().message().empty());
  }
}

TEST(CommandLine, UsageNamesEveryMode) {
  const std::string usage = UsageText();
  for (const char* option : {"--headless", "--test-rule", "--check-config", "--init-demo",
                             "--show-paths", "--config-dir", "--verbose", "--explain"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace zf::app
