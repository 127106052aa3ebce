#pragma once

// The console reporter the benchmarks share: it prints the usual table and
// keeps each benchmark's time per iteration by name, for the ratios a
// benchmark prints after the table against a baseline of the same run.

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace zf::bench {

class TimesReporter : public benchmark::ConsoleReporter {
 public:
  // Nanoseconds per iteration.
  struct Times {
    double wall = 0;
    double cpu = 0;
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0) {
        const double n = static_cast<double>(run.iterations);
        times_[run.benchmark_name()] = {run.real_accumulated_time * 1e9 / n,
                                        run.cpu_accumulated_time * 1e9 / n};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

 protected:
  // The times of a benchmark, or null when it did not run (filtered out or failed).
  const Times* Find(const std::string& name) const {
    const auto it = times_.find(name);
    return it == times_.end() ? nullptr : &it->second;
  }
  const std::map<std::string, Times>& times() const { return times_; }

 private:
  std::map<std::string, Times> times_;
};

}  // namespace zf::bench
