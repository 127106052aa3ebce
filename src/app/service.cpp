#include "service.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
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
#include "programcore.h"
#include "servicehost.h"
#include "systemdnotify.h"
#include "writesteplog.h"

namespace zf::app {
namespace {

// How often the close handshake looks at `finished`, as the window's
// shutdown timer does.
constexpr long kHandshakeMs = 200;
// How often the queue file is looked at for an editor's saved changes.
constexpr long kWatchMs = 1000;

// The signals the service takes: SIGUSR1 asks for the status table, the
// others end the service. They are blocked in every thread (the threads made
// later inherit the mask) and taken by sigwait on the main thread, so no work
// at all happens in a signal handler.
sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGUSR1);
  return set;
}

// Waits up to `ms` for one of the stop signals; 0 when none came.
int WaitForStopSignal(const sigset_t& set, long ms) {
  const timespec timeout{ms / 1000, (ms % 1000) * 1000000L};
  const int signal = sigtimedwait(&set, nullptr, &timeout);
  return signal > 0 ? signal : 0;
}

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

void PrintStatusTable(ProgramCore& core, LinePrinter& err) {
  err.Push(FormatStatusTable(core.StatusSnapshot(), SystemRegionalSettings()));
}

// An editor beside the service saved the queue file: serve what it holds now.
void ReloadWhenChanged(ProgramCore& core, const ConfigPaths& paths, LinePrinter& err) {
  if (!core.QueueFileChanged()) return;
  for (const std::string& m : core.ReloadQueueFile()) err.Push("zentrafold: " + m);
  err.Push("zentrafold: " + paths.queueFile + " changed: reloaded " +
           std::to_string(core.table().Nfolders()) + " queue(s)");
}

// Stops the worker and waits until it has finished before the host and the
// printers it writes through go, whatever way the service leaves.
class StopWorkerFirst {
 public:
  explicit StopWorkerFirst(ProgramCore& core) : core_(core) {}
  ~StopWorkerFirst() {
    core_.RequestStop();
    while (!core_.Finished()) std::this_thread::sleep_for(std::chrono::milliseconds(kHandshakeMs));
  }
  StopWorkerFirst(const StopWorkerFirst&) = delete;
  StopWorkerFirst& operator=(const StopWorkerFirst&) = delete;

 private:
  ProgramCore& core_;
};

}  // namespace

int RunService(const CommandLine& cl) {
  const sigset_t stopSignals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A reader of the output that went away must not end the service.
  signal(SIGPIPE, SIG_IGN);
#ifdef ZF_STEP_LOG
  if (const char* steps = std::getenv("ZF_WRITE_STEP_LOG"); steps != nullptr && *steps != '\0') {
    if (!LogWriteStepsTo(steps)) PrintError(std::string("cannot log write steps to ") + steps);
  }
  {
    const char* delay = std::getenv("ZF_TEST_WRITE_DELAY_MS");
    const char* freeze = std::getenv("ZF_TEST_FREEZE_AT");
    if (delay != nullptr || freeze != nullptr) {
      HoldWriteSteps(delay != nullptr ? std::atoi(delay) : 0, freeze != nullptr ? freeze : "");
    }
  }
#endif

  const auto paths = ResolveConfigPaths(cl.configDir);
  if (!paths.ok()) {
    PrintError(paths.status().message());
    return 2;
  }

  // The start-up the window runs too; the service adds its terminal lines.
  ProgramCore core(*paths);
  if (const ConfigLock& lock = core.LockConfiguration(); !lock.held()) {
    PrintError(lock.Refusal());
    return kConfigurationInUse;
  }
  core.MakeFtpClients();
  StderrMessages messages;
  core.LoadExpressionLibrary(messages);
  if (!core.libraryError().empty()) PrintError(core.libraryError());
  for (const std::string& m : core.LoadConfiguration()) PrintError(m);
  // A started service should serve, whatever `autostart` says.
  core.working().switchedOn = true;
  DescribeQueues(core.table(), *paths, core.working());
  if (const int removed = core.RemoveLeftovers(); removed > 0) {
    PrintError("removed " + std::to_string(removed) + " unfinished file" +
               (removed == 1 ? "" : "s") + " left by an earlier run");
  }
  core.RenewLogFiles();

  LinePrinter out(stdout);
  LinePrinter err(stderr);
  ServiceHost::TextSink verbose;
  if (cl.verbose) verbose = [&err](std::string line) { err.Push("zentrafold: " + line); };
  ServiceHost host(core.table(), core.working(), verbose);
  SystemdNotifier manager;
  core.SetHeartbeat(&manager);
  // Under the journal every line carries its priority, so that the failures
  // can be asked for alone.
  const bool outJournal = IsJournalStream(stdout);
  const bool errJournal = IsJournalStream(stderr);
  // Results go to the standard output, problems of queues, files and log
  // files to the standard error.
  core.StartWorker(
      host,
      [&out, &err, outJournal, errJournal](VisualLogEntry entry) {
        if (entry.problem) {
          err.Push((errJournal ? JournalPriority(entry) : std::string()) +
                   FormatProblemLine(entry));
        } else {
          out.Push((outJournal ? JournalPriority(entry) : std::string()) + FormatLogLine(entry));
        }
      },
      SystemRegionalSettings());
  const StopWorkerFirst stopFirst(core);
  if (!core.statusSocketError().empty()) PrintError(core.statusSocketError());
  for (const std::string& m : core.StartMetrics()) PrintError(m);
  if (const int port = core.MetricsPort(); port != 0) {
    PrintError("metrics on http://" + core.configuration().settings().metricsaddress + ":" +
               std::to_string(port) + "/metrics");
  }
  manager.Status(ServiceSummary(core.StatusSnapshot()));
  manager.Ready();

  // The close handshake: ask the worker to stop, then wait until it has
  // finished its current step and freed itself. There is no time limit, as
  // a copy or a split in progress must complete.
  // SIGUSR1 asks for the queue status table on the standard error; any
  // other signal of the set stops the service. Meanwhile the queue file is
  // watched for changes saved by an editor.
  int first = 0;
  for (;;) {
    first = WaitForStopSignal(stopSignals, kWatchMs);
    if (first == 0) {
      ReloadWhenChanged(core, *paths, err);
      manager.Status(ServiceSummary(core.StatusSnapshot()));
    } else if (first == SIGUSR1) {
      PrintStatusTable(core, err);
    } else {
      break;
    }
  }
  err.Push(std::string("zentrafold: ") + strsignal(first) +
           ": stopping after the engine's current step");
  manager.Stopping();
  core.RequestStop();
  while (!core.Finished()) {
    if (const int again = WaitForStopSignal(stopSignals, kHandshakeMs); again == SIGUSR1) {
      PrintStatusTable(core, err);
    } else if (again != 0) {
      err.Push("zentrafold: still waiting for the engine to finish its current step");
    }
  }

  int status = 0;
  // Without queues and without a file there is nothing to keep; a file is
  // not made just to hold a window layout.
  if (core.table().Nfolders() > 0 || SystemFileAccess().FileExists(paths->queueFile)) {
    if (Status st = core.WriteCloseState(core.StoredLayout()); !st.ok()) {
      err.Push("zentrafold: " + st.message());
      status = 1;
    }
  }
  out.Finish();
  err.Finish();
  return status;
}

}  // namespace zf::app
