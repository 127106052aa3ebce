#include "commandline.h"

namespace zf::app {
namespace {

Status UsageError(const std::string& message) {
  return Status::Error(message, 2);
}

}  // namespace

std::string UsageText() {
  return std::string("Zentrafold ") + ZF_VERSION +
         " - hot-folder renaming service\n"
         "\n"
         "Usage: zentrafold [--config-dir DIR] [MODE]\n"
         "\n"
         "Without a mode the window opens (a display is needed).\n"
         "Modes:\n"
         "  --headless               serve the configured queues until SIGINT or SIGTERM;\n"
         "                           every result is printed as one line on standard output\n"
         "  --test-rule QUEUE NAME   show what the queue's rules make of the file name NAME;\n"
         "                           with --explain: every rule's match, groups and name,\n"
         "                           the masks and the output folder\n"
         "  --check-config           report what would keep each queue from working\n"
         "  --init-demo DIR          create a demo workspace with one queue in DIR\n"
         "  --status                 print the queue status table of the instance running\n"
         "                           on the configuration (exit status 3: none runs)\n"
         "  --show-paths             print the full paths of the three configuration files\n"
         "  --version, --help\n"
         "\n"
         "Options:\n"
         "  --config-dir DIR  folder of Zentrafold.ini, the general settings file and\n"
         "                    dbconnect.ini (default: the program's own folder)\n"
         "  --verbose         with --headless: cycle and queue activity on standard error\n";
}

Result<CommandLine> ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  bool modeGiven = false;
  auto setMode = [&](Mode mode, const std::string& arg) -> Status {
    if (modeGiven && cl.mode != mode)
      return UsageError("'" + arg + "' cannot be combined with another mode");
    modeGiven = true;
    cl.mode = mode;
    return Status::Ok();
  };
  // The values of an option: the next arguments, which must be there and
  // must not be empty (an empty folder would silently mean the current one).
  std::size_t i = 0;
  auto takeValue = [&](const std::string& option, std::string& into) -> Status {
    if (i + 1 >= args.size() || args[i + 1].empty()) {
      return UsageError(option + " needs " +
                        (option == "--config-dir" || option == "--init-demo"
                             ? std::string("a folder")
                             : std::string("a queue name and a file name")));
    }
    into = args[++i];
    return Status::Ok();
  };

  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    Status st;
    if (arg == "--version") {
      st = setMode(Mode::kVersion, arg);
    } else if (arg == "--help" || arg == "-h") {
      st = setMode(Mode::kHelp, arg);
    } else if (arg == "--show-paths") {
      st = setMode(Mode::kShowPaths, arg);
    } else if (arg == "--headless") {
      st = setMode(Mode::kHeadless, arg);
    } else if (arg == "--status") {
      st = setMode(Mode::kStatus, arg);
    } else if (arg == "--check-config") {
      st = setMode(Mode::kCheckConfig, arg);
    } else if (arg == "--explain") {
      cl.explain = true;
    } else if (arg == "--verbose" || arg == "-v") {
      cl.verbose = true;
    } else if (arg == "--config-dir") {
      st = takeValue(arg, cl.configDir);
    } else if (arg.rfind("--config-dir=", 0) == 0 && arg.size() > 13) {
      cl.configDir = arg.substr(13);
    } else if (arg == "--init-demo") {
      st = setMode(Mode::kInitDemo, arg);
      if (st.ok()) st = takeValue(arg, cl.demoDir);
    } else if (arg == "--test-rule") {
      st = setMode(Mode::kTestRule, arg);
      if (st.ok()) st = takeValue(arg, cl.queue);
      if (st.ok()) st = takeValue(arg, cl.fileName);
    } else {
      st = UsageError("unknown option '" + arg + "'");
    }
    if (!st.ok()) return st;
  }
  if (cl.verbose && cl.mode != Mode::kHeadless) {
    return UsageError("--verbose applies to --headless only");
  }
  if (cl.explain && cl.mode != Mode::kTestRule) {
    return UsageError("--explain applies to --test-rule only");
  }
  return cl;
}

}  // namespace zf::app
