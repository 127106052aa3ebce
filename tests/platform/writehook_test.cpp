#include "platform/writehook.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fileops.h"
#include "platform/files.h"
#include "tempdir.h"

namespace zf {
namespace {

using test::TempDir;
using test::WriteFile;

struct Seen {
  WriteSite site;
  WriteKind kind;
  std::string path;
  bool operator==(const Seen&) const = default;
};

std::vector<Seen>& Recorded() {
  static std::vector<Seen> seen;
  return seen;
}

void Record(WriteSite site, WriteKind kind, std::string_view path) {
  Recorded().push_back(Seen{site, kind, std::string(path)});
}

// Sets the recording hook for one scope and takes it away again, so that a
// failing test leaves no hook to the next.
class Recording {
 public:
  Recording() {
    Recorded().clear();
    SetWriteHook(&Record);
  }
  ~Recording() { SetWriteHook(nullptr); }
};

std::vector<WriteKind> KindsAt(WriteSite site) {
  std::vector<WriteKind> kinds;
  for (const Seen& s : Recorded()) {
    if (s.site == site) kinds.push_back(s.kind);
  }
  return kinds;
}

TEST(WriteHook, SeesEveryStepOfACopyAndAWholeFileWriteInOrder) {
  TempDir dir;
  const std::string source = dir / "in.txt";
  const std::string target = dir / "out.txt";
  WriteFile(source, "payload");
  {
    Recording recording;
    ASSERT_TRUE(SystemFileOperations().CopyReplacing(source, target).ok());
    ASSERT_TRUE(SystemFileOperations().Delete(source).ok());
  }
  EXPECT_EQ(KindsAt(WriteSite::kFileOps),
            (std::vector<WriteKind>{WriteKind::kOpen, WriteKind::kCreate, WriteKind::kWrite,
                                    WriteKind::kSyncFile, WriteKind::kRename,
                                    WriteKind::kSyncFolder, WriteKind::kDelete}));
  ASSERT_EQ(KindsAt(WriteSite::kTempFile), std::vector<WriteKind>{WriteKind::kCreate});
  EXPECT_EQ(Recorded().back().path, source);

  const std::string ini = dir / "z.ini";
  {
    Recording recording;
    ASSERT_TRUE(DefaultFileSystem().WriteWholeFileAtomic(ini, "a=1").ok());
  }
  EXPECT_EQ(KindsAt(WriteSite::kWholeFile),
            (std::vector<WriteKind>{WriteKind::kCreate, WriteKind::kWrite, WriteKind::kSyncFile,
                                    WriteKind::kRename, WriteKind::kSyncFolder}));
  for (const Seen& s : Recorded()) {
    if (s.site == WriteSite::kWholeFile) {
      EXPECT_EQ(s.path, ini);
    }
  }
}

TEST(WriteHook, WithoutAHookNothingIsCalledAndSettingAnswersThePreviousOne) {
  TempDir dir;
  WriteFile(dir / "a", "x");
  Recorded().clear();
  ASSERT_TRUE(SystemFileOperations().CopyReplacing(dir / "a", dir / "b").ok());
  EXPECT_TRUE(Recorded().empty());

  EXPECT_EQ(SetWriteHook(&Record), nullptr);
  EXPECT_EQ(SetWriteHook(nullptr), &Record);
}

}  // namespace
}  // namespace zf
