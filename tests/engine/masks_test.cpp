#include "engine/masks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zf {
namespace {

using Masks = std::vector<std::string>;

TEST(SplitMasks, SplitsAtEverySemicolonAndKeepsBlanks) {
  const struct {
    std::string text;
    Masks masks;
  } cases[] = {
      {"", {""}},
      {"none", {"none"}},
      {"*.tmp", {"*.tmp"}},
      {"*.tmp;*.bak", {"*.tmp", "*.bak"}},
      {"*.tmp;", {"*.tmp"}},  // a trailing ; adds no mask
      {"*.tmp;;*.bak", {"*.tmp", "", "*.bak"}},
      {";*.tmp", {"", "*.tmp"}},
      {";", {""}},
      {";;", {"", ""}},
      {" a ; b", {" a ", " b"}},  // nothing is trimmed
  };
  for (const auto& c : cases) EXPECT_EQ(SplitMasks(c.text), c.masks) << '"' << c.text << '"';
}

TEST(NameFitsMask, MatchesTheWholeName) {
  const struct {
    const char* mask;
    const char* name;
    bool fits;
  } cases[] = {
      {"*", "", true},
      {"*", "anything.pdf", true},
      {"", "", true},
      {"", "a", false},
      {"*.tmp", "x.tmp", true},
      {"*.tmp", "X.TMP", true},
      {"*.TMP", "x.tmp", true},
      {"*.tmp", "x.tmp.pdf", false},
      {"*.tmp", "tmp", false},
      {"a*c", "abbbc", true},
      {"a*c", "abcb", false},
      {"a**c", "ac", true},  // a run of * acts as one
      {"?", "a", true},
      {"?", "", false},
      {"?", "ab", false},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"*?", "", true},  // a ? behind * adds nothing
      {"a*?", "a", true},
      {"a*??b", "ab", true},
      {"?*", "", false},  // but a ? before it still takes one
      {"?*", "x", true},
      {"[abc]", "b", true},
      {"[abc]", "B", true},
      {"[ABC]", "b", true},
      {"[abc]", "d", false},
      {"[abc]", "ab", false},
      {"[!abc]", "d", true},
      {"[!abc]", "A", false},
      {"[!abc]", "", false},
      {"[a-f]x", "Dx", true},
      {"[a-f]x", "gx", false},
      {"[0-9][0-9]", "42", true},
      {"[0-9][0-9]", "4a", false},
      {"[!0-9]*", "Page", true},
      {"[!0-9]*", "7up", false},
      {"[z-a]", "z", true},  // a reversed range adds nothing
      {"[z-a]", "m", false},
      {"[a-c-e]", "d", true},   // the range start stays for a second hyphen
      {"x[*?]y", "x*y", true},  // inside a set * and ? are plain
      {"x[*?]y", "xay", false},
      {"*[ab]", "xxb", true},
      {"*[!ab]", "xxb", false},
      {"page??.pdf", "PAGE01.PDF", true},
      {"]", "]", true},
      {"!", "!", true},
      {"*x*x*x", "xxxx", true},
      {"*x*x*x", "xx", false},
      {"\xc3\xa9*", "\xc3\xa9t\xc3\xa9", true},  // é as one character
      {"?t?", "\xc3\xa9t\xc3\xa9", true},
      {"???", "\xc3\xa9t\xc3\xa9", true},
      {"\xc3\xa9", "\xc3\x89", false},  // only a to z ignore case
      {"[\xc3\xa9\xc3\xa8]x", "\xc3\xa8x", true},
      {"?", "\xff", true},  // a stray byte is one character
  };
  for (const auto& c : cases) {
    const Result<bool> r = NameFitsMask(c.name, c.mask);
    ASSERT_TRUE(r.ok()) << c.mask << ": " << r.status().message();
    EXPECT_EQ(r.value(), c.fits) << "mask \"" << c.mask << "\" name \"" << c.name << '"';
  }
}

TEST(NameFitsMask, InvalidMasksFailForEveryName) {
  const std::string thirtyRuns = [] {
    std::string m;
    for (int i = 0; i < 30; ++i) m += "*a";
    return m;
  }();
  const char* const invalid[] = {
      "[abc",    // no closing bracket
      "x[",      //
      "[a-",     // range without an end and no bracket
      "[a-]",    // the bracket ends the range, so the set stays open
      "[]",      // empty set
      "[!]",     //
      "[-a]",    // hyphen without a character before it
      "[!-a]",   //
      "*.tmp[",  //
  };
  for (const char* mask : invalid) {
    for (const char* name : {"", "a", "x.tmp"}) {
      EXPECT_FALSE(NameFitsMask(name, mask).ok()) << mask << " with " << name;
    }
  }
  // 30 runs of * are allowed, a 31st is not; a ? absorbed by a run and the
  // end of the mask count with their run, not as a run of their own.
  EXPECT_TRUE(NameFitsMask("aaa", thirtyRuns).ok());
  EXPECT_FALSE(NameFitsMask("aaa", thirtyRuns + "*a").ok());
  EXPECT_FALSE(NameFitsMask("aaa", thirtyRuns + "*").ok());
  EXPECT_TRUE(NameFitsMask("aaa", thirtyRuns + "?").ok());
  EXPECT_TRUE(NameFitsMask("a", "***?**?a").ok());
  EXPECT_TRUE(NameFitsMask(std::string(30, 'A'), thirtyRuns).value());
  EXPECT_FALSE(NameFitsMask(std::string(29, 'a'), thirtyRuns).value());
}

TEST(IsIgnored, NoneAndEmptyMeanNoMask) {
  for (const char* name : {"none", "None", "NONE", "x.tmp", ""}) {
    EXPECT_FALSE(IsIgnored(name, "").value()) << name;
    EXPECT_FALSE(IsIgnored(name, "none").value()) << name;
  }
  // Any other spelling is an ordinary mask, matched without regard to case.
  for (const char* name : {"none", "None", "NONE"}) {
    EXPECT_TRUE(IsIgnored(name, "None").value()) << name;
    EXPECT_TRUE(IsIgnored(name, "NONE").value()) << name;
  }
  EXPECT_FALSE(IsIgnored("none.pdf", "None").value());
}

TEST(IsIgnored, FirstFittingMaskWinsAndAnInvalidMaskFailsWhenReached) {
  EXPECT_TRUE(IsIgnored("A.TMP", "*.bak;*.tmp").value());
  EXPECT_FALSE(IsIgnored("a.pdf", "*.bak;*.tmp").value());
  EXPECT_FALSE(IsIgnored("a", "*.bak;;*.tmp").value());  // the empty mask takes only ""
  // The invalid second mask is never reached for a name the first one takes.
  EXPECT_TRUE(IsIgnored("x.tmp", "*.tmp;[abc").value());
  EXPECT_FALSE(IsIgnored("x.pdf", "*.tmp;[abc").ok());
  EXPECT_FALSE(IsIgnored("x.tmp", "[abc;*.tmp").ok());
}

TEST(IsIgnored, MasksBeyondTheHundredthStillCount) {
  std::string list;
  for (int i = 1; i <= 150; ++i) list += "*.x" + std::to_string(i) + ";";
  EXPECT_EQ(SplitMasks(list).size(), 150u);
  EXPECT_TRUE(IsIgnored("file.x150", list).value());
  EXPECT_TRUE(IsIgnored("file.X101", list).value());
  EXPECT_FALSE(IsIgnored("file.x151", list).value());
}

}  // namespace
}  // namespace zf
