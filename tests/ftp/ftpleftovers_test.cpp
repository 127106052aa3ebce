#include "ftp/ftpleftovers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/tempfile.h"
#include "tempdir.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::WriteFile;

std::vector<std::string> Names(const Result<std::vector<FileInfo>>& listed) {
  std::vector<std::string> names;
  for (const FileInfo& f : listed.value()) names.push_back(f.name);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FtpLeftovers, FilesFetchedButNotDelivered) {
  TempDir base;
  // Only the queue's own folder counts, never what other queues left.
  WriteFile(base / "other.pdf", "another queue's");
  fs::create_directory(base / "Sport");
  const fs::path temp = base / "Sport";
  WriteFile(temp / "a.pdf", "fetched");
  WriteFile(temp / "b.txt", "fetched");
  WriteFile(temp / "x.tmp", "ignored by the queue");
  WriteFile(temp / MakeTempName("c.pdf"), "a fetch broken off");
  WriteFile(temp / ".d.pdf.part", "another writer's, still being written");
  fs::create_directory(temp / "folder.pdf");
  fs::create_symlink(temp / "a.pdf", temp / "link.pdf");

  QueueRecord q;
  q.name = "Sport";
  q.FTPuse = true;
  q.FTPTemppath = base.path().string();
  q.Searchmask = "*.*";
  q.ignoremask = "*.tmp";
  struct Case {
    const char* searchmask;
    const char* ignoremask;
    std::vector<std::string> expected;
  } cases[] = {
      {"*.*", "*.tmp", {"a.pdf", "b.txt"}},
      {"*.PDF", "none", {"a.pdf"}},
      {"*.*", "none", {"a.pdf", "b.txt", "x.tmp"}},
      {"*.*", "[oops", {"a.pdf", "b.txt", "x.tmp"}},  // an invalid mask hides nothing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.searchmask) + " / " + c.ignoremask);
    q.Searchmask = c.searchmask;
    q.ignoremask = c.ignoremask;
    const auto listed = ListFtpLeftovers(q);
    ASSERT_TRUE(listed.ok()) << listed.status().message();
    EXPECT_EQ(Names(listed), c.expected);
  }
  // With a trailing separator, the same.
  q.FTPTemppath += "/";
  q.Searchmask = "*.PDF";
  ASSERT_TRUE(ListFtpLeftovers(q).ok());
  EXPECT_EQ(Names(ListFtpLeftovers(q)), std::vector<std::string>{"a.pdf"});
}

TEST(FtpLeftovers, LocalQueuesHaveNoneAndAMissingFolderIsAnError) {
  TempDir temp;
  WriteFile(temp / "a.pdf", "x");
  QueueRecord q;
  q.FTPuse = false;
  q.FTPTemppath = temp.path().string();
  q.Searchmask = "*.*";
  const auto local = ListFtpLeftovers(q);
  ASSERT_TRUE(local.ok());
  EXPECT_TRUE(local->empty());

  q.FTPuse = true;
  q.FTPTemppath = temp / "missing";
  EXPECT_FALSE(ListFtpLeftovers(q).ok());
  q.FTPTemppath.clear();
  EXPECT_FALSE(ListFtpLeftovers(q).ok());
}

}  // namespace
}  // namespace zf
