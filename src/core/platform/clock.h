#pragma once

#include "datetime.h"

namespace zf {

// Time and sleeping for the engine and the log writers. Tests pass a clock of
// their own to run cycles quickly or to stand at a chosen moment of the day.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual TDateTime Now() = 0;  // local wall-clock time
  virtual void SleepMs(int milliseconds) = 0;
};

class SystemClock final : public Clock {
 public:
  TDateTime Now() override;
  void SleepMs(int milliseconds) override;
};

}  // namespace zf
