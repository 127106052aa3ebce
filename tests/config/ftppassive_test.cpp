// The per-queue key FTPpassive: passive FTP data connections, off unless set.

#include <gtest/gtest.h>

#include <string>

#include "config/queuefile.h"
#include "tempdir.h"

namespace zf {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TEST(FtpPassiveKey, SavedAfterTheHistoricKeysAndLoadedBack) {
  TempDir dir;
  QueueTable table;
  for (bool passive : {true, false}) {
    ASSERT_TRUE(table
                    .Append([&](QueueRecord& r) {
                      r.name = passive ? "Passive" : "Active";
                      r.FTPuse = true;
                      r.FTPpassive = passive;
                      r.Ntranslations = 2;
                      r.translation(2).definition = "Edtion";
                    })
                    .ok());
  }
  const QueueConfigFile file(dir / "Zentrafold.ini");
  ASSERT_TRUE(file.Save(table).ok());

  QueueTable loaded;
  EXPECT_TRUE(file.Load(loaded).empty());
  ASSERT_EQ(loaded.Nfolders(), 2);
  EXPECT_TRUE(loaded.Record(1)->FTPpassive);
  EXPECT_FALSE(loaded.Record(2)->FTPpassive);

  // The last key of each section, after the last translation's keys, so that
  // files written before it existed keep their order.
  const std::string text = ReadFile(dir / "Zentrafold.ini");
  for (const char* section : {"[Folder1]", "[Folder2]"}) {
    SCOPED_TRACE(section);
    const std::size_t start = text.find(section);
    ASSERT_NE(start, std::string::npos);
    std::size_t end = text.find("\n[", start + 1);
    if (end == std::string::npos) end = text.size();
    const std::string body = text.substr(start, end - start);
    const std::size_t key = body.find("FTPpassive=");
    ASSERT_NE(key, std::string::npos);
    EXPECT_GT(key, body.find("Translation2definition="));
    // Only the keys added after it follow.
    EXPECT_EQ(body.find("\nFTPprotocol="), body.find('\n', key)) << body;
  }
}

TEST(FtpPassiveKey, AFileWithoutTheKeyMeansActive) {
  TempDir dir;
  const std::string path = dir / "Zentrafold.ini";
  WriteFile(path,
            "[System]\nNfolders=3\n"
            "[Folder1]\nname=Old\nFTPuse=1\n"
            "[Folder2]\nname=On\nFTPpassive=1\n"
            "[Folder3]\nname=Junk\nFTPpassive=maybe\n");
  QueueTable table;
  // A key missing from the file is its default, whatever the table held.
  table.Update(1, [](QueueRecord& r) { r.FTPpassive = true; });
  const QueueConfigFile file(path);
  file.Load(table);
  ASSERT_EQ(table.Nfolders(), 3);
  EXPECT_FALSE(table.Record(1)->FTPpassive);
  EXPECT_TRUE(table.Record(2)->FTPpassive);
  EXPECT_FALSE(table.Record(3)->FTPpassive);
}

}  // namespace
}  // namespace zf
