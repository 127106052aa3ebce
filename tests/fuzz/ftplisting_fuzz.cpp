// Fuzz target of the listing parser: whatever a server sends, parsing ends,
// never reads outside the text, and gives only entries that hold together.
// Built with clang's -fsanitize=fuzzer it is a libFuzzer binary; otherwise
// ftplisting_fuzz_test runs it over the seed corpus.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ftp/ftplisting.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckEntries(const std::vector<zf::RemoteEntry>& entries, std::string_view text) {
  Check(entries.size() <= text.size());
  for (const zf::RemoteEntry& e : entries) {
    Check(!e.name.empty());
    Check(e.name.size() <= text.size());
    Check(e.name.find('\n') == std::string::npos);
    Check(e.size >= -1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The first byte picks the day the listing is read on, so that the year
  // guess for Unix lines is exercised across month and year ends.
  const int pick = size > 0 ? data[0] : 0;
  const zf::ListingDate today{1970 + pick % 140, 1 + pick % 12, 1 + pick % 31};
  CheckEntries(zf::ParseListing(text, zf::ListingFormat::kList, today), text);
  CheckEntries(zf::ParseListing(text, zf::ListingFormat::kMlsd, today), text);
  return 0;
}
