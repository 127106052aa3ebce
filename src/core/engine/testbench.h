#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/queuetable.h"
#include "exprlib/expressionlibrary.h"

namespace zf {

class FileAccess;

inline constexpr std::string_view kFoundAMatch = "Found a match";
inline constexpr std::string_view kFoundNoMatch = "Found no match";
inline constexpr std::string_view kCannotTranslate = "cannot translate";

// What one click of the rule test bench changes in the dialog. A field left
// empty (nullopt) keeps what the dialog shows.
struct BenchResult {
  // Set when an input was refused: the message is shown and nothing else
  // changes.
  std::string refusal;
  std::optional<std::string> testResult;  // "Test Result"
  std::optional<std::string> pageResult;  // the caption-less page-number box
  // The translation list is emptied by every click that is not refused.
  std::vector<std::string> translation;
};

// One rule of the queue as the explanation shows it.
struct ExplainedRule {
  int number = 0;  // 1-based, in list order
  Rule rule;
  // TryMatchExpression's answer; kUnavailable when the library lacks it.
  CallStatus match = CallStatus::kUnavailable;
  // The groups of the match, when the library can give them (see
  // Explanation::groupsAvailable); groups[0] is the whole match.
  std::vector<std::optional<std::string>> groups;
  // FormatExpression with the rule's format: the new name, or why not.
  CallStatus name = CallStatus::kUnavailable;
  std::string newname;
  // For a queue that splits PDF files: the page-number format's outcome.
  bool pageTried = false;
  CallStatus page = CallStatus::kUnavailable;
  std::string pageText;
  std::optional<std::int32_t> pagenumber;  // the page text read as a number
  // Why the rule gives no usable name; empty when it does.
  std::string failure;
  // The engine takes the first rule whose name (and page text) can be built.
  bool engineTakes = false;
  bool reached = true;  // false for rules after the one the engine takes
};

// "Why did this rule not fire?": every rule of the queue against one name, and
// what the engine would do with a file of that name.
struct Explanation {
  std::string refusal;  // as BenchResult::refusal
  std::string fileName;
  std::string normalized;   // the NFC name masks and rules see, when it differs
  std::string readyMarker;  // the marker the file waits for, if the queue wants one
  int checkpdfPasses = 0;   // a PDF of a queue that waits for complete ones
  bool splitpdf = false;
  bool groupsAvailable = false;
  std::vector<ExplainedRule> rules;

  // The queue's search mask, as the folder listing applies it.
  bool searchMaskLetsThrough = false;
  // The queue's ignore masks: true when one of them holds the name back; an
  // error text for an invalid mask.
  bool ignored = false;
  std::string ignoreError;

  // The engine's own name resolution (NameResolver), page numbers counted
  // from 0 as in a freshly started engine.
  bool libraryUnavailable = false;
  int engineRule = 0;  // 0: no rule gives a name
  std::string engineName;
  std::int32_t enginePage = 0;
  std::string refusedReason;  // the name the rule built would leave the output folder

  // Whether a file of the new name is already in the output folder (delivery
  // then keeps both under another name or replaces it, as the queue says).
  std::string outputPath;
  bool outputExists = false;
  // The queue's collision policy, and what it makes of that file.
  std::int32_t collision = 0;
  bool errorFolder = false;
  std::string keptAs;  // keep both: the first free numbered name

  // The explanation as text, one line each; the same for the window and the
  // command line.
  std::vector<std::string> Lines() const;
  std::string CollisionLine() const;
};

// The rule test bench of the queue configuration dialog, without the dialog:
// it tries the rules of the record the dialog's controls show right now
// (rules not yet applied, the "Split pdf" box, the translation list) against
// a test name. It never touches a file.
class RuleTestBench {
 public:
  explicit RuleTestBench(ExpressionLibrary& library) : library_(library) {}

  // "Test match": TryMatchExpression rule by rule until one answers 1.
  BenchResult TestMatch(const QueueRecord& queue, std::string_view name);

  // "Test format": the first rule whose name (and, with Splitpdf, page text)
  // can be built gives "Test Result" and the page-number box, then its
  // translation step. Without Splitpdf the page-number box is cleared rather
  // than left with a text of an earlier call.
  BenchResult TestFormat(const QueueRecord& queue, std::string_view name);

  // Every rule in order, the masks, the engine's decision and the output
  // folder. `files` answers whether the new name exists already.
  Explanation Explain(const QueueRecord& queue, std::string_view name, FileAccess& files);

 private:
  ExpressionLibrary& library_;
};

// The translation step for translation format `trans` and result text
// `result` through the queue's translation rows: one line "definition=value"
// per parameter entry, the "Folder based" rows after those of the format.
// There are 20 entries; parameters beyond them are left out and a last line
// says so.
std::vector<std::string> TranslateTestResult(const QueueRecord& queue, std::string_view trans,
                                             std::string_view result);

// Empty when the name and every rule text fit the library's exchange buffers;
// otherwise the message that refuses the click, naming the text too long.
std::string BenchInputRefusal(const QueueRecord& queue, std::string_view name);

}  // namespace zf
