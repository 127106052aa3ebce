#pragma once

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "exprlib/loadedexpressionlibrary.h"
#include "platform/library.h"

namespace zf::test {

// The folder of the built program (ZF_BIN_DIR when the test runs under CTest),
// where the expression library lies beside it.
inline std::filesystem::path ProgramBinFolder() {
  const char* dir = std::getenv("ZF_BIN_DIR");
  return dir != nullptr ? std::filesystem::path(dir) : ProgramFolder().value();
}

// The real expression library, loaded the way the program loads it.
inline std::unique_ptr<LoadedExpressionLibrary> LoadRegexLibrary() {
  struct Sink : LoadMessageSink {
    void ShowInformation(const std::string& text) override { texts.push_back(text); }
    std::vector<std::string> texts;
  } sink;
  auto lib = LoadedExpressionLibrary::Load(ProgramBinFolder(), sink);
  if (!sink.texts.empty()) return nullptr;
  return lib;
}

}  // namespace zf::test
