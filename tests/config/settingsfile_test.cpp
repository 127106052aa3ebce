#include "config/settingsfile.h"

#include <gtest/gtest.h>

#include <cerrno>

#include <filesystem>

#include "config/configpaths.h"
#include "config/inifile.h"
#include "config/queuefile.h"
#include "failingfilesystem.h"
#include "tempdir.h"

namespace zf {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

GeneralSettings Filled() {
  GeneralSettings s;
  s.browsetime = 5;
  s.stabletime = 7;
  s.FTPtimeout = "3000";
  s.debugmode = 2;
  s.autostart = true;
  s.maxvisuallog = 250;
  s.logformat = "yyyy-mm-dd hh:nn";
  s.plugin = 3;
  s.HostName = "dbhost";
  s.DB = "pages";
  s.Username = "sa";
  s.Password = "secret";
  return s;
}

TEST(GeneralSettingsFile, WithoutAFileTheDefaultsApply) {
  TempDir dir;
  WorkingSettings working;
  working.ftpTimeout = 99;
  const auto loaded = GeneralSettingsFile(dir / "zentrafold.ini").Load(working);
  EXPECT_EQ(loaded.settings, GeneralSettings{});
  EXPECT_EQ(loaded.settings.logformat, "dd.mm.yyyy hh:nn:ss:zzz");
  EXPECT_EQ(loaded.settings.FTPtimeout, "-1");
  EXPECT_TRUE(loaded.messages.empty());
  EXPECT_EQ(working.ftpTimeout, -1);
}

TEST(GeneralSettingsFile, ValuesAreBroughtIntoTheDialogsRanges) {
  const struct {
    const char* line;
    int GeneralSettings::*field;
    int expected;
  } ints[] = {
      {"browsetime=0", &GeneralSettings::browsetime, 1},
      {"browsetime=5000", &GeneralSettings::browsetime, 1000},
      {"browsetime=x", &GeneralSettings::browsetime, 10},
      {"stabletime=-3", &GeneralSettings::stabletime, 1},
      {"stabletime=$20", &GeneralSettings::stabletime, 32},
      {"maxvisuallog=-1", &GeneralSettings::maxvisuallog, 0},
      {"maxvisuallog=20000", &GeneralSettings::maxvisuallog, 10000},
      {"maxvisuallog=", &GeneralSettings::maxvisuallog, 1000},
      {"debugmode=-3", &GeneralSettings::debugmode, -1},  // no choice
      {"debugmode=9", &GeneralSettings::debugmode, 2},    // the last choice
      {"plugin=9", &GeneralSettings::plugin, 3},
      {"plugin=-2", &GeneralSettings::plugin, -1},
      {"plugin=2", &GeneralSettings::plugin, 2},
      {"metricsport=9464", &GeneralSettings::metricsport, 9464},
      {"metricsport=70000", &GeneralSettings::metricsport, 0},  // no port: off
      {"metricsport=-1", &GeneralSettings::metricsport, 0},
  };
  for (const auto& c : ints) {
    SCOPED_TRACE(c.line);
    TempDir dir;
    WriteFile(dir / "z.ini", std::string("[system]\n") + c.line + "\n");
    WorkingSettings working;
    EXPECT_EQ(GeneralSettingsFile(dir / "z.ini").Load(working).settings.*c.field, c.expected);
  }

  const struct {
    const char* value;
    const char* text;
    int working;
  } timeouts[] = {{"99999", "32000", 32000},
                  {"-5", "-1", -1},
                  {"$10", "16", 16},
                  {"0", "0", 0},
                  {"500", "500", 500}};
  for (const auto& c : timeouts) {
    SCOPED_TRACE(c.value);
    TempDir dir;
    WriteFile(dir / "z.ini", std::string("[System]\nFTPtimeout=") + c.value + "\n");
    WorkingSettings working;
    const auto loaded = GeneralSettingsFile(dir / "z.ini").Load(working);
    EXPECT_EQ(loaded.settings.FTPtimeout, c.text);
    EXPECT_EQ(working.ftpTimeout, c.working);
    EXPECT_TRUE(loaded.messages.empty());
  }
}

TEST(GeneralSettingsFile, ChoicesOutOfRangeAreSavedBackAsTheyWereShown) {
  TempDir dir;
  const std::string path = dir / "z.ini";
  WriteFile(path, "[system]\ndebugmode=-3\nplugin=9\n");
  const GeneralSettingsFile file(path);
  WorkingSettings working;
  const auto loaded = file.Load(working);
  ASSERT_TRUE(file.Save(loaded.settings, working).ok());
  const IniDocument doc = ReadIniFile(path);
  EXPECT_EQ(doc.ReadString("system", "debugmode", ""), "-1");
  EXPECT_EQ(doc.ReadString("system", "plugin", ""), "3");
}

TEST(GeneralSettingsFile, AnFtpTimeoutThatIsNoNumberIsReportedAfterTheOtherKeys) {
  TempDir dir;
  const std::string path = dir / "z.ini";
  WriteFile(path, "[system]\nFTPtimeout=soon\nbrowsetime=30\nUsername=op\n");
  WorkingSettings working;
  working.ftpTimeout = 1234;
  const auto loaded = GeneralSettingsFile(path).Load(working);
  EXPECT_EQ(loaded.messages, std::vector<std::string>{"'soon' is not a valid integer value"});
  EXPECT_EQ(loaded.settings.browsetime, 30);  // everything else was read
  EXPECT_EQ(loaded.settings.Username, "op");
  EXPECT_EQ(loaded.settings.FTPtimeout, "soon");  // the field shows what the file holds
  EXPECT_EQ(working.ftpTimeout, -1);              // start-up goes on without a time-out
}

TEST(GeneralSettingsFile, SaveWritesEveryKeyInOrderAndSetsTheWorkingTimeout) {
  TempDir dir;
  const std::string path = dir / "z.ini";
  const GeneralSettingsFile file(path);
  WorkingSettings working;
  ASSERT_TRUE(file.Save(Filled(), working).ok());
  EXPECT_EQ(ReadFile(path),
            "[system]\nbrowsetime=5\nstabletime=7\nmaxvisuallog=250\ndebugmode=2\nautostart=1\n"
            "logformat=yyyy-mm-dd hh:nn\nFTPtimeout=3000\nplugin=3\nHostName=dbhost\nDB=pages\n"
            "Password=secret\nUsername=sa\nwatchfolders=1\n");
  EXPECT_EQ(working.ftpTimeout, 3000);
  WorkingSettings again;
  EXPECT_EQ(file.Load(again).settings, Filled());
}

// Watching folders is on for a new settings file; a file written before the
// key existed keeps polling alone, so its timing does not change.
TEST(GeneralSettingsFile, WatchFoldersIsOnForANewFileAndOffWhereTheKeyIsMissing) {
  struct Case {
    const char* content;  // null: no file
    bool watch;
  };
  const Case cases[] = {
      {nullptr, true},
      {"[system]\nbrowsetime=5\n", false},
      {"[system]\nwatchfolders=1\n", true},
      {"[system]\nwatchfolders=0\n", false},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string path = dir / "z.ini";
    if (c.content != nullptr) WriteFile(path, c.content);
    WorkingSettings working;
    EXPECT_EQ(GeneralSettingsFile(path).Load(working).settings.watchfolders, c.watch)
        << (c.content ? c.content : "no file");
  }
}

TEST(GeneralSettingsFile, SaveWithAnFtpTimeoutThatIsNoNumberStopsAfterIt) {
  TempDir dir;
  const std::string path = dir / "z.ini";
  const GeneralSettingsFile file(path);
  WorkingSettings working;
  ASSERT_TRUE(file.Save(Filled(), working).ok());

  GeneralSettings changed = Filled();
  changed.browsetime = 60;
  changed.FTPtimeout = "12a";
  changed.plugin = 1;
  changed.HostName = "other";
  changed.Password = "changed";
  const Status st = file.Save(changed, working);
  EXPECT_EQ(st.message(), "'12a' is not a valid integer value");
  EXPECT_EQ(working.ftpTimeout, 3000);  // keeps its previous value
  const IniDocument doc = ReadIniFile(path);
  EXPECT_EQ(doc.ReadInteger("system", "browsetime", 0), 60);  // written before the time-out
  EXPECT_EQ(doc.ReadString("system", "FTPtimeout", ""), "12a");
  EXPECT_EQ(doc.ReadInteger("system", "plugin", 0), 3);  // not written after it
  EXPECT_EQ(doc.ReadString("system", "HostName", ""), "dbhost");
  EXPECT_EQ(doc.ReadString("system", "Password", ""), "secret");

  // Into a new file, the keys after the time-out are simply missing.
  const std::string fresh = dir / "fresh.ini";
  EXPECT_FALSE(GeneralSettingsFile(fresh).Save(changed, working).ok());
  EXPECT_FALSE(ReadIniFile(fresh).Value("system", "plugin").has_value());
  EXPECT_FALSE(ReadIniFile(fresh).Value("system", "Username").has_value());
}

TEST(GeneralSettingsFile, AFailedSaveChangesNeitherTheFileNorTheWorkingTimeout) {
  TempDir dir;
  const std::string path = dir / "z.ini";
  WorkingSettings working;
  ASSERT_TRUE(GeneralSettingsFile(path).Save(Filled(), working).ok());
  const std::string before = ReadFile(path);
  GeneralSettings changed = Filled();
  changed.FTPtimeout = "50";
  const Status st = GeneralSettingsFile(path, test::FailingFileSystem(WriteStep::kSyncFile, EIO))
                        .Save(changed, working);
  EXPECT_EQ(st.message(), "Unable to write to " + path);
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(working.ftpTimeout, 3000);
}

// Where names compare without regard to case, the program's own ".ini" file is
// the queue configuration file: both savers then share one file and one
// section "System"/"system", and each must keep the other's keys.
TEST(GeneralSettingsFile, SharingOneFileWithTheQueueTable) {
  TempDir dir;
  const std::string path = dir / "Zentrafold.ini";
  const QueueConfigFile queues(path);
  const GeneralSettingsFile settings(path);
  QueueTable table;
  ASSERT_TRUE(table.Append([](QueueRecord& r) { r.name = "Sport"; }).ok());
  ASSERT_TRUE(table.Append([](QueueRecord& r) { r.name = "News"; }).ok());
  WorkingSettings working;

  ASSERT_TRUE(queues.Save(table).ok());
  ASSERT_TRUE(settings.Save(Filled(), working).ok());
  ASSERT_TRUE(table.Delete(2).ok());
  ASSERT_TRUE(queues.Save(table).ok());
  ASSERT_TRUE(queues.WriteCloseState(table, {{1, 2, 3}, 4, 5, 6, 7}).ok());

  const std::string text = ReadFile(path);
  EXPECT_EQ(text.find("[system]"), std::string::npos) << "one section for both";
  QueueTable loaded;
  queues.Load(loaded);
  EXPECT_EQ(loaded.Nfolders(), 1);
  EXPECT_EQ(loaded.Get(1).name, "Sport");
  WorkingSettings w2;
  EXPECT_EQ(settings.Load(w2).settings, Filled());

  GeneralSettings changed = Filled();
  changed.browsetime = 99;
  ASSERT_TRUE(settings.Save(changed, working).ok());
  queues.Load(loaded);
  EXPECT_EQ(loaded.Nfolders(), 1);
  EXPECT_EQ(ReadIniFile(path).ReadInteger("System", "browsetime", 0), 99);
}

TEST(GeneralSettingsFile, AMigratedFolderKeepsItsSettingsInTheQueueFile) {
  TempDir dir;
  WriteFile(dir / "Zentrafold.ini",
            "[System]\nNfolders=1\nbrowsetime=5\nstabletime=7\nPassword=old\n"
            "[Folder1]\nname=Sport\n");
  // The program file is spelt in lower case, as on Linux.
  const ConfigPaths paths = ConfigPaths::For(dir / "zentrafold", dir.path().string());
  const GeneralSettingsFile settings(paths.settingsFile);
  WorkingSettings working;
  const auto loaded = settings.Load(working);
  EXPECT_EQ(loaded.settings.browsetime, 5);
  EXPECT_EQ(loaded.settings.stabletime, 7);
  EXPECT_EQ(loaded.settings.Password, "old");

  GeneralSettings changed = loaded.settings;
  changed.browsetime = 9;
  ASSERT_TRUE(settings.Save(changed, working).ok());
  int files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 1) << "a second file differing only in case";
  EXPECT_EQ(ReadIniFile(dir / "Zentrafold.ini").ReadInteger("System", "browsetime", 0), 9);
  QueueTable table;
  QueueConfigFile(paths.queueFile).Load(table);
  EXPECT_EQ(table.Get(1).name, "Sport");
}

TEST(GeneralSettingsFile, PasswordsAndFormsWithEdgeBlanksOrQuotesComeBackUnchanged) {
  TempDir dir;
  const GeneralSettingsFile file(dir / "zentrafold.ini");
  GeneralSettings s = Filled();
  s.Password = "\"'pw'\"";
  s.Username = " sa ";
  s.logformat = "hh:nn ";
  WorkingSettings working;
  ASSERT_TRUE(file.Save(s, working).ok());
  ASSERT_TRUE(file.Save(file.Load(working).settings, working).ok());  // a second round
  EXPECT_EQ(file.Load(working).settings, s);
}

}  // namespace
}  // namespace zf
