#include "log/logfile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "logfile_fixture.h"
#include "platform/tempfile.h"

namespace zf {
namespace {

using test::Entry;
using test::FullDiskIo;
using test::LogFixture;
using test::ReadFile;
using test::WriteFile;

constexpr const char* kCreated = "Log created 08122025 140512\r\n";
constexpr const char* kPage01Line =
    "Page01.pdf,SPO_0812_01.pdf,,OK,,08.12.2025 14:03:10:123,08.12.2025 14:05:12:500\r\n";

std::string Lines(int from, int count) {
  std::string text;
  for (int i = from; i < from + count; ++i) {
    text += "P" + std::to_string(i) + ".pdf,N.pdf,,OK,,08.12.2025 14:03:10:123,x\r\n";
  }
  return text;
}

TEST(LogFilePaths, FolderNameAndArchiveStamp) {
  QueueRecord q;
  q.name = "Sport";
  q.Logfile = "/logs";
  EXPECT_EQ(LogFilePath(q), "/logs/Sport.log");
  q.Logfile = "/logs/";
  q.logtype = 1;
  EXPECT_EQ(LogFilePath(q), "/logs/Sport.xml");
  q.logtype = 7;  // any other type is XML too
  EXPECT_EQ(LogFilePath(q), "/logs/Sport.xml");
  EXPECT_EQ(LogArchivePath("/logs/Sport.log", EncodeDateTime(2025, 12, 8, 14, 5, 59, 999)),
            "/logs/Sport_081220251405.log");
  EXPECT_EQ(LogArchivePath("/logs/Sport.v2.xml", EncodeDateTime(2025, 1, 2, 3, 4)),
            "/logs/Sport.v2_020120250304.xml");
}

TEST(LogFileCsv, FirstLineAndEntryLines) {
  LogFixture f;
  LogFileWriter writer(f.table, f.clock, "dd.mm.yyyy hh:nn:ss:zzz");
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "SPO_0812_01.pdf")).ok());
  EXPECT_EQ(ReadFile(f.Path("Sport.log")), std::string(kCreated) + kPage01Line);

  // Failure, empty output name, commas and 8-bit bytes written as they are.
  struct Case {
    LogFileEntry entry;
    std::string line;
  } cases[] = {
      {Entry("Page02.pdf", "", "Error", "cannot rename"),
       "Page02.pdf,,,Error,cannot rename,08.12.2025 14:03:10:123,08.12.2025 14:05:12:500\r\n"},
      {Entry("a,b.pdf", "c,d.pdf", "Error", "Cannot copy"),
       "a,b.pdf,c,d.pdf,,Error,Cannot copy,08.12.2025 14:03:10:123,08.12.2025 14:05:12:500\r\n"},
      {Entry("Gr\xfc\xdf"
             "e.pdf",
             "\xe9.pdf", "OK", "", EncodeDateTime(2024, 3, 5, 14, 7, 9, 45),
             EncodeDateTime(2024, 3, 5, 23, 59, 59, 999)),
       "Gr\xfc\xdf"
       "e.pdf,\xe9.pdf,,OK,,05.03.2024 14:07:09:045,05.03.2024 23:59:59:999\r\n"},
      // A line break in a name must not start a line of its own.
      {Entry("a\r\nLog created 01012000 000000\r\n.pdf", "b\nc.pdf", "Error", "two\rlines"),
       "a  Log created 01012000 000000  .pdf,b c.pdf,,Error,two lines,"
       "08.12.2025 14:03:10:123,08.12.2025 14:05:12:500\r\n"},
  };
  std::string expected = std::string(kCreated) + kPage01Line;
  for (const auto& c : cases) {
    f.clock.now += 1.0 / 24;  // the first line keeps its creation time
    ASSERT_TRUE(f.Write(writer, c.entry).ok());
    expected += c.line;
    EXPECT_EQ(ReadFile(f.Path("Sport.log")), expected);
  }
}

TEST(LogFileCsv, LogformatShapesBothTimes) {
  LogFixture f;
  LogFileWriter writer(f.table, f.clock, "yyyy-mm-dd hh:nn");
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "X.pdf")).ok());
  EXPECT_EQ(ReadFile(f.Path("Sport.log")),
            std::string(kCreated) + "Page01.pdf,X.pdf,,OK,,2025-12-08 14:03,2025-12-08 14:05\r\n");
}

TEST(LogFileCsv, NothingWithoutMakelogOrFolder) {
  LogFixture f;
  LogFileWriter writer(f.table, f.clock, "dd.mm.yyyy");
  f.Edit([](QueueRecord& q) { q.Logfile.clear(); });
  EXPECT_TRUE(f.Write(writer, Entry("Page01.pdf", "X.pdf")).ok());
  f.Edit([&](QueueRecord& q) {
    q.Logfile = f.dir.path().string();
    q.Makelog = false;
  });
  EXPECT_TRUE(f.Write(writer, Entry("Page01.pdf", "X.pdf")).ok());
  EXPECT_TRUE(f.Files().empty());
}

TEST(LogFileCsv, NewOnMaxRenewsWithTheEntryAfterMaxentries) {
  LogFixture f;
  f.Edit([](QueueRecord& q) { q.newonmax = true; });
  LogFileWriter writer(f.table, f.clock, "dd.mm.yyyy hh:nn:ss:zzz");
  // 9999 entries: the next one still fits and makes the file full.
  const std::string full = "Log created 01122025 080000\r\n" + Lines(1, 9999);
  WriteFile(f.Path("Sport.log"), full);
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "SPO_0812_01.pdf")).ok());
  EXPECT_EQ(ReadFile(f.Path("Sport.log")), full + kPage01Line);
  EXPECT_EQ(f.Files(), std::vector<std::string>{"Sport.log"});

  // 10000 entries: the 10001st goes into a new file, whole, as its second line.
  f.clock.now = EncodeDateTime(2025, 12, 8, 14, 5, 12, 0);
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "SPO_0812_01.pdf")).ok());
  EXPECT_EQ(f.Files(), (std::vector<std::string>{"Sport.log", "Sport_081220251405.log"}));
  EXPECT_EQ(ReadFile(f.Path("Sport_081220251405.log")), full + kPage01Line);
  EXPECT_EQ(ReadFile(f.Path("Sport.log")), std::string(kCreated) + kPage01Line);
}

TEST(LogFileCsv, LineCountFollowsChangesByOthers) {
  LogFixture f;
  f.Edit([](QueueRecord& q) {
    q.newonmax = true;
    q.Maxentries = 3;
  });
  LogFileWriter writer(f.table, f.clock, "dd.mm.yyyy");
  const std::string header = "Log created 01122025 080000\r\n";
  WriteFile(f.Path("Sport.log"), header + Lines(1, 1));
  ASSERT_TRUE(f.Write(writer, Entry("A.pdf", "B.pdf")).ok());  // 2 lines before: appended
  // Someone shortens the file between entries: the count must not be stale.
  WriteFile(f.Path("Sport.log"), header);
  ASSERT_TRUE(f.Write(writer, Entry("C.pdf", "D.pdf")).ok());
  ASSERT_TRUE(f.Write(writer, Entry("E.pdf", "F.pdf")).ok());
  EXPECT_EQ(f.Files(), std::vector<std::string>{"Sport.log"});
  ASSERT_TRUE(f.Write(writer, Entry("G.pdf", "H.pdf")).ok());  // 3 lines before: appended
  ASSERT_TRUE(f.Write(writer, Entry("I.pdf", "J.pdf")).ok());  // 4 lines before: renewed
  EXPECT_EQ(f.Files().size(), 2u);
  const std::string current = ReadFile(f.Path("Sport.log"));
  EXPECT_EQ(current.rfind("I.pdf,J.pdf", std::string::npos), current.find("\r\n") + 2);

  // A last line without its line break is ended before the entry.
  WriteFile(f.Path("Sport.log"), header + "torn");
  ASSERT_TRUE(f.Write(writer, Entry("K.pdf", "L.pdf")).ok());
  EXPECT_EQ(ReadFile(f.Path("Sport.log")),
            header + "torn\r\nK.pdf,L.pdf,,OK,,08.12.2025,08.12.2025\r\n");
}

TEST(LogFileCsv, DailyRuleAroundTheDailyTimeAndAcrossDays) {
  LogFixture f;
  f.Edit([](QueueRecord& q) { q.daily = true; });
  LogFileWriter writer(f.table, f.clock, "hh:nn");
  auto at = [&](int day, int hour, int minute, int second = 0, int ms = 0) {
    f.clock.now = EncodeDateTime(2025, 12, day, hour, minute, second, ms);
    EXPECT_TRUE(f.Write(writer, Entry("P.pdf", "Q.pdf")).ok());
    return f.Files().size();
  };
  WriteFile(f.Path("Sport.log"), "Log created 07122025 120000\r\n");
  EXPECT_EQ(at(8, 0, 30), 1u);       // before the daily time
  EXPECT_EQ(at(8, 1, 1, 0, 0), 1u);  // at it exactly: not yet past
  EXPECT_EQ(at(8, 1, 1, 0, 1), 2u);  // first entry past it renews
  EXPECT_EQ(ToMilliseconds(f.Queue().lastlogrenew), ToMilliseconds(EncodeDateTime(2025, 12, 8)));
  EXPECT_TRUE(std::filesystem::exists(f.Path("Sport_081220250101.log")));
  EXPECT_EQ(at(8, 1, 2), 2u);  // once a day only
  EXPECT_EQ(at(8, 23, 59), 2u);
  EXPECT_EQ(at(9, 0, 30), 2u);   // next day, before the time
  EXPECT_EQ(at(10, 0, 10), 2u);  // a day without entries after the time
  EXPECT_EQ(at(10, 5, 0), 3u);
  EXPECT_EQ(ToMilliseconds(f.Queue().lastlogrenew), ToMilliseconds(EncodeDateTime(2025, 12, 10)));
  EXPECT_EQ(ReadFile(f.Path("Sport.log")),
            "Log created 10122025 050000\r\nP.pdf,Q.pdf,,OK,,14:03,14:05\r\n");
}

TEST(LogFileCsv, ImpossibleDailyTimeNeverRenews) {
  for (const auto& [hour, minute] : {std::pair{24, 0}, std::pair{1, 60}, std::pair{65535, 65535}}) {
    LogFixture f;
    f.Edit([&](QueueRecord& q) {
      q.daily = true;
      q.dailyhour = static_cast<std::uint16_t>(hour);
      q.dailyminute = static_cast<std::uint16_t>(minute);
    });
    LogFileWriter writer(f.table, f.clock, "hh:nn");
    for (int day = 8; day <= 10; ++day) {
      f.clock.now = EncodeDateTime(2025, 12, day, 23, 59, 59);
      ASSERT_TRUE(f.Write(writer, Entry("P.pdf", "Q.pdf")).ok());
    }
    EXPECT_EQ(f.Files(), std::vector<std::string>{"Sport.log"}) << hour << ":" << minute;
    EXPECT_EQ(f.Queue().lastlogrenew, EncodeDateTime(1980, 1, 1, 1, 1, 1, 1));
  }
}

TEST(LogFileCsv, DailyRuleWithoutAFileStillMarksTheDay) {
  LogFixture f;
  f.Edit([](QueueRecord& q) { q.daily = true; });
  LogFileWriter writer(f.table, f.clock, "hh:nn");
  ASSERT_TRUE(f.Write(writer, Entry("P.pdf", "Q.pdf")).ok());
  EXPECT_EQ(f.Files(), std::vector<std::string>{"Sport.log"});
  EXPECT_EQ(f.Queue().lastlogrenew, EncodeDateTime(2025, 12, 8));
}

TEST(LogFileRenewal, NewOnStartArchivesAndTakenNamesGetANumber) {
  LogFixture f;
  f.Edit([](QueueRecord& q) { q.newonstart = true; });
  // A second queue in XML, a third without newonstart, a fourth without a file.
  auto add = [&](const std::string& name, int logtype, bool newonstart) {
    f.table.Append([&](QueueRecord& q) {
      q.name = name;
      q.Makelog = true;
      q.Logfile = f.dir.path().string() + "/";
      q.logtype = logtype;
      q.newonstart = newonstart;
    });
  };
  add("News", 1, true);
  add("Kept", 0, false);
  add("Empty", 0, true);
  WriteFile(f.Path("Sport.log"), "Log created 01122025 080000\r\nold\r\n");
  WriteFile(f.Path("News.xml"), "<JMF/>");
  WriteFile(f.Path("Kept.log"), "kept");
  LogFileWriter writer(f.table, f.clock, "hh:nn");
  writer.RenewLogFilesOnStart();
  EXPECT_EQ(f.Files(), (std::vector<std::string>{"Kept.log", "News_081220251405.xml",
                                                 "Sport_081220251405.log"}));
  EXPECT_EQ(ReadFile(f.Path("Sport_081220251405.log")), "Log created 01122025 080000\r\nold\r\n");
  EXPECT_EQ(f.Queue().lastlogrenew, EncodeDateTime(1980, 1, 1, 1, 1, 1, 1));

  // The first entry afterwards starts a new file.
  ASSERT_TRUE(f.Write(writer, Entry("P.pdf", "Q.pdf")).ok());
  EXPECT_EQ(ReadFile(f.Path("Sport.log")).substr(0, 29), kCreated);

  // Restarts within the same minute keep every earlier file.
  writer.RenewLogFilesOnStart();
  WriteFile(f.Path("Sport.log"), "third");
  writer.RenewLogFilesOnStart();
  EXPECT_EQ(ReadFile(f.Path("Sport_081220251405_1.log")).substr(0, 29), kCreated);
  EXPECT_EQ(ReadFile(f.Path("Sport_081220251405_2.log")), "third");
  EXPECT_FALSE(std::filesystem::exists(f.Path("Sport.log")));
}

TEST(LogFileRenewal, OneQueueThatCannotRenewLeavesTheOthersServed) {
  LogFixture f;
  f.Edit([](QueueRecord& q) { q.newonstart = true; });
  const std::string locked = f.dir / "locked";
  std::filesystem::create_directory(locked);
  f.table.Update(f.slot, [&](QueueRecord& q) { q.Logfile = locked; });
  f.table.Append([&](QueueRecord& q) {
    q.name = "Second";
    q.Makelog = true;
    q.newonstart = true;
    q.Logfile = f.dir.path().string();
  });
  WriteFile(locked + "/Sport.log", "first");
  WriteFile(f.Path("Second.log"), "second");
  test::Immutable guard(locked);
  if (!guard.ok()) GTEST_SKIP() << "chattr +i is not available here";
  LogFileWriter writer(f.table, f.clock, "hh:nn");
  writer.RenewLogFilesOnStart();
  EXPECT_EQ(ReadFile(locked + "/Sport.log"), "first");
  EXPECT_EQ(ReadFile(f.Path("Second_081220251405.log")), "second");
}

TEST(LogFileCsv, RefusedWritesAreReportedAndTheNextEntryIsWritten) {
  LogFixture f;
  LogFileWriter writer(f.table, f.clock, "dd.mm.yyyy hh:nn:ss:zzz");
  const std::string path = f.Path("Sport.log");
  {
    // No file yet and none can be made: the caller learns of it.
    test::Immutable folder(f.dir.path().string());
    if (!folder.ok()) GTEST_SKIP() << "chattr +i is not available here";
    const Status status = f.Write(writer, Entry("Page01.pdf", "X.pdf"));
    EXPECT_EQ(status.code(), EPERM);
    EXPECT_EQ(status.message(),
              "Unable to create the log file " + path + ": Operation not permitted");
  }
  // Once the folder takes files again, the next entry creates the file.
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "SPO_0812_01.pdf")).ok());
  const std::string content = std::string(kCreated) + kPage01Line;
  EXPECT_EQ(ReadFile(path), content);

  f.Edit([](QueueRecord& q) { q.Logfile = "/nonexistent/zentrafold/logs"; });
  EXPECT_EQ(f.Write(writer, Entry("Page01.pdf", "X.pdf")).code(), ENOENT);

  // An existing file that refuses the line: the caller learns of the lost
  // entry, the file keeps its content and takes the next entry once it can.
  f.Edit([&](QueueRecord& q) { q.Logfile = f.dir.path().string(); });
  {
    test::Immutable file(path);
    test::Immutable folder(f.dir.path().string());
    const Status status = f.Write(writer, Entry("Page02.pdf", "Y.pdf"));
    EXPECT_EQ(status.code(), EPERM);
    EXPECT_EQ(status.message(),
              "Unable to write to the log file " + path + ": Operation not permitted");
  }
  EXPECT_EQ(ReadFile(path), content);
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "SPO_0812_01.pdf")).ok());
  EXPECT_EQ(ReadFile(path), content + kPage01Line);
  WriteFile(path, content);

  // A renewal that cannot move the file leaves it in place with the entry.
  f.Edit([](QueueRecord& q) {
    q.newonmax = true;
    q.Maxentries = 1;
  });
  {
    test::Immutable folder(f.dir.path().string());
    EXPECT_TRUE(f.Write(writer, Entry("Page01.pdf", "SPO_0812_01.pdf")).ok());
  }
  EXPECT_EQ(f.Files(), std::vector<std::string>{"Sport.log"});
  EXPECT_EQ(ReadFile(f.Path("Sport.log")), content + kPage01Line);
}

TEST(LogFileCsv, DailyRenewalRefusedKeepsTheDayOpen) {
  LogFixture f;
  f.Edit([](QueueRecord& q) { q.daily = true; });
  LogFileWriter writer(f.table, f.clock, "hh:nn");
  WriteFile(f.Path("Sport.log"), "Log created 07122025 120000\r\n");
  {
    test::Immutable folder(f.dir.path().string());
    if (!folder.ok()) GTEST_SKIP() << "chattr +i is not available here";
    ASSERT_TRUE(f.Write(writer, Entry("P.pdf", "Q.pdf")).ok());
  }
  EXPECT_EQ(f.Files(), std::vector<std::string>{"Sport.log"});
  EXPECT_EQ(f.Queue().lastlogrenew, EncodeDateTime(1980, 1, 1, 1, 1, 1, 1));
  f.clock.now += 1.0 / 24;
  ASSERT_TRUE(f.Write(writer, Entry("P.pdf", "Q.pdf")).ok());
  EXPECT_EQ(f.Files().size(), 2u);
  EXPECT_EQ(f.Queue().lastlogrenew, EncodeDateTime(2025, 12, 8));
}

TEST(LogFileQueue, LastlogrenewFollowsTheQueueNotTheSlot) {
  LogFixture f;  // "Sport" in slot 1
  f.table.Append([&](QueueRecord& q) {
    q.name = "Moved";
    q.Makelog = true;
    q.Logfile = f.dir.path().string();
    q.daily = true;
    q.dailyhour = 1;
    q.dailyminute = 1;
  });
  LogFileWriter writer(f.table, f.clock, "hh:nn");
  const QueueRecord pass = f.table.Get(2);
  ASSERT_TRUE(f.table.Delete(1).ok());  // "Moved" is now in slot 1
  ASSERT_TRUE(writer.WriteLogFileEntry(pass, Entry("P.pdf", "Q.pdf")).ok());
  EXPECT_EQ(f.table.Get(1).name, "Moved");
  EXPECT_EQ(f.table.Get(1).lastlogrenew, EncodeDateTime(2025, 12, 8));
  EXPECT_TRUE(std::filesystem::exists(f.Path("Moved.log")));

  // The operator changes the log settings between entries: the current ones count.
  f.table.Update(1, [](QueueRecord& q) { q.logtype = 1; });
  ASSERT_TRUE(writer.WriteLogFileEntry(pass, Entry("P.pdf", "Q.pdf")).ok());
  EXPECT_TRUE(std::filesystem::exists(f.Path("Moved.xml")));

  // Deleted meanwhile: written with the pass's record, and no other queue
  // receives its lastlogrenew.
  const QueueRecord gone = f.table.Get(1);
  ASSERT_TRUE(f.table.Delete(1).ok());
  f.table.Append([&](QueueRecord& q) {
    q.name = "Newcomer";
    q.lastlogrenew = 5;
  });
  f.clock.now += 1;  // the next day, so the daily rule fires again
  ASSERT_TRUE(writer.WriteLogFileEntry(gone, Entry("P.pdf", "Q.pdf")).ok());
  EXPECT_EQ(f.table.Get(1).lastlogrenew, 5);
  EXPECT_EQ(f.Files(),
            (std::vector<std::string>{"Moved.log", "Moved.xml", "Moved_091220251405.xml"}));
  // The gone queue's pass record is stale, but its renewal is remembered.
  ASSERT_TRUE(writer.WriteLogFileEntry(gone, Entry("P.pdf", "Q.pdf")).ok());
  EXPECT_EQ(f.Files().size(), 3u);
}

TEST(LogFileQueue, EditsOnAnotherThreadWhileWriting) {
  LogFixture f;
  f.Edit([](QueueRecord& q) {
    q.daily = true;
    q.newonmax = true;
    q.Maxentries = 50;
  });
  LogFileWriter writer(f.table, f.clock, "hh:nn:ss");
  // The editor keeps at most a few edits ahead of the entries written. Each
  // edit copies whole records under the table's lock; an editor looping
  // without pause can hold that lock so often that the writer starves on it,
  // most of all under ThreadSanitizer on a busy machine.
  constexpr int kEditsPerEntry = 3;
  constexpr int kEntries = 200;
  std::atomic<int> entries{0};
  std::atomic<bool> done{false};
  int edits = 0;
  std::thread editor([&] {
    while (!done.load()) {
      if (edits >= kEditsPerEntry * (entries.load() + 1)) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        continue;
      }
      const std::string n = std::to_string(++edits);
      f.table.Update(f.slot, [&](QueueRecord& q) { q.Outputfolder = n; });
      auto other = f.table.Append([&](QueueRecord& q) { q.name = "Other"; });
      if (other.ok()) (void)f.table.Delete(*other);
    }
  });
  for (int i = 0; i < kEntries; ++i) {
    f.clock.now += 10.0 / 24 / 60;  // ten minutes per entry, so a day passes
    ASSERT_TRUE(f.Write(writer, Entry("P" + std::to_string(i) + ".pdf", "Q.pdf")).ok());
    ++entries;
  }
  done = true;
  editor.join();
  EXPECT_GT(edits, 0);
  EXPECT_LE(edits, kEditsPerEntry * (kEntries + 1));
  // The writer wrote back its renewal day only, never a stale copy of the rest.
  EXPECT_EQ(f.Queue().Outputfolder, std::to_string(edits));
  EXPECT_GT(f.Queue().lastlogrenew, EncodeDateTime(2025, 12, 8));
  EXPECT_GE(f.Files().size(), 4u);  // 200 entries at 50 per file
}

// Runs `write` on a thread of its own. A write still blocked after a few
// seconds (on a FIFO nobody writes to) is released by opening the FIFO's
// other end, so that a hang fails the test instead of stopping the run.
Status WriteWithoutHanging(const std::string& fifo, const std::function<Status()>& write) {
  std::packaged_task<Status()> task(write);
  std::future<Status> result = task.get_future();
  std::thread thread(std::move(task));
  const bool finished = result.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!finished) ::close(::open(fifo.c_str(), O_RDWR | O_NONBLOCK));
  thread.join();
  EXPECT_TRUE(finished) << "the write waited on a FIFO";
  return result.get();
}

TEST(LogFilePlanted, NoFormatFollowsALinkOrWaitsOnAFifo) {
  constexpr const char* kLinkReason = "it is a symbolic link, which is never followed";
  struct Kind {
    const char* what;
    const char* reason;  // in the error's message
    mode_t type;
    bool toTarget = false;  // a link to a file outside the log folder
  } kinds[] = {
      {"link to a file elsewhere", kLinkReason, S_IFLNK, true},
      {"link to nothing", kLinkReason, S_IFLNK},
      {"FIFO", "it is not a regular file", S_IFIFO},
      {"folder", "Is a directory", S_IFDIR},
  };
  for (const int logtype : {0, 1}) {
    for (const bool rules : {false, true}) {
      for (const Kind& kind : kinds) {
        SCOPED_TRACE(std::string(kind.what) + (logtype == 0 ? " as .log" : " as .xml") +
                     (rules ? " with every renewal rule" : ""));
        LogFixture f(logtype);
        test::TempDir elsewhere;
        const std::string target = elsewhere / "target";
        const std::string original = logtype == 0
                                         ? std::string(kCreated)
                                         : "<?xml version=\"1.0\"?>\n<JMF><Folder/></JMF>\n";
        WriteFile(target, original);
        const std::string path = f.LogPath();
        const std::string name = path.substr(path.rfind('/') + 1);
        if (kind.type == S_IFLNK) {
          ASSERT_EQ(::symlink(kind.toTarget ? target.c_str() : "/nonexistent/zf", path.c_str()), 0);
        } else if (kind.type == S_IFIFO) {
          ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
        } else {
          ASSERT_EQ(::mkdir(path.c_str(), 0777), 0);
        }
        if (rules) {
          f.Edit([](QueueRecord& q) {
            q.newonstart = q.newonmax = q.daily = true;
            q.Maxentries = 0;
          });
        }
        LogFileWriter writer(f.table, f.clock, "hh:nn");
        if (rules) writer.RenewLogFilesOnStart();
        const Status status =
            WriteWithoutHanging(path, [&] { return f.Write(writer, Entry("P.pdf", "Q.pdf")); });
        EXPECT_FALSE(status.ok());
        EXPECT_EQ(status.message().rfind("Unable to ", 0), 0u) << status.message();
        EXPECT_NE(status.message().find(path + ": " + kind.reason), std::string::npos)
            << status.message();
        // Left where it was, as it was, and nothing written through it.
        struct stat st;
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & S_IFMT, kind.type);
        EXPECT_EQ(f.Files(), std::vector<std::string>{name});
        EXPECT_EQ(ReadFile(target), original);

        // Once it is gone, the next entry starts the log.
        std::filesystem::remove(path);
        EXPECT_TRUE(f.Write(writer, Entry("P.pdf", "Q.pdf")).ok());
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
      }
    }
  }
}

TEST(LogFileLeftovers, TemporariesGoFromEveryLogFolder) {
  LogFixture f;  // "Sport" logs into the fixture's folder
  const std::string second = f.dir / "second";
  std::filesystem::create_directory(second);
  const std::string notAFolder = f.dir / "plain";
  WriteFile(notAFolder, "x");
  for (const std::string& folder :
       {second + "/", f.dir.path().string(), std::string("/nonexistent/zf"), std::string()}) {
    f.table.Append([&](QueueRecord& q) {
      q.name = "Q";
      q.Logfile = folder;  // the fixture's folder a second time: cleaned once
    });
  }
  auto temp = [](const std::string& folder, const char* target) {
    Result<TempFile> created = CreateTempFile(folder, target);
    EXPECT_TRUE(created.ok());
    return created.ok() ? created->path.substr(created->path.rfind('/') + 1) : std::string();
  };
  temp(f.dir.path().string(), "Sport.xml");
  temp(f.dir.path().string(), "Sport.xml");
  temp(second, "Q.xml");
  const std::string kept = temp(second, "Q.xml");
  std::filesystem::remove(second + "/" + kept);
  std::filesystem::create_directory(second + "/" + kept);  // a folder of that shape stays
  WriteFile(f.Path("Sport.xml"), "<JMF/>");

  const Result<int> removed = RemoveLogLeftovers(f.table);
  ASSERT_TRUE(removed.ok()) << removed.status().message();
  EXPECT_EQ(*removed, 3);
  EXPECT_EQ(f.Files(), (std::vector<std::string>{"Sport.xml", "plain", "second"}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(second),
                          std::filesystem::directory_iterator()),
            1);

  // A log folder that is no folder is the error; the others are still cleaned.
  f.table.Append([&](QueueRecord& q) { q.Logfile = notAFolder; });
  temp(second, "Q.xml");
  const Result<int> failed = RemoveLogLeftovers(f.table);
  EXPECT_EQ(failed.status().code(), ENOTDIR);
  EXPECT_NE(failed.status().message().find(notAFolder), std::string::npos);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(second),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(LogFileCrash, FailedAppendLeavesEarlierEntriesWhole) {
  LogFixture f;
  FullDiskIo io;
  LogFileWriter writer(f.table, f.clock, "dd.mm.yyyy hh:nn:ss:zzz", io);
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "SPO_0812_01.pdf")).ok());
  const std::string before = ReadFile(f.LogPath());
  io.room = 10;  // part of the line fits
  Status status = f.Write(writer, Entry("Page02.pdf", "X.pdf"));
  EXPECT_EQ(status.code(), ENOSPC);
  EXPECT_EQ(status.message(),
            "Unable to write to the log file " + f.LogPath() + ": No space left on device");
  EXPECT_EQ(ReadFile(f.LogPath()), before);
  io.room = SIZE_MAX;
  io.failSync = true;  // the disk refuses at the flush
  EXPECT_EQ(f.Write(writer, Entry("Page03.pdf", "X.pdf")).code(), EIO);
  EXPECT_EQ(ReadFile(f.LogPath()), before);
  io.failSync = false;
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "SPO_0812_01.pdf")).ok());
  EXPECT_EQ(ReadFile(f.LogPath()), before + kPage01Line);

  // A new file that cannot be written whole is not left behind half-written.
  std::filesystem::remove(f.LogPath());
  io.room = 20;
  status = f.Write(writer, Entry("Page01.pdf", "X.pdf"));
  EXPECT_EQ(status.code(), ENOSPC);
  EXPECT_TRUE(f.Files().empty());
}

TEST(LogFileCrash, TinyDiskRunningFull) {
  LogFixture f;
  test::TinyDisk disk(f.dir / "disk", "size=16k");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  f.Edit([&](QueueRecord& q) { q.Logfile = f.dir / "disk"; });
  LogFileWriter writer(f.table, f.clock, "dd.mm.yyyy hh:nn:ss:zzz");
  const std::string path = f.LogPath();
  std::string expected = kCreated;
  const std::string name(150, 'n');
  int written = 0;
  for (int i = 0; i < 400; ++i) {
    const Status status = f.Write(writer, Entry(name + std::to_string(i), "X.pdf"));
    const std::string line = name + std::to_string(i) +
                             ",X.pdf,,OK,,08.12.2025 14:03:10:123,08.12.2025 14:05:12:500\r\n";
    if (status.ok()) {
      expected += line;
      ++written;
    } else {
      EXPECT_EQ(status.code(), ENOSPC) << status.message();
    }
    EXPECT_EQ(ReadFile(path), expected) << "entry " << i;  // a refused one leaves it as before
  }
  EXPECT_GT(written, 10);
  EXPECT_LT(written, 400);
}

}  // namespace
}  // namespace zf
