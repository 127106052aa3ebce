#pragma once

#include <cstddef>
#include <string_view>

namespace zf {

// File names and masks are 8-bit text in the system's code page, which on
// this platform is UTF-8. A wildcard `?` or a set must take one character,
// not one byte, so matching walks the text in characters: a well-formed
// multi-byte sequence is one unit, and a byte that starts no valid sequence
// is a unit of its own. Such stray bytes come back as 0xDC80..0xDCFF, values
// that no well-formed sequence decodes to, so they never equal a real letter.
inline char32_t NextCharacter(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  int length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1Fu, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0Fu, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07u, minimum = 0x10000;
  }
  if (length > 0 && pos + static_cast<std::size_t>(length) <= text.size()) {
    bool wellFormed = true;
    for (int i = 1; i < length && wellFormed; ++i) {
      const unsigned char next = byte(pos + static_cast<std::size_t>(i));
      wellFormed = (next & 0xC0u) == 0x80u;
      value = (value << 6) | (next & 0x3Fu);
    }
    if (wellFormed && value >= minimum && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF)) {
      pos += static_cast<std::size_t>(length);
      return value;
    }
  }
  ++pos;
  return 0xDC00u + lead;
}

// Upper case of the letters a to z only; every other character is itself.
inline char32_t UpperAsciiLetter(char32_t c) {
  return c >= U'a' && c <= U'z' ? c - 0x20 : c;
}

}  // namespace zf
