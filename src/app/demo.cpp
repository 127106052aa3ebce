#include "demo.h"

#include <filesystem>
#include <system_error>

#include "config/configpaths.h"
#include "config/queuefile.h"
#include "config/queuetable.h"
#include "config/settings.h"
#include "config/settingsfile.h"
#include "platform/datetime.h"

namespace zf::app {
namespace {

namespace fs = std::filesystem;

Status MakeFolder(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) return Status::Error("cannot create '" + path + "': " + ec.message(), ec.value());
  return Status::Ok();
}

void FillDemoQueue(QueueRecord& q, const DemoWorkspace& demo) {
  ApplyQueueDefaults(q);
  q.name = demo.queueName;
  q.Enabled = true;
  q.Inputfolder = demo.input;
  q.Outputfolder = demo.output;
  q.Errorfolder = demo.error;
  q.NRegularexpr = 2;
  q.rule(1) = Rule{R"(([A-Za-z]+)[ _-]*(\d+)\.pdf)", R"(\U$1\E_page$2.pdf)", false, "$2"};
  q.rule(2) = Rule{R"((.+)\.txt)", "$1_renamed.txt", false, ""};
  q.Makelog = true;
  q.Logfile = demo.log;
}

}  // namespace

void ApplyQueueDefaults(QueueRecord& q) {
  q.name.clear();
  q.Inputfolder.clear();
  q.Outputfolder.clear();
  q.Errorfolder.clear();
  q.Searchmask = "*.*";
  q.ignoremask = "none";
  q.Enabledatstart = true;
  q.Enabled = true;
  q.NRegularexpr = 0;
  q.filetimetype = 2;
  q.Splitpdf = false;
  q.FTPuse = false;
  q.FTPhost.clear();
  q.FTPuser.clear();
  q.FTPpasw.clear();
  q.FTPPort = 21;
  q.FTPpath.clear();
  q.FTPTemppath = "c:\\temp";
  q.lastlogrenew = EncodeDateTime(1980, 1, 1, 1, 1, 1, 1);
  q.Makelog = false;
  q.Logfile.clear();
  q.logtype = 0;
  q.newonstart = false;
  q.daily = false;
  q.dailyhour = 1;
  q.dailyminute = 1;
  q.useplugin = 0;
  q.HostName.clear();
  q.Database.clear();
  q.Username.clear();
  q.password.clear();
  q.newonmax = false;
  q.Maxentries = 10000;
  q.Ntranslations = 0;
  q.transdatefrom = "ddmmyyyy";
  q.transdateto = "ddmmyyyy";
  q.translationresult.clear();
}

Result<DemoWorkspace> InitDemo(const std::string& folder, const std::string& programPath) {
  std::error_code ec;
  const fs::path root = fs::absolute(folder, ec).lexically_normal();
  if (ec) return Status::Error("cannot use '" + folder + "': " + ec.message(), ec.value());
  DemoWorkspace demo;
  demo.folder = root.string();
  if (demo.folder.size() > 1 && demo.folder.back() == '/') demo.folder.pop_back();
  demo.input = demo.folder + "/input";
  demo.output = demo.folder + "/output";
  demo.error = demo.folder + "/error";
  demo.log = demo.folder + "/log";
  demo.queueName = "Demo";

  const ConfigPaths paths = ConfigPaths::For(programPath, demo.folder);
  const std::string& queueFile = paths.queueFile;
  if (fs::exists(queueFile, ec)) {
    return Status::Error("'" + queueFile + "' already exists; the demo is not written over it");
  }
  for (const std::string& f : {demo.folder, demo.input, demo.output, demo.error, demo.log}) {
    if (Status st = MakeFolder(f); !st.ok()) return st;
  }

  QueueTable table;
  const Result<int> slot = table.Append([&](QueueRecord& q) { FillDemoQueue(q, demo); });
  if (!slot.ok()) return slot.status();
  if (Status st = QueueConfigFile(queueFile).Save(table); !st.ok()) return st;

  GeneralSettings settings;
  settings.browsetime = 2;
  settings.stabletime = 2;
  settings.autostart = true;
  settings.watchfolders = true;
  WorkingSettings working;
  if (Status st = GeneralSettingsFile(paths.settingsFile).Save(settings, working); !st.ok()) {
    return st;
  }
  return demo;
}

std::string DescribeDemo(const DemoWorkspace& demo) {
  return "Demo workspace in " + demo.folder + ", one queue '" + demo.queueName +
         "':\n"
         "  drop files into   " +
         demo.input +
         "\n"
         "  renamed files in  " +
         demo.output +
         "  ('report 12.pdf' becomes 'REPORT_page12.pdf',\n"
         "                     'notes.txt' becomes 'notes_renamed.txt')\n"
         "  other names go to " +
         demo.error +
         "\n"
         "  log file          " +
         demo.log + "/" + demo.queueName + ".log\n";
}

}  // namespace zf::app
