#pragma once

// What the naming and delivery tests share: the real expression library as
// the program loads it and a pass context made by hand.

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/passcontext.h"
#include "exprlib/loadedexpressionlibrary.h"
#include "platform/fileops.h"
#include "platform/library.h"
#include "platform/paths.h"

namespace zf::test {

inline std::filesystem::path BinDir() {
  const char* dir = std::getenv("ZF_BIN_DIR");
  return dir != nullptr ? std::filesystem::path(dir) : ProgramFolder().value();
}

class IgnoringSink : public LoadMessageSink {
 public:
  void ShowInformation(const std::string& text) override { texts.push_back(text); }
  std::vector<std::string> texts;
};

// The library from a folder under bin/ (empty: bin/ itself, the real one).
inline std::unique_ptr<LoadedExpressionLibrary> LoadLibrary(const std::string& subfolder = "") {
  IgnoringSink sink;
  return LoadedExpressionLibrary::Load(subfolder.empty() ? BinDir() : BinDir() / subfolder, sink);
}

// The real regex.so, loaded once for the whole test program.
inline LoadedExpressionLibrary& RealLibrary() {
  static std::unique_ptr<LoadedExpressionLibrary> lib = LoadLibrary();
  return *lib;
}

// A ready (or not) entry as discovery and the stability check leave it.
inline void AddEntry(FileTable& table, const std::string& name, bool ready = true,
                     TDateTime filetime = 0) {
  const int k = table.count() + 1;
  table.set_count(k);
  FileEntry& e = table.at(k);
  e = FileEntry{};
  e.oldname = name;
  e.ready = ready;
  e.filetime = filetime;
}

// The pass context of `queue` over its folders, with the separators the
// engine adds.
inline PassContext MakePass(const QueueRecord& queue, int slot = 1) {
  PassContext pass;
  pass.slot = slot;
  pass.uid = queue.uid;
  pass.queue = std::make_shared<const QueueRecord>(queue);
  pass.inputFolder = IncludeTrailingPathDelimiter(queue.Inputfolder);
  pass.outputFolder = IncludeTrailingPathDelimiter(queue.Outputfolder);
  pass.errorFolder =
      queue.Errorfolder.empty() ? std::string() : IncludeTrailingPathDelimiter(queue.Errorfolder);
  return pass;
}

// Makes one step of the real file operations fail for paths in a folder.
class FaultyFiles : public SystemFileOperations {
 public:
  FileStep step = FileStep::kOpenSource;
  int error = 0;
  std::string pathPrefix;
  int fromCall = 1;  // the step's first failing call, for chunked writes

 protected:
  int InjectFault(FileStep s, const std::string& path) override {
    if (error == 0 || s != step || path.rfind(pathPrefix, 0) != 0) return 0;
    return ++calls_ >= fromCall ? error : 0;
  }

 private:
  int calls_ = 0;
};

}  // namespace zf::test
