#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/configpaths.h"
#include "config/datetimepattern.h"
#include "config/queuefile.h"
#include "configlock.h"
#include "configuration.h"
#include "engine/enginehost.h"
#include "engine/queuemetrics.h"
#include "engine/queuestatus.h"
#include "engine/renamethread.h"
#include "exprlib/loadedexpressionlibrary.h"
#include "log/visuallog.h"
#include "platform/clock.h"
#include "platform/fileaccess.h"
#include "platform/folderwatcher.h"
#include "platform/heartbeat.h"
#include "platform/httpresponder.h"
#include "statussocket.h"

namespace zf {
class StandardStages;
class FtpStages;
class LogFileWriter;
}  // namespace zf

namespace zf::app {

// The start-up and shutdown that the window and the headless service share.
// Each face calls the steps in this order and adds only what it shows: the
// window its controls and message boxes, the service its terminal lines.
//
//   LockConfiguration, MakeFtpClients, LoadExpressionLibrary, LoadConfiguration,
//   RemoveLeftovers, RenewLogFiles, StartWorker, StartMetrics ... RequestStop,
//   Finished, WriteCloseState.
//
// Only the holder of the configuration's lock runs an engine: without it the
// clean-up, the log renewal and the worker do nothing (a window beside the
// running service is a configuration editor).
//
// Whatever way the owner goes, the destructor stops the worker and waits
// until it has finished before anything lent to it is freed.
class ProgramCore {
 public:
  explicit ProgramCore(ConfigPaths paths);
  ~ProgramCore();
  ProgramCore(const ProgramCore&) = delete;
  ProgramCore& operator=(const ProgramCore&) = delete;

  // Where the expression library is looked for; empty (the default): the
  // program's own folder. For tests of other libraries.
  void SetLibraryFolder(std::string folder) { libraryFolder_ = std::move(folder); }

  // Takes the configuration folder's lock for the rest of the run (once).
  const ConfigLock& LockConfiguration();
  // Ours: this process may run the engine on the configuration.
  bool OwnsConfiguration() const { return lock_ && lock_->held(); }
  const ConfigLock* lock() const { return lock_.get(); }

  // One FTP client for each of the table's slots, kept for the whole run.
  void MakeFtpClients();
  // The expression library from the program's folder; each missing entry
  // point is told to `messages`, and start-up goes on.
  void LoadExpressionLibrary(LoadMessageSink& messages);
  // The queue table, the general settings and their working copies; the
  // on/off switch from `autostart`. Answers the texts for the operator.
  std::vector<std::string> LoadConfiguration();
  // The queue file was replaced or written since it was last loaded (by an
  // editor beside the running engine, or by hand).
  bool QueueFileChanged() const;
  // Loads the queue table again; a queue that stays keeps its identity and
  // the later of both log renewal times. Answers the loader's warnings.
  std::vector<std::string> ReloadQueueFile();

  // Our temporary files a crash left in every folder we write to (output,
  // error, FTP temporary, log and configuration folders) and the staging
  // links of splits. Answers how many went.
  int RemoveLeftovers();
  // The log files of queues that start a new one with every start.
  void RenewLogFiles();
  // The visual log (results and problems go to `sink` on the worker's
  // thread), the stages and the worker, which starts at once.
  void StartWorker(EngineHost& host, VisualLogSink sink, RegionalSettings regional);

  // Signs of life from the worker's own loops (a supervisor's watchdog);
  // set before StartWorker. None: no signs.
  void SetHeartbeat(Heartbeat* heartbeat) { heartbeat_ = heartbeat; }

  // Why `zentrafold --status` cannot reach this run; empty when it can.
  const std::string& statusSocketError() const { return statusSocketError_; }
  // The metrics endpoint when `metricsport` is set (once, with the worker).
  // Answers the text for the operator when it cannot listen; the engine
  // serves all the same.
  std::vector<std::string> StartMetrics();
  // The port it listens on, 0 for none.
  int MetricsPort() const { return metricsResponder_ ? metricsResponder_->port() : 0; }

  bool WorkerStarted() const { return control_ != nullptr; }
  // The close handshake: ask the worker to stop, then see whether it has.
  void RequestStop();
  bool Finished() const;
  // Each queue's lastlogrenew and the window layout, into the queue file.
  Status WriteCloseState(const WindowLayout& layout);
  // The layout as the queue file holds it (the designed size where it has
  // none), for a face without a window to write back unchanged.
  WindowLayout StoredLayout() const;

  Configuration& configuration() { return config_; }
  QueueTable& table() { return config_.table(); }
  WorkingSettings& working() { return config_.working(); }
  const ConfigPaths& paths() const { return config_.paths(); }
  ExpressionLibrary* library() { return library_.get(); }
  const std::string& libraryError() const { return libraryError_; }
  Clock& clock() { return clock_; }
  // Per queue: state, today's results, what waits, the last failure.
  const QueueStatusBoard& status() const { return status_; }
  std::vector<QueueStatus> StatusSnapshot() { return status_.Snapshot(table(), clock_.Now()); }

 private:
  // The queue file as last loaded: device, inode, size, change time.
  struct FileStamp {
    unsigned long long device = 0, inode = 0;
    long long size = -1, seconds = 0, nanoseconds = 0;
    bool operator==(const FileStamp&) const = default;
  };
  FileStamp QueueFileStamp() const;

  Configuration config_;
  // Released last, once the worker has finished.
  std::unique_ptr<ConfigLock> lock_;
  FileStamp loaded_;
  SystemClock clock_;
  SystemFileAccess files_;
  std::unique_ptr<LoadedExpressionLibrary> library_;
  std::string libraryError_;
  std::string libraryFolder_;
  std::unique_ptr<LogFileWriter> logWriter_;
  std::unique_ptr<VisualLog> visualLog_;
  std::unique_ptr<StandardStages> stages_;
  std::unique_ptr<FtpStages> ftp_;
  QueueStatusBoard status_;
  std::unique_ptr<FolderWatcher> watcher_;
  Heartbeat* heartbeat_ = nullptr;
  QueueMetrics metrics_;
  std::shared_ptr<EngineControl> control_;
  std::string statusSocketError_;
  // Stopped before the worker: it reads the board and the table.
  std::unique_ptr<HttpResponder> metricsResponder_;
  // Answers `--status` from a thread of its own; goes first, while the
  // board and table it reads are still there.
  std::unique_ptr<StatusServer> statusServer_;
};

}  // namespace zf::app
