#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "config/datetimepattern.h"
#include "config/queuetable.h"
#include "platform/datetime.h"

namespace zf {

// What an operator needs to answer "why has this file not moved?" for one
// queue: whether it is served, what it delivered and failed today, what waits
// and the last thing that went wrong.
struct QueueStatus {
  enum class State { kDisabled, kIdle, kServing, kFailing };
  int slot = 0;  // 1-based, where the queue stands now
  std::uint64_t uid = 0;
  std::string name;
  // kDisabled from the table's Enabled; kFailing while the last pass failed
  // (a queue problem was reported and no pass has succeeded since).
  State state = State::kIdle;
  TDateTime lastPass = 0;  // end of the last pass, 0 for none yet
  // Results of the local calendar day of the snapshot; a new day starts at 0.
  int deliveredToday = 0;
  int failedToday = 0;
  int waiting = 0;            // files found but not yet stable in the current/last pass
  int stableSecondsLeft = 0;  // of the stable wait while files wait, else 0
  // Why stable files still wait (a PDF cut short, a missing ready marker, a
  // marker without its file), as of the last pass; empty for none.
  std::string waitingReason;
  // "comment: reason" of the last failure of the queue or of one of its files.
  std::string lastFailure;
  TDateTime lastFailureTime = 0;
  bool ftp = false;
  // FTP queues: "connected to host:port", "not connected", or the last
  // connection error. Empty for local queues.
  std::string ftpConnection;

  bool operator==(const QueueStatus&) const = default;
};

// The words the status texts use for a state.
std::string_view StateText(QueueStatus::State state);

// The per-queue status record, written by the engine and read by the window
// and the service on their own threads. One mutex with short critical
// sections: readers copy, the engine never waits for a slow reader.
//
// The engine-side methods are keyed by queue identity, so a queue keeps its
// record while other queues are deleted around it. Each answers whether the
// record changed, so that the engine tells its host only of real changes.
class QueueStatusBoard {
 public:
  // One row per queue of the table, in table order, with state kDisabled for
  // queues whose Enabled is clear; queues never served yet appear idle with
  // zeros. Counts of an earlier day than `now`'s show as 0.
  std::vector<QueueStatus> Snapshot(const QueueTable& table, TDateTime now) const;

  // A pass over the queue begins: serving, nothing waiting yet.
  void PassStarted(std::uint64_t uid);
  // The pass has ended at `now`; `failed` when the queue could not be served,
  // which keeps it failing until a pass succeeds.
  void PassEnded(std::uint64_t uid, TDateTime now, bool failed);
  // A problem of the queue (empty `inputName`) or of one of its files. A
  // queue problem makes the queue failing until a pass succeeds.
  void Problem(std::uint64_t uid, std::string_view inputName, std::string_view comment,
               std::string_view reason, TDateTime now);
  // The result of one file's delivery; a failure is also the last failure.
  void FileResult(std::uint64_t uid, bool success, std::string_view comment,
                  std::string_view reason, TDateTime now);
  // The stable wait: `files` found, `secondsLeft` of the wait still to come.
  // Answers whether the waiting count changed (the seconds alone do not
  // count, so that the host is not told ten times per wait).
  bool Waiting(std::uint64_t uid, int files, int secondsLeft);
  // Why files of the queue wait beyond the stable time; answers whether it
  // changed.
  bool WaitingReason(std::uint64_t uid, std::string_view reason);
  // Connection state text of an FTP queue; answers whether it changed.
  bool FtpConnection(std::uint64_t uid, std::string_view text);

 private:
  struct Entry {
    bool serving = false;
    bool failing = false;
    TDateTime lastPass = 0;
    TDateTime countDay = 0;  // the local day the counts belong to
    int delivered = 0;
    int failed = 0;
    int waiting = 0;
    int secondsLeft = 0;
    std::string waitingReason;
    std::string lastFailure;
    TDateTime lastFailureTime = 0;
    std::string ftpConnection;
  };
  void SetFailure(Entry& entry, std::string_view comment, std::string_view reason, TDateTime now);

  mutable std::mutex mutex_;
  std::map<std::uint64_t, Entry> entries_;
};

// One line per queue for a terminal or a tooltip.
std::string FormatQueueStatusLine(const QueueStatus& s, const RegionalSettings& regional);
// The whole table: a header line and one aligned line per queue, each line
// ending in a newline.
std::string FormatQueueStatusTable(const std::vector<QueueStatus>& rows,
                                   const RegionalSettings& regional);

}  // namespace zf
