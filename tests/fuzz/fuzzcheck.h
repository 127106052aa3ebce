#pragma once

// What every fuzz target shares: a reader that cuts the fuzzer's bytes into
// the inputs a target needs, and checks that stop the run with a message
// naming the broken property (libFuzzer and the corpus runner both treat the
// abort as a finding). Kept to C++17, since the PDF target builds as C++17.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace zf::fuzz {

// Printable form of a text for a failure message: bytes outside ASCII's
// printable range as \xNN, cut after 300 characters.
inline std::string Escaped(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < 300; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  if (text.size() > 300) out += "...";
  return out;
}

[[noreturn]] inline void Fail(const char* property, const std::string& detail, const char* file,
                              int line) {
  std::fprintf(stderr, "fuzz property broken at %s:%d: %s\n", file, line, property);
  if (!detail.empty()) std::fprintf(stderr, "  %s\n", detail.c_str());
  std::fflush(stderr);
  std::abort();
}

// a / b rounded down, for counts that may be negative (whole seconds of a
// date-time before 1899, say).
inline std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

// The fuzzer's bytes as a stream of small decisions and texts. Reading past
// the end gives zeros and empty texts, so every input is usable.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}

  bool empty() const { return rest_.empty(); }
  std::size_t size() const { return rest_.size(); }

  std::uint8_t Byte() {
    if (rest_.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return b;
  }
  // A number in 0..max, from as few bytes as it needs.
  std::uint32_t Number(std::uint32_t max) {
    std::uint64_t value = 0;
    for (std::uint64_t range = max; range > 0; range >>= 8) value = (value << 8) | Byte();
    return static_cast<std::uint32_t>(value % (static_cast<std::uint64_t>(max) + 1));
  }
  std::string_view Take(std::size_t n) {
    const std::string_view out = rest_.substr(0, n);
    rest_.remove_prefix(out.size());
    return out;
  }
  // The bytes up to the next NUL (consumed, not returned) or the end, at most
  // `limit` of them; a longer field is cut and its remainder skipped.
  std::string_view Field(std::size_t limit = std::string_view::npos) {
    const std::size_t end = rest_.find('\0');
    std::string_view field = rest_.substr(0, end);
    rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
    return field.substr(0, limit);
  }
  std::string_view Rest() { return Take(rest_.size()); }

 private:
  std::string_view rest_;
};

}  // namespace zf::fuzz

// Stops the run when `condition` is false; `detail` (a std::string
// expression) is only built then.
#define ZF_FUZZ_CHECK(condition, property, detail)                              \
  do {                                                                          \
    if (!(condition)) ::zf::fuzz::Fail(property, (detail), __FILE__, __LINE__); \
  } while (0)

#define ZF_FUZZ_CHECK_EQ(a, b, property)                                                           \
  do {                                                                                             \
    if (!((a) == (b))) {                                                                           \
      ::zf::fuzz::Fail(property,                                                                   \
                       "\"" + ::zf::fuzz::Escaped(a) + "\" != \"" + ::zf::fuzz::Escaped(b) + "\"", \
                       __FILE__, __LINE__);                                                        \
    }                                                                                              \
  } while (0)
