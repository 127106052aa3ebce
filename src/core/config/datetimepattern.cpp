#include "config/datetimepattern.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zf {
namespace {

// A regional form may name another regional form ("c" in a short date form,
// say). Two levels serve every real locale and stop a form that names itself.
constexpr int kMaxExpansionDepth = 2;

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// `word` is given in upper case.
bool StartsWithNoCase(std::string_view text, std::size_t pos, std::string_view word) {
  if (text.size() - pos < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (Upper(text[pos + i]) != word[i]) return false;
  }
  return true;
}

// The fields that start with the letter a, longest first so that "aaaa" is
// not read as "aaa" followed by a plain "a".
enum class AField { kNone, kAmPm, kAP, kAmpmRegional, kLongDay, kShortDay };

AField ReadAField(std::string_view pattern, std::size_t pos, std::size_t& length) {
  struct Form {
    std::string_view word;
    AField field;
  };
  static constexpr Form kForms[] = {{"AM/PM", AField::kAmPm},
                                    {"A/P", AField::kAP},
                                    {"AMPM", AField::kAmpmRegional},
                                    {"AAAA", AField::kLongDay},
                                    {"AAA", AField::kShortDay}};
  for (const Form& form : kForms) {
    if (StartsWithNoCase(pattern, pos, form.word)) {
      length = form.word.size();
      return form.field;
    }
  }
  length = 1;
  return AField::kNone;
}

// True when a morning/afternoon field follows `from`, reading the rest of the
// pattern as the formatter would (quoted text and day-name fields are not
// such fields).
bool MorningAfternoonFieldFollows(std::string_view pattern, std::size_t from) {
  std::size_t i = from;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == '"' || c == '\'') {
      const std::size_t close = pattern.find(c, i + 1);
      if (close == std::string_view::npos) return false;
      i = close + 1;
    } else if (Upper(c) == 'A') {
      std::size_t length = 1;
      const AField field = ReadAField(pattern, i, length);
      if (field == AField::kAmPm || field == AField::kAP || field == AField::kAmpmRegional) {
        return true;
      }
      i += length;
    } else {
      ++i;
    }
  }
  return false;
}

void AppendNumber(std::string& out, int value, int minDigits) {
  char buffer[24];
  const int n = std::snprintf(buffer, sizeof buffer, "%0*d", minDigits, value);
  if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
}

class Formatter {
 public:
  Formatter(const DateTimeParts& parts, const RegionalSettings& regional)
      : parts_(parts), regional_(regional) {}

  void Append(std::string_view pattern, int depth);
  std::string Take() { return std::move(out_); }

 private:
  void Expand(std::string_view form, int depth) {
    if (depth < kMaxExpansionDepth) Append(form, depth + 1);
  }
  // Index 0..6 from Sunday, as the name tables are ordered.
  int DayIndex() const { return std::clamp(parts_.dayOfWeek - 1, 0, 6); }
  int MonthIndex() const { return std::clamp(parts_.month - 1, 0, 11); }

  const DateTimeParts& parts_;
  const RegionalSettings& regional_;
  std::string out_;
};

void Formatter::Append(std::string_view pattern, int depth) {
  // "m" means minute right after an hour field; only fields count here, not
  // separators or literal text, so "hh:mm" and "hh 'h' mm" both give minutes.
  char lastField = 0;
  std::size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    const char letter = Upper(c);

    if (c == '"' || c == '\'') {
      const std::size_t close = pattern.find(c, i + 1);
      if (close == std::string_view::npos) {
        out_.append(pattern.substr(i + 1));  // unclosed: the rest, without the quote
        return;
      }
      out_.append(pattern.substr(i + 1, close - i - 1));
      i = close + 1;
      continue;
    }
    if (c == '/') {
      out_ += regional_.dateSeparator;
      ++i;
      continue;
    }
    if (c == ':') {
      out_ += regional_.timeSeparator;
      ++i;
      continue;
    }
    if (letter == 'A') {
      std::size_t length = 1;
      const AField field = ReadAField(pattern, i, length);
      const bool afternoon = parts_.hour >= 12;
      switch (field) {
        case AField::kAmPm:  // letters as written: "am/pm" gives "am" or "pm"
          out_.append(pattern.substr(afternoon ? i + 3 : i, 2));
          break;
        case AField::kAP:
          out_ += pattern[afternoon ? i + 2 : i];
          break;
        case AField::kAmpmRegional:
          out_ += afternoon ? regional_.timePMString : regional_.timeAMString;
          break;
        case AField::kLongDay:
          out_ += regional_.longDayNames[DayIndex()];
          break;
        case AField::kShortDay:
          out_ += regional_.shortDayNames[DayIndex()];
          break;
        case AField::kNone:
          out_ += c;
          break;
      }
      if (field != AField::kNone) lastField = 'A';
      i += length;
      continue;
    }

    static constexpr std::string_view kFieldLetters = "DMYHNSZTCEG";
    if (kFieldLetters.find(letter) == std::string_view::npos) {
      // Anything else, bytes of multibyte characters included, goes out as it
      // stands; no field letter is ever part of such a sequence.
      out_ += c;
      ++i;
      continue;
    }

    std::size_t run = 1;
    while (i + run < pattern.size() && Upper(pattern[i + run]) == letter) ++run;
    i += run;
    char field = letter;
    if (field == 'M' && run <= 2 && lastField == 'H') field = 'N';
    lastField = field;

    switch (field) {
      case 'D':
        if (run <= 2) {
          AppendNumber(out_, parts_.day, static_cast<int>(run));
        } else if (run == 3) {
          out_ += regional_.shortDayNames[DayIndex()];
        } else if (run == 4) {
          out_ += regional_.longDayNames[DayIndex()];
        } else if (run == 5) {
          Expand(regional_.shortDateFormat, depth);
        } else {
          Expand(regional_.longDateFormat, depth);
        }
        break;
      case 'M':
        if (run <= 2) {
          AppendNumber(out_, parts_.month, static_cast<int>(run));
        } else if (run == 3) {
          out_ += regional_.shortMonthNames[MonthIndex()];
        } else {
          out_ += regional_.longMonthNames[MonthIndex()];
        }
        break;
      case 'Y':
        if (run <= 2) {
          AppendNumber(out_, parts_.year % 100, 2);
        } else {
          AppendNumber(out_, parts_.year, 4);
        }
        break;
      case 'H': {
        int hour = parts_.hour;
        if (MorningAfternoonFieldFollows(pattern, i)) {
          hour %= 12;
          if (hour == 0) hour = 12;
        }
        AppendNumber(out_, hour, run == 1 ? 1 : 2);
        break;
      }
      case 'N':
        AppendNumber(out_, parts_.minute, run == 1 ? 1 : 2);
        break;
      case 'S':
        AppendNumber(out_, parts_.second, run == 1 ? 1 : 2);
        break;
      case 'Z':
        AppendNumber(out_, parts_.millisecond, static_cast<int>(std::min<std::size_t>(run, 3)));
        break;
      case 'T':
        Expand(run == 1 ? regional_.shortTimeFormat : regional_.longTimeFormat, depth);
        break;
      case 'C':
        Expand(regional_.shortDateFormat, depth);
        if (parts_.hour != 0 || parts_.minute != 0 || parts_.second != 0) {
          out_ += ' ';
          Expand(regional_.longTimeFormat, depth);
        }
        break;
      case 'E':  // the Gregorian calendar counts its era years as the years
        AppendNumber(out_, parts_.year, run == 1 ? 1 : 2);
        break;
      case 'G':
        out_ += regional_.eraName;
        break;
      default:
        break;
    }
  }
}

}  // namespace

// Values outside the years 1 to 9999 (or not numbers at all) have no calendar
// date; they are held to the nearest end so that formatting never fails.
DateTimeParts DecodeForFormatting(TDateTime value) {
  static const TDateTime kFirst = EncodeDateTime(1, 1, 1);
  static const TDateTime kLast = EncodeDateTime(9999, 12, 31, 23, 59, 59, 999);
  if (std::isnan(value)) return DecodeDateTime(0);
  // Before 1899-12-30 the whole-day part counts backwards while the time of
  // day still counts forwards, so all of (kFirst - 1, kFirst] lies on 1.1.0001.
  if (!(value > kFirst - 1)) return DecodeDateTime(kFirst);
  return DecodeDateTime(std::min(value, kLast));
}

DateOrder DateOrderOf(std::string_view pattern) {
  constexpr std::size_t kNone = std::string_view::npos;
  std::size_t day = kNone, month = kNone, year = kNone;
  std::size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == '"' || c == '\'') {
      const std::size_t close = pattern.find(c, i + 1);
      if (close == std::string_view::npos) break;
      i = close + 1;
      continue;
    }
    const char letter = Upper(c);
    if (letter == 'A') {  // "ampm" and the day names hold letters of other fields
      std::size_t length = 1;
      ReadAField(pattern, i, length);
      i += length;
      continue;
    }
    std::size_t run = 1;
    while (i + run < pattern.size() && Upper(pattern[i + run]) == letter) ++run;
    if (letter == 'D' && run <= 2 && day == kNone) day = i;
    if (letter == 'M' && month == kNone) month = i;
    if (letter == 'Y' && year == kNone) year = i;
    i += run;
  }
  if (year < day && year < month) return DateOrder::kYearMonthDay;
  return month < day ? DateOrder::kMonthDayYear : DateOrder::kDayMonthYear;
}

bool UsesTwelveHourClock(std::string_view timePattern) {
  return MorningAfternoonFieldFollows(timePattern, 0);
}

const RegionalSettings& DefaultRegionalSettings() {
  static const RegionalSettings kDefaults;
  return kDefaults;
}

std::string FormatDateTimeText(std::string_view pattern, TDateTime value,
                               const RegionalSettings& regional) {
  const DateTimeParts parts = DecodeForFormatting(value);
  Formatter formatter(parts, regional);
  formatter.Append(pattern.empty() ? std::string_view("c") : pattern, 0);
  return formatter.Take();
}

std::string DateTimeToRegionalString(TDateTime value, const RegionalSettings& regional) {
  return FormatDateTimeText("ddddd tt", value, regional);
}

}  // namespace zf
