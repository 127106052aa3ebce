#include "crashpoints.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace zf::fault {
namespace fs = std::filesystem;
namespace {

// A pass that hangs (a server that never answers) must not hold the suite.
constexpr unsigned kChildSeconds = 60;

// The hook's state in the child; set after the fork, never in the parent.
int stepFd = -1;
long killAt = 0;
long stepCount = 0;

// Records the step (unbuffered, so it survives the kill) and kills the
// process at the chosen one, before its system call runs.
void RecordAndKill(WriteSite site, WriteKind kind, std::string_view path) {
  ++stepCount;
  if (stepFd >= 0) {
    std::string line = std::to_string(static_cast<int>(site)) + ' ' +
                       std::to_string(static_cast<int>(kind)) + ' ' + std::string(path) + '\n';
    if (::write(stepFd, line.data(), line.size()) < 0) ::_exit(4);
  }
  if (stepCount == killAt) ::raise(SIGKILL);
}

struct ChildEnd {
  bool killed = false;  // by our SIGKILL
  int exitCode = -1;
  int signal = 0;  // any other signal that ended it
};

// Runs `body` in a child process; with a step file, every write step is
// recorded there and the child dies at step `killAtStep` (0: never).
ChildEnd RunChild(const std::function<void()>& body, const std::string& stepFile, long killAtStep,
                  Observer* observer) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return ChildEnd{};
  if (pid == 0) {
    ::alarm(kChildSeconds);
    if (!stepFile.empty()) {
      stepFd = ::open(stepFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
      killAt = killAtStep;
      stepCount = 0;
      SetWriteHook(&RecordAndKill);
    }
    int code = 0;
    try {
      body();
    } catch (...) {
      code = 3;
    }
    SetWriteHook(nullptr);
    // No exit handlers: the leak check and the test framework belong to the
    // parent.
    ::_exit(code);
  }
  if (observer != nullptr) observer->Start();
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ChildEnd end;
  if (WIFEXITED(status)) end.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    end.killed = WTERMSIG(status) == SIGKILL;
    if (!end.killed) end.signal = WTERMSIG(status);
  }
  return end;
}

std::vector<WriteStepSeen> ReadSteps(const std::string& file) {
  std::vector<WriteStepSeen> steps;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    int site = 0;
    int kind = 0;
    fields >> site >> kind;
    std::string path;
    std::getline(fields, path);
    if (!path.empty() && path.front() == ' ') path.erase(0, 1);
    steps.push_back(
        WriteStepSeen{static_cast<WriteSite>(site), static_cast<WriteKind>(kind), std::move(path)});
  }
  return steps;
}

// The folder of a scenario's runs: its world, made afresh for every run at
// the same path, and the record of a run's steps. Under /dev/shm where there is one: the flushes of
// thousands of passes cost nothing there, and a kill (unlike a power cut) loses nothing that
// reached the page cache anyway, so the crash points are the same.
class RunFolder {
 public:
  RunFolder() {
    const fs::path base =
        ::access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "zfcrash-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    fs::create_directory(world());
  }
  ~RunFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;

  std::string world() const { return path_ + "/world"; }
  // Empties the world for the next run.
  void Clear() const {
    std::error_code ec;
    fs::remove_all(world(), ec);
    fs::create_directory(world());
  }
  std::string steps() const { return path_ + "/steps"; }

 private:
  std::string path_;
};

std::string EndText(const ChildEnd& end) {
  if (end.killed) return "was killed";
  if (end.signal != 0) return "ended by signal " + std::to_string(end.signal);
  return "exited with " + std::to_string(end.exitCode);
}

std::string Normal(const std::string& path) {
  return fs::path(path).lexically_normal().string();
}

std::string FolderOf(const std::string& path) {
  return fs::path(Normal(path)).parent_path().string();
}

}  // namespace

std::string Describe(const WriteStepSeen& step) {
  return std::string(WriteSiteName(step.site)) + " " + std::string(WriteKindName(step.kind)) + " " +
         step.path;
}

Findings CheckDurabilityOrder(const std::vector<WriteStepSeen>& steps, const Ledger& ledger,
                              const Places& places) {
  Findings findings;
  // Where each input's content stands at the end: its copies.
  std::map<std::string, std::vector<std::string>> copiesOf;
  std::map<std::string, const Ledger::Input*> byName;
  for (const Ledger::Input& input : ledger.inputs()) byName[input.name] = &input;
  for (const auto* folders : {&places.outputs, &places.errors}) {
    for (const std::string& folder : *folders) {
      std::error_code ec;
      for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end;
           it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        copiesOf[HashFile(it->path().string())].push_back(Normal(it->path().string()));
      }
    }
  }
  std::set<std::string> inputFolders;
  for (const auto* folders : {&places.inputs, &places.ftpTemp}) {
    for (const std::string& folder : *folders) inputFolders.insert(Normal(folder));
  }

  // The last flush of each file, rename to it and flush of its folder after
  // that rename, by step index, for the file operations and the FTP fetch.
  std::map<std::string, std::size_t> fileFlushed, renamed, folderFlushed;
  std::map<std::string, std::size_t> fetchFlushed, fetchRenamed, fetchFolderFlushed;
  std::map<std::string, std::string> renamedInto;
  const auto before = [](const std::map<std::string, std::size_t>& seen, const std::string& key,
                         std::size_t limit, std::size_t after = 0) {
    const auto it = seen.find(key);
    return it != seen.end() && it->second < limit && it->second >= after;
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const WriteStepSeen& step = steps[i];
    const std::string path = Normal(step.path);
    const std::string name = fs::path(path).filename().string();
    if (step.site == WriteSite::kFileOps) {
      if (step.kind == WriteKind::kSyncFile) fileFlushed[path] = i;
      if (step.kind == WriteKind::kRename) renamed[path] = i;
      // A group's copies share one flush of their folder, shown on one of them.
      if (step.kind == WriteKind::kSyncFolder) folderFlushed[FolderOf(path)] = i;
      if (step.kind != WriteKind::kDelete || inputFolders.count(FolderOf(path)) == 0) continue;
      const auto input = byName.find(name);
      if (input == byName.end() || !input->second->pageHashes.empty()) continue;
      const std::vector<std::string>& copies = copiesOf[input->second->hash];
      if (copies.empty() && !input->second->mayVanish) {
        findings.Add("order: " + name + " was deleted, and no copy of it is anywhere");
      }
      for (const std::string& copy : copies) {
        const bool inOrder = before(fileFlushed, copy, i) && before(renamed, copy, i) &&
                             before(folderFlushed, FolderOf(copy), i, renamed[copy]) &&
                             fileFlushed[copy] < renamed[copy];
        if (!inOrder) {
          findings.Add("order: " + name + " was deleted (step " + std::to_string(i + 1) +
                       ") before its copy " + copy +
                       " was flushed, renamed into place and its folder flushed");
        }
      }
    } else if (step.site == WriteSite::kFtp) {
      if (step.kind == WriteKind::kSyncFile && name.size() > 22 && name.ends_with(".part")) {
        // The temporary name ".zf-<16 hex>-<name>.part" says whose copy it is.
        fetchFlushed[name.substr(21, name.size() - 21 - 5)] = i;
      }
      if (step.kind == WriteKind::kRename) {
        fetchRenamed[name] = i;
        renamedInto[name] = FolderOf(path);
      }
      // A group's fetches share one folder flush, shown on one of its files.
      if (step.kind == WriteKind::kSyncFolder) fetchFolderFlushed[FolderOf(path)] = i;
      if (step.kind == WriteKind::kDelete && step.path.starts_with("ftp:")) {
        const std::string remote = step.path.substr(4);
        const bool inOrder =
            before(fetchFlushed, remote, i) && before(fetchRenamed, remote, i) &&
            before(fetchFolderFlushed, renamedInto[remote], i, fetchRenamed[remote]) &&
            fetchFlushed[remote] < fetchRenamed[remote];
        if (!inOrder) {
          findings.Add("order: " + remote +
                       " was deleted on the server before its local copy was flushed, renamed "
                       "into place and its folder flushed");
        }
      }
    }
  }
  return findings;
}

CrashReport RunCrashPoints(const CrashScenario& scenario, int stride) {
  CrashReport report;
  const auto violation = [&](long n, const std::string& what) {
    report.violations.push_back(scenario.name + ", crash point " + std::to_string(n) + " of " +
                                std::to_string(report.steps + 1) + ": " + what);
  };

  const RunFolder run;
  const std::string root = run.world();
  if (scenario.prepare) scenario.prepare(root);

  // The reference pass: no kill; its steps are counted and their order judged.
  PageHashes pages;
  {
    Ledger ledger;
    Places places;
    scenario.make(root, pages, ledger, places);
    const ChildEnd end = RunChild([&] { scenario.pass(root); }, run.steps(), 0, nullptr);
    const std::vector<WriteStepSeen> steps = ReadSteps(run.steps());
    report.steps = static_cast<int>(steps.size());
    if (end.exitCode != 0) violation(0, "the uninterrupted pass " + EndText(end));
    if (steps.empty()) violation(0, "the pass took no write step at all");
    if (scenario.learnPages) {
      pages = scenario.learnPages(root);
      // The same inputs with their pages, for judging the order.
      const RunFolder other;
      Ledger withPages;
      Places unused;
      scenario.make(other.world(), pages, withPages, unused);
      ledger = withPages;
    }
    Findings order = CheckDurabilityOrder(steps, ledger, places);
    const ChildEnd again = RunChild([&] { scenario.restart(root); }, {}, 0, nullptr);
    if (again.exitCode != 0) violation(0, "the restart " + EndText(again));
    order.Merge(CheckAll(ledger, places));
    if (!order.ok()) violation(0, "without a crash:\n" + order.Text());
  }

  // Every stride-th step, and one past the last: a kill after everything.
  std::vector<long> points;
  for (long n = 1; n <= report.steps; n += std::max(stride, 1)) points.push_back(n);
  points.push_back(report.steps + 1);
  for (const long n : points) {
    run.Clear();
    Ledger ledger;
    Places places;
    scenario.make(root, pages, ledger, places);
    Observer observer(ledger, places);
    const ChildEnd end = RunChild([&] { scenario.pass(root); }, run.steps(), n, &observer);
    Findings findings = observer.Stop();
    report.observerRounds += observer.rounds();
    const std::vector<WriteStepSeen> steps = ReadSteps(run.steps());
    const bool reached = static_cast<long>(steps.size()) >= n;
    const std::string at = reached ? Describe(steps[static_cast<std::size_t>(n - 1)])
                                   : std::string("none (the pass ended first)");
    // A pass that takes another number of steps each time would make the
    // points meaningless.
    if (reached != end.killed) {
      findings.Add("the pass " + EndText(end) + " after " + std::to_string(steps.size()) +
                   " steps");
    }
    const ChildEnd again = RunChild([&] { scenario.restart(root); }, {}, 0, nullptr);
    if (again.exitCode != 0) findings.Add("the restart " + EndText(again));
    findings.Merge(CheckAll(ledger, places));
    ++report.points;
    ++report.pointsBySite[reached ? std::string(WriteSiteName(steps[n - 1].site))
                                  : std::string("after the last step")];
    if (!findings.ok()) violation(n, "killed before " + at + "\n" + findings.Text());
  }
  return report;
}

}  // namespace zf::fault
