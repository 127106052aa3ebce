#pragma once

#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "platform/files.h"
#include "platform/result.h"

namespace zf {

// "dbconnect.ini": the parameters of the plugin database connection, in the
// section named after that connection. The connection test rewrites it just
// before it opens the connection, which then takes its parameters from it.
class DbConnectFile {
 public:
  static constexpr const char* kFileName = "dbconnect.ini";
  static constexpr const char* kSection = "MSSQLVeltraneLite";

  explicit DbConnectFile(std::string path, const FileSystem& fs = DefaultFileSystem());
  const std::string& path() const { return path_; }

  // Writes `HostName`, `Database`, `User_Name`, `Password` from the settings'
  // HostName, DB, Username, Password, and "OS Authentication" = "False",
  // whatever the file held; other keys and sections stay.
  Status Write(const GeneralSettings& settings) const;

  // The whole section as name=value parameters, for opening the connection.
  std::vector<std::pair<std::string, std::string>> ReadParameters() const;

 private:
  std::string path_;
  const FileSystem* fs_;
};

}  // namespace zf
