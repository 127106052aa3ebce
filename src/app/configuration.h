#pragma once

#include <string>
#include <vector>

#include "config/configpaths.h"
#include "config/queuetable.h"
#include "config/settings.h"
#include "exprlib/loadmessages.h"
#include "platform/result.h"

namespace zf::app {

// The configuration files for a run: beside the program, or in `configDir`,
// which must then be an existing folder (a mistyped folder would otherwise
// quietly give an empty table).
Result<ConfigPaths> ResolveConfigPaths(const std::string& configDir);

// The configuration as every mode of the program loads it: the queue table
// from the queue configuration file, then the general settings, then the
// working copies of the settings.
class Configuration {
 public:
  explicit Configuration(ConfigPaths paths) : paths_(std::move(paths)) {}
  Configuration(const Configuration&) = delete;
  Configuration& operator=(const Configuration&) = delete;

  // Loads both files; never fails (missing files and keys give defaults).
  // Returns the texts meant for the operator in the order they arose: the
  // queue file's warnings (counts cut to the table's room), then the settings'
  // messages. The on/off switch is left alone; the caller decides it.
  std::vector<std::string> Load();

  const ConfigPaths& paths() const { return paths_; }
  QueueTable& table() { return table_; }
  const GeneralSettings& settings() const { return settings_; }
  WorkingSettings& working() { return working_; }

 private:
  ConfigPaths paths_;
  QueueTable table_;
  GeneralSettings settings_;
  WorkingSettings working_;
};

// Writes each text to standard error as one line, prefixed with the program's
// name: the headless counterpart of the window's information boxes.
class StderrMessages final : public LoadMessageSink {
 public:
  void ShowInformation(const std::string& text) override;
};

// "zentrafold: <text>" on standard error.
void PrintError(const std::string& text);

}  // namespace zf::app
