#include "config/dbconnectfile.h"

#include "config/inifile.h"

namespace zf {

DbConnectFile::DbConnectFile(std::string path, const FileSystem& fs)
    : path_(std::move(path)), fs_(&fs) {}

Status DbConnectFile::Write(const GeneralSettings& settings) const {
  return UpdateIniFile(
      path_,
      [&](IniDocument& doc) {
        doc.WriteString(kSection, "HostName", settings.HostName);
        doc.WriteString(kSection, "Database", settings.DB);
        doc.WriteString(kSection, "User_Name", settings.Username);
        doc.WriteString(kSection, "Password", settings.Password);
        doc.WriteString(kSection, "OS Authentication", "False");
      },
      *fs_);
}

std::vector<std::pair<std::string, std::string>> DbConnectFile::ReadParameters() const {
  return ReadIniFile(path_, *fs_).SectionValues(kSection);
}

}  // namespace zf
