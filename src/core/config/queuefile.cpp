#include "config/queuefile.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <utility>

#include "config/inifile.h"

namespace zf {
namespace {

constexpr const char* kPluginSection = "orvaticfields";
constexpr const char* kSystemSection = "System";

// The plugin field map's keys in file order, with the member each one fills.
struct PluginKey {
  const char* key;
  std::string PluginFieldMap::*field;
};
constexpr PluginKey kPluginKeys[] = {
    {"orvatictable", &PluginFieldMap::orvatictable},
    {"Publication", &PluginFieldMap::Publication},
    {"Date", &PluginFieldMap::Date},
    {"Edtion", &PluginFieldMap::Edtion},
    {"Section", &PluginFieldMap::Section},
    {"Pagenumber", &PluginFieldMap::Pagenumber},
    {"Pagename", &PluginFieldMap::Pagename},
    {"Pagination", &PluginFieldMap::Pagination},
    {"Copies", &PluginFieldMap::Copies},
    {"Color", &PluginFieldMap::Color},
    {"Platetemplate", &PluginFieldMap::Platetemplate},
    {"Templateoption", &PluginFieldMap::Templateoption},
};

// Defaults of the keys a queue section may lack.
constexpr const char* kDefaultSearchmask = "*.*";
constexpr const char* kDefaultIgnoremask = "none";
constexpr const char* kDefaultTemppath = "c:\\temp";
constexpr const char* kDefaultTransdate = "ddmmyyyy";
constexpr std::int32_t kDefaultFTPPort = 21;
constexpr std::int32_t kDefaultFiletimetype = 2;
constexpr std::int32_t kDefaultMaxentries = 10000;
constexpr std::int32_t kDefaultDailyTime = 1;
constexpr std::int32_t kDefaultCheckpdfpasses = 10;
TDateTime DefaultLastlogrenew() {
  return EncodeDateTime(1980, 1, 1, 1, 1, 1, 1);
}

std::string FolderSection(int slot) {
  return "Folder" + std::to_string(slot);
}

// "Regularexpr12match", "Translation7definition": numbered keys built into
// one reused buffer, since a large file has tens of thousands of them.
class NumberedKey {
 public:
  const std::string& operator()(const char* prefix, int k, const char* suffix) {
    buffer_.assign(prefix);
    buffer_ += std::to_string(k);
    buffer_ += suffix;
    return buffer_;
  }

 private:
  std::string buffer_;
};

void ReadQueue(const IniDocument& doc, const std::string& section, QueueRecord& r,
               const RegionalSettings& regional, std::vector<std::string>& warnings) {
  r.name = doc.ReadString(section, "name", "");
  r.Inputfolder = doc.ReadString(section, "Inputfolder", "");
  r.Outputfolder = doc.ReadString(section, "Outputfolder", "");
  r.Errorfolder = doc.ReadString(section, "Errorfolder", "");
  r.Searchmask = doc.ReadString(section, "Searchmask", kDefaultSearchmask);
  r.ignoremask = doc.ReadString(section, "ignoremask", kDefaultIgnoremask);
  r.filetimetype = doc.ReadInteger(section, "filetimetype", kDefaultFiletimetype);
  r.Enabledatstart = doc.ReadBool(section, "Enabledatstart", true);
  r.NRegularexpr = doc.ReadInteger(section, "NRegularexpr", 0);
  r.Splitpdf = doc.ReadBool(section, "Splitpdf", false);
  r.Enabled = r.Enabledatstart;
  r.FTPuse = doc.ReadBool(section, "FTPuse", false);
  r.FTPhost = doc.ReadString(section, "FTPhost", "");
  r.FTPuser = doc.ReadString(section, "FTPuser", "");
  r.FTPpasw = doc.ReadString(section, "FTPpasw", "");
  // The protocol's own port when the key is missing, empty or no number;
  // for plain FTP that stays 21, as it always was.
  r.FTPprotocol = doc.ReadInteger(section, "FTPprotocol", kFtpPlain);
  r.FTPPort =
      doc.ReadInteger(section, "FTPPort",
                      r.FTPprotocol == kFtpPlain ? kDefaultFTPPort : DefaultFtpPort(r.FTPprotocol));
  r.FTPpath = doc.ReadString(section, "FTPpath", "");
  r.FTPTemppath = doc.ReadString(section, "FTPTemppath", kDefaultTemppath);
  r.useplugin = doc.ReadInteger(section, "useplugin", 0);
  r.HostName = doc.ReadString(section, "HostName", "");
  r.Database = doc.ReadString(section, "Database", "");
  r.Username = doc.ReadString(section, "Username", "");
  r.password = doc.ReadString(section, "password", "");

  if (r.NRegularexpr > QueueRecord::kMaxRules) {
    warnings.push_back("Queue \"" + r.name + "\" (" + section + ") lists " +
                       std::to_string(r.NRegularexpr) + " rules; only the first " +
                       std::to_string(QueueRecord::kMaxRules) + " were loaded");
    r.NRegularexpr = QueueRecord::kMaxRules;
  }
  NumberedKey key;
  for (int k = 1; k <= r.NRegularexpr; ++k) {
    Rule& rule = r.rule(k);
    rule.match = doc.ReadString(section, key("Regularexpr", k, "match"), "");
    rule.format = doc.ReadString(section, key("Regularexpr", k, "format"), "");
    rule.partial = doc.ReadBool(section, key("Regularexpr", k, "partial"), false);
    rule.trans = doc.ReadString(section, key("Regularexpr", k, "trans"), "");
  }

  r.lastlogrenew = doc.ReadDateTime(section, "lastlogrenew", DefaultLastlogrenew(), regional);
  r.Makelog = doc.ReadBool(section, "Makelog", false);
  r.Logfile = doc.ReadString(section, "Logfile", "");
  r.logtype = doc.ReadInteger(section, "logtype", 0);
  r.newonstart = doc.ReadBool(section, "newonstart", false);
  r.daily = doc.ReadBool(section, "daily", false);
  // Held in 16 bits: a value read outside 0..65535 keeps its low 16 bits.
  r.dailyhour =
      static_cast<std::uint16_t>(doc.ReadInteger(section, "dailyhour", kDefaultDailyTime));
  r.dailyminute =
      static_cast<std::uint16_t>(doc.ReadInteger(section, "dailyminute", kDefaultDailyTime));
  r.newonmax = doc.ReadBool(section, "newonmax", false);
  r.Maxentries = doc.ReadInteger(section, "Maxentries", kDefaultMaxentries);
  r.Ntranslations = doc.ReadInteger(section, "Ntranslations", 0);
  r.transdatefrom = doc.ReadString(section, "transdatefrom", kDefaultTransdate);
  r.transdateto = doc.ReadString(section, "transdateto", kDefaultTransdate);
  r.translationresult = doc.ReadString(section, "translationresult", "");

  if (r.Ntranslations > QueueRecord::kMaxTranslations) {
    warnings.push_back("Queue \"" + r.name + "\" (" + section + ") lists " +
                       std::to_string(r.Ntranslations) + " translations; only the first " +
                       std::to_string(QueueRecord::kMaxTranslations) + " were loaded");
    r.Ntranslations = QueueRecord::kMaxTranslations;
  }
  for (int k = 1; k <= r.Ntranslations; ++k) {
    Translation& t = r.translation(k);
    t.format = doc.ReadString(section, key("Translation", k, "format"), "");
    t.fromstr = doc.ReadString(section, key("Translation", k, "fromstr"), "");
    t.tostr = doc.ReadString(section, key("Translation", k, "tostr"), "");
    t.definition = doc.ReadString(section, key("Translation", k, "definition"), "");
  }
  r.FTPpassive = doc.ReadBool(section, "FTPpassive", false);
  r.FTPfingerprint = doc.ReadString(section, "FTPfingerprint", "");
  r.FTPknownhosts = doc.ReadString(section, "FTPknownhosts", kDefaultKnownHosts);
  r.FTPkeyfile = doc.ReadString(section, "FTPkeyfile", "");
  r.Collision = doc.ReadInteger(section, "Collision", kCollisionReplace);
  r.Normalize = doc.ReadBool(section, "Normalize", false);
  r.Checkpdf = doc.ReadBool(section, "Checkpdf", false);
  r.Checkpdfpasses = doc.ReadInteger(section, "Checkpdfpasses", kDefaultCheckpdfpasses);
  r.Readyfile = doc.ReadString(section, "Readyfile", "");
}

void WriteQueue(IniDocument& doc, const std::string& section, const QueueRecord& r,
                const RegionalSettings& regional) {
  doc.WriteString(section, "name", r.name);
  doc.WriteString(section, "Inputfolder", r.Inputfolder);
  doc.WriteString(section, "Outputfolder", r.Outputfolder);
  doc.WriteString(section, "Errorfolder", r.Errorfolder);
  doc.WriteString(section, "Searchmask", r.Searchmask);
  doc.WriteString(section, "ignoremask", r.ignoremask);
  doc.WriteBool(section, "Enabledatstart", r.Enabledatstart);
  // Counts are never written above the room the table has: the keys beyond
  // it could not be read back anyway.
  const int rules = std::min(r.NRegularexpr, QueueRecord::kMaxRules);
  doc.WriteInteger(section, "NRegularexpr", rules);
  doc.WriteInteger(section, "filetimetype", r.filetimetype);
  doc.WriteBool(section, "Splitpdf", r.Splitpdf);
  doc.WriteBool(section, "FTPuse", r.FTPuse);
  doc.WriteString(section, "FTPhost", r.FTPhost);
  doc.WriteString(section, "FTPuser", r.FTPuser);
  doc.WriteString(section, "FTPpasw", r.FTPpasw);
  doc.WriteInteger(section, "FTPPort", r.FTPPort);
  doc.WriteString(section, "FTPpath", r.FTPpath);
  doc.WriteString(section, "FTPTemppath", r.FTPTemppath);
  NumberedKey key;
  for (int k = 1; k <= rules; ++k) {
    const Rule& rule = r.rule(k);
    doc.WriteString(section, key("Regularexpr", k, "match"), rule.match);
    doc.WriteString(section, key("Regularexpr", k, "format"), rule.format);
    doc.WriteBool(section, key("Regularexpr", k, "partial"), rule.partial);
    doc.WriteString(section, key("Regularexpr", k, "trans"), rule.trans);
  }
  doc.WriteDateTime(section, "lastlogrenew", r.lastlogrenew, regional);
  doc.WriteBool(section, "Makelog", r.Makelog);
  doc.WriteString(section, "Logfile", r.Logfile);
  doc.WriteInteger(section, "logtype", r.logtype);
  doc.WriteBool(section, "newonstart", r.newonstart);
  doc.WriteBool(section, "daily", r.daily);
  doc.WriteInteger(section, "dailyhour", r.dailyhour);
  doc.WriteInteger(section, "dailyminute", r.dailyminute);
  doc.WriteInteger(section, "useplugin", r.useplugin);
  doc.WriteString(section, "HostName", r.HostName);
  doc.WriteString(section, "Database", r.Database);
  doc.WriteString(section, "Username", r.Username);
  doc.WriteString(section, "password", r.password);
  doc.WriteBool(section, "newonmax", r.newonmax);
  doc.WriteInteger(section, "Maxentries", r.Maxentries);
  const int translations = std::min(r.Ntranslations, QueueRecord::kMaxTranslations);
  doc.WriteInteger(section, "Ntranslations", translations);
  doc.WriteString(section, "transdatefrom", r.transdatefrom);
  doc.WriteString(section, "transdateto", r.transdateto);
  doc.WriteString(section, "translationresult", r.translationresult);
  for (int k = 1; k <= translations; ++k) {
    const Translation& t = r.translation(k);
    doc.WriteString(section, key("Translation", k, "format"), t.format);
    doc.WriteString(section, key("Translation", k, "fromstr"), t.fromstr);
    doc.WriteString(section, key("Translation", k, "tostr"), t.tostr);
    doc.WriteString(section, key("Translation", k, "definition"), t.definition);
  }
  // Not among the historic keys: written last, so older files keep their order.
  doc.WriteBool(section, "FTPpassive", r.FTPpassive);
  doc.WriteInteger(section, "FTPprotocol", r.FTPprotocol);
  doc.WriteString(section, "FTPfingerprint", r.FTPfingerprint);
  doc.WriteString(section, "FTPknownhosts", r.FTPknownhosts);
  doc.WriteString(section, "FTPkeyfile", r.FTPkeyfile);
  doc.WriteInteger(section, "Collision", r.Collision);
  doc.WriteBool(section, "Normalize", r.Normalize);
  doc.WriteBool(section, "Checkpdf", r.Checkpdf);
  doc.WriteInteger(section, "Checkpdfpasses", r.Checkpdfpasses);
  doc.WriteString(section, "Readyfile", r.Readyfile);
}

}  // namespace

QueueConfigFile::QueueConfigFile(std::string path, const FileSystem& fs, RegionalSettings regional)
    : path_(std::move(path)), fs_(&fs), regional_(std::move(regional)) {}

std::vector<std::string> QueueConfigFile::Load(QueueTable& table) const {
  std::vector<std::string> warnings;
  const IniDocument doc = ReadIniFile(path_, *fs_);
  QueueTable::State state = table.Snapshot();

  for (const auto& [key, field] : kPluginKeys)
    state.plugin.*field = doc.ReadString(kPluginSection, key, "");

  int count = doc.ReadInteger(kSystemSection, "Nfolders", 0);
  if (count > QueueTable::kSlots) {
    warnings.push_back("The queue configuration file " + path_ + " lists " + std::to_string(count) +
                       " input queues; only the first " + std::to_string(QueueTable::kSlots) +
                       " were loaded");
    count = QueueTable::kSlots;
  }
  if (count < 0) count = 0;

  // The queues in use before, by name, so that a queue that is still there
  // keeps its identity even when it moved to another slot.
  struct Previous {
    std::string name;
    std::uint64_t uid;
    bool claimed = false;
  };
  std::vector<Previous> previous;
  for (int i = 0; i < state.Nfolders; ++i) {
    const auto& rec = state.slots[static_cast<std::size_t>(i)];
    previous.push_back({rec->name, rec->uid});
  }
  auto claim = [&](std::size_t at, const std::string& name) -> std::uint64_t {
    if (at < previous.size() && !previous[at].claimed && previous[at].uid != 0 &&
        previous[at].name == name) {
      previous[at].claimed = true;
      return previous[at].uid;
    }
    return 0;
  };

  std::vector<std::uint64_t> uids(static_cast<std::size_t>(count), 0);
  for (int i = 1; i <= count; ++i) {
    const auto at = static_cast<std::size_t>(i - 1);
    QueueRecord record = *state.slots[at];
    ReadQueue(doc, FolderSection(i), record, regional_, warnings);
    state.slots[at] = std::make_shared<const QueueRecord>(std::move(record));
    uids[at] = claim(at, state.slots[at]->name);  // the same queue in the same slot
  }
  for (int i = 1; i <= count; ++i) {
    const auto at = static_cast<std::size_t>(i - 1);
    std::uint64_t uid = uids[at];
    const std::string& name = state.slots[at]->name;
    for (std::size_t j = 0; uid == 0 && j < previous.size(); ++j) uid = claim(j, name);
    if (uid == 0) uid = table.NewUid();
    if (state.slots[at]->uid != uid) {
      QueueRecord record = *state.slots[at];
      record.uid = uid;
      state.slots[at] = std::make_shared<const QueueRecord>(std::move(record));
    }
  }
  state.Nfolders = count;
  state.configFolder = std::filesystem::path(path_).parent_path().string();
  table.Replace(std::move(state));
  return warnings;
}

Status QueueConfigFile::Save(const QueueTable& table) const {
  const QueueTable::State state = table.Snapshot();
  return UpdateIniFile(
      path_,
      [&](IniDocument& doc) {
        for (const auto& [key, field] : kPluginKeys)
          doc.WriteString(kPluginSection, key, state.plugin.*field);
        doc.WriteInteger(kSystemSection, "Nfolders", state.Nfolders);
        for (int i = 1; i <= state.Nfolders; ++i) {
          WriteQueue(doc, FolderSection(i), *state.slots[static_cast<std::size_t>(i - 1)],
                     regional_);
        }
      },
      *fs_);
}

Status QueueConfigFile::WriteCloseState(const QueueTable& table, const WindowLayout& layout) const {
  const QueueTable::State state = table.Snapshot();
  return UpdateIniFile(
      path_,
      [&](IniDocument& doc) {
        for (int i = 1; i <= state.Nfolders; ++i) {
          doc.WriteDateTime(FolderSection(i), "lastlogrenew",
                            state.slots[static_cast<std::size_t>(i - 1)]->lastlogrenew, regional_);
        }
        for (std::size_t c = 0; c < layout.columnWidths.size(); ++c) {
          doc.WriteInteger("Columns" + std::to_string(c + 1), "width", layout.columnWidths[c]);
        }
        doc.WriteInteger("form", "width", layout.width);
        doc.WriteInteger("form", "height", layout.height);
        doc.WriteInteger("form", "left", layout.left);
        doc.WriteInteger("form", "top", layout.top);
      },
      *fs_);
}

WindowLayout QueueConfigFile::ReadWindowLayout(const WindowLayout& current) const {
  const IniDocument doc = ReadIniFile(path_, *fs_);
  WindowLayout layout = current;
  for (std::size_t c = 0; c < layout.columnWidths.size(); ++c) {
    layout.columnWidths[c] =
        doc.ReadInteger("Columns" + std::to_string(c + 1), "width", current.columnWidths[c]);
  }
  layout.width = doc.ReadInteger("form", "width", current.width);
  layout.height = doc.ReadInteger("form", "height", current.height);
  return layout;
}

}  // namespace zf
