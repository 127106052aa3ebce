// The command-line entry of Zentrafold. The service itself is not wired up yet:
// this binary tells its version and usage and where its configuration files
// are, and says so.
#include <cstdio>
#include <cstring>
#include <string>

#include "config/configpaths.h"

namespace {

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Zentrafold %s - hot-folder renaming service\n"
               "\n"
               "Usage: zentrafold [--version] [--help] [--config-dir DIR] [--show-paths]\n"
               "\n"
               "  --config-dir DIR  folder of Zentrafold.ini, the general settings file and\n"
               "                    dbconnect.ini (default: the program's own folder)\n"
               "  --show-paths      print the full paths of the three configuration files\n"
               "\n"
               "The polling service is not part of this build yet; it only reports its\n"
               "version, usage and configuration files.\n",
               ZF_VERSION);
}

}  // namespace

int main(int argc, char** argv) {
  std::string configDir;
  bool showPaths = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--version") == 0) {
      std::printf("zentrafold %s\n", ZF_VERSION);
      return 0;
    }
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      PrintUsage(stdout);
      return 0;
    }
    if (std::strcmp(arg, "--show-paths") == 0) {
      showPaths = true;
    } else if (std::strcmp(arg, "--config-dir") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fprintf(stderr, "zentrafold: --config-dir needs a folder\n");
        return 2;
      }
      configDir = argv[++i];
    } else if (std::strncmp(arg, "--config-dir=", 13) == 0 && arg[13] != '\0') {
      configDir = arg + 13;
    } else {
      std::fprintf(stderr, "zentrafold: unknown option '%s'\n\n", arg);
      PrintUsage(stderr);
      return 2;
    }
  }

  if (showPaths) {
    const auto paths = zf::ConfigPaths::ForThisProgram(configDir);
    if (!paths.ok()) {
      std::fprintf(stderr, "zentrafold: %s\n", paths.status().message().c_str());
      return 1;
    }
    std::printf("Queue configuration file: %s\n", paths->queueFile.c_str());
    std::printf("General settings file:    %s\n", paths->settingsFile.c_str());
    std::printf("Database connection file: %s\n", paths->dbconnectFile.c_str());
    return 0;
  }
  PrintUsage(stdout);
  return 0;
}
