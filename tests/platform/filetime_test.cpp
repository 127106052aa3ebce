#include "platform/filetime.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "tempdir.h"

namespace zf {
namespace {

using test::TempDir;
using test::WriteFile;

// A clock that stands still at a known moment.
class StillClock : public Clock {
 public:
  TDateTime Now() override { return EncodeDateTime(2030, 6, 15, 12, 34, 56, 789); }
  void SleepMs(int) override {}
};

class FileTime : public testing::Test {
 protected:
  void SetUp() override {
    // The test runner sets this zone; a run by hand gets it too.
    const char* tz = std::getenv("TZ");
    if (tz == nullptr || std::string(tz) != "Europe/Berlin") {
      setenv("TZ", "Europe/Berlin", 1);
      tzset();
    }
  }
  StillClock clock;
};

TEST_F(FileTime, KindsOfFiletimetype) {
  EXPECT_EQ(FileTimeKindOf(0), FileTimeKind::kCreation);
  EXPECT_EQ(FileTimeKindOf(1), FileTimeKind::kLastAccess);
  EXPECT_EQ(FileTimeKindOf(2), FileTimeKind::kLastWrite);
  for (int other : {3, 5, -1, 1000}) EXPECT_EQ(FileTimeKindOf(other), FileTimeKind::kLastAccess);
}

TEST_F(FileTime, LocalTimeCutToTheTwoSecondStep) {
  const struct {
    UnixTime instant;
    TDateTime expected;
  } cases[] = {
      // 2024-07-01 10:00:03.7 UTC is 12:00:03 summer time: the odd second goes.
      {{1719828003, 700'000'000}, EncodeDateTime(2024, 7, 1, 12, 0, 2)},
      // 2024-01-15 10:00:59.999 UTC is 11:00:59 winter time.
      {{1705312859, 999'000'000}, EncodeDateTime(2024, 1, 15, 11, 0, 58)},
      {{1705312858, 0}, EncodeDateTime(2024, 1, 15, 11, 0, 58)},
      // The first moment of the range in local time is 1979-12-31 23:00 UTC.
      {{315529200, 0}, EncodeDateTime(1980, 1, 1)},
      // Outside the range: pinned to its ends, never the current time.
      {{315529199, 0}, EncodeDateTime(1980, 1, 1)},
      {{0, 0}, EncodeDateTime(1980, 1, 1)},
      {{-86400, 0}, EncodeDateTime(1980, 1, 1)},
      {{4354819200, 0}, EncodeDateTime(2107, 12, 31, 23, 59, 58)},  // 2108-01-01 UTC
      {{4354815599, 0}, EncodeDateTime(2107, 12, 31, 23, 59, 58)},  // 2107-12-31 22:59:59 UTC
  };
  for (const auto& c : cases) {
    TDateTime out = -1;
    ASSERT_TRUE(TryFatLocalTime(c.instant, out)) << c.instant.seconds;
    EXPECT_EQ(out, c.expected) << c.instant.seconds;
    EXPECT_EQ(DecodeDateTime(out).second % 2, 0);
    EXPECT_EQ(DecodeDateTime(out).millisecond, 0);
  }
}

TEST_F(FileTime, OfAPathByKindOrNowWhenMissing) {
  TempDir dir;
  const std::string path = dir / "f";
  WriteFile(path, "x");
  // access 2024-03-10 09:00:01 UTC, write 2024-03-10 09:30:05.5 UTC
  const timespec times[2] = {{1710061201, 0}, {1710063005, 500'000'000}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  SystemFileAccess files;
  EXPECT_EQ(FileTimeOf(files, path, 2, clock), EncodeDateTime(2024, 3, 10, 10, 30, 4));
  EXPECT_EQ(FileTimeOf(files, path, 1, clock), EncodeDateTime(2024, 3, 10, 10, 0, 0));
  EXPECT_EQ(FileTimeOf(files, path, 5, clock), EncodeDateTime(2024, 3, 10, 10, 0, 0));
  const TDateTime created = FileTimeOf(files, path, 0, clock);
  EXPECT_GT(created, EncodeDateTime(2024, 6, 1));
  EXPECT_NE(created, clock.Now());
  EXPECT_EQ(FileTimeOf(files, dir / "missing", 2, clock), clock.Now());
}

}  // namespace
}  // namespace zf
