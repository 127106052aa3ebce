#include "datetime.h"

#include <cmath>

namespace zf {
namespace {

constexpr std::int64_t kMsPerDay = 86'400'000;

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
constexpr std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

// 1899-12-30 counted from 1970-01-01. A constant expression, so that values
// encoded during static initialisation elsewhere are right too.
constexpr std::int64_t kEpochOffsetDays = DaysFromCivil(1899, 12, 30);

}  // namespace

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                       int millisecond, TDateTime& out) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59 || millisecond < 0 || millisecond > 999) {
    return false;
  }
  const std::int64_t days =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
      kEpochOffsetDays;
  const std::int64_t ms = ((hour * 60LL + minute) * 60LL + second) * 1000LL + millisecond;
  // Before 1899-12-30 the whole-day part counts backwards but the fraction still
  // counts forwards from midnight, so -1.25 is 29 December 1899, 06:00.
  const double frac = static_cast<double>(ms) / kMsPerDay;
  out = days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
  return true;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
  TDateTime value = 0;
  TryEncodeDateTime(year, month, day, hour, minute, second, millisecond, value);
  return value;
}

namespace {

// The calendar day (counted from 1899-12-30) and the millisecond of that day,
// split the way the encoding made them: the whole part is the day, before the
// epoch too, and the fraction's size is the time of day.
struct DayAndMillisecond {
  std::int64_t day;
  std::int64_t ms;
};

DayAndMillisecond SplitDateTime(TDateTime value) {
  const double whole = std::trunc(value);
  DayAndMillisecond out{static_cast<std::int64_t>(whole),
                        std::llround(std::fabs(value - whole) * kMsPerDay)};
  // A time that rounds up to 24:00 is the start of the next calendar day,
  // which is one day later on both sides of the epoch.
  if (out.ms >= kMsPerDay) {
    out.ms -= kMsPerDay;
    out.day += 1;
  }
  return out;
}

}  // namespace

std::int64_t ToMilliseconds(TDateTime value) {
  const DayAndMillisecond split = SplitDateTime(value);
  return split.day * kMsPerDay + split.ms;
}

DateTimeParts DecodeDateTime(TDateTime value) {
  const DayAndMillisecond split = SplitDateTime(value);
  const std::int64_t days = split.day;
  const std::int64_t ms = split.ms;
  DateTimeParts p;
  CivilFromDays(days + kEpochOffsetDays, p.year, p.month, p.day);
  p.millisecond = static_cast<int>(ms % 1000);
  const std::int64_t secs = ms / 1000;
  p.second = static_cast<int>(secs % 60);
  p.minute = static_cast<int>((secs / 60) % 60);
  p.hour = static_cast<int>(secs / 3600);
  // 1899-12-30 was a Saturday (7).
  const std::int64_t dow = ((days % 7) + 7 + 6) % 7;  // 0 Sunday
  p.dayOfWeek = static_cast<int>(dow) + 1;
  return p;
}

TDateTime DateOf(TDateTime value) {
  const DateTimeParts p = DecodeDateTime(value);
  return EncodeDateTime(p.year, p.month, p.day);
}

TDateTime LocalDateTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) return 0;
  return EncodeDateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                        tm.tm_sec < 60 ? tm.tm_sec : 59, static_cast<int>(nanoseconds / 1'000'000));
}

}  // namespace zf
