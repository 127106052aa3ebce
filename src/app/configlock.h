#pragma once

#include <sys/types.h>

#include <string>

#include "platform/uniquefd.h"

namespace zf::app {

// One engine per configuration. Whoever runs the engine holds an exclusive
// lock on a file in the configuration folder for its whole run: two engines
// on one configuration would fetch and deliver the same files, and the
// second one's start-up clean-up would remove the first one's files in flight.
// The lock goes with the process (flock), so a crash never leaves it behind;
// the file itself stays, holding the last holder's process id.
class ConfigLock {
 public:
  static constexpr const char* kFileName = "zentrafold.lock";

  enum class State {
    kHeld,      // ours until this object goes
    kBusy,      // another process (or another lock of ours) holds it
    kUnusable,  // no lock file could be opened or locked here
  };

  // Tries once, without waiting.
  explicit ConfigLock(const std::string& folder);
  ConfigLock(const ConfigLock&) = delete;
  ConfigLock& operator=(const ConfigLock&) = delete;

  State state() const { return state_; }
  bool held() const { return state_ == State::kHeld; }
  // kBusy: the holder's process id as it wrote it, 0 when unknown.
  pid_t holder() const { return holder_; }
  // kBusy: "process 1234 (zentrafold --headless ...)"; kUnusable: the reason.
  const std::string& detail() const { return detail_; }
  // For the operator, when the lock is not ours: who has the configuration.
  std::string Refusal() const;

 private:
  std::string path_;
  UniqueFd fd_;
  State state_ = State::kUnusable;
  pid_t holder_ = 0;
  std::string detail_;
};

// "process <pid>", with its command line (or name) where /proc tells it,
// control characters escaped.
std::string DescribeProcess(pid_t pid);

}  // namespace zf::app
