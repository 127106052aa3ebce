#include "clock.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "heartbeat.h"

namespace zf {

TDateTime SystemClock::Now() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  return LocalDateTimeFromUnix(ns / 1'000'000'000, ns % 1'000'000'000);
}

void SystemClock::SleepMs(int milliseconds) {
  Beat();
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SystemClock::SleepMsUnless(int milliseconds, const std::function<bool()>& wake) {
  // Short steps against the steady clock: a stop or a switch-off is seen at
  // once, and a changed wall clock neither cuts nor stretches the wait.
  constexpr auto kStep = std::chrono::milliseconds(50);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    Beat();
    if (wake && wake()) return;
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kStep, end - now));
  }
}

}  // namespace zf
