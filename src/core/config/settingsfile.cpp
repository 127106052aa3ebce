#include "config/settingsfile.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include "config/inifile.h"

namespace zf {
namespace {

constexpr const char* kSection = "system";

// The ranges of the settings dialog's spin fields.
constexpr int kMinSeconds = 1, kMaxSeconds = 1000;
constexpr int kMinVisualLog = 0, kMaxVisualLog = 10000;
constexpr int kMinFtpTimeout = -1, kMaxFtpTimeout = 32000;
constexpr int kMaxPort = 65535;

int ClampChoice(int index, int last) {
  if (index < 0) return -1;
  return std::min(index, last);
}

}  // namespace

std::string NotAValidIntegerMessage(const std::string& text) {
  return "'" + text + "' is not a valid integer value";
}

GeneralSettingsFile::GeneralSettingsFile(std::string path, const FileSystem& fs)
    : path_(std::move(path)), fs_(&fs) {}

GeneralSettingsFile::Loaded GeneralSettingsFile::Load(WorkingSettings& working) const {
  const IniDocument doc = ReadIniFile(path_, *fs_);
  const GeneralSettings defaults;
  Loaded out;
  GeneralSettings& s = out.settings;
  s.browsetime = std::clamp(doc.ReadInteger(kSection, "browsetime", defaults.browsetime),
                            kMinSeconds, kMaxSeconds);
  s.stabletime = std::clamp(doc.ReadInteger(kSection, "stabletime", defaults.stabletime),
                            kMinSeconds, kMaxSeconds);
  s.debugmode =
      ClampChoice(doc.ReadInteger(kSection, "debugmode", defaults.debugmode), kLastDebugmode);
  s.autostart = doc.ReadBool(kSection, "autostart", defaults.autostart);
  s.maxvisuallog = std::clamp(doc.ReadInteger(kSection, "maxvisuallog", defaults.maxvisuallog),
                              kMinVisualLog, kMaxVisualLog);
  s.logformat = doc.ReadString(kSection, "logformat", defaults.logformat);
  s.plugin = ClampChoice(doc.ReadInteger(kSection, "plugin", defaults.plugin), kLastPlugin);
  s.HostName = doc.ReadString(kSection, "HostName", "");
  s.DB = doc.ReadString(kSection, "DB", "");
  s.Password = doc.ReadString(kSection, "Password", "");
  s.Username = doc.ReadString(kSection, "Username", "");
  const bool fresh = fs_->ReadWholeFile(path_).status().code() == ENOENT;
  s.watchfolders = doc.ReadBool(kSection, "watchfolders", fresh && defaults.watchfolders);
  // A port out of range is no port: the endpoint stays off.
  s.metricsport = doc.ReadInteger(kSection, "metricsport", defaults.metricsport);
  if (s.metricsport < 0 || s.metricsport > kMaxPort) s.metricsport = 0;
  s.metricsaddress = doc.ReadString(kSection, "metricsaddress", defaults.metricsaddress);
  if (s.metricsaddress.empty()) s.metricsaddress = defaults.metricsaddress;

  s.FTPtimeout = doc.ReadString(kSection, "FTPtimeout", defaults.FTPtimeout);
  if (const auto timeout = ParseIniInteger(s.FTPtimeout)) {
    const int clamped = std::clamp<int>(*timeout, kMinFtpTimeout, kMaxFtpTimeout);
    s.FTPtimeout = std::to_string(clamped);
    working.ftpTimeout = clamped;
  } else {
    out.messages.push_back(NotAValidIntegerMessage(s.FTPtimeout));
    working.ftpTimeout = -1;
  }
  return out;
}

Status GeneralSettingsFile::Save(const GeneralSettings& s, WorkingSettings& working) const {
  std::optional<std::int32_t> timeout;
  const Status written = UpdateIniFile(
      path_,
      [&](IniDocument& doc) {
        doc.WriteInteger(kSection, "browsetime", s.browsetime);
        doc.WriteInteger(kSection, "stabletime", s.stabletime);
        doc.WriteInteger(kSection, "maxvisuallog", s.maxvisuallog);
        doc.WriteInteger(kSection, "debugmode", s.debugmode);
        doc.WriteBool(kSection, "autostart", s.autostart);
        doc.WriteString(kSection, "logformat", s.logformat);
        // Written once they are set, so a file that never had them keeps its
        // exact form.
        const GeneralSettings defaults;
        if (s.metricsport != defaults.metricsport || doc.Value(kSection, "metricsport"))
          doc.WriteInteger(kSection, "metricsport", s.metricsport);
        if (s.metricsaddress != defaults.metricsaddress || doc.Value(kSection, "metricsaddress"))
          doc.WriteString(kSection, "metricsaddress", s.metricsaddress);
        doc.WriteString(kSection, "FTPtimeout", s.FTPtimeout);
        timeout = ParseIniInteger(s.FTPtimeout);
        if (!timeout) return;
        doc.WriteInteger(kSection, "plugin", s.plugin);
        doc.WriteString(kSection, "HostName", s.HostName);
        doc.WriteString(kSection, "DB", s.DB);
        doc.WriteString(kSection, "Password", s.Password);
        doc.WriteString(kSection, "Username", s.Username);
        doc.WriteBool(kSection, "watchfolders", s.watchfolders);
      },
      *fs_);
  if (!written.ok()) return written;
  if (!timeout) return Status::Error(NotAValidIntegerMessage(s.FTPtimeout));
  working.ftpTimeout = *timeout;
  return Status::Ok();
}

}  // namespace zf
