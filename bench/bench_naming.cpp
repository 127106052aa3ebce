// 999 names against 200 rules of which only the last matches each name, the
// worst case of one per-queue pass, named the way the engine names them:
// NameResolver::ResolveName over a queue record, through the expression
// library loaded from the program's folder. The baseline is PCRE2 called
// directly with every pattern compiled beforehand; the loaded library's own
// loop is shown too, so that the resolver's share can be told apart, and
// std::regex with precompiled patterns for comparison. The ratios are
// printed at the end.

#include <benchmark/benchmark.h>
#include <pcre2.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "benchreport.h"
#include "benchsupport.h"
#include "engine/naming.h"

namespace zf {
namespace {

constexpr int kNames = 999;
constexpr int kRules = 200;

struct Workload {
  std::vector<std::string> names;
  QueueRecord queue;
};

const Workload& GetWorkload() {
  static const Workload workload = [] {
    Workload w;
    const char* pubs[] = {"SPO", "FUS", "KUL", "WIR"};
    const char* sections[] = {"sport", "lokal", "kultur", "wirtschaft"};
    for (int i = 0; i < kNames; ++i) {
      char name[96];
      std::snprintf(name, sizeof name, "%s_2024-%02d-%02d_page%03d_%s.pdf", pubs[i % 4], 1 + i % 12,
                    1 + i % 28, i % 120, sections[(i / 4) % 4]);
      w.names.push_back(name);
    }
    // Half of the rules fail at once, half only at the end of the name, after
    // the groups have been taken: both kinds are common in real queues.
    w.queue.NRegularexpr = kRules;
    for (int r = 0; r < kRules - 1; ++r) {
      std::string match =
          r % 2 == 0 ? "X" : R"(([A-Z]{3})_(\d{4})-(\d\d)-(\d\d)_page(\d+)_(\w+)_R)";
      match += std::to_string(r);
      match += r % 2 == 0 ? R"(_(\d+)_(.*)\.pdf)" : R"(\.pdf)";
      w.queue.rule(r + 1) = Rule{match, r % 2 == 0 ? "$1_$2.pdf" : "$1$2.pdf", false, ""};
    }
    w.queue.rule(kRules) = Rule{R"(([A-Z]{3})_(\d{4})-(\d\d)-(\d\d)_page(\d+)_(\w+)\.pdf)",
                                "$2$3$4_$1_p$5_$6.pdf", false, ""};
    return w;
  }();
  return workload;
}

LoadedExpressionLibrary& Library() {
  return bench::ProgramLibrary();
}

void BM_ResolveName(benchmark::State& state) {
  const Workload& w = GetWorkload();
  if (!Library().Has(EntryPoint::kFormatExpression)) {
    state.SkipWithError("regex.so not beside the benchmark");
    return;
  }
  NameResolver resolver(Library());
  NamingState naming;
  std::size_t named = 0;
  for (auto _ : state) {
    for (const std::string& name : w.names) {
      std::int32_t page = 0;
      named += resolver.ResolveName(w.queue, name, naming, page).size();
    }
  }
  benchmark::DoNotOptimize(named);
  if (named == 0) state.SkipWithError("no name was resolved");
}

// The loaded library's Format in a plain loop: what the resolver adds on top.
void BM_LibraryLoop(benchmark::State& state) {
  const Workload& w = GetWorkload();
  LoadedExpressionLibrary& lib = Library();
  if (!lib.Has(EntryPoint::kFormatExpression)) {
    state.SkipWithError("regex.so not beside the benchmark");
    return;
  }
  std::size_t named = 0;
  for (auto _ : state) {
    for (const std::string& name : w.names) {
      for (int r = 1; r <= kRules; ++r) {
        const Rule& rule = w.queue.rule(r);
        CallResult result = lib.Format(rule.match, rule.format, name, false);
        if (result.ok()) {
          named += result.text.size();
          break;
        }
      }
    }
  }
  benchmark::DoNotOptimize(named);
}

// PCRE2 called directly: every pattern compiled and JIT-compiled beforehand,
// match data made once, the same options and substitution as the library.
void BM_Pcre2Direct(benchmark::State& state) {
  const Workload& w = GetWorkload();
  struct Compiled {
    pcre2_code* code;
    pcre2_match_data* data;
  };
  std::vector<Compiled> compiled;
  for (int r = 1; r <= kRules; ++r) {
    const std::string& match = w.queue.rule(r).match;
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(match.c_str()), match.size(),
                                     PCRE2_UTF | PCRE2_UCP | PCRE2_ANCHORED | PCRE2_ENDANCHORED,
                                     &error, &offset, nullptr);
    pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    compiled.push_back({code, pcre2_match_data_create_from_pattern(code, nullptr)});
  }
  const uint32_t options = PCRE2_SUBSTITUTE_MATCHED | PCRE2_SUBSTITUTE_EXTENDED |
                           PCRE2_SUBSTITUTE_REPLACEMENT_ONLY | PCRE2_SUBSTITUTE_UNSET_EMPTY;
  std::size_t named = 0;
  for (auto _ : state) {
    for (const std::string& name : w.names) {
      const auto* subject = reinterpret_cast<PCRE2_SPTR>(name.c_str());
      for (std::size_t r = 0; r < compiled.size(); ++r) {
        if (pcre2_match(compiled[r].code, subject, name.size(), 0, 0, compiled[r].data, nullptr) <
            0) {
          continue;
        }
        PCRE2_UCHAR out[1024];
        PCRE2_SIZE length = sizeof out;
        const std::string& format = w.queue.rule(static_cast<int>(r) + 1).format;
        if (pcre2_substitute(compiled[r].code, subject, name.size(), 0, options, compiled[r].data,
                             nullptr, reinterpret_cast<PCRE2_SPTR>(format.c_str()), format.size(),
                             out, &length) == 1) {
          named += std::string(reinterpret_cast<char*>(out), length).size();
          break;
        }
      }
    }
  }
  benchmark::DoNotOptimize(named);
  for (Compiled& c : compiled) {
    pcre2_match_data_free(c.data);
    pcre2_code_free(c.code);
  }
}

void BM_StdRegex(benchmark::State& state) {
  const Workload& w = GetWorkload();
  std::vector<std::regex> compiled;
  for (int r = 1; r <= kRules; ++r) compiled.emplace_back(w.queue.rule(r).match);
  std::size_t named = 0;
  for (auto _ : state) {
    for (const std::string& name : w.names) {
      for (std::size_t r = 0; r < compiled.size(); ++r) {
        std::smatch m;
        if (std::regex_match(name, m, compiled[r])) {
          named += m.format(w.queue.rule(static_cast<int>(r) + 1).format).size();
          break;
        }
      }
    }
  }
  benchmark::DoNotOptimize(named);
}

BENCHMARK(BM_ResolveName)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibraryLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pcre2Direct)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdRegex)->Unit(benchmark::kMillisecond);

// Prints time per name and the ratios against direct PCRE2 after the table, in
// CPU time: the machine is shared, and waiting is not naming's cost.
class RatioReporter : public bench::TimesReporter {
 public:
  void Finalize() override {
    ConsoleReporter::Finalize();
    const Times* baseline = Find("BM_Pcre2Direct");
    if (baseline == nullptr) return;
    std::printf("\n%d names x %d rules, only the last rule matches:\n", kNames, kRules);
    for (const auto& [name, t] : times()) {
      std::printf("  %-16s %8.2f us per name  %6.2fx direct PCRE2\n", name.c_str(),
                  t.cpu / 1000.0 / kNames, t.cpu / baseline->cpu);
    }
  }
};

}  // namespace
}  // namespace zf

int main(int argc, char** argv) {
  zf::RatioReporter reporter;
  return zf::bench::RunBenchmarks(argc, argv, reporter);
}
