#pragma once

#include <string>

#include "platform/result.h"

namespace zf {

// Where the three configuration files live: beside the program unless a
// configuration folder is given. A file whose exact name is missing is looked
// up without regard to case, as the file system the files come from does, so
// a folder moved over with "ZENTRAFOLD.INI" or a settings file named after a
// differently spelt program keeps working.
struct ConfigPaths {
  std::string queueFile;      // "Zentrafold.ini"
  std::string settingsFile;   // the program file's name with ".ini"
  std::string dbconnectFile;  // "dbconnect.ini"

  // `programPath` is the program file's full path; an empty `configDir`
  // means the program's folder. Relative folders are made absolute, since the
  // paths appear in the operator's messages.
  static ConfigPaths For(const std::string& programPath, const std::string& configDir = {});

  // The same for the running program.
  static Result<ConfigPaths> ForThisProgram(const std::string& configDir = {});
};

// Removes the temporary files a save interrupted by a crash left behind, from
// every folder that holds one of the configuration files (the folder of a
// linked file's target too, since a save writes beside the target). Only
// names of the shape every save uses are touched. Answers how many went; a
// missing folder counts as clean, and a folder that cannot be listed is
// reported once the others are cleaned.
Result<int> RemoveConfigLeftovers(const ConfigPaths& paths);

}  // namespace zf
