#include "systemdnotify.h"

#include <systemd/sd-daemon.h>

#include <chrono>
#include <cstdlib>

namespace zf::app {
namespace {

std::int64_t NowUsec() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

SystemdNotifier::SystemdNotifier() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  active_ = socket != nullptr && *socket != '\0';
  std::uint64_t usec = 0;
  if (active_ && sd_watchdog_enabled(0, &usec) > 0) watchdogUsec_ = usec;
}

void SystemdNotifier::Ready() {
  if (active_) sd_notify(0, "READY=1");
}

void SystemdNotifier::Status(const std::string& text) {
  if (!active_ || text == lastStatus_) return;
  lastStatus_ = text;
  std::string line = "STATUS=" + text;
  // One line: the manager takes a line break as the end of the field.
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  sd_notify(0, line.c_str());
}

void SystemdNotifier::Stopping() {
  if (active_) sd_notify(0, "STOPPING=1");
}

void SystemdNotifier::Beat() {
  if (watchdogUsec_ == 0) return;
  const std::int64_t now = NowUsec();
  std::int64_t last = lastBeatUsec_.load(std::memory_order_relaxed);
  if (now - last < static_cast<std::int64_t>(watchdogUsec_ / 4)) return;
  if (!lastBeatUsec_.compare_exchange_strong(last, now, std::memory_order_relaxed)) return;
  sd_notify(0, "WATCHDOG=1");
}

std::string ServiceSummary(const std::vector<QueueStatus>& rows) {
  int served = 0;
  int waiting = 0;
  const QueueStatus* failure = nullptr;
  for (const QueueStatus& row : rows) {
    if (row.state != QueueStatus::State::kDisabled) ++served;
    waiting += row.waiting;
    if (!row.lastFailure.empty() &&
        (failure == nullptr || row.lastFailureTime > failure->lastFailureTime)) {
      failure = &row;
    }
  }
  std::string text = "serving " + std::to_string(served) + " of " + std::to_string(rows.size()) +
                     " queue" + (rows.size() == 1 ? "" : "s") + ", " + std::to_string(waiting) +
                     " file" + (waiting == 1 ? "" : "s") + " waiting, ";
  text += failure == nullptr ? std::string("no failures")
                             : "last failure: " + failure->name + ": " + failure->lastFailure;
  return text;
}

}  // namespace zf::app
