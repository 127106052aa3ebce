// One per-queue pass in copy mode over 999 files of 64 KiB, over 50 files of
// 20 MiB and over a lone file, without the engine's designed waits:
// discovery, the stability check, naming through the loaded expression
// library and delivery with a log file, called directly.
// The baseline is a plain loop of std::filesystem::copy_file and unlink over
// the same files, measured right before each pass in the same run. Delivery
// flushes every copy (and the log writer every entry) to the disk before the
// input is deleted; the same pass with the flushes switched off through the
// file operations' and the log writer's seams, and the plain loop with a
// flush per copy, show what that costs.
// The physical floor of a durable pass is measured in every pair too: the
// plain loop followed by one syncfs, which writes every copy and every name
// to the disk in one go. Nothing that makes each file durable before its
// input goes can be faster, and the floor moves with the disk's state from
// run to run, so each row is set against the floor of its own pairs. Ratios
// are printed at the end.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "benchsupport.h"
#include "config/datetimepattern.h"
#include "engine/delivery.h"
#include "engine/discovery.h"
#include "engine/naming.h"
#include "log/logfile.h"
#include "log/visuallog.h"
#include "platform/clock.h"
#include "platform/fileaccess.h"
#include "platform/fileops.h"

namespace zf {
namespace {

namespace fs = std::filesystem;

// The sets of input files a pass meets.
struct FileSet {
  const char* label;
  int files;
  std::size_t size;
  int iterations;
};
constexpr FileSet kSets[] = {
    {"999 x 64 KiB", 999, 64 * 1024, 7},
    {"50 x 20 MiB", 50, 20 * 1024 * 1024, 5},
    {"1 x 64 KiB", 1, 64 * 1024, 31},
};

enum LogKind { kNoLog = 0, kCsvLog = 1, kXmlLog = 2 };

// Folders under /var/tmp (disk, not memory) or the system's temporary folder.
struct Folders {
  Folders() {
    const char* base = fs::is_directory("/var/tmp") ? "/var/tmp" : "/tmp";
    std::string pattern = std::string(base) + "/zf-bench-delivery-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root = pattern;
    // Set here, not as member initialisers: those would run before `root`
    // has its value and name folders in the current directory.
    in = root / "in";
    out = root / "out";
    log = root / "log";
    for (const fs::path* f : {&in, &out, &log}) fs::create_directory(*f);
  }
  ~Folders() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  fs::path root;
  fs::path in;
  fs::path out;
  fs::path log;
};

Folders& Dirs() {
  static Folders folders;
  return folders;
}

std::string Name(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "page%04d.dat", i);
  return name;
}

// Fresh input files, an empty output folder and no log file: the state at
// the start of every measured pass.
void Prepare(const FileSet& set) {
  Folders& d = Dirs();
  for (const fs::path* f : {&d.in, &d.out, &d.log}) {
    fs::remove_all(*f);
    fs::create_directory(*f);
  }
  const std::string content(set.size, 'p');
  for (int i = 0; i < set.files; ++i) {
    std::ofstream(d.in / Name(i), std::ios::binary)
        .write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  ::sync();  // no earlier writes are flushed inside the measurement
}

// The file operations of the flushed passes; ZF_GROUP_FLUSH (each, fs,
// threads) chooses how a group is flushed, for comparing the ways.
std::unique_ptr<SystemFileOperations> MakeFiles(bool flush) {
  const char* way = std::getenv("ZF_GROUP_FLUSH");
  GroupFlush groupFlush = SystemFileOperations::kDefaultGroupFlush;
  if (way != nullptr && std::string(way) == "each") groupFlush = GroupFlush::kEachFile;
  if (way != nullptr && std::string(way) == "fs") groupFlush = GroupFlush::kFileSystem;
  if (way != nullptr && std::string(way) == "threads") groupFlush = GroupFlush::kThreads;
  return std::make_unique<SystemFileOperations>(flush, groupFlush);
}

LoadedExpressionLibrary& Library() {
  return bench::ProgramLibrary();
}

// Log file writes without their flush, for the unflushed passes.
class UnflushedLogIo : public LogFileIo {
 public:
  int Sync(int) override { return 0; }
};

struct Timing {
  double wallMs = 0;
  double cpuMs = 0;
};

template <typename Fn>
Timing Measure(const Fn& work) {
  timespec w0{}, c0{}, w1{}, c1{};
  ::clock_gettime(CLOCK_MONOTONIC, &w0);
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c0);
  work();
  ::clock_gettime(CLOCK_MONOTONIC, &w1);
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c1);
  auto ms = [](const timespec& a, const timespec& b) {
    return static_cast<double>(b.tv_sec - a.tv_sec) * 1e3 +
           static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e6;
  };
  return {ms(w0, w1), ms(c0, c1)};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  if (n == 0) return 0;
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The baseline: copy under the new name, replacing, then delete the input;
// when `flush` is set each copy is also flushed before the input goes.
void PlainLoop(const FileSet& set, bool flush) {
  Folders& d = Dirs();
  for (int i = 0; i < set.files; ++i) {
    const fs::path from = d.in / Name(i);
    const fs::path to = d.out / (Name(i).substr(0, 8) + ".out");
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    if (flush) {
      const int fd = ::open(to.c_str(), O_RDONLY);
      ::fsync(fd);
      ::close(fd);
    }
    ::unlink(from.c_str());
  }
}

// The floor: the plain loop, then the whole file system flushed at once.
void PlainLoopThenSyncfs(const FileSet& set) {
  PlainLoop(set, false);
  const int fd = ::open(Dirs().out.c_str(), O_RDONLY | O_DIRECTORY);
  ::syncfs(fd);
  ::close(fd);
}

// The engine's pass over the input folder, from discovery to delivery.
class EnginePass {
 public:
  EnginePass(bool flush, LogKind logKind)
      : files_(MakeFiles(flush)), writer_(table_, clock_, "dd.mm.yyyy hh:nn:ss:zzz", LogIo(flush)) {
    Folders& d = Dirs();
    slot_ = table_
                .Append([&](QueueRecord& q) {
                  q.name = "Bench";
                  q.Inputfolder = d.in.string();
                  q.Outputfolder = d.out.string();
                  q.Searchmask = "*.*";
                  q.ignoremask = "none";
                  q.filetimetype = 2;
                  q.Enabled = true;
                  q.Makelog = logKind != kNoLog;
                  q.Logfile = d.log.string();
                  q.logtype = logKind == kXmlLog ? 1 : 0;
                  q.Maxentries = 10000;
                  q.NRegularexpr = 1;
                  q.rule(1) = Rule{R"((page\d+)\.dat)", "$1.out", false, ""};
                })
                .value();
  }

  // The number of files delivered.
  int Run() {
    Folders& d = Dirs();
    const KeepGoingFn always = [] { return true; };
    const RecordPtr queue = table_.Record(slot_);
    PassContext pass;
    pass.slot = slot_;
    pass.uid = queue->uid;
    pass.queue = queue;
    pass.inputFolder = d.in.string() + "/";
    pass.outputFolder = d.out.string() + "/";
    if (!DiscoverFiles(access_, clock_, pass).ok()) return -1;
    CheckStability(access_, clock_, pass, always);
    (void)naming_.ResolveNames(pass, namingState_, always);
    if (!delivery_.DeliverFiles(pass, always).ok()) return -1;
    int delivered = 0;
    for (int k = 1; k <= pass.files.count(); ++k) delivered += !pass.files.at(k).newname.empty();
    return rows_ == delivered ? delivered : -1;
  }
  void ResetRows() { rows_ = 0; }

 private:
  static LogFileIo& LogIo(bool flush) {
    static UnflushedLogIo unflushed;
    return flush ? SystemLogFileIo() : unflushed;
  }

  QueueTable table_;
  int slot_ = 0;
  SystemClock clock_;
  SystemFileAccess access_;
  std::unique_ptr<SystemFileOperations> files_;
  int rows_ = 0;
  VisualLog visual_{clock_, DefaultRegionalSettings(), [this](VisualLogEntry) { ++rows_; }};
  LogFileWriter writer_;
  NameResolver naming_{Library()};
  Delivery delivery_{Library(), *files_, visual_, writer_, clock_};
  NamingState namingState_;
};

// Each iteration measures the plain loop, the floor and then the engine's
// pass over fresh files, so that all three meet the same state of a shared
// machine; the ratios are medians over the iterations.
void RunPairs(benchmark::State& state, const FileSet& set, const std::function<bool()>& measured,
              const std::string& label) {
  std::vector<double> wall, cpu, plainWall, engineWall, floorWall, overFloor;
  for (auto _ : state) {
    Prepare(set);
    const Timing plain = Measure([&] { PlainLoop(set, false); });
    Prepare(set);
    const Timing floor = Measure([&] { PlainLoopThenSyncfs(set); });
    Prepare(set);
    bool ok = true;
    const Timing t = Measure([&] { ok = measured(); });
    if (!ok) {
      state.SkipWithError("not every file was delivered");
      return;
    }
    state.SetIterationTime(t.wallMs / 1e3);
    wall.push_back(t.wallMs / plain.wallMs);
    cpu.push_back(t.cpuMs / plain.cpuMs);
    plainWall.push_back(plain.wallMs);
    engineWall.push_back(t.wallMs);
    floorWall.push_back(floor.wallMs);
    overFloor.push_back(t.wallMs / floor.wallMs);
  }
  state.counters["ms"] = Median(engineWall);
  state.counters["plain_ms"] = Median(plainWall);
  state.counters["x_wall"] = Median(wall);
  state.counters["x_cpu"] = Median(cpu);
  state.counters["floor_ms"] = Median(floorWall);
  state.counters["x_floor"] = Median(overFloor);
  state.SetLabel(std::string(set.label) + ", " + label);
}

void BM_EnginePass(benchmark::State& state) {
  if (!Library().Has(EntryPoint::kFormatExpression)) {
    state.SkipWithError("regex.so not beside the benchmark");
    return;
  }
  const bool flush = state.range(0) != 0;
  const auto logKind = static_cast<LogKind>(state.range(1));
  const FileSet& set = kSets[state.range(2)];
  EnginePass engine(flush, logKind);
  RunPairs(
      state, set,
      [&] {
        engine.ResetRows();
        return engine.Run() == set.files;
      },
      std::string(flush ? "flushed" : "unflushed") + (logKind == kCsvLog   ? ", csv log"
                                                      : logKind == kXmlLog ? ", xml log"
                                                                           : ", no log"));
}

// The plain loop with a flush per copy, against the plain loop without: what
// flushing costs without any of the engine's work.
void BM_PlainFlushed(benchmark::State& state) {
  const FileSet& set = kSets[state.range(0)];
  RunPairs(
      state, set,
      [&] {
        PlainLoop(set, true);
        return true;
      },
      "plain loop, flushed");
}

BENCHMARK(BM_PlainFlushed)
    ->Arg(0)
    ->Iterations(kSets[0].iterations)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EnginePass)
    ->Args({0, kNoLog, 0})
    ->Args({1, kNoLog, 0})
    ->Args({0, kCsvLog, 0})
    ->Args({1, kCsvLog, 0})
    ->Args({0, kXmlLog, 0})
    ->Args({1, kXmlLog, 0})
    ->Iterations(kSets[0].iterations)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EnginePass)
    ->Args({1, kCsvLog, 1})
    ->Iterations(kSets[1].iterations)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EnginePass)
    ->Args({1, kCsvLog, 2})
    ->Args({1, kXmlLog, 2})
    ->Iterations(kSets[2].iterations)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Prints the median ratios of each pass after the table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        lines_.push_back({run.report_label, run.counters.at("ms").value,
                          run.counters.at("plain_ms").value, run.counters.at("x_wall").value,
                          run.counters.at("x_cpu").value, run.counters.at("floor_ms").value,
                          run.counters.at("x_floor").value});
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf(
        "\nOne pass in copy mode, against copy_file + unlink of the same files\n"
        "(medians of the pairs; wall clock and CPU time) and against the floor,\n"
        "the same loop with one syncfs at the end (wall clock):\n");
    for (const Line& l : lines_) {
      std::printf(
          "  %-36s %8.1f ms (plain %7.1f ms)  %5.2fx wall  %5.2fx cpu  "
          "(floor %7.1f ms = %4.2fx plain)  %5.2fx floor\n",
          l.label.c_str(), l.ms, l.plainMs, l.wall, l.cpu, l.floorMs, l.floorMs / l.plainMs,
          l.overFloor);
    }
  }

 private:
  struct Line {
    std::string label;
    double ms, plainMs, wall, cpu, floorMs, overFloor;
  };
  std::vector<Line> lines_;
};

}  // namespace
}  // namespace zf

int main(int argc, char** argv) {
  zf::RatioReporter reporter;
  return zf::bench::RunBenchmarks(argc, argv, reporter);
}
