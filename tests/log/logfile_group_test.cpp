// The log file written a group of entries at a time: the same files as entry
// by entry, with one flush per group.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "logfile_fixture.h"

namespace zf {
namespace {

using test::Entry;
using test::LogFixture;

std::vector<LogFileEntry> Entries(int count) {
  std::vector<LogFileEntry> entries;
  for (int i = 1; i <= count; ++i) {
    const std::string n = std::to_string(i);
    entries.push_back(Entry("Page" + n + ".pdf", "Out" + n + ".pdf", i % 4 == 0 ? "Error" : "OK",
                            i % 4 == 0 ? "Cannot copy" : ""));
  }
  return entries;
}

// Every file in the log folder with its content.
std::map<std::string, std::string> Contents(const LogFixture& f) {
  std::map<std::string, std::string> files;
  for (const std::string& name : f.Files()) files[name] = test::ReadFile(f.Path(name));
  return files;
}

// Counts the flushes that reach the disk.
class CountingIo : public LogFileIo {
 public:
  int syncs = 0;
  int Sync(int fd) override {
    ++syncs;
    return LogFileIo::Sync(fd);
  }
};

// A group that crosses the entry limit renews the file before the very entry
// where the writer renews it one entry at a time, for both formats, with and
// without entries already in the file.
TEST(LogFileGroup, RenewsWhereOneByOneRenews) {
  struct Case {
    int logtype;
    int maxEntries;
    int before;  // entries written one by one before the group
    std::vector<int> groups;
  };
  const std::vector<Case> cases = {
      {0, 3, 0, {10}}, {0, 3, 2, {4, 6}}, {0, 1, 0, {7}},  {0, 0, 0, {5}},
      {0, -1, 1, {4}}, {0, 100, 0, {10}}, {1, 3, 0, {10}}, {1, 3, 2, {4, 6}},
      {1, 1, 0, {7}},  {1, 0, 0, {5}},    {1, -1, 1, {4}}, {1, 100, 3, {10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "logtype " << c.logtype << ", Maxentries " << c.maxEntries
                                    << ", " << c.before << " before");
    LogFixture single(c.logtype);
    LogFixture grouped(c.logtype);
    for (LogFixture* f : {&single, &grouped}) {
      f->Edit([&](QueueRecord& q) {
        q.newonmax = true;
        q.Maxentries = c.maxEntries;
      });
    }
    LogFileWriter one(single.table, single.clock, "dd.mm.yyyy hh:nn:ss");
    LogFileWriter many(grouped.table, grouped.clock, "dd.mm.yyyy hh:nn:ss");
    int total = c.before;
    for (const int n : c.groups) total += n;
    const std::vector<LogFileEntry> entries = Entries(total);

    for (const LogFileEntry& e : entries) ASSERT_TRUE(single.Write(one, e).ok());
    std::size_t next = 0;
    for (; next < static_cast<std::size_t>(c.before); ++next) {
      ASSERT_TRUE(grouped.Write(many, entries[next]).ok());
    }
    for (const int n : c.groups) {
      const std::vector<Status> results = many.WriteLogFileEntries(
          *grouped.table.Record(grouped.slot),
          std::span<const LogFileEntry>(entries).subspan(next, static_cast<std::size_t>(n)));
      ASSERT_EQ(results.size(), static_cast<std::size_t>(n));
      for (const Status& s : results) EXPECT_TRUE(s.ok()) << s.message();
      next += static_cast<std::size_t>(n);
    }
    const auto expected = Contents(single);
    EXPECT_GT(expected.size(), c.maxEntries < 100 ? 1u : 0u) << "no renewal was tested";
    EXPECT_EQ(Contents(grouped), expected);
  }
}

// The point of a group: one flush for all of its entries (plus the folder's
// when the file is made), where one entry at a time flushes each.
TEST(LogFileGroup, OneFlushPerGroup) {
  for (const int logtype : {0, 1}) {
    SCOPED_TRACE(logtype);
    LogFixture f(logtype);
    CountingIo io;
    LogFileWriter writer(f.table, f.clock, "dd.mm.yyyy", io);
    ASSERT_TRUE(f.Write(writer, Entry("First.pdf", "A.pdf")).ok());
    io.syncs = 0;
    const std::vector<LogFileEntry> entries = Entries(20);
    for (const Status& s : writer.WriteLogFileEntries(*f.table.Record(f.slot), entries)) {
      EXPECT_TRUE(s.ok()) << s.message();
    }
    EXPECT_EQ(io.syncs, 1);
    const std::string text = test::ReadFile(f.LogPath());
    for (const LogFileEntry& e : entries) {
      EXPECT_NE(text.find(e.inputName), std::string::npos) << e.inputName;
    }
  }
}

// A disk that refuses the write loses every entry of the write, each with the
// error; the file is as it was, and the next group is written again.
TEST(LogFileGroup, ARefusedWriteLosesItsEntriesAndNoMore) {
  for (const int logtype : {0, 1}) {
    SCOPED_TRACE(logtype);
    LogFixture f(logtype);
    test::FullDiskIo io;
    LogFileWriter writer(f.table, f.clock, "dd.mm.yyyy", io);
    ASSERT_TRUE(f.Write(writer, Entry("First.pdf", "A.pdf")).ok());
    const std::string before = test::ReadFile(f.LogPath());
    io.failSync = true;
    const std::vector<Status> lost =
        writer.WriteLogFileEntries(*f.table.Record(f.slot), Entries(3));
    ASSERT_EQ(lost.size(), 3u);
    for (const Status& s : lost) {
      EXPECT_FALSE(s.ok());
      EXPECT_NE(s.message().find(f.LogPath()), std::string::npos) << s.message();
    }
    EXPECT_EQ(test::ReadFile(f.LogPath()), before);
    io.failSync = false;
    for (const Status& s : writer.WriteLogFileEntries(*f.table.Record(f.slot), Entries(2))) {
      EXPECT_TRUE(s.ok()) << s.message();
    }
    EXPECT_NE(test::ReadFile(f.LogPath()).find("Page2.pdf"), std::string::npos);
  }
}

// An entry the XML file cannot hold (no input name) is lost alone.
TEST(LogFileGroup, AnXmlEntryThatCannotBeWrittenIsLostAlone) {
  LogFixture f(1);
  LogFileWriter writer(f.table, f.clock, "dd.mm.yyyy");
  std::vector<LogFileEntry> entries = Entries(3);
  entries[1].inputName.clear();
  const std::vector<Status> results = writer.WriteLogFileEntries(*f.table.Record(f.slot), entries);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_TRUE(results[0].ok());
  EXPECT_FALSE(results[1].ok());
  EXPECT_TRUE(results[2].ok());
  const std::string text = test::ReadFile(f.LogPath());
  EXPECT_NE(text.find("Page1.pdf"), std::string::npos);
  EXPECT_NE(text.find("Page3.pdf"), std::string::npos);
}

}  // namespace
}  // namespace zf
