#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include "config/datetimepattern.h"
#include "log/visuallog.h"
#include "platform/clock.h"

namespace zf::test {

// A visual log whose rows a test reads back, whichever thread added them
// (the worker adds them while the test thread waits and looks).
class RecordedVisualLog {
 public:
  explicit RecordedVisualLog(Clock& clock)
      : log_(clock, DefaultRegionalSettings(), [this](VisualLogEntry e) {
          std::lock_guard lock(mutex_);
          rows_.push_back(std::move(e));
        }) {}

  VisualLog& log() { return log_; }
  std::vector<VisualLogEntry> Rows() const {
    std::lock_guard lock(mutex_);
    return rows_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<VisualLogEntry> rows_;
  VisualLog log_;
};

}  // namespace zf::test
