#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/queuestatus.h"

namespace zf {

// How a file's delivery ended, as a monitoring system counts it: a failure
// with a new name is a delivery that failed, one without a name is a file no
// rule could name.
enum class FileOutcome { kDelivered, kFailed, kUnresolved };

// Counters of the engine since the program started, per queue identity, for
// the metrics endpoint. Written by the engine, read by the responder's
// thread; one mutex with short critical sections, as the status board.
class QueueMetrics {
 public:
  // Upper bounds of the pass duration histogram, in seconds; a pass includes
  // its stable wait, so they reach well past the longest stable time.
  static constexpr std::array<double, 10> kPassBuckets = {0.1, 0.5, 1,  2.5, 5,
                                                          10,  30,  60, 300, 1800};
  using Instant = std::chrono::steady_clock::time_point;

  struct Counters {
    std::uint64_t delivered = 0;
    std::uint64_t failed = 0;
    std::uint64_t unresolved = 0;
    std::uint64_t bytesDelivered = 0;
    // Passes per bucket (not cumulative); the last one past every bound.
    std::array<std::uint64_t, kPassBuckets.size() + 1> passes{};
    double passSeconds = 0;
    Instant lastDelivery{};  // the epoch of the steady clock: none yet
    std::uint64_t ftpConnectionFailures = 0;
    std::uint64_t ftpBytesFetched = 0;
  };

  void FileResult(std::uint64_t uid, FileOutcome outcome, std::uint64_t bytes, Instant now);
  void PassEnded(std::uint64_t uid, double seconds);
  void FtpConnectionFailed(std::uint64_t uid);
  void FtpFetched(std::uint64_t uid, std::uint64_t bytes);

  // A copy of the counters of `uid`, zeros for a queue never counted.
  Counters Of(std::uint64_t uid) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::uint64_t, Counters> counters_;
};

// The metrics in the Prometheus text format (version 0.0.4): one series per
// queue of `rows` (the status board's snapshot, in table order), labelled
// with the queue's name, and the build version.
std::string FormatMetrics(const std::vector<QueueStatus>& rows, const QueueMetrics& metrics,
                          std::string_view version, QueueMetrics::Instant now);

}  // namespace zf
