#include "config/datetimepattern.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace zf {
namespace {

struct Case {
  const char* pattern;
  TDateTime value;
  const char* expected;
};

void ExpectAll(const std::vector<Case>& cases, const RegionalSettings& regional) {
  for (const Case& c : cases) {
    EXPECT_EQ(FormatDateTimeText(c.pattern, c.value, regional), c.expected)
        << "pattern \"" << c.pattern << "\"";
  }
}

// A Tuesday afternoon, a Monday afternoon, a Tuesday morning, midnight and
// noon. Members, not globals: EncodeDateTime relies on a constant of its own
// unit that need not be initialised yet while this unit's globals are.
class DateTimePattern : public testing::Test {
 protected:
  const TDateTime kMarch = EncodeDateTime(2024, 3, 5, 14, 7, 9, 45);
  const TDateTime kDecember = EncodeDateTime(2025, 12, 8, 14, 5, 12);
  const TDateTime kMorning = EncodeDateTime(2024, 3, 5, 9, 3, 4, 5);
  const TDateTime kMidnight = EncodeDateTime(2024, 3, 5);
  const TDateTime kNoon = EncodeDateTime(2024, 3, 5, 12);
};

TEST_F(DateTimePattern, FieldsWithDefaultRegionalSettings) {
  ExpectAll(
      {
          // The log format default and the fixed stamps of the log files.
          {"dd.mm.yyyy hh:nn:ss:zzz", kMarch, "05.03.2024 14:07:09:045"},
          {"ddmmyyyyhhnn", kDecember, "081220251405"},
          {"ddmmyyyy hhnnss", kDecember, "08122025 140512"},
          // Letters in any case; a run of one letter is one field.
          {"DD.MM.YYYY HH:NN", kMarch, "05.03.2024 14:07"},
          {"dD", kMarch, "05"},
          {"d/m/y h:n:s", kMorning, "5/3/24 9:3:4"},
          {"yyyy yy yyy y", kMarch, "2024 24 2024 24"},
          {"ddd dddd mmm mmmm", kMarch, "Tue Tuesday Mar March"},
          {"z zz zzz zzzz", kMarch, "45 45 045 045"},
          {"z zz zzz", kMorning, "5 05 005"},
          // Regional forms.
          {"ddddd", kMarch, "05/03/2024"},
          {"dddddd", kMarch, "Tuesday, 5 March 2024"},
          {"t", kMarch, "14:07"},
          {"tt", kMarch, "14:07:09"},
          {"c", kMarch, "05/03/2024 14:07:09"},
          {"c", kMidnight, "05/03/2024"},
          {"c", EncodeDateTime(2024, 3, 5, 0, 0, 0, 500), "05/03/2024"},
          {"", kMarch, "05/03/2024 14:07:09"},
          {"", kMidnight, "05/03/2024"},
          {"e g", kMarch, "2024 A.D."},
          // Characters that are no field go out as they stand.
          {"a bx!#", kMarch, "a bx!#"},
          {"[hh]", kMarch, "[14]"},
      },
      DefaultRegionalSettings());
}

TEST_F(DateTimePattern, MonthOrMinuteDependsOnThePreviousField) {
  ExpectAll(
      {
          {"hh:mm", kMarch, "14:07"},
          {"mm:ss", kMarch, "03:09"},
          {"h:m", kMorning, "9:3"},
          {"hh mm mm", kMarch, "14 07 03"},  // the second follows a minute field
          {"hh:nn mm", kMarch, "14:07 03"},
          {"hh 'o''clock' mm", kMarch, "14 oclock 07"},  // literal text is no field
          {"hh:mmm", kMarch, "14:Mar"},                  // names are always months
          {"yyyy-mm-dd hh:mm", kMarch, "2024-03-05 14:07"},
      },
      DefaultRegionalSettings());
}

TEST_F(DateTimePattern, MorningAndAfternoon) {
  ExpectAll(
      {
          {"hh:mm am/pm", kDecember, "02:05 pm"},
          {"hh:mm AM/PM", kMorning, "09:03 AM"},
          {"h Am/Pm", kDecember, "2 Pm"},
          {"h AM/PM", kMidnight, "12 AM"},
          {"h AM/PM", kNoon, "12 PM"},
          {"hh a/p", kDecember, "02 p"},
          {"hh A/P", kMorning, "09 A"},
          {"hh ampm", kDecember, "02 PM"},
          {"hh AMPM", kMorning, "09 AM"},
          // The 12-hour clock needs such a field anywhere after the hour.
          {"hh:nn:ss dd/mm/yyyy am/pm", kDecember, "02:05:12 08/12/2025 pm"},
          {"am/pm hh", kDecember, "pm 14"},
          {"hh", kMidnight, "00"},
          {"hh 'am/pm'", kDecember, "14 am/pm"},
          {"hh aaaa", kDecember, "14 Monday"},
          {"aaa AAAA", kMarch, "Tue Tuesday"},
          {"hh aaaam/pm", kDecember, "14 Monday12/p12"},  // "aaaa" then "m", not "am/pm"
      },
      DefaultRegionalSettings());
}

TEST_F(DateTimePattern, QuotedText) {
  ExpectAll(
      {
          {"'dd' \"mm\" yy", kMarch, "dd mm 24"},
          {"\"it's\" yy", kMarch, "it's 24"},
          {"yyyy 'rest: dd/mm", kMarch, "2024 rest: dd/mm"},  // unclosed quote
          {"yyyy \"", kMarch, "2024 "},
          {"''yy", kMarch, "24"},
      },
      DefaultRegionalSettings());
}

TEST_F(DateTimePattern, BytesOutsideAsciiAreCopiedUnchanged) {
  ExpectAll(
      {
          {"dd \xE2\x80\x93 hh", kMarch, "05 \xE2\x80\x93 14"},  // UTF-8 en dash
          {"\xC3\xA9x\xC3\xA9 yy", kMarch, "\xC3\xA9x\xC3\xA9 24"},
          {"\xE9x\xE9 yy", kMarch, "\xE9x\xE9 24"},  // a lone 8-bit byte
          {"'\xE4' d", kMarch, "\xE4 5"},
      },
      DefaultRegionalSettings());
}

TEST_F(DateTimePattern, OtherRegionalSettings) {
  RegionalSettings german;
  german.dateSeparator = ".";
  german.timeSeparator = "-";
  german.shortDateFormat = "dd/mm/yyyy";
  german.longTimeFormat = "hh:nn:ss";
  german.longMonthNames[2] = "M\xC3\xA4rz";
  german.shortDayNames[2] = "Di";
  german.longDayNames[2] = "Dienstag";
  german.timeAMString = "vorm.";
  german.timePMString = "nachm.";
  ExpectAll(
      {
          {"dd/mm/yyyy hh:nn", kMarch, "05.03.2024 14-07"},
          {"c", kMarch, "05.03.2024 14-07-09"},
          {"ddd dddd d. mmmm", kMarch, "Di Dienstag 5. M\xC3\xA4rz"},
          {"h ampm", kMarch, "2 nachm."},
          {"h ampm", kMorning, "9 vorm."},
      },
      german);

  RegionalSettings bare;
  bare.dateSeparator = "";
  bare.timeSeparator = "";
  ExpectAll(
      {
          {"dd/mm/yyyy hh:nn", kMarch, "05032024 1407"},
          {"ddddd", kMarch, "05032024"},
      },
      bare);
}

TEST_F(DateTimePattern, NestedRegionalFormsStopAfterTwoLevels) {
  RegionalSettings nested;
  nested.shortDateFormat = "Q<dddddd>";
  nested.longDateFormat = "L<ddddd>";
  nested.shortTimeFormat = "t";  // names itself
  nested.longTimeFormat = "(t|hh)";
  ExpectAll(
      {
          {"ddddd", kMarch, "Q<L<>>"},
          {"dddddd", kMarch, "L<Q<>>"},
          {"t", kMarch, ""},
          {"tt", kMarch, "(|14)"},
          {"c", kMarch, "Q<L<>> (|14)"},
          {"", kMidnight, "Q<L<>>"},
      },
      nested);

  // Empty regional forms give nothing rather than falling back to "c".
  RegionalSettings empty;
  empty.shortDateFormat = "";
  empty.longTimeFormat = "";
  ExpectAll({{"[ddddd][tt]", kMarch, "[][]"}, {"c", kMarch, " "}}, empty);
}

TEST_F(DateTimePattern, ValuesWithoutACalendarDateDoNotFail) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(FormatDateTimeText("c", std::nan("")), "30/12/1899");
  EXPECT_EQ(FormatDateTimeText("dd/mm/yyyy hh:nn:ss:zzz", 1e300), "31/12/9999 23:59:59:999");
  EXPECT_EQ(FormatDateTimeText("dd/mm/yyyy", inf), "31/12/9999");
  EXPECT_EQ(FormatDateTimeText("dd/mm/yyyy hh", -1e300), "01/01/0001 00");
  EXPECT_EQ(FormatDateTimeText("dd/mm/yyyy", -inf), "01/01/0001");
  // A time of day on the first day still counts.
  EXPECT_EQ(FormatDateTimeText("dd/mm/yyyy hh", EncodeDateTime(1, 1, 1, 12)), "01/01/0001 12");
}

TEST_F(DateTimePattern, RegionalStringAlwaysCarriesTheTime) {
  EXPECT_EQ(DateTimeToRegionalString(kDecember), "08/12/2025 14:05:12");
  EXPECT_EQ(DateTimeToRegionalString(kMidnight), "05/03/2024 00:00:00");
  RegionalSettings other;
  other.dateSeparator = "-";
  other.shortDateFormat = "yyyy/mm/dd";
  other.longTimeFormat = "h:nn:ss AMPM";
  EXPECT_EQ(DateTimeToRegionalString(kDecember, other), "2025-12-08 2:05:12 PM");
}

}  // namespace
}  // namespace zf
