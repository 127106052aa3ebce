// The command-line entry of Zentrafold. The service itself is not wired up yet:
// this binary only tells its version and usage, and says so.
#include <cstdio>
#include <cstring>

namespace {

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Zentrafold %s - hot-folder renaming service\n"
               "\n"
               "Usage: zentrafold [--version] [--help] [--config-dir DIR]\n"
               "\n"
               "  --config-dir DIR  folder of Zentrafold.ini, the general settings file and\n"
               "                    dbconnect.ini (default: the program's own folder)\n"
               "\n"
               "The polling service is not part of this build yet; it only reports its\n"
               "version and usage.\n",
               ZF_VERSION);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("zentrafold %s\n", ZF_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      PrintUsage(stdout);
      return 0;
    }
  }
  PrintUsage(stdout);
  return 0;
}
