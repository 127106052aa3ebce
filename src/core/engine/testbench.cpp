#include "engine/testbench.h"

#include "engine/readiness.h"

#include <algorithm>
#include <array>

#include "engine/delivery.h"
#include "engine/masks.h"
#include "engine/naming.h"
#include "engine/readiness.h"
#include "exprlib/expressionabi.h"
#include "platform/fileaccess.h"
#include "platform/paths.h"

namespace zf {
namespace {

constexpr int kEntries = 20;
constexpr std::string_view kFolderBased = "Folder based";

struct Entry {
  std::string name, value, definition;
};

// One format attempt of the bench: the name from `format` and, with "Split
// pdf" checked, the page text from the rule's trans.
struct Attempt {
  bool ok = false;
  std::string name;
  std::string page;
};

Attempt FormatAttempt(ExpressionLibrary& library, const Rule& rule, std::string_view format,
                      std::string_view name, bool splitpdf) {
  Attempt attempt;
  CallResult built = library.Format(rule.match, format, name, rule.partial, FormatPurpose::kName);
  attempt.name = built.text;
  attempt.ok = built.ok();
  if (splitpdf) {
    CallResult page =
        library.Format(rule.match, rule.trans, name, rule.partial, FormatPurpose::kPage);
    attempt.page = page.text;
    attempt.ok = attempt.ok && page.ok();
  }
  return attempt;
}

std::string TooLong(const std::string& what, std::size_t size) {
  return what + " has " + std::to_string(size) +
         " characters; the expression library takes at most " +
         std::to_string(kExchangeBufferSize - 1) + ".";
}

std::string Quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

std::string StatusFailure(CallStatus status, std::string_view entry) {
  switch (status) {
    case CallStatus::kInputRefused:
      return "a text is too long for the expression library";
    case CallStatus::kUnavailable:
      return "the expression library's " + std::string(entry) + " is not available";
    default:
      return {};
  }
}

}  // namespace

std::string BenchInputRefusal(const QueueRecord& queue, std::string_view name) {
  if (name.size() >= kExchangeBufferSize) return TooLong("The test file name", name.size());
  for (int r = 1; r <= queue.RuleCount(); ++r) {
    const Rule& rule = queue.rule(r);
    const std::string prefix = "Rule " + std::to_string(r) + ": the ";
    if (rule.match.size() >= kExchangeBufferSize) {
      return TooLong(prefix + "match expression", rule.match.size());
    }
    if (rule.format.size() >= kExchangeBufferSize) {
      return TooLong(prefix + "format expression", rule.format.size());
    }
    if (rule.trans.size() >= kExchangeBufferSize) {
      return TooLong(prefix + "translation format", rule.trans.size());
    }
  }
  return {};
}

std::vector<std::string> TranslateTestResult(const QueueRecord& queue, std::string_view trans,
                                             std::string_view result) {
  std::array<Entry, kEntries> entries;
  bool excess = false;
  auto entryAt = [&](int n) -> Entry* {
    if (n >= 1 && n <= kEntries) return &entries[static_cast<std::size_t>(n - 1)];
    excess = true;
    return nullptr;
  };

  // Names: "$" starts a name afresh, "|" stores it without emptying it, so a
  // part without "$" is appended to the name before it.
  int n = 1;
  std::string collected;
  for (char c : trans) {
    if (c == '$') {
      collected = "$";
    } else if (c == '|') {
      if (Entry* e = entryAt(n)) e->name = collected;
      ++n;
    } else {
      collected += c;
    }
  }
  if (Entry* e = entryAt(n)) e->name = collected;

  // Values: "|" ends one value and starts the next empty.
  int m = 1;
  collected.clear();
  for (char c : result) {
    if (c == '|') {
      if (m >= 1 && m <= kEntries) entries[static_cast<std::size_t>(m - 1)].value = collected;
      collected.clear();
      ++m;
    } else {
      collected += c;
    }
  }
  if (m >= 1 && m <= kEntries) entries[static_cast<std::size_t>(m - 1)].value = collected;

  n = std::min(n, kEntries);
  const int rows = queue.TranslationCount();
  for (int i = 1; i <= n; ++i) {
    Entry& e = entries[static_cast<std::size_t>(i - 1)];
    for (int t = 1; t <= rows; ++t) {
      const Translation& row = queue.translation(t);
      if (row.format != e.name) continue;
      // A later row of the same parameter overrides the definition, unless
      // this one already translated the value.
      e.definition = row.definition;
      if (e.value == row.fromstr) {
        e.value = row.tostr;
        break;
      }
    }
  }
  for (int t = 1; t <= rows; ++t) {
    const Translation& row = queue.translation(t);
    if (row.format != kFolderBased) continue;
    if (Entry* e = entryAt(n + 1)) {
      *e = Entry{std::string(kFolderBased), row.fromstr, row.definition};
      ++n;
    }
  }

  std::vector<std::string> lines;
  for (int i = 1; i <= n; ++i) {
    const Entry& e = entries[static_cast<std::size_t>(i - 1)];
    lines.push_back(e.definition + "=" + e.value);
  }
  if (excess) {
    lines.push_back("(more than " + std::to_string(kEntries) +
                    " parameters: the rest are left out)");
  }
  return lines;
}

BenchResult RuleTestBench::TestMatch(const QueueRecord& queue, std::string_view name) {
  BenchResult result;
  result.refusal = BenchInputRefusal(queue, name);
  if (!result.refusal.empty()) return result;
  const int count = queue.RuleCount();
  if (count == 0) return result;
  bool matched = false;
  for (int r = 1; r <= count && !matched; ++r) {
    const Rule& rule = queue.rule(r);
    matched = library_.TryMatch(rule.match, name, rule.partial).ok();
  }
  result.testResult = std::string(matched ? kFoundAMatch : kFoundNoMatch);
  return result;
}

BenchResult RuleTestBench::TestFormat(const QueueRecord& queue, std::string_view name) {
  BenchResult result;
  result.refusal = BenchInputRefusal(queue, name);
  if (!result.refusal.empty()) return result;
  result.testResult = std::string(kFoundNoMatch);
  const bool splitpdf = queue.Splitpdf;
  for (int r = 1; r <= queue.RuleCount(); ++r) {
    const Rule& rule = queue.rule(r);
    const Attempt attempt = FormatAttempt(library_, rule, rule.format, name, splitpdf);
    if (!attempt.ok) continue;
    result.testResult = attempt.name;
    result.pageResult = splitpdf ? attempt.page : std::string();
    if (!rule.trans.empty()) {
      // The page-number format doubles as the translation format.
      const Attempt translated = FormatAttempt(library_, rule, rule.trans, name, splitpdf);
      if (translated.ok) {
        result.translation = TranslateTestResult(queue, rule.trans, translated.name);
      } else {
        result.translation.push_back(std::string(kCannotTranslate));
      }
    }
    break;
  }
  return result;
}

Explanation RuleTestBench::Explain(const QueueRecord& queue, std::string_view name,
                                   FileAccess& files) {
  Explanation out;
  out.fileName = std::string(name);
  // Masks and rules see the name as the engine hands it to them.
  const std::string seen = queue.Normalize ? NfcName(name) : std::string(name);
  if (seen != name) out.normalized = seen;
  name = seen;
  if (!queue.Readyfile.empty() && !IsReadyMarker(queue.Readyfile, out.fileName)) {
    out.readyMarker = ReadyMarkerOf(queue.Readyfile, out.fileName);
  }
  if (queue.Checkpdf && IsPdfName(out.fileName)) out.checkpdfPasses = queue.Checkpdfpasses;
  out.splitpdf = queue.Splitpdf;
  out.refusal = BenchInputRefusal(queue, name);
  if (!out.refusal.empty()) return out;
  out.groupsAvailable = library_.Has(EntryPoint::kMatchGroups);

  out.searchMaskLetsThrough = ListingNameMatches(name, queue.Searchmask);
  const Result<bool> ignored = IsIgnored(name, queue.ignoremask);
  if (ignored.ok()) {
    out.ignored = ignored.value();
  } else {
    out.ignoreError = ignored.status().message();
  }

  // The engine's decision comes from the engine's own resolver: each rule
  // alone tells whether the engine would stop at it, the whole queue gives
  // the name and page number.
  NameResolver resolver(library_);
  QueueRecord single;
  single.NRegularexpr = 1;
  single.Splitpdf = queue.Splitpdf;
  for (int r = 1; r <= queue.RuleCount(); ++r) {
    ExplainedRule row;
    row.number = r;
    row.rule = queue.rule(r);
    row.reached = out.engineRule == 0;
    const Rule& rule = row.rule;
    row.match = library_.TryMatch(rule.match, name, rule.partial).status;
    if (out.groupsAvailable && row.match == CallStatus::kOk) {
      GroupsResult groups = library_.MatchGroups(rule.match, name, rule.partial);
      if (groups.ok()) row.groups = std::move(groups.groups);
    }
    const CallResult built =
        library_.Format(rule.match, rule.format, name, rule.partial, FormatPurpose::kName);
    row.name = built.status;
    row.newname = built.text;
    if (queue.Splitpdf) {
      row.pageTried = true;
      const CallResult page =
          library_.Format(rule.match, rule.trans, name, rule.partial, FormatPurpose::kPage);
      row.page = page.status;
      row.pageText = page.text;
      std::int32_t number = 0;
      if (page.ok() && ReadPageNumber(page.text, number)) row.pagenumber = number;
    }

    if (row.name == CallStatus::kFailed) {
      row.failure = row.match == CallStatus::kOk
                        ? "the name matches, but the format expression cannot be built from it"
                        : "no match";
    } else if (row.name != CallStatus::kOk) {
      row.failure = StatusFailure(row.name, kFormatExpressionName);
    } else if (row.pageTried && row.page != CallStatus::kOk) {
      row.failure = row.page == CallStatus::kFailed
                        ? "the page-number format cannot be built from the match"
                        : StatusFailure(row.page, kFormatExpressionName);
    } else if (!IsPlainFileName(row.newname) && !IsSubfolderName(row.newname)) {
      row.failure = RefusedNameReason(row.newname);
    }

    if (out.engineRule == 0) {
      single.rule(1) = rule;
      NamingState state;
      std::int32_t page = 0;
      const ResolvedName alone = resolver.Resolve(single, name, state, page);
      if (alone.unavailable) out.libraryUnavailable = true;
      if (!alone.newname.empty() || alone.refused) {
        out.engineRule = r;
        row.engineTakes = true;
      }
    }
    out.rules.push_back(std::move(row));
  }

  NamingState state;
  std::int32_t page = 0;
  const ResolvedName resolved = resolver.Resolve(queue, name, state, page);
  out.libraryUnavailable = out.libraryUnavailable || resolved.unavailable;
  out.engineName = resolved.newname;
  out.enginePage = page;
  if (resolved.refused) out.refusedReason = RefusedNameReason(resolved.rejected);
  if (!out.engineName.empty()) {
    std::string relative = out.engineName;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    out.outputPath = IncludeTrailingPathDelimiter(queue.Outputfolder) + relative;
    out.outputExists = files.FileExists(out.outputPath);
    out.collision = queue.Collision;
    out.errorFolder = !queue.Errorfolder.empty();
    if (out.outputExists && out.collision == kCollisionKeepBoth) {
      const std::size_t cut = out.outputPath.rfind('/') + 1;
      const std::string folder = out.outputPath.substr(0, cut);
      const std::string last = out.outputPath.substr(cut);
      for (int n = 2; out.keptAs.empty(); ++n) {
        if (!files.FileExists(folder + NumberedName(last, n))) out.keptAs = NumberedName(last, n);
      }
    }
  }
  return out;
}

std::string Explanation::CollisionLine() const {
  const std::string holds = "Collision: the output folder holds " + Quoted(engineName) + ": ";
  switch (collision) {
    case kCollisionKeepBoth:
      return holds + "keep both -> " + Quoted(keptAs);
    case kCollisionToError:
      return holds + (errorFolder ? "the file goes to the error folder (" : "the file stays (") +
             OutputHolds(engineName) + ")";
    case kCollisionDuplicate:
      return holds + "replaced if the content differs, else dropped as a duplicate";
    default:
      return holds + "replaced";
  }
}

std::vector<std::string> Explanation::Lines() const {
  std::vector<std::string> lines;
  if (!refusal.empty()) {
    lines.push_back(refusal);
    return lines;
  }
  lines.push_back("Test name: " + Quoted(fileName));
  if (!normalized.empty()) lines.push_back("Normalized to NFC: " + Quoted(normalized));
  if (rules.empty()) lines.push_back("The queue has no rules.");
  if (!groupsAvailable && !rules.empty()) {
    lines.push_back("(the expression library gives no capture groups)");
  }
  for (const ExplainedRule& r : rules) {
    std::string head = "Rule " + std::to_string(r.number) + ": ";
    switch (r.match) {
      case CallStatus::kOk:
        head += "match";
        break;
      case CallStatus::kFailed:
        head += "no match";
        break;
      default:
        head += "match unknown (" + StatusFailure(r.match, kTryMatchExpressionName) + ")";
    }
    if (r.engineTakes) head += "  <- the engine takes this rule";
    if (!r.reached) head += "  (not reached by the engine)";
    lines.push_back(head);
    for (std::size_t g = 0; g < r.groups.size(); ++g) {
      lines.push_back("  group " + std::to_string(g) + ": " +
                      (r.groups[g] ? Quoted(*r.groups[g]) : std::string("(took no part)")));
    }
    if (r.name == CallStatus::kOk) lines.push_back("  name: " + Quoted(r.newname));
    if (r.pageTried && r.page == CallStatus::kOk) {
      lines.push_back("  page text: " + Quoted(r.pageText) +
                      (r.pagenumber ? ", page " + std::to_string(*r.pagenumber)
                                    : std::string(", no page number: the page number stays")));
    }
    if (!r.failure.empty()) lines.push_back("  no name: " + r.failure);
  }
  if (!readyMarker.empty()) {
    lines.push_back("Ready marker: the file waits for " + Quoted(readyMarker) +
                    ", removed after the file is delivered");
  }
  if (checkpdfPasses != 0) {
    lines.push_back("Complete PDF: the file waits until its end is a complete PDF; after " +
                    std::to_string(checkpdfPasses) + " passes it goes to the error folder");
  }
  lines.push_back(std::string("Search mask: ") +
                  (searchMaskLetsThrough ? "lets the name through" : "does not list the name"));
  if (!ignoreError.empty()) {
    lines.push_back("Ignore mask: invalid (" + ignoreError + ")");
  } else {
    lines.push_back(std::string("Ignore mask: ") +
                    (ignored ? "holds the name back" : "lets the name through"));
  }
  if (libraryUnavailable) {
    lines.push_back("Engine: the expression library cannot be called; the file would wait");
  } else if (!engineName.empty()) {
    std::string line =
        "Engine: rule " + std::to_string(engineRule) + " gives " + Quoted(engineName);
    if (splitpdf) line += ", page " + std::to_string(enginePage);
    lines.push_back(line);
    lines.push_back("Output folder: " + (outputExists
                                             ? "a file " + Quoted(outputPath) + " exists already"
                                             : "no file " + Quoted(outputPath) + " yet"));
    if (outputExists && !splitpdf && collision != kCollisionReplace) {
      lines.push_back(CollisionLine());
    }
  } else if (!refusedReason.empty()) {
    lines.push_back("Engine: rule " + std::to_string(engineRule) + " is taken but refused (" +
                    refusedReason + "): " + std::string(kCannotRename));
  } else {
    lines.push_back("Engine: no rule gives a name: " + std::string(kCannotRename));
  }
  return lines;
}

}  // namespace zf
