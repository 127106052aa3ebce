#include "platform/fileaccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>

#include "platform/paths.h"
#include "tempdir.h"

namespace zf {
namespace {

using test::TempDir;
using test::WriteFile;

TEST(ListingNameMatches, WildcardsAsFolderListingsUseThem) {
  const struct {
    const char* name;
    const char* mask;
    bool fits;
  } cases[] = {
      {"a.txt", "*.*", true},
      {"README", "*.*", true},  // "*.*" takes names without a dot too
      {".", "*.*", true},
      {"README", "*", true},
      {"Page01.PDF", "*.pdf", true},
      {"page01.pdf", "PAGE??.PDF", true},
      {"page1.pdf", "page??.pdf", false},
      {"page123.pdf", "page??.pdf", false},
      {"report", "report.*", true},
      {"report.txt", "report.*", true},
      {"reportx", "report.*", false},
      {"a.b.c", "*.c", true},
      {"a.b.c", "*.b", false},
      {"x;y", "x;y", true},
      {"[a]", "[a]", true},  // no sets in listings
      {"a", "[a]", false},
      {"abc", "a*c*", true},
      {"\xc3\xa9t\xc3\xa9.pdf", "???.pdf", true},  // é is one character
      {"\xc3\x89.pdf", "\xc3\xa9.pdf", false},
      {"a", "", false},
      {"", "", true},
      {"a.b", "*.", false},
      {"a", "?.*", true},
      {"ab", "?.*", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ListingNameMatches(c.name, c.mask), c.fits) << c.name << " / " << c.mask;
  }
}

class Listing : public testing::Test {
 protected:
  std::string At(const std::string& name) const { return dir / name; }
  // Every listed entry by name.
  std::map<std::string, FileInfo> ListAll(const std::string& mask) {
    std::map<std::string, FileInfo> out;
    auto listing = files.List(IncludeTrailingPathDelimiter(dir.path().string()) + mask);
    EXPECT_TRUE(listing.ok()) << listing.status().message();
    if (!listing.ok()) return out;
    FileInfo e;
    while (listing.value()->Next(e)) out[e.name] = e;
    return out;
  }

  TempDir dir;
  SystemFileAccess files;
};

TEST_F(Listing, ReportsEveryKindWithItsAttributes) {
  WriteFile(At("plain.pdf"), "12345");
  WriteFile(At(".hidden"), "x");
  WriteFile(At("ro.pdf"), "x");
  ASSERT_EQ(chmod(At("ro.pdf").c_str(), 0444), 0);
  WriteFile(At("groupro"), "x");
  ASSERT_EQ(chmod(At("groupro").c_str(), 0644), 0);  // only the owner's bit counts
  std::filesystem::create_directory(At("sub"));
  std::filesystem::create_symlink(At("plain.pdf"), At("link"));
  std::filesystem::create_directory_symlink(At("sub"), At("dirlink"));
  ASSERT_EQ(mkfifo(At("pipe").c_str(), 0644), 0);
  const int fd = open(At("big").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 5LL << 30), 0);  // sparse
  close(fd);

  const auto all = ListAll("*.*");
  using namespace fileattr;
  const std::map<std::string, std::uint32_t> expected = {
      {".", kDirectory},     {"..", kDirectory}, {"plain.pdf", 0},    {".hidden", kHidden},
      {"ro.pdf", kReadOnly}, {"groupro", 0},     {"sub", kDirectory}, {"link", kSymlink},
      {"dirlink", kSymlink}, {"pipe", kDevice},  {"big", 0},
  };
  ASSERT_EQ(all.size(), expected.size());
  for (const auto& [name, attributes] : expected) {
    ASSERT_TRUE(all.count(name)) << name;
    EXPECT_EQ(all.at(name).attributes, attributes) << name;
  }
  EXPECT_EQ(all.at("plain.pdf").size, 5);
  EXPECT_EQ(all.at("big").size, 5LL << 30);
  EXPECT_EQ(all.at("link").size, static_cast<std::int64_t>(At("plain.pdf").size()));

  // Only what fits the mask, without regard to case.
  const auto pdf = ListAll("*.PDF");
  EXPECT_EQ(pdf.size(), 2u);
  EXPECT_TRUE(pdf.count("plain.pdf") && pdf.count("ro.pdf"));
}

TEST_F(Listing, ClosesTheFolderHoweverTheLoopEnds) {
  for (int i = 0; i < 20; ++i) WriteFile(At("f" + std::to_string(i)), "x");
  auto count = [] {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
  };
  const int before = count();
  {
    auto listing = files.List(At("*"));
    ASSERT_TRUE(listing.ok());
    EXPECT_EQ(count(), before + 1);
    FileInfo e;
    ASSERT_TRUE(listing.value()->Next(e));  // left after the first entry
  }
  EXPECT_EQ(count(), before);
}

TEST_F(Listing, FailsForAMissingFolderOrAnEmptyMask) {
  auto missing = files.List(At("nope/*.*"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.status().code(), ENOENT);
  EXPECT_FALSE(files.List(IncludeTrailingPathDelimiter(dir.path().string())).ok());
}

TEST_F(Listing, LookUpsDoNotFollowLinksButExistenceTestsDo) {
  WriteFile(At("file"), "abc");
  std::filesystem::create_directory(At("sub"));
  std::filesystem::create_symlink(At("file"), At("link"));
  std::filesystem::create_directory_symlink(At("sub"), At("dirlink"));

  const auto file = files.Stat(At("file"));
  ASSERT_TRUE(file.ok());
  EXPECT_EQ(file->name, "file");
  EXPECT_EQ(file->size, 3);
  EXPECT_EQ(file->attributes, 0u);
  const auto link = files.Stat(At("link"));
  ASSERT_TRUE(link.ok());
  EXPECT_EQ(link->attributes, fileattr::kSymlink);
  const auto sub = files.Stat(At("sub") + "/");
  ASSERT_TRUE(sub.ok());
  EXPECT_EQ(sub->name, "sub");
  EXPECT_TRUE(sub->Has(fileattr::kDirectory));
  const auto gone = files.Stat(At("gone"));
  ASSERT_FALSE(gone.ok());
  EXPECT_EQ(gone.status().code(), ENOENT);

  EXPECT_TRUE(files.FileExists(At("file")));
  EXPECT_TRUE(files.FileExists(At("link")));
  EXPECT_FALSE(files.FileExists(At("sub")));
  EXPECT_FALSE(files.FileExists(At("gone")));
  EXPECT_FALSE(files.FileExists(""));
  EXPECT_TRUE(files.DirectoryExists(At("sub")));
  EXPECT_TRUE(files.DirectoryExists(At("dirlink")));
  EXPECT_FALSE(files.DirectoryExists(At("file")));
  EXPECT_FALSE(files.DirectoryExists(At("gone")));
  EXPECT_FALSE(files.DirectoryExists(""));
}

TEST_F(Listing, TheThreeTimesAreKeptApart) {
  WriteFile(At("f"), "x");
  const timespec times[2] = {{1'000'000'000, 250}, {1'100'000'000, 500}};
  ASSERT_EQ(utimensat(AT_FDCWD, At("f").c_str(), times, 0), 0);
  const auto info = files.Stat(At("f"));
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info->lastAccess, (UnixTime{1'000'000'000, 250}));
  EXPECT_EQ(info->lastWrite, (UnixTime{1'100'000'000, 500}));
  // Birth time or status change: either way the moment the file was made or
  // touched just now, not one of the times set above.
  EXPECT_GT(info->creation.seconds, 1'600'000'000);
}

TEST(Paths, TrailingSeparators) {
  EXPECT_EQ(IncludeTrailingPathDelimiter("/a/b"), "/a/b/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/a/b/"), "/a/b/");
  EXPECT_EQ(IncludeTrailingPathDelimiter(""), "");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/a/b/"), "/a/b");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/a/b"), "/a/b");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/"), "/");
  EXPECT_EQ(ExcludeTrailingPathDelimiter(""), "");
}

}  // namespace
}  // namespace zf
