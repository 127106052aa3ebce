// The engine's per-pass work on a full file table (999 files), measured
// against what the same work costs written as a plain POSIX loop in the same
// run, and the ignore-mask matcher measured against fnmatch.
//
// Discovery + stability: one listing with one look-up per entry, then one
// look-up per file after the stable wait. The plain loop does exactly the
// same calls (readdir, stat per entry, stat per file again), so the ratio
// shows the engine's own overhead: mask tests, file times in local FAT form,
// the file table and the guard asked after every file.
//
// Masks: 999 names against 100 ignore masks, none of which fits, so every
// name is tried against every mask (the worst case of a pass).
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>
#include "benchreport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/discovery.h"
#include "engine/masks.h"
#include "engine/renamethread.h"

namespace {

constexpr int kFiles = 999;
constexpr int kMasks = 100;

std::string g_folder;  // holds kFiles files
std::vector<std::string> g_names;
std::string g_ignoremask;  // kMasks masks joined by ";"
std::vector<std::string> g_masks;

class StillClock : public zf::Clock {
 public:
  zf::TDateTime Now() override { return zf::EncodeDateTime(2025, 1, 1); }
  void SleepMs(int) override {}
};

// Just enough of a host for the engine's guard to ask the table.
class BenchHost : public zf::EngineHost {
 public:
  bool SwitchedOn() override { return true; }
  int BrowseTime() override { return 10; }
  int StableTime() override { return 10; }
  zf::QueueTable& Queues() override { return table; }
  void CycleProgress(int) override {}
  void CycleProgressFull() override {}
  void QueueIconChanged(int, zf::QueueIcon) override {}
  void RefreshQueueList() override {}
  void FtpProgress(int) override {}
  zf::QueueTable table;
};

void PlainDiscoverAndCheck(benchmark::State& state) {
  struct Entry {
    std::string name;
    off_t size;
    timespec mtime;
  };
  for (auto _ : state) {
    std::vector<Entry> entries;
    entries.reserve(kFiles);
    DIR* dir = opendir(g_folder.c_str());
    while (const dirent* d = readdir(dir)) {
      struct stat st;
      const std::string path = g_folder + "/" + d->d_name;
      if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        entries.push_back({d->d_name, st.st_size, st.st_mtim});
      }
    }
    closedir(dir);
    int ready = 0;
    for (const Entry& e : entries) {
      struct stat st;
      const std::string path = g_folder + "/" + e.name;
      if (stat(path.c_str(), &st) == 0 && st.st_size == e.size &&
          st.st_mtim.tv_sec == e.mtime.tv_sec) {
        ++ready;
      }
    }
    if (ready != kFiles) state.SkipWithError("plain loop did not find every file ready");
  }
}

void EngineDiscoverAndCheck(benchmark::State& state, const char* ignoremask) {
  BenchHost host;
  zf::SystemFileAccess files;
  StillClock clock;
  auto slot = host.table.Append([&](zf::QueueRecord& q) {
    q.name = "Bench";
    q.Inputfolder = g_folder;
    q.Outputfolder = g_folder;
    q.Searchmask = "*.*";
    q.ignoremask = ignoremask;
    q.filetimetype = 2;
    q.Enabled = true;
  });
  if (!slot.ok()) return state.SkipWithError("no queue");
  zf::Trenamethread engine({host, files, clock}, std::make_shared<zf::EngineControl>());
  const zf::RecordPtr queue = host.table.Record(slot.value());
  for (auto _ : state) {
    zf::PassContext pass;
    pass.slot = slot.value();
    pass.uid = queue->uid;
    pass.queue = queue;
    pass.inputFolder = g_folder + "/";
    if (!zf::DiscoverFiles(files, clock, pass).ok()) state.SkipWithError("discovery failed");
    zf::CheckStability(files, clock, pass, [&] { return engine.KeepGoing(pass); });
    int ready = 0;
    for (int k = 1; k <= pass.files.count(); ++k) ready += pass.files.at(k).ready ? 1 : 0;
    if (ready != kFiles) state.SkipWithError("engine did not find every file ready");
  }
}

void FnmatchMasks(benchmark::State& state) {
  for (auto _ : state) {
    int ignored = 0;
    for (const std::string& name : g_names) {
      for (const std::string& mask : g_masks) {
        if (fnmatch(mask.c_str(), name.c_str(), FNM_CASEFOLD) == 0) {
          ++ignored;
          break;
        }
      }
    }
    benchmark::DoNotOptimize(ignored);
  }
}

// As discovery uses it: the masks prepared once per listing.
void EngineMasks(benchmark::State& state) {
  for (auto _ : state) {
    const zf::IgnoreMasks masks(g_ignoremask);
    int ignored = 0;
    for (const std::string& name : g_names) ignored += masks.Matches(name).value() ? 1 : 0;
    benchmark::DoNotOptimize(ignored);
  }
}

// IsIgnored on its own: splits and prepares the masks for every name.
void EngineIsIgnored(benchmark::State& state) {
  for (auto _ : state) {
    int ignored = 0;
    for (const std::string& name : g_names) {
      ignored += zf::IsIgnored(name, g_ignoremask).value() ? 1 : 0;
    }
    benchmark::DoNotOptimize(ignored);
  }
}

class RatioReporter : public zf::bench::TimesReporter {
 public:
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nRatios to the baseline of the same run (wall, cpu):\n");
    Ratio("Engine/DiscoverCheck/none", "Plain/DiscoverCheck");
    Ratio("Engine/DiscoverCheck/twomasks", "Plain/DiscoverCheck");
    Ratio("Engine/IgnoreMasks", "Fnmatch/Masks");
    Ratio("Engine/IsIgnored", "Fnmatch/Masks");
    std::printf("\nNanoseconds per name-and-mask test (%d x %d):\n", kFiles, kMasks);
    for (const char* name : {"Engine/IgnoreMasks", "Engine/IsIgnored", "Fnmatch/Masks"}) {
      if (const Times* t = Find(name)) {
        std::printf("  %-32s %8.2f ns\n", name, t->cpu / (kFiles * kMasks));
      }
    }
  }

 private:
  void Ratio(const std::string& name, const std::string& base) {
    const Times* a = Find(name);
    const Times* b = Find(base);
    if (a == nullptr || b == nullptr || b->wall <= 0) return;
    std::printf("  %-32s / %-20s %6.2fx %6.2fx\n", name.c_str(), base.c_str(), a->wall / b->wall,
                a->cpu / b->cpu);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  g_folder = (std::filesystem::temp_directory_path() / "zfbench-engine-XXXXXX").string();
  if (mkdtemp(g_folder.data()) == nullptr) return 1;
  const char* sections[] = {"SPORT", "NEWS", "ECON", "LOCAL", "CULT"};
  for (int i = 0; i < kFiles; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "E%02d_%s_Page%04d_v%d.pdf", i % 7, sections[i % 5], i, i % 3);
    g_names.emplace_back(name);
    std::ofstream(g_folder + "/" + name) << "%PDF-1.4 page " << i << '\n';
  }
  // Masks of the kinds operators write; none fits a page file.
  for (int i = 0; g_masks.size() < kMasks; ++i) {
    const std::string n = std::to_string(i);
    const std::string kinds[] = {"*.tmp" + n,         "~*" + n + ".pdf", "*_old" + n + "?.pdf",
                                 "[0-9]*." + n,       "*.part" + n,      "[!E]*_" + n + "*.pdf",
                                 "Thumbs" + n + ".db"};
    for (const std::string& m : kinds) {
      if (g_masks.size() < kMasks) g_masks.push_back(m);
    }
  }
  for (const std::string& m : g_masks) g_ignoremask += m + ";";

  benchmark::RegisterBenchmark("Plain/DiscoverCheck", PlainDiscoverAndCheck)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("Engine/DiscoverCheck/none", [](benchmark::State& s) {
    EngineDiscoverAndCheck(s, "none");
  })->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("Engine/DiscoverCheck/twomasks", [](benchmark::State& s) {
    EngineDiscoverAndCheck(s, "*.tmp;*.part");
  })->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("Fnmatch/Masks", FnmatchMasks)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("Engine/IgnoreMasks", EngineMasks)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("Engine/IsIgnored", EngineIsIgnored)->Unit(benchmark::kMicrosecond);

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(g_folder, ec);
  return 0;
}
