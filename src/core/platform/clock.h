#pragma once

#include <functional>

#include "datetime.h"

namespace zf {

// Time and sleeping for the engine and the log writers. Tests pass a clock of
// their own to run cycles quickly or to stand at a chosen moment of the day.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual TDateTime Now() = 0;  // local wall-clock time
  virtual void SleepMs(int milliseconds) = 0;
  // Sleeps like SleepMs but ends early once `wake` answers true; `wake` is
  // asked often enough that a stop is honoured within a tenth of a second.
  // Clocks of tests that only count time may simply call SleepMs.
  virtual void SleepMsUnless(int milliseconds, const std::function<bool()>& wake) {
    (void)wake;
    SleepMs(milliseconds);
  }
};

class SystemClock final : public Clock {
 public:
  TDateTime Now() override;
  void SleepMs(int milliseconds) override;
  void SleepMsUnless(int milliseconds, const std::function<bool()>& wake) override;
};

}  // namespace zf
