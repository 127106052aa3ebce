#include "regexlib/expressions.h"

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "exprlib/expressionabi.h"
#include "regexlib/patterncache.h"

namespace zf::regexlib {

namespace {

PatternCache& Cache() {
  static PatternCache cache;
  return cache;
}

bool IsUtfError(int rc) {
  return rc <= PCRE2_ERROR_UTF8_ERR1 && rc >= PCRE2_ERROR_UTF8_ERR21;
}

struct MatchDataFree {
  void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};
using MatchData = std::unique_ptr<pcre2_match_data, MatchDataFree>;

PCRE2_SPTR Bytes(std::string_view text) {
  return reinterpret_cast<PCRE2_SPTR>(text.data());
}

// The outcome of matching in one text mode: rc as pcre2_match gives it, or a
// compile error, and the match data for building text from it.
struct Matched {
  std::shared_ptr<const CompiledPattern> pattern;
  MatchData data;
  int rc = PCRE2_ERROR_NOMATCH;
};

Matched MatchIn(TextMode mode, std::string_view match, std::string_view name, bool partial) {
  Matched m;
  m.pattern = Cache().Get(match, partial, mode);
  if (m.pattern->code() == nullptr) {
    // Compile errors are positive numbers, except for text that is not valid
    // UTF-8, which PCRE2 reports with the negative UTF codes of pcre2_match.
    const int error = m.pattern->error();
    m.rc = IsUtfError(error) ? error : PCRE2_ERROR_NOMATCH;
    return m;
  }
  m.data.reset(pcre2_match_data_create_from_pattern(m.pattern->code(), nullptr));
  if (!m.data) {
    m.rc = PCRE2_ERROR_NOMEMORY;
    return m;
  }
  // PCRE2 checks the name for valid UTF-8 itself in UTF mode and answers a
  // UTF error for a name that is not; the caller then tries byte mode.
  m.rc = pcre2_match(m.pattern->code(), Bytes(name), name.size(), 0, 0, m.data.get(), nullptr);
  return m;
}

// Builds format from a successful match into output. In UTF mode an invalid
// format answers a UTF error, like an invalid name does.
int Substitute(const Matched& m, std::string_view name, std::string_view format, char* output) {
  char built[kExchangeBufferSize];
  PCRE2_SIZE length = sizeof built;
  // UNSET_EMPTY: a group that exists but took no part in the match (an
  // optional part of the name) inserts nothing. A group the expression does
  // not have is still an error.
  const uint32_t options = PCRE2_SUBSTITUTE_MATCHED | PCRE2_SUBSTITUTE_EXTENDED |
                           PCRE2_SUBSTITUTE_REPLACEMENT_ONLY | PCRE2_SUBSTITUTE_UNSET_EMPTY;
  const int rc = pcre2_substitute(m.pattern->code(), Bytes(name), name.size(), 0, options,
                                  m.data.get(), nullptr, Bytes(format), format.size(),
                                  reinterpret_cast<PCRE2_UCHAR*>(built), &length);
  if (rc != 1) return rc < 0 ? rc : PCRE2_ERROR_NOMATCH;
  // A NUL written by an escape would cut the name short for every reader.
  if (std::memchr(built, '\0', length) != nullptr) return PCRE2_ERROR_BADREPLACEMENT;
  std::memcpy(output, built, length + 1);
  return 1;
}

// The groups of a successful match in the shape MatchGroupsFn gives: 1, or 2
// when they do not fit output.
int WriteGroups(const Matched& m, std::string_view name, char* output) {
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(m.data.get());
  // rc is the highest group that took part plus one; later groups exist in
  // the expression but did not match.
  const uint32_t count = pcre2_get_ovector_count(m.data.get());
  uint32_t groups = 0;
  if (pcre2_pattern_info(m.pattern->code(), PCRE2_INFO_CAPTURECOUNT, &groups) != 0) groups = 0;
  std::string text;
  for (uint32_t i = 0; i <= groups && i < count; ++i) {
    const PCRE2_SIZE start = ovector[2 * i], end = ovector[2 * i + 1];
    if (i >= static_cast<uint32_t>(m.rc) || start == PCRE2_UNSET || end < start) {
      text += '-';
    } else {
      text += std::to_string(end - start);
      text += ':';
      text.append(name.substr(start, end - start));
    }
  }
  if (text.size() >= kExchangeBufferSize) return 2;
  std::memcpy(output, text.c_str(), text.size() + 1);
  return 1;
}

}  // namespace

int TryMatch(const char* match, const char* name, int partial) {
  if (match == nullptr || name == nullptr) return 0;
  const std::string_view m(match), n(name);
  int rc = MatchIn(TextMode::kUtf8, m, n, partial != 0).rc;
  if (IsUtfError(rc)) rc = MatchIn(TextMode::kBytes, m, n, partial != 0).rc;
  // rc 0 is a match whose groups did not all fit the match data.
  return rc >= 0 ? 1 : 0;
}

int Format(const char* match, const char* format, const char* name, char* output, int partial) {
  if (output == nullptr) return 0;
  output[0] = '\0';
  if (match == nullptr || format == nullptr || name == nullptr) return 0;
  const std::string_view m(match), f(format), n(name);
  for (TextMode mode : {TextMode::kUtf8, TextMode::kBytes}) {
    const Matched matched = MatchIn(mode, m, n, partial != 0);
    int rc = matched.rc;
    if (rc >= 0) {
      rc = Substitute(matched, n, f, output);
      if (rc == 1) return 1;
      output[0] = '\0';
    }
    if (!IsUtfError(rc)) return 0;
  }
  return 0;
}

int MatchGroups(const char* match, const char* name, int partial, char* output) {
  if (output == nullptr) return 0;
  output[0] = '\0';
  if (match == nullptr || name == nullptr) return 0;
  const std::string_view m(match), n(name);
  for (TextMode mode : {TextMode::kUtf8, TextMode::kBytes}) {
    const Matched matched = MatchIn(mode, m, n, partial != 0);
    // rc 0: a match whose groups did not fit the match data.
    if (matched.rc >= 0) return matched.rc > 0 ? WriteGroups(matched, n, output) : 2;
    if (!IsUtfError(matched.rc)) return 0;
  }
  return 0;
}

}  // namespace zf::regexlib
