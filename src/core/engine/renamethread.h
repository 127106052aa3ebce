#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/queuetable.h"
#include "engine/enginehost.h"
#include "engine/passcontext.h"
#include "engine/queuemetrics.h"
#include "engine/queuestatus.h"
#include "engine/readiness.h"
#include "engine/stages.h"
#include "log/visuallog.h"
#include "platform/clock.h"
#include "platform/fileaccess.h"
#include "platform/folderwatcher.h"
#include "platform/heartbeat.h"
#include "platform/result.h"

namespace zf {

// The two controls of the worker, owned jointly by the host and the worker so
// that they stay valid after the worker has freed itself. `stop` is written by
// the host only, `finished` by the worker only.
struct EngineControl {
  std::atomic<bool> stop{false};
  // Set once the worker has freed itself and touches nothing it was lent any
  // more: from then on the host may destroy the services below.
  std::atomic<bool> finished{false};
};

// What the worker is lent for its whole life. Each must outlive it, that is,
// stay alive until EngineControl::finished is true.
struct EngineServices {
  EngineHost& host;
  FileAccess& files;
  Clock& clock;
  EngineStages* stages = nullptr;  // naming and delivery; none: they do nothing
  FtpIntake* ftp = nullptr;        // none: FTP queues are skipped
  // Where problems that are not a file's delivery result are shown (a queue
  // that cannot be served, a file that cannot be fetched). None: not shown.
  VisualLog* visualLog = nullptr;
  // Where the state of each queue is kept for the window's and the service's
  // status views. None: nothing is recorded.
  QueueStatusBoard* status = nullptr;
  // Ends the browse wait early when a local input folder sees a file closed
  // or moved in. None: the browse interval alone decides.
  FolderWatcher* watcher = nullptr;
  // Beaten from the worker's own waits and copies. None: no signs of life.
  Heartbeat* heartbeat = nullptr;
  // Where the counters of the metrics endpoint are kept. None: not counted.
  QueueMetrics* metrics = nullptr;
};

// The worker thread that does all the file work: it waits the browse interval
// in ten slices, then makes a pass over the enabled queues of the table.
class Trenamethread {
 public:
  static constexpr int kBrowseSlices = 10;
  static constexpr int kStableSlices = 10;
  static constexpr int kSlotPauseMs = 100;

  Trenamethread(EngineServices services, std::shared_ptr<EngineControl> control);
  Trenamethread(const Trenamethread&) = delete;
  Trenamethread& operator=(const Trenamethread&) = delete;

  // Makes a worker and starts it at once. The worker owns itself and is
  // freed when its body returns; the host keeps only the returned control.
  static std::shared_ptr<EngineControl> Start(EngineServices services);

  // The thread body: polling cycles until `stop` is seen. Never throws.
  void Execute();
  // One pass over the queue table. The files of every local queue are found
  // first, in table order, so that all of them wait one stable time together;
  // then each queue in turn has its files checked, named and delivered. An
  // FTP queue keeps its whole pass, with its own stable wait, in its turn.
  // An error that escapes a queue's pass ends that queue's pass only: it is
  // reported (ReportProblem, once per cause) and the next queue is served.
  // Answers the first such error.
  Status ScanQueues();
  // The pass of the queue in `slot` as it stands now, with a stable wait of
  // its own.
  Status ProcessQueue(int slot);

  // Before each stage: not stopped, switched on, the queue still enabled and
  // files to work on.
  bool Guard(const PassContext& pass) const;
  // Between the files of a stage: not stopped, switched on, queue enabled.
  bool KeepGoing(const PassContext& pass) const;
  // `Enabled` of the pass's queue as the table holds it now, wherever the
  // queue has moved; false once it has been deleted.
  bool QueueEnabled(const PassContext& pass) const;
  // Edits the pass's own queue wherever it now stands; false (and nothing
  // written) when it is no longer in the table.
  bool UpdateQueue(const PassContext& pass, const std::function<void(QueueRecord&)>& edit);

  // Tells the operator of a problem of the pass's queue: a visual log row
  // (status 2) naming the queue, with `comment` and the `reason` behind it.
  // `inputName` is the file concerned, or empty for the queue as a whole.
  // Reported once per change: the same file (or queue) with the same comment
  // and reason stays quiet in later passes until ClearProblem or a new cause.
  void ReportProblem(const PassContext& pass, std::string_view inputName, std::string_view comment,
                     std::string_view reason);
  // Forgets a reported problem of the file (or, with an empty name, of the
  // queue), so that it is reported again should it come back.
  void ClearProblem(const PassContext& pass, std::string_view inputName);
  // Tells the operator that a trouble of the queue reported before is over
  // (an FTP server back): a row among the problems, with status 1.
  void ReportRecovery(const PassContext& pass, std::string_view comment);
  // Counts the delivery result of a file on the status board; a failure is
  // the queue's last failure there as "comment: reason".
  void ReportResult(const PassContext& pass, bool success, std::string_view comment,
                    std::string_view reason);
  // The connection state of an FTP queue for the status board: "connected to
  // host:port", "not connected" or the last connection error.
  void ReportFtpConnection(std::uint64_t uid, std::string_view text);
  // The metrics' counters, or none.
  QueueMetrics* metrics() const { return services_.metrics; }

  bool StopRequested() const { return control_->stop.load(std::memory_order_acquire); }

  EngineHost& host() const { return services_.host; }
  FileAccess& files() const { return services_.files; }
  Clock& clock() const { return services_.clock; }
  QueueStatusBoard* status() const { return services_.status; }

  // For name resolution: the current queue's Splitpdf, and the page number
  // last read, kept across files, queues and cycles.
  bool splitpages = false;
  std::int32_t currentpage = 0;

 private:
  // One queue's share of a pass: begun by its discovery, ended in its turn.
  struct Turn {
    PassContext pass;
    bool begun = false;    // told to the status board, which must hear its end
    bool usable = false;   // passed the pre-check
    std::string unusable;  // why the pre-check refused it, for the status board
    Status status;         // what escaped the queue's stages
    std::chrono::steady_clock::time_point started;  // of the pass, for its duration
  };

  void Cycle();
  // The watcher follows the input folders of the enabled local queues.
  void WatchInputFolders();
  // An event in a watched folder since the browse wait began.
  bool FolderEvent();
  // Forgets the reported problems of the pass's files that have left its
  // input folder, and those of queues no longer in the table.
  void ForgetGoneProblems(const PassContext& pass);
  void ForgetDeletedQueues();
  void ReportProblem(std::uint64_t uid, std::string_view queueName, std::string_view inputName,
                     std::string_view comment, std::string_view reason);
  // Pre-check, discovery and ordering of the turn's queue.
  Status Discover(Turn& turn);
  // Stability check, naming and delivery of files that have waited.
  Status Finish(PassContext& pass);
  // Holds back the stable files that are not complete yet (ReadinessGate)
  // and tells the status board what waits and why.
  void HoldUnready(PassContext& pass);
  // A whole pass of one queue with a stable wait of its own.
  Status ProcessRecord(Turn& turn);
  // The status board hears that the turn's pass begins, or how it ended;
  // `first` keeps the first error of the whole pass over the table.
  void BeginTurn(Turn& turn);
  void EndTurn(Turn& turn, Status& first);
  // Runs a stage of a turn, turning what it throws into its error.
  template <typename Stage>
  Status Guarded(Stage&& stage);
  // The stable time in ten slices, shared by every pass given: it ends early
  // only once none of them may go on.
  void StableWait(const std::vector<PassContext*>& passes);
  // Where the pass's queue stands now, for its icon; 0 once deleted.
  int CurrentSlot(const PassContext& pass) const;
  void ShowIcon(int slot, QueueIcon icon);
  // Tells the host that the status board changed; a host that fails at it
  // changes nothing about the files.
  void StatusChanged();
  void SetWaiting(const PassContext& pass, int files, int secondsLeft);
  int BrowseTime() const;
  int StableTime() const;

  EngineServices services_;
  std::shared_ptr<EngineControl> control_;
  int progress_ = 0;    // the cycle progress position last sent
  bool woken_ = false;  // a folder event ended this cycle's browse wait
  // The last problem reported per queue identity and file name (empty name:
  // the queue itself), as "comment\nreason". Touched by the worker only.
  std::map<std::pair<std::uint64_t, std::string>, std::string> problems_;
  ReadinessGate readiness_;
};

}  // namespace zf
