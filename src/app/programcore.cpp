#include "programcore.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <thread>
#include <utility>

#include "config/inifile.h"
#include "engine/delivery.h"
#include "engine/standardstages.h"
#include "ftp/ftpleftovers.h"
#include "ftp/ftpstages.h"
#include "ftp/owedjournal.h"
#include "lineprinter.h"
#include "log/logfile.h"

namespace zf::app {
namespace {

// The window's designed size, which stands in where the file has none.
constexpr int kDesignedWidth = 595;
constexpr int kDesignedHeight = 427;
constexpr auto kHandshake = std::chrono::milliseconds(200);

}  // namespace

ProgramCore::ProgramCore(ConfigPaths paths) : config_(std::move(paths)) {}

ProgramCore::~ProgramCore() {
  metricsResponder_.reset();
  if (!control_) return;
  control_->stop.store(true, std::memory_order_release);
  while (!control_->finished.load(std::memory_order_acquire))
    std::this_thread::sleep_for(kHandshake);
}

const ConfigLock& ProgramCore::LockConfiguration() {
  if (!lock_) {
    const std::string& file = paths().queueFile;
    const std::size_t slash = file.rfind('/');
    lock_ = std::make_unique<ConfigLock>(slash == 0 ? std::string("/") : file.substr(0, slash));
  }
  return *lock_;
}

void ProgramCore::MakeFtpClients() {
  MakeFtpSessions(table());
}

void ProgramCore::LoadExpressionLibrary(LoadMessageSink& messages) {
  library_ = libraryFolder_.empty() ? LoadedExpressionLibrary::LoadFromProgramFolder(messages)
                                    : LoadedExpressionLibrary::Load(libraryFolder_, messages);
  libraryError_ = library_->load_error();
}

std::vector<std::string> ProgramCore::LoadConfiguration() {
  loaded_ = QueueFileStamp();
  std::vector<std::string> texts = config_.Load();
  working().switchedOn = config_.settings().autostart;
  // One text for all of them: the window shows each text in a box of its own.
  std::string ftp;
  const QueueTable::State state = table().Snapshot();
  for (const FtpFolderFinding& f : CheckFtpTempFolders(state)) {
    const QueueRecord& q = *state.slots[static_cast<std::size_t>(f.slot - 1)];
    ftp += (ftp.empty() ? "" : "\n") + ("queue " + std::to_string(f.slot) + " '" + q.name + "': ") +
           f.text;
  }
  if (!ftp.empty()) texts.push_back(ftp);
  return texts;
}

ProgramCore::FileStamp ProgramCore::QueueFileStamp() const {
  struct stat st {};
  if (::stat(paths().queueFile.c_str(), &st) != 0) return {};
  return {st.st_dev, st.st_ino, st.st_size, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

bool ProgramCore::QueueFileChanged() const {
  return QueueFileStamp() != loaded_;
}

std::vector<std::string> ProgramCore::ReloadQueueFile() {
  std::map<std::uint64_t, TDateTime> renewed;
  const QueueTable::State before = table().Snapshot();
  for (int i = 0; i < before.Nfolders; ++i)
    renewed[before.slots[static_cast<std::size_t>(i)]->uid] =
        before.slots[static_cast<std::size_t>(i)]->lastlogrenew;
  loaded_ = QueueFileStamp();
  std::vector<std::string> texts = QueueConfigFile(paths().queueFile).Load(table());
  // The file holds the renewal times of our last close, the table today's.
  for (const auto& [uid, when] : renewed) {
    table().UpdateQueue(uid, [when](QueueRecord& r) {
      if (ToMilliseconds(r.lastlogrenew) < ToMilliseconds(when)) r.lastlogrenew = when;
    });
  }
  return texts;
}

int ProgramCore::RemoveLeftovers() {
  if (!OwnsConfiguration()) return 0;
  int removed = RemoveDeliveryLeftovers(table()) + RemoveFtpLeftovers(table());
  if (const Result<int> logs = RemoveLogLeftovers(table()); logs.ok()) removed += *logs;
  if (const Result<int> configs = RemoveConfigLeftovers(paths()); configs.ok()) removed += *configs;
  return removed;
}

void ProgramCore::RenewLogFiles() {
  if (!OwnsConfiguration()) return;
  if (!logWriter_)
    logWriter_ = std::make_unique<LogFileWriter>(table(), clock_, working().LogFormat());
  logWriter_->RenewLogFilesOnStart();
}

void ProgramCore::StartWorker(EngineHost& host, VisualLogSink sink, RegionalSettings regional) {
  if (control_) return;  // one worker for the whole run
  if (!OwnsConfiguration())
    throw std::logic_error("the worker runs only with the configuration's lock");
  // The start-up order is fixed: a worker without its library would be
  // half-made.
  if (!library_)
    throw std::logic_error("the expression library is loaded before the worker starts");
  if (!logWriter_)
    logWriter_ = std::make_unique<LogFileWriter>(table(), clock_, working().LogFormat());
  visualLog_ = std::make_unique<VisualLog>(clock_, regional, std::move(sink));
  stages_ = std::make_unique<StandardStages>(*library_, *visualLog_, *logWriter_, clock_);
  ftp_ = std::make_unique<FtpStages>(working());
  // Unreadable, it is started afresh: a file fetched twice is better than
  // a journal that stops every queue.
  (void)ftp_->UseJournal(OwedJournalPathFor(paths().queueFile));
  ftp_->SetConfigFolder(std::filesystem::path(paths().queueFile).parent_path().string());
  if (config_.settings().watchfolders) {
    auto watcher = std::make_unique<InotifyFolderWatcher>();
    // Without inotify (its limits reached) the browse interval alone serves.
    if (watcher->usable()) watcher_ = std::move(watcher);
  }
  EngineServices services{host,       files_,           clock_,  stages_.get(),
                          ftp_.get(), visualLog_.get(), &status_};
  services.watcher = watcher_.get();
  services.heartbeat = heartbeat_;
  services.metrics = &metrics_;
  control_ = Trenamethread::Start(services);
  const std::string folder = std::filesystem::path(paths().queueFile).parent_path().string();
  Result<std::unique_ptr<StatusServer>> server = StatusServer::Start(folder, [this, regional] {
    return FormatStatusTable(status_.Snapshot(table(), clock_.Now()), regional);
  });
  if (server.ok()) {
    statusServer_ = std::move(server).value();
  } else {
    statusSocketError_ = "--status cannot reach this run: " + server.status().message();
  }
}

std::vector<std::string> ProgramCore::StartMetrics() {
  const GeneralSettings& s = config_.settings();
  if (!control_ || metricsResponder_ || s.metricsport == 0) return {};
  auto responder =
      HttpResponder::Start(s.metricsaddress, s.metricsport, "/metrics",
                           "text/plain; version=0.0.4; charset=utf-8", [this] {
                             return FormatMetrics(status_.Snapshot(table(), clock_.Now()), metrics_,
                                                  ZF_VERSION, std::chrono::steady_clock::now());
                           });
  if (!responder.ok()) return {"No metrics: " + responder.status().message()};
  metricsResponder_ = std::move(responder).value();
  return {};
}

void ProgramCore::RequestStop() {
  if (control_) control_->stop.store(true, std::memory_order_release);
}

bool ProgramCore::Finished() const {
  return !control_ || control_->finished.load(std::memory_order_acquire);
}

Status ProgramCore::WriteCloseState(const WindowLayout& layout) {
  return QueueConfigFile(paths().queueFile).WriteCloseState(table(), layout);
}

WindowLayout ProgramCore::StoredLayout() const {
  const IniDocument doc = ReadIniFile(config_.paths().queueFile);
  WindowLayout layout;
  for (int c = 1; c <= 3; ++c) {
    const std::string section = "Columns" + std::to_string(c);
    if (!doc.Value(section, "width")) break;
    layout.columnWidths.push_back(doc.ReadInteger(section, "width", 0));
  }
  layout.width = doc.ReadInteger("form", "width", kDesignedWidth);
  layout.height = doc.ReadInteger("form", "height", kDesignedHeight);
  layout.left = doc.ReadInteger("form", "left", 0);
  layout.top = doc.ReadInteger("form", "top", 0);
  return layout;
}

}  // namespace zf::app
