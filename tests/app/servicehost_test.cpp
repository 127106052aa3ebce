#include "servicehost.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zf::app {
namespace {

TEST(ServiceHost, ReadsTheWorkingSettingsAtEveryCall) {
  QueueTable table;
  WorkingSettings working;
  ServiceHost host(table, working);
  working.switchedOn = true;
  working.browsetime = 3;
  working.stabletime = 7;
  EXPECT_TRUE(host.SwitchedOn());
  EXPECT_EQ(host.BrowseTime(), 3);
  EXPECT_EQ(host.StableTime(), 7);
  working.switchedOn = false;
  working.stabletime = 1;
  EXPECT_FALSE(host.SwitchedOn());
  EXPECT_EQ(host.StableTime(), 1);
  EXPECT_EQ(&host.Queues(), &table);
}

TEST(ServiceHost, VerboseTellsEachPassAndEachServedQueueOnce) {
  QueueTable table;
  ASSERT_TRUE(table.Append([](QueueRecord& q) { q.name = "Sport"; }).ok());
  ASSERT_TRUE(table.Append([](QueueRecord& q) { q.name = "News"; }).ok());
  WorkingSettings working;
  std::vector<std::string> lines;
  ServiceHost host(table, working, [&](std::string line) { lines.push_back(std::move(line)); });

  // A pass as the engine reports it: the idle icon of the last served queue
  // is set again after every later slot.
  host.CycleProgress(3);
  host.CycleProgressFull();
  host.QueueIconChanged(1, QueueIcon::kActive);
  host.QueueIconChanged(1, QueueIcon::kIdle);
  host.QueueIconChanged(1, QueueIcon::kIdle);
  host.QueueIconChanged(2, QueueIcon::kActive);
  host.QueueIconChanged(2, QueueIcon::kIdle);
  host.FtpProgress(50);
  host.RefreshQueueList();
  EXPECT_EQ(lines,
            (std::vector<std::string>{"pass over 2 queue(s)", "serving queue 1 'Sport'",
                                      "queue 1 done", "serving queue 2 'News'", "queue 2 done"}));
}

}  // namespace
}  // namespace zf::app
