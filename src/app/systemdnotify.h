#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <vector>

#include "engine/queuestatus.h"
#include "platform/heartbeat.h"

namespace zf::app {

// Tells the service manager how the service stands: ready, a one-line
// status, stopping, and the watchdog's sign of life. Without NOTIFY_SOCKET
// in the environment (not started by the service manager) every call does
// nothing.
class SystemdNotifier final : public Heartbeat {
 public:
  SystemdNotifier();

  bool active() const { return active_; }
  void Ready();
  // Sent only when it differs from the last one.
  void Status(const std::string& text);
  void Stopping();

  // The watchdog's "still alive", from the worker's own loops: at most a
  // quarter of the watchdog time apart, so two may be lost before the
  // manager gives up.
  void Beat() override;

 private:
  bool active_ = false;
  std::uint64_t watchdogUsec_ = 0;  // 0: no watchdog asked for
  std::atomic<std::int64_t> lastBeatUsec_{0};
  std::string lastStatus_;
};

// The service manager's one-line status: "serving 3 of 4 queues, 2 files
// waiting, last failure: <queue>: <what>" (or "no failures").
std::string ServiceSummary(const std::vector<QueueStatus>& rows);

}  // namespace zf::app
