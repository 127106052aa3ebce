// Cost of one log file entry with 10, 1,000 and 10,000 entries already in the
// file, for both formats with newonmax on, against a plain write of the
// resulting file's bytes measured in the same run.
//
// "warm" is the steady state (the writer wrote the file last); "cold" changes
// the file's time before every entry, so the writer must count or parse the
// file again, as for the first entry after a start.
//
// The folder is ZF_BENCH_DIR when set (a tmpfs shows the cost without the
// disk's flushes), else the system's temporary folder.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <tuple>

#include "config/queuetable.h"
#include "log/jmflog.h"
#include "log/logfile.h"
#include "platform/clock.h"

namespace {

using namespace zf;

constexpr int kIterations = 100;

class FixedClock final : public Clock {
 public:
  TDateTime Now() override { return EncodeDateTime(2025, 12, 8, 14, 5, 12, 500); }
  void SleepMs(int) override {}
};

std::filesystem::path BenchFolder() {
  const char* base = std::getenv("ZF_BENCH_DIR");
  std::string tmpl =
      ((base != nullptr ? std::filesystem::path(base) : std::filesystem::temp_directory_path()) /
       "zfbench-XXXXXX")
          .string();
  if (mkdtemp(tmpl.data()) == nullptr) std::abort();
  return tmpl;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteAll(const std::string& path, const std::string& bytes, bool sync) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    std::abort();
  }
  if (sync) ::fdatasync(fd);
  ::close(fd);
}

std::string Name(int i) {
  return "Page" + std::to_string(i) + ".pdf";
}

// A log file holding `entries` entries, made directly rather than entry by entry.
void Prepare(const std::string& path, bool xml, int entries) {
  if (!xml) {
    std::string text = "Log created 08122025 140512\r\n";
    for (int i = 0; i < entries; ++i) {
      text += Name(i) + ",SPO_" + std::to_string(i) +
              ".pdf,,OK,,08.12.2025 14:03:10:123,08.12.2025 14:05:12:500\r\n";
    }
    WriteAll(path, text, false);
    return;
  }
  JmfLogText doc = JmfLogText::Create("08/12/2025 14:05:12", "bench", {"Sport", "in", "out"});
  for (int i = 0; i < entries; ++i) {
    if (!doc.AddEntry({Name(i), "SPO_" + std::to_string(i) + ".pdf", "OK",
                       "08.12.2025 14:03:10:123", "08.12.2025 14:05:12:500", ""})
             .ok()) {
      std::abort();
    }
  }
  WriteAll(path, doc.Text(), false);
}

double SecondsPerCall(const std::function<void()>& call, int times) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < times; ++i) call();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / times;
}

struct Figure {
  double entry = 0;
  double plain = 0;
  double plainSync = 0;
  std::size_t bytes = 0;
};
std::map<std::tuple<bool, bool, int>, Figure> figures;  // (xml, cold, entries)

void BM_LogFileEntry(benchmark::State& state) {
  const bool xml = state.range(0) != 0;
  const int entries = static_cast<int>(state.range(1));
  const bool cold = state.range(2) != 0;

  const std::filesystem::path folder = BenchFolder();
  QueueTable table;
  table.Append([&](QueueRecord& q) {
    q.name = "Sport";
    q.Makelog = true;
    q.Logfile = folder.string();
    q.logtype = xml ? 1 : 0;
    q.newonmax = true;
    q.Maxentries = 1'000'000;
  });
  const RecordPtr queue = table.Record(1);
  const std::string path = LogFilePath(*queue);
  Prepare(path, xml, entries);
  FixedClock clock;
  LogFileWriter writer(table, clock, "dd.mm.yyyy hh:nn:ss:zzz");

  int i = 0;
  auto entry = [&] {
    LogFileEntry e{Name(i % entries),
                   "SPO_" + std::to_string(i) + ".pdf",
                   "OK",
                   "",
                   EncodeDateTime(2025, 12, 8, 14, 3, 10, 123),
                   clock.Now()};
    ++i;
    if (!writer.WriteLogFileEntry(*queue, e).ok()) state.SkipWithError("entry refused");
  };
  entry();  // the writer now knows the file, as in the steady state

  double total = 0;
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      struct timespec times[2] = {{0, UTIME_OMIT}, {1'000'000 + i, 0}};
      ::utimensat(AT_FDCWD, path.c_str(), times, 0);
      state.ResumeTiming();
    }
    const auto start = std::chrono::steady_clock::now();
    entry();
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  Figure f;
  f.entry = total / static_cast<double>(state.iterations());
  const std::string bytes = ReadAll(path);
  f.bytes = bytes.size();
  const std::string copy = (folder / "plain.bin").string();
  f.plain = SecondsPerCall([&] { WriteAll(copy, bytes, false); }, kIterations);
  f.plainSync = SecondsPerCall([&] { WriteAll(copy, bytes, true); }, kIterations);
  // Repetitions keep the least of each figure: on a shared machine that is
  // the one least disturbed by others.
  if (const auto it = figures.find({xml, cold, entries}); it != figures.end()) {
    f.entry = std::min(f.entry, it->second.entry);
    f.plain = std::min(f.plain, it->second.plain);
    f.plainSync = std::min(f.plainSync, it->second.plainSync);
  }
  figures[{xml, cold, entries}] = f;

  state.counters["entry_us"] = f.entry * 1e6;
  state.counters["bytes"] = static_cast<double>(f.bytes);
  state.counters["x_plain"] = f.entry / f.plain;
  state.counters["x_plain_sync"] = f.entry / f.plainSync;
  state.SetLabel(std::string(xml ? "xml" : "csv") + (cold ? " cold" : " warm"));
  std::filesystem::remove_all(folder);
}

BENCHMARK(BM_LogFileEntry)
    ->ArgsProduct({{0, 1}, {10, 1000, 10000}, {0, 1}})
    ->Iterations(kIterations)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\nformat state  entries   bytes      entry_us  x_plain  x_plain+sync  x_entry@10\n");
  for (const auto& [key, f] : figures) {
    const auto& [xml, cold, entries] = key;
    const auto base = figures.find({xml, cold, 10});
    const double vs10 = base != figures.end() ? f.entry / base->second.entry : 0;
    std::printf("%-6s %-6s %7d %9zu %11.1f %8.2f %13.2f %11.2f\n", xml ? "xml" : "csv",
                cold ? "cold" : "warm", entries, f.bytes, f.entry * 1e6, f.entry / f.plain,
                f.entry / f.plainSync, vs10);
  }
  return 0;
}
