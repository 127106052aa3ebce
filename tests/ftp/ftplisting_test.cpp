#include "ftp/ftplisting.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zf {
namespace {

using Kind = RemoteEntry::Kind;

constexpr ListingDate kToday{2024, 5, 1};

TDateTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return EncodeDateTime(y, mo, d, h, mi, s, ms);
}

struct Good {
  const char* line;
  const char* name;
  std::int64_t size;
  TDateTime time;
  Kind kind;
};

void ExpectParsed(const Good& c) {
  SCOPED_TRACE(c.line);
  RemoteEntry e;
  ASSERT_TRUE(ParseListLine(c.line, kToday, e));
  EXPECT_EQ(e.name, c.name);
  EXPECT_EQ(e.size, c.size);
  EXPECT_EQ(ToMilliseconds(e.time), ToMilliseconds(c.time));
  EXPECT_EQ(e.kind, c.kind);
}

TEST(ListLine, UnixLinesGiveNameSizeTimeAndKind) {
  const Good cases[] = {
      {"-rw-r--r--   1 owner    group        1234 Mar 14 09:30 report.pdf", "report.pdf", 1234,
       At(2024, 3, 14, 9, 30), Kind::kFile},
      {"-rw-r--r--   1 1000     1000      7045120 Sep 02  2019 music file.mp3", "music file.mp3",
       7045120, At(2019, 9, 2), Kind::kFile},
      {"-rw-r--r-- 1 a b 5 Jan  1  2023 two  blanks ", "two  blanks ", 5, At(2023, 1, 1),
       Kind::kFile},
      // No group column.
      {"-rw-r--r--   1 ftp  42 Dec 31 23:59 x", "x", 42, At(2023, 12, 31, 23, 59), Kind::kFile},
      // No link count either.
      {"-rw-r--r-- ftp ftp 42 Apr 30 10:00 y", "y", 42, At(2024, 4, 30, 10), Kind::kFile},
      {"drwxr-xr-x   2 root root 4096 May 01 08:00 sub", "sub", 4096, At(2024, 5, 1, 8),
       Kind::kDirectory},
      {"lrwxrwxrwx 1 root root 7 May 01 08:00 link -> target", "link", 7, At(2024, 5, 1, 8),
       Kind::kLink},
      {"crw-rw---- 1 root tty 4, 0 Jan 1 12:00 tty0", "tty0", 0, At(2024, 1, 1, 12), Kind::kOther},
      {"prw-r--r-- 1 u g 0 Jan 1 2020 fifo", "fifo", 0, At(2020, 1, 1), Kind::kOther},
      // An ACL marker after the mode, a leap day.
      {"-rw-r--r--+ 1 u g 10 Feb 29  2024 leap", "leap", 10, At(2024, 2, 29), Kind::kFile},
      // A time of day more than a day ahead belongs to last year; within a
      // day it is this year's.
      {"-rw-r--r-- 1 u g 10 Jun 10 12:00 future", "future", 10, At(2023, 6, 10, 12), Kind::kFile},
      {"-rw-r--r-- 1 u g 10 May 02 12:00 tomorrow", "tomorrow", 10, At(2024, 5, 2, 12),
       Kind::kFile},
      // An owner that reads like a month.
      {"-rw-r--r-- 1 jan 100 1234 Jan 01 12:00 owner", "owner", 1234, At(2024, 1, 1, 12),
       Kind::kFile},
      {"-rw-r--r-- 1 u g 3000000000 mar 14 2021 big.iso\r", "big.iso", 3000000000LL,
       At(2021, 3, 14), Kind::kFile},
      {"-rw-r--r-- 1 u g 1 Mar 14 9:05  lead", " lead", 1, At(2024, 3, 14, 9, 5), Kind::kFile},
      {"-rw-r--r-- 1 u g 1 Mar 14 2021 a -> b", "a -> b", 1, At(2021, 3, 14), Kind::kFile},
  };
  for (const Good& c : cases) ExpectParsed(c);
}

TEST(ListLine, DosLinesGiveNameSizeTimeAndKind) {
  const Good cases[] = {
      {"03-14-24  09:30AM                 1234 report.pdf", "report.pdf", 1234,
       At(2024, 3, 14, 9, 30), Kind::kFile},
      {"03-14-24  09:30PM       <DIR>          folder name", "folder name", 0,
       At(2024, 3, 14, 21, 30), Kind::kDirectory},
      {"12-01-1999  12:05AM  5 old name.txt", "old name.txt", 5, At(1999, 12, 1, 0, 5),
       Kind::kFile},
      {"03-14-2024  21:30  1,234,567 big.bin", "big.bin", 1234567, At(2024, 3, 14, 21, 30),
       Kind::kFile},
      {"03-14-24  09:30 AM  7 spaced", "spaced", 7, At(2024, 3, 14, 9, 30), Kind::kFile},
      {"03/14/24  12:00PM  1 noon\r", "noon", 1, At(2024, 3, 14, 12), Kind::kFile},
      {"01-02-70  12:15am  0 epoch", "epoch", 0, At(1970, 1, 2, 0, 15), Kind::kFile},
  };
  for (const Good& c : cases) ExpectParsed(c);
}

TEST(ListLine, LinesOfOtherShapesAreSkipped) {
  const char* lines[] = {
      "",
      "\r",
      "total 12",
      "-rw-r--r-- 1 u g 10 Feb 30 2024 no-such-day",
      "-rw-r--r-- 1 u g 10 Jan 32 2024 day",
      "-rw-r--r-- 1 u g 10 Jan 01 24:00 hour",
      "-rw-r--r-- 1 u g 10 Jan 01 12:00",
      "-rw-r--r-- 1 u g 10 Jan 01 12:00 ",
      "-rw-r--r-- 1 u g 99999999999999999999 Jan 01 2020 overflow",
      "-rw-r--r-- 1 u g -5 Jan 01 2020 negative",
      "-rw-r--r-- 1 u g 10 Foo 01 2020 month",
      "-rw-r--r-- 1 u g 10 Jan 01 20201 year",
      "xrw-r--r-- 1 u g 10 Jan 01 2020 type",
      "-rw-r--r 1 u g 10 Jan 01 2020 short-mode",
      "13-14-24  09:30AM  1 month",
      "03-14-24  13:30PM  1 half-day",
      "03-14-24  09:30AM  1",
      "03-14-24  09:30AM  <FILE> what",
      "03-14-24  09:61AM  1 minute",
      "03-14-24x 09:30AM  1 date",
      "226 Transfer complete.",
  };
  for (const char* line : lines) {
    RemoteEntry e;
    EXPECT_FALSE(ParseListLine(line, kToday, e)) << '"' << line << '"';
  }
}

TEST(MlsdLine, FactsAndNames) {
  const Good cases[] = {
      {"type=file;size=1234;modify=20240314093000; report.pdf", "report.pdf", 1234,
       At(2024, 3, 14, 9, 30), Kind::kFile},
      {"Type=FILE;Size=5;Modify=20240314093000.123;perm=r; a b;c", "a b;c", 5,
       At(2024, 3, 14, 9, 30, 0, 123), Kind::kFile},
      {"modify=20240314093000.5;size=7;type=file;  lead", " lead", 7,
       At(2024, 3, 14, 9, 30, 0, 500), Kind::kFile},
      {"type=dir;sizd=4096;modify=20240101000000; sub", "sub", -1, At(2024, 1, 1),
       Kind::kDirectory},
      {"type=cdir;modify=20240101000000; /in", "/in", -1, At(2024, 1, 1), Kind::kDirectory},
      {"type=pdir; ..", "..", -1, 0, Kind::kDirectory},
      {"type=OS.unix=slink:/target;size=7; ln", "ln", 7, 0, Kind::kLink},
      {"type=OS.unix=symlink;size=7; ln2", "ln2", 7, 0, Kind::kLink},
      {"type=OS.unix=socket; sock", "sock", -1, 0, Kind::kOther},
      // No type fact: a file; facts that cannot be read count as unknown.
      {"size=5; untyped", "untyped", 5, 0, Kind::kFile},
      {"type=file;size=5;modify=2024031409300; short-time", "short-time", 5, 0, Kind::kFile},
      {"type=file;size=5;modify=20240230093000; no-such-day", "no-such-day", 5, 0, Kind::kFile},
      {"type=file;size=99999999999999999999; huge", "huge", -1, 0, Kind::kFile},
      {"type=file;size=12x; junk-size", "junk-size", -1, 0, Kind::kFile},
      {" bare\r", "bare", -1, 0, Kind::kFile},
  };
  for (const Good& c : cases) {
    SCOPED_TRACE(c.line);
    RemoteEntry e;
    ASSERT_TRUE(ParseMlsdLine(c.line, e));
    EXPECT_EQ(e.name, c.name);
    EXPECT_EQ(e.size, c.size);
    EXPECT_EQ(ToMilliseconds(e.time), ToMilliseconds(c.time));
    EXPECT_EQ(e.kind, c.kind);
  }
  for (const char* bad : {"", "type=file;size=5;", "type=file;size=5; ", "\r"}) {
    RemoteEntry e;
    EXPECT_FALSE(ParseMlsdLine(bad, e)) << '"' << bad << '"';
  }
}

TEST(Listing, WholeListingsKeepOrderAndSkipJunk) {
  const std::string list =
      "total 3\r\n"
      "-rw-r--r-- 1 u g 1 Jan 01  2020 b.pdf\r\n"
      "garbage line\r\n"
      "drwxr-xr-x 2 u g 4096 Jan 01  2020 dir\r\n"
      "03-14-24  09:30AM  2 a.pdf\n"
      "-rw-r--r-- 1 u g 3 Jan 01  2020 last";  // no line end after the last line
  const std::vector<RemoteEntry> entries = ParseListing(list, ListingFormat::kList, kToday);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].name, "b.pdf");
  EXPECT_EQ(entries[1].kind, Kind::kDirectory);
  EXPECT_EQ(entries[2].name, "a.pdf");
  EXPECT_EQ(entries[3].name, "last");
  EXPECT_EQ(entries[3].size, 3);

  const std::string mlsd =
      "type=cdir;modify=20240101000000; .\r\n"
      "type=file;size=1;modify=20240101000001; x\r\n"
      "\r\n"
      "type=file;size=2;modify=20240101000002; X\r\n";
  const std::vector<RemoteEntry> m = ParseListing(mlsd, ListingFormat::kMlsd, kToday);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[1].name, "x");
  EXPECT_EQ(m[2].name, "X");
  EXPECT_NE(m[1].time, m[2].time);
  EXPECT_TRUE(ParseListing("", ListingFormat::kList, kToday).empty());
}

TEST(Listing, DateOfAListingAndSafeNames) {
  const ListingDate d = ListingDateOf(EncodeDateTime(2031, 7, 9, 23, 59, 59));
  EXPECT_EQ(d.year, 2031);
  EXPECT_EQ(d.month, 7);
  EXPECT_EQ(d.day, 9);

  for (const char* name : {"a", "a b", ".hidden", "...", "x\\y", "ä.pdf"}) {
    EXPECT_TRUE(IsSafeRemoteName(name)) << name;
  }
  for (std::string name :
       {std::string(), std::string("."), std::string(".."), std::string("../x"), std::string("a/b"),
        std::string("/abs"), std::string("a\rb"), std::string("a\nb"), std::string("a\0b", 3)}) {
    EXPECT_FALSE(IsSafeRemoteName(name)) << name;
  }
}

}  // namespace
}  // namespace zf
