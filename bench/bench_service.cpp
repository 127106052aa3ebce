// The headless service as a process: its resident memory once started with
// 100 queues of 20 rules each, and the CPU time it uses over an idle period
// with all 100 queues switched on and empty. The baseline of both is the same
// program started with no queues, measured in the same run.
//
// Idle CPU is measured over kIdleSeconds with a browse time of 1 second, the
// busiest polling the settings allow, and scaled to one minute.
//
// Run from a release build: build/release/bin/bench_service
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "config/configpaths.h"
#include "config/queuefile.h"
#include "config/settingsfile.h"
#include "demo.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kQueues = 100;
constexpr int kRules = 20;
constexpr int kIdleSeconds = 20;

const std::string kProgram = std::string(ZF_BIN_DIR) + "/zentrafold";

// A configuration folder with `queues` queues of kRules rules, each with its
// own empty input and output folder.
std::string MakeConfig(int queues) {
  const fs::path root = fs::temp_directory_path() / ("zf-bench-service-" + std::to_string(queues) +
                                                     "-" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root);
  zf::QueueTable table;
  for (int q = 1; q <= queues; ++q) {
    const fs::path in = root / ("q" + std::to_string(q)) / "in";
    const fs::path out = root / ("q" + std::to_string(q)) / "out";
    fs::create_directories(in);
    fs::create_directories(out);
    auto added = table.Append([&](zf::QueueRecord& r) {
      zf::app::ApplyQueueDefaults(r);
      r.name = "Queue" + std::to_string(q);
      r.Inputfolder = in;
      r.Outputfolder = out;
      r.NRegularexpr = kRules;
      for (int k = 1; k <= kRules; ++k) {
        r.rule(k) = zf::Rule{"Q" + std::to_string(q) + "R" + std::to_string(k) + R"(_(\d+)\.pdf)",
                             "Out" + std::to_string(k) + "_$1.pdf", false, "$1"};
      }
    });
    if (!added.ok()) throw std::runtime_error(added.status().message());
  }
  const zf::ConfigPaths paths = zf::ConfigPaths::For(kProgram, root.string());
  if (!zf::QueueConfigFile(paths.queueFile).Save(table).ok()) throw std::runtime_error("save");
  zf::GeneralSettings settings;
  settings.browsetime = 1;
  zf::WorkingSettings working;
  if (!zf::GeneralSettingsFile(paths.settingsFile).Save(settings, working).ok()) {
    throw std::runtime_error("save settings");
  }
  return root.string();
}

// The service started on a configuration folder; standard error is read until
// a given text appears.
class Service {
 public:
  explicit Service(const std::string& configDir) {
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args{kProgram, "--headless", "--verbose", "--config-dir", configDir};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, kProgram.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      throw std::runtime_error("cannot start " + kProgram);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(err[1]);
    err_ = err[0];
  }
  ~Service() {
    kill(pid_, SIGTERM);
    // Drain standard error so the service never blocks on it while stopping.
    char buffer[4096];
    while (read(err_, buffer, sizeof buffer) > 0) {
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    close(err_);
  }

  void WaitForText(const std::string& text) {
    char buffer[4096];
    while (seen_.find(text) == std::string::npos) {
      const ssize_t n = read(err_, buffer, sizeof buffer);
      if (n <= 0) throw std::runtime_error("the service ended: " + seen_);
      seen_.append(buffer, static_cast<std::size_t>(n));
    }
  }

  // Keeps standard error flowing while the service idles.
  void DrainFor(std::chrono::seconds period) {
    const auto end = std::chrono::steady_clock::now() + period;
    char buffer[4096];
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return;
      pollfd p{err_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) > 0 &&
          read(err_, buffer, sizeof buffer) <= 0) {
        return;
      }
    }
  }

  long VmRssKb() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
  }

  // User and system CPU time so far, in seconds.
  double CpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
      if (i == 14) utime = std::stod(field);
      if (i == 15) {
        stime = std::stod(field);
        break;
      }
    }
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

 private:
  pid_t pid_ = -1;
  int err_ = -1;
  std::string seen_;
};

std::string PassText(int queues) {
  return "pass over " + std::to_string(queues) + " queue(s)";
}

// Resident memory once the worker has begun its first pass.
long StartupRssKb(int queues) {
  const std::string config = MakeConfig(queues);
  long rss = 0;
  {
    Service service(config);
    service.WaitForText(PassText(queues));
    rss = service.VmRssKb();
  }
  fs::remove_all(config);
  return rss;
}

// CPU seconds per idle minute, measured over kIdleSeconds after start-up.
double IdleCpuPerMinute(int queues) {
  const std::string config = MakeConfig(queues);
  double perMinute = 0;
  {
    Service service(config);
    service.WaitForText(PassText(queues));
    const double before = service.CpuSeconds();
    service.DrainFor(std::chrono::seconds(kIdleSeconds));
    perMinute = (service.CpuSeconds() - before) * 60.0 / kIdleSeconds;
  }
  fs::remove_all(config);
  return perMinute;
}

void BM_StartupMemory(benchmark::State& state) {
  long baseline = 0, loaded = 0;
  for (auto _ : state) {
    baseline = StartupRssKb(0);
    loaded = StartupRssKb(kQueues);
  }
  state.counters["rss_kB_no_queues"] = static_cast<double>(baseline);
  state.counters["rss_kB_100x20"] = static_cast<double>(loaded);
  state.counters["ratio_to_no_queues"] =
      static_cast<double>(loaded) / static_cast<double>(baseline);
}
BENCHMARK(BM_StartupMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_IdleCpu(benchmark::State& state) {
  double baseline = 0, loaded = 0;
  for (auto _ : state) {
    baseline = IdleCpuPerMinute(0);
    loaded = IdleCpuPerMinute(kQueues);
  }
  state.counters["cpu_s_per_min_no_queues"] = baseline;
  state.counters["cpu_s_per_min_100x20"] = loaded;
  state.counters["ratio_to_no_queues"] = baseline > 0 ? loaded / baseline : 0;
}
BENCHMARK(BM_IdleCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
