// Real faults under the running service: a small file system that fills, a
// file system remounted read-only in the middle of a run, immutable folders
// and inputs. The service must keep running, say why, lose nothing, and
// deliver everything within two passes once the fault is gone.

#include <signal.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "immutable.h"
#include "invariants.h"
#include "serviceconfig.h"
#include "straceservice.h"

namespace zf::fault {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A tmpfs of `size` on `path` for the object's lifetime.
class Tmpfs {
 public:
  Tmpfs(std::string path, const std::string& size) : path_(std::move(path)) {
    fs::create_directories(path_);
    ok_ = Run("mount -t tmpfs -o size=" + size + " zftest '" + path_ + "'");
  }
  ~Tmpfs() {
    if (ok_ && !Run("umount '" + path_ + "'")) Run("umount -l '" + path_ + "'");
  }
  Tmpfs(const Tmpfs&) = delete;
  Tmpfs& operator=(const Tmpfs&) = delete;
  bool ok() const { return ok_; }
  bool Remount(const std::string& options) {
    return Run("mount -o remount," + options + " '" + path_ + "'");
  }

 private:
  std::string path_;
  bool ok_ = false;
};

// A copy queue whose output, error and log folders lie under `place`
// (relative to the bench), with a CSV log.
struct Queue {
  ServiceBench bench;
  Ledger ledger;
  Places places;
  std::string in, out, err, log;

  void Configure(const std::string& place) {
    in = bench.Folder("in");
    out = bench.Folder(place + "/out");
    err = bench.Folder(place + "/err");
    log = bench.Folder(place + "/log");
    QueueRecord q =
        test::MakeQueue("Q", in, out, err, {Rule{R"((\w+)\.txt)", "$1_renamed.txt", false, ""}});
    q.Makelog = true;
    q.Logfile = log;
    bench.Configure({q}, test::QuickSettings());
    places.inputs = {in};
    places.outputs = {out};
    places.errors = {err};
    places.logFolders = {log};
    places.other = {bench.ConfigDir()};
  }
  void Add(const std::string& name, std::size_t size) {
    std::string content = name + ":";
    content.resize(size, static_cast<char>('a' + ledger.inputs().size() % 26));
    test::WriteFile(in + "/" + name, content);
    ledger.Add(name, content);
  }
};

// The service on `q`'s configuration, its passes counted on its standard error.
class Service {
 public:
  explicit Service(ServiceBench& bench) : run_(bench.Args()) {}
  int Passes() const { return PassesDone(run_.Err()); }
  bool WaitPasses(int more) {
    const int target = Passes() + more;
    return test::WaitUntil([&] { return Passes() >= target; }, 60s);
  }
  bool Running() { return !run_.WaitExit(0ms).has_value(); }
  // Everything it said, results and problems.
  std::string Said() const { return run_.Out() + run_.Err(); }
  std::optional<int> Stop() {
    run_.Signal(SIGTERM);
    return run_.WaitExit(30s);
  }

 private:
  test::ProgramRun run_;
};

// The checks every real fault ends with: nothing lost, nothing left, and
// after the fault is gone every input delivered.
void ExpectAllDelivered(Queue& q) {
  EXPECT_EQ(FilesIn(q.in), std::vector<std::string>{});
  const Findings f = CheckAll(q.ledger, q.places);
  EXPECT_TRUE(f.ok()) << f.Text();
}

bool CanMount(const std::string& where) {
  Tmpfs probe(where, "64k");
  return probe.ok();
}

TEST(RealFaults, AFullFileSystemIsReportedAndTheFilesComeOnceThereIsRoom) {
  Queue q;
  if (!CanMount(q.bench.root() + "/probe")) GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  Tmpfs small(q.bench.root() + "/small", "96k");
  ASSERT_TRUE(small.ok());
  q.Configure("small");
  // Far more than fits: some are delivered, the others wait.
  for (int i = 1; i <= 6; ++i) q.Add("big" + std::to_string(i) + ".txt", 40 * 1024);
  Service service(q.bench);
  ASSERT_TRUE(service.WaitPasses(1)) << service.Said();
  ASSERT_TRUE(service.WaitPasses(1)) << service.Said();
  EXPECT_TRUE(service.Running());
  EXPECT_NE(service.Said().find("No space left on device"), std::string::npos) << service.Said();
  EXPECT_FALSE(FilesIn(q.in).empty()) << "everything fit: the file system did not fill";
  {
    const Findings f = CheckAll(q.ledger, q.places);
    EXPECT_TRUE(f.ok()) << "while full: " << f.Text();
  }
  ASSERT_TRUE(small.Remount("size=8m"));
  ASSERT_TRUE(service.WaitPasses(2)) << service.Said();
  EXPECT_EQ(service.Stop(), 0);
  ExpectAllDelivered(q);
}

TEST(RealFaults, AFileSystemRemountedReadOnlyMidRunIsReportedAndServedAgainWhenWritable) {
  Queue q;
  if (!CanMount(q.bench.root() + "/probe")) GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  Tmpfs target(q.bench.root() + "/target", "4m");
  ASSERT_TRUE(target.ok());
  q.Configure("target");
  q.Add("early.txt", 1000);
  Service service(q.bench);
  ASSERT_TRUE(test::WaitUntil([&] { return FilesIn(q.in).empty(); }, 60s)) << service.Said();

  ASSERT_TRUE(target.Remount("ro"));
  q.Add("late1.txt", 2000);
  q.Add("late2.txt", 3000);
  ASSERT_TRUE(service.WaitPasses(2)) << service.Said();
  EXPECT_TRUE(service.Running());
  EXPECT_NE(service.Said().find("Read-only file system"), std::string::npos) << service.Said();
  EXPECT_EQ(FilesIn(q.in), (std::vector<std::string>{"late1.txt", "late2.txt"}));

  ASSERT_TRUE(target.Remount("rw"));
  ASSERT_TRUE(service.WaitPasses(2)) << service.Said();
  EXPECT_EQ(service.Stop(), 0);
  ExpectAllDelivered(q);
}

// An immutable folder refuses new entries: output, error and log folders in
// turn. The files wait (or, for the log, are delivered without their entry)
// and the reason is told.
TEST(RealFaults, ImmutableFoldersAreReportedAndServedOnceTheFlagIsCleared) {
  for (const std::string which : {"out", "err", "log"}) {
    SCOPED_TRACE(which);
    Queue q;
    q.Configure("q");
    q.Add("named.txt", 1500);
    q.Add("stray.bin", 700);  // no rule names it: the error folder's
    const std::string folder = which == "out" ? q.out : which == "err" ? q.err : q.log;
    std::optional<test::Immutable> frozen(std::in_place, folder);
    if (!frozen->ok()) GTEST_SKIP() << "chattr +i does not work here";
    Service service(q.bench);
    ASSERT_TRUE(service.WaitPasses(2)) << service.Said();
    EXPECT_TRUE(service.Running());
    EXPECT_NE(service.Said().find("Operation not permitted"), std::string::npos) << service.Said();
    const Findings f = CheckAll(q.ledger, q.places);
    EXPECT_TRUE(f.ok()) << "while frozen: " << f.Text();
    frozen.reset();  // cleared with the service still running
    ASSERT_TRUE(service.WaitPasses(2)) << service.Said();
    EXPECT_EQ(service.Stop(), 0);
    ExpectAllDelivered(q);
  }
}

// An input that cannot be deleted after its delivery: its copy stands, it is
// told once ("Cannot delete") and left alone while it stays the same file;
// after a restart, with the flag gone, it is delivered and removed.
TEST(RealFaults, AnImmutableInputIsCopiedToldOnceAndDeliveredAfterARestart) {
  Queue q;
  q.Configure("q");
  q.Add("stuck.txt", 1200);
  q.Add("free.txt", 1300);
  {
    test::Immutable frozen(q.in + "/stuck.txt");
    if (!frozen.ok()) GTEST_SKIP() << "chattr +i does not work here";
    Service service(q.bench);
    ASSERT_TRUE(service.WaitPasses(3)) << service.Said();
    EXPECT_TRUE(service.Running());
    const std::string said = service.Said();
    const std::size_t first = said.find("Cannot delete");
    ASSERT_NE(first, std::string::npos) << said;
    EXPECT_EQ(said.find("Cannot delete", first + 1), std::string::npos) << "told more than once";
    EXPECT_EQ(FilesIn(q.in), std::vector<std::string>{"stuck.txt"});
    EXPECT_EQ(test::ReadFile(q.out + "/stuck_renamed.txt"), test::ReadFile(q.in + "/stuck.txt"));
    EXPECT_EQ(service.Stop(), 0);
  }
  const Restarted again = RestartOnePass(q.bench);
  EXPECT_TRUE(again.passed && again.status == 0) << again.err;
  ExpectAllDelivered(q);
}

}  // namespace
}  // namespace zf::fault
