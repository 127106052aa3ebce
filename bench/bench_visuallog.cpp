// Cost of one append to a full visual log at different bounds. The bound of
// 10 rows is the baseline; at 1000 and 10000 rows an append should cost about
// the same, since it removes one row from the front and adds one at the end.
#include <benchmark/benchmark.h>

#include <string>

#include "log/visuallogmodel.h"

namespace {

void BM_AppendAtBound(benchmark::State& state) {
  const int bound = static_cast<int>(state.range(0));
  zf::VisualLogModel model;
  const zf::VisualLogEntry entry{"Page01.pdf", "SPORT_01.pdf", "08/12/2025 14:05:12", "Renamed", 1};
  for (int i = 0; i <= bound; ++i) model.Append(entry, bound);
  for (auto _ : state) {
    model.Append(entry, bound);
    benchmark::DoNotOptimize(model.RowCount());
  }
  state.counters["rows"] = static_cast<double>(model.RowCount());
}
BENCHMARK(BM_AppendAtBound)->Arg(10)->Arg(1000)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
