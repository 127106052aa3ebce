#pragma once

#include <string>
#include <string_view>

namespace zf {

enum class EntryPoint { kTryMatchExpression, kFormatExpression, kPDFSplitter };

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
  bool ok() const { return status == CallStatus::kOk; }
};

// Which exchange buffers a format call goes through: the engine builds the new
// name and, for PDF-splitting queues, the page text from the same rule.
enum class FormatPurpose { kName, kPage };

// The matching, formatting and PDF splitting the program hands to its
// expression library. Calls from several threads are safe; each one runs
// whole before the next starts. A call to an entry point that is not there
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
};

}  // namespace zf
