#include "log/visuallogqueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zf {
namespace {

class FixedClock final : public Clock {
 public:
  TDateTime Now() override { return EncodeDateTime(2025, 12, 8, 14, 5, 12); }
  void SleepMs(int) override {}
};

// Stands in for the window's event loop: `wake` posts a drain request, the
// test's main thread plays the user-interface thread and serves the requests.
class Mailbox {
 public:
  void Post() {
    {
      std::lock_guard lock(mutex_);
      ++posted_;
    }
    cv_.notify_one();
  }
  // Waits for a request; false once `done` is set and nothing is posted.
  bool Wait(const std::atomic<bool>& done) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(20), [&] { return posted_ > 0; });
    if (posted_ == 0) return !done;
    --posted_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int posted_ = 0;
};

TEST(VisualLogQueue, RowsArriveInCallOrderAcrossThreads) {
  constexpr int kEntries = 5000;
  Mailbox mailbox;
  std::atomic<int> wakes{0};
  VisualLogQueue queue([&] {
    ++wakes;
    mailbox.Post();
  });
  FixedClock clock;
  VisualLog log(clock, RegionalSettings{}, queue.Sink());
  VisualLogModel model;

  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int n = 0; n < kEntries; ++n) {
      log.AddVisualLogEntry("in" + std::to_string(n), "out", "Renamed", n % 2 + 1);
    }
    done = true;
    mailbox.Post();  // a last look after the final entry
  });
  std::size_t drained = 0;
  while (mailbox.Wait(done)) drained += queue.DrainInto(model, 10000);
  worker.join();
  drained += queue.DrainInto(model, 10000);

  EXPECT_EQ(drained, static_cast<std::size_t>(kEntries));
  ASSERT_EQ(model.RowCount(), static_cast<std::size_t>(kEntries));
  for (int n = 0; n < kEntries; ++n) {
    ASSERT_EQ(model.Row(n).inputName, "in" + std::to_string(n));
    ASSERT_EQ(model.Row(n).status, n % 2 + 1);
  }
  EXPECT_EQ(model.Row(0).time, "08/12/2025 14:05:12");
  EXPECT_GE(wakes.load(), 1);
  EXPECT_LE(wakes.load(), kEntries);
  EXPECT_EQ(queue.Pending(), 0u);
}

TEST(VisualLogQueue, EachProducerKeepsItsOrder) {
  constexpr int kPerThread = 2000;
  VisualLogQueue queue;
  VisualLogModel model;
  std::atomic<bool> stop{false};
  std::thread ui([&] {
    while (!stop) {
      queue.DrainInto(model, 10000);
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> producers;
  for (int p = 0; p < 2; ++p) {
    producers.emplace_back([&, p] {
      for (int n = 0; n < kPerThread; ++n) {
        queue.Push({std::to_string(p), std::to_string(n), "t", "Renamed", 1});
      }
    });
  }
  for (std::thread& t : producers) t.join();
  stop = true;
  ui.join();
  queue.DrainInto(model, 10000);

  ASSERT_EQ(model.RowCount(), 2u * kPerThread);
  int next[2] = {0, 0};
  for (std::size_t i = 0; i < model.RowCount(); ++i) {
    const int p = std::stoi(model.Row(i).inputName);
    ASSERT_EQ(std::stoi(model.Row(i).outputName), next[p]) << "producer " << p;
    ++next[p];
  }
}

TEST(VisualLogQueue, WakesOncePerEmptyQueueAndDropsOnlyUnshowableEntries) {
  int wakes = 0;
  VisualLogQueue queue([&] { ++wakes; }, 3);
  for (int n = 1; n <= 5; ++n) queue.Push({"in" + std::to_string(n), "", "t", "Cannot copy", 2});
  EXPECT_EQ(wakes, 1);
  EXPECT_EQ(queue.Pending(), 3u);

  VisualLogModel model;
  EXPECT_EQ(queue.DrainInto(model, 2), 3u);
  ASSERT_EQ(model.RowCount(), 3u);
  EXPECT_EQ(model.Row(0).inputName, "in3");
  EXPECT_EQ(model.Row(2).inputName, "in5");

  queue.Push({"in6", "", "t", "Cannot copy", 2});
  EXPECT_EQ(wakes, 2);
  EXPECT_EQ(queue.DrainInto(model, 2), 1u);
  EXPECT_EQ(model.Row(2).inputName, "in6");
  EXPECT_EQ(queue.DrainInto(model, 2), 0u);
}

}  // namespace
}  // namespace zf
