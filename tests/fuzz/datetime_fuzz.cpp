// Date-times: the log's date-time pattern, the configuration files' date-time
// form and the day arithmetic under both.
// - Any pattern with any value (NaN and infinities included) formats without
//   fault, and the text grows at most by the longest single field per
//   pattern character.
// - The day arithmetic agrees with an independent civil-date count (years
//   and months added up from 1 January 0001, a Monday), weekday included.
// - The INI form: a date-time written reads back to the same second, and any
//   text that reads as a date-time writes a text that reads back to it,
//   under several regional settings (day, month or year first; 12-hour
//   clocks; separators and AM/PM strings of various kinds).
//
// Input: regional choice, 8 bytes of a raw double, 9 bytes of date-time
// fields, then the text: a pattern for the formatter, and the same text read
// as an INI date-time.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/datetimepattern.h"
#include "config/inidatetime.h"
#include "fuzzcheck.h"
#include "platform/datetime.h"

namespace {

std::vector<zf::RegionalSettings> Regionals() {
  std::vector<zf::RegionalSettings> all(6);
  // [0]: the built-in settings, as in the C locale.
  zf::RegionalSettings& de = all[1];  // day first with dots, 24 hours, names beyond ASCII
  de.dateSeparator = ".";
  de.shortDateFormat = "dd.mm.yyyy";
  de.longTimeFormat = "hh:nn:ss";
  de.timeAMString = "";
  de.timePMString = "";
  de.shortMonthNames[2] = "M\xC3\xA4r";
  de.longMonthNames[2] = "M\xC3\xA4rz";
  zf::RegionalSettings& us = all[2];  // month first, 12 hours
  us.shortDateFormat = "m/d/yyyy";
  us.longTimeFormat = "h:nn:ss ampm";
  zf::RegionalSettings& ja = all[3];  // year first, AM/PM beyond ASCII
  ja.shortDateFormat = "yyyy/mm/dd";
  ja.longTimeFormat = "h:nn:ss ampm";
  ja.timeAMString = "\xE5\x8D\x88\xE5\x89\x8D";
  ja.timePMString = "\xE5\x8D\x88\xE5\xBE\x8C";
  zf::RegionalSettings& dotted = all[4];  // "a.m." strings, dots between the time's parts
  dotted.dateSeparator = "-";
  dotted.timeSeparator = ".";
  dotted.shortDateFormat = "dd-mm-yyyy";
  dotted.longTimeFormat = "hh.nn.ss ampm";
  dotted.timeAMString = "a.m.";
  dotted.timePMString = "p.m.";
  zf::RegionalSettings& hu = all[5];  // year first, separators of two characters
  hu.dateSeparator = ". ";
  hu.shortDateFormat = "yyyy. mm. dd.";
  hu.longTimeFormat = "h:nn:ss";
  hu.timeAMString = "de.";
  hu.timePMString = "du.";
  return all;
}

// The civil calendar counted the long way: days since 1 January 0001 of the
// proleptic Gregorian calendar.
bool Leap(int y) {
  return y % 400 == 0 || (y % 100 != 0 && y % 4 == 0);
}
int MonthLength(int y, int m) {
  static const int kLength[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return kLength[m - 1] + (m == 2 && Leap(y) ? 1 : 0);
}
std::int64_t CivilDays(int y, int m, int d) {
  static const std::vector<std::int64_t> yearStart = [] {
    std::vector<std::int64_t> start(10001, 0);
    for (int year = 1; year < 10000; ++year)
      start[year + 1] = start[year] + (Leap(year) ? 366 : 365);
    return start;
  }();
  std::int64_t days = yearStart[static_cast<std::size_t>(y)];
  for (int month = 1; month < m; ++month) days += MonthLength(y, month);
  return days + d - 1;
}

void CheckDayArithmetic(int y, int m, int d, int h, int n, int s, int ms) {
  const bool valid = y >= 1 && y <= 9999 && m >= 1 && m <= 12 && d >= 1 && d <= MonthLength(y, m) &&
                     h >= 0 && h < 24 && n >= 0 && n < 60 && s >= 0 && s < 60 && ms >= 0 &&
                     ms < 1000;
  char fields[96];
  std::snprintf(fields, sizeof fields, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, m, d, h, n, s, ms);
  zf::TDateTime value = 12345;
  ZF_FUZZ_CHECK(zf::TryEncodeDateTime(y, m, d, h, n, s, ms, value) == valid,
                "a date-time is encoded exactly when it exists", fields);
  if (!valid) {
    ZF_FUZZ_CHECK(value == 12345, "a refused date-time leaves the value alone", fields);
    return;
  }
  const std::int64_t day = CivilDays(y, m, d) - CivilDays(1899, 12, 30);
  const std::int64_t msOfDay = ((h * 60LL + n) * 60 + s) * 1000 + ms;
  ZF_FUZZ_CHECK(static_cast<std::int64_t>(std::trunc(value)) == day,
                "the whole part counts the days from 30 December 1899", fields);
  ZF_FUZZ_CHECK(zf::ToMilliseconds(value) == day * 86'400'000 + msOfDay,
                "milliseconds count the days and the time of day", fields);
  const zf::DateTimeParts p = zf::DecodeDateTime(value);
  ZF_FUZZ_CHECK(p.year == y && p.month == m && p.day == d && p.hour == h && p.minute == n &&
                    p.second == s && p.millisecond == ms,
                "decoding gives the fields back", fields);
  // 1 January 0001 was a Monday; dayOfWeek counts 1 for Sunday.
  ZF_FUZZ_CHECK(p.dayOfWeek == static_cast<int>((CivilDays(y, m, d) + 1) % 7) + 1,
                "the weekday follows the day count", fields);
  ZF_FUZZ_CHECK(zf::ToMilliseconds(zf::DateOf(value)) == day * 86'400'000,
                "DateOf is midnight of the same day", fields);
}

// The text is a date-time the INI form wrote: it must read back to the same
// second, and writing what was read must give the same text.
void CheckIniRoundTrip(zf::TDateTime value, const zf::RegionalSettings& regional) {
  const std::string text = zf::FormatIniDateTime(value, regional);
  const auto read = zf::ParseIniDateTime(text, regional);
  ZF_FUZZ_CHECK(read.has_value(), "a written date-time reads", zf::fuzz::Escaped(text));
  ZF_FUZZ_CHECK(
      zf::ToMilliseconds(*read) == 1000 * zf::fuzz::FloorDiv(zf::ToMilliseconds(value), 1000),
      "a written date-time reads back to the second it was written at", zf::fuzz::Escaped(text));
  ZF_FUZZ_CHECK_EQ(zf::FormatIniDateTime(*read, regional), text,
                   "what was read writes the same text");
}

// The largest text one pattern character can give: a number, a name, a
// regional string, or one of the regional forms it stands for.
std::size_t LongestField(zf::TDateTime value, const zf::RegionalSettings& r) {
  std::size_t longest = 11;  // a number of int range
  auto take = [&](const std::string& s) { longest = std::max(longest, s.size()); };
  for (const auto& name : r.shortMonthNames) take(name);
  for (const auto& name : r.longMonthNames) take(name);
  for (const auto& name : r.shortDayNames) take(name);
  for (const auto& name : r.longDayNames) take(name);
  for (const std::string* s :
       {&r.dateSeparator, &r.timeSeparator, &r.timeAMString, &r.timePMString, &r.eraName}) {
    take(*s);
  }
  for (const char* form : {"c", "ddddd", "dddddd", "t", "tt"}) {
    take(zf::FormatDateTimeText(form, value, r));
  }
  return longest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::vector<zf::RegionalSettings> regionals = Regionals();
  zf::fuzz::Input in(data, size);
  const zf::RegionalSettings& regional = regionals[in.Number(regionals.size() - 1)];

  double raw = 0;
  const std::string_view rawBytes = in.Take(sizeof raw);
  std::memcpy(&raw, rawBytes.data(), rawBytes.size());

  // Fields around the ends of their ranges, midnight and the epoch's
  // neighbourhood reached often.
  const int y = static_cast<int>(in.Number(10001));
  const int m = static_cast<int>(in.Number(13));
  const int d = static_cast<int>(in.Number(32));
  const std::uint8_t timeChoice = in.Byte();
  int h = static_cast<int>(in.Number(24)), n = static_cast<int>(in.Number(60));
  int s = static_cast<int>(in.Number(60)), ms = static_cast<int>(in.Number(1000));
  if (timeChoice % 4 == 0) h = 23, n = 59, s = 59, ms = 999;
  if (timeChoice % 4 == 1) h = 0, n = 0, s = 0;

  const std::string text(in.Rest().substr(0, 512));

  // The pattern formatter.
  const std::string formatted = zf::FormatDateTimeText(text, raw, regional);
  const std::size_t bound = (text.empty() ? 1 : text.size()) * LongestField(raw, regional);
  ZF_FUZZ_CHECK(formatted.size() <= bound, "a pattern's text stays within its bound",
                std::to_string(formatted.size()) + " > " + std::to_string(bound));

  CheckDayArithmetic(y, m, d, h, n, s, ms);
  zf::TDateTime value = 0;
  if (zf::TryEncodeDateTime(y, m, d, h, n, s, ms, value)) {
    CheckIniRoundTrip(value, regional);
    // The formatter's numbers are the decoded fields.
    char expected[64];
    std::snprintf(expected, sizeof expected, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, m, d, h, n, s,
                  ms);
    ZF_FUZZ_CHECK_EQ(
        zf::FormatDateTimeText("yyyy\"-\"mm\"-\"dd hh\":\"nn\":\"ss\".\"zzz", value, regional),
        std::string(expected), "the pattern's fields are the value's fields");
  }
  // Raw values within the years 1 to 9999 (before 1899 the whole part counts
  // back and the fraction forward, so all of (first - 1, first] is 1.1.0001).
  static const zf::TDateTime kFirst = zf::EncodeDateTime(1, 1, 1);
  static const zf::TDateTime kLast = zf::EncodeDateTime(9999, 12, 31, 23, 59, 59, 999);
  if (raw > kFirst - 1 && raw <= kLast) CheckIniRoundTrip(raw, regional);

  // Any text that reads as a date-time: written and read again, the same.
  if (const auto read = zf::ParseIniDateTime(text, regional)) {
    const zf::DateTimeParts p = zf::DecodeDateTime(*read);
    ZF_FUZZ_CHECK(p.year >= 1 && p.year <= 9999, "a date-time read lies in years 1 to 9999",
                  zf::fuzz::Escaped(text));
    CheckIniRoundTrip(*read, regional);
  }
  return 0;
}
