#pragma once

// What the naming and delivery tests share: the real expression library as
// the program loads it, a pass context made by hand, and a minimal PDF.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/passcontext.h"
#include "exprlib/loadedexpressionlibrary.h"
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

// A one-page PDF written by hand, with a correct cross-reference table.
inline std::string OnePagePdf() {
  const std::string content = "0 0 m 100 100 l S\n";
  const std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R /Resources << >> >>",
      "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream",
  };
  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t offset : offsets) {
    char line[21];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

}  // namespace zf::test
