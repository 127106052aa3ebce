#include "engine/naming.h"

#include <charconv>
#include <exception>
#include <utility>

#include "engine/renamethread.h"
#include "platform/fileops.h"

namespace zf {
namespace {

constexpr std::size_t kNameMax = 255;

std::vector<Rule> RulesOf(const QueueRecord& queue) {
  std::vector<Rule> rules;
  const int count = queue.RuleCount();
  rules.reserve(static_cast<std::size_t>(count));
  for (int r = 1; r <= count; ++r) rules.push_back(queue.rule(r));
  return rules;
}

// Delivery takes "\" as a folder separator when the subfolders it names
// exist (names from the desktop platform), so a name it could read that way
// must stay inside the output folder and clear of our temporary shape too.
bool SafeBetweenBackslashes(std::string_view name) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = name.find('\\', start);
    const std::string_view part =
        name.substr(start, end == std::string_view::npos ? end : end - start);
    if (part == ".." || FileOperations::IsTempName(part)) return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

}  // namespace

bool IsPlainFileName(std::string_view name) {
  return !name.empty() && name.size() <= kNameMax && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos &&
         !FileOperations::IsTempName(name) && SafeBetweenBackslashes(name);
}

bool IsSubfolderName(std::string_view name) {
  constexpr std::size_t kPathMax = 4095;
  if (name.size() > kPathMax || name.find_first_of("/\\") == std::string_view::npos) return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = name.find_first_of("/\\", start);
    if (!IsPlainFileName(name.substr(start, end == std::string_view::npos ? end : end - start))) {
      return false;
    }
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

std::string RefusedNameReason(std::string_view name) {
  if (name.empty()) return "the rule gave an empty name";
  if (name.size() > kNameMax && name.find('/') == std::string_view::npos) {
    return "the name is longer than 255 bytes";
  }
  return "the name \"" + std::string(name) + "\" leaves the output folder";
}

bool ReadPageNumber(std::string_view text, std::int32_t& value) {
  std::string_view digits = text;
  // from_chars takes a minus itself but no plus.
  if (digits.starts_with('+')) {
    digits.remove_prefix(1);
    if (digits.starts_with('-')) return false;
  }
  std::int32_t parsed = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed);
  if (error != std::errc() || end != digits.data() + digits.size()) return false;
  value = parsed;
  return true;
}

std::string NameResolver::ResolveName(const QueueRecord& queue, std::string_view filename,
                                      NamingState& state, std::int32_t& pagenumber) {
  return Resolve(queue, filename, state, pagenumber).newname;
}

ResolvedName NameResolver::Resolve(const QueueRecord& queue, std::string_view filename,
                                   NamingState& state, std::int32_t& pagenumber) {
  // The caller's record is read in place: it is either immutable (a table
  // snapshot) or the caller's own.
  return ResolveRules(
      queue.RuleCount(), [&](int r) -> const Rule& { return queue.rule(r); }, queue.Splitpdf,
      filename, state, pagenumber);
}

template <typename RuleAt>
ResolvedName NameResolver::ResolveRules(int count, const RuleAt& ruleAt, bool splitpdf,
                                        std::string_view filename, NamingState& state,
                                        std::int32_t& pagenumber) {
  ResolvedName result;
  try {
    for (int r = 1; r <= count; ++r) {
      const Rule& rule = ruleAt(r);
      state.splitpages = splitpdf;
      std::string output;
      const RuleOutcome outcome = TryRule(rule, filename, state, output);
      if (outcome == RuleOutcome::kUnavailable) {
        // Not knowing is not "no rule fits": the caller must not treat the
        // file as unresolved, or it would go to the error folder for nothing.
        result.unavailable = true;
        return result;
      }
      pagenumber = state.currentpage;
      if (outcome == RuleOutcome::kMatched) {
        // The first matching rule decides, even when its name cannot be used:
        // a name that would leave the output folder is no name at all.
        if (IsPlainFileName(output) || IsSubfolderName(output)) {
          result.newname = std::move(output);
        } else {
          result.rejected = std::move(output);
          result.refused = true;
        }
        break;
      }
    }
  } catch (const std::exception&) {
    // The loop ends; whatever was found so far stands.
  }
  return result;
}

NameResolver::RuleOutcome NameResolver::TryRule(const Rule& rule, std::string_view filename,
                                                NamingState& state, std::string& output) {
  try {
    CallResult name =
        library_.Format(rule.match, rule.format, filename, rule.partial, FormatPurpose::kName);
    if (name.status == CallStatus::kUnavailable) return RuleOutcome::kUnavailable;
    bool pageOk = true;
    if (state.splitpages) {
      const CallResult page =
          library_.Format(rule.match, rule.trans, filename, rule.partial, FormatPurpose::kPage);
      if (page.status == CallStatus::kUnavailable) return RuleOutcome::kUnavailable;
      pageOk = page.ok();
      if (pageOk) ReadPageNumber(page.text, state.currentpage);
    }
    // A refused input (too long for the exchange buffers) is no match, like
    // any other failure of the call.
    if (!name.ok() || !pageOk) return RuleOutcome::kNoMatch;
    output = std::move(name.text);
    return RuleOutcome::kMatched;
  } catch (const std::exception&) {
    return RuleOutcome::kNoMatch;
  }
}

Status NameResolver::ResolveNames(Trenamethread& engine, PassContext& pass) {
  NamingState state{engine.splitpages, engine.currentpage};
  const Status status = ResolveNames(pass, state, [&] { return engine.KeepGoing(pass); });
  engine.splitpages = state.splitpages;
  engine.currentpage = state.currentpage;
  return status;
}

Status NameResolver::ResolveNames(PassContext& pass, NamingState& state,
                                  const KeepGoingFn& keepGoing) {
  try {
    // While FormatExpression cannot be called, no file is judged: all stay
    // as they are, neither named nor unresolved, for a later cycle.
    if (!library_.Has(EntryPoint::kFormatExpression)) return Status::Ok();
    // The pass's record is an immutable snapshot; its rules are taken once,
    // and no lock of the queue table is held while the library works.
    const std::vector<Rule> rules = RulesOf(*pass.queue);
    const bool splitpdf = pass.queue->Splitpdf;
    state.splitpages = splitpdf;
    FileTable& table = pass.files;
    for (int k = 1; k <= table.count(); ++k) {
      FileEntry& entry = table.at(k);
      // A refused file (an incomplete PDF given up on) is not named.
      if (entry.ready && !entry.refused) {
        ResolvedName resolved = ResolveRules(
            static_cast<int>(rules.size()),
            [&](int r) -> const Rule& { return rules[static_cast<std::size_t>(r - 1)]; }, splitpdf,
            entry.RuleName(), state, entry.pagenumber);
        if (resolved.unavailable) return Status::Ok();
        if (resolved.newname.empty()) {
          entry.unresolved = true;
          entry.comment = std::string(kCannotRename);
          // A name was made but cannot be used: that is no reason to delete
          // the file, as a queue without an error folder would.
          if (resolved.refused) {
            entry.refused = true;
            entry.reason = RefusedNameReason(resolved.rejected);
          }
        } else {
          entry.newname = std::move(resolved.newname);
        }
      }
      if (!keepGoing()) break;
    }
  } catch (const std::exception&) {
    // Entries not reached keep an empty newname and wait for a later pass.
  }
  return Status::Ok();
}

}  // namespace zf
