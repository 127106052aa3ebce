// The write-path hook must see every system call that changes our folders:
// the in-process crash points can only stop the program where the hook is
// called. The service logs each hook step by a write of its own (on the same
// thread, so strace records it in order among the calls), and every call
// that changes a file in the scenario's folders must come after a step for
// that path (or for a file in that folder, for a folder flush).

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "invariants.h"
#include "stracescenarios.h"
#include "straceservice.h"

namespace zf::fault {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The calls that change the disk. An open changes nothing unless it creates
// or truncates (the log's append opens a file that may not be there yet):
// the writes after it are what must be announced.
bool Changes(const TracedCall& c) {
  static const std::set<std::string> always{
      "write",   "pwrite64", "copy_file_range", "fsync",     "fdatasync", "sync_file_range",
      "syncfs",  "rename",   "renameat",        "renameat2", "link",      "linkat",
      "unlink",  "unlinkat", "utimensat",       "ftruncate", "fallocate", "mkdir",
      "mkdirat", "rmdir"};
  if (c.name == "openat") {
    return c.line.find("O_CREAT") != std::string::npos ||
           c.line.find("O_TRUNC") != std::string::npos;
  }
  return always.count(c.name) > 0;
}

// The paths under `root` a call names or works on (its arguments only).
std::vector<std::string> PathsIn(const TracedCall& c, const std::string& root) {
  static const std::regex path(R"re("(/[^"]*)"|<(/[^>]*)>)re");
  std::vector<std::string> paths;
  const std::string args = c.line.substr(0, c.line.rfind(") = "));
  for (std::sregex_iterator it(args.begin(), args.end(), path), end; it != end; ++it) {
    std::string p = (*it)[1].matched ? (*it)[1].str() : (*it)[2].str();
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p.rfind(root + "/", 0) == 0) paths.push_back(p);
  }
  return paths;
}

struct Coverage {
  int calls = 0;  // changing calls on our folders
  int steps = 0;
  std::vector<std::string> unseen;  // calls no step came before
};

Coverage Compare(const Trace& trace, const std::string& root, const std::string& stepLog) {
  static const std::regex step(R"re("zf-step ([^|]*)\|([^"\\]*)\\n")re");
  Coverage cov;
  std::set<std::string> announced;
  for (const TracedCall& c : trace.calls) {
    if (c.line.find("<" + stepLog + ">") != std::string::npos) {
      std::smatch m;
      if (c.name == "write" && std::regex_search(c.line, m, step)) {
        ++cov.steps;
        std::string p = m[2];
        while (p.size() > 1 && p.back() == '/') p.pop_back();
        announced.insert(p);
        announced.insert(fs::path(p).parent_path().string());
      }
      continue;
    }
    if (!c.ours || !Changes(c)) continue;
    const std::vector<std::string> paths = PathsIn(c, root);
    if (paths.empty()) continue;
    ++cov.calls;
    bool seen = false;
    for (const std::string& p : paths) seen = seen || announced.count(p) > 0;
    if (!seen) cov.unseen.push_back(c.Signature());
  }
  return cov;
}

TEST(StraceHook, EveryCallThatChangesOurFoldersFollowsAHookStepForItsPath) {
  if (!fs::exists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed (scripts/setup)";
  for (const Scenario& sc : Scenarios()) {
    if (sc.traced != Traced::kWorker) continue;
    SCOPED_TRACE(sc.name);
    ServiceBench bench;
    Case setup;
    sc.build(bench, setup, {});
    const std::string stepLog = bench.root() + "/steps.log";
    Trace trace;
    {
      TracedService service(bench, Traced::kWorker, "", {"ZF_WRITE_STEP_LOG=" + stepLog},
                            {"-s", "4096"});
      ASSERT_TRUE(service.attached());
      service.WaitPassesOrEnd(1, 60s);
      service.Detach();
      ASSERT_EQ(service.Stop(), 0) << service.Err();
      trace = service.ReadCalls();
    }
    const Coverage cov = Compare(trace, bench.root(), stepLog);
    EXPECT_GT(cov.calls, 0);
    EXPECT_GT(cov.steps, 0);
    // The split pages are written, flushed and published inside the run-time
    // library, out of the hook's sight; the kills under strace cover them.
    static const std::regex library(
        R"(^(openat|write|fsync|rename)( <root>/out(/(\.zf-X-)?SPO_\d+\.pdf(\.part)?)?)+$)");
    const bool splits = sc.name.rfind("split", 0) == 0;
    std::string unseen;
    int inLibrary = 0;
    for (const std::string& u : cov.unseen) {
      if (splits && std::regex_match(u, library)) {
        ++inLibrary;
      } else {
        unseen += "  " + u + "\n";
      }
    }
    std::printf(
        "%s: %d changing calls on our folders, %d hook steps; without a step: %d in the "
        "splitter, %zu elsewhere\n%s",
        sc.name.c_str(), cov.calls, cov.steps, inLibrary, cov.unseen.size() - inLibrary,
        unseen.c_str());
    EXPECT_EQ(unseen, "");
    if (splits) {
      EXPECT_GT(inLibrary, 0) << "the splitter's page writes were not in the trace";
    }
  }
}

}  // namespace
}  // namespace zf::fault
