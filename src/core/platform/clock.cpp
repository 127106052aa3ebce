#include "clock.h"

#include <chrono>
#include <thread>

namespace zf {

TDateTime SystemClock::Now() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  return LocalDateTimeFromUnix(ns / 1'000'000'000, ns % 1'000'000'000);
}

void SystemClock::SleepMs(int milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace zf
