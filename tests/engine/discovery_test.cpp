#include "engine/discovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "enginetestkit.h"
#include "platform/filetime.h"

namespace zf {
namespace {

using test::CountingFiles;
using test::FakeClock;
using test::QueueFolders;
using test::SetTimes;
using test::WriteFile;

constexpr long long kJan2024 = 1704067200;  // 2024-01-01 00:00:00 UTC

class Discovery : public testing::Test {
 protected:
  // A pass over the folders with the queue as `edit` leaves it.
  PassContext MakePass(const std::function<void(QueueRecord&)>& edit = {}) {
    QueueRecord q;
    q.Inputfolder = folders.in;
    q.Outputfolder = folders.out;
    q.Searchmask = "*.*";
    q.ignoremask = "none";
    q.filetimetype = 2;
    q.Enabled = true;
    if (edit) edit(q);
    PassContext pass;
    pass.queue = std::make_shared<const QueueRecord>(q);
    pass.inputFolder = q.Inputfolder + "/";
    return pass;
  }
  std::string In(const std::string& name) const { return folders.in + "/" + name; }
  static std::set<std::string> Names(const FileTable& t) {
    std::set<std::string> names;
    for (int k = 1; k <= t.count(); ++k) names.insert(t.at(k).oldname);
    return names;
  }
  Status Discover(PassContext& pass) { return DiscoverFiles(files, clock, pass); }

  QueueFolders folders;
  CountingFiles files;
  FakeClock clock;
};

int OpenDescriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TEST_F(Discovery, TakesPlainAndHiddenFilesOnly) {
  WriteFile(In("plain.pdf"), "1234");
  WriteFile(In(".hidden.pdf"), "hidden");
  WriteFile(In("noext"), "x");
  WriteFile(In("readonly.pdf"), "ro");
  ASSERT_EQ(chmod(In("readonly.pdf").c_str(), 0444), 0);
  std::filesystem::create_directory(In("sub.pdf"));
  std::filesystem::create_symlink(In("plain.pdf"), In("link.pdf"));
  std::filesystem::create_directory_symlink(folders.out, In("dirlink"));
  std::filesystem::create_symlink(In("gone"), In("dangling"));
  ASSERT_EQ(mkfifo(In("pipe").c_str(), 0644), 0);
  // Files other writers (and our own copies, splits and fetches) are still
  // writing; a plain name ending in .part is an ordinary file.
  WriteFile(In(".zf-0123456789abcdef-page.pdf.part"), "half");
  WriteFile(In(".SPO_001.pdf.part"), "half");
  WriteFile(In("upload.part"), "whole");

  PassContext pass = MakePass();
  ASSERT_TRUE(Discover(pass).ok());
  EXPECT_EQ(Names(pass.files),
            (std::set<std::string>{"plain.pdf", ".hidden.pdf", "noext", "upload.part"}));
  for (int k = 1; k <= pass.files.count(); ++k) {
    const FileEntry& e = pass.files.at(k);
    EXPECT_FALSE(e.ready);
    EXPECT_TRUE(e.newname.empty());
    EXPECT_FALSE(e.unresolved);
    if (e.oldname == "plain.pdf") {
      EXPECT_EQ(e.filesize, 4);
    }
  }
  // Nothing was touched: the read-only file and the link's target are still there.
  EXPECT_TRUE(std::filesystem::exists(In("readonly.pdf")));
  EXPECT_TRUE(std::filesystem::is_symlink(In("link.pdf")));
}

TEST_F(Discovery, SearchMaskIsOnePatternWithoutRegardToCase) {
  for (const char* name : {"A.PDF", "b.pdf", "c.Pdf", "d.pdfx", "e.txt", "x;y.pdf"}) {
    WriteFile(In(name), "x");
  }
  PassContext pass = MakePass([](QueueRecord& q) { q.Searchmask = "*.pdf"; });
  ASSERT_TRUE(Discover(pass).ok());
  EXPECT_EQ(Names(pass.files), (std::set<std::string>{"A.PDF", "b.pdf", "c.Pdf", "x;y.pdf"}));

  PassContext semicolon = MakePass([](QueueRecord& q) { q.Searchmask = "*.pdf;*.txt"; });
  ASSERT_TRUE(Discover(semicolon).ok());
  EXPECT_EQ(semicolon.files.count(), 0);
}

TEST_F(Discovery, IgnoreMasks) {
  for (const char* name : {"none", "NONE", "a.tmp", "B.TMP", "c.Tmp", "d.tmp.pdf", "e.pdf"}) {
    WriteFile(In(name), "x");
  }
  const struct {
    const char* ignoremask;
    std::set<std::string> taken;
  } cases[] = {
      {"none", {"none", "NONE", "a.tmp", "B.TMP", "c.Tmp", "d.tmp.pdf", "e.pdf"}},
      {"", {"none", "NONE", "a.tmp", "B.TMP", "c.Tmp", "d.tmp.pdf", "e.pdf"}},
      {"None", {"a.tmp", "B.TMP", "c.Tmp", "d.tmp.pdf", "e.pdf"}},
      {"*.tmp", {"none", "NONE", "d.tmp.pdf", "e.pdf"}},
      {"*.TMP;none", {"d.tmp.pdf", "e.pdf"}},
  };
  for (const auto& c : cases) {
    PassContext pass = MakePass([&](QueueRecord& q) { q.ignoremask = c.ignoremask; });
    ASSERT_TRUE(Discover(pass).ok()) << c.ignoremask;
    EXPECT_EQ(Names(pass.files), c.taken) << c.ignoremask;
  }
}

TEST_F(Discovery, InvalidIgnoreMaskEscapesAndTheListingIsClosed) {
  WriteFile(In("a.pdf"), "x");
  const int before = OpenDescriptors();
  PassContext pass = MakePass([](QueueRecord& q) { q.ignoremask = "[abc"; });
  const Status s = Discover(pass);
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(pass.files.count(), 0);
  EXPECT_EQ(OpenDescriptors(), before);

  // A missing folder lists nothing and is no error.
  PassContext missing = MakePass([&](QueueRecord& q) { q.Inputfolder = folders.root / "nope"; });
  EXPECT_TRUE(Discover(missing).ok());
  EXPECT_EQ(missing.files.count(), 0);
}

TEST_F(Discovery, AFolderThatCannotBeReadIsAnErrorNotAnEmptyFolder) {
  WriteFile(In("a.pdf"), "x");
  // Root reads any folder whatever its mode; a user without rights cannot.
  // The listing runs in a child that drops to such a user.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool dropped =
        chmod(folders.in.c_str(), 0700) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
    PassContext pass = MakePass();
    const Status s = Discover(pass);
    const bool said = s.message().find("Permission denied") != std::string::npos;
    _exit(!dropped                                                             ? 2
          : (!s.ok() && s.code() == EACCES && said && pass.files.count() == 0) ? 0
                                                                               : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot drop to an unprivileged user here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "an unreadable input folder was taken for an empty one";
}

TEST_F(Discovery, StopsAfterThe999thEntryInListingOrder) {
  for (int i = 0; i < 1500; ++i) WriteFile(In("f" + std::to_string(i) + ".pdf"), "x");
  WriteFile(In("skip.tmp"), "x");
  // The listing order is the folder's own order.
  std::vector<std::string> order;
  DIR* dir = opendir(folders.in.c_str());
  ASSERT_NE(dir, nullptr);
  while (const dirent* d = readdir(dir)) {
    const std::string name = d->d_name;
    if (name != "." && name != ".." && name != "skip.tmp") order.push_back(name);
  }
  closedir(dir);
  order.resize(999);

  const int before = OpenDescriptors();
  PassContext pass = MakePass([](QueueRecord& q) { q.ignoremask = "*.tmp"; });
  ASSERT_TRUE(Discover(pass).ok());
  ASSERT_EQ(pass.files.count(), 999);
  for (int k = 1; k <= 999; ++k) ASSERT_EQ(pass.files.at(k).oldname, order[k - 1]) << k;
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(Discovery, FileTimeKindFollowsFiletimetype) {
  WriteFile(In("a.pdf"), "x");
  SetTimes(In("a.pdf"), kJan2024 + 3600, kJan2024 + 7201);  // access 02:00:00, write 03:00:01 local
  const struct {
    std::int32_t filetimetype;
    TDateTime expected;
  } cases[] = {
      {2, EncodeDateTime(2024, 1, 1, 3, 0, 0)},
      {1, EncodeDateTime(2024, 1, 1, 2, 0, 0)},
      {5, EncodeDateTime(2024, 1, 1, 2, 0, 0)},  // any other value: last access
      {-1, EncodeDateTime(2024, 1, 1, 2, 0, 0)},
  };
  for (const auto& c : cases) {
    PassContext pass = MakePass([&](QueueRecord& q) { q.filetimetype = c.filetimetype; });
    ASSERT_TRUE(Discover(pass).ok());
    ASSERT_EQ(pass.files.count(), 1);
    EXPECT_EQ(pass.files.at(1).filetime, c.expected) << c.filetimetype;
  }
  // Creation: the birth time, or the status change time; either is recent.
  PassContext pass = MakePass([](QueueRecord& q) { q.filetimetype = 0; });
  ASSERT_TRUE(Discover(pass).ok());
  EXPECT_GT(pass.files.at(1).filetime, EncodeDateTime(2024, 6, 1));
}

TEST_F(Discovery, OrderingPutsTheOldestFirstAndKeepsTiesInListingOrder) {
  const char* names[] = {"a", "b", "c", "d", "e"};
  for (const char* n : names) WriteFile(In(n), "x");
  SetTimes(In("a"), kJan2024, kJan2024 + 100);
  SetTimes(In("b"), kJan2024, kJan2024 + 10);
  SetTimes(In("c"), kJan2024, kJan2024 + 101);  // same two-second step as a
  SetTimes(In("d"), kJan2024, kJan2024 + 10);
  SetTimes(In("e"), kJan2024, kJan2024 + 5);
  PassContext pass = MakePass();
  ASSERT_TRUE(Discover(pass).ok());
  std::vector<std::string> listed;
  for (int k = 1; k <= 5; ++k) listed.push_back(pass.files.at(k).oldname);
  auto pos = [&](const std::string& n) { return std::find(listed.begin(), listed.end(), n); };

  OrderFiles(pass.files, [] { return true; });
  std::vector<std::string> ordered;
  for (int k = 1; k <= 5; ++k) ordered.push_back(pass.files.at(k).oldname);
  EXPECT_EQ(ordered[0], "e");
  // b and d share a time, as do a and c: each pair keeps its listing order.
  const auto [b1, b2] = pos("b") < pos("d") ? std::pair{"b", "d"} : std::pair{"d", "b"};
  const auto [a1, a2] = pos("a") < pos("c") ? std::pair{"a", "c"} : std::pair{"c", "a"};
  EXPECT_EQ(ordered, (std::vector<std::string>{"e", b1, b2, a1, a2}));
  for (int k = 1; k < 5; ++k) EXPECT_LE(pass.files.at(k).filetime, pass.files.at(k + 1).filetime);
}

TEST(OrderFiles, MovesSizesWithNamesAndEndsEarlyWhenAsked) {
  FileTable table;
  const int times[] = {5, 4, 3, 2, 1};
  for (int k = 1; k <= 5; ++k) {
    table.at(k).oldname = std::to_string(times[k - 1]);
    table.at(k).filetime = times[k - 1];
    table.at(k).filesize = times[k - 1] * 10;
    table.at(k).filesize64 = times[k - 1] * 10;
  }
  table.set_count(5);
  int asked = 0;
  OrderFiles(table, [&] { return ++asked < 1; });  // stop after the first pass
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(table.at(5).oldname, "5");  // one pass carried the latest to the end
  EXPECT_EQ(table.at(1).oldname, "4");  // but no further
  for (int k = 1; k <= 5; ++k) {
    EXPECT_EQ(table.at(k).filesize, std::stoi(table.at(k).oldname) * 10);
    EXPECT_EQ(table.at(k).filesize64, std::stoi(table.at(k).oldname) * 10);
  }
  OrderFiles(table, [] { return true; });
  for (int k = 1; k <= 5; ++k) EXPECT_EQ(table.at(k).oldname, std::to_string(k));
}

TEST_F(Discovery, StabilityComparesSizeAndTime) {
  for (const char* n : {"same", "grown", "touched", "gone", "step"}) WriteFile(In(n), "1234");
  for (const char* n : {"same", "grown", "touched", "gone"}) SetTimes(In(n), kJan2024, kJan2024);
  SetTimes(In("step"), kJan2024, kJan2024 + 10, 0);
  PassContext pass = MakePass();
  ASSERT_TRUE(Discover(pass).ok());
  ASSERT_EQ(pass.files.count(), 5);

  // What happens during the stable wait.
  WriteFile(In("grown"), "12345");
  SetTimes(In("grown"), kJan2024, kJan2024);
  SetTimes(In("touched"), kJan2024, kJan2024 + 2);
  std::filesystem::remove(In("gone"));
  WriteFile(In("step"), "abcd");  // same size, written again within the same two seconds
  SetTimes(In("step"), kJan2024, kJan2024 + 11, 900'000'000);

  CheckStability(files, clock, pass, [] { return true; });
  std::set<std::string> ready;
  for (int k = 1; k <= 5; ++k) {
    if (pass.files.at(k).ready) ready.insert(pass.files.at(k).oldname);
  }
  EXPECT_EQ(ready, (std::set<std::string>{"same", "step"}));
}

TEST_F(Discovery, StabilityEndsAtTheFileWhereItIsToldToStop) {
  for (int i = 0; i < 6; ++i) WriteFile(In("f" + std::to_string(i)), "x");
  PassContext pass = MakePass();
  ASSERT_TRUE(Discover(pass).ok());
  int checked = 0;
  CheckStability(files, clock, pass, [&] { return ++checked < 2; });
  EXPECT_EQ(files.Stats(), 2);
  for (int k = 1; k <= 6; ++k) EXPECT_EQ(pass.files.at(k).ready, k <= 2) << k;
}

TEST_F(Discovery, FilesOfSeveralGibibytesAreComparedInFull) {
  // Sparse files: no disk space is used.
  const long long big = 3LL << 30;
  for (const char* n : {"steady", "grows"}) {
    const int fd = open(In(n).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, big), 0);
    close(fd);
    SetTimes(In(n), kJan2024, kJan2024);
  }
  PassContext pass = MakePass();
  ASSERT_TRUE(Discover(pass).ok());
  ASSERT_EQ(pass.files.count(), 2);
  for (int k = 1; k <= 2; ++k) {
    EXPECT_EQ(pass.files.at(k).filesize64, big);
    EXPECT_EQ(pass.files.at(k).filesize, static_cast<std::int32_t>(big));  // kept in 32 bits
  }
  // Growing by exactly 4 GiB keeps the 32-bit size; the time is put back too.
  ASSERT_EQ(truncate(In("grows").c_str(), big + (4LL << 30)), 0);
  SetTimes(In("grows"), kJan2024, kJan2024);
  CheckStability(files, clock, pass, [] { return true; });
  for (int k = 1; k <= 2; ++k) {
    EXPECT_EQ(pass.files.at(k).ready, pass.files.at(k).oldname == "steady") << k;
  }
}

TEST_F(Discovery, PreCheckTestsEveryFolder) {
  const std::string missing = folders.root / "missing";
  const struct {
    const char* what;
    std::function<void(QueueRecord&)> edit;
    bool usable;
  } cases[] = {
      {"all there", [](QueueRecord&) {}, true},
      {"trailing separators",
       [&](QueueRecord& q) {
         q.Inputfolder += "/";
         q.Outputfolder += "/";
         q.Errorfolder += "/";
       },
       true},
      {"no error folder", [](QueueRecord& q) { q.Errorfolder.clear(); }, true},
      {"empty input", [](QueueRecord& q) { q.Inputfolder.clear(); }, false},
      {"missing input", [&](QueueRecord& q) { q.Inputfolder = missing; }, false},
      {"empty output", [](QueueRecord& q) { q.Outputfolder.clear(); }, false},
      {"missing output", [&](QueueRecord& q) { q.Outputfolder = missing; }, false},
      {"missing error folder", [&](QueueRecord& q) { q.Errorfolder = missing; }, false},
      {"output is a file", [&](QueueRecord& q) { q.Outputfolder = folders.root / "file"; }, false},
  };
  WriteFile(folders.root / "file", "x");
  for (const auto& c : cases) {
    QueueRecord q;
    q.Inputfolder = folders.in;
    q.Outputfolder = folders.out;
    q.Errorfolder = folders.err;
    c.edit(q);
    EXPECT_EQ(CheckQueue(q, files, {}), c.usable) << c.what;
  }
}

TEST_F(Discovery, PreCheckOfAnFtpQueueAsksTheFtpStepAndStillTestsTheRest) {
  QueueRecord q;
  q.FTPuse = true;
  q.Inputfolder = "";  // not tested for an FTP queue
  q.Outputfolder = folders.out;
  int asked = 0;
  EXPECT_TRUE(CheckQueue(q, files, [&] { return ++asked > 0; }));
  EXPECT_FALSE(CheckQueue(q, files, {}));  // no FTP intake: not usable
  EXPECT_FALSE(CheckQueue(q, files, [&]() -> bool { throw std::runtime_error("no server"); }));

  q.Outputfolder = folders.root / "missing";
  const int before = files.DirTestsOf(folders.root / "missing");
  EXPECT_FALSE(CheckQueue(q, files, [&] { return ++asked > 0; }));
  EXPECT_EQ(files.DirTestsOf(folders.root / "missing"), before + 1);
  EXPECT_EQ(asked, 2);
}

}  // namespace
}  // namespace zf
