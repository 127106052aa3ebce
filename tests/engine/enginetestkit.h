#pragma once

// Stand-ins for what the engine is lent: a clock whose sleeps pass in virtual
// time, a host that records every notification, and a file system that counts
// its calls and lets a test act at a chosen call.

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "config/queuetable.h"
#include "config/settings.h"
#include "engine/enginehost.h"
#include "platform/clock.h"
#include "platform/fileaccess.h"
#include "tempdir.h"

namespace zf::test {

// Sleeps advance virtual time and return at once (after giving other threads
// a turn), so a test runs many cycles in milliseconds. The hook runs inside
// each sleep, on the sleeping thread, before it returns.
class FakeClock : public Clock {
 public:
  TDateTime Now() override {
    return EncodeDateTime(2024, 5, 1, 8) + static_cast<double>(virtualMs_.load()) / 86'400'000.0;
  }
  void SleepMs(int milliseconds) override {
    {
      std::lock_guard lock(mutex_);
      sleeps_.push_back(milliseconds);
    }
    virtualMs_ += milliseconds;
    if (hook) hook(milliseconds);
    std::this_thread::yield();
  }
  std::vector<int> Sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
  }
  int CountSleeps(int milliseconds) const {
    const auto s = Sleeps();
    return static_cast<int>(std::count(s.begin(), s.end(), milliseconds));
  }

  std::function<void(int)> hook;  // set before the engine starts

 private:
  std::atomic<long long> virtualMs_{0};
  mutable std::mutex mutex_;
  std::vector<int> sleeps_;
};

struct HostEvent {
  enum Kind { kProgress, kFull, kIcon, kRefresh, kFtp } kind;
  int a = 0;  // position, slot or percent
  int b = 0;  // icon
  bool operator==(const HostEvent&) const = default;
};

class RecordingHost : public EngineHost {
 public:
  RecordingHost() {
    settings.browsetime = 1;
    settings.stabletime = 1;
  }

  bool SwitchedOn() override { return settings.switchedOn.load(); }
  int BrowseTime() override { return settings.browsetime.load(); }
  int StableTime() override { return settings.stabletime.load(); }
  QueueTable& Queues() override { return table; }

  void CycleProgress(int position) override { Record({HostEvent::kProgress, position}); }
  void CycleProgressFull() override { Record({HostEvent::kFull}); }
  void QueueIconChanged(int slot, QueueIcon icon) override {
    Record({HostEvent::kIcon, slot, static_cast<int>(icon)});
  }
  void RefreshQueueList() override { Record({HostEvent::kRefresh}); }
  void FtpProgress(int percent) override { Record({HostEvent::kFtp, percent}); }

  std::vector<HostEvent> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<HostEvent> EventsOf(HostEvent::Kind kind) const {
    std::vector<HostEvent> out;
    for (const HostEvent& e : Events()) {
      if (e.kind == kind) out.push_back(e);
    }
    return out;
  }
  // The icons given to one slot, in order.
  std::vector<int> IconsOf(int slot) const {
    std::vector<int> out;
    for (const HostEvent& e : EventsOf(HostEvent::kIcon)) {
      if (e.a == slot) out.push_back(e.b);
    }
    return out;
  }

  WorkingSettings settings;
  QueueTable table;
  std::atomic<bool> keepEvents{true};  // off for long runs
  // Runs after each notification is recorded, on the engine's thread; a
  // throw from it reaches the engine as a failing window would.
  std::function<void(const HostEvent&)> onEvent;

 private:
  void Record(HostEvent e) {
    if (keepEvents.load()) {
      std::lock_guard lock(mutex_);
      events_.push_back(e);
    }
    if (onEvent) onEvent(e);
  }

  mutable std::mutex mutex_;
  std::vector<HostEvent> events_;
};

// The real file system, counting calls per path.
class CountingFiles : public SystemFileAccess {
 public:
  Result<std::unique_ptr<DirListing>> List(const std::string& pattern) override {
    Count(lists_, pattern);
    return SystemFileAccess::List(pattern);
  }
  Result<FileInfo> Stat(const std::string& path) override {
    const int n = Count(stats_, path);
    if (onStat) onStat(path, n);
    return SystemFileAccess::Stat(path);
  }
  bool DirectoryExists(const std::string& path) override {
    Count(dirTests_, path);
    return SystemFileAccess::DirectoryExists(path);
  }

  int Lists() const { return Total(lists_); }
  int Stats() const { return Total(stats_); }
  int ListsOf(const std::string& prefix) const { return Matching(lists_, prefix); }
  int StatsOf(const std::string& prefix) const { return Matching(stats_, prefix); }
  int DirTestsOf(const std::string& prefix) const { return Matching(dirTests_, prefix); }

  // Called before each look-up with the path and the running count of all look-ups.
  std::function<void(const std::string&, int)> onStat;

 private:
  int Count(std::vector<std::string>& calls, const std::string& path) {
    std::lock_guard lock(mutex_);
    calls.push_back(path);
    return static_cast<int>(calls.size());
  }
  int Total(const std::vector<std::string>& calls) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(calls.size());
  }
  int Matching(const std::vector<std::string>& calls, const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const std::string& p) {
      return p.compare(0, prefix.size(), prefix) == 0;
    }));
  }

  mutable std::mutex mutex_;
  std::vector<std::string> lists_, stats_, dirTests_;
};

// A queue's three folders under one temporary folder.
struct QueueFolders {
  TempDir root;
  std::string in = root / "in";
  std::string out = root / "out";
  std::string err = root / "err";
  QueueFolders() {
    for (const auto& f : {in, out, err}) std::filesystem::create_directory(f);
  }
};

// Appends an enabled local queue on the folders; `edit` may change the rest.
inline int AddQueue(QueueTable& table, const std::string& name, const QueueFolders& folders,
                    const std::function<void(QueueRecord&)>& edit = {}) {
  auto slot = table.Append([&](QueueRecord& r) {
    r.name = name;
    r.Inputfolder = folders.in;
    r.Outputfolder = folders.out;
    r.Errorfolder = folders.err;
    r.Searchmask = "*.*";
    r.ignoremask = "none";
    r.filetimetype = 2;
    r.Enabled = true;
    r.Enabledatstart = true;
    if (edit) edit(r);
  });
  return slot.ok() ? slot.value() : 0;
}

// Sets the last-write (and last-access) time of a file to a whole second
// plus `nanoseconds` after the epoch.
inline void SetTimes(const std::string& path, long long accessSeconds, long long writeSeconds,
                     long nanoseconds = 0) {
  const timespec times[2] = {{static_cast<time_t>(accessSeconds), nanoseconds},
                             {static_cast<time_t>(writeSeconds), nanoseconds}};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    throw std::runtime_error("utimensat failed for " + path);
  }
}

}  // namespace zf::test
