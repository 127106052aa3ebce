// The file operations under delivery: the copy that never shows a half file,
// the rename that never replaces, and the start-up clean-up.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "config/queuetable.h"
#include "engine/delivery.h"
#include "platform/fileops.h"
#include "tempdir.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

std::vector<std::string> Names(const std::string& folder) {
  return test::NamesIn(folder);
}

// Runs a hook at chosen steps, and fails one step on request.
class HookedFiles : public SystemFileOperations {
 public:
  using SystemFileOperations::SystemFileOperations;
  std::function<int(FileStep, const std::string&)> hook;

 protected:
  int InjectFault(FileStep step, const std::string& path) override {
    return hook ? hook(step, path) : 0;
  }
};

TEST(CopyReplacing, CopiesContentAndLastWriteTimeAndLeavesOnlyTheTarget) {
  TempDir dir;
  const std::string big(5 * 1024 * 1024 + 7, 'x');
  struct Case {
    std::string name;
    std::string content;
  };
  const std::vector<Case> cases = {
      {"empty.pdf", ""},
      {"small.pdf", "abc"},
      {"big.pdf", big},
      {"M\xfcller.pdf", "latin-1 name"},
      {std::string(255, 'L'), "the longest name there is"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.substr(0, 20));
    const std::string source = dir / ("src-" + c.name.substr(0, 200));
    const std::string target = dir / c.name;
    WriteFile(source, c.content);
    const timespec times[2] = {{1'500'000'000, 0}, {1'600'000'000, 250'000'000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
    ASSERT_TRUE(SystemFileOperations().CopyReplacing(source, target).ok());
    EXPECT_EQ(ReadFile(target), c.content);
    EXPECT_EQ(ReadFile(source), c.content);
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1'600'000'000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 250'000'000);
    fs::remove(source);
    fs::remove(target);
    EXPECT_TRUE(Names(dir.path()).empty());
  }
}

TEST(CopyReplacing, ReplacesAnExistingTargetWithoutFlushingToo) {
  TempDir dir;
  WriteFile(dir / "a", "new");
  WriteFile(dir / "b", "old and longer");
  ASSERT_TRUE(SystemFileOperations(false).CopyReplacing(dir / "a", dir / "b").ok());
  EXPECT_EQ(ReadFile(dir / "b"), "new");
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"a", "b"}));
}

// Across file systems the kernel cannot copy by itself; reads and writes do.
TEST(CopyReplacing, CopiesAcrossFileSystems) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
  TempDir dir;
  const std::string source = "/dev/shm/zf-fileops-test-" + std::to_string(::getpid());
  const std::string content(3 * 1024 * 1024 + 1, 'q');
  WriteFile(source, content);
  const Status status = SystemFileOperations().CopyReplacing(source, dir / "t");
  fs::remove(source);
  ASSERT_TRUE(status.ok()) << status.message();
  EXPECT_EQ(ReadFile(dir / "t"), content);
}

// A sparse input stays sparse: only its data is copied, its holes stay holes
// (a mostly empty disk image of gigabytes must not fill the output disk).
TEST(CopyReplacing, KeepsTheHolesOfASparseFile) {
  const test::TempDir dir;
  const std::string source = dir / "sparse.img";
  {
    const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "head", 4, 0), 4);
    ASSERT_EQ(::pwrite(fd, "middle", 6, 256 << 20), 6);
    ASSERT_EQ(::ftruncate(fd, 512 << 20), 0);  // a hole up to the end
    ::close(fd);
  }
  ASSERT_TRUE(SystemFileOperations().CopyReplacing(source, dir / "copy.img").ok());
  struct stat st {};
  ASSERT_EQ(::stat((dir / "copy.img").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 512 << 20);
  EXPECT_LT(st.st_blocks * 512, 16 << 20) << "the holes were written as zeros";
  const std::string copy = test::ReadFile(dir / "copy.img");
  EXPECT_EQ(copy.substr(0, 4), "head");
  EXPECT_EQ(copy.substr(256 << 20, 6), "middle");
  EXPECT_EQ(copy.find_first_not_of('\0', 4), std::size_t{256 << 20});
}

TEST(CopyReplacing, RefusesToCopyAFileOntoItself) {
  TempDir dir;
  WriteFile(dir / "a", "only copy");
  ASSERT_EQ(::link((dir / "a").c_str(), (dir / "hard").c_str()), 0);
  for (const std::string& target : {dir / "a", dir / "hard", dir.path().string() + "/./a"}) {
    const Status status = SystemFileOperations().CopyReplacing(dir / "a", target);
    EXPECT_FALSE(status.ok()) << target;
    EXPECT_EQ(status.code(), EINVAL);
  }
  EXPECT_EQ(ReadFile(dir / "a"), "only copy");
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"a", "hard"}));
}

TEST(CopyReplacing, RefusesWhatIsNoRegularFileAndMissingSources) {
  TempDir dir;
  fs::create_directory(dir / "folder");
  EXPECT_EQ(SystemFileOperations().CopyReplacing(dir / "folder", dir / "t").code(), EINVAL);
  EXPECT_EQ(SystemFileOperations().CopyReplacing(dir / "missing", dir / "t").code(), ENOENT);
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"folder"});
}

// Every failing step leaves the old target and no temporary file.
TEST(CopyReplacing, AFailureAtAnyStepLeavesTheOldTarget) {
  const FileStep steps[] = {FileStep::kOpenSource, FileStep::kCreateTemp, FileStep::kWrite,
                            FileStep::kSyncFile, FileStep::kReplace};
  for (const FileStep step : steps) {
    SCOPED_TRACE(static_cast<int>(step));
    TempDir dir;
    WriteFile(dir / "src", std::string(2 * 1024 * 1024 + 5, 's'));
    WriteFile(dir / "dst", "old target");
    HookedFiles files;
    int writes = 0;
    files.hook = [&](FileStep s, const std::string&) {
      if (s != step) return 0;
      // A write fails on its second chunk, after the first was written.
      if (s == FileStep::kWrite) return ++writes == 2 ? ENOSPC : 0;
      return EIO;
    };
    const Status status = files.CopyReplacing(dir / "src", dir / "dst");
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(ReadFile(dir / "dst"), "old target");
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"dst", "src"}));
  }
}

// The copy is in place when only the flush of its folder fails; the caller
// hears of it and keeps its source, so the file is at worst delivered twice.
TEST(CopyReplacing, AFailedFolderFlushIsReportedAfterTheCopyIsInPlace) {
  TempDir dir;
  WriteFile(dir / "src", "new");
  HookedFiles files;
  files.hook = [](FileStep s, const std::string&) { return s == FileStep::kSyncFolder ? EIO : 0; };
  EXPECT_EQ(files.CopyReplacing(dir / "src", dir / "dst").code(), EIO);
  EXPECT_EQ(ReadFile(dir / "dst"), "new");
  EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"dst", "src"}));
}

// A file that another program is still writing must not be delivered as whole.
TEST(CopyReplacing, ASourceThatChangesWhileCopiedIsNotDelivered) {
  for (const bool grows : {true, false}) {
    SCOPED_TRACE(grows);
    TempDir dir;
    const std::string source = dir / "src";
    WriteFile(source, std::string(3 * 1024 * 1024, 'g'));
    HookedFiles files;
    int writes = 0;
    files.hook = [&](FileStep s, const std::string&) {
      if (s == FileStep::kWrite && ++writes == 2) {
        if (grows) {
          const int fd = ::open(source.c_str(), O_WRONLY | O_APPEND);
          EXPECT_EQ(::write(fd, "more", 4), 4);
          ::close(fd);
        } else {
          EXPECT_EQ(::truncate(source.c_str(), 1024), 0);
        }
      }
      return 0;
    };
    const Status status = files.CopyReplacing(source, dir / "dst");
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(status.code(), EIO);
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"src"});
  }
}

TEST(CopyReplacing, TheTemporaryFileSitsInTheTargetFolderUnderOurShape) {
  TempDir dir;
  fs::create_directory(dir / "out");
  WriteFile(dir / "src", "x");
  HookedFiles files;
  std::vector<std::string> seen;
  files.hook = [&](FileStep s, const std::string&) {
    if (s == FileStep::kReplace) {
      for (const std::string& n : Names(dir / "out")) seen.push_back(n);
    }
    return 0;
  };
  ASSERT_TRUE(files.CopyReplacing(dir / "src", dir / "out/name.pdf").ok());
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(FileOperations::IsTempName(seen[0])) << seen[0];
  EXPECT_TRUE(seen[0].ends_with("-name.pdf.part")) << seen[0];
}

TEST(RenameNoReplace, RenamesAndRefusesAnExistingTargetOnEveryPath) {
  struct Path {
    const char* what;
    int renameError;  // injected into the refusing rename
    int linkError;    // injected into its hard-link fallback
  };
  const Path paths[] = {
      {"refusing rename", 0, 0},
      {"hard link where the rename cannot refuse", EINVAL, 0},
      {"test and rename where there are no hard links", ENOSYS, EPERM},
  };
  for (const Path& p : paths) {
    SCOPED_TRACE(p.what);
    TempDir dir;
    WriteFile(dir / "a", "a");
    WriteFile(dir / "taken", "taken");
    HookedFiles files;
    files.hook = [&](FileStep s, const std::string&) {
      if (s == FileStep::kRenameNoReplace) return p.renameError;
      if (s == FileStep::kLink) return p.linkError;
      return 0;
    };
    const Status refused = files.RenameNoReplace(dir / "a", dir / "taken");
    EXPECT_EQ(refused.code(), EEXIST);
    EXPECT_EQ(ReadFile(dir / "taken"), "taken");
    EXPECT_EQ(ReadFile(dir / "a"), "a");
    ASSERT_TRUE(files.RenameNoReplace(dir / "a", dir / "b").ok());
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{"b", "taken"}));
    EXPECT_EQ(files.RenameNoReplace(dir / "gone", dir / "c").code(), ENOENT);
  }
}

TEST(RenameNoReplace, OtherFailuresAreReportedAsTheyAre) {
  TempDir dir;
  WriteFile(dir / "a", "a");
  HookedFiles files;
  files.hook = [](FileStep s, const std::string&) {
    return s == FileStep::kRenameNoReplace ? EACCES : 0;
  };
  EXPECT_EQ(files.RenameNoReplace(dir / "a", dir / "b").code(), EACCES);
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"a"});
}

TEST(Delete, RemovesAFileAndReportsAMissingOne) {
  TempDir dir;
  WriteFile(dir / "a", "a");
  EXPECT_TRUE(SystemFileOperations().Delete(dir / "a").ok());
  EXPECT_EQ(SystemFileOperations().Delete(dir / "a").code(), ENOENT);
}

TEST(TempName, OnlyOurOwnShapeIsOurs) {
  EXPECT_TRUE(FileOperations::IsTempName(".zf-0123456789abcdef-a.pdf.part"));
  EXPECT_TRUE(FileOperations::IsTempName(".zf-0123456789abcdef-.part"));
  EXPECT_FALSE(FileOperations::IsTempName(".zf-0123456789abcdef-a.pdf"));      // no suffix
  EXPECT_FALSE(FileOperations::IsTempName("zf-0123456789abcdef-a.pdf.part"));  // no dot
  EXPECT_FALSE(FileOperations::IsTempName(".zf-0123456789ABCDEF-a.part"));     // not our digits
  EXPECT_FALSE(FileOperations::IsTempName(".zf-0123456789abcde-a.part"));      // 15 digits
  EXPECT_FALSE(FileOperations::IsTempName(".zf-0123456789abcdefa.part"));      // no dash
  EXPECT_FALSE(FileOperations::IsTempName(".a.pdf.part"));                     // a page being split
  EXPECT_FALSE(FileOperations::IsTempName(".zf-.part"));
}

TEST(DeliveryLeftovers, OnlyTemporaryFilesOfCopiesAreRemoved) {
  TempDir dir;
  const std::vector<std::string> ours = {".zf-0123456789abcdef-a.pdf.part",
                                         ".zf-fedcba9876543210-b.part"};
  const std::vector<std::string> kept = {"a.pdf", ".hidden", ".a.pdf.part", ".zf-notours.part",
                                         ".zf-0123456789abcdef-a.pdf"};
  for (const auto& n : ours) WriteFile(dir / n, "partial");
  for (const auto& n : kept) WriteFile(dir / n, "keep");
  fs::create_directory(dir / ".zf-00000000000000ff-folder.part");
  fs::create_symlink(dir / "a.pdf", dir / ".zf-00000000000000ee-link.part");
  const Result<int> removed = RemoveDeliveryLeftovers(dir.path().string());
  ASSERT_TRUE(removed.ok());
  EXPECT_EQ(*removed, 2);
  EXPECT_EQ(Names(dir.path()),
            (std::vector<std::string>{".a.pdf.part", ".hidden", ".zf-00000000000000ee-link.part",
                                      ".zf-00000000000000ff-folder.part",
                                      ".zf-0123456789abcdef-a.pdf", ".zf-notours.part", "a.pdf"}));
  EXPECT_FALSE(RemoveDeliveryLeftovers(dir / "missing").ok());
  EXPECT_FALSE(RemoveDeliveryLeftovers("").ok());
}

TEST(DeliveryLeftovers, EveryQueuesOutputAndErrorFolderIsCleaned) {
  TempDir dir;
  for (const char* f : {"in", "out1", "err1", "out2"}) fs::create_directory(dir / f);
  const std::string temp = ".zf-0123456789abcdef-x.part";
  for (const char* f : {"in", "out1", "err1", "out2"})
    WriteFile(dir / (std::string(f) + "/" + temp), "");
  QueueTable table;
  ASSERT_TRUE(table
                  .Append([&](QueueRecord& q) {
                    q.Inputfolder = dir / "in";
                    q.Outputfolder = dir / "out1";
                    q.Errorfolder = dir / "err1";
                  })
                  .ok());
  ASSERT_TRUE(table
                  .Append([&](QueueRecord& q) {
                    q.Inputfolder = dir / "in";
                    q.Outputfolder = dir / "out2";
                    q.Errorfolder = dir / "missing";  // passed over
                  })
                  .ok());
  EXPECT_EQ(RemoveDeliveryLeftovers(table), 3);
  EXPECT_EQ(Names(dir / "in"), std::vector<std::string>{temp});  // input folders are not ours
  EXPECT_TRUE(Names(dir / "out1").empty());
  EXPECT_TRUE(Names(dir / "err1").empty());
  EXPECT_TRUE(Names(dir / "out2").empty());
}

}  // namespace
}  // namespace zf
