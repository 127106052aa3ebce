#include "config/configpaths.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace zf {
namespace {

TEST(ConfigPaths, FilesLiveBesideTheProgramOrInTheGivenFolder) {
  const struct {
    const char* program;
    const char* configDir;
    const char* folder;
    const char* settingsName;
  } cases[] = {
      {"/opt/zf/bin/zentrafold", "", "/opt/zf/bin", "zentrafold.ini"},
      {"/opt/zf/bin/zentrafold.exe", "", "/opt/zf/bin", "zentrafold.ini"},
      {"/opt/zf/bin/Zentrafold", "", "/opt/zf/bin", "Zentrafold.ini"},
      {"/opt/zf/bin/zentrafold", "/etc/zentrafold", "/etc/zentrafold", "zentrafold.ini"},
      {"/opt/zf/bin/zentrafold", "/etc/zentrafold/", "/etc/zentrafold", "zentrafold.ini"},
      {"/opt/zf/bin/zentrafold", "/etc/./zentrafold/../zf", "/etc/zf", "zentrafold.ini"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + c.configDir);
    const ConfigPaths p = ConfigPaths::For(c.program, c.configDir);
    EXPECT_EQ(p.queueFile, std::string(c.folder) + "/Zentrafold.ini");
    EXPECT_EQ(p.settingsFile, std::string(c.folder) + "/" + c.settingsName);
    EXPECT_EQ(p.dbconnectFile, std::string(c.folder) + "/dbconnect.ini");
  }
}

TEST(ConfigPaths, ARelativeFolderBecomesAFullPath) {
  const ConfigPaths p = ConfigPaths::For("/opt/zf/zentrafold", "conf");
  EXPECT_EQ(p.queueFile, (std::filesystem::current_path() / "conf" / "Zentrafold.ini").string());
}

TEST(ConfigPaths, TheRunningProgramsFolderByDefault) {
  auto p = ConfigPaths::ForThisProgram();
  ASSERT_TRUE(p.ok()) << p.status().message();
  const auto exe = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(p->queueFile, (exe.parent_path() / "Zentrafold.ini").string());
  EXPECT_EQ(p->settingsFile, (exe.parent_path() / "configpaths_test.ini").string());
}

}  // namespace
}  // namespace zf
