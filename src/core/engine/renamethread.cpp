#include "renamethread.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <iterator>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "config/ftptempfolder.h"
#include "engine/discovery.h"
#include "platform/paths.h"
#include "platform/threadname.h"

namespace zf {
namespace {

// The settings dialog keeps both times within 1..1000 seconds; a value from
// elsewhere is held to that range, so 0 cannot make the engine spin.
int ClampSeconds(int seconds) {
  return std::clamp(seconds, 1, 1000);
}

Status EscapedError(const char* what) {
  return Status::Error(std::string("A stage failed: ") + what);
}

std::string NotServed(const QueueRecord& queue) {
  return "Queue \"" + queue.name + "\" not served";
}

bool FolderMissing(FileAccess& files, const std::string& folder) {
  try {
    return folder.empty() || !files.DirectoryExists(ExcludeTrailingPathDelimiter(folder));
  } catch (...) {
    return true;
  }
}

// Why the pre-check refused a queue, for the status board. The pre-check
// stays out of the logs (it fails in every cycle while a share is away), so
// this is where an operator learns why the queue's files do not move.
std::string UnusableReason(const QueueRecord& q, FileAccess& files) {
  std::vector<std::string> missing;
  if (q.FTPuse) {
    missing.push_back("the FTP server cannot be used");
  } else if (FolderMissing(files, q.Inputfolder)) {
    missing.push_back("the input folder \"" + q.Inputfolder + "\" cannot be found");
  }
  if (FolderMissing(files, q.Outputfolder)) {
    missing.push_back("the output folder \"" + q.Outputfolder + "\" cannot be found");
  }
  if (!q.Errorfolder.empty() && FolderMissing(files, q.Errorfolder)) {
    missing.push_back("the error folder \"" + q.Errorfolder + "\" cannot be found");
  }
  std::string text;
  for (const std::string& m : missing) text += (text.empty() ? "" : "; ") + m;
  return text.empty() ? std::string("a folder cannot be used") : text;
}

}  // namespace

Trenamethread::Trenamethread(EngineServices services, std::shared_ptr<EngineControl> control)
    : services_(services), control_(std::move(control)) {
  if (!control_) throw std::invalid_argument("Trenamethread needs its control");
}

std::shared_ptr<EngineControl> Trenamethread::Start(EngineServices services) {
  auto control = std::make_shared<EngineControl>();
  auto engine = std::make_unique<Trenamethread>(services, control);
  std::thread([engine = std::move(engine), control]() mutable {
    engine->Execute();
    // Free the worker before saying so: once `finished` is seen, nothing of
    // the worker runs that could still reach the host's objects.
    engine.reset();
    control->finished.store(true, std::memory_order_release);
  }).detach();
  return control;
}

int Trenamethread::BrowseTime() const {
  return ClampSeconds(host().BrowseTime());
}
int Trenamethread::StableTime() const {
  return ClampSeconds(host().StableTime());
}

void Trenamethread::Execute() {
  NameThisThread("zf-worker");
  SetThreadHeartbeat(services_.heartbeat);
  if (services_.stages != nullptr) {
    try {
      services_.stages->PrepareThread();
    } catch (...) {
    }
  }
  do {
    try {
      Cycle();
    } catch (...) {
      // Nothing but the stop request ends the worker.
    }
  } while (!StopRequested());
  if (services_.stages != nullptr) {
    try {
      services_.stages->ReleaseThread();
    } catch (...) {
    }
  }
  SetThreadHeartbeat(nullptr);
}

void Trenamethread::WatchInputFolders() {
  std::vector<std::string> folders;
  const QueueTable::State state = host().Queues().Snapshot();
  for (int i = 0; i < state.Nfolders; ++i) {
    const QueueRecord& q = *state.slots[static_cast<std::size_t>(i)];
    if (q.Enabled && !q.FTPuse && !q.Inputfolder.empty()) {
      folders.push_back(ExcludeTrailingPathDelimiter(q.Inputfolder));
    }
  }
  services_.watcher->Watch(folders);
}

bool Trenamethread::FolderEvent() {
  if (!woken_ && services_.watcher != nullptr) woken_ = services_.watcher->TakeEvents();
  return woken_;
}

void Trenamethread::Cycle() {
  Beat();
  // Events that came during the last pass count: a file closed while other
  // files were delivered is looked at straight away.
  woken_ = false;
  if (services_.watcher != nullptr) {
    try {
      WatchInputFolders();
    } catch (...) {
      // Listing still finds every file; only the early start is lost.
    }
  }
  if (!StopRequested()) {
    progress_ = 0;
    try {
      host().CycleProgress(0);
    } catch (...) {
      // As in the slices below: the wait must still come, or a failing window
      // would make the worker spin.
    }
  }
  int slice = 0;
  do {
    // A slice of a long browse time lasts up to 100 seconds; a stop must not
    // wait for it. (A switch-off need not wake it: nothing runs anyway, and
    // waking would turn the switched-off wait into a spin.)
    if (!StopRequested() && !FolderEvent()) {
      clock().SleepMsUnless(BrowseTime() * 1000 / kBrowseSlices,
                            [this] { return StopRequested() || FolderEvent(); });
    }
    try {
      if (host().SwitchedOn()) {
        progress_ = std::min(progress_ + 1, EngineHost::kCycleProgressMax);
        host().CycleProgress(progress_);
      } else if (progress_ > 0) {
        progress_ = 0;
        host().CycleProgress(0);
      }
    } catch (...) {
      // A window that cannot show the progress does not stop the wait.
    }
    ++slice;
  } while (slice < kBrowseSlices && !StopRequested() && !woken_);
  if (!StopRequested() && host().SwitchedOn()) {
    progress_ = EngineHost::kCycleProgressMax;
    host().CycleProgressFull();
    (void)ScanQueues();  // a failing queue was reported and passed over
  }
}

Status Trenamethread::ScanQueues() {
  QueueTable& table = host().Queues();
  const int n = table.Nfolders();
  // Deleting a queue while the pass runs moves the later queues down; a queue
  // is still served at most once per pass.
  std::vector<std::uint64_t> served;
  // The queues with a share in this pass, in table order: local queues with
  // files found, and FTP queues, whose pass all happens in their turn.
  std::vector<std::unique_ptr<Turn>> turns;
  Status first;  // the first failure of a queue's pass, for the caller

  // Every local queue's files are found before anyone waits, so that one
  // stable time serves them all: a pass over many busy queues takes one
  // stable time, not one per queue.
  for (int i = 1; i <= n && !StopRequested() && host().SwitchedOn(); ++i) {
    if (i > table.Nfolders()) break;
    const RecordPtr queue = table.Record(i);
    const bool fresh =
        queue->uid == 0 || std::find(served.begin(), served.end(), queue->uid) == served.end();
    if (!fresh || !queue->Enabled) continue;
    if (queue->uid != 0) served.push_back(queue->uid);
    auto turn = std::make_unique<Turn>();
    turn->pass.slot = i;
    turn->pass.uid = queue->uid;
    turn->pass.queue = queue;
    if (queue->FTPuse) {
      turns.push_back(std::move(turn));
      continue;
    }
    BeginTurn(*turn);
    turn->status = Guarded([&] { return Discover(*turn); });
    if (turn->status.ok() && turn->usable && Guard(turn->pass)) {
      turns.push_back(std::move(turn));
    } else {
      // No file to deliver, but a marker may stand alone (one the search
      // mask does not list).
      if (turn->status.ok() && turn->usable && KeepGoing(turn->pass) && !queue->Readyfile.empty()) {
        turn->status = Guarded([&] {
          HoldUnready(turn->pass);
          return Status::Ok();
        });
      }
      EndTurn(*turn, first);  // nothing to wait for
    }
  }

  std::vector<PassContext*> waiting;
  for (const auto& turn : turns) {
    if (!turn->pass.queue->FTPuse) waiting.push_back(&turn->pass);
  }
  if (!waiting.empty()) StableWait(waiting);

  for (const auto& turn : turns) {
    Turn& t = *turn;
    if (t.pass.queue->FTPuse) {
      // Served as it stands now, like any queue whose turn comes.
      if (StopRequested() || !host().SwitchedOn() || !QueueEnabled(t.pass)) continue;
      const int slot = CurrentSlot(t.pass);
      if (slot == 0) continue;
      const RecordPtr now = table.Record(slot);
      if (t.pass.uid != 0 && now->uid != t.pass.uid) continue;  // deleted at this very moment
      t.pass.slot = slot;
      t.pass.queue = now;
      ShowIcon(slot, QueueIcon::kActive);
      // The pause keeps an FTP session apart from the work before it, as it
      // always has; its turn is otherwise the whole pass it always was.
      clock().SleepMsUnless(kSlotPauseMs, [this] { return StopRequested(); });
      BeginTurn(t);
      t.status = Guarded([&] { return ProcessRecord(t); });
      EndTurn(t, first);
      ShowIcon(slot, QueueIcon::kIdle);
      continue;
    }
    // A queue disabled or deleted during the wait, or a pass switched off or
    // stopped, ends here with nothing delivered.
    const int slot = CurrentSlot(t.pass);
    if (slot != 0 && Guard(t.pass)) {
      ShowIcon(slot, QueueIcon::kActive);
      t.status = Guarded([&] { return Finish(t.pass); });
      ShowIcon(slot, QueueIcon::kIdle);
    }
    EndTurn(t, first);
  }
  ForgetDeletedQueues();
  return first;
}

template <typename Stage>
Status Trenamethread::Guarded(Stage&& stage) {
  try {
    return stage();
  } catch (const std::exception& e) {
    return EscapedError(e.what());
  } catch (...) {
    return EscapedError("unknown error");
  }
}

void Trenamethread::BeginTurn(Turn& turn) {
  turn.begun = true;
  turn.started = std::chrono::steady_clock::now();
  if (services_.status == nullptr) return;
  services_.status->PassStarted(turn.pass.uid);
  StatusChanged();
}

void Trenamethread::EndTurn(Turn& turn, Status& first) {
  if (!turn.begun) return;
  const QueueRecord& queue = *turn.pass.queue;
  // One queue's trouble stays with that queue: it is reported (once per
  // cause) and the queues after it are served as usual.
  if (turn.status.ok()) {
    problems_.erase({queue.uid, std::string()});
    if (!turn.unusable.empty() && services_.status != nullptr) {
      services_.status->Problem(queue.uid, {}, NotServed(queue), turn.unusable, clock().Now());
    }
  } else {
    ReportProblem(queue.uid, queue.name, {}, NotServed(queue), turn.status.message());
    if (first.ok()) first = turn.status;
  }
  ForgetGoneProblems(turn.pass);
  if (services_.metrics != nullptr) {
    services_.metrics->PassEnded(
        queue.uid,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - turn.started).count());
  }
  if (services_.status != nullptr) {
    services_.status->PassEnded(queue.uid, clock().Now(),
                                !turn.status.ok() || !turn.unusable.empty());
    StatusChanged();
  }
}

void Trenamethread::ForgetGoneProblems(const PassContext& pass) {
  // A long run meets many files once; what is remembered of a file that has
  // left (delivered, removed by its sender, taken by an operator) would only
  // grow. A file still there or still listed keeps its entry, so it is not
  // told again; one that comes back later is told afresh, as a new file.
  if (pass.inputFolder.empty()) return;
  std::set<std::string_view> listed;
  for (int k = 1; k <= pass.files.count(); ++k) listed.insert(pass.files.at(k).oldname);
  auto it = problems_.lower_bound({pass.uid, std::string()});
  while (it != problems_.end() && it->first.first == pass.uid) {
    const std::string& name = it->first.second;
    const bool gone = !name.empty() && !listed.contains(name) &&
                      files().Stat(pass.inputFolder + name).status().code() == ENOENT;
    it = gone ? problems_.erase(it) : std::next(it);
  }
}

void Trenamethread::ForgetDeletedQueues() {
  const QueueTable& table = host().Queues();
  for (auto it = problems_.begin(); it != problems_.end();) {
    const std::uint64_t uid = it->first.first;
    it = uid != 0 && table.SlotOf(uid) == 0 ? problems_.erase(it) : std::next(it);
  }
}

void Trenamethread::ShowIcon(int slot, QueueIcon icon) {
  try {
    host().QueueIconChanged(slot, icon);
    host().RefreshQueueList();
  } catch (...) {
    // A window that cannot show the icon changes nothing about the files, and
    // must not leave the queues after this one unserved.
  }
}

int Trenamethread::CurrentSlot(const PassContext& pass) const {
  if (pass.uid == 0) return pass.slot;
  return host().Queues().SlotOf(pass.uid);
}

Status Trenamethread::ProcessQueue(int slot) {
  QueueTable& table = host().Queues();
  if (slot < 1 || slot > table.Nfolders()) return Status::Ok();
  Turn turn;
  turn.pass.slot = slot;
  turn.pass.queue = table.Record(slot);
  turn.pass.uid = turn.pass.queue->uid;
  return ProcessRecord(turn);
}

Status Trenamethread::ProcessRecord(Turn& turn) {
  const Status status = Discover(turn);
  if (!status.ok() || !turn.usable) return status;
  PassContext& pass = turn.pass;
  if (Guard(pass)) StableWait({&pass});
  return Finish(pass);
}

Status Trenamethread::Discover(Turn& turn) {
  PassContext& pass = turn.pass;
  const QueueRecord& q = *pass.queue;
  FtpIntake* const ftp = services_.ftp;
  turn.usable = CheckQueue(q, files(), [&] { return ftp && ftp->PrepareFtp(*this, pass.queue); });
  if (!turn.usable) {
    if (services_.status != nullptr) turn.unusable = UnusableReason(q, files());
    return Status::Ok();
  }

  host().FtpProgress(0);
  pass.inputFolder = q.FTPuse ? FtpTempFolderOf(q) : IncludeTrailingPathDelimiter(q.Inputfolder);
  pass.outputFolder = IncludeTrailingPathDelimiter(q.Outputfolder);
  pass.errorFolder =
      q.Errorfolder.empty() ? std::string() : IncludeTrailingPathDelimiter(q.Errorfolder);

  const Status status =
      q.FTPuse ? ftp->ListRemote(*this, pass) : DiscoverFiles(files(), clock(), pass);
  if (!status.ok()) return status;
  // Local discovery gives the names it matched; the server's names here.
  if (q.FTPuse && q.Normalize) {
    for (int k = 1; k <= pass.files.count(); ++k) {
      FileEntry& e = pass.files.at(k);
      if (std::string nfc = NfcName(e.oldname); nfc != e.oldname) e.nfcname = std::move(nfc);
    }
  }
  if (Guard(pass)) OrderFiles(pass.files, [&] { return KeepGoing(pass); });
  return Status::Ok();
}

Status Trenamethread::Finish(PassContext& pass) {
  const QueueRecord& q = *pass.queue;
  // Naming reads it; other queues were discovered since this one.
  splitpages = q.Splitpdf;
  Status status;
  if (Guard(pass)) {
    if (q.FTPuse) {
      status = services_.ftp->FetchStable(*this, pass);
      if (!status.ok()) return status;
    } else {
      CheckStability(files(), clock(), pass, [&] { return KeepGoing(pass); });
    }
    HoldUnready(pass);
  }
  EngineStages* const stages = services_.stages;
  if (stages != nullptr && Guard(pass)) {
    status = stages->ResolveNames(*this, pass);
    if (!status.ok()) return status;
  }
  if (stages != nullptr && Guard(pass)) {
    status = stages->DeliverFiles(*this, pass);
    readiness_.RemoveMarkers(pass);
    if (!status.ok()) return status;
  }
  return Status::Ok();
}

void Trenamethread::HoldUnready(PassContext& pass) {
  // Stable is not yet complete: a PDF cut short, a file without its marker.
  std::string held = readiness_.Hold(files(), pass);
  if (pass.queue->FTPuse && services_.ftp != nullptr) {
    const std::string remote = services_.ftp->HeldOnServer(pass.uid);
    if (!remote.empty()) held += (held.empty() ? "" : "; ") + remote;
  }
  if (services_.status != nullptr && services_.status->WaitingReason(pass.uid, held)) {
    StatusChanged();
  }
  // What did not prove stable waits for a later pass.
  int waiting = 0;
  for (int k = 1; k <= pass.files.count(); ++k) waiting += pass.files.at(k).ready ? 0 : 1;
  SetWaiting(pass, waiting, 0);
}

void Trenamethread::StableWait(const std::vector<PassContext*>& passes) {
  const auto anyGoing = [&] {
    if (StopRequested() || !host().SwitchedOn()) return false;
    return std::any_of(passes.begin(), passes.end(),
                       [&](const PassContext* pass) { return QueueEnabled(*pass); });
  };
  int slice = 0;
  do {
    const int sliceMs = StableTime() * 1000 / kStableSlices;
    // Whole seconds, rounded up: "0 s left" would read as if nothing waited.
    const int secondsLeft = ((kStableSlices - slice) * sliceMs + 999) / 1000;
    if (services_.status != nullptr) {
      bool changed = false;
      for (const PassContext* pass : passes) {
        // A queue that left the wait keeps what it showed until its pass ends.
        if (QueueEnabled(*pass)) {
          changed =
              services_.status->Waiting(pass->uid, pass->files.count(), secondsLeft) || changed;
        }
      }
      // One notice for all the queues: the host is told of changes, not of each.
      if (changed) StatusChanged();
    }
    ++slice;
    clock().SleepMsUnless(sliceMs, [&] { return !anyGoing(); });
  } while (slice < kStableSlices && anyGoing());
}

void Trenamethread::SetWaiting(const PassContext& pass, int files, int secondsLeft) {
  if (services_.status == nullptr) return;
  if (services_.status->Waiting(pass.uid, files, secondsLeft)) StatusChanged();
}

void Trenamethread::StatusChanged() {
  try {
    host().QueueStatusChanged();
  } catch (...) {
    // The board itself is up to date; the window reads it at its next refresh.
  }
}

bool Trenamethread::KeepGoing(const PassContext& pass) const {
  return !StopRequested() && host().SwitchedOn() && QueueEnabled(pass);
}

bool Trenamethread::Guard(const PassContext& pass) const {
  return KeepGoing(pass) && pass.files.count() > 0;
}

bool Trenamethread::QueueEnabled(const PassContext& pass) const {
  const QueueTable& table = host().Queues();
  if (pass.uid == 0) {
    // A record without identity can only be judged by its slot.
    return pass.slot >= 1 && pass.slot <= table.Nfolders() && table.Record(pass.slot)->Enabled;
  }
  // The slot may change between the two reads when queues are deleted at that
  // very moment; the identity check catches it and the look-up is repeated.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int slot = table.SlotOf(pass.uid);
    if (slot == 0) return false;
    const RecordPtr record = table.Record(slot);
    if (record->uid == pass.uid) return record->Enabled;
  }
  const QueueTable::State state = table.Snapshot();
  for (int i = 0; i < state.Nfolders; ++i) {
    const RecordPtr& record = state.slots[static_cast<std::size_t>(i)];
    if (record->uid == pass.uid) return record->Enabled;
  }
  return false;
}

bool Trenamethread::UpdateQueue(const PassContext& pass,
                                const std::function<void(QueueRecord&)>& edit) {
  // Without an identity there is no telling whether the slot still holds the
  // same queue, so nothing is written.
  if (pass.uid == 0) return false;
  return host().Queues().UpdateQueue(pass.uid, edit);
}

void Trenamethread::ReportProblem(const PassContext& pass, std::string_view inputName,
                                  std::string_view comment, std::string_view reason) {
  ReportProblem(pass.uid, pass.queue ? std::string_view(pass.queue->name) : std::string_view(),
                inputName, comment, reason);
}

void Trenamethread::ReportProblem(std::uint64_t uid, std::string_view queueName,
                                  std::string_view inputName, std::string_view comment,
                                  std::string_view reason) {
  if (services_.status != nullptr) {
    // Before the once-per-cause filter: the board shows the latest time a
    // standing problem was met, not only the first.
    services_.status->Problem(uid, inputName, comment, reason, clock().Now());
    StatusChanged();
  }
  std::string text(comment);
  text.append("\n").append(reason);
  std::string& last = problems_[{uid, std::string(inputName)}];
  if (last == text) return;
  last = std::move(text);
  if (services_.visualLog == nullptr) return;
  VisualLogEntry entry;
  entry.inputName = inputName;
  entry.comment = comment;
  entry.reason = reason;
  entry.status = 2;
  entry.problem = true;
  entry.queue = queueName;
  services_.visualLog->AddVisualLogEntry(std::move(entry));
}

void Trenamethread::ClearProblem(const PassContext& pass, std::string_view inputName) {
  problems_.erase({pass.uid, std::string(inputName)});
}

void Trenamethread::ReportRecovery(const PassContext& pass, std::string_view comment) {
  problems_.erase({pass.uid, std::string()});
  if (services_.visualLog == nullptr) return;
  VisualLogEntry entry;
  entry.comment = comment;
  entry.status = 1;
  entry.problem = true;
  if (pass.queue) entry.queue = pass.queue->name;
  services_.visualLog->AddVisualLogEntry(std::move(entry));
}

void Trenamethread::ReportResult(const PassContext& pass, bool success, std::string_view comment,
                                 std::string_view reason) {
  if (services_.status == nullptr) return;
  services_.status->FileResult(pass.uid, success, comment, reason, clock().Now());
  StatusChanged();
}

void Trenamethread::ReportFtpConnection(std::uint64_t uid, std::string_view text) {
  if (services_.status == nullptr) return;
  if (services_.status->FtpConnection(uid, text)) StatusChanged();
}

}  // namespace zf
