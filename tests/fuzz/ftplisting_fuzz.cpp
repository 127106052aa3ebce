// The listing parser: whatever a server sends, parsing ends, never reads
// outside the text, and gives only entries that hold together; the names the
// intake would fetch can never leave its folder or break a command; and an
// entry written back as an MLSD line reads as the same entry.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/ftplisting.h"
#include "fuzzcheck.h"

namespace {

void CheckEntries(const std::vector<zf::RemoteEntry>& entries, std::string_view text) {
  ZF_FUZZ_CHECK(entries.size() <= text.size(), "no more entries than bytes", "");
  for (const zf::RemoteEntry& e : entries) {
    ZF_FUZZ_CHECK(!e.name.empty(), "no entry without a name", "");
    ZF_FUZZ_CHECK(text.find(e.name) != std::string_view::npos,
                  "every name stands in the listing as it is", zf::fuzz::Escaped(e.name));
    ZF_FUZZ_CHECK(e.name.find('\n') == std::string::npos, "lines end at LF",
                  zf::fuzz::Escaped(e.name));
    ZF_FUZZ_CHECK(e.size >= -1, "a size is known or -1", std::to_string(e.size));

    // What the intake fetches: files whose names are safe to use locally.
    if (e.kind != zf::RemoteEntry::Kind::kFile || !zf::IsSafeRemoteName(e.name)) continue;
    ZF_FUZZ_CHECK(e.name != "." && e.name != "..", "a fetched name is no folder reference",
                  zf::fuzz::Escaped(e.name));
    for (const char bad : {'/', '\0', '\r', '\n'}) {
      ZF_FUZZ_CHECK(e.name.find(bad) == std::string::npos,
                    "a fetched name holds no \"/\", NUL, CR or LF", zf::fuzz::Escaped(e.name));
    }

    // Written back as a machine listing line, the entry reads the same.
    const std::string line = "type=file;size=" + std::to_string(e.size < 0 ? 0 : e.size) +
                             ";modify=20240314093000; " + e.name;
    zf::RemoteEntry again;
    ZF_FUZZ_CHECK(zf::ParseMlsdLine(line, again), "an MLSD line of a fetched name reads",
                  zf::fuzz::Escaped(line));
    ZF_FUZZ_CHECK_EQ(again.name, e.name, "the MLSD line gives the name back");
    ZF_FUZZ_CHECK(again.size == (e.size < 0 ? 0 : e.size), "the MLSD line gives the size back",
                  zf::fuzz::Escaped(line));
    ZF_FUZZ_CHECK(again.kind == zf::RemoteEntry::Kind::kFile, "the MLSD line gives a file",
                  zf::fuzz::Escaped(line));
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
