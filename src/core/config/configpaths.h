#pragma once

#include <string>

#include "platform/result.h"

namespace zf {

// Where the three configuration files live: beside the program unless a
// configuration folder is given.
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

}  // namespace zf
