#include "configuration.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "config/queuefile.h"
#include "config/settingsfile.h"

namespace zf::app {

Result<ConfigPaths> ResolveConfigPaths(const std::string& configDir) {
  if (!configDir.empty()) {
    std::error_code ec;
    if (!std::filesystem::is_directory(configDir, ec)) {
      return Status::Error("configuration folder '" + configDir + "' does not exist", 2);
    }
  }
  return ConfigPaths::ForThisProgram(configDir);
}

std::vector<std::string> Configuration::Load() {
  std::vector<std::string> messages = QueueConfigFile(paths_.queueFile).Load(table_);
  GeneralSettingsFile::Loaded loaded = GeneralSettingsFile(paths_.settingsFile).Load(working_);
  settings_ = loaded.settings;
  for (std::string& m : loaded.messages) messages.push_back(std::move(m));

  // The working copies the running system reads instead of the file.
  working_.browsetime = settings_.browsetime;
  working_.stabletime = settings_.stabletime;
  working_.maxvisuallog = static_cast<std::int16_t>(settings_.maxvisuallog);
  working_.plugin = settings_.plugin;
  working_.SetLogFormat(settings_.logformat);
  return messages;
}

void PrintError(const std::string& text) {
  std::fprintf(stderr, "zentrafold: %s\n", text.c_str());
  std::fflush(stderr);
}

void StderrMessages::ShowInformation(const std::string& text) {
  PrintError(text);
}

}  // namespace zf::app
