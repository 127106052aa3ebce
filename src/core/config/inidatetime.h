#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/datetime.h"

namespace zf {

// Date-time values in the configuration files.
//
// Written in one fixed form, "dd/mm/yyyy hh:nn:ss": whole seconds (the
// milliseconds are dropped, not rounded), and the time part left out when the
// value is exactly midnight. A fixed form keeps a file readable whatever the
// regional settings of the machine that reads it.
std::string FormatIniDateTime(TDateTime value);

// Reads the fixed form and also the forms that regional settings produced in
// files written before it: any of "/", ".", "-" or blanks between the date's
// numbers ("d.m.yyyy", "dd-mm-yyyy", "yyyy-mm-dd", "yyyy. mm. dd."), English
// month names ("5-Mar-2024"), two-digit years (00..49 -> 20xx, 50..99 -> 19xx),
// ":" or "." between hour, minute and second, seconds optional, a fraction of
// a second, "T" between date and time, and AM/PM (also "a.m."/"p.m.").
//
// Day or month first: the day comes first, as the fixed form writes it,
// unless the time carries AM/PM, the mark of the US form month/day/year;
// when that reading is no valid date and the other one is, the other one is
// taken. A year of three or four digits in front means year-month-day.
// Nothing is returned for an empty or unreadable text.
std::optional<TDateTime> ParseIniDateTime(std::string_view text);

}  // namespace zf
