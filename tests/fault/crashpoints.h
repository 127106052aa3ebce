#pragma once

// Crash points through the write-path hook: a scenario's pass runs in a child
// process that kills itself just before its Nth write step, for every N of
// the pass; the program is then started again (its clean-up and one more
// pass, in a second child) and the checks of invariants.h judge what is left.
// While the first child runs, an Observer reads every file under a final name
// in its output and error folders.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "invariants.h"
#include "platform/writehook.h"

namespace zf::fault {

// One write step as the hook saw it.
struct WriteStepSeen {
  WriteSite site;
  WriteKind kind;
  std::string path;
};
// "log file rename /tmp/.../q.log", for messages.
std::string Describe(const WriteStepSeen& step);

// The pages of each split input, by input name, as a reference run left them.
using PageHashes = std::map<std::string, std::vector<std::string>>;

struct CrashScenario {
  std::string name;
  // Makes the folders and files of one run under `root` and says what goes
  // in: `pages` is empty for the reference run, then what `learnPages` found.
  std::function<void(const std::string& root, const PageHashes& pages, Ledger& ledger,
                     Places& places)>
      make;
  // Builds, once and in the parent, what the passes are lent (tables,
  // engine, writers): every child inherits it untouched at its fork, so a
  // pass starts from the same state each time without paying for it. May be
  // empty. `root` is the same for every run of the scenario.
  std::function<void(const std::string& root)> prepare;
  // One pass of the real code; runs in the child that is killed.
  std::function<void(const std::string& root)> pass;
  // What the program does when it starts again: its start-up clean-up and
  // one more pass. Runs in a second child, without the hook.
  std::function<void(const std::string& root)> restart;
  // For scenarios that split: the pages each input gave in the reference run.
  std::function<PageHashes(const std::string& root)> learnPages;
};

struct CrashReport {
  int steps = 0;                            // write steps of an uninterrupted pass
  int points = 0;                           // crash points run (each step and one past the last)
  std::map<std::string, int> pointsBySite;  // by the site of the step killed at
  std::uint64_t observerRounds = 0;         // how often the folders were read while killed runs ran
  std::vector<std::string> violations;
};

// Runs the pass once without a kill to count its steps and check the order of
// durability, then kills it at every `stride`th step (1: every step) and one
// past the last.
CrashReport RunCrashPoints(const CrashScenario& scenario, int stride = 1);

// What the order of the steps must show: an input is deleted only after the
// copy that holds its content (found by content in `places`) was flushed,
// renamed into place and its folder flushed; a file on the FTP server only
// after its local copy was flushed, renamed and its folder flushed. Inputs
// delivered as pages are written by the expression library, out of the
// hook's sight, and are not judged here.
Findings CheckDurabilityOrder(const std::vector<WriteStepSeen>& steps, const Ledger& ledger,
                              const Places& places);

}  // namespace zf::fault
