#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zf {

// kMatchGroups is optional: its absence is never reported at loading.
enum class EntryPoint { kTryMatchExpression, kFormatExpression, kPDFSplitter, kMatchGroups };

enum class CallStatus {
  kOk,            // the library answered success
  kFailed,        // the library answered anything else (no match, bad expression, failed split)
  kInputRefused,  // an input does not fit its exchange buffer; the library was not called
  kUnavailable,   // the entry point was not loaded; the library was not called
};

struct CallResult {
  CallStatus status = CallStatus::kUnavailable;
  int value = 0;     // the library's own result, when it was called
  std::string text;  // Format: the built text, on success only
  int error = 0;     // PDFSplitter: the system's error of a failure, where it left one
  bool ok() const { return status == CallStatus::kOk; }
};

// The capture groups of one match: groups[0] is the whole match; a group that
// took no part in the match is empty (std::nullopt), unlike one that matched
// an empty text.
struct GroupsResult {
  CallStatus status = CallStatus::kUnavailable;
  int value = 0;
  std::vector<std::optional<std::string>> groups;  // on success only
  bool ok() const { return status == CallStatus::kOk; }
};

// Which exchange buffers a format call goes through: the engine builds the new
// name and, for PDF-splitting queues, the page text from the same rule.
enum class FormatPurpose { kName, kPage };

// The matching, formatting and PDF splitting the program hands to its
// expression library. Calls from several threads are safe; no two of them
// share exchange buffers at the same time. A call to an entry point that is not there
// answers kUnavailable, so that callers can tell "no match" from "cannot ask".
class ExpressionLibrary {
 public:
  virtual ~ExpressionLibrary() = default;

  virtual bool Has(EntryPoint entry) const = 0;

  // TryMatchExpression: ok when the library answers 1.
  virtual CallResult TryMatch(std::string_view match, std::string_view name, bool partial) = 0;

  // FormatExpression: ok when the library answers 1; text is the built text.
  virtual CallResult Format(std::string_view match, std::string_view format, std::string_view name,
                            bool partial, FormatPurpose purpose = FormatPurpose::kName) = 0;

  // PDFSplitter: ok when the library answers above 0; value is its answer.
  virtual CallResult SplitPdf(std::string_view path, int page, std::string_view outfolder) = 0;

  // MatchGroups: ok when the library answers 1. Libraries (and stand-ins)
  // without the entry point answer kUnavailable.
  virtual GroupsResult MatchGroups(std::string_view /*match*/, std::string_view /*name*/,
                                   bool /*partial*/) {
    return {};
  }
};

}  // namespace zf
