#pragma once

#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/files.h"
#include "platform/result.h"

namespace zf {

// The general settings file: the program's own path with ".ini", section
// `system`. It may be the very file that holds the queue table (file names
// are looked up without regard to case, so "Zentrafold.ini" is also the
// program's own name with ".ini"), so it is read fresh for every load and
// every save keeps the keys it does not own.
class GeneralSettingsFile {
 public:
  static constexpr int kLastDebugmode = 2;  // "Off", "Low", "High"
  static constexpr int kLastPlugin = 3;     // "None", "Veltrane", "Brisklet", "Orvatic"

  explicit GeneralSettingsFile(std::string path, const FileSystem& fs = DefaultFileSystem());
  const std::string& path() const { return path_; }

  struct Loaded {
    GeneralSettings settings;
    std::vector<std::string> messages;  // for the operator, in the order they arose
  };

  // Reads the settings with their defaults. Values outside the dialog's ranges
  // are brought into them; a choice below 0 becomes -1 (no choice), above the
  // last choice the last. `FTPtimeout` is read last: when it is not a whole
  // number the message "'<text>' is not a valid integer value" is returned,
  // the text is kept as read and the working FTP time-out becomes -1, so that
  // start-up goes on without a time-out of its own. Otherwise the working
  // time-out takes its value.
  Loaded Load(WorkingSettings& working) const;

  // Writes the keys in the file's order as one unit. When `FTPtimeout` is not a
  // whole number the keys after it (`plugin`, `HostName`, `DB`, `Password`,
  // `Username`) are not written, the working FTP time-out keeps its value and
  // the conversion error is returned; the keys before it are saved. A failed
  // write leaves the file and the working time-out as they were and returns
  // "Unable to write to <full path>".
  Status Save(const GeneralSettings& settings, WorkingSettings& working) const;

 private:
  std::string path_;
  const FileSystem* fs_;
};

// "'<text>' is not a valid integer value"
std::string NotAValidIntegerMessage(const std::string& text);

}  // namespace zf
