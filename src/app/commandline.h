#pragma once

#include <string>
#include <vector>

#include "platform/result.h"

namespace zf::app {

// What the program was asked to do. Exactly one mode per run.
enum class Mode {
  kWindow,       // no mode given: open the window
  kHelp,         // --help
  kVersion,      // --version
  kShowPaths,    // --show-paths
  kHeadless,     // --headless: serve the queues until SIGINT or SIGTERM
  kTestRule,     // --test-rule QUEUE FILENAME [--explain]
  kCheckConfig,  // --check-config
  kInitDemo,     // --init-demo DIR
  kStatus,       // --status: the running instance's queue status table
};

struct CommandLine {
  Mode mode = Mode::kWindow;
  std::string configDir;  // empty: the program's own folder
  bool verbose = false;   // headless: engine notifications on standard error
  std::string queue;      // --test-rule
  std::string fileName;   // --test-rule
  bool explain = false;   // --test-rule: every rule against the name, not only the result
  std::string demoDir;    // --init-demo
};

// Reads the arguments after the program name. A usage error (unknown option,
// missing value, two modes) comes back as an error whose message is meant for
// standard error; the caller exits with status 2.
Result<CommandLine> ParseCommandLine(const std::vector<std::string>& args);

// The usage text, with the program's version.
std::string UsageText();

}  // namespace zf::app
