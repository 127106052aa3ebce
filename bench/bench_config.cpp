// Load and save of the queue configuration file, measured against reading the
// same file line by line with std::getline in the same run. A save reads the
// file, applies every key and writes it whole, so its cost should grow with the
// file's size only: the ratios of the typical and the maximal file should be
// close to each other.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include "benchreport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "config/queuefile.h"

namespace {

// Real file system whose temporary file cannot be made: a save then does
// everything but touch the disk, which shows the cost of the work in memory.
class NoDiskWrite : public zf::FileSystem {
 protected:
  int InjectFault(zf::WriteStep step, const std::string&) const override {
    return step == zf::WriteStep::kCreateTemp ? EROFS : 0;
  }
};

void Fill(zf::QueueTable& table, int rules, int translations) {
  for (int q = 1; q <= zf::QueueTable::kSlots; ++q) {
    const std::string s = std::to_string(q);
    auto slot = table.Append([&](zf::QueueRecord& r) {
      r.name = "Queue " + s;
      r.Inputfolder = "/srv/hot/in/" + s;
      r.Outputfolder = "/srv/hot/out/" + s;
      r.Errorfolder = "/srv/hot/error/" + s;
      r.Searchmask = "*.pdf";
      r.ignoremask = "*.tmp;*.part";
      r.FTPhost = "ftp.example.net";
      r.FTPTemppath = "/srv/hot/ftp/" + s;
      r.Enabledatstart = true;
      r.NRegularexpr = rules;
      for (int k = 1; k <= rules; ++k) {
        const std::string n = std::to_string(k);
        r.rule(k) = {"^([A-Z]{3})_(\\d{8})_" + n + "_(\\d{3})\\.pdf$", "$1-$2-" + n + "-$3.pdf",
                     k % 2 == 0, "$3"};
      }
      r.Ntranslations = translations;
      for (int k = 1; k <= translations; ++k) {
        const std::string n = std::to_string(k);
        r.translation(k) = {std::string("$").append(std::to_string(k % 20 + 1)), "from" + n,
                            "to" + n, "Section"};
      }
      r.Makelog = true;
      r.Logfile = "/var/log/zentrafold";
      r.lastlogrenew = zf::EncodeDateTime(2025, 12, 8, 14, 5, 0);
    });
    if (!slot.ok()) std::abort();
  }
}

struct Case {
  std::string name;
  std::string path;
  std::uintmax_t bytes = 0;
};

void Getline(benchmark::State& state, const Case& c) {
  for (auto _ : state) {
    std::ifstream in(c.path);
    std::string line;
    std::size_t n = 0;
    while (std::getline(in, line)) n += line.size();
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes));
}

void Load(benchmark::State& state, const Case& c) {
  zf::QueueTable table;
  const zf::QueueConfigFile file(c.path);
  for (auto _ : state) {
    auto warnings = file.Load(table);
    benchmark::DoNotOptimize(warnings);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes));
}

void Save(benchmark::State& state, const Case& c, bool toDisk) {
  zf::QueueTable table;
  const zf::QueueConfigFile reader(c.path);
  reader.Load(table);
  static const NoDiskWrite noDisk;
  const zf::QueueConfigFile file(c.path, toDisk ? zf::DefaultFileSystem() : noDisk);
  for (auto _ : state) {
    const zf::Status st = file.Save(table);
    if (st.ok() != toDisk) state.SkipWithError(st.message().c_str());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes));
}

// Prints, after the usual table, each measurement as a multiple of the
// getline baseline of the same file, in wall-clock time (a save waits for the
// disk) and in CPU time (steadier on a busy machine).
class RatioReporter : public zf::bench::TimesReporter {
 public:
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nRatios to std::getline over the same file (same run):\n");
    std::printf("  %-24s %10s %10s\n", "", "wall", "cpu");
    for (const auto& [name, time] : times()) {
      const auto slash = name.find('/');
      if (slash == std::string::npos || name.compare(0, slash, "Getline") == 0) continue;
      const Times* base = Find("Getline" + name.substr(slash));
      if (base == nullptr || base->wall <= 0 || base->cpu <= 0) continue;
      std::printf("  %-24s %9.1fx %9.1fx\n", name.c_str(), time.wall / base->wall,
                  time.cpu / base->cpu);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::string folder = (std::filesystem::temp_directory_path() / "zfbench-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) return 1;

  static Case cases[2] = {{"typical", folder + "/typical.ini"},
                          {"maximal", folder + "/maximal.ini"}};
  const int rules[2] = {20, zf::QueueRecord::kMaxRules};
  const int translations[2] = {0, zf::QueueRecord::kMaxTranslations};
  for (int i = 0; i < 2; ++i) {
    zf::QueueTable table;
    Fill(table, rules[i], translations[i]);
    if (!zf::QueueConfigFile(cases[i].path).Save(table).ok()) return 1;
    cases[i].bytes = std::filesystem::file_size(cases[i].path);
    std::printf("%s: %ju bytes\n", cases[i].path.c_str(), cases[i].bytes);
  }

  for (const Case& c : cases) {
    const Case* p = &c;
    benchmark::RegisterBenchmark(("Getline/" + c.name).c_str(), [p](benchmark::State& s) {
      Getline(s, *p);
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Load/" + c.name).c_str(), [p](benchmark::State& s) {
      Load(s, *p);
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("SaveInMemory/" + c.name).c_str(), [p](benchmark::State& s) {
      Save(s, *p, false);
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Save/" + c.name).c_str(), [p](benchmark::State& s) {
      Save(s, *p, true);
    })->Unit(benchmark::kMillisecond);
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return 0;
}
