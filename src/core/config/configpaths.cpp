#include "config/configpaths.h"

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "config/dbconnectfile.h"
#include "config/queuefile.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/tempfile.h"

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
  paths.queueFile = FindNameIgnoringCase((folder / QueueConfigFile::kFileName).string());
  paths.settingsFile = FindNameIgnoringCase((folder / settingsName).string());
  paths.dbconnectFile = FindNameIgnoringCase((folder / DbConnectFile::kFileName).string());
  return paths;
}

Result<ConfigPaths> ConfigPaths::ForThisProgram(const std::string& configDir) {
  auto program = ProgramFilePath();
  if (!program.ok()) return program.status();
  return For(*program, configDir);
}

Result<int> RemoveConfigLeftovers(const ConfigPaths& paths) {
  namespace fs = std::filesystem;
  std::vector<std::string> folders;
  auto add = [&](const fs::path& file) {
    fs::path folder = file.parent_path();
    if (folder.empty()) folder = ".";
    const std::string text = folder.lexically_normal().string();
    for (const std::string& f : folders) {
      if (f == text) return;
    }
    folders.push_back(text);
  };
  for (const std::string* file : {&paths.queueFile, &paths.settingsFile, &paths.dbconnectFile}) {
    if (file->empty()) continue;
    add(*file);
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(*file, ec))) {
      const fs::path target = fs::weakly_canonical(*file, ec);
      if (!ec) add(target);
    }
  }
  int removed = 0;
  Status firstError;
  for (const std::string& folder : folders) {
    auto done = RemoveTempFilesIn(folder);
    if (done.ok()) {
      removed += *done;
    } else if (done.status().code() != ENOENT && firstError.ok()) {
      firstError = done.status();
    }
  }
  if (!firstError.ok()) return firstError;
  return removed;
}

}  // namespace zf
