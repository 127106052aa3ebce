// The check of the names rules build: a name the engine accepts (as a plain
// file name or as a path into subfolders of the output folder) stays inside
// the output folder whichever way delivery reads it. Delivery takes "/" and
// also "\" as folder separators when such subfolders exist, so every part
// between either is checked: the name starts at no root, no part is "..",
// none holds NUL, none has the shape of our temporary files,
// and lengths keep within the file system's limits. A refused name always
// has a reason for the operator.
//
// Input: the name (NULs included).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/naming.h"
#include "fuzzcheck.h"
#include "platform/tempfile.h"

namespace {

std::vector<std::string_view> Parts(std::string_view name) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = name.find_first_of("/\\", start);
    parts.push_back(name.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Beyond the longest path a few bytes suffice to show the limit holds.
  const std::string_view name(reinterpret_cast<const char*>(data), size < 5000 ? size : 5000);
  const std::string shown = "\"" + zf::fuzz::Escaped(name) + "\"";
  const bool plain = zf::IsPlainFileName(name);
  const bool subfolder = zf::IsSubfolderName(name);

  if (!plain && !subfolder) {
    const std::string reason = zf::RefusedNameReason(name);
    ZF_FUZZ_CHECK(!reason.empty(), "a refused name has a reason", shown);
    if (name.empty()) {
      ZF_FUZZ_CHECK_EQ(reason, std::string("the rule gave an empty name"),
                       "an empty name is called empty");
    }
    return 0;
  }

  ZF_FUZZ_CHECK(name.find('\0') == std::string_view::npos, "an accepted name holds no NUL", shown);
  // A leading "\" only adds an empty part: delivery joins it to the output folder.
  ZF_FUZZ_CHECK(name.front() != '/', "an accepted name is not absolute", shown);
  ZF_FUZZ_CHECK(name.size() <= (plain ? 255u : 4095u), "an accepted name keeps to the limit",
                shown);
  if (plain) {
    ZF_FUZZ_CHECK(name.find('/') == std::string_view::npos, "a plain name has no \"/\"", shown);
    ZF_FUZZ_CHECK(name != "." && name != "..", "a plain name is no folder reference", shown);
    ZF_FUZZ_CHECK(!zf::IsTempName(name), "a plain name is not of our temporary shape", shown);
  }
  // Read as delivery reads a name with separators.
  for (const std::string_view part : Parts(name)) {
    ZF_FUZZ_CHECK(part != "..", "no part of an accepted name is \"..\"", shown);
    ZF_FUZZ_CHECK(!zf::IsTempName(part), "no part of an accepted name has our temporary shape",
                  shown);
    ZF_FUZZ_CHECK(part.size() <= 255, "every part keeps to the file name limit", shown);
    if (subfolder) {
      ZF_FUZZ_CHECK(!part.empty() && part != ".", "a subfolder path has no empty or \".\" part",
                    shown);
    }
  }
  return 0;
}
