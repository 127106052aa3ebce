#include "config/configpaths.h"

#include <filesystem>
#include <system_error>

#include "config/dbconnectfile.h"
#include "config/queuefile.h"
#include "platform/files.h"

namespace zf {

ConfigPaths ConfigPaths::For(const std::string& programPath, const std::string& configDir) {
  namespace fs = std::filesystem;
  const fs::path program(programPath);
  fs::path folder = configDir.empty() ? program.parent_path() : fs::path(configDir);
  std::error_code ec;
  const fs::path absolute = fs::absolute(folder, ec);
  if (!ec) folder = absolute.lexically_normal();
  // lexically_normal keeps a trailing separator as an empty last element.
  if (!folder.has_filename() && folder.has_parent_path() && folder != folder.root_path()) {
    folder = folder.parent_path();
  }

  fs::path settingsName = program.filename();
  settingsName.replace_extension(".ini");

  ConfigPaths paths;
  paths.queueFile = (folder / QueueConfigFile::kFileName).string();
  paths.settingsFile = (folder / settingsName).string();
  paths.dbconnectFile = (folder / DbConnectFile::kFileName).string();
  return paths;
}

Result<ConfigPaths> ConfigPaths::ForThisProgram(const std::string& configDir) {
  auto program = ProgramFilePath();
  if (!program.ok()) return program.status();
  return For(*program, configDir);
}

}  // namespace zf
