#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/datetimepattern.h"
#include "engine/queuestatus.h"
#include "log/visuallog.h"

namespace zf::app {

// One visual log entry as the headless service prints it: time, input name,
// output name and comment (with ": " and the reason after it when there is one), separated by tabs.
// Tabs, line breaks and other control characters in a field are written as C escapes (\t, \n, \r,
// \xHH) and a backslash as "\\", so that every entry stays one line with exactly four fields
// whatever a file is called.
std::string FormatLogLine(const VisualLogEntry& entry);

// A text with its control characters and backslashes escaped as in FormatLogLine.
std::string EscapeControls(const std::string& text);

// The queue status table (FormatQueueStatusTable) with the names and texts
// in it escaped as in FormatLogLine, so that a file name cannot break or
// forge a row on the terminal.
std::string FormatStatusTable(std::vector<QueueStatus> rows, const RegionalSettings& regional);

// A problem row for the standard error: "zentrafold: <queue>: [<input>: ]<comment>[: <reason>]".
std::string FormatProblemLine(const VisualLogEntry& entry);

// Whether `stream` goes to the journal: JOURNAL_STREAM names its device and
// inode. Lines to it then begin with their priority.
bool IsJournalStream(std::FILE* stream);

// The journal's priority for a log entry: "<3>" (error) for a failure,
// "<6>" (info) for a result, so that filtering by priority shows failures
// alone.
std::string JournalPriority(const VisualLogEntry& entry);

// Prints lines on a stream from a thread of its own, so the engine never
// waits for a slow or stalled reader of the service's output. Lines come out
// in the order they were pushed, each flushed as soon as it is written.
class LinePrinter {
 public:
  // Beyond this many unprinted lines the oldest are dropped (and counted),
  // so a reader that stopped reading does not make the service grow.
  static constexpr std::size_t kMaxPending = 32768;

  explicit LinePrinter(std::FILE* out, std::size_t maxPending = kMaxPending);
  ~LinePrinter();  // Finish()
  LinePrinter(const LinePrinter&) = delete;
  LinePrinter& operator=(const LinePrinter&) = delete;

  // From any thread; `line` comes without its line break.
  void Push(std::string line);
  // Prints what is pending and ends the thread. Later pushes are dropped.
  void Finish();

  std::size_t dropped() const;

 private:
  void Run();

  std::FILE* const out_;
  const std::size_t maxPending_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> pending_;
  std::size_t dropped_ = 0;
  std::size_t droppedReported_ = 0;
  bool finishing_ = false;
  std::thread thread_;
};

}  // namespace zf::app
