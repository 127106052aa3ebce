#include "log/visuallogqueue.h"

#include <algorithm>
#include <utility>

namespace zf {

VisualLogQueue::VisualLogQueue(std::function<void()> wake, std::size_t maxPending)
    : wake_(std::move(wake)), maxPending_(std::max<std::size_t>(maxPending, 1)) {}

void VisualLogQueue::Push(VisualLogEntry entry) {
  bool wasEmpty = false;
  {
    std::lock_guard lock(mutex_);
    wasEmpty = pending_.empty();
    pending_.push_back(std::move(entry));
    if (pending_.size() > maxPending_) pending_.pop_front();
  }
  // A drain that empties the queue after this point finds the entry; one that
  // emptied it before made the next push see an empty queue and wake again.
  if (wasEmpty && wake_) wake_();
}

VisualLogSink VisualLogQueue::Sink() {
  return [this](VisualLogEntry entry) { Push(std::move(entry)); };
}

std::size_t VisualLogQueue::DrainInto(VisualLogModel& model, int maxvisuallog) {
  std::deque<VisualLogEntry> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(pending_);
  }
  for (VisualLogEntry& entry : batch) model.Append(std::move(entry), maxvisuallog);
  return batch.size();
}

std::size_t VisualLogQueue::Pending() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

}  // namespace zf
