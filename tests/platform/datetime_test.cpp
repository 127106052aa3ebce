#include "platform/datetime.h"

#include <gtest/gtest.h>

namespace zf {
namespace {

TEST(DateTime, KnownDaysAndRoundTrips) {
  EXPECT_EQ(EncodeDateTime(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDateTime(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDateTime(2000, 1, 1), 36526.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(2000, 1, 1, 12), 36526.5);

  const TDateTime v = EncodeDateTime(1980, 1, 1, 1, 1, 1, 1);
  const DateTimeParts p = DecodeDateTime(v);
  EXPECT_EQ(p.year, 1980);
  EXPECT_EQ(p.month, 1);
  EXPECT_EQ(p.day, 1);
  EXPECT_EQ(p.hour, 1);
  EXPECT_EQ(p.minute, 1);
  EXPECT_EQ(p.second, 1);
  EXPECT_EQ(p.millisecond, 1);

  // Last millisecond of a day must not round into the next one.
  const DateTimeParts late = DecodeDateTime(EncodeDateTime(2024, 2, 29, 23, 59, 59, 999));
  EXPECT_EQ(late.day, 29);
  EXPECT_EQ(late.hour, 23);
  EXPECT_EQ(late.millisecond, 999);

  EXPECT_EQ(DecodeDateTime(EncodeDateTime(2025, 12, 8)).dayOfWeek, 2);  // a Monday
  EXPECT_EQ(DecodeDateTime(EncodeDateTime(2024, 3, 5)).dayOfWeek, 3);   // a Tuesday
}

TEST(DateTime, InvalidFieldsAreRefused) {
  TDateTime out = 123;
  EXPECT_FALSE(TryEncodeDateTime(2023, 2, 29, 0, 0, 0, 0, out));
  EXPECT_FALSE(TryEncodeDateTime(2024, 13, 1, 0, 0, 0, 0, out));
  EXPECT_FALSE(TryEncodeDateTime(2024, 1, 1, 24, 0, 0, 0, out));
  EXPECT_FALSE(TryEncodeDateTime(2024, 1, 1, 0, 60, 0, 0, out));
  EXPECT_EQ(out, 123);
  EXPECT_TRUE(TryEncodeDateTime(2024, 2, 29, 0, 0, 0, 0, out));
}

TEST(DateTime, DatesBeforeTheEpochKeepTheirTimeOfDay) {
  const DateTimeParts p = DecodeDateTime(EncodeDateTime(1899, 12, 29, 6));
  EXPECT_EQ(p.day, 29);
  EXPECT_EQ(p.hour, 6);
  EXPECT_EQ(DateOf(EncodeDateTime(2025, 12, 8, 14, 5)), EncodeDateTime(2025, 12, 8));
}

TEST(DateTime, ATimeThatRoundsUpToMidnightStartsTheNextCalendarDay) {
  // A hair short of 24:00 (less than half a millisecond): the time of day is
  // the fraction's size on both sides of 1899-12-30, so the next day is the
  // following calendar day, never the one before.
  constexpr double kHair = 1e-10;
  const struct {
    TDateTime value;
    int year, month, day;
  } cases[] = {{-1 - (1 - kHair), 1899, 12, 30},     // 29 Dec 23:59:59.99999
               {-2 - (1 - kHair), 1899, 12, 29},     // 28 Dec
               {-(1 - kHair), 1899, 12, 31},         // 30 Dec, its whole part a negative zero
               {5 + (1 - kHair), 1900, 1, 5},        // 4 Jan 1900
               {-36523 - (1 - kHair), 1800, 1, 1}};  // 31 Dec 1799
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const DateTimeParts p = DecodeDateTime(c.value);
    EXPECT_EQ(p.year, c.year);
    EXPECT_EQ(p.month, c.month);
    EXPECT_EQ(p.day, c.day);
    EXPECT_EQ(p.hour, 0);
    EXPECT_EQ(p.millisecond, 0);
    EXPECT_EQ(DecodeDateTime(EncodeDateTime(c.year, c.month, c.day)).dayOfWeek, p.dayOfWeek);
    // The millisecond count agrees with the calendar: the next day's midnight.
    EXPECT_EQ(ToMilliseconds(c.value), ToMilliseconds(EncodeDateTime(c.year, c.month, c.day)));
  }
  // Milliseconds run forwards through the epoch without a gap or an overlap.
  EXPECT_EQ(ToMilliseconds(EncodeDateTime(1899, 12, 29, 23, 59, 59, 999)) + 1,
            ToMilliseconds(EncodeDateTime(1899, 12, 30)));
  EXPECT_EQ(ToMilliseconds(EncodeDateTime(1899, 12, 29, 6)), -18 * 3'600'000);
}

TEST(DateTime, UnixInstantsBecomeLocalTime) {
  // The tests run in Europe/Berlin: 2024-07-01 12:00 UTC is 14:00 there.
  const DateTimeParts p = DecodeDateTime(LocalDateTimeFromUnix(1719835200, 250'000'000));
  EXPECT_EQ(p.year, 2024);
  EXPECT_EQ(p.month, 7);
  EXPECT_EQ(p.hour, 14);
  EXPECT_EQ(p.millisecond, 250);
}

}  // namespace
}  // namespace zf

namespace zf {
namespace {
// Encoded while globals are built: the epoch offset must already be right.
const TDateTime kStaticValue = EncodeDateTime(2025, 12, 8);

TEST(DateTime, ValuesEncodedDuringStaticInitialisationAreRight) {
  EXPECT_EQ(DecodeDateTime(kStaticValue).year, 2025);
  EXPECT_EQ(kStaticValue, EncodeDateTime(2025, 12, 8));
}
}  // namespace
}  // namespace zf
