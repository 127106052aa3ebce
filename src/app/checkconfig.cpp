#include "checkconfig.h"

#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "config/ftptempfolder.h"
#include "engine/masks.h"
#include "engine/readiness.h"
#include "exprlib/expressionabi.h"
#include "ftp/ftpleftovers.h"
#include "ftp/ftpsecurity.h"

namespace zf::app {
namespace {

constexpr const char* kAlternative = "|";
constexpr const char* kQuoteEndAlternative = "\\E\n|";

// A run of an odd number of backslashes at the end escapes whatever follows,
// so the second probe would turn "abc\" (which does not compile) into valid
// text; for such an expression only the first probe counts.
bool EndsInLoneBackslash(const std::string& text) {
  std::size_t run = 0;
  for (auto it = text.rbegin(); it != text.rend() && *it == '\\'; ++it) ++run;
  return run % 2 == 1;
}

// The probe texts for a match expression, in the order to try them.
std::vector<std::string> Probes(const std::string& match) {
  std::vector<std::string> probes{match + kAlternative};
  if (!EndsInLoneBackslash(match)) probes.push_back(match + kQuoteEndAlternative);
  return probes;
}

class QueueReporter {
 public:
  QueueReporter(ConfigReport& report, int slot, const std::string& name)
      : report_(report), prefix_("queue " + std::to_string(slot) + " '" + name + "': ") {}
  void Problem(const std::string& text) { report_.problems.push_back(prefix_ + text); }
  void Note(const std::string& text) { report_.notes.push_back(prefix_ + text); }

 private:
  ConfigReport& report_;
  std::string prefix_;
};

void CheckFolder(QueueReporter& out, FileAccess& files, const char* what,
                 const std::string& folder) {
  if (folder.empty()) {
    out.Problem(std::string("no ") + what);
  } else if (!files.DirectoryExists(folder)) {
    out.Problem(std::string(what) + " '" + folder + "' does not exist");
  }
}

// Fetched files are gone from the server and FTPTemppath is never listed, so
// a file whose delivery failed waits there for the operator.
void ReportFtpLeftovers(QueueReporter& out, const QueueRecord& queue, FileAccess& files) {
  const auto leftovers = ListFtpLeftovers(queue, files);
  if (!leftovers.ok() || leftovers->empty()) return;
  constexpr std::size_t kNamed = 5;
  std::string names;
  for (std::size_t i = 0; i < leftovers->size() && i < kNamed; ++i) {
    names += (i == 0 ? "" : ", ") + (*leftovers)[i].name;
  }
  if (leftovers->size() > kNamed) names += ", ...";
  out.Note(std::to_string(leftovers->size()) + " fetched file(s) in '" + FtpTempFolderOf(queue) +
           "' wait for delivery; the next pass delivers them: " + names);
}

bool Loopback(const std::string& host) {
  return host == "localhost" || host.rfind("127.", 0) == 0 || host == "::1" || host == "[::1]";
}

// The protocol, and what can be known here of how the server's key is
// checked: the fingerprint's form, the files' presence and modes.
void CheckFtpSecurity(QueueReporter& out, const QueueRecord& queue,
                      const std::string& configFolder) {
  const std::int32_t protocol = queue.FTPprotocol;
  if (protocol < kFtpPlain || protocol > kFtpSftp) {
    out.Problem("FTPprotocol " + std::to_string(protocol) +
                " is unknown (0 FTP, 1 explicit TLS, 2 implicit TLS, 3 SFTP): it never connects");
    return;
  }
  out.Note("fetches by " + FtpProtocolName(protocol) + " from " + queue.FTPhost + ":" +
           std::to_string(queue.FTPPort));
  if (protocol == kFtpPlain && !queue.FTPuser.empty() && !queue.FTPhost.empty() &&
      !Loopback(queue.FTPhost)) {
    out.Note("warning: plain FTP to " + queue.FTPhost +
             ": the password crosses the network in clear; FTP over TLS or SFTP keeps it safe");
  }
  if (const Result<std::string> pin = NormalizedFingerprint(protocol, queue.FTPfingerprint);
      !pin.ok()) {
    out.Problem("FTPfingerprint: " + pin.status().message());
  }
  if (protocol != kFtpSftp) return;
  const FtpSecurity security = SecurityOf(queue, configFolder);
  // Without the configuration folder a relative name cannot be found here.
  const auto known = [&](const std::string& path) {
    return !path.empty() && (path.front() == '/' || !configFolder.empty());
  };
  struct stat st {};
  if (queue.FTPfingerprint.empty() && known(security.knownHosts) &&
      ::stat(security.knownHosts.c_str(), &st) != 0) {
    out.Problem("neither FTPfingerprint nor the known_hosts file '" + security.knownHosts +
                "' holds the server's key: every connection is refused");
  }
  if (!known(security.keyFile)) return;
  if (::stat(security.keyFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    out.Problem("key file '" + security.keyFile + "' does not exist");
  } else if ((st.st_mode & 077) != 0 || st.st_uid != ::geteuid()) {
    // A private key others may read is no secret any more.
    out.Problem("key file '" + security.keyFile +
                "' is refused: it must belong to the service's user and be readable by it alone");
  }
}

void CheckRules(QueueReporter& out, const QueueRecord& queue, ExpressionLibrary& library) {
  for (int k = 1; k <= queue.RuleCount(); ++k) {
    const Rule& rule = queue.rule(k);
    const std::string label = "rule " + std::to_string(k) + ": ";
    switch (CheckMatchExpression(library, rule.match, rule.partial)) {
      case ExpressionCheck::kDoesNotCompile:
        out.Problem(label + "match expression '" + rule.match + "' does not compile");
        continue;
      case ExpressionCheck::kTooLong:
        out.Problem(label + "match expression is longer than " +
                    std::to_string(kExchangeBufferSize - 1) + " characters");
        continue;
      case ExpressionCheck::kUnchecked:
        out.Note(label + "match expression could not be checked");
        continue;
      case ExpressionCheck::kCompiles:
        break;
    }
    if (rule.format.empty()) {
      out.Problem(label + "format expression is empty: the files it matches get no name");
    } else if (!FormatExpressionFits(library, rule.match, rule.format, rule.partial)) {
      out.Problem(label + "format expression '" + rule.format +
                  "' does not fit the match expression");
    }
    if (queue.Splitpdf && !FormatExpressionFits(library, rule.match, rule.trans, rule.partial)) {
      out.Problem(label + "page-number format '" + rule.trans +
                  "' does not fit the match expression");
    }
  }
}

}  // namespace

ExpressionCheck CheckMatchExpression(ExpressionLibrary& library, const std::string& match,
                                     bool partial) {
  if (match.size() >= static_cast<std::size_t>(kExchangeBufferSize))
    return ExpressionCheck::kTooLong;
  bool asked = false;
  for (const std::string& probe : Probes(match)) {
    const CallResult r = library.TryMatch(probe, "", partial);
    if (r.ok()) return ExpressionCheck::kCompiles;
    if (r.status == CallStatus::kFailed) asked = true;
  }
  return asked ? ExpressionCheck::kDoesNotCompile : ExpressionCheck::kUnchecked;
}

bool FormatExpressionFits(ExpressionLibrary& library, const std::string& match,
                          const std::string& format, bool partial) {
  for (const std::string& probe : Probes(match)) {
    if (!library.TryMatch(probe, "", partial).ok()) continue;
    return library.Format(probe, format, "", partial).ok();
  }
  return false;
}

ConfigReport CheckConfiguration(QueueTable& table, const std::vector<std::string>& loadMessages,
                                ExpressionLibrary* library, FileAccess& files,
                                const std::string& configFolder) {
  ConfigReport report;
  for (const std::string& m : loadMessages) report.problems.push_back("configuration: " + m);

  bool canName = library != nullptr;
  if (library == nullptr) {
    report.problems.push_back("expression library: not loaded; no file can be renamed");
  } else {
    if (!library->Has(EntryPoint::kFormatExpression)) {
      report.problems.push_back(
          "expression library: FormatExpression is missing; no file can be "
          "renamed");
      canName = false;
    }
    if (!library->Has(EntryPoint::kTryMatchExpression)) {
      report.problems.push_back(
          "expression library: TryMatchExpression is missing; rules cannot "
          "be checked");
      canName = false;
    }
  }

  const QueueTable::State state = table.Snapshot();
  std::multimap<int, FtpFolderFinding> ftpFolders;
  for (FtpFolderFinding& f : CheckFtpTempFolders(state)) ftpFolders.emplace(f.slot, std::move(f));
  std::map<std::string, int> firstSlotOf;
  for (int slot = 1; slot <= state.Nfolders; ++slot) {
    const QueueRecord& queue = *state.slots[static_cast<std::size_t>(slot - 1)];
    QueueReporter out(report, slot, queue.name);

    if (queue.name.empty()) out.Problem("has no name");
    const auto [first, fresh] = firstSlotOf.emplace(queue.name, slot);
    if (!fresh) {
      out.Problem("has the same name as queue " + std::to_string(first->second) +
                  "; look-ups by name find that one");
    }
    if (!queue.Enabledatstart) out.Note("not enabled at start: the service does not serve it");

    if (queue.FTPuse) {
      if (queue.FTPhost.empty()) out.Problem("takes its files from FTP but names no server");
      CheckFtpSecurity(out, queue, configFolder.empty() ? state.configFolder : configFolder);
      CheckFolder(out, files, "FTP temporary folder", queue.FTPTemppath);
      ReportFtpLeftovers(out, queue, files);
      const auto [from, to] = ftpFolders.equal_range(slot);
      for (auto f = from; f != to; ++f) {
        if (f->second.serious) {
          out.Problem(f->second.text);
        } else {
          out.Note(f->second.text);
        }
      }
    } else {
      CheckFolder(out, files, "input folder", queue.Inputfolder);
    }
    CheckFolder(out, files, "output folder", queue.Outputfolder);
    if (!queue.Errorfolder.empty() && !files.DirectoryExists(queue.Errorfolder)) {
      out.Problem("error folder '" + queue.Errorfolder + "' does not exist");
    }

    if (queue.Searchmask.empty()) out.Problem("search mask is empty: no file is ever taken");
    // Unlike the ignore mask, the search mask is one mask: a ";" in it is a
    // character to match. "*.eps;*.ps" (a choice the dialog offers) thus takes
    // no ".eps" or ".ps" file at all, which is never what the operator meant,
    // so this counts as a problem rather than a note.
    if (queue.Searchmask.find(';') != std::string::npos) {
      out.Problem("search mask '" + queue.Searchmask +
                  "' holds \";\": it is one mask, so it takes only names holding a literal "
                  "\";\"; give each kind of file a queue of its own");
    }
    if (!queue.ignoremask.empty() && queue.ignoremask != "none") {
      for (const std::string& mask : SplitMasks(queue.ignoremask)) {
        const WildcardMask prepared(mask);
        if (!prepared.status().ok()) out.Problem("ignore mask: " + prepared.status().message());
      }
    }

    if (queue.Collision < kCollisionReplace || queue.Collision > kCollisionLast) {
      out.Problem("collision policy " + std::to_string(queue.Collision) +
                  " is out of range (0 to " + std::to_string(kCollisionLast) +
                  "): a file replaces one of its name");
    }
    // What desktop clients leave in shared folders ends in the error folder
    // unless the ignore mask holds it back.
    if (!queue.Errorfolder.empty()) {
      std::string junk;
      for (const char* name :
           {"._Page01.pdf", ".DS_Store", "Thumbs.db", "desktop.ini", "~$Page01.doc"}) {
        const Result<bool> ignored = IsIgnored(name, queue.ignoremask);
        if (!ListingNameMatches(name, queue.Searchmask) || !ignored.ok() || *ignored) continue;
        junk += (junk.empty() ? "" : ", ") + std::string(name);
      }
      if (!junk.empty()) {
        out.Note("its error folder would receive junk files such as " + junk +
                 ": add them to the ignore mask, e.g. \"" + kJunkIgnoremask + "\"");
      }
    }
    if (const std::string bad = ReadyPatternProblem(queue.Readyfile); !bad.empty()) {
      out.Problem("ready marker '" + queue.Readyfile + "' cannot be used: " + bad);
    }
    if (queue.Checkpdf && queue.Checkpdfpasses < 1) {
      out.Problem("checks PDF files with Checkpdfpasses " + std::to_string(queue.Checkpdfpasses) +
                  ": an incomplete PDF goes to the error folder at once");
    }

    if (queue.RuleCount() == 0) {
      out.Problem(std::string("has no rules: every file is ") +
                  (queue.Errorfolder.empty() ? "deleted from the input folder"
                                             : "moved to the error folder"));
    } else if (canName) {
      CheckRules(out, queue, *library);
    }
    if (queue.Splitpdf && library != nullptr && !library->Has(EntryPoint::kPDFSplitter)) {
      out.Problem("splits PDF files, but the expression library has no PDFSplitter");
    }

    if (queue.Makelog) {
      if (queue.Logfile.empty()) {
        out.Problem("writes a log file but has no log folder");
      } else if (!files.DirectoryExists(queue.Logfile)) {
        out.Problem("log folder '" + queue.Logfile + "' does not exist");
      }
    }
    if (queue.dailyhour > 23 || queue.dailyminute > 59) {
      out.Problem("daily renewal time " + std::to_string(queue.dailyhour) + ":" +
                  std::to_string(queue.dailyminute) + " is out of range (0:00 to 23:59)");
    }
  }
  return report;
}

}  // namespace zf::app
