#include "config/inidatetime.h"

#include <gtest/gtest.h>

#include <random>

namespace zf {
namespace {

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
      {EncodeDateTime(2024, 3, 5), "05/03/2024"},                         // midnight: date alone
      {EncodeDateTime(2024, 3, 5, 0, 0, 0, 500), "05/03/2024 00:00:00"},  // not exactly midnight
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

}  // namespace
}  // namespace zf
