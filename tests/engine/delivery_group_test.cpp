// Delivery in groups: one flush for many copies, the results as one by one,
// and no file lost or half visible whatever step a crash interrupts.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "deliverytestkit.h"
#include "engine/delivery.h"
#include "enginetestkit.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

// Records every step and runs a hook before it.
class StepFiles : public SystemFileOperations {
 public:
  std::function<int(FileStep, const std::string&)> hook;
  std::vector<std::pair<FileStep, std::string>> steps;

 protected:
  int InjectFault(FileStep step, const std::string& path) override {
    steps.emplace_back(step, path);
    return hook ? hook(step, path) : 0;
  }
};

struct GroupSetup {
  test::QueueFolders f;
  std::string logFolder = f.root / "log";
  QueueTable table;
  test::FakeClock clock;
  int slot = 0;
  std::vector<VisualLogEntry> visual;
  VisualLog visualLog{clock, DefaultRegionalSettings(),
                      [this](VisualLogEntry e) { visual.push_back(std::move(e)); }};
  LogFileWriter writer{table, clock, "dd.mm.yyyy"};
  // The input files: name -> content.
  std::map<std::string, std::string> inputs;

  GroupSetup() {
    fs::create_directory(logFolder);
    slot = test::AddQueue(table, "Sport", f, [&](QueueRecord& q) {
      q.Makelog = true;
      q.Logfile = logFolder;
      q.logtype = 0;
    });
  }

  void Input(const std::string& name, std::size_t size = 0) {
    std::string content = "content of " + name;
    if (size > content.size()) content.resize(size, name[0]);
    WriteFile(f.in + "/" + name, content);
    inputs[name] = content;
  }

  // A pass over every input still there: a name that starts with "x" is
  // unresolved, every other is named in capitals.
  PassContext Pass() {
    PassContext pass = test::MakePass(table.Get(slot), slot);
    for (const auto& [name, content] : inputs) {
      if (!fs::exists(f.in + "/" + name)) continue;
      test::AddEntry(pass.files, name);
      FileEntry& e = pass.files.at(pass.files.count());
      if (name[0] == 'x') {
        e.unresolved = true;
      } else {
        std::string upper = name;
        std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
        e.newname = upper;
      }
    }
    return pass;
  }

  Status Deliver(
      FileOperations& files, PassContext& pass,
      const KeepGoingFn& keepGoing = [] { return true; }) {
    Delivery delivery(test::RealLibrary(), files, visualLog, writer, clock);
    return delivery.DeliverFiles(pass, keepGoing);
  }

  std::vector<std::string> Visual() const {
    std::vector<std::string> rows;
    for (const VisualLogEntry& e : visual) {
      rows.push_back(e.inputName + "|" + e.outputName + "|" + e.comment);
    }
    return rows;
  }

  // Where each input's content is, under a final name: folder labels.
  // Temporary files count as "temp"; a file under a final name whose content
  // is no input's whole content as "torn".
  std::map<std::string, std::vector<std::string>> Places() const {
    std::map<std::string, std::string> byContent;
    for (const auto& [name, content] : inputs) byContent[content] = name;
    std::map<std::string, std::vector<std::string>> places;
    for (const auto& [label, folder] : std::vector<std::pair<std::string, std::string>>{
             {"in", f.in}, {"out", f.out}, {"err", f.err}}) {
      // An input moved aside to be deleted is still safe in the staging
      // folder: the start-up clean-up puts it back.
      std::vector<fs::path> entries;
      for (const auto& e : fs::directory_iterator(folder)) {
        if (e.path().filename() != kStagingFolder) entries.push_back(e.path());
      }
      if (fs::is_directory(fs::path(folder) / kStagingFolder)) {
        for (const auto& e : fs::directory_iterator(fs::path(folder) / kStagingFolder)) {
          entries.push_back(e.path());
        }
      }
      for (const fs::path& e : entries) {
        const std::string name = e.filename().string();
        if (FileOperations::IsTempName(name)) {
          places["temp"].push_back(label + "/" + name);
          continue;
        }
        const auto found = byContent.find(ReadFile(e));
        if (found == byContent.end()) {
          places["torn"].push_back(label + "/" + name);
        } else {
          places[found->second].push_back(label);
        }
      }
    }
    return places;
  }
};

std::size_t FirstIndex(const StepFiles& files, FileStep step, const std::string& path) {
  for (std::size_t i = 0; i < files.steps.size(); ++i) {
    if (files.steps[i].first == step && files.steps[i].second == path) return i;
  }
  return files.steps.size();
}

// One flush of each touched folder for the whole group, and every input goes
// only after its copy and its copy's folder entry are flushed.
TEST(DeliveryGroup, EachFolderIsFlushedOnceAndInputsGoOnlyAfterward) {
  GroupSetup s;
  for (const char* name : {"a.pdf", "b.pdf", "c.pdf", "xa.pdf", "d.pdf", "xb.pdf"}) s.Input(name);
  StepFiles files;
  PassContext pass = s.Pass();
  ASSERT_TRUE(s.Deliver(files, pass).ok());

  int folderFlushes = 0;
  for (const auto& [step, path] : files.steps) folderFlushes += step == FileStep::kSyncFolder;
  EXPECT_EQ(folderFlushes, 2) << "one for the output folder, one for the error folder";

  std::size_t lastFolderFlush = 0;
  std::size_t firstFolderFlush = files.steps.size();
  std::size_t lastRename = 0;
  for (std::size_t i = 0; i < files.steps.size(); ++i) {
    if (files.steps[i].first == FileStep::kSyncFolder) {
      lastFolderFlush = i;
      firstFolderFlush = std::min(firstFolderFlush, i);
    }
    if (files.steps[i].first == FileStep::kReplace) lastRename = i;
  }
  // A folder flushed between two renames into it would leave the later one
  // unrecorded while its input goes.
  EXPECT_LT(lastRename, firstFolderFlush) << "a copy was renamed after its folder's flush";
  for (const auto& [name, content] : s.inputs) {
    SCOPED_TRACE(name);
    const std::size_t deleted = FirstIndex(files, FileStep::kDelete, s.f.in + "/" + name);
    ASSERT_LT(deleted, files.steps.size());
    EXPECT_GT(deleted, lastFolderFlush);
    EXPECT_EQ(s.Places()[name],
              (std::vector<std::string>{std::string(name[0] == 'x' ? "err" : "out")}));
  }
  // Reported in the entries' order.
  EXPECT_EQ(s.Visual(),
            (std::vector<std::string>{"a.pdf|A.PDF|Renamed", "b.pdf|B.PDF|Renamed",
                                      "c.pdf|C.PDF|Renamed", "d.pdf|D.PDF|Renamed",
                                      "xa.pdf||cannot rename", "xb.pdf||cannot rename"}));
  EXPECT_EQ(s.Places().count("temp"), 0u);
}

// A file that fails at any step gets the result it gets alone and keeps its
// input; the others of its group are delivered.
TEST(DeliveryGroup, AFailingFileFailsAloneAndTheGroupGoesOn) {
  struct Case {
    FileStep step;
    int error;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {FileStep::kOpenSource, ENOENT, std::strerror(ENOENT)},
      {FileStep::kCreateTemp, EACCES, std::strerror(EACCES)},
      {FileStep::kWrite, ENOSPC, std::strerror(ENOSPC)},
      {FileStep::kSyncFile, EIO, std::strerror(EIO)},
      {FileStep::kReplace, EACCES, std::strerror(EACCES)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.step));
    GroupSetup s;
    for (const char* name : {"a.pdf", "b.pdf", "c.pdf"}) s.Input(name, 3 << 20);
    StepFiles files;
    files.hook = [&](FileStep step, const std::string& path) {
      const bool ofB = path.ends_with("/b.pdf") || path.ends_with("/B.PDF");
      return step == c.step && ofB ? c.error : 0;
    };
    PassContext pass = s.Pass();
    ASSERT_TRUE(s.Deliver(files, pass).ok());
    EXPECT_EQ(s.Visual(),
              (std::vector<std::string>{"a.pdf|A.PDF|Renamed", "b.pdf|B.PDF|Cannot copy",
                                        "c.pdf|C.PDF|Renamed"}));
    ASSERT_EQ(s.visual.size(), 3u);
    EXPECT_EQ(s.visual[1].reason, c.reason);
    const auto places = s.Places();
    EXPECT_EQ(places.at("a.pdf"), std::vector<std::string>{"out"});
    EXPECT_EQ(places.at("b.pdf"), std::vector<std::string>{"in"});
    EXPECT_EQ(places.at("c.pdf"), std::vector<std::string>{"out"});
    EXPECT_EQ(places.count("temp"), 0u);
  }
}

// A folder whose flush fails holds copies that are in place but not known to
// be on the disk: their inputs stay (delivered twice at worst), while the
// files of the other folder go as usual.
TEST(DeliveryGroup, AFailedFolderFlushKeepsTheInputsOfThatFolderOnly) {
  GroupSetup s;
  for (const char* name : {"a.pdf", "xa.pdf", "b.pdf"}) s.Input(name);
  StepFiles files;
  files.hook = [&](FileStep step, const std::string& path) {
    return step == FileStep::kSyncFolder && path.rfind(s.f.out, 0) == 0 ? EIO : 0;
  };
  PassContext pass = s.Pass();
  ASSERT_TRUE(s.Deliver(files, pass).ok());
  EXPECT_EQ(s.Visual(),
            (std::vector<std::string>{"a.pdf|A.PDF|Cannot copy", "b.pdf|B.PDF|Cannot copy",
                                      "xa.pdf||cannot rename"}));
  const auto places = s.Places();
  EXPECT_EQ(places.at("a.pdf"), (std::vector<std::string>{"in", "out"}));
  EXPECT_EQ(places.at("xa.pdf"), std::vector<std::string>{"err"});
}

// A group ends at 64 files or 256 MiB (the inputs of the first group are gone
// before the next group's first file is opened), or after 2 seconds.
TEST(DeliveryGroup, AGroupEndsAtItsCountSizeOrTime) {
  struct Case {
    const char* what;
    std::vector<std::size_t> sizes;  // 0: small; sparse otherwise
    std::size_t firstOfSecondGroup;  // index of the entry that opens the next group
    int slowAt = -1;                 // the entry whose opening takes over 2 seconds
  };
  const std::vector<Case> cases = {
      {"count", std::vector<std::size_t>(66, 0), Delivery::kGroupFiles},
      {"bytes", {200u << 20, 100u << 20, 0, 0}, 2},
      {"time", {0, 0, 0, 0}, 2, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    GroupSetup s;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "f%03zu.pdf", i);
      names.push_back(name);
      s.Input(name);
      if (c.sizes[i] > 0) fs::resize_file(s.f.in + "/" + name, c.sizes[i]);
    }
    StepFiles files;
    files.hook = [&](FileStep step, const std::string& path) {
      if (c.slowAt >= 0 && step == FileStep::kOpenSource &&
          path == s.f.in + "/" + names[static_cast<std::size_t>(c.slowAt)]) {
        std::this_thread::sleep_for(Delivery::kGroupTime + std::chrono::milliseconds(100));
      }
      return 0;
    };
    PassContext pass = s.Pass();
    ASSERT_TRUE(s.Deliver(files, pass).ok());
    const std::size_t opened =
        FirstIndex(files, FileStep::kOpenSource, s.f.in + "/" + names[c.firstOfSecondGroup]);
    const std::size_t openedBefore =
        FirstIndex(files, FileStep::kOpenSource, s.f.in + "/" + names[c.firstOfSecondGroup - 1]);
    const std::size_t firstDeleted = FirstIndex(files, FileStep::kDelete, s.f.in + "/" + names[0]);
    EXPECT_LT(openedBefore, firstDeleted);
    EXPECT_LT(firstDeleted, opened);
    EXPECT_EQ(s.visual.size(), c.sizes.size());
  }
}

// A stop seen after a file joined the group ends the stage with that group:
// its files are delivered and reported, the rest wait.
TEST(DeliveryGroup, AStopEndsTheStageAfterTheGroupUnderWay) {
  GroupSetup s;
  for (const char* name : {"a.pdf", "b.pdf", "c.pdf", "d.pdf"}) s.Input(name);
  StepFiles files;
  PassContext pass = s.Pass();
  int asked = 0;
  ASSERT_TRUE(s.Deliver(files, pass, [&] { return ++asked < 2; }).ok());
  EXPECT_EQ(s.Visual(), (std::vector<std::string>{"a.pdf|A.PDF|Renamed", "b.pdf|B.PDF|Renamed"}));
  const auto places = s.Places();
  EXPECT_EQ(places.at("b.pdf"), std::vector<std::string>{"out"});
  EXPECT_EQ(places.at("c.pdf"), std::vector<std::string>{"in"});
  EXPECT_EQ(places.at("d.pdf"), std::vector<std::string>{"in"});
}

// A crash at any step of a group's delivery (the child is killed just before
// that step runs) leaves no input lost, nothing torn under a final name, and
// after the start-up clean-up and one more delivery every input in exactly
// A flush pool that can get no thread (a process at its thread limit) does
// every flush on the calling thread: each file's own answer, none skipped.
TEST(DeliveryGroup, WithoutThreadsEveryFlushRunsOnTheCallingThread) {
  test::TempDir dir;
  std::vector<UniqueFd> files;
  std::vector<int> fds;
  for (int i = 0; i < 6; ++i) {
    if (i % 2 == 1) {
      fds.push_back(-1);  // fails with its own error, in its own place
      continue;
    }
    files.emplace_back(::open((dir.path() / ("f" + std::to_string(i))).c_str(),
                              O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    fds.push_back(files.back().get());
  }
  RefuseFlushThreadsForTesting(true);
  const std::vector<int> errors = SyncFileData(fds, GroupFlush::kThreads);
  RefuseFlushThreadsForTesting(false);
  EXPECT_EQ(errors, (std::vector<int>{0, EBADF, 0, EBADF, 0, EBADF}));
}

// one place and no temporary file.
TEST(DeliveryGroupCrash, AKillAtAnyStepLosesNothing) {
  const auto makeInputs = [](GroupSetup& s) {
    s.Input("a.pdf", 2 * 1024 * 1024 + 5);  // three chunks to write
    for (const char* name : {"b.pdf", "xa.pdf", "c.pdf", "xb.pdf"}) s.Input(name);
  };
  // The steps of the whole group, counted in a run that is not killed.
  std::size_t total = 0;
  {
    GroupSetup s;
    makeInputs(s);
    StepFiles files;
    PassContext pass = s.Pass();
    ASSERT_TRUE(s.Deliver(files, pass).ok());
    total = files.steps.size();
  }
  ASSERT_GT(total, 20u);

  for (std::size_t n = 1; n <= total + 1; ++n) {
    SCOPED_TRACE("killed before step " + std::to_string(n) + " of " + std::to_string(total));
    GroupSetup s;
    makeInputs(s);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      StepFiles files;
      std::size_t seen = 0;
      files.hook = [&](FileStep, const std::string&) {
        if (++seen == n) ::raise(SIGKILL);
        return 0;
      };
      PassContext pass = s.Pass();
      ::_exit(s.Deliver(files, pass).ok() ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (n <= total) {
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    } else {
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    // Right after the crash: no input lost, nothing torn under a final name.
    auto places = s.Places();
    EXPECT_EQ(places.count("torn"), 0u);
    for (const auto& [name, content] : s.inputs) {
      EXPECT_FALSE(places[name].empty()) << name << " is lost";
    }

    // The next start: clean-up, then one more delivery.
    ASSERT_TRUE(RemoveDeliveryLeftovers(s.f.out).ok());
    ASSERT_TRUE(RemoveDeliveryLeftovers(s.f.err).ok());
    ASSERT_TRUE(RemoveStagingLeftovers(s.f.in).ok());
    SystemFileOperations files;
    PassContext pass = s.Pass();
    ASSERT_TRUE(s.Deliver(files, pass).ok());
    places = s.Places();
    EXPECT_EQ(places.count("temp"), 0u);
    EXPECT_EQ(places.count("torn"), 0u);
    for (const auto& [name, content] : s.inputs) {
      EXPECT_EQ(places[name],
                (std::vector<std::string>{std::string(name[0] == 'x' ? "err" : "out")}))
          << name;
    }
  }
}

}  // namespace
}  // namespace zf
