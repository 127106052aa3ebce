#include "config/queuetable.h"

#include <gtest/gtest.h>

#include <thread>

namespace zf {
namespace {

int AppendNamed(QueueTable& table, const std::string& name) {
  auto slot = table.Append([&](QueueRecord& r) { r.name = name; });
  EXPECT_TRUE(slot.ok()) << slot.status().message();
  return slot.ok() ? slot.value() : 0;
}

TEST(QueueTable, FreshSlotsAreEmptyAndNumberedFromOne) {
  QueueTable table;
  EXPECT_EQ(table.Nfolders(), 0);
  const QueueRecord r = table.Get(1);
  EXPECT_EQ(r.name, "");
  EXPECT_EQ(r.FTPPort, 0);
  EXPECT_FALSE(r.Enabled);
  EXPECT_EQ(r.lastlogrenew, 0.0);
  EXPECT_NO_THROW(table.Get(100));
  EXPECT_THROW(table.Get(0), std::out_of_range);
  EXPECT_THROW(table.Get(101), std::out_of_range);
  EXPECT_NO_THROW(r.rule(200));
  EXPECT_THROW(r.rule(201), std::out_of_range);
  EXPECT_NO_THROW(r.translation(1000));
  EXPECT_THROW(r.translation(0), std::out_of_range);
}

TEST(QueueTable, FindByNameTakesTheLowestExactMatch) {
  QueueTable table;
  AppendNamed(table, "Sport");
  AppendNamed(table, "News");
  AppendNamed(table, "Sport");
  EXPECT_EQ(table.FindByName("Sport"), 1);
  EXPECT_EQ(table.FindByName("News"), 2);
  EXPECT_EQ(table.FindByName("sport"), 0);  // case counts
  EXPECT_EQ(table.FindByName("Spor"), 0);
}

TEST(QueueTable, DeleteMovesRecordsDownAndTheFreedSlotKeepsItsContent) {
  QueueTable table;
  AppendNamed(table, "A");
  AppendNamed(table, "B");
  AppendNamed(table, "C");
  const auto uidC = table.Get(3).uid;
  ASSERT_TRUE(table.Delete(2).ok());
  EXPECT_EQ(table.Nfolders(), 2);
  EXPECT_EQ(table.Get(1).name, "A");
  EXPECT_EQ(table.Get(2).name, "C");
  EXPECT_EQ(table.Get(2).uid, uidC);
  EXPECT_EQ(table.Get(3).name, "C");  // slot out of use keeps its old content
  EXPECT_EQ(table.SlotOf(uidC), 2);
  EXPECT_FALSE(table.Delete(3).ok());
  EXPECT_FALSE(table.Delete(0).ok());

  // A new queue starts from what the freed slot held, with its own identity.
  auto slot = table.Append([](QueueRecord& r) { r.name = "D"; });
  ASSERT_TRUE(slot.ok());
  EXPECT_EQ(slot.value(), 3);
  EXPECT_NE(table.Get(3).uid, uidC);
  EXPECT_EQ(table.SlotOf(uidC), 2);
}

TEST(QueueTable, DeletedQueueLeavesNoSharedFtpClient) {
  QueueTable table;
  for (int i = 1; i <= 3; ++i) {
    table.Update(i, [](QueueRecord& r) {
      r.FTPsession =
          std::shared_ptr<FtpSession>(reinterpret_cast<FtpSession*>(new char),
                                      [](FtpSession* p) { delete reinterpret_cast<char*>(p); });
    });
    AppendNamed(table, "Q" + std::to_string(i));
  }
  const auto client1 = table.Get(1).FTPsession;
  ASSERT_TRUE(table.Delete(1).ok());
  EXPECT_NE(table.Get(1).FTPsession, table.Get(2).FTPsession);
  EXPECT_NE(table.Get(2).FTPsession, table.Get(3).FTPsession);
  EXPECT_EQ(table.Get(3).FTPsession, client1);
}

TEST(QueueTable, AppendingToAFullTableIsRefusedWithAClearError) {
  QueueTable table;
  for (int i = 1; i <= 100; ++i) AppendNamed(table, "Q" + std::to_string(i));
  EXPECT_EQ(table.Nfolders(), 100);
  auto refused = table.Append([](QueueRecord& r) { r.name = "overflow"; });
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.status().message().find("100"), std::string::npos);
  EXPECT_EQ(table.Nfolders(), 100);
  EXPECT_EQ(table.Get(100).name, "Q100");
}

TEST(QueueTable, UpdateQueueFollowsTheQueueAndNeverWritesAnotherOne) {
  QueueTable table;
  AppendNamed(table, "A");
  AppendNamed(table, "B");
  const auto uidB = table.Get(2).uid;
  ASSERT_TRUE(table.Delete(1).ok());
  EXPECT_TRUE(table.UpdateQueue(uidB, [](QueueRecord& r) { r.lastlogrenew = 42; }));
  EXPECT_EQ(table.Get(1).lastlogrenew, 42);
  ASSERT_TRUE(table.Delete(1).ok());
  // The queue is gone: the write must not land in the slot it used to hold.
  EXPECT_FALSE(table.UpdateQueue(uidB, [](QueueRecord& r) { r.lastlogrenew = 7; }));
  EXPECT_EQ(table.Get(1).lastlogrenew, 42);
}

TEST(QueueTable, ReadersNeverSeeAHalfWrittenRecord) {
  QueueTable table;
  table.Append([](QueueRecord& r) { r.name = r.Inputfolder = r.rule(1).match = "x"; });
  std::atomic<bool> done{false};
  // Each edit copies a whole record under the lock; both loops pause every
  // round, so neither thread can keep the lock from the other (under TSan a
  // tight loop starved the reader) and the test ends in bounded time.
  std::thread writer([&] {
    for (int i = 0; i < 500; ++i) {
      const std::string text(static_cast<std::size_t>(i % 50 + 1), static_cast<char>('a' + i % 26));
      table.Update(1, [&](QueueRecord& r) {
        r.name = text;
        r.Inputfolder = text;
        r.rule(1).match = text;
      });
      std::this_thread::yield();
    }
    done = true;
  });
  int reads = 0;
  int torn = 0;
  while (!done || reads == 0) {
    RecordPtr r = table.Record(1);
    if (r->name != r->Inputfolder || r->name != r->rule(1).match) ++torn;
    ++reads;
    std::this_thread::yield();
  }
  writer.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace zf
