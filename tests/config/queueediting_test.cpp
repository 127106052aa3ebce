#include "config/queueediting.h"

#include <gtest/gtest.h>

#include "platform/datetime.h"

namespace zf {
namespace {

TEST(QueueEditing, NumberBoxesTakeOnlyPlainDecimalText) {
  struct Case {
    const char* text;
    std::optional<std::int32_t> value;
  };
  const Case cases[] = {
      {"21", 21},
      {"0", 0},
      {"-1", -1},
      {"+990", 990},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"2147483648", std::nullopt},  // beyond 32 bits
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {" 21", std::nullopt},
      {"21 ", std::nullopt},
      {"0x15", std::nullopt},
      {"$15", std::nullopt},
      {"2 1", std::nullopt},
      {"--1", std::nullopt},
      {"21a", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseDecimalInt32(c.text), c.value) << "text: '" << c.text << "'";
  }
  EXPECT_EQ(NotAnIntegerMessage("2l"), "'2l' is not a valid integer value");
}

TEST(QueueEditing, DailyTimeBeyondThePickerBecomesTheNearestValidTime) {
  struct Case {
    std::uint16_t hour, minute;
    int shownHour, shownMinute;
    bool adjusted;
  };
  const Case cases[] = {
      {1, 1, 1, 1, false},  {23, 59, 23, 59, false}, {0, 0, 0, 0, false},
      {24, 0, 23, 0, true}, {7, 60, 7, 59, true},    {65535, 65535, 23, 59, true},
  };
  for (const Case& c : cases) {
    const DailyTime t = ValidDailyTime(c.hour, c.minute);
    EXPECT_EQ(t.hour, c.shownHour) << c.hour << ":" << c.minute;
    EXPECT_EQ(t.minute, c.shownMinute) << c.hour << ":" << c.minute;
    EXPECT_EQ(t.adjusted, c.adjusted) << c.hour << ":" << c.minute;
  }
}

TEST(QueueEditing, OnlyASemicolonMarksASearchMaskAsLiteral) {
  EXPECT_TRUE(SearchMaskHasSemicolon("*.eps;*.ps"));
  EXPECT_TRUE(SearchMaskHasSemicolon(";"));
  EXPECT_FALSE(SearchMaskHasSemicolon("*.*"));
  EXPECT_FALSE(SearchMaskHasSemicolon("a,b"));
}

TEST(QueueEditing, AnAppendedQueueForgetsWhatItsSlotHeldInTheFieldsTheDialogNeverWrites) {
  QueueRecord r;
  r.FTPcurrentpath = "/old";
  r.transdateto = "yyyy";
  r.lastlogrenew = 45000.5;
  r.useplugin = 3;
  r.HostName = "db";
  r.Database = "pages";
  r.Username = "u";
  r.password = "p";
  r.name = "kept";  // the dialog writes this one itself
  r.FTPprotocol = kFtpSftp;
  r.FTPfingerprint = "SHA256:x";
  r.FTPknownhosts = "/other";
  r.FTPkeyfile = "/k";
  ResetFieldsTheDialogNeverWrites(r);
  EXPECT_EQ(r.FTPprotocol, kFtpPlain);
  EXPECT_EQ(r.FTPfingerprint + r.FTPkeyfile, "");
  EXPECT_EQ(r.FTPknownhosts, "known_hosts");
  EXPECT_EQ(r.FTPcurrentpath, "");
  EXPECT_EQ(r.transdateto, "ddmmyyyy");
  EXPECT_EQ(r.lastlogrenew, EncodeDateTime(1980, 1, 1, 1, 1, 1, 1));
  EXPECT_EQ(r.useplugin, 0);
  EXPECT_EQ(r.HostName + r.Database + r.Username + r.password, "");
  EXPECT_EQ(r.name, "kept");
}

}  // namespace
}  // namespace zf
