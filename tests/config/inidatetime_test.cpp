#include "config/inidatetime.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "testlocale.h"

namespace zf {
namespace {

using test::InstalledLocale;

std::int64_t Ms(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return ToMilliseconds(EncodeDateTime(y, mo, d, h, mi, s, ms));
}

TEST(IniDateTime, WritesTheFixedFormWithWholeSeconds) {
  const struct {
    TDateTime value;
    const char* text;
  } cases[] = {
      {EncodeDateTime(2024, 3, 5, 14, 7, 9, 45), "05/03/2024 14:07:09"},
      {EncodeDateTime(1980, 1, 1, 1, 1, 1, 1), "01/01/1980 01:01:01"},
      {EncodeDateTime(1999, 12, 31, 23, 59, 59, 999), "31/12/1999 23:59:59"},  // not rounded up
      {EncodeDateTime(2024, 3, 5), "05/03/2024"},                // midnight: date alone
      {EncodeDateTime(2024, 3, 5, 0, 0, 0, 500), "05/03/2024"},  // midnight to the second
      {0.0, "30/12/1899"},
      {EncodeDateTime(1850, 6, 1, 6, 0, 0), "01/06/1850 06:00:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatIniDateTime(c.value), c.text);
}

TEST(IniDateTime, ReadsTheFormsThatRegionalSettingsWrote) {
  const struct {
    const char* text;
    std::int64_t expected;
  } cases[] = {
      {"05/03/2024 14:07:09", Ms(2024, 3, 5, 14, 7, 9)},  // our own form: day first
      {"05/03/2024", Ms(2024, 3, 5)},
      {"  05/03/2024  ", Ms(2024, 3, 5)},
      {"5.3.2024 14:07:09", Ms(2024, 3, 5, 14, 7, 9)},
      {"05.03.2024 14:07", Ms(2024, 3, 5, 14, 7)},
      {"5-3-2024 9:07:09", Ms(2024, 3, 5, 9, 7, 9)},
      {"2024-03-05 14:07:09", Ms(2024, 3, 5, 14, 7, 9)},
      {"2024/3/5 14:07:09", Ms(2024, 3, 5, 14, 7, 9)},
      {"2024. 03. 05. 14:07:09", Ms(2024, 3, 5, 14, 7, 9)},
      {"2024-03-05T14:07:09.045", Ms(2024, 3, 5, 14, 7, 9, 45)},
      {"05/03/2024 14:07:09,5", Ms(2024, 3, 5, 14, 7, 9, 500)},
      {"5.3.2024 14.07.09", Ms(2024, 3, 5, 14, 7, 9)},
      {"05-Mar-2024", Ms(2024, 3, 5)},
      {"5 March 2024 14:07", Ms(2024, 3, 5, 14, 7)},
      {"Mar 5 2024", Ms(2024, 3, 5)},
      {"2024-mar-05", Ms(2024, 3, 5)},
      {"5.3.24", Ms(2024, 3, 5)},
      {"5.3.80", Ms(1980, 3, 5)},
      // AM/PM marks the US form: month first.
      {"3/5/2024 2:07:09 PM", Ms(2024, 3, 5, 14, 7, 9)},
      {"1/1/1980 1:01:01 AM", Ms(1980, 1, 1, 1, 1, 1)},
      {"1/1/1980 12:00:00 AM", Ms(1980, 1, 1)},
      {"1/1/1980 12:30:00 pm", Ms(1980, 1, 1, 12, 30)},
      {"1/2/1980 11:59:59 p.m.", Ms(1980, 1, 2, 23, 59, 59)},
      // When the preferred order gives no date, the other one is taken.
      {"3/25/2024", Ms(2024, 3, 25)},
      {"25/3/2024 2:00:00 PM", Ms(2024, 3, 25, 14)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto value = ParseIniDateTime(c.text);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(ToMilliseconds(*value), c.expected);
  }
}

TEST(IniDateTime, UnreadableTextsGiveNothing) {
  for (const char* text :
       {"", "   ", "abc", "05/03", "32/13/2024", "29/02/2023", "05/03/2024 25:00:00",
        "05/03/2024 14:60", "1/1/1980 13:00:00 PM", "1/1/1980 0:30 AM", "05/03/2024 x",
        "05/03/2024 14", "05/03/2024#", "05/03/2024 14:07:09 XM", "5 Foo 2024", "Mar Apr 2024",
        "05/03/2024 14:07:09 PM extra", "1234567890/1/1"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(ParseIniDateTime(text).has_value());
  }
}

TEST(IniDateTime, WhatIsWrittenReadsBackToTheSecond) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> year(1900, 2100), month(1, 12), day(1, 28), hour(0, 23),
      minute(0, 59), second(0, 59), ms(0, 999);
  for (int i = 0; i < 2000; ++i) {
    const int y = year(random), mo = month(random), d = day(random), h = hour(random),
              mi = minute(random), s = second(random);
    const TDateTime value = EncodeDateTime(y, mo, d, h, mi, s, ms(random));
    const auto back = ParseIniDateTime(FormatIniDateTime(value));
    ASSERT_TRUE(back.has_value()) << FormatIniDateTime(value);
    ASSERT_EQ(ToMilliseconds(*back), Ms(y, mo, d, h, mi, s)) << FormatIniDateTime(value);
  }
}

// The value as the writer keeps it: whole seconds.
std::int64_t ToWholeSecond(TDateTime value) {
  const DateTimeParts p = DecodeDateTime(value);
  return Ms(p.year, p.month, p.day, p.hour, p.minute, p.second);
}

TEST(IniDateTime, WrittenTextReadsBackAsWrittenSoASecondSaveChangesNothing) {
  std::vector<std::pair<std::string, RegionalSettings>> settings = {
      {"built-in", DefaultRegionalSettings()}};
  for (const char* name : {"en_US.UTF-8", "de_DE.UTF-8", "en_GB.UTF-8", "ja_JP.UTF-8"}) {
    settings.emplace_back(name, InstalledLocale(name));
  }
  std::vector<TDateTime> values = {
      EncodeDateTime(2024, 3, 5, 0, 0, 0, 500),  // midnight and a half second
      EncodeDateTime(2024, 3, 5, 0, 0, 0, 999),
      EncodeDateTime(2024, 3, 5, 0, 0, 1),
      EncodeDateTime(1850, 6, 1, 0, 0, 0, 250),  // before 1899-12-30
      EncodeDateTime(1899, 12, 29, 23, 59, 59, 999),
      EncodeDateTime(2024, 3, 5, 12, 0, 0, 1),  // noon on the 12-hour clock
      EncodeDateTime(2024, 3, 5, 23, 59, 59, 999),
      EncodeDateTime(1, 1, 1, 0, 0, 0, 300),
      EncodeDateTime(9999, 12, 31, 23, 59, 59, 999),
  };
  std::mt19937 random(11);
  std::uniform_int_distribution<int> year(1700, 2200), month(1, 12), day(1, 28), hour(0, 23),
      minute(0, 59), second(0, 59), ms(0, 999), midnight(0, 3);
  for (int i = 0; i < 1000; ++i) {
    const bool atMidnight = midnight(random) == 0;
    values.push_back(EncodeDateTime(year(random), month(random), day(random),
                                    atMidnight ? 0 : hour(random), atMidnight ? 0 : minute(random),
                                    atMidnight ? 0 : second(random), ms(random)));
  }
  for (const auto& [name, regional] : settings) {
    SCOPED_TRACE(name);
    for (const TDateTime value : values) {
      const std::string first = FormatIniDateTime(value, regional);
      const auto back = ParseIniDateTime(first, regional);
      ASSERT_TRUE(back.has_value()) << first;
      ASSERT_EQ(ToMilliseconds(*back), ToWholeSecond(value)) << first;
      ASSERT_EQ(FormatIniDateTime(*back, regional), first);
    }
  }
}

TEST(IniDateTime, TheRegionalSettingsGiveTheOrderTheSeparatorsAndTheClock) {
  const TDateTime afternoon = EncodeDateTime(2025, 12, 8, 14, 5, 12, 345);
  const TDateTime lateMorning = EncodeDateTime(2025, 12, 8, 11, 59, 59);
  const TDateTime date = EncodeDateTime(2025, 12, 8);
  const struct {
    const char* locale;
    const char* afternoon;
    const char* lateMorning;
    const char* date;
  } cases[] = {
      {"en_US.UTF-8", "12/08/2025 02:05:12 PM", "12/08/2025 11:59:59 AM", "12/08/2025"},
      {"de_DE.UTF-8", "08.12.2025 14:05:12", "08.12.2025 11:59:59", "08.12.2025"},
      // A two-digit year in the regional form; four digits keep every year readable.
      {"en_GB.UTF-8", "08/12/2025 14:05:12", "08/12/2025 11:59:59", "08/12/2025"},
      // No common separator in the regional form: the built-in one.
      {"ja_JP.UTF-8", "2025/12/08 14:05:12", "2025/12/08 11:59:59", "2025/12/08"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    const RegionalSettings regional = InstalledLocale(c.locale);
    EXPECT_EQ(FormatIniDateTime(afternoon, regional), c.afternoon);
    EXPECT_EQ(FormatIniDateTime(lateMorning, regional), c.lateMorning);
    EXPECT_EQ(FormatIniDateTime(date, regional), c.date);
  }
}

TEST(IniDateTime, ReadingFollowsTheRegionalDateOrderNamesAndStrings) {
  const RegionalSettings us = InstalledLocale("en_US.UTF-8");
  const RegionalSettings german = InstalledLocale("de_DE.UTF-8");
  const RegionalSettings british = InstalledLocale("en_GB.UTF-8");
  const RegionalSettings japanese = InstalledLocale("ja_JP.UTF-8");
  const struct {
    const char* what;
    const RegionalSettings& regional;
    const char* text;
    std::int64_t expected;
  } cases[] = {
      // A date alone from a month-first machine.
      {"US", us, "12/8/2025", Ms(2025, 12, 8)},
      {"US", us, "3/5/2024 14:07:09", Ms(2024, 3, 5, 14, 7, 9)},
      {"built-in", DefaultRegionalSettings(), "12/8/2025", Ms(2025, 8, 12)},
      {"German", german, "12/8/2025", Ms(2025, 8, 12)},
      {"German", german, "8. Dez 2025", Ms(2025, 12, 8)},
      {"German", german, "8. M\xC3\xA4rz 2025 7:05", Ms(2025, 3, 8, 7, 5)},
      // AM/PM from elsewhere still marks the US form; where the settings'
      // own times carry it, it does not.
      {"German", german, "3/5/2024 2:07:09 PM", Ms(2024, 3, 5, 14, 7, 9)},
      {"British", british, "3/5/2024 2:07:09 PM", Ms(2024, 3, 5, 14, 7, 9)},
      {"Japanese", japanese, "2025/12/08 02:05:12 \xE5\x8D\x88\xE5\xBE\x8C",
       Ms(2025, 12, 8, 14, 5, 12)},
      {"Japanese", japanese, "2025/12/08 12:05:12 \xE5\x8D\x88\xE5\x89\x8D",
       Ms(2025, 12, 8, 0, 5, 12)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ": " + c.text);
    const auto value = ParseIniDateTime(c.text, c.regional);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(ToMilliseconds(*value), c.expected);
  }
  EXPECT_FALSE(ParseIniDateTime("13/25/2025", us).has_value());
  EXPECT_FALSE(ParseIniDateTime("8. Foo 2025", german).has_value());
}

}  // namespace
}  // namespace zf
