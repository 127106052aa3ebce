#pragma once

#include <cstdint>
#include <ctime>

namespace zf {

// A point in local time as days since 30 December 1899; the fraction is the
// time of day. This is the form the configuration files and log stamps were
// designed around, so it is kept rather than converted at every edge.
using TDateTime = double;

struct DateTimeParts {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int dayOfWeek = 7;  // 1 Sunday .. 7 Saturday
};

// Returns false (and leaves `out` alone) for fields out of range.
bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                       int millisecond, TDateTime& out);
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int millisecond = 0);
DateTimeParts DecodeDateTime(TDateTime value);

// Midnight at the start of the value's day.
TDateTime DateOf(TDateTime value);

// Local wall-clock time of a POSIX instant (seconds and nanoseconds since the epoch).
TDateTime LocalDateTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds = 0);

// Whole milliseconds of a value, for exact comparisons of stored times.
std::int64_t ToMilliseconds(TDateTime value);

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

}  // namespace zf
