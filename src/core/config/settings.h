#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace zf {

// The general settings as the settings dialog holds them (and as the general
// settings file stores them). Spin-field values are kept as the text the
// field shows, because that is what the file receives.
struct GeneralSettings {
  int browsetime = 10;            // 1..1000 seconds between polling cycles
  int stabletime = 10;            // 1..1000 seconds a file must stay unchanged
  std::string FTPtimeout = "-1";  // milliseconds, kept as entered
  int debugmode = 0;              // -1 (none selected), 0 Off, 1 Low, 2 High
  bool autostart = false;
  int maxvisuallog = 1000;  // 0..10000
  std::string logformat = "dd.mm.yyyy hh:nn:ss:zzz";
  int plugin = 0;  // -1 (none selected), 0 None, 1 Veltrane, 2 Brisklet, 3 Orvatic
  std::string HostName;
  std::string DB;
  std::string Username;
  std::string Password;
  // Local input folders are watched, so a file closed there is taken without
  // waiting for the browse interval. On for a new settings file; a file
  // without the key keeps the timing it always had.
  bool watchfolders = true;
  // The metrics endpoint: a TCP port (0: none) and the address it listens on.
  int metricsport = 0;
  std::string metricsaddress = "127.0.0.1";

  bool operator==(const GeneralSettings&) const = default;
};

// The values the running system actually uses. The engine reads the browse
// interval and stable time at each use; the dialog or the service writes them.
class WorkingSettings {
 public:
  std::atomic<int> browsetime{10};
  std::atomic<int> stabletime{10};
  std::atomic<std::int32_t> ftpTimeout{-1};
  std::atomic<std::int16_t> maxvisuallog{1000};
  std::atomic<std::int32_t> plugin{0};
  std::atomic<bool> switchedOn{false};

  // Taken once at start-up; the log writers read it from the worker thread.
  std::string LogFormat() const {
    std::lock_guard lock(mutex_);
    return logformat_;
  }
  void SetLogFormat(std::string format) {
    std::lock_guard lock(mutex_);
    logformat_ = std::move(format);
  }

 private:
  mutable std::mutex mutex_;
  std::string logformat_ = "dd.mm.yyyy hh:nn:ss:zzz";
};

}  // namespace zf
