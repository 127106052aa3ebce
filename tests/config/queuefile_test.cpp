#include "config/queuefile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <thread>

#include "config/inifile.h"
#include "failingfilesystem.h"
#include "immutable.h"
#include "tempdir.h"
#include "testlocale.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// A queue whose every field differs from its default and from the other
// queues, so that a field read into the wrong place shows.
QueueRecord FullQueue(int n) {
  const std::string s = std::to_string(n);
  QueueRecord r;
  r.name = "Queue " + s;
  r.Inputfolder = "/in/" + s;
  r.Outputfolder = "/out/" + s;
  r.Errorfolder = "/err/" + s;
  r.Searchmask = "*." + s;
  r.ignoremask = "*.tmp;*." + s;
  r.FTPuse = n % 2 == 1;
  r.FTPhost = "ftp" + s + ".example";
  r.FTPuser = "user" + s;
  r.FTPpasw = "pw" + s;
  r.FTPPort = 2100 + n;
  r.FTPpath = "/remote/" + s;
  r.FTPTemppath = "/tmp/ftp" + s;
  r.FTPprotocol = n % 4;
  r.FTPfingerprint = "SHA256:" + s;
  r.FTPknownhosts = "hosts" + s;
  r.FTPkeyfile = "/keys/id" + s;
  r.Collision = n % 4;
  r.Normalize = n % 2 == 1;
  r.Checkpdf = n % 2 == 0;
  r.Checkpdfpasses = 5 + n;
  r.Readyfile = "{base}.rdy" + s;
  r.filetimetype = n % 3;
  r.Splitpdf = n % 2 == 0;
  r.Enabledatstart = n % 2 == 0;
  r.NRegularexpr = 3 + n;
  for (int k = 1; k <= r.NRegularexpr; ++k) {
    r.rule(k) = {"^(.*)_" + s + "_" + std::to_string(k) + "\\.pdf$", "$1-" + std::to_string(k),
                 k % 2 == 0, "$" + std::to_string(k)};
  }
  r.Ntranslations = 2 + n;
  for (int k = 1; k <= r.Ntranslations; ++k) {
    r.translation(k) = {"$" + std::to_string(k), "from" + s + std::to_string(k),
                        "to" + s + std::to_string(k), "Edtion"};
  }
  r.transdatefrom = "yyyymmdd" + s;
  r.transdateto = "ddmmyy" + s;
  r.translationresult = "%1_%2_" + s;
  r.Makelog = true;
  r.lastlogrenew = EncodeDateTime(2020 + n, n, 10 + n, n, 2 * n, 3 * n);
  r.Logfile = "/log/" + s;
  r.logtype = n;
  r.newonstart = n % 2 == 1;
  r.daily = true;
  r.dailyhour = static_cast<std::uint16_t>(n + 2);
  r.dailyminute = static_cast<std::uint16_t>(n + 30);
  r.newonmax = true;
  r.Maxentries = 500 * n;
  r.useplugin = n + 1;
  r.HostName = "db" + s;
  r.Database = "base" + s;
  r.Username = "dbuser" + s;
  r.password = "dbpw" + s;
  return r;
}

PluginFieldMap FullPlugin() {
  return {"table", "pub",   "date",   "ed",    "sec",   "pnum",
          "pname", "pagin", "copies", "color", "plate", "option"};
}

void ExpectSameStoredFields(const QueueRecord& a, const QueueRecord& b) {
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.Inputfolder, b.Inputfolder);
  EXPECT_EQ(a.Outputfolder, b.Outputfolder);
  EXPECT_EQ(a.Errorfolder, b.Errorfolder);
  EXPECT_EQ(a.Normalize, b.Normalize);
  EXPECT_EQ(a.Checkpdf, b.Checkpdf);
  EXPECT_EQ(a.Checkpdfpasses, b.Checkpdfpasses);
  EXPECT_EQ(a.Readyfile, b.Readyfile);
  EXPECT_EQ(a.Searchmask, b.Searchmask);
  EXPECT_EQ(a.ignoremask, b.ignoremask);
  EXPECT_EQ(a.FTPuse, b.FTPuse);
  EXPECT_EQ(a.FTPhost, b.FTPhost);
  EXPECT_EQ(a.FTPuser, b.FTPuser);
  EXPECT_EQ(a.FTPpasw, b.FTPpasw);
  EXPECT_EQ(a.FTPPort, b.FTPPort);
  EXPECT_EQ(a.FTPpath, b.FTPpath);
  EXPECT_EQ(a.FTPTemppath, b.FTPTemppath);
  EXPECT_EQ(a.FTPprotocol, b.FTPprotocol);
  EXPECT_EQ(a.FTPfingerprint, b.FTPfingerprint);
  EXPECT_EQ(a.FTPknownhosts, b.FTPknownhosts);
  EXPECT_EQ(a.FTPkeyfile, b.FTPkeyfile);
  EXPECT_EQ(a.Collision, b.Collision);
  EXPECT_EQ(a.filetimetype, b.filetimetype);
  EXPECT_EQ(a.Splitpdf, b.Splitpdf);
  EXPECT_EQ(a.Enabledatstart, b.Enabledatstart);
  EXPECT_EQ(a.NRegularexpr, b.NRegularexpr);
  for (int k = 1; k <= a.RuleCount(); ++k) {
    EXPECT_EQ(a.rule(k).match, b.rule(k).match) << k;
    EXPECT_EQ(a.rule(k).format, b.rule(k).format) << k;
    EXPECT_EQ(a.rule(k).partial, b.rule(k).partial) << k;
    EXPECT_EQ(a.rule(k).trans, b.rule(k).trans) << k;
  }
  EXPECT_EQ(a.Ntranslations, b.Ntranslations);
  for (int k = 1; k <= a.TranslationCount(); ++k) {
    EXPECT_EQ(a.translation(k).format, b.translation(k).format) << k;
    EXPECT_EQ(a.translation(k).fromstr, b.translation(k).fromstr) << k;
    EXPECT_EQ(a.translation(k).tostr, b.translation(k).tostr) << k;
    EXPECT_EQ(a.translation(k).definition, b.translation(k).definition) << k;
  }
  EXPECT_EQ(a.transdatefrom, b.transdatefrom);
  EXPECT_EQ(a.transdateto, b.transdateto);
  EXPECT_EQ(a.translationresult, b.translationresult);
  EXPECT_EQ(a.Makelog, b.Makelog);
  EXPECT_EQ(ToMilliseconds(a.lastlogrenew), ToMilliseconds(b.lastlogrenew));
  EXPECT_EQ(a.Logfile, b.Logfile);
  EXPECT_EQ(a.logtype, b.logtype);
  EXPECT_EQ(a.newonstart, b.newonstart);
  EXPECT_EQ(a.daily, b.daily);
  EXPECT_EQ(a.dailyhour, b.dailyhour);
  EXPECT_EQ(a.dailyminute, b.dailyminute);
  EXPECT_EQ(a.newonmax, b.newonmax);
  EXPECT_EQ(a.Maxentries, b.Maxentries);
  EXPECT_EQ(a.useplugin, b.useplugin);
  EXPECT_EQ(a.HostName, b.HostName);
  EXPECT_EQ(a.Database, b.Database);
  EXPECT_EQ(a.Username, b.Username);
  EXPECT_EQ(a.password, b.password);
}

// Loads a queue file written by hand into `table`; returns the warnings.
std::vector<std::string> LoadText(const TempDir& dir, const std::string& text, QueueTable& table) {
  const std::string path = dir / "Zentrafold.ini";
  WriteFile(path, text);
  return QueueConfigFile(path).Load(table);
}

std::vector<std::string> SectionsOf(const std::string& text) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while ((pos = text.find('[', pos)) != std::string::npos) {
    if (pos == 0 || text[pos - 1] == '\n')
      out.push_back(text.substr(pos + 1, text.find(']', pos) - pos - 1));
    ++pos;
  }
  return out;
}

TEST(QueueConfigFile, AFullTableSurvivesASaveAndALoad) {
  TempDir dir;
  QueueTable table;
  for (int n = 1; n <= 4; ++n) {
    ASSERT_TRUE(table.Append([&](QueueRecord& r) { r = FullQueue(n); }).ok());
  }
  table.SetPlugin(FullPlugin());
  const QueueConfigFile file(dir / "Zentrafold.ini");
  ASSERT_TRUE(file.Save(table).ok());

  QueueTable loaded;
  EXPECT_TRUE(file.Load(loaded).empty());
  ASSERT_EQ(loaded.Nfolders(), 4);
  EXPECT_EQ(loaded.Plugin(), FullPlugin());
  EXPECT_EQ(loaded.Snapshot().configFolder, dir.path().string());  // relative key files lie there
  for (int n = 1; n <= 4; ++n) {
    SCOPED_TRACE(n);
    const QueueRecord r = loaded.Get(n);
    ExpectSameStoredFields(r, FullQueue(n));
    EXPECT_EQ(r.Enabled, r.Enabledatstart);
  }
  // Saving what was loaded changes not a byte.
  const std::string first = ReadFile(file.path());
  ASSERT_TRUE(file.Save(loaded).ok());
  EXPECT_EQ(ReadFile(file.path()), first);
}

TEST(QueueConfigFile, KeysAreWrittenInTheirDocumentedOrder) {
  TempDir dir;
  QueueTable table;
  ASSERT_TRUE(table
                  .Append([](QueueRecord& r) {
                    r = FullQueue(1);
                    r.NRegularexpr = 1;
                    r.Ntranslations = 1;
                  })
                  .ok());
  const QueueConfigFile file(dir / "Zentrafold.ini");
  ASSERT_TRUE(file.Save(table).ok());
  const std::string text = ReadFile(file.path());
  std::vector<std::string> keys;
  for (std::size_t pos = 0, eol; pos < text.size(); pos = eol + 1) {
    eol = text.find('\n', pos);
    const std::string line = text.substr(pos, eol - pos);
    if (line.find('=') != std::string::npos) keys.push_back(line.substr(0, line.find('=')));
  }
  const std::vector<std::string> expected = {
      "orvatictable", "Publication", "Date", "Edtion", "Section", "Pagenumber", "Pagename",
      "Pagination", "Copies", "Color", "Platetemplate", "Templateoption", "Nfolders", "name",
      "Inputfolder", "Outputfolder", "Errorfolder", "Searchmask", "ignoremask", "Enabledatstart",
      "NRegularexpr", "filetimetype", "Splitpdf", "FTPuse", "FTPhost", "FTPuser", "FTPpasw",
      "FTPPort", "FTPpath", "FTPTemppath", "Regularexpr1match", "Regularexpr1format",
      "Regularexpr1partial", "Regularexpr1trans", "lastlogrenew", "Makelog", "Logfile", "logtype",
      "newonstart", "daily", "dailyhour", "dailyminute", "useplugin", "HostName", "Database",
      "Username", "password", "newonmax", "Maxentries", "Ntranslations", "transdatefrom",
      "transdateto", "translationresult", "Translation1format", "Translation1fromstr",
      "Translation1tostr", "Translation1definition",
      // Added later: after the historic keys.
      "FTPpassive", "FTPprotocol", "FTPfingerprint", "FTPknownhosts", "FTPkeyfile", "Collision", "Normalize",
      "Checkpdf", "Checkpdfpasses", "Readyfile"};
  EXPECT_EQ(keys, expected);
}

TEST(QueueConfigFile, ReadingRulesOfSingleKeys) {
  TempDir dir;
  QueueTable table;
  LoadText(dir,
           "[System]\nNfolders=1\n"
           "[Folder1]\n"
           "name=  Sport  \n"
           "Inputfolder=\"  /in with blanks \"\n"
           "Outputfolder='/out'\n"
           "Searchmask=\n"
           "Enabledatstart=yes\n"
           "Splitpdf=2\n"
           "FTPuse=yes\n"
           "FTPPort=0x15\n"
           "filetimetype=$1\n"
           "Maxentries=many\n"
           "logtype=-1\n"
           "dailyhour=70000\n"
           "dailyminute=-1\n"
           "NRegularexpr=1\n"
           "Regularexpr1partial=yes\n",
           table);
  const QueueRecord r = table.Get(1);
  EXPECT_EQ(r.name, "Sport");
  EXPECT_EQ(r.Inputfolder, "  /in with blanks ");
  EXPECT_EQ(r.Outputfolder, "/out");
  EXPECT_EQ(r.Searchmask, "");      // present but empty: not "*.*"
  EXPECT_EQ(r.ignoremask, "none");  // missing: the default
  EXPECT_TRUE(r.Enabledatstart);    // "yes" is no number: default true
  EXPECT_TRUE(r.Enabled);
  EXPECT_TRUE(r.Splitpdf);  // 2 is not 0
  EXPECT_FALSE(r.FTPuse);   // "yes": default false
  EXPECT_EQ(r.FTPPort, 21);
  EXPECT_EQ(r.filetimetype, 1);
  EXPECT_EQ(r.Maxentries, 10000);
  EXPECT_EQ(r.logtype, -1);
  EXPECT_EQ(r.dailyhour, 70000 % 65536);  // low 16 bits
  EXPECT_EQ(r.dailyminute, 65535);
  EXPECT_FALSE(r.rule(1).partial);

  // A port that is missing, empty or no number is the protocol's own.
  const struct {
    const char* lines;
    int port;
  } ports[] = {{"FTPPort=$15", 21},
               {"FTPPort=abc", 21},
               {"FTPPort=\"21\"", 21},
               {"FTPprotocol=1", 21},
               {"FTPprotocol=2", 990},
               {"FTPprotocol=3\nFTPPort=", 22},
               {"FTPprotocol=3\nFTPPort=2222", 2222},
               {"FTPprotocol=9", 21}};
  for (const auto& c : ports) {
    TempDir d;
    QueueTable t;
    LoadText(d, std::string("[System]\nNfolders=1\n[Folder1]\n") + c.lines + "\n", t);
    EXPECT_EQ(t.Get(1).FTPPort, c.port) << c.lines;
  }
}

TEST(QueueConfigFile, MissingKeysTakeTheirDefaults) {
  TempDir dir;
  QueueTable table;
  LoadText(dir, "[system]\nnfolders=1\n[Folder1]\n", table);
  ASSERT_EQ(table.Nfolders(), 1);
  const QueueRecord r = table.Get(1);
  EXPECT_EQ(r.name, "");
  EXPECT_EQ(r.Searchmask, "*.*");
  EXPECT_EQ(r.ignoremask, "none");
  EXPECT_EQ(r.FTPPort, 21);
  EXPECT_EQ(r.FTPTemppath, "c:\\temp");
  EXPECT_EQ(r.FTPprotocol, kFtpPlain);
  EXPECT_EQ(r.FTPknownhosts, "known_hosts");
  EXPECT_EQ(r.filetimetype, 2);
  EXPECT_TRUE(r.Enabledatstart);
  EXPECT_TRUE(r.Enabled);
  EXPECT_EQ(r.transdatefrom, "ddmmyyyy");
  EXPECT_EQ(r.transdateto, "ddmmyyyy");
  EXPECT_EQ(r.Maxentries, 10000);
  EXPECT_EQ(r.dailyhour, 1);
  EXPECT_EQ(r.dailyminute, 1);
  // Options added later stay off in files written before them.
  EXPECT_FALSE(r.Normalize);
  EXPECT_FALSE(r.Checkpdf);
  EXPECT_EQ(r.Checkpdfpasses, 10);
  EXPECT_EQ(r.Readyfile, "");
  EXPECT_EQ(ToMilliseconds(r.lastlogrenew), ToMilliseconds(EncodeDateTime(1980, 1, 1, 1, 1, 1, 1)));

  // The millisecond of the default is lost in a save and load.
  const QueueConfigFile file(dir / "Zentrafold.ini");
  QueueTable copy;
  file.Load(copy);
  ASSERT_TRUE(file.Save(copy).ok());
  EXPECT_NE(ReadFile(file.path()).find("lastlogrenew=01/01/1980 01:01:01\n"), std::string::npos);
  file.Load(copy);
  EXPECT_EQ(ToMilliseconds(copy.Get(1).lastlogrenew),
            ToMilliseconds(EncodeDateTime(1980, 1, 1, 1, 1, 1)));

  // Regional forms of existing files load; an unreadable one gives the default.
  TempDir d2;
  QueueTable t2;
  LoadText(d2,
           "[System]\nNfolders=2\n[Folder1]\nlastlogrenew=3/5/2024 2:07:09 PM\n"
           "[Folder2]\nlastlogrenew=yesterday\n",
           t2);
  EXPECT_EQ(ToMilliseconds(t2.Get(1).lastlogrenew),
            ToMilliseconds(EncodeDateTime(2024, 3, 5, 14, 7, 9)));
  EXPECT_EQ(ToMilliseconds(t2.Get(2).lastlogrenew),
            ToMilliseconds(EncodeDateTime(1980, 1, 1, 1, 1, 1, 1)));
}

TEST(QueueConfigFile, WithoutSystemNothingIsLoadedAndAMissingFileGivesAnEmptyTable) {
  TempDir dir;
  QueueTable table;
  LoadText(dir, "[orvaticfields]\nDate=d\n[Folder1]\nname=Sport\n", table);
  EXPECT_EQ(table.Nfolders(), 0);
  EXPECT_EQ(table.Plugin().Date, "d");

  QueueTable empty;
  empty.SetPlugin(FullPlugin());
  EXPECT_TRUE(QueueConfigFile(dir / "none.ini").Load(empty).empty());
  EXPECT_EQ(empty.Nfolders(), 0);
  EXPECT_EQ(empty.Plugin(), PluginFieldMap{});
}

TEST(QueueConfigFile, LoadKeepsWhatTheFileDoesNotHold) {
  TempDir dir;
  const std::string path = dir / "Zentrafold.ini";
  QueueTable table;
  ASSERT_TRUE(table
                  .Append([](QueueRecord& r) {
                    r = FullQueue(5);  // 8 rules, 7 translations
                    r.FTPcurrentpath = "/remote/now";
                  })
                  .ok());
  ASSERT_TRUE(table.Append([](QueueRecord& r) { r.name = "Second"; }).ok());
  table.Put(3, FullQueue(3));  // a slot out of use
  WriteFile(path,
            "[System]\nNfolders=1\n[Folder1]\nname=Queue 5\nNRegularexpr=2\n"
            "Regularexpr1match=new\nNtranslations=1\nTranslation1tostr=t\n");
  QueueConfigFile(path).Load(table);
  ASSERT_EQ(table.Nfolders(), 1);
  const QueueRecord r = table.Get(1);
  EXPECT_EQ(r.FTPcurrentpath, "/remote/now");
  EXPECT_EQ(r.rule(1).match, "new");
  EXPECT_EQ(r.rule(2).match, "");                          // within the count: overwritten
  EXPECT_EQ(r.rule(3).match, FullQueue(5).rule(3).match);  // above it: kept
  EXPECT_EQ(r.translation(1).tostr, "t");
  EXPECT_EQ(r.translation(2).tostr, FullQueue(5).translation(2).tostr);
  EXPECT_EQ(table.Get(2).name, "Second");  // slots above Nfolders keep their content
  EXPECT_EQ(table.Get(3).name, "Queue 3");
}

TEST(QueueConfigFile, QueuesKeepTheirIdentityAcrossAReload) {
  TempDir dir;
  const std::string path = dir / "Zentrafold.ini";
  QueueTable table;
  for (const char* name : {"A", "B", "C"}) {
    ASSERT_TRUE(table.Append([&](QueueRecord& r) { r.name = name; }).ok());
  }
  const auto uidA = table.Get(1).uid, uidB = table.Get(2).uid, uidC = table.Get(3).uid;
  WriteFile(path,
            "[System]\nNfolders=4\n[Folder1]\nname=A\n[Folder2]\nname=C\n[Folder3]\nname=New\n"
            "[Folder4]\nname=A\n");
  QueueConfigFile(path).Load(table);
  EXPECT_EQ(table.Get(1).uid, uidA);  // same slot, same name
  EXPECT_EQ(table.Get(2).uid, uidC);  // moved up
  EXPECT_EQ(table.SlotOf(uidB), 0);   // gone
  const auto uidNew = table.Get(3).uid, uidA2 = table.Get(4).uid;
  for (auto uid : {uidNew, uidA2}) {
    EXPECT_NE(uid, 0u);
    EXPECT_NE(uid, uidA);
    EXPECT_NE(uid, uidB);
    EXPECT_NE(uid, uidC);
  }
  EXPECT_NE(uidNew, uidA2);
}

TEST(QueueConfigFile, WhatTheSaveDoesNotOwnStaysInTheFile) {
  TempDir dir;
  const std::string path = dir / "Zentrafold.ini";
  QueueTable table;
  for (int n = 1; n <= 3; ++n) {
    ASSERT_TRUE(table
                    .Append([&](QueueRecord& r) {
                      r = FullQueue(n);
                      r.NRegularexpr = 5;
                      r.rule(5).trans = "$5";
                    })
                    .ok());
  }
  const QueueConfigFile file(path);
  ASSERT_TRUE(file.Save(table).ok());

  ASSERT_TRUE(table.Delete(3).ok());
  table.Update(1, [](QueueRecord& r) { r.NRegularexpr = 2; });
  ASSERT_TRUE(file.Save(table).ok());
  const IniDocument doc = ReadIniFile(path);
  EXPECT_EQ(doc.ReadInteger("System", "Nfolders", 0), 2);
  EXPECT_EQ(doc.ReadString("Folder3", "name", ""), "Queue 3");  // beyond Nfolders: left
  EXPECT_EQ(doc.ReadInteger("Folder1", "NRegularexpr", 0), 2);
  EXPECT_EQ(doc.ReadString("Folder1", "Regularexpr5trans", ""), "$5");  // beyond the count: left

  QueueTable loaded;
  file.Load(loaded);
  EXPECT_EQ(loaded.Nfolders(), 2);
  EXPECT_EQ(loaded.Get(1).NRegularexpr, 2);
  EXPECT_EQ(loaded.Get(1).rule(3).match, "");  // not read back
  EXPECT_EQ(loaded.Get(3).name, "");
}

TEST(QueueConfigFile, CountsAboveTheTablesRoomAreCutWithAWarning) {
  TempDir dir;
  std::string text = "[System]\nNfolders=102\n";
  for (int i = 1; i <= 102; ++i)
    text += "[Folder" + std::to_string(i) + "]\nname=Q" + std::to_string(i) + "\n";
  text +=
      "[Folder2]\nname=ignored repeat\n"
      "[Folder1]\n";  // a repeated section: the first one counts
  std::string rules = "NRegularexpr=205\nNtranslations=1005\n";
  for (int k = 1; k <= 205; ++k)
    rules += "Regularexpr" + std::to_string(k) + "match=m" + std::to_string(k) + "\n";
  for (int k = 1; k <= 1005; ++k)
    rules += "Translation" + std::to_string(k) + "tostr=t" + std::to_string(k) + "\n";
  // Put the rules into Folder5.
  const std::string marker = "[Folder5]\nname=Q5\n";
  text.replace(text.find(marker), marker.size(), marker + rules);

  QueueTable table;
  const std::vector<std::string> warnings = LoadText(dir, text, table);
  ASSERT_EQ(warnings.size(), 3u);
  EXPECT_NE(warnings[0].find("102 input queues; only the first 100"), std::string::npos)
      << warnings[0];
  EXPECT_NE(warnings[1].find("\"Q5\" (Folder5) lists 205 rules; only the first 200"),
            std::string::npos)
      << warnings[1];
  EXPECT_NE(warnings[2].find("lists 1005 translations; only the first 1000"), std::string::npos)
      << warnings[2];
  EXPECT_EQ(table.Nfolders(), 100);
  EXPECT_EQ(table.Get(100).name, "Q100");
  EXPECT_EQ(table.Get(2).name, "Q2");
  const QueueRecord r5 = table.Get(5);
  EXPECT_EQ(r5.NRegularexpr, 200);
  EXPECT_EQ(r5.rule(200).match, "m200");
  EXPECT_EQ(r5.Ntranslations, 1000);
  EXPECT_EQ(r5.translation(1000).tostr, "t1000");

  // Saved back at the limits; what lies beyond stays in the file.
  const QueueConfigFile file(dir / "Zentrafold.ini");
  ASSERT_TRUE(file.Save(table).ok());
  const IniDocument doc = ReadIniFile(file.path());
  EXPECT_EQ(doc.ReadInteger("System", "Nfolders", 0), 100);
  EXPECT_EQ(doc.ReadString("Folder101", "name", ""), "Q101");
  EXPECT_EQ(doc.ReadInteger("Folder5", "NRegularexpr", 0), 200);
  EXPECT_EQ(doc.ReadString("Folder5", "Regularexpr205match", ""), "m205");
  EXPECT_EQ(doc.ReadInteger("Folder5", "Ntranslations", 0), 1000);
  EXPECT_EQ(doc.ReadString("Folder5", "Translation1005tostr", ""), "t1005");
  QueueTable again;
  EXPECT_TRUE(file.Load(again).empty());
}

TEST(QueueConfigFile, ANewFileListsItsSectionsInOrder) {
  TempDir dir;
  QueueTable table;
  ASSERT_TRUE(table.Append([](QueueRecord& r) { r.name = "A"; }).ok());
  ASSERT_TRUE(table.Append([](QueueRecord& r) { r.name = "B"; }).ok());
  const QueueConfigFile file(dir / "Zentrafold.ini");
  ASSERT_TRUE(file.Save(table).ok());
  EXPECT_EQ(SectionsOf(ReadFile(file.path())),
            (std::vector<std::string>{"orvaticfields", "System", "Folder1", "Folder2"}));
  ASSERT_TRUE(file.WriteCloseState(table, {{200, 120, 300}, 800, 600, 10, 20}).ok());
  EXPECT_EQ(SectionsOf(ReadFile(file.path())),
            (std::vector<std::string>{"orvaticfields", "System", "Folder1", "Folder2", "Columns1",
                                      "Columns2", "Columns3", "form"}));
}

TEST(QueueConfigFile, CloseStateAndWindowLayout) {
  TempDir dir;
  const std::string path = dir / "Zentrafold.ini";
  QueueTable table;
  ASSERT_TRUE(table.Append([](QueueRecord& r) { r = FullQueue(1); }).ok());
  const QueueConfigFile file(path);
  ASSERT_TRUE(file.Save(table).ok());

  const WindowLayout current{{100, 90, 250}, 1024, 768, 5, 6};
  // Nothing stored yet: the current layout stays.
  const WindowLayout none = file.ReadWindowLayout(current);
  EXPECT_EQ(none.columnWidths, current.columnWidths);
  EXPECT_EQ(none.width, 1024);

  // The file was edited by hand meanwhile; the close-time write only touches its own keys.
  WriteFile(path, ReadFile(path) + "[Extra]\nkeep=1\n");
  table.Update(1, [](QueueRecord& r) {
    r.lastlogrenew = EncodeDateTime(2025, 12, 8, 14, 5, 0);
    r.name = "not saved at close";
  });
  ASSERT_TRUE(file.WriteCloseState(table, {{111, 222, 333}, 900, 700, 40, 50}).ok());
  const IniDocument doc = ReadIniFile(path);
  EXPECT_EQ(doc.ReadString("Folder1", "lastlogrenew", ""), "08/12/2025 14:05:00");
  EXPECT_EQ(doc.ReadString("Folder1", "name", ""), "Queue 1");
  EXPECT_EQ(doc.ReadInteger("Extra", "keep", 0), 1);
  EXPECT_EQ(doc.ReadInteger("form", "left", 0), 40);
  EXPECT_EQ(doc.ReadInteger("form", "top", 0), 50);

  const WindowLayout read = file.ReadWindowLayout(current);
  EXPECT_EQ(read.columnWidths, (std::vector<int>{111, 222, 333}));
  EXPECT_EQ(read.width, 900);
  EXPECT_EQ(read.height, 700);
  EXPECT_EQ(read.left, 5);  // position is not read back
  EXPECT_EQ(read.top, 6);
}

TEST(QueueConfigFile, AFailedSaveLeavesTheFileAsItWas) {
  TempDir dir;
  const fs::path folder = dir.path() / "conf";
  fs::create_directory(folder);
  const std::string path = (folder / "Zentrafold.ini").string();
  QueueTable table;
  ASSERT_TRUE(table.Append([](QueueRecord& r) { r = FullQueue(1); }).ok());
  ASSERT_TRUE(QueueConfigFile(path).Save(table).ok());
  const std::string before = ReadFile(path);
  table.Update(1, [](QueueRecord& r) { r.name = "Changed"; });

  // Injected: the rename is refused.
  const Status injected =
      QueueConfigFile(path, test::FailingFileSystem(WriteStep::kRename, EXDEV)).Save(table);
  EXPECT_EQ(injected.message(), "Unable to write to " + path);
  EXPECT_EQ(ReadFile(path), before);

  // Real: the folder refuses new entries.
  const test::Immutable locked(folder.string());
  if (!locked.ok()) GTEST_SKIP() << "no immutable flag on this file system";
  const Status refused = QueueConfigFile(path).Save(table);
  EXPECT_FALSE(refused.ok());
  EXPECT_EQ(refused.message(), "Unable to write to " + path);
  const Status closeState = QueueConfigFile(path).WriteCloseState(table, {{1, 2, 3}, 4, 5, 6, 7});
  EXPECT_EQ(closeState.message(), "Unable to write to " + path);
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(table.Get(1).name, "Changed");  // the table in memory is unchanged
}

TEST(QueueConfigFile, LastlogrenewFollowsTheRegionalSettings) {
  TempDir dir;
  const std::string path = dir / "Zentrafold.ini";
  const RegionalSettings us = test::InstalledLocale("en_US.UTF-8");
  WriteFile(path, "[System]\nNfolders=1\n[Folder1]\nname=A\nlastlogrenew=12/8/2025\n");
  QueueTable table;
  QueueConfigFile(path, DefaultFileSystem(), us).Load(table);
  EXPECT_EQ(ToMilliseconds(table.Get(1).lastlogrenew), ToMilliseconds(EncodeDateTime(2025, 12, 8)));
  QueueConfigFile(path, DefaultFileSystem(), DefaultRegionalSettings()).Load(table);
  EXPECT_EQ(ToMilliseconds(table.Get(1).lastlogrenew), ToMilliseconds(EncodeDateTime(2025, 8, 12)));

  table.Update(1, [](QueueRecord& r) { r.lastlogrenew = EncodeDateTime(2025, 12, 8, 14, 5, 12); });
  ASSERT_TRUE(QueueConfigFile(path, DefaultFileSystem(), us).Save(table).ok());
  EXPECT_NE(ReadFile(path).find("lastlogrenew=12/08/2025 02:05:12 PM\n"), std::string::npos);
}

TEST(QueueConfigFile, ASecondSaveWritesTheSameText) {
  TempDir dir;
  const QueueConfigFile file(dir / "Zentrafold.ini");
  QueueTable table;
  ASSERT_TRUE(table
                  .Append([](QueueRecord& r) {
                    r.name = "A";
                    r.lastlogrenew = EncodeDateTime(2024, 3, 5, 0, 0, 0, 500);
                    r.NRegularexpr = 1;
                    r.rule(1).match = "^Page(\\d+) ";  // ends in a blank
                    r.rule(1).format = "'quoted'";
                    r.FTPpasw = " pw";
                  })
                  .ok());
  ASSERT_TRUE(table
                  .Append([](QueueRecord& r) {
                    r.name = "B";
                    r.lastlogrenew = EncodeDateTime(1850, 6, 1, 0, 0, 0, 1);
                  })
                  .ok());
  ASSERT_TRUE(file.Save(table).ok());
  const std::string first = ReadFile(file.path());
  QueueTable loaded;
  file.Load(loaded);
  ASSERT_TRUE(file.Save(loaded).ok());
  EXPECT_EQ(ReadFile(file.path()), first);
  EXPECT_EQ(loaded.Get(1).rule(1).match, "^Page(\\d+) ");
  EXPECT_EQ(loaded.Get(1).rule(1).format, "'quoted'");
  EXPECT_EQ(loaded.Get(1).FTPpasw, " pw");
}

TEST(QueueConfigFile, AReloadAppearsToReadersInOneStep) {
  TempDir dir;
  const std::string small = dir / "small.ini", large = dir / "large.ini";
  std::string a = "[System]\nNfolders=10\n", b = "[System]\nNfolders=30\n";
  for (int i = 1; i <= 30; ++i) {
    const std::string s = std::to_string(i);
    if (i <= 10) a += "[Folder" + s + "]\nname=small" + s + "\n";
    b += "[Folder" + s + "]\nname=large" + s + "\n";
  }
  WriteFile(small, a);
  WriteFile(large, b);
  QueueTable table;
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      const QueueTable::State s = table.Snapshot();
      std::this_thread::yield();
      if (s.Nfolders == 0) continue;
      const std::string prefix = s.Nfolders == 10 ? "small" : "large";
      for (int i = 0; i < s.Nfolders; ++i) {
        if (s.slots[static_cast<std::size_t>(i)]->name != prefix + std::to_string(i + 1)) ++torn;
      }
    }
  });
  for (int round = 0; round < 20; ++round) QueueConfigFile(round % 2 ? small : large).Load(table);
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace zf
