#include "config/systemregional.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "testlocale.h"

namespace zf {
namespace {

using test::InstalledLocale;

TEST(SystemRegional, TheLocalesTimeCategoryGivesFormsSeparatorsAndStrings) {
  const struct {
    const char* locale;
    const char* shortDate;
    const char* dateSeparator;
    const char* longTime;
    const char* shortTime;
    const char* timeSeparator;
    const char* am;
    const char* pm;
  } cases[] = {
      {"en_US.UTF-8", "mm/dd/yyyy", "/", "hh:nn:ss ampm", "hh:nn ampm", ":", "AM", "PM"},
      {"de_DE.UTF-8", "dd/mm/yyyy", ".", "hh:nn:ss", "hh:nn", ":", "", ""},
      {"en_GB.UTF-8", "dd/mm/yy", "/", "hh:nn:ss", "hh:nn", ":", "am", "pm"},
      // Fields with units of their own: no common separator; the units,
      // beyond ASCII, need no quotes.
      {"ja_JP.UTF-8", "yyyy年mm月dd日", "/", "hh時nn分ss秒", "hh時nn分", ":", "午前", "午後"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    const RegionalSettings r = InstalledLocale(c.locale);
    EXPECT_EQ(r.shortDateFormat, c.shortDate);
    EXPECT_EQ(r.dateSeparator, c.dateSeparator);
    EXPECT_EQ(r.longTimeFormat, c.longTime);
    EXPECT_EQ(r.shortTimeFormat, c.shortTime);
    EXPECT_EQ(r.timeSeparator, c.timeSeparator);
    EXPECT_EQ(r.timeAMString, c.am);
    EXPECT_EQ(r.timePMString, c.pm);
  }
}

TEST(SystemRegional, NamesComeAsTheLocaleGivesThem) {
  const RegionalSettings german = InstalledLocale("de_DE.UTF-8");
  EXPECT_EQ(german.shortMonthNames[2], "M\xC3\xA4r");  // UTF-8 bytes, unchanged
  EXPECT_EQ(german.longMonthNames[2], "M\xC3\xA4rz");
  EXPECT_EQ(german.shortDayNames[0], "So");  // Sunday first
  EXPECT_EQ(german.longDayNames[1], "Montag");
  const RegionalSettings japanese = InstalledLocale("ja_JP.UTF-8");
  EXPECT_EQ(japanese.shortMonthNames[0], " 1月");
  EXPECT_EQ(japanese.longDayNames[6], "土曜日");
}

TEST(SystemRegional, TheVisualLogsTimeAndPatternsFollowTheLocale) {
  const TDateTime afternoon = EncodeDateTime(2025, 12, 8, 14, 5, 12);
  const TDateTime morning = EncodeDateTime(2025, 12, 8, 9, 5, 12);
  const struct {
    const char* locale;
    TDateTime value;
    const char* timeText;
  } cases[] = {
      {"en_US.UTF-8", afternoon, "12/08/2025 02:05:12 PM"},
      {"en_US.UTF-8", morning, "12/08/2025 09:05:12 AM"},
      {"de_DE.UTF-8", afternoon, "08.12.2025 14:05:12"},
      {"en_GB.UTF-8", afternoon, "08/12/25 14:05:12"},
      {"ja_JP.UTF-8", afternoon, "2025年12月08日 14時05分12秒"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    EXPECT_EQ(DateTimeToRegionalString(c.value, InstalledLocale(c.locale)), c.timeText);
  }
  const RegionalSettings german = InstalledLocale("de_DE.UTF-8");
  EXPECT_EQ(FormatDateTimeText("dddd, d. mmmm yyyy t", afternoon, german),
            "Montag, 8. Dezember 2025 14:05");
  EXPECT_EQ(FormatDateTimeText("dd/mm/yyyy", afternoon, german), "08.12.2025");
}

TEST(SystemRegional, TheCAndPosixLocalesKeepTheBuiltInSettings) {
  const RegionalSettings& builtIn = DefaultRegionalSettings();
  for (const char* name : {"C", "POSIX", "C.UTF-8", "C.utf8"}) {
    SCOPED_TRACE(name);
    auto r = RegionalSettingsForLocale(name);
    ASSERT_TRUE(r.ok()) << r.status().message();
    EXPECT_EQ(r->shortDateFormat, builtIn.shortDateFormat);
    EXPECT_EQ(r->longTimeFormat, builtIn.longTimeFormat);
    EXPECT_EQ(r->timeAMString, builtIn.timeAMString);
    EXPECT_EQ(r->longMonthNames[11], builtIn.longMonthNames[11]);
  }
  auto missing = RegionalSettingsForLocale("xx_NOWHERE.UTF-8");
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.status().message().find("xx_NOWHERE.UTF-8"), std::string::npos);
}

// Sets or clears one environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(SystemRegional, TheEnvironmentChoosesTheLocaleAsTheCLibraryDoes) {
  InstalledLocale("en_US.UTF-8");
  InstalledLocale("de_DE.UTF-8");
  const struct {
    const char* all;
    const char* time;
    const char* lang;
    const char* date;  // short date form and separator
  } cases[] = {
      {"de_DE.UTF-8", "en_US.UTF-8", "en_US.UTF-8", "dd/mm/yyyy ."},  // LC_ALL first
      {nullptr, "en_US.UTF-8", "de_DE.UTF-8", "mm/dd/yyyy /"},        // then LC_TIME
      {"", "", "de_DE.UTF-8", "dd/mm/yyyy ."},                        // then LANG
      {nullptr, nullptr, nullptr, "dd/mm/yyyy /"},                    // nothing: C
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.all ? c.all : "-") + " " + (c.time ? c.time : "-") + " " +
                 (c.lang ? c.lang : "-"));
    const ScopedEnv all("LC_ALL", c.all), time("LC_TIME", c.time), lang("LANG", c.lang);
    auto r = RegionalSettingsForLocale("");
    ASSERT_TRUE(r.ok()) << r.status().message();
    EXPECT_EQ(r->shortDateFormat + " " + r->dateSeparator, c.date);
  }
}

}  // namespace
}  // namespace zf
