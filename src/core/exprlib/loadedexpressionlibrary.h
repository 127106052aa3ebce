#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "exprlib/expressionabi.h"
#include "exprlib/expressionlibrary.h"
#include "exprlib/loadmessages.h"
#include "platform/library.h"

namespace zf {

// The expression library as the program loads it at start-up: "regex.so"
// ("regex.dll" on Windows) from a folder, with its three entry points, each
// possibly missing, and the optional MatchGroups.
//
// Every string goes to and comes from the library through exchange buffers
// made once with the object. The engine thread and the rule test bench share
// one object, so a lock covers a whole call: filling the buffers, the call
// itself and reading the output back. Splitting a PDF file can take minutes,
// so it has buffers and a lock of its own: a bench click or the engine's
// naming never waits for a split, and no two calls share a buffer at once.
class LoadedExpressionLibrary final : public ExpressionLibrary {
 public:
  static std::string FileName() { return std::string("regex") + kSharedLibraryExtension; }

  // Loads folder/FileName() and looks up TryMatchExpression, FormatExpression
  // and PDFSplitter in this order. Each one that is missing is reported through
  // messages as "unable to load <name> from dll"; a library that cannot be
  // loaded at all gives all three reports. MatchGroups is looked up quietly.
  // Never fails: calls to what is missing answer kUnavailable.
  static std::unique_ptr<LoadedExpressionLibrary> Load(const std::filesystem::path& folder,
                                                       LoadMessageSink& messages);

  // Load() from the folder that holds the running program.
  static std::unique_ptr<LoadedExpressionLibrary> LoadFromProgramFolder(LoadMessageSink& messages);

  // Why the library itself could not be loaded; empty when it was.
  const std::string& load_error() const { return load_error_; }

  bool Has(EntryPoint entry) const override;
  CallResult TryMatch(std::string_view match, std::string_view name, bool partial) override;
  CallResult Format(std::string_view match, std::string_view format, std::string_view name,
                    bool partial, FormatPurpose purpose = FormatPurpose::kName) override;
  CallResult SplitPdf(std::string_view path, int page, std::string_view outfolder) override;
  GroupsResult MatchGroups(std::string_view match, std::string_view name, bool partial) override;

 private:
  using Buffer = char[kExchangeBufferSize];
  // Matching and formatting, under mutex_.
  struct ExchangeBuffers {
    Buffer file_name;
    Buffer match_expression;
    Buffer format_expression;
    Buffer page_format;
    Buffer name_output;
    Buffer page_output;
    Buffer groups_output;
  };
  // Splitting, under split_mutex_.
  struct SplitBuffers {
    Buffer pdf_path;
    Buffer output_folder;
  };

  LoadedExpressionLibrary();
  static std::unique_ptr<LoadedExpressionLibrary> FromOpened(Result<DynamicLibrary> opened,
                                                             LoadMessageSink& messages);

  std::optional<DynamicLibrary> library_;
  std::string load_error_;
  TryMatchExpressionFn try_match_ = nullptr;
  FormatExpressionFn format_ = nullptr;
  PDFSplitterFn split_ = nullptr;
  MatchGroupsFn groups_ = nullptr;

  std::mutex mutex_;  // held for a whole match or format call
  std::unique_ptr<ExchangeBuffers> buffers_;
  std::mutex split_mutex_;  // held for a whole split
  std::unique_ptr<SplitBuffers> split_buffers_;
};

}  // namespace zf
