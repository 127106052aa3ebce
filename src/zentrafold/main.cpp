// The command-line entry of Zentrafold: the headless service and the tools
// around it (rule test, configuration check, demo workspace).
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "checkconfig.h"
#include "commandline.h"
#include "configuration.h"
#include "demo.h"
#include "exprlib/loadedexpressionlibrary.h"
#include "platform/fileaccess.h"
#include "platform/files.h"
#include "runwindow.h"
#include "service.h"
#include "statussocket.h"
#include "testrule.h"

namespace {

// SIGUSR1 asks a running program for its status table, and by default it ends
// a process. It is blocked in a pre-initialiser: the earliest code a program
// runs, before the initialisers of any library it links. One sent during
// start-up then waits for the service (sigwait) or the window (a handler)
// instead of killing the program; the other modes never take it.
void BlockStatusSignal(int, char**, char**) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  sigprocmask(SIG_BLOCK, &set, nullptr);
}
[[gnu::section(".preinit_array"),
  gnu::used]] void (*blockStatusSignal)(int, char**, char**) = &BlockStatusSignal;

using namespace zf;
using namespace zf::app;

class CollectedMessages final : public LoadMessageSink {
 public:
  void ShowInformation(const std::string& text) override { texts.push_back(text); }
  std::vector<std::string> texts;
};

int ShowPaths(const CommandLine& cl) {
  const auto paths = ConfigPaths::ForThisProgram(cl.configDir);
  if (!paths.ok()) {
    PrintError(paths.status().message());
    return 1;
  }
  std::printf("Queue configuration file: %s\n", paths->queueFile.c_str());
  std::printf("General settings file:    %s\n", paths->settingsFile.c_str());
  std::printf("Database connection file: %s\n", paths->dbconnectFile.c_str());
  return 0;
}

int CheckConfig(const CommandLine& cl) {
  const auto paths = ResolveConfigPaths(cl.configDir);
  if (!paths.ok()) {
    PrintError(paths.status().message());
    return 2;
  }
  Configuration config(*paths);
  const std::vector<std::string> loadMessages = config.Load();

  CollectedMessages libraryMessages;
  auto library = LoadedExpressionLibrary::LoadFromProgramFolder(libraryMessages);
  SystemFileAccess files;
  ConfigReport report = CheckConfiguration(config.table(), loadMessages, library.get(), files);
  std::vector<std::string> problems;
  if (!library->load_error().empty()) {
    problems.push_back("expression library: " + library->load_error());
  }
  for (const std::string& m : libraryMessages.texts) problems.push_back("expression library: " + m);
  problems.insert(problems.end(), report.problems.begin(), report.problems.end());

  std::printf("Checked %s (%d queue(s)) and %s\n", paths->queueFile.c_str(),
              config.table().Nfolders(), paths->settingsFile.c_str());
  for (const std::string& p : problems) std::printf("%s\n", p.c_str());
  for (const std::string& n : report.notes) std::printf("note: %s\n", n.c_str());
  if (problems.empty()) {
    std::printf("No problems found.\n");
    return 0;
  }
  std::printf("%zu problem(s) found.\n", problems.size());
  return 1;
}

int TestRuleCommand(const CommandLine& cl) {
  const auto paths = ResolveConfigPaths(cl.configDir);
  if (!paths.ok()) {
    PrintError(paths.status().message());
    return kUsageOrConfigError;
  }
  Configuration config(*paths);
  for (const std::string& m : config.Load()) PrintError(m);
  StderrMessages messages;
  auto library = LoadedExpressionLibrary::LoadFromProgramFolder(messages);
  SystemFileAccess files;
  const RuleTestOutcome outcome =
      cl.explain ? ExplainRule(config.table(), *library, files, cl.queue, cl.fileName)
                 : TestRule(config.table(), *library, cl.queue, cl.fileName);
  if (outcome.status == kUsageOrConfigError) {
    PrintError(outcome.text);
  } else {
    std::fputs(outcome.text.c_str(), stdout);
  }
  return outcome.status;
}

int InitDemoCommand(const CommandLine& cl) {
  const auto program = ProgramFilePath();
  if (!program.ok()) {
    PrintError(program.status().message());
    return 1;
  }
  const auto demo = InitDemo(cl.demoDir, *program);
  if (!demo.ok()) {
    PrintError(demo.status().message());
    return 1;
  }
  std::fputs(DescribeDemo(*demo).c_str(), stdout);
  std::printf("Start it with: %s --headless --config-dir %s\n", program->c_str(),
              demo->folder.c_str());
  return 0;
}

int StatusCommand(const CommandLine& cl) {
  const auto paths = ResolveConfigPaths(cl.configDir);
  if (!paths.ok()) {
    PrintError(paths.status().message());
    return 2;
  }
  const std::string folder = std::filesystem::path(paths->queueFile).parent_path().string();
  const Result<std::string> table = AskStatus(folder);
  if (!table.ok()) {
    const int code = table.status().code();
    if (code == ENOENT || code == ECONNREFUSED) {
      PrintError("no instance is running on " + folder);
      return kNoInstance;
    }
    PrintError(table.status().message());
    return 1;
  }
  std::fputs(table->c_str(), stdout);
  return 0;
}

int Run(const CommandLine& cl) {
  switch (cl.mode) {
    case Mode::kVersion:
      std::printf("zentrafold %s\n", ZF_VERSION);
      return 0;
    case Mode::kWindow:
      return ui::RunWindow(cl.configDir);
    case Mode::kHelp:
      std::fputs(UsageText().c_str(), stdout);
      return 0;
    case Mode::kShowPaths:
      return ShowPaths(cl);
    case Mode::kCheckConfig:
      return CheckConfig(cl);
    case Mode::kTestRule:
      return TestRuleCommand(cl);
    case Mode::kInitDemo:
      return InitDemoCommand(cl);
    case Mode::kHeadless:
      return RunService(cl);
    case Mode::kStatus:
      return StatusCommand(cl);
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const auto parsed = ParseCommandLine(args);
  if (!parsed.ok()) {
    PrintError(parsed.status().message());
    std::fprintf(stderr, "\n%s", UsageText().c_str());
    return 2;
  }
  try {
    return Run(*parsed);
  } catch (const std::exception& e) {
    // Only what cannot be carried on with comes here (no memory, no thread).
    PrintError(e.what());
    return 1;
  }
}
