#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "config/systemregional.h"
#include "platform/datetime.h"

namespace zf {

// Date-time values in the configuration files, in the regional settings'
// terms, so that a file moved over from a machine with the same settings
// reads as it was meant.
//
// Written in the numeric form of the settings' short date: day, month and
// year in its order with its separator, the year always with four digits;
// then, unless the value is midnight to the second, a blank and hour, minute
// and second with its time separator, on the 12-hour clock with its AM/PM
// string when its long time form uses one. The milliseconds are dropped, not
// rounded, and the time is left out exactly when what is written is
// midnight, so that the text reads back to what was written and a second
// save writes the same text. With the built-in settings (the C locale) this
// is "dd/mm/yyyy hh:nn:ss".
std::string FormatIniDateTime(TDateTime value,
                              const RegionalSettings& regional = SystemRegionalSettings());

// Reads that form and also the forms that regional settings produced in
// files written before it: any of "/", ".", "-" or blanks, or the settings'
// own date separator, between the date's numbers ("d.m.yyyy", "dd-mm-yyyy",
// "yyyy-mm-dd", "yyyy. mm. dd."), English or the settings' month names
// ("5-Mar-2024"), two-digit years (00..49 -> 20xx, 50..99 -> 19xx), ":" or "."
// or the settings' time separator between hour, minute and second, seconds
// optional, a fraction of a second, "T" between date and time, and AM/PM
// (also "a.m."/"p.m." and the settings' own strings).
//
// Day or month first: as the settings' short date orders them; with day
// first (or year first) a time that carries AM/PM while the settings' own
// times do not marks the US form month/day/year. When that reading is no
// valid date and the other one is, the other one is taken. A year of three
// or four digits in front means year-month-day. Nothing is returned for an
// empty or unreadable text.
std::optional<TDateTime> ParseIniDateTime(
    std::string_view text, const RegionalSettings& regional = SystemRegionalSettings());

}  // namespace zf
