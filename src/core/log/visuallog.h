#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "config/datetimepattern.h"
#include "platform/clock.h"

namespace zf {

// One row of the on-screen log.
struct VisualLogEntry {
  std::string inputName;
  std::string outputName;  // empty for a failure that produced no name
  std::string time;        // regional short date and long time of the call
  std::string comment;
  std::int32_t status = 1;  // 1 success, 2 failure
  // Beside the four columns: the queue the row belongs to, and for a failure
  // the reason behind the comment ("No space left on device"), which the
  // window shows as a tooltip and the headless service after the comment.
  std::string queue;
  std::string reason;
  // A problem that is no file's result (a queue that cannot be served, a log
  // file that cannot be written): the headless service writes it to its
  // standard error rather than among the results.
  bool problem = false;

  bool operator==(const VisualLogEntry&) const = default;
};

// Where finished entries go, called on the thread that made the entry. The
// window hands them to its own thread (a VisualLogQueue and one queued
// invocation); the headless service prints them.
using VisualLogSink = std::function<void(VisualLogEntry)>;

// The engine's side of the visual log. Stamps each result with the time of the
// call and passes it on; it never touches a list or a widget, so the delivery
// step can call it from the worker thread.
class VisualLog {
 public:
  // `clock` must outlive this object. An empty sink is a programming error.
  VisualLog(Clock& clock, RegionalSettings regional, VisualLogSink sink);

  // Reports nothing: a failure here (even of the sink) must not disturb the
  // delivery of files, so it is swallowed.
  void AddVisualLogEntry(std::string_view inputName, std::string_view outputName,
                         std::string_view comment, std::int32_t status) noexcept;
  // The same for a row with its queue and reason filled in; `entry.time` is
  // set here.
  void AddVisualLogEntry(VisualLogEntry entry) noexcept;

 private:
  Clock& clock_;
  const RegionalSettings regional_;
  const VisualLogSink sink_;
};

}  // namespace zf
