#include "config/inidatetime.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zf {
namespace {

struct Token {
  enum Kind { kNumber, kWord, kPunct, kSpace } kind;
  std::string_view text;
  std::int64_t number = 0;
};

bool IsSpace(char c) {
  return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
// Letters, and the bytes of characters beyond ASCII, which regional month
// names and AM/PM strings are made of.
bool IsWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || static_cast<unsigned char>(c) >= 0x80;
}

// ASCII letters only: other bytes belong to regional names and stay as the
// locale gives them, whatever locale the process runs in.
std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Splits the text into numbers, letter runs, single punctuation marks and
// runs of blanks; anything else makes the text unreadable.
bool Tokenize(std::string_view s, std::vector<Token>& out) {
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t start = i;
    const char c = s[i];
    if (IsDigit(c)) {
      while (i < s.size() && IsDigit(s[i])) ++i;
      if (i - start > 9) return false;
      Token t{Token::kNumber, s.substr(start, i - start)};
      for (char d : t.text) t.number = t.number * 10 + (d - '0');
      out.push_back(t);
    } else if (IsWordChar(c)) {
      while (i < s.size() && IsWordChar(s[i])) ++i;
      out.push_back({Token::kWord, s.substr(start, i - start)});
    } else if (IsSpace(c)) {
      while (i < s.size() && IsSpace(s[i])) ++i;
      out.push_back({Token::kSpace, s.substr(start, i - start)});
    } else if (c == '/' || c == '.' || c == '-' || c == ':' || c == ',') {
      ++i;
      out.push_back({Token::kPunct, s.substr(start, 1)});
    } else {
      return false;
    }
  }
  return true;
}

// `word` is in lower case (ASCII letters); English names are always known.
int MonthFromName(std::string_view word, const RegionalSettings& regional) {
  static constexpr std::array<std::string_view, 12> kShort = {
      "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
  static constexpr std::array<std::string_view, 12> kLong = {
      "january", "february", "march",     "april",   "may",      "june",
      "july",    "august",   "september", "october", "november", "december"};
  for (std::size_t m = 0; m < 12; ++m) {
    if (word == kShort[m] || word == kLong[m]) return static_cast<int>(m) + 1;
  }
  for (std::size_t m = 0; m < 12; ++m) {
    if (word == Lower(regional.shortMonthNames[m]) || word == Lower(regional.longMonthNames[m])) {
      return static_cast<int>(m) + 1;
    }
  }
  return 0;
}

// A separator the written form can use: something other than blanks, with
// no digit, letter or quote that would mix with the fields.
bool UsableSeparator(std::string_view separator) {
  bool visible = false;
  for (char c : separator) {
    if (IsDigit(c) || IsWordChar(c) || c == '"' || c == '\'') return false;
    visible = visible || !IsSpace(c);
  }
  return visible;
}

// The form the settings give INI date-times (see FormatIniDateTime).
struct IniForm {
  std::string dateSeparator = "/";
  std::string timeSeparator = ":";
  DateOrder order = DateOrder::kDayMonthYear;
  bool twelveHour = false;  // with the settings' AM/PM strings

  explicit IniForm(const RegionalSettings& regional)
      : order(DateOrderOf(regional.shortDateFormat)),
        twelveHour(UsesTwelveHourClock(regional.longTimeFormat) && !regional.timeAMString.empty() &&
                   !regional.timePMString.empty() &&
                   regional.timeAMString != regional.timePMString) {
    if (UsableSeparator(regional.dateSeparator)) dateSeparator = regional.dateSeparator;
    if (UsableSeparator(regional.timeSeparator)) timeSeparator = regional.timeSeparator;
  }

  // Separators go in quoted, so the formatter writes them as chosen here.
  std::string DatePattern() const {
    const std::string sep = "\"" + dateSeparator + "\"";
    switch (order) {
      case DateOrder::kMonthDayYear:
        return "mm" + sep + "dd" + sep + "yyyy";
      case DateOrder::kYearMonthDay:
        return "yyyy" + sep + "mm" + sep + "dd";
      case DateOrder::kDayMonthYear:
        break;
    }
    return "dd" + sep + "mm" + sep + "yyyy";
  }
  std::string TimePattern() const {
    const std::string sep = "\"" + timeSeparator + "\"";
    return "hh" + sep + "nn" + sep + "ss" + (twelveHour ? " ampm" : "");
  }
};

// Replaces every `from` in `text` by `to`.
void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  if (from.empty()) return;
  for (std::size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size()) {
    text.replace(pos, from.size(), to);
  }
}

// Separators the reader knows anyway need no translation.
bool Within(std::string_view text, std::string_view allowed) {
  for (char c : text) {
    if (allowed.find(c) == std::string_view::npos) return false;
  }
  return true;
}

int ExpandYear(const Token& t) {
  const int y = static_cast<int>(t.number);
  if (t.text.size() > 2) return y;
  return y < 50 ? 2000 + y : 1900 + y;
}

bool ValidDate(int year, int month, int day) {
  return month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month);
}

class Reader {
 public:
  explicit Reader(const std::vector<Token>& tokens) : t_(tokens) {}
  bool AtEnd() const { return i_ >= t_.size(); }
  const Token* Peek() const { return AtEnd() ? nullptr : &t_[i_]; }
  bool Is(Token::Kind kind) const { return !AtEnd() && t_[i_].kind == kind; }
  bool IsPunct(std::string_view marks) const {
    return Is(Token::kPunct) && marks.find(t_[i_].text[0]) != std::string_view::npos;
  }
  const Token& Next() { return t_[i_++]; }
  void SkipSpace() {
    while (Is(Token::kSpace)) ++i_;
  }

 private:
  const std::vector<Token>& t_;
  std::size_t i_ = 0;
};

}  // namespace

std::string FormatIniDateTime(TDateTime value, const RegionalSettings& regional) {
  const IniForm form(regional);
  const DateTimeParts p = DecodeForFormatting(value);
  std::string pattern = form.DatePattern();
  if (p.hour != 0 || p.minute != 0 || p.second != 0) {
    pattern += ' ';
    pattern += form.TimePattern();
  }
  return FormatDateTimeText(pattern, value, regional);
}

std::optional<TDateTime> ParseIniDateTime(std::string_view text, const RegionalSettings& regional) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  const IniForm form(regional);
  std::string s(text);
  if (!Within(form.dateSeparator, "/.- ")) ReplaceAll(s, form.dateSeparator, "/");
  if (!Within(form.timeSeparator, ":.")) ReplaceAll(s, form.timeSeparator, ":");
  s = Lower(s);
  // "a.m." and "p.m." are one mark each, not a date separator.
  for (const char* mark : {"a.m.", "p.m."}) {
    for (std::size_t pos; (pos = s.find(mark)) != std::string::npos;) {
      s.replace(pos, 4, mark[0] == 'a' ? "am" : "pm");
    }
  }
  std::vector<Token> tokens;
  if (!Tokenize(s, tokens)) return std::nullopt;
  Reader in(tokens);

  // The date: three fields, numbers or one month name, with blanks and at
  // most one of "/", ".", "-" between them.
  std::array<const Token*, 3> field{};
  for (std::size_t f = 0; f < 3; ++f) {
    if (f > 0) {
      in.SkipSpace();
      if (in.IsPunct("/.-")) in.Next();
      in.SkipSpace();
    }
    if (!in.Is(Token::kNumber) && !in.Is(Token::kWord)) return std::nullopt;
    field[f] = &in.Next();
    if (field[f]->kind == Token::kWord && MonthFromName(field[f]->text, regional) == 0) {
      return std::nullopt;
    }
  }
  if (in.IsPunct(".")) in.Next();  // "yyyy. mm. dd." ends with a dot

  // The time, if any.
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  bool am = false, pm = false;
  if (!in.AtEnd()) {
    if (in.Is(Token::kWord) && in.Peek()->text == "t") {
      in.Next();
    } else if (in.Is(Token::kSpace)) {
      in.SkipSpace();
    } else {
      return std::nullopt;
    }
    if (!in.Is(Token::kNumber)) return std::nullopt;
    const Token& h = in.Next();
    if (!in.IsPunct(":.")) return std::nullopt;
    in.Next();
    if (!in.Is(Token::kNumber)) return std::nullopt;
    const Token& n = in.Next();
    hour = static_cast<int>(h.number);
    minute = static_cast<int>(n.number);
    if (in.IsPunct(":.")) {
      in.Next();
      if (!in.Is(Token::kNumber)) return std::nullopt;
      second = static_cast<int>(in.Next().number);
      if (in.IsPunct(".,")) {
        in.Next();
        if (!in.Is(Token::kNumber)) return std::nullopt;
        std::string digits(in.Next().text.substr(0, 3));
        digits.resize(3, '0');
        millisecond = std::stoi(digits);
      }
    }
    in.SkipSpace();
    if (in.Is(Token::kWord)) {
      const std::string_view mark = in.Next().text;
      am = mark == "am" || (!regional.timeAMString.empty() && mark == Lower(regional.timeAMString));
      pm = !am && (mark == "pm" ||
                   (!regional.timePMString.empty() && mark == Lower(regional.timePMString)));
      if (!am && !pm) return std::nullopt;
      in.SkipSpace();
    }
    if (!in.AtEnd()) return std::nullopt;
    if (am || pm) {
      if (hour < 1 || hour > 12) return std::nullopt;
      if (hour == 12) hour = 0;
      if (pm) hour += 12;
    }
  }

  int year = 0, month = 0, day = 0;
  int wordAt = -1;
  for (int f = 0; f < 3; ++f) {
    if (field[static_cast<std::size_t>(f)]->kind == Token::kWord) {
      if (wordAt >= 0) return std::nullopt;
      wordAt = f;
    }
  }
  const Token& f0 = *field[0];
  const Token& f1 = *field[1];
  const Token& f2 = *field[2];
  if (wordAt >= 0) {
    month = MonthFromName(field[static_cast<std::size_t>(wordAt)]->text, regional);
    if (wordAt == 1 && f0.text.size() >= 3) {  // yyyy-mmm-dd
      year = ExpandYear(f0);
      day = static_cast<int>(f2.number);
    } else if (wordAt == 0) {  // mmm-dd-yyyy
      day = static_cast<int>(f1.number);
      year = ExpandYear(f2);
    } else if (wordAt == 1) {  // dd-mmm-yyyy
      day = static_cast<int>(f0.number);
      year = ExpandYear(f2);
    } else {
      return std::nullopt;
    }
  } else if (f0.text.size() >= 3) {  // year first: yyyy-mm-dd
    year = ExpandYear(f0);
    month = static_cast<int>(f1.number);
    day = static_cast<int>(f2.number);
  } else {
    year = ExpandYear(f2);
    const int a = static_cast<int>(f0.number);
    const int b = static_cast<int>(f1.number);
    // AM/PM in a file from elsewhere marks the US form, unless the settings'
    // own times carry it.
    const bool monthFirst =
        form.order == DateOrder::kMonthDayYear || ((am || pm) && !form.twelveHour);
    day = monthFirst ? b : a;
    month = monthFirst ? a : b;
    if (!ValidDate(year, month, day) && ValidDate(year, day, month)) std::swap(day, month);
  }

  TDateTime value = 0;
  if (!TryEncodeDateTime(year, month, day, hour, minute, second, millisecond, value)) {
    return std::nullopt;
  }
  return value;
}

}  // namespace zf
