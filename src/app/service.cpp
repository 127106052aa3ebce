#include "service.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/inifile.h"
#include "config/queuefile.h"
#include "config/systemregional.h"
#include "configuration.h"
#include "engine/delivery.h"
#include "engine/renamethread.h"
#include "engine/standardstages.h"
#include "exprlib/loadedexpressionlibrary.h"
#include "ftp/ftpstages.h"
#include "lineprinter.h"
#include "log/logfile.h"
#include "log/visuallog.h"
#include "platform/clock.h"
#include "platform/fileaccess.h"
#include "servicehost.h"

namespace zf::app {
namespace {

// How often the close handshake looks at `finished`, as the window's
// shutdown timer does.
constexpr long kHandshakeMs = 200;

// The signals that end the service. They are blocked in every thread (the
// threads made later inherit the mask) and taken by sigwait on the main
// thread, so no work at all happens in a signal handler.
sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

int WaitForStopSignal(const sigset_t& set) {
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) == 0) return signal;
  }
}

// Waits up to `ms` for one of the stop signals; 0 when none came.
int WaitForStopSignal(const sigset_t& set, long ms) {
  const timespec timeout{ms / 1000, (ms % 1000) * 1000000L};
  const int signal = sigtimedwait(&set, nullptr, &timeout);
  return signal > 0 ? signal : 0;
}

// The layout keys as the file holds them, so that writing the close-time
// state changes nothing of a window that did not run. Where the file has no
// size, the window's designed size stands in, as the window would use it;
// the position is never read back by the window.
WindowLayout LayoutAsStored(const std::string& queueFile) {
  const IniDocument doc = ReadIniFile(queueFile);
  WindowLayout layout;
  for (int c = 1; c <= 3; ++c) {
    const std::string section = "Columns" + std::to_string(c);
    if (!doc.Value(section, "width")) break;
    layout.columnWidths.push_back(doc.ReadInteger(section, "width", 0));
  }
  layout.width = doc.ReadInteger("form", "width", 595);
  layout.height = doc.ReadInteger("form", "height", 427);
  layout.left = doc.ReadInteger("form", "left", 0);
  layout.top = doc.ReadInteger("form", "top", 0);
  return layout;
}

// Whatever way RunService is left once the worker runs, the objects lent to
// the worker are destroyed only after it has finished.
class WorkerGuard {
 public:
  explicit WorkerGuard(std::shared_ptr<EngineControl> control) : control_(std::move(control)) {}
  ~WorkerGuard() {
    control_->stop.store(true, std::memory_order_release);
    while (!control_->finished.load(std::memory_order_acquire)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kHandshakeMs));
    }
  }
  WorkerGuard(const WorkerGuard&) = delete;
  WorkerGuard& operator=(const WorkerGuard&) = delete;

 private:
  std::shared_ptr<EngineControl> control_;
};

void DescribeQueues(QueueTable& table, const ConfigPaths& paths, const WorkingSettings& working) {
  const int n = table.Nfolders();
  PrintError("serving " + std::to_string(n) + " queue(s) from " + paths.queueFile +
             "; browse time " + std::to_string(working.browsetime.load()) + " s, stable time " +
             std::to_string(working.stabletime.load()) + " s");
  if (n == 0) PrintError("no queues are configured: nothing will be served");
  for (int slot = 1; slot <= n; ++slot) {
    const RecordPtr q = table.Record(slot);
    std::string line = "queue " + std::to_string(slot) + " '" + q->name + "': ";
    if (q->FTPuse) {
      // The server, never the log-in: these lines end up in system logs.
      line += "ftp://" + q->FTPhost + ":" + std::to_string(q->FTPPort) + "/" + q->FTPpath +
              " via " + q->FTPTemppath;
    } else {
      line += q->Inputfolder;
    }
    line += " -> " + q->Outputfolder;
    if (!q->Enabled) line += " (not enabled at start: not served)";
    PrintError(line);
  }
}

}  // namespace

int RunService(const CommandLine& cl) {
  const sigset_t stopSignals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A reader of the output that went away must not end the service.
  signal(SIGPIPE, SIG_IGN);

  const auto paths = ResolveConfigPaths(cl.configDir);
  if (!paths.ok()) {
    PrintError(paths.status().message());
    return 2;
  }

  // The start-up sequence: one FTP client per slot, the expression library,
  // the queue table, the general settings and their working copies.
  Configuration config(*paths);
  QueueTable& table = config.table();
  MakeFtpSessions(table);
  StderrMessages messages;
  auto library = LoadedExpressionLibrary::LoadFromProgramFolder(messages);
  if (!library->load_error().empty()) PrintError(library->load_error());
  for (const std::string& m : config.Load()) PrintError(m);
  WorkingSettings& working = config.working();
  working.switchedOn = true;
  DescribeQueues(table, *paths, working);

  // Copies a crash interrupted are removed before anything can mistake them
  // for files; then the log files that start afresh with every start.
  // Every folder we write to is cleared of our temporary files: copies,
  // pages, fetches, log and configuration saves, and split staging links.
  int removed = RemoveDeliveryLeftovers(table);
  if (const Result<int> logs = RemoveLogLeftovers(table); logs.ok()) removed += *logs;
  if (const Result<int> configs = RemoveConfigLeftovers(*paths); configs.ok()) removed += *configs;
  if (removed > 0) {
    PrintError("removed " + std::to_string(removed) + " unfinished file" +
               (removed == 1 ? "" : "s") + " left by an earlier run");
  }
  SystemClock clock;
  LogFileWriter logWriter(table, clock, working.LogFormat());
  logWriter.RenewLogFilesOnStart();

  LinePrinter out(stdout);
  LinePrinter err(stderr);
  // Results go to the standard output, problems of queues, files and log
  // files to the standard error.
  VisualLog visualLog(clock, SystemRegionalSettings(), [&out, &err](VisualLogEntry entry) {
    if (entry.problem) {
      err.Push(FormatProblemLine(entry));
    } else {
      out.Push(FormatLogLine(entry));
    }
  });
  StandardStages stages(*library, visualLog, logWriter, clock);
  FtpStages ftp(working);
  SystemFileAccess files;
  ServiceHost::TextSink verbose;
  if (cl.verbose) verbose = [&err](std::string line) { err.Push("zentrafold: " + line); };
  ServiceHost host(table, working, verbose);

  const std::shared_ptr<EngineControl> control =
      Trenamethread::Start(EngineServices{host, files, clock, &stages, &ftp, &visualLog});
  const WorkerGuard guard(control);

  // The close handshake: ask the worker to stop, then wait until it has
  // finished its current step and freed itself. There is no time limit, as
  // a copy or a split in progress must complete.
  const int first = WaitForStopSignal(stopSignals);
  err.Push(std::string("zentrafold: ") + strsignal(first) +
           ": stopping after the engine's current step");
  control->stop.store(true, std::memory_order_release);
  while (!control->finished.load(std::memory_order_acquire)) {
    if (WaitForStopSignal(stopSignals, kHandshakeMs) != 0) {
      err.Push("zentrafold: still waiting for the engine to finish its current step");
    }
  }

  int status = 0;
  const QueueConfigFile queueFile(paths->queueFile);
  // Without queues and without a file there is nothing to keep; a file is
  // not made just to hold a window layout.
  if (table.Nfolders() > 0 || files.FileExists(paths->queueFile)) {
    if (Status st = queueFile.WriteCloseState(table, LayoutAsStored(paths->queueFile)); !st.ok()) {
      err.Push("zentrafold: " + st.message());
      status = 1;
    }
  }
  out.Finish();
  err.Finish();
  return status;
}

}  // namespace zf::app
