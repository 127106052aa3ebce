// The plain-test form of a fuzz target: runs LLVMFuzzerTestOneInput over every
// file of the seed corpus folders given on the command line, each file one
// case, and with --variations N also over N deterministic mutations of each
// file (cuts, changed and dropped bytes), so that a normal test run exercises
// more than the seeds themselves. When a case fails (a broken property
// aborts, a sanitizer reports), the case is named on stderr and its bytes are
// left in fuzz-failure-<target> in the current folder for replay.
//
//   <target>_fuzz_test [--variations N] corpus-folder-or-file...

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" __attribute__((weak)) void __sanitizer_set_death_callback(void (*callback)());

namespace {

// What runs now, for the report of a failing case; written before each case
// so that the signal handler and the sanitizer's death callback only read.
char g_case[512];
char g_failureFile[256];
const std::string* g_input = nullptr;

void WriteAll(int fd, const char* text, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, text, size);
    if (n <= 0) return;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Async-signal-safe: only write(2) and open(2).
void ReportFailingCase() {
  static const char kPrefix[] = "\nfailing case: ";
  WriteAll(2, kPrefix, sizeof kPrefix - 1);
  WriteAll(2, g_case, std::strlen(g_case));
  static const char kSaved[] = "\nits bytes: ";
  WriteAll(2, kSaved, sizeof kSaved - 1);
  WriteAll(2, g_failureFile, std::strlen(g_failureFile));
  WriteAll(2, "\n", 1);
  if (g_input != nullptr) {
    const int fd = open(g_failureFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      WriteAll(fd, g_input->data(), g_input->size());
      close(fd);
    }
  }
}

void OnFatalSignal(int sig) {
  ReportFailingCase();
  signal(sig, SIG_DFL);
  raise(sig);
}

void SetCase(const std::string& name) {
  std::snprintf(g_case, sizeof g_case, "%s", name.c_str());
}

int Run(const std::string& input) {
  g_input = &input;
  return LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A small change of `seed`, as a mutating fuzzer would make it: bytes set to
// random or to characters that separate fields, runs dropped or repeated.
std::string Vary(const std::string& seed, std::mt19937& random) {
  static const std::string kSpecials = " \t\r\n\"';=[]/\\:.-,*?0123456789AaPpMm%<>";
  std::string variant = seed;
  if (variant.empty()) variant = " ";
  const int changes = 1 + static_cast<int>(random() % 4);
  for (int c = 0; c < changes && !variant.empty(); ++c) {
    const std::size_t at = random() % variant.size();
    switch (random() % 5) {
      case 0:
        variant[at] = static_cast<char>(random() % 256);
        break;
      case 1:
        variant[at] = kSpecials[random() % kSpecials.size()];
        break;
      case 2:
        variant.erase(at, 1 + random() % 8);
        break;
      case 3:
        variant.insert(at, variant.substr(at, 1 + random() % 16));
        break;
      default:
        variant.resize(at);
        break;
    }
  }
  return variant;
}

}  // namespace

int main(int argc, char** argv) {
  long variations = 0;
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--variations" && i + 1 < argc) {
      variations = std::strtol(argv[++i], nullptr, 10);
      continue;
    }
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
    } else if (std::filesystem::is_regular_file(arg, ec)) {
      files.push_back(arg);
    } else {
      std::fprintf(stderr, "no such corpus file or folder: %s\n", arg.c_str());
      return 2;
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "empty seed corpus: nothing was tested\n");
    return 2;
  }
  std::sort(files.begin(), files.end());

  const std::string target = std::filesystem::path(argv[0]).filename().string();
  std::snprintf(g_failureFile, sizeof g_failureFile, "fuzz-failure-%s", target.c_str());
  signal(SIGABRT, OnFatalSignal);
  signal(SIGSEGV, OnFatalSignal);
  signal(SIGFPE, OnFatalSignal);
  if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(ReportFailingCase);
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);

  long runs = 0;
  for (std::size_t f = 0; f < files.size(); ++f) {
    const std::string seed = ReadAll(files[f]);
    SetCase(files[f].string());
    Run(seed);
    ++runs;
    std::mt19937 random(static_cast<std::uint32_t>(20240501 + f));
    for (long v = 0; v < variations; ++v) {
      const std::string variant = Vary(seed, random);
      SetCase(files[f].string() + " (variation " + std::to_string(v + 1) + ")");
      Run(variant);
      ++runs;
    }
  }
  SetCase("none: the program's exit");
  g_input = nullptr;
  std::printf("%zu corpus files, %ld inputs: all properties held\n", files.size(), runs);
  return 0;
}
