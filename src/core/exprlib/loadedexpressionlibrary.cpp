#include "exprlib/loadedexpressionlibrary.h"

#include <cerrno>

#include <charconv>
#include <cstring>
#include <optional>
#include <vector>

namespace zf {

namespace {

// An input that does not fit its buffer is refused rather than cut short: a
// shortened name or expression could build a wrong file name. A NUL inside the
// text would cut it short just the same.
bool Fits(std::string_view text) {
  return text.size() < kExchangeBufferSize && text.find('\0') == std::string_view::npos;
}

void Put(char (&buffer)[kExchangeBufferSize], std::string_view text) {
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
}

CallResult Refused() {
  return CallResult{CallStatus::kInputRefused, 0, {}};
}
CallResult Unavailable() {
  return CallResult{CallStatus::kUnavailable, 0, {}};
}

std::string MissingText(const char* entry) {
  return std::string("unable to load ") + entry + " from dll";
}

// The groups as MatchGroupsFn writes them; nullopt for text of another shape,
// which is taken as a failed call rather than guessed at.
std::optional<std::vector<std::optional<std::string>>> DecodeGroups(std::string_view text) {
  std::vector<std::optional<std::string>> groups;
  while (!text.empty()) {
    if (text.front() == '-') {
      groups.emplace_back();
      text.remove_prefix(1);
      continue;
    }
    std::size_t length = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
    if (error != std::errc() || end == text.data() || end == text.data() + text.size() ||
        *end != ':') {
      return std::nullopt;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()) + 1);
    if (length > text.size()) return std::nullopt;
    groups.emplace_back(std::string(text.substr(0, length)));
    text.remove_prefix(length);
  }
  if (groups.empty()) return std::nullopt;  // a match has at least group 0
  return groups;
}

}  // namespace

LoadedExpressionLibrary::LoadedExpressionLibrary()
    : buffers_(std::make_unique<ExchangeBuffers>()),
      split_buffers_(std::make_unique<SplitBuffers>()) {
  std::memset(buffers_.get(), 0, sizeof(ExchangeBuffers));
  std::memset(split_buffers_.get(), 0, sizeof(SplitBuffers));
}

std::unique_ptr<LoadedExpressionLibrary> LoadedExpressionLibrary::Load(
    const std::filesystem::path& folder, LoadMessageSink& messages) {
  return FromOpened(DynamicLibrary::Open(folder / FileName()), messages);
}

std::unique_ptr<LoadedExpressionLibrary> LoadedExpressionLibrary::LoadFromProgramFolder(
    LoadMessageSink& messages) {
  Result<std::filesystem::path> folder = ProgramFolder();
  if (!folder.ok()) return FromOpened(folder.status(), messages);
  return Load(*folder, messages);
}

std::unique_ptr<LoadedExpressionLibrary> LoadedExpressionLibrary::FromOpened(
    Result<DynamicLibrary> opened, LoadMessageSink& messages) {
  std::unique_ptr<LoadedExpressionLibrary> lib(new LoadedExpressionLibrary());
  if (opened.ok()) {
    lib->library_.emplace(std::move(opened).value());
    lib->try_match_ = lib->library_->Function<TryMatchExpressionFn>(kTryMatchExpressionName);
    lib->format_ = lib->library_->Function<FormatExpressionFn>(kFormatExpressionName);
    lib->split_ = lib->library_->Function<PDFSplitterFn>(kPDFSplitterName);
    lib->groups_ = lib->library_->Function<MatchGroupsFn>(kMatchGroupsName);
  } else {
    lib->load_error_ = opened.status().message();
  }
  if (lib->try_match_ == nullptr) messages.ShowInformation(MissingText(kTryMatchExpressionName));
  if (lib->format_ == nullptr) messages.ShowInformation(MissingText(kFormatExpressionName));
  if (lib->split_ == nullptr) messages.ShowInformation(MissingText(kPDFSplitterName));
  return lib;
}

bool LoadedExpressionLibrary::Has(EntryPoint entry) const {
  switch (entry) {
    case EntryPoint::kTryMatchExpression:
      return try_match_ != nullptr;
    case EntryPoint::kFormatExpression:
      return format_ != nullptr;
    case EntryPoint::kPDFSplitter:
      return split_ != nullptr;
    case EntryPoint::kMatchGroups:
      return groups_ != nullptr;
  }
  return false;
}

CallResult LoadedExpressionLibrary::TryMatch(std::string_view match, std::string_view name,
                                             bool partial) {
  if (try_match_ == nullptr) return Unavailable();
  if (!Fits(match) || !Fits(name)) return Refused();
  std::lock_guard lock(mutex_);
  Put(buffers_->match_expression, match);
  Put(buffers_->file_name, name);
  const int answer = try_match_(buffers_->match_expression, buffers_->file_name, partial ? 1 : 0);
  return CallResult{answer == 1 ? CallStatus::kOk : CallStatus::kFailed, answer, {}};
}

CallResult LoadedExpressionLibrary::Format(std::string_view match, std::string_view format,
                                           std::string_view name, bool partial,
                                           FormatPurpose purpose) {
  if (format_ == nullptr) return Unavailable();
  if (!Fits(match) || !Fits(format) || !Fits(name)) return Refused();
  std::lock_guard lock(mutex_);
  const bool page = purpose == FormatPurpose::kPage;
  char(&format_buffer)[kExchangeBufferSize] =
      page ? buffers_->page_format : buffers_->format_expression;
  char(&output)[kExchangeBufferSize] = page ? buffers_->page_output : buffers_->name_output;
  Put(buffers_->match_expression, match);
  Put(format_buffer, format);
  Put(buffers_->file_name, name);
  // Cleared first, so that a library that answers 1 without writing cannot
  // hand back the text of an earlier call.
  output[0] = '\0';
  const int answer = format_(buffers_->match_expression, format_buffer, buffers_->file_name, output,
                             partial ? 1 : 0);
  if (answer != 1) return CallResult{CallStatus::kFailed, answer, {}};
  // Never read past the buffer, even if the library left it unterminated.
  const std::size_t length = strnlen(output, kExchangeBufferSize);
  if (length == kExchangeBufferSize) return CallResult{CallStatus::kFailed, answer, {}};
  return CallResult{CallStatus::kOk, answer, std::string(output, length)};
}

CallResult LoadedExpressionLibrary::SplitPdf(std::string_view path, int page,
                                             std::string_view outfolder) {
  if (split_ == nullptr) return Unavailable();
  if (!Fits(path) || !Fits(outfolder)) return Refused();
  std::lock_guard lock(split_mutex_);
  Put(split_buffers_->pdf_path, path);
  Put(split_buffers_->output_folder, outfolder);
  // The splitter leaves the error of a failed write in errno (it shares this
  // thread's); it tells the operator why the pages could not be written.
  errno = 0;
  const int answer = split_(split_buffers_->pdf_path, page, split_buffers_->output_folder);
  const int error = errno;
  return CallResult{
      answer > 0 ? CallStatus::kOk : CallStatus::kFailed, answer, {}, answer > 0 ? 0 : error};
}

GroupsResult LoadedExpressionLibrary::MatchGroups(std::string_view match, std::string_view name,
                                                  bool partial) {
  if (groups_ == nullptr) return GroupsResult{};
  if (!Fits(match) || !Fits(name)) return GroupsResult{CallStatus::kInputRefused, 0, {}};
  std::lock_guard lock(mutex_);
  Put(buffers_->match_expression, match);
  Put(buffers_->file_name, name);
  char(&output)[kExchangeBufferSize] = buffers_->groups_output;
  output[0] = '\0';
  const int answer =
      groups_(buffers_->match_expression, buffers_->file_name, partial ? 1 : 0, output);
  if (answer != 1) return GroupsResult{CallStatus::kFailed, answer, {}};
  const std::size_t length = strnlen(output, kExchangeBufferSize);
  if (length == kExchangeBufferSize) return GroupsResult{CallStatus::kFailed, answer, {}};
  auto groups = DecodeGroups(std::string_view(output, length));
  if (!groups) return GroupsResult{CallStatus::kFailed, answer, {}};
  return GroupsResult{CallStatus::kOk, answer, std::move(*groups)};
}

}  // namespace zf
