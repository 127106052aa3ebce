#pragma once

// The scenarios the real program is run through under strace, each with the
// places and ledger its runs are judged by.

#include <functional>
#include <string>
#include <vector>

#include "invariants.h"
#include "straceservice.h"

namespace zf::fault {

// What a scenario judges its runs by.
struct Case {
  Ledger ledger;
  Places places;
  // Every input has left its input folder after the restart's pass.
  bool allDelivered = true;
  // Lines of an earlier log that must survive its renewal somewhere in the
  // log folder.
  std::vector<std::string> keptLogLines;
};

struct Scenario {
  std::string name;
  Traced traced;
  // Builds folders, configuration and inputs; `pages` are the fingerprints
  // of the split pages (empty in the first run, which learns them).
  std::function<void(ServiceBench&, Case&, const std::vector<std::string>& pages)> build;
};

// Copies with a CSV and with an XML log, unresolved files to the error
// folder, PDF splits with and without an error folder, log renewal at start
// and at the entry limit, the configuration saved at close.
std::vector<Scenario> Scenarios();

}  // namespace zf::fault
