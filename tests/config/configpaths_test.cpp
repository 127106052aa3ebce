#include "config/configpaths.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "config/inifile.h"
#include "platform/files.h"
#include "platform/tempfile.h"
#include "tempdir.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

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
      // Folders that exist nowhere: names are looked up in real folders
      // without regard to case, so an installed package's /etc/zentrafold
      // would answer with its own file.
      {"/opt/zf/bin/zentrafold", "/no-such-root/zentrafold", "/no-such-root/zentrafold",
       "zentrafold.ini"},
      {"/opt/zf/bin/zentrafold", "/no-such-root/zentrafold/", "/no-such-root/zentrafold",
       "zentrafold.ini"},
      {"/opt/zf/bin/zentrafold", "/no-such-root/./zentrafold/../zf", "/no-such-root/zf",
       "zentrafold.ini"},
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

TEST(ConfigPaths, AFileWhoseExactNameIsMissingIsFoundWithoutRegardToCase) {
  const struct {
    std::vector<std::string> files;  // in the folder; a trailing "/" makes a folder
    const char* queue;
    const char* settings;  // the program is "zentrafold"
    const char* dbconnect;
  } cases[] = {
      {{}, "Zentrafold.ini", "zentrafold.ini", "dbconnect.ini"},
      // A migrated folder: the settings live in the queue file.
      {{"Zentrafold.ini"}, "Zentrafold.ini", "Zentrafold.ini", "dbconnect.ini"},
      {{"ZENTRAFOLD.INI", "DBConnect.INI"}, "ZENTRAFOLD.INI", "ZENTRAFOLD.INI", "DBConnect.INI"},
      // The exact name wins over every other spelling.
      {{"Zentrafold.ini", "zentrafold.ini", "ZENTRAFOLD.INI"},
       "Zentrafold.ini",
       "zentrafold.ini",
       "dbconnect.ini"},
      // Of several other spellings the first in byte order, every time.
      {{"zentrafold.INI", "ZENTRAFOLD.ini", "zEntrafold.ini"},
       "ZENTRAFOLD.ini",
       "ZENTRAFOLD.ini",
       "dbconnect.ini"},
      // Only files count.
      {{"DBCONNECT.INI/", "Dbconnect.ini"}, "Zentrafold.ini", "zentrafold.ini", "Dbconnect.ini"},
      {{"DBCONNECT.INI/"}, "Zentrafold.ini", "zentrafold.ini", "dbconnect.ini"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    std::string listing;
    for (const std::string& f : c.files) {
      listing += f + " ";
      if (f.back() == '/') {
        fs::create_directory(dir.path() / f.substr(0, f.size() - 1));
      } else {
        WriteFile(dir.path() / f, "[System]\n");
      }
    }
    SCOPED_TRACE(listing);
    const ConfigPaths p = ConfigPaths::For("/opt/zf/zentrafold", dir.path().string());
    EXPECT_EQ(p.queueFile, dir / c.queue);
    EXPECT_EQ(p.settingsFile, dir / c.settings);
    EXPECT_EQ(p.dbconnectFile, dir / c.dbconnect);
  }
}

TEST(ConfigPaths, ReadingAndSavingUseTheFileFoundAndAddNoSecondSpelling) {
  TempDir dir;
  // Known under one spelling when the paths were made, created under
  // another one later: the save still goes to the one file.
  const ConfigPaths p = ConfigPaths::For("/opt/zf/zentrafold", dir.path().string());
  WriteFile(dir.path() / "ZentraFold.INI", "[System]\nbrowsetime=7\n");
  EXPECT_EQ(ReadIniFile(p.settingsFile).ReadInteger("system", "browsetime", 0), 7);
  ASSERT_TRUE(UpdateIniFile(p.queueFile, [](IniDocument& d) {
                d.WriteInteger("System", "Nfolders", 0);
              }).ok());
  ASSERT_TRUE(UpdateIniFile(p.settingsFile, [](IniDocument& d) {
                d.WriteInteger("system", "stabletime", 3);
              }).ok());
  EXPECT_EQ(test::NamesIn(dir.path()), std::vector<std::string>{"ZentraFold.INI"});
  EXPECT_EQ(ReadFile(dir.path() / "ZentraFold.INI"),
            "[System]\nbrowsetime=7\nNfolders=0\nstabletime=3\n");
}

TEST(ConfigPaths, LeftoversOfAnInterruptedSaveAreRemovedAndLookalikesKept) {
  TempDir dir;
  const fs::path elsewhere = dir.path() / "shared";
  fs::create_directory(dir.path() / "conf");
  fs::create_directory(elsewhere);
  const fs::path conf = dir.path() / "conf";
  WriteFile(conf / "Zentrafold.ini", "[System]\nNfolders=0\n");
  WriteFile(elsewhere / "dbconnect.ini", "[MSSQLVeltraneLite]\n");
  fs::create_symlink(elsewhere / "dbconnect.ini", conf / "dbconnect.ini");

  // A save that dies between writing and renaming leaves its temporary file.
  class DyingFileSystem : public FileSystem {
   protected:
    int InjectFault(WriteStep step, const std::string&) const override {
      if (step == WriteStep::kRename) ::_exit(0);
      return 0;
    }
  };
  for (const fs::path& target : {conf / "Zentrafold.ini", conf / "dbconnect.ini"}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      (void)DyingFileSystem().WriteWholeFileAtomic(target.string(), "half-saved");
      ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the save did not reach the rename";
  }
  auto leftovers = [](const fs::path& folder) {
    std::vector<std::string> names;
    for (const std::string& n : test::NamesIn(folder)) {
      if (IsTempName(n)) names.push_back(n);
    }
    return names;
  };
  ASSERT_EQ(leftovers(conf).size(), 1u);
  ASSERT_EQ(leftovers(elsewhere).size(), 1u);  // beside the linked file's target

  const std::vector<std::string> lookalikes = {
      ".zf-0123456789abcdeg-Zentrafold.ini.part",  // not hexadecimal
      ".zf-0123456789abcdef-Zentrafold.ini",       // no ending
      "zf-0123456789abcdef-Zentrafold.ini.part",   // no leading dot
      ".zf-0123456789ABCDEF-Zentrafold.ini.part",  // upper-case digits are not ours
      "Zentrafold.ini.part",
  };
  for (const std::string& name : lookalikes) WriteFile(conf / name, "user's");
  fs::create_directory(conf / ".zf-0123456789abcdef-folder.part");  // not a file
  const std::string ours = MakeTempName("zentrafold.ini");
  WriteFile(conf / ours, "left by a crash");

  const auto removed = RemoveConfigLeftovers(ConfigPaths::For("/opt/zf/zentrafold", conf.string()));
  ASSERT_TRUE(removed.ok()) << removed.status().message();
  EXPECT_EQ(*removed, 3);
  EXPECT_TRUE(leftovers(elsewhere).empty());
  std::vector<std::string> expected(lookalikes.begin(), lookalikes.end());
  expected.insert(expected.end(),
                  {"Zentrafold.ini", "dbconnect.ini", ".zf-0123456789abcdef-folder.part"});
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(test::NamesIn(conf), expected);
  EXPECT_EQ(ReadFile(conf / "Zentrafold.ini"), "[System]\nNfolders=0\n");  // the old file, whole

  // A folder that is gone is clean.
  const auto none = RemoveConfigLeftovers(ConfigPaths::For("/opt/zf/zentrafold", (dir / "gone")));
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(*none, 0);
}

}  // namespace
}  // namespace zf
