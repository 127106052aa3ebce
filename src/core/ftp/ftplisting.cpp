#include "ftp/ftplisting.h"

#include <array>
#include <cstddef>
#include <limits>

namespace zf {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

struct Token {
  std::string_view text;
  std::size_t end = 0;  // offset just past the token in the line
};

// The first `max` blank-separated words of a line; enough to reach the name
// column, whose own blanks must not be split.
std::vector<Token> Tokens(std::string_view line, std::size_t max) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (tokens.size() < max) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    const std::size_t start = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    tokens.push_back({line.substr(start, i - start), i});
  }
  return tokens;
}

// All digits, at most `maxDigits` of them, into `value` without overflow.
bool ParseNumber(std::string_view text, std::size_t maxDigits, std::int64_t& value) {
  if (text.empty() || text.size() > maxDigits) return false;
  std::int64_t v = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    if (v > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) return false;
    v = v * 10 + (c - '0');
  }
  value = v;
  return true;
}

bool ParseInt(std::string_view text, std::size_t digits, int& value) {
  std::int64_t v = 0;
  if (text.size() != digits || !ParseNumber(text, digits, v)) return false;
  value = static_cast<int>(v);
  return true;
}

int MonthNumber(std::string_view word) {
  static constexpr std::array<std::string_view, 12> kMonths = {
      "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
  for (std::size_t m = 0; m < kMonths.size(); ++m) {
    if (EqualsNoCase(word, kMonths[m])) return static_cast<int>(m) + 1;
  }
  return 0;
}

// "09:30" or "9:30".
bool ParseClock(std::string_view text, int& hour, int& minute) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > 2) return false;
  std::int64_t h = 0;
  if (!ParseNumber(text.substr(0, colon), 2, h) || !ParseInt(text.substr(colon + 1), 2, minute)) {
    return false;
  }
  hour = static_cast<int>(h);
  return hour <= 23 && minute <= 59;
}

// ---- Unix "ls -l" lines ----

bool LooksLikeMode(std::string_view mode) {
  if (mode.size() < 10) return false;
  static constexpr std::string_view kTypes = "-dlbcpsDnw?";
  if (kTypes.find(mode[0]) == std::string_view::npos) return false;
  for (std::size_t i = 1; i < 10; ++i) {
    if (std::string_view("rwxsStTlL-").find(mode[i]) == std::string_view::npos) return false;
  }
  return true;
}

RemoteEntry::Kind KindOfMode(char type) {
  switch (type) {
    case '-':
      return RemoteEntry::Kind::kFile;
    case 'd':
      return RemoteEntry::Kind::kDirectory;
    case 'l':
      return RemoteEntry::Kind::kLink;
    default:
      return RemoteEntry::Kind::kOther;
  }
}

bool ParseUnixLine(std::string_view line, const ListingDate& today, RemoteEntry& out) {
  // mode, links, owner, group, size, month, day, year-or-time: at most eight
  // words before the name, fewer when the server leaves out links or group.
  const std::vector<Token> tokens = Tokens(line, 10);
  if (tokens.size() < 5 || !LooksLikeMode(tokens[0].text)) return false;
  for (std::size_t i = 2; i + 2 < tokens.size(); ++i) {
    const int month = MonthNumber(tokens[i].text);
    if (month == 0) continue;
    std::int64_t size = 0;
    std::int64_t day = 0;
    if (!ParseNumber(tokens[i - 1].text, 19, size) || !ParseNumber(tokens[i + 1].text, 2, day) ||
        day < 1 || day > 31) {
      continue;
    }
    const Token& when = tokens[i + 2];
    int year = 0;
    int hour = 0;
    int minute = 0;
    if (ParseClock(when.text, hour, minute)) {
      // A time of day stands for a date within the last half year; a day of
      // slack allows for a server clock a little ahead of ours.
      year = today.year;
      TDateTime candidate = 0;
      TDateTime reference = 0;
      if (!TryEncodeDateTime(year, month, static_cast<int>(day), 0, 0, 0, 0, candidate) ||
          (TryEncodeDateTime(today.year, today.month, today.day, 0, 0, 0, 0, reference) &&
           candidate > reference + 1)) {
        year = today.year - 1;
      }
    } else if (!ParseInt(when.text, 4, year)) {
      continue;
    }
    // One blank separates the last column from the name; further blanks
    // belong to the name.
    if (when.end + 1 >= line.size()) return false;
    std::string_view name = line.substr(when.end + 1);
    out.kind = KindOfMode(tokens[0].text[0]);
    if (out.kind == RemoteEntry::Kind::kLink) {
      const std::size_t arrow = name.find(" -> ");
      if (arrow != std::string_view::npos) name = name.substr(0, arrow);
    }
    if (name.empty()) return false;
    TDateTime time = 0;
    if (!TryEncodeDateTime(year, month, static_cast<int>(day), hour, minute, 0, 0, time)) {
      return false;  // "Feb 30": not a date this parser should guess at
    }
    out.name.assign(name);
    out.size = size;
    out.time = time;
    return true;
  }
  return false;
}

// ---- DOS / IIS lines ----

// "03-14-24" or "03-14-2024" (also with "/"), month first.
bool ParseDosDate(std::string_view text, int& year, int& month, int& day) {
  if (text.size() != 8 && text.size() != 10) return false;
  const char sep = text[2];
  if ((sep != '-' && sep != '/') || text[5] != sep) return false;
  if (!ParseInt(text.substr(0, 2), 2, month) || !ParseInt(text.substr(3, 2), 2, day)) return false;
  if (text.size() == 8) {
    if (!ParseInt(text.substr(6), 2, year)) return false;
    year += year < 70 ? 2000 : 1900;
  } else if (!ParseInt(text.substr(6), 4, year)) {
    return false;
  }
  return true;
}

// "09:30AM", "9:30PM" or "21:30"; `suffix` is a separate "AM"/"PM" word when
// the server puts a blank before it, else empty.
bool ParseDosClock(std::string_view text, std::string_view suffix, int& hour, int& minute) {
  std::string_view half = suffix;
  if (half.empty() && text.size() > 2) {
    const std::string_view tail = text.substr(text.size() - 2);
    if (EqualsNoCase(tail, "AM") || EqualsNoCase(tail, "PM")) {
      half = tail;
      text.remove_suffix(2);
    }
  }
  if (!ParseClock(text, hour, minute)) return false;
  if (half.empty()) return true;
  if (hour < 1 || hour > 12) return false;
  const bool pm = EqualsNoCase(half, "PM");
  if (hour == 12) hour = 0;
  if (pm) hour += 12;
  return true;
}

bool ParseDosLine(std::string_view line, RemoteEntry& out) {
  const std::vector<Token> tokens = Tokens(line, 5);
  if (tokens.size() < 4) return false;
  int year = 0;
  int month = 0;
  int day = 0;
  if (!ParseDosDate(tokens[0].text, year, month, day)) return false;
  std::size_t next = 2;
  std::string_view suffix;
  if (EqualsNoCase(tokens[2].text, "AM") || EqualsNoCase(tokens[2].text, "PM")) {
    suffix = tokens[2].text;
    next = 3;
  }
  int hour = 0;
  int minute = 0;
  if (!ParseDosClock(tokens[1].text, suffix, hour, minute)) return false;
  if (next >= tokens.size()) return false;
  const Token& what = tokens[next];
  RemoteEntry entry;
  if (EqualsNoCase(what.text, "<DIR>")) {
    entry.kind = RemoteEntry::Kind::kDirectory;
  } else {
    // Some servers group the digits of the size with commas.
    std::string digits;
    for (char c : what.text) {
      if (c != ',') digits.push_back(c);
    }
    if (!ParseNumber(digits, 19, entry.size)) return false;
  }
  // The name starts at the first character after the blanks that follow.
  std::size_t start = what.end;
  while (start < line.size() && IsBlank(line[start])) ++start;
  if (start >= line.size()) return false;
  if (!TryEncodeDateTime(year, month, day, hour, minute, 0, 0, entry.time)) return false;
  entry.name.assign(line.substr(start));
  out = std::move(entry);
  return true;
}

// "20240314093000" with an optional fraction ".5", ".123".
bool ParseMlsdTime(std::string_view text, TDateTime& out) {
  std::string_view fraction;
  if (const std::size_t dot = text.find('.'); dot != std::string_view::npos) {
    fraction = text.substr(dot + 1);
    text = text.substr(0, dot);
  }
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (text.size() != 14 || !ParseInt(text.substr(0, 4), 4, year) ||
      !ParseInt(text.substr(4, 2), 2, month) || !ParseInt(text.substr(6, 2), 2, day) ||
      !ParseInt(text.substr(8, 2), 2, hour) || !ParseInt(text.substr(10, 2), 2, minute) ||
      !ParseInt(text.substr(12, 2), 2, second)) {
    return false;
  }
  int millisecond = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    millisecond *= 10;
    if (i < fraction.size()) {
      if (!IsDigit(fraction[i])) return false;
      millisecond += fraction[i] - '0';
    }
  }
  return TryEncodeDateTime(year, month, day, hour, minute, second, millisecond, out);
}

}  // namespace

ListingDate ListingDateOf(TDateTime now) {
  const DateTimeParts parts = DecodeDateTime(now);
  return {parts.year, parts.month, parts.day};
}

bool ParseListLine(std::string_view line, const ListingDate& today, RemoteEntry& out) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  if (line.empty()) return false;
  RemoteEntry entry;
  if (IsDigit(line[0]) ? ParseDosLine(line, entry) : ParseUnixLine(line, today, entry)) {
    out = std::move(entry);
    return true;
  }
  return false;
}

bool ParseMlsdLine(std::string_view line, RemoteEntry& out) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  // The facts end at the first blank; the name is everything after it.
  const std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos || blank + 1 >= line.size()) return false;
  std::string_view facts = line.substr(0, blank);
  RemoteEntry entry;
  entry.size = -1;  // unknown until a size fact says otherwise
  while (!facts.empty()) {
    const std::size_t semi = facts.find(';');
    const std::string_view fact = facts.substr(0, semi);
    facts = semi == std::string_view::npos ? std::string_view() : facts.substr(semi + 1);
    const std::size_t eq = fact.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = fact.substr(0, eq);
    const std::string_view value = fact.substr(eq + 1);
    if (EqualsNoCase(key, "type")) {
      if (EqualsNoCase(value, "file")) {
        entry.kind = RemoteEntry::Kind::kFile;
      } else if (EqualsNoCase(value, "dir") || EqualsNoCase(value, "cdir") ||
                 EqualsNoCase(value, "pdir")) {
        entry.kind = RemoteEntry::Kind::kDirectory;
      } else if (EqualsNoCase(value, "OS.unix=symlink") ||
                 (value.size() >= 13 && EqualsNoCase(value.substr(0, 13), "OS.unix=slink"))) {
        entry.kind = RemoteEntry::Kind::kLink;
      } else {
        entry.kind = RemoteEntry::Kind::kOther;
      }
    } else if (EqualsNoCase(key, "size")) {
      if (!ParseNumber(value, 19, entry.size)) entry.size = -1;
    } else if (EqualsNoCase(key, "modify")) {
      if (!ParseMlsdTime(value, entry.time)) entry.time = 0;
    } else if (EqualsNoCase(key, "unique")) {
      entry.unique.assign(value);
    }
  }
  entry.name.assign(line.substr(blank + 1));
  out = std::move(entry);
  return true;
}

std::vector<RemoteEntry> ParseListing(std::string_view text, ListingFormat format,
                                      const ListingDate& today) {
  std::vector<RemoteEntry> entries;
  RemoteEntry entry;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    const std::string_view line = text.substr(0, lf);
    text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
    const bool ok = format == ListingFormat::kMlsd ? ParseMlsdLine(line, entry)
                                                   : ParseListLine(line, today, entry);
    if (ok) entries.push_back(std::move(entry));
  }
  return entries;
}

bool IsSafeRemoteName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '/' || c == '\0' || c == '\r' || c == '\n') return false;
  }
  return true;
}

}  // namespace zf
