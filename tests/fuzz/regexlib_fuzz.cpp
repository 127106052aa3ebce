// The expression library's entry points, called as the program calls them:
// strings in buffers of kExchangeBufferSize bytes, outputs written into a
// buffer of exactly that size. Whatever the expression, format and name,
// every answer is one the contract knows, every output ends with a NUL inside
// its buffer (ASan sees any write beyond it), the same call answers the same
// again (the second time from the library's cache of compiled expressions),
// and the entry points agree: a built name or listed groups mean a match,
// and the groups list the match as it stands in the name. Inputs are kept
// short so that no expression can keep one run busy for long.
//
// Input: flags (bit 0: partial), the expression, NUL, the format, NUL, the name.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzzcheck.h"
#include "regexlibrary.h"

namespace {

struct Call {
  int result = 0;
  std::string output;
};

// An output buffer of exactly the exchange size, not initialised to NULs so
// that a missing terminator shows.
class Output {
 public:
  Output() : buffer_(new char[zf::kExchangeBufferSize]) {
    std::memset(buffer_.get(), 'X', zf::kExchangeBufferSize);
  }
  char* data() { return buffer_.get(); }
  std::string Text(const char* what, const std::string& detail) const {
    const void* end = std::memchr(buffer_.get(), '\0', zf::kExchangeBufferSize);
    ZF_FUZZ_CHECK(end != nullptr, what, detail);
    return std::string(buffer_.get());
  }

 private:
  std::unique_ptr<char[]> buffer_;
};

// The groups as MatchGroups lists them, or false when the list is malformed.
bool ReadGroups(std::string_view list, std::string_view name, std::string& whole) {
  bool first = true;
  while (!list.empty()) {
    if (list.front() == '-') {
      if (first) return false;  // the whole match always takes part
      list.remove_prefix(1);
      first = false;
      continue;
    }
    std::size_t length = 0, i = 0;
    while (i < list.size() && list[i] >= '0' && list[i] <= '9' && i < 6) {
      length = length * 10 + static_cast<std::size_t>(list[i] - '0');
      ++i;
    }
    if (i == 0 || i >= list.size() || list[i] != ':' || list.size() - i - 1 < length) return false;
    const std::string_view group = list.substr(i + 1, length);
    if (name.find(group) == std::string_view::npos) return false;
    if (first) whole = std::string(group);
    list.remove_prefix(i + 1 + length);
    first = false;
  }
  return !first;
}

}  // namespace

// Loaded before the first input, so that libFuzzer counts the library's
// coverage among the modules it knows from the start.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zf::fuzz::RegexLibrary();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto tryMatch =
      zf::fuzz::EntryPoint<TryMatchExpressionFn>(zf::kTryMatchExpressionName);
  static const auto format = zf::fuzz::EntryPoint<FormatExpressionFn>(zf::kFormatExpressionName);
  static const auto groups = zf::fuzz::EntryPoint<MatchGroupsFn>(zf::kMatchGroupsName);

  zf::fuzz::Input in(data, size);
  const int partial = in.Byte() & 1;
  const std::string match(in.Field(96));
  const std::string fmt(in.Field(160));
  const std::string name(in.Field(255));
  const std::string detail = "expression \"" + zf::fuzz::Escaped(match) + "\", format \"" +
                             zf::fuzz::Escaped(fmt) + "\", name \"" + zf::fuzz::Escaped(name) +
                             "\", partial " + std::to_string(partial);

  const int matched = tryMatch(match.c_str(), name.c_str(), partial);
  ZF_FUZZ_CHECK(matched == 0 || matched == 1, "TryMatchExpression answers 0 or 1", detail);
  ZF_FUZZ_CHECK(tryMatch(match.c_str(), name.c_str(), partial) == matched,
                "TryMatchExpression answers the same again", detail);

  Call built[2];
  for (Call& call : built) {
    Output out;
    call.result = format(match.c_str(), fmt.c_str(), name.c_str(), out.data(), partial);
    call.output = out.Text("FormatExpression ends its output inside the buffer", detail);
  }
  ZF_FUZZ_CHECK(built[0].result == 0 || built[0].result == 1, "FormatExpression answers 0 or 1",
                detail);
  ZF_FUZZ_CHECK(built[1].result == built[0].result && built[1].output == built[0].output,
                "FormatExpression answers the same again", detail);
  ZF_FUZZ_CHECK(built[0].result == 0 || matched == 1, "a built name means a match", detail);
  ZF_FUZZ_CHECK(built[0].result == 1 || built[0].output.empty(),
                "a failed FormatExpression leaves no text", detail);

  Call listed[2];
  for (Call& call : listed) {
    Output out;
    call.result = groups(match.c_str(), name.c_str(), partial, out.data());
    call.output = out.Text("MatchGroups ends its output inside the buffer", detail);
  }
  ZF_FUZZ_CHECK(listed[0].result >= 0 && listed[0].result <= 2, "MatchGroups answers 0, 1 or 2",
                detail);
  ZF_FUZZ_CHECK(listed[1].result == listed[0].result && listed[1].output == listed[0].output,
                "MatchGroups answers the same again", detail);
  ZF_FUZZ_CHECK((listed[0].result != 0) == (matched == 1),
                "MatchGroups and TryMatchExpression agree on a match", detail);
  if (listed[0].result == 1) {
    std::string whole;
    ZF_FUZZ_CHECK(ReadGroups(listed[0].output, name, whole),
                  "the groups are listed as the contract says, each taken from the name",
                  detail + ": \"" + zf::fuzz::Escaped(listed[0].output) + "\"");
    // A whole-name match ends where the name ends; "\K" may move its start.
    ZF_FUZZ_CHECK(partial != 0 || std::string_view(name).substr(
                                      name.size() - std::min(name.size(), whole.size())) == whole,
                  "a whole-name match ends at the end of the name", detail);
  }
  return 0;
}
