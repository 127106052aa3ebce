#include "log/visuallog.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace zf {
namespace {

class FixedClock final : public Clock {
 public:
  TDateTime now = 0;
  TDateTime Now() override { return now; }
  void SleepMs(int) override {}
};

TEST(VisualLog, EntryCarriesTheTextsAndTheTimeOfTheCall) {
  FixedClock clock;
  std::vector<VisualLogEntry> seen;
  VisualLog log(clock, RegionalSettings{}, [&](VisualLogEntry e) { seen.push_back(e); });

  clock.now = EncodeDateTime(2025, 12, 8, 14, 5, 12, 700);
  log.AddVisualLogEntry("Page01.pdf", "SPORT_01.pdf", "Renamed", 1);
  // A failure that produced no name; the clock has moved on in between, and
  // the time shown is that of the call, not of any file.
  clock.now = EncodeDateTime(2025, 12, 9, 0, 0, 3);
  log.AddVisualLogEntry("odd name.txt", "", "cannot rename", 2);

  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0],
            (VisualLogEntry{"Page01.pdf", "SPORT_01.pdf", "08/12/2025 14:05:12", "Renamed", 1}));
  EXPECT_EQ(seen[1],
            (VisualLogEntry{"odd name.txt", "", "09/12/2025 00:00:03", "cannot rename", 2}));
}

TEST(VisualLog, TimeFollowsTheRegionalSettingsGiven) {
  FixedClock clock;
  clock.now = EncodeDateTime(2024, 3, 5, 9, 7, 1);
  RegionalSettings regional;
  regional.dateSeparator = ".";
  regional.shortDateFormat = "d/m/yyyy";
  regional.longTimeFormat = "h:nn:ss AMPM";
  std::string time;
  VisualLog log(clock, regional, [&](VisualLogEntry e) { time = e.time; });
  log.AddVisualLogEntry("a", "b", "Renamed", 1);
  EXPECT_EQ(time, "5.3.2024 9:07:01 AM");
}

TEST(VisualLog, SinkFailureStaysWithTheLog) {
  FixedClock clock;
  int calls = 0;
  VisualLog log(clock, RegionalSettings{}, [&](VisualLogEntry) {
    ++calls;
    throw std::runtime_error("window gone");
  });
  EXPECT_NO_THROW(log.AddVisualLogEntry("a", "b", "Cannot copy", 2));
  EXPECT_EQ(calls, 1);
  EXPECT_THROW(VisualLog(clock, RegionalSettings{}, VisualLogSink{}), std::invalid_argument);
}

}  // namespace
}  // namespace zf
