#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "log/visuallog.h"
#include "log/visuallogmodel.h"

namespace zf {

// Carries entries from the worker thread to the thread that owns the
// VisualLogModel, in the order they were pushed. The worker never waits for
// the window: Push only queues the entry and, when the queue was empty, calls
// `wake` (outside the lock) so the host can post one drain to its own thread,
// e.g. with a queued invocation. A drain takes everything pending at once.
class VisualLogQueue {
 public:
  // An entry older than the newest 32768 pending ones could never be shown:
  // no bound of the list (a signed 16-bit value) keeps that many rows. Beyond
  // that the oldest pending entries are dropped, so a stalled window does not
  // make the queue grow without end.
  static constexpr std::size_t kMaxPending = 32768;

  explicit VisualLogQueue(std::function<void()> wake = {}, std::size_t maxPending = kMaxPending);

  // Safe from any thread. Throws only for lack of memory.
  void Push(VisualLogEntry entry);
  // A sink for VisualLog that pushes here; this queue must outlive it.
  VisualLogSink Sink();

  // On the model's thread: appends all pending entries in order and returns
  // how many there were.
  std::size_t DrainInto(VisualLogModel& model, int maxvisuallog);

  std::size_t Pending() const;

 private:
  const std::function<void()> wake_;
  const std::size_t maxPending_;
  mutable std::mutex mutex_;
  std::deque<VisualLogEntry> pending_;
};

}  // namespace zf
