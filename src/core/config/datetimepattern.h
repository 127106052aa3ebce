#pragma once

#include <string>
#include <string_view>

#include "platform/datetime.h"

namespace zf {

// The regional settings that the date-time pattern and the visual log's time
// column draw on. The defaults are English names with "/" and ":".
struct RegionalSettings {
  std::string dateSeparator = "/";
  std::string timeSeparator = ":";
  std::string shortDateFormat = "dd/mm/yyyy";
  std::string longDateFormat = "dddd, d mmmm yyyy";
  std::string shortTimeFormat = "hh:nn";
  std::string longTimeFormat = "hh:nn:ss";
  std::string timeAMString = "AM";
  std::string timePMString = "PM";
  std::string shortMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::string longMonthNames[12] = {"January",   "February", "March",    "April",
                                    "May",       "June",     "July",     "August",
                                    "September", "October",  "November", "December"};
  std::string shortDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  std::string longDayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};
  // The Gregorian calendar's era, for the fields "g" and "gg".
  std::string eraName = "A.D.";
};

// The built-in settings above; the C and POSIX locales give these too.
const RegionalSettings& DefaultRegionalSettings();

// The order of day, month and year in a date pattern, by the first field of
// each kind outside quoted text (day names are not days).
enum class DateOrder { kDayMonthYear, kMonthDayYear, kYearMonthDay };
DateOrder DateOrderOf(std::string_view datePattern);

// True when a time pattern shows the hour on the 12-hour clock, that is when
// it has a morning/afternoon field ("ampm", "am/pm", "a/p").
bool UsesTwelveHourClock(std::string_view timePattern);

// The parts of `value` as the formatter shows them: values outside the years
// 1 to 9999, or no number at all, are held to the nearest end.
DateTimeParts DecodeForFormatting(TDateTime value);

// Formats `value` by the letter notation of log stamps and `logformat`.
// Never fails for a well-formed value.
std::string FormatDateTimeText(std::string_view pattern, TDateTime value,
                               const RegionalSettings& regional = DefaultRegionalSettings());

// The regional short date, a blank and the regional long time: the time text
// of the visual log. Unlike "c", the time is shown at midnight too.
std::string DateTimeToRegionalString(TDateTime value,
                                     const RegionalSettings& regional = DefaultRegionalSettings());

}  // namespace zf
