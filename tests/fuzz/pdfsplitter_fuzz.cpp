// The PDF splitter on damaged and odd PDF files, through regex.so's
// PDFSplitter entry point as the program calls it. A failure leaves nothing
// in the output folder: no page, no temporary file of ours. A success leaves
// exactly one file per page of the input under the page names, each a whole
// PDF of one page that qpdf reads without complaint, and the input as it was.
// This target builds as C++17: it reads the pages with qpdf's C interface.
//
// Input: the first page number (a byte, less 2), then the PDF file's bytes.

#include <dirent.h>
#include <qpdf/qpdf-c.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzzcheck.h"
#include "regexlibrary.h"
#include "scratchfolder.h"

namespace {

std::vector<std::string> NamesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The pages qpdf finds in a file, or -1 when it cannot read it cleanly.
int PagesOf(const std::string& path, bool allowWarnings) {
  qpdf_data qpdf = qpdf_init();
  qpdf_silence_errors(qpdf);
  qpdf_set_suppress_warnings(qpdf, QPDF_TRUE);
  const QPDF_ERROR_CODE read = qpdf_read(qpdf, path.c_str(), nullptr);
  int pages = -1;
  if ((read & QPDF_ERRORS) == 0 && (allowWarnings || (read & QPDF_WARNINGS) == 0)) {
    pages = qpdf_get_num_pages(qpdf);
    if (qpdf_has_error(qpdf)) pages = -1;
  }
  qpdf_cleanup(&qpdf);
  return pages;
}

std::string PageName(int page) {
  char name[32];
  std::snprintf(name, sizeof name, "in_%03d.pdf", page);
  return name;
}

}  // namespace

// Loaded before the first input, so that libFuzzer counts the library's
// coverage among the modules it knows from the start.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zf::fuzz::RegexLibrary();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto split = zf::fuzz::EntryPoint<PDFSplitterFn>(zf::kPDFSplitterName);
  static const std::string input = zf::fuzz::ScratchFolder() + "/in.pdf";
  static const std::string output = zf::fuzz::ScratchFolder() + "/out";

  zf::fuzz::Input in(data, size);
  const int first = static_cast<int>(in.Byte()) - 2;
  const std::string pdf(in.Rest().substr(0, 1 << 16));
  {
    std::ofstream out(input, std::ios::binary | std::ios::trunc);
    out << pdf;
  }
  for (const std::string& name : NamesIn(output)) std::remove((output + "/" + name).c_str());
  mkdir(output.c_str(), 0755);

  const int written = split(input.c_str(), first, output.c_str());
  const std::vector<std::string> names = NamesIn(output);
  ZF_FUZZ_CHECK(ReadAll(input) == pdf, "the input stays as it was", "");
  if (written <= 0) {
    ZF_FUZZ_CHECK(names.empty(), "a failed split leaves nothing in the output folder",
                  "answer " + std::to_string(written) + ", left " + names.front());
    ZF_FUZZ_CHECK(written == 0 || written == -1 || written == -2,
                  "a failure is answered as 0, -1 or -2", std::to_string(written));
    ZF_FUZZ_CHECK(first >= 0 || written == -1, "a page number below 0 is refused",
                  std::to_string(written));
    return 0;
  }

  ZF_FUZZ_CHECK(first >= 0, "a page number below 0 never splits", std::to_string(first));
  std::vector<std::string> expected;
  for (int page = first; page < first + written; ++page) expected.push_back(PageName(page));
  std::sort(expected.begin(), expected.end());
  ZF_FUZZ_CHECK(names == expected, "a split leaves exactly the pages, under their names",
                std::to_string(written) + " answered, " + std::to_string(names.size()) +
                    " files, first " + (names.empty() ? std::string("none") : names.front()));
  const int inputPages = PagesOf(input, true);
  ZF_FUZZ_CHECK(inputPages < 0 || inputPages == written, "every page of the input is written",
                std::to_string(written) + " of " + std::to_string(inputPages));
  for (const std::string& name : names) {
    const int pages = PagesOf(output + "/" + name, false);
    ZF_FUZZ_CHECK(pages == 1, "each page file is a whole PDF of one page",
                  name + " reads as " + std::to_string(pages) + " pages");
  }
  return 0;
}
