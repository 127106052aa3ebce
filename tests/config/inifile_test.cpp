#include "config/inifile.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cerrno>
#include <filesystem>
#include <random>
#include <string_view>

#include "failingfilesystem.h"
#include "tempdir.h"

namespace zf {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TEST(IniDocument, ValueReadingRules) {
  const std::string longValue(3000, 'v');
  const struct {
    std::string line;
    std::string expected;
  } cases[] = {
      {"k=abc", "abc"},
      {"k=  abc \t", "abc"},             // blanks around the value go
      {"  k  =  a b  ", "a b"},          // and around the key
      {"k=\"  quoted \"", "  quoted "},  // quotes go, blanks inside stay
      {"k='single'", "single"},
      {"k=\"mixed'", "\"mixed'"},  // not a pair
      {"k=\"", "\""},              // one quote alone is text
      {"k=\"\"", ""},
      {"k=\"a\"b\"", "a\"b"},  // only the outer pair goes
      {"k=a=b=c", "a=b=c"},    // the first "=" splits
      {"k=", ""},
      {"k=" + longValue, longValue.substr(0, 2047)},
      {"k=\"" + longValue + "\"", longValue.substr(0, 2047)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 40));
    const IniDocument doc = IniDocument::Parse("[S]\n" + c.line + "\n");
    const auto value = doc.Value("S", "k");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, c.expected);
  }
}

TEST(IniDocument, IntegersTakeDecimalAndHexadecimalOnly) {
  const struct {
    const char* text;
    std::optional<std::int32_t> expected;
  } cases[] = {
      {"21", 21},
      {"-5", -5},
      {"+7", 7},
      {"0x15", 21},
      {"0X1f", 31},
      {"$15", 21},
      {"$ff", 255},
      {"-$10", -16},
      {"$FFFFFFFF", -1},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"2147483648", std::nullopt},
      {"$100000000", std::nullopt},
      {"abc", std::nullopt},
      {"", std::nullopt},
      {"$", std::nullopt},
      {"0x", std::nullopt},
      {"-", std::nullopt},
      {"1 2", std::nullopt},
      {" 5", std::nullopt},
      {"1.5", std::nullopt},
      {"0x1g", std::nullopt},
      {"12abc", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseIniInteger(c.text), c.expected);
  }
}

TEST(IniDocument, TypedReadsFallBackToTheKeysDefault) {
  const IniDocument doc = IniDocument::Parse(
      "[S]\nyes=yes\ntwo=2\nzero=0\nhex=$15\nquoted=\"42\"\nblank=\nbad=12x\n"
      "when=05/03/2024 14:07:09\nwhenbad=someday\n");
  EXPECT_TRUE(doc.ReadBool("S", "yes", true));
  EXPECT_FALSE(doc.ReadBool("S", "yes", false));
  EXPECT_TRUE(doc.ReadBool("S", "two", false));
  EXPECT_FALSE(doc.ReadBool("S", "zero", true));
  EXPECT_TRUE(doc.ReadBool("S", "missing", true));
  EXPECT_FALSE(doc.ReadBool("Nosection", "yes", false));
  EXPECT_EQ(doc.ReadInteger("S", "hex", 0), 21);
  EXPECT_EQ(doc.ReadInteger("S", "quoted", 0), 42);
  EXPECT_EQ(doc.ReadInteger("S", "blank", 7), 7);
  EXPECT_EQ(doc.ReadInteger("S", "bad", 7), 7);
  EXPECT_EQ(doc.ReadString("S", "blank", "default"), "");  // present but empty
  EXPECT_EQ(doc.ReadString("S", "missing", "default"), "default");
  EXPECT_EQ(ToMilliseconds(doc.ReadDateTime("S", "when", 0)),
            ToMilliseconds(EncodeDateTime(2024, 3, 5, 14, 7, 9)));
  EXPECT_EQ(doc.ReadDateTime("S", "whenbad", 1.5), 1.5);
  EXPECT_EQ(doc.ReadDateTime("S", "blank", 1.5), 1.5);
}

TEST(IniDocument, NamesMatchWithoutCaseAndTheFirstOfARepeatedNameCounts) {
  IniDocument doc =
      IniDocument::Parse("[System]\nNfolders=2\nnfolders=9\n[other]\nx=1\n[SYSTEM]\nNfolders=5\n");
  EXPECT_EQ(doc.ReadInteger("system", "NFOLDERS", 0), 2);
  EXPECT_TRUE(doc.HasSection("OTHER"));
  // Names longer than one machine word fold their case in every part.
  const IniDocument longNames =
      IniDocument::Parse("[ORVATICFIELDS]\nTEMPLATEOPTION=x\nRegularExpr12Match=y\n");
  EXPECT_EQ(longNames.ReadString("orvaticfields", "Templateoption", ""), "x");
  EXPECT_EQ(longNames.ReadString("OrvaticFields", "regularexpr12match", ""), "y");
  EXPECT_FALSE(longNames.Value("orvaticfields", "Templateoptioo").has_value());
  EXPECT_FALSE(longNames.Value("orvaticfield", "Templateoption").has_value());
  doc.WriteInteger("SyStEm", "nFolders", 3);
  doc.WriteString("system", "browsetime", "10");
  // Written into the first section under the file's own spelling; the
  // repeated key and section stay as they were.
  EXPECT_EQ(
      doc.Serialize(),
      "[System]\nNfolders=3\nnfolders=9\nbrowsetime=10\n[other]\nx=1\n[SYSTEM]\nNfolders=5\n");
}

TEST(IniDocument, WritesReplaceInPlaceAppendToTheSectionAndNeverRemove) {
  const std::string original =
      "; kept comment\n"
      "[A]\n"
      "one=1\n"
      "stray line\n"
      "\n"
      "two=2\n"
      "\n"
      "\n"
      "[B]\n"
      "x=1";  // no line break at the end
  IniDocument doc = IniDocument::Parse(original);
  EXPECT_EQ(doc.Serialize(), original + "\n");

  doc.WriteString("A", "one", "uno");
  doc.WriteString("A", "three", "3");  // after the last non-blank line of A
  doc.WriteString("B", "y", "2");
  doc.WriteString("C", "z", "3");  // a new section goes last
  EXPECT_EQ(doc.Serialize(),
            "; kept comment\n"
            "[A]\n"
            "one=uno\n"
            "stray line\n"
            "\n"
            "two=2\n"
            "three=3\n"
            "\n"
            "\n"
            "[B]\n"
            "x=1\n"
            "y=2\n"
            "[C]\n"
            "z=3\n");
}

TEST(IniDocument, KeepsTheFilesLineEndingAndByteOrderMark) {
  IniDocument doc = IniDocument::Parse("\xEF\xBB\xBF[A]\r\nk=v\r\n");
  EXPECT_EQ(doc.ReadString("A", "k", ""), "v");  // no "\r" in the value
  doc.WriteString("A", "n", "w");
  EXPECT_EQ(doc.Serialize(), "\xEF\xBB\xBF[A]\r\nk=v\r\nn=w\r\n");
}

TEST(IniDocument, AValueCannotStartANewLine) {
  IniDocument doc;
  doc.WriteString("A", "name", "Sport\r\n[System]\nNfolders=99");
  doc.WriteString("A", "nul", std::string("a\0b", 3));
  const IniDocument back = IniDocument::Parse(doc.Serialize());
  EXPECT_FALSE(back.HasSection("System"));
  EXPECT_EQ(back.ReadString("A", "name", ""), "Sport  [System] Nfolders=99");
  EXPECT_EQ(back.ReadString("A", "nul", ""), "a b");
}

TEST(IniDocument, ValueFormsOfWriting) {
  IniDocument doc;
  doc.WriteInteger("S", "neg", -12);
  doc.WriteBool("S", "t", true);
  doc.WriteBool("S", "f", false);
  doc.WriteDateTime("S", "d", EncodeDateTime(1980, 1, 1, 1, 1, 1, 1));
  doc.WriteDateTime("S", "m", EncodeDateTime(2024, 3, 5));
  EXPECT_EQ(doc.Serialize(), "[S]\nneg=-12\nt=1\nf=0\nd=01/01/1980 01:01:01\nm=05/03/2024\n");
}

TEST(IniDocument, ValuesThatReadingWouldChangeAreWrittenInQuotes) {
  const struct {
    std::string value;
    std::string line;  // as written
  } cases[] = {
      // Written as they stand.
      {"plain", "k=plain"},
      {"", "k="},
      {"a b", "k=a b"},
      {"\"", "k=\""},              // one quote is no pair
      {"\"mixed'", "k=\"mixed'"},  // nor are two different ones
      {"say \"hi\" now", "k=say \"hi\" now"},
      {"'", "k='"},
      // A blank at either end, or a pair of quotes around: inside double quotes.
      {"  padded  ", "k=\"  padded  \""},
      {"^Page(\\d+) ", "k=\"^Page(\\d+) \""},  // a regular expression ending in a blank
      {"\tTab", "k=\"\tTab\""},
      {"'pw'", "k=\"'pw'\""},  // a password in quotes of its own
      {"\"'pw'\"", "k=\"\"'pw'\"\""},
      {"\"\"", "k=\"\"\"\""},
      {"''", "k=\"''\""},
      {" \"x\" ", "k=\" \"x\" \""},
      {"line\nbreak ", "k=\"line break \""},  // a line break is a blank, then quoted
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    IniDocument doc;
    doc.WriteString("S", "k", c.value);
    EXPECT_EQ(doc.Serialize(), "[S]\n" + c.line + "\n");
    std::string expected = c.value;
    for (char& ch : expected) {
      if (ch == '\n') ch = ' ';
    }
    EXPECT_EQ(IniDocument::Parse(doc.Serialize()).ReadString("S", "k", "?"), expected);
  }
}

TEST(IniFile, AnyValueOfPrintableCharactersBlanksAndQuotesSurvivesSaveAndReload) {
  static constexpr std::string_view kFavoured = "  \t\"\"''";
  std::mt19937 random(20);
  std::uniform_int_distribution<int> length(0, 12), printable(0x20, 0x7E), pick(0, 2),
      favoured(0, static_cast<int>(kFavoured.size()) - 1);
  std::vector<std::string> values;
  for (int i = 0; i < 3000; ++i) {
    std::string value;
    for (int n = length(random); n > 0; --n) {
      value += pick(random) == 0 ? static_cast<char>(printable(random))
                                 : kFavoured[static_cast<std::size_t>(favoured(random))];
    }
    values.push_back(std::move(value));
  }
  TempDir dir;
  const std::string path = dir / "fuzz.ini";
  ASSERT_TRUE(UpdateIniFile(path, [&](IniDocument& doc) {
                for (std::size_t i = 0; i < values.size(); ++i) {
                  doc.WriteString("S", "k" + std::to_string(i), values[i]);
                }
              }).ok());
  const IniDocument back = ReadIniFile(path);
  for (std::size_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(back.ReadString("S", "k" + std::to_string(i), "?"), values[i]) << "value " << i;
  }
}

TEST(IniDocument, EveryTrailingCarriageReturnGoes) {
  const struct {
    std::string text;
    std::string saved;
  } cases[] = {
      {"[a]\nx=1\n[b]\r\r\ny=2\r\r\n", "[a]\nx=1\n[b]\ny=2\n"},
      {"[a]\nx=1\n[b\r\r\ny=2\r\n", "[a]\nx=1\n[b\ny=2\n"},  // an unclosed header
      {"[a]\r\nx=1\r\n[b]\r\r\r\ny=2\r\n", "[a]\r\nx=1\r\n[b]\r\ny=2\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.saved);
    IniDocument doc = IniDocument::Parse(c.text);
    EXPECT_TRUE(doc.HasSection("b"));
    EXPECT_EQ(doc.ReadInteger("b", "y", 0), 2);
    EXPECT_EQ(doc.Serialize(), c.saved);
    doc.WriteInteger("b", "y", 3);  // found where it is, not added again
    EXPECT_EQ(IniDocument::Parse(doc.Serialize()).SectionValues("b").size(), 1u);
  }
}

TEST(IniDocument, CommentLinesAreNoKeys) {
  IniDocument doc =
      IniDocument::Parse("[C]\n;Password=old\nHostName=h\n  ; User_Name=u\nPassword=new\n;=x\n");
  const std::vector<std::pair<std::string, std::string>> expected = {{"HostName", "h"},
                                                                     {"Password", "new"}};
  EXPECT_EQ(doc.SectionValues("C"), expected);
  EXPECT_FALSE(doc.Value("C", ";Password").has_value());
  doc.WriteString("C", "User_Name", "v");  // appended; the comment stays as it was
  EXPECT_EQ(doc.Serialize(),
            "[C]\n;Password=old\nHostName=h\n  ; User_Name=u\nPassword=new\n;=x\nUser_Name=v\n");
}

TEST(IniDocument, SectionValuesListEachKeyOnceInFileOrder) {
  const IniDocument doc = IniDocument::Parse(
      "[C]\nHostName=h\nnot a key\nDatabase=\"d\"\nhostname=again\nOS Authentication=False\n");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"HostName", "h"}, {"Database", "d"}, {"OS Authentication", "False"}};
  EXPECT_EQ(doc.SectionValues("c"), expected);
  EXPECT_TRUE(doc.SectionValues("none").empty());
}

TEST(IniFile, UpdateReadsTheFileAsItIsNowAndReplacesItWhole) {
  TempDir dir;
  const std::string path = dir / "z.ini";
  // A missing file is read as empty and created.
  ASSERT_TRUE(UpdateIniFile(path, [](IniDocument& d) { d.WriteInteger("S", "a", 1); }).ok());
  // Someone else adds a key between two updates; it survives.
  WriteFile(path, ReadFile(path) + "[Other]\nmine=keep\n");
  ASSERT_TRUE(UpdateIniFile(path, [](IniDocument& d) { d.WriteInteger("S", "a", 2); }).ok());
  EXPECT_EQ(ReadFile(path), "[S]\na=2\n[Other]\nmine=keep\n");
  EXPECT_EQ(ReadIniFile(path).ReadInteger("S", "a", 0), 2);
  EXPECT_EQ(ReadIniFile(dir / "none.ini").ReadInteger("S", "a", 0), 0);
}

TEST(IniFile, AFailedUpdateNamesTheFullPathAndChangesNothing) {
  TempDir dir;
  const std::string path = dir / "z.ini";
  WriteFile(path, "[S]\na=1\n");
  const Status st = UpdateIniFile(
      path, [](IniDocument& d) { d.WriteInteger("S", "a", 2); },
      test::FailingFileSystem(WriteStep::kWrite, ENOSPC));
  EXPECT_EQ(st.message(), "Unable to write to " + path);
  EXPECT_EQ(st.code(), ENOSPC);
  EXPECT_EQ(ReadFile(path), "[S]\na=1\n");

  // A relative path is reported as the full path.
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const Status relative = UpdateIniFile(
      "z.ini", [](IniDocument& d) { d.WriteInteger("S", "a", 2); },
      test::FailingFileSystem(WriteStep::kWrite, ENOSPC));
  std::filesystem::current_path(cwd);
  EXPECT_EQ(relative.message(), "Unable to write to " + path);
}

TEST(IniFile, AFileThatExistsButCannotBeReadIsNotOverwritten) {
  TempDir dir;
  std::filesystem::create_directory(dir.path() / "z.ini");  // unreadable as a file
  bool applied = false;
  const Status st = UpdateIniFile(dir / "z.ini", [&](IniDocument&) { applied = true; });
  EXPECT_EQ(st.message(), "Unable to write to " + (dir / "z.ini"));
  EXPECT_FALSE(applied);
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "z.ini"));
}

}  // namespace
}  // namespace zf
