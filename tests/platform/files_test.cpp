#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "failingfilesystem.h"
#include "immutable.h"
#include "platform/tempfile.h"
#include "tempdir.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using test::FailingFileSystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

int EntriesIn(const fs::path& folder) {
  int n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder)) ++n;
  return n;
}

TEST(Files, ReadWholeFileTellsMissingFromUnreadable) {
  TempDir dir;
  WriteFile(dir / "a.ini", std::string("x=1\r\n\0y", 8));
  auto read = DefaultFileSystem().ReadWholeFile(dir / "a.ini");
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(*read, std::string("x=1\r\n\0y", 8));  // bytes exactly, NUL included

  auto missing = DefaultFileSystem().ReadWholeFile(dir / "none.ini");
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.status().code(), ENOENT);

  auto folder = DefaultFileSystem().ReadWholeFile(dir.path().string());
  EXPECT_FALSE(folder.ok());
  EXPECT_EQ(folder.status().code(), EISDIR);
}

TEST(Files, AtomicWriteCreatesAndReplacesAndLeavesNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir / "z.ini";
  ASSERT_TRUE(DefaultFileSystem().WriteWholeFileAtomic(path, "first").ok());
  EXPECT_EQ(ReadFile(path), "first");
  ASSERT_TRUE(DefaultFileSystem().WriteWholeFileAtomic(path, "").ok());
  EXPECT_EQ(ReadFile(path), "");
  std::string big(3'000'000, 'q');
  ASSERT_TRUE(DefaultFileSystem().WriteWholeFileAtomic(path, big).ok());
  EXPECT_EQ(ReadFile(path), big);
  EXPECT_EQ(EntriesIn(dir.path()), 1);
}

// Sets the umask for one scope; 0 lets every bit the writer asks for through.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }

 private:
  mode_t old_;
};

// The real file system that, just before the content is written, notes the
// temporary files in the target's folder with their permission bits.
class WatchingFileSystem : public FileSystem {
 public:
  struct Seen {
    std::string name;
    mode_t mode;
  };
  mutable std::vector<Seen> seen;

 protected:
  int InjectFault(WriteStep step, const std::string& path) const override {
    if (step != WriteStep::kWrite) return 0;
    for (const auto& e : fs::directory_iterator(fs::path(path).parent_path())) {
      const std::string name = e.path().filename().string();
      if (name == fs::path(path).filename()) continue;
      struct stat st {};
      if (::stat(e.path().c_str(), &st) == 0) seen.push_back({name, st.st_mode & 07777});
    }
    return 0;
  }
};

TEST(Files, TheTemporaryFileHasTheCommonShapeAndOwnerOnlyBitsFromTheStart) {
  const ScopedUmask open(0);
  const struct {
    const char* what;
    int oldMode;  // -1: no file yet
    mode_t finalMode;
  } cases[] = {
      {"a new file", -1, 0600},
      {"a file readable by all", 0644, 0644},
      {"a group file", 0660, 0660},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = dir / "Zentrafold.ini";
    if (c.oldMode >= 0) {
      WriteFile(path, "old");
      ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(c.oldMode)), 0);
    }
    const WatchingFileSystem files;
    ASSERT_TRUE(files.WriteWholeFileAtomic(path, "FTPpasw=secret\n").ok());
    ASSERT_EQ(files.seen.size(), 1u);
    EXPECT_TRUE(IsTempName(files.seen[0].name)) << files.seen[0].name;
    EXPECT_NE(files.seen[0].name.find("Zentrafold.ini"), std::string::npos);
    EXPECT_EQ(files.seen[0].mode, 0600u) << std::oct << files.seen[0].mode;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.finalMode) << std::oct << (st.st_mode & 07777);
    EXPECT_EQ(ReadFile(path), "FTPpasw=secret\n");
    EXPECT_EQ(EntriesIn(dir.path()), 1);
  }
}

TEST(Files, AtomicWriteKeepsPermissionsAndFollowsLinks) {
  TempDir dir;
  const std::string path = dir / "z.ini";
  WriteFile(path, "old");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_TRUE(DefaultFileSystem().WriteWholeFileAtomic(path, "new").ok());
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  fs::create_directory(dir.path() / "real");
  WriteFile(dir.path() / "real" / "target.ini", "old");
  fs::create_symlink(dir.path() / "real" / "target.ini", dir.path() / "link.ini");
  ASSERT_TRUE(DefaultFileSystem().WriteWholeFileAtomic(dir / "link.ini", "via link").ok());
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.ini"));
  EXPECT_EQ(ReadFile(dir.path() / "real" / "target.ini"), "via link");
}

TEST(Files, EveryFailedStepBeforeTheRenameLeavesTheOldFileWhole) {
  const struct {
    WriteStep step;
    int err;
  } cases[] = {
      {WriteStep::kCreateTemp, EACCES},
      {WriteStep::kWrite, ENOSPC},
      {WriteStep::kSyncFile, EIO},
      {WriteStep::kRename, EBUSY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.step));
    TempDir dir;
    const std::string path = dir / "z.ini";
    WriteFile(path, "old content");
    const FailingFileSystem files(c.step, c.err);
    const Status st = files.WriteWholeFileAtomic(path, "new content");
    EXPECT_FALSE(st.ok());
    EXPECT_EQ(st.code(), c.err);
    EXPECT_NE(st.message().find(path), std::string::npos) << st.message();
    EXPECT_EQ(ReadFile(path), "old content");
    EXPECT_EQ(EntriesIn(dir.path()), 1) << "temporary file left behind";
  }
}

TEST(Files, AFailedFolderFlushIsReportedThoughTheNewFileIsInPlace) {
  TempDir dir;
  const std::string path = dir / "z.ini";
  WriteFile(path, "old");
  const FailingFileSystem files(WriteStep::kSyncFolder, EIO);
  const Status st = files.WriteWholeFileAtomic(path, "new");
  EXPECT_FALSE(st.ok());
  EXPECT_EQ(st.code(), EIO);
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_EQ(EntriesIn(dir.path()), 1);
}

TEST(Files, ARefusingFolderLeavesTheOldFileWhole) {
  TempDir dir;
  const fs::path folder = dir.path() / "locked";
  fs::create_directory(folder);
  const std::string path = (folder / "z.ini").string();
  WriteFile(path, "old content");
  const test::Immutable locked(folder.string());
  if (!locked.ok()) GTEST_SKIP() << "no immutable flag on this file system";
  const Status st = DefaultFileSystem().WriteWholeFileAtomic(path, "new content");
  EXPECT_FALSE(st.ok());
  EXPECT_EQ(st.code(), EPERM);
  EXPECT_EQ(ReadFile(path), "old content");
  EXPECT_EQ(EntriesIn(folder), 1);

  // A missing folder is refused the same way.
  EXPECT_FALSE(DefaultFileSystem().WriteWholeFileAtomic(dir / "none/z.ini", "x").ok());
}

TEST(Files, ProgramFilePathNamesThisTest) {
  auto path = ProgramFilePath();
  ASSERT_TRUE(path.ok()) << path.status().message();
  EXPECT_EQ(fs::path(*path).filename(), "files_test");
  EXPECT_TRUE(fs::path(*path).is_absolute());
}

}  // namespace
}  // namespace zf
