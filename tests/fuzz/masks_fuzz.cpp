// The wildcard matcher against the C library's fnmatch, on the masks both
// notations read alike: "*", "?" and plain characters, ASCII without "[" and
// "\". The matcher folds the letters a to z and nothing else, as fnmatch
// with FNM_CASEFOLD does in the C locale; and a "?" right after a run of "*"
// adds nothing in our notation, so such a "?" is left out of the mask that
// fnmatch gets. Beyond that: any mask and any name, bytes of every kind,
// match without fault, a prepared mask answers as a fresh one, and a list of
// ignore masks answers as its masks one by one.
//
// Input: the mask, NUL, the name.

#include <fnmatch.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/masks.h"
#include "fuzzcheck.h"

namespace {

// The same mask in fnmatch's terms: what a run of "*" absorbs goes.
std::string ForFnmatch(std::string_view mask) {
  std::string out;
  bool inRun = false;
  for (char c : mask) {
    if (c == '*') {
      inRun = true;
    } else if (c == '?' && inRun) {
      continue;
    } else {
      inRun = false;
    }
    out += c;
  }
  return out;
}

bool BothNotations(std::string_view text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u == 0 || u >= 0x80 || c == '[' || c == '\\') return false;
  }
  return true;
}

// Runs of "*" in fnmatch terms, where a "?" no longer splits a run.
int StarRuns(std::string_view mask) {
  int runs = 0;
  for (std::size_t i = 0; i < mask.size(); ++i) {
    if (mask[i] == '*' && (i == 0 || mask[i - 1] != '*')) ++runs;
  }
  return runs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zf::fuzz::Input in(data, size);
  const std::string mask(in.Field(256));
  const std::string name(in.Field(512));
  const std::string detail =
      "mask \"" + zf::fuzz::Escaped(mask) + "\", name \"" + zf::fuzz::Escaped(name) + "\"";

  const zf::WildcardMask prepared(mask);
  const zf::Result<bool> fits = prepared.Fits(name);
  const zf::Result<bool> fresh = zf::NameFitsMask(name, mask);
  ZF_FUZZ_CHECK(fits.ok() == fresh.ok() && (!fits.ok() || fits.value() == fresh.value()),
                "a prepared mask answers as a fresh one", detail);
  if (fits.ok()) {
    ZF_FUZZ_CHECK(prepared.FitsFolded(zf::WildcardMask::FoldName(name)).value() == fits.value(),
                  "a folded name fits as the name does", detail);
  }

  // Ignore masks: the first mask of the list that fits, or the first error.
  const zf::Result<bool> ignored = zf::IsIgnored(name, mask);
  if (mask.empty() || mask == "none") {
    ZF_FUZZ_CHECK(ignored.ok() && !ignored.value(), "no ignore mask ignores nothing", detail);
  } else {
    bool expectOk = true, expectFits = false;
    for (const std::string& one : zf::SplitMasks(mask)) {
      const zf::Result<bool> r = zf::NameFitsMask(name, one);
      if (!r.ok()) {
        expectOk = false;
        break;
      }
      if (r.value()) {
        expectFits = true;
        break;
      }
    }
    ZF_FUZZ_CHECK(ignored.ok() == expectOk && (!expectOk || ignored.value() == expectFits),
                  "a list of masks answers as its masks in order", detail);
  }

  if (!BothNotations(mask) || !BothNotations(name)) return 0;
  if (!fits.ok()) {
    ZF_FUZZ_CHECK(StarRuns(ForFnmatch(mask)) > 30, "a mask of \"*\", \"?\" and characters is valid",
                  detail);
    return 0;
  }
  ZF_FUZZ_CHECK(StarRuns(ForFnmatch(mask)) <= 30, "more than 30 runs of \"*\" make a mask invalid",
                detail);
  const bool expected = fnmatch(ForFnmatch(mask).c_str(), name.c_str(), FNM_CASEFOLD) == 0;
  ZF_FUZZ_CHECK(fits.value() == expected, "the matcher agrees with fnmatch",
                detail + (expected ? ": fnmatch fits" : ": fnmatch does not fit"));
  return 0;
}
