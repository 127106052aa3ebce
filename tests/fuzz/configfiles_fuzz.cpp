// The queue configuration file and the general settings file, which may be
// one and the same file: whatever the file holds, loading both, saving both
// and loading again gives the same values (texts with line breaks or NULs
// come back with blanks there, date-times without their milliseconds, as the
// writer documents), and a second save writes the very same file.
//
// Input: the file's bytes.

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "config/queuefile.h"
#include "config/settingsfile.h"
#include "fuzzcheck.h"
#include "scratchfolder.h"

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

// A text as the file keeps it: a line break or NUL would end its line.
std::string Kept(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  return text;
}

Fields QueueFields(const zf::QueueRecord& r) {
  Fields f = {
      {"name", Kept(r.name)},
      {"Inputfolder", Kept(r.Inputfolder)},
      {"Outputfolder", Kept(r.Outputfolder)},
      {"Errorfolder", Kept(r.Errorfolder)},
      {"Searchmask", Kept(r.Searchmask)},
      {"ignoremask", Kept(r.ignoremask)},
      {"FTPuse", std::to_string(r.FTPuse)},
      {"FTPhost", Kept(r.FTPhost)},
      {"FTPuser", Kept(r.FTPuser)},
      {"FTPpasw", Kept(r.FTPpasw)},
      {"FTPPort", std::to_string(r.FTPPort)},
      {"FTPpath", Kept(r.FTPpath)},
      {"FTPTemppath", Kept(r.FTPTemppath)},
      {"filetimetype", std::to_string(r.filetimetype)},
      {"Splitpdf", std::to_string(r.Splitpdf)},
      {"Enabledatstart", std::to_string(r.Enabledatstart)},
      {"Enabled", std::to_string(r.Enabled)},
      {"NRegularexpr", std::to_string(r.NRegularexpr)},
      {"Ntranslations", std::to_string(r.Ntranslations)},
      {"transdatefrom", Kept(r.transdatefrom)},
      {"transdateto", Kept(r.transdateto)},
      {"translationresult", Kept(r.translationresult)},
      {"Makelog", std::to_string(r.Makelog)},
      // Written to the second, without milliseconds.
      {"lastlogrenew",
       std::to_string(zf::fuzz::FloorDiv(zf::ToMilliseconds(r.lastlogrenew), 1000))},
      {"Logfile", Kept(r.Logfile)},
      {"logtype", std::to_string(r.logtype)},
      {"newonstart", std::to_string(r.newonstart)},
      {"daily", std::to_string(r.daily)},
      {"dailyhour", std::to_string(r.dailyhour)},
      {"dailyminute", std::to_string(r.dailyminute)},
      {"newonmax", std::to_string(r.newonmax)},
      {"Maxentries", std::to_string(r.Maxentries)},
      {"useplugin", std::to_string(r.useplugin)},
      {"HostName", Kept(r.HostName)},
      {"Database", Kept(r.Database)},
      {"Username", Kept(r.Username)},
      {"password", Kept(r.password)},
      {"FTPpassive", std::to_string(r.FTPpassive)},
  };
  for (int k = 1; k <= r.RuleCount(); ++k) {
    const zf::Rule& rule = r.rule(k);
    const std::string n = "rule" + std::to_string(k);
    f.emplace_back(n + "match", Kept(rule.match));
    f.emplace_back(n + "format", Kept(rule.format));
    f.emplace_back(n + "partial", std::to_string(rule.partial));
    f.emplace_back(n + "trans", Kept(rule.trans));
  }
  for (int k = 1; k <= r.TranslationCount(); ++k) {
    const zf::Translation& t = r.translation(k);
    const std::string n = "translation" + std::to_string(k);
    f.emplace_back(n + "format", Kept(t.format));
    f.emplace_back(n + "fromstr", Kept(t.fromstr));
    f.emplace_back(n + "tostr", Kept(t.tostr));
    f.emplace_back(n + "definition", Kept(t.definition));
  }
  return f;
}

Fields TableFields(const zf::QueueTable& table) {
  const zf::QueueTable::State state = table.Snapshot();
  const zf::PluginFieldMap& p = state.plugin;
  Fields f = {{"Nfolders", std::to_string(state.Nfolders)},
              {"orvatictable", Kept(p.orvatictable)},
              {"Publication", Kept(p.Publication)},
              {"Date", Kept(p.Date)},
              {"Edtion", Kept(p.Edtion)},
              {"Section", Kept(p.Section)},
              {"Pagenumber", Kept(p.Pagenumber)},
              {"Pagename", Kept(p.Pagename)},
              {"Pagination", Kept(p.Pagination)},
              {"Copies", Kept(p.Copies)},
              {"Color", Kept(p.Color)},
              {"Platetemplate", Kept(p.Platetemplate)},
              {"Templateoption", Kept(p.Templateoption)}};
  for (int i = 0; i < state.Nfolders; ++i) {
    for (auto& [key, value] : QueueFields(*state.slots[static_cast<std::size_t>(i)])) {
      f.emplace_back("Folder" + std::to_string(i + 1) + "." + key, std::move(value));
    }
  }
  return f;
}

Fields SettingsFields(const zf::GeneralSettings& s) {
  return {{"browsetime", std::to_string(s.browsetime)},
          {"stabletime", std::to_string(s.stabletime)},
          {"FTPtimeout", Kept(s.FTPtimeout)},
          {"debugmode", std::to_string(s.debugmode)},
          {"autostart", std::to_string(s.autostart)},
          {"maxvisuallog", std::to_string(s.maxvisuallog)},
          {"logformat", Kept(s.logformat)},
          {"plugin", std::to_string(s.plugin)},
          {"HostName", Kept(s.HostName)},
          {"DB", Kept(s.DB)},
          {"Username", Kept(s.Username)},
          {"Password", Kept(s.Password)}};
}

void CheckSame(const Fields& before, const Fields& after, const char* property) {
  if (before == after) return;
  std::string detail =
      "field counts " + std::to_string(before.size()) + " and " + std::to_string(after.size());
  for (std::size_t i = 0; i < before.size() && i < after.size(); ++i) {
    if (before[i] != after[i]) {
      detail = before[i].first + " = \"" + zf::fuzz::Escaped(before[i].second) + "\", then " +
               after[i].first + " = \"" + zf::fuzz::Escaped(after[i].second) + "\"";
      break;
    }
  }
  zf::fuzz::Fail(property, detail, __FILE__, __LINE__);
}

std::string ReadBack(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = zf::fuzz::ScratchFolder() + "/Zentrafold.ini";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const zf::QueueConfigFile queues(path, zf::DefaultFileSystem(), zf::DefaultRegionalSettings());
  const zf::GeneralSettingsFile settings(path);

  // The tables live across runs, as the program's table lives across
  // reloads: a load overwrites every field within the counts it reads, and
  // only those are compared, so nothing carries over; a fresh table per run
  // (100 records with room for 1200 rules and translations each) would
  // cost more than everything else here.
  static zf::QueueTable table, again;
  queues.Load(table);
  zf::WorkingSettings working;
  const zf::GeneralSettingsFile::Loaded loaded = settings.Load(working);

  ZF_FUZZ_CHECK(queues.Save(table).ok(), "the queue file saves", path);
  const zf::Status settingsSaved = settings.Save(loaded.settings, working);
  ZF_FUZZ_CHECK(settingsSaved.ok() || !loaded.messages.empty(),
                "the settings save, unless the FTP time-out was no number",
                settingsSaved.message());
  const std::string firstSave = ReadBack(path);

  queues.Load(again);
  zf::WorkingSettings workingAgain;
  const zf::GeneralSettingsFile::Loaded loadedAgain = settings.Load(workingAgain);
  CheckSame(TableFields(table), TableFields(again), "the queue table reads back as saved");
  CheckSame(SettingsFields(loaded.settings), SettingsFields(loadedAgain.settings),
            "the general settings read back as saved");
  ZF_FUZZ_CHECK(loaded.messages.size() == loadedAgain.messages.size(),
                "the same messages on the second load", "");
  for (std::size_t i = 0; i < loaded.messages.size(); ++i) {
    ZF_FUZZ_CHECK_EQ(Kept(loaded.messages[i]), loadedAgain.messages[i],
                     "the same messages on the second load");
  }
  ZF_FUZZ_CHECK(
      working.ftpTimeout == workingAgain.ftpTimeout, "the same working FTP time-out",
      std::to_string(working.ftpTimeout) + " then " + std::to_string(workingAgain.ftpTimeout));

  // What was read back saves to the very same text.
  ZF_FUZZ_CHECK(queues.Save(again).ok(), "the queue file saves again", path);
  (void)settings.Save(loadedAgain.settings, workingAgain);
  ZF_FUZZ_CHECK_EQ(ReadBack(path), firstSave, "a second save writes the same file");
  return 0;
}
