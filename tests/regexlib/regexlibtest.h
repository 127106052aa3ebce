#pragma once

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "exprlib/loadedexpressionlibrary.h"
#include "platform/library.h"

namespace zf::test {

// The real expression library, loaded the way the program loads it: from the
// folder of the built program (ZF_BIN_DIR when the test runs under CTest).
inline std::unique_ptr<LoadedExpressionLibrary> LoadRegexLibrary() {
  struct Sink : LoadMessageSink {
    void ShowInformation(const std::string& text) override { texts.push_back(text); }
    std::vector<std::string> texts;
  } sink;
  const char* dir = std::getenv("ZF_BIN_DIR");
  auto lib = LoadedExpressionLibrary::Load(
      dir != nullptr ? std::filesystem::path(dir) : ProgramFolder().value(), sink);
  if (!sink.texts.empty()) return nullptr;
  return lib;
}

}  // namespace zf::test
