#pragma once

// What the hostile-input, FTP-fault and configuration-race scenarios share:
// the program's start-up clean-up and one more pass of the real engine, as a
// restart would run them, and input files that appear in one step.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "config/configpaths.h"
#include "config/queuetable.h"
#include "engine/delivery.h"
#include "engine/renamethread.h"
#include "ftp/ftpleftovers.h"
#include "log/logfile.h"
#include "tempdir.h"

namespace zf::fault {

// The clean-up the program runs at start-up before its worker (ProgramCore::
// RemoveLeftovers): temporaries of copies, fetches, logs and saves, and the
// staging links of splits. `paths` may be empty when no configuration file
// was written.
inline int RemoveStartupLeftovers(const QueueTable& table, const ConfigPaths& paths = {}) {
  int removed = RemoveDeliveryLeftovers(table) + RemoveFtpLeftovers(table);
  if (const Result<int> logs = RemoveLogLeftovers(table); logs.ok()) removed += *logs;
  if (!paths.queueFile.empty()) {
    if (const Result<int> configs = RemoveConfigLeftovers(paths); configs.ok()) removed += *configs;
  }
  return removed;
}

// "Restart and one pass": the start-up clean-up, then one pass of a fresh
// worker over the whole table on this thread.
inline Status RestartAndOnePass(const EngineServices& services, const ConfigPaths& paths = {}) {
  (void)RemoveStartupLeftovers(services.host.Queues(), paths);
  Trenamethread engine(services, std::make_shared<EngineControl>());
  if (services.stages != nullptr) services.stages->PrepareThread();
  Status status = engine.ScanQueues();
  if (services.stages != nullptr) services.stages->ReleaseThread();
  return status;
}

// An input written under a name discovery passes over and renamed into place,
// so the engine never meets it half-written (the stability check with a test
// clock proves nothing about a writer).
inline void DropFile(const std::string& folder, const std::string& name,
                     const std::string& content) {
  const std::string hidden = folder + "/." + name + ".part";
  test::WriteFile(hidden, content);
  std::filesystem::rename(hidden, folder + "/" + name);
}

// Waits up to `seconds` for `done`; false when it never held.
inline bool WaitUntil(const std::function<bool()>& done, int seconds = 60) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Regular files directly in `folder`, hidden ones included.
inline int CountFiles(const std::string& folder) {
  int n = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->is_regular_file(ec)) ++n;
  }
  return n;
}

}  // namespace zf::fault
