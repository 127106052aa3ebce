#pragma once

// What the benchmarks of naming and delivery share: the expression library
// as the program loads it, and a main that prints a reporter's summary.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "exprlib/loadedexpressionlibrary.h"

namespace zf::bench {

// The expression library from the folder of the benchmark program, where the
// build puts regex.so beside it; each entry point it lacks is told on stderr.
inline LoadedExpressionLibrary& ProgramLibrary() {
  class PrintingSink : public LoadMessageSink {
   public:
    void ShowInformation(const std::string& text) override {
      std::fprintf(stderr, "%s\n", text.c_str());
    }
  };
  static PrintingSink sink;
  static std::unique_ptr<LoadedExpressionLibrary> lib =
      LoadedExpressionLibrary::LoadFromProgramFolder(sink);
  return *lib;
}

// The body of main: runs the benchmarks the command line selects, reporting
// through `reporter`, which prints its ratios when it finalizes.
inline int RunBenchmarks(int argc, char** argv, benchmark::BenchmarkReporter& reporter) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace zf::bench
