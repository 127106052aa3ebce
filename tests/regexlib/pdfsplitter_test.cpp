#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include "regexlibtest.h"
#include "tempdir.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A PDF of the given number of pages, written by hand; page i shows "Page i".
// Media box and resources sit on the page tree, so the pages only inherit
// them, and the catalog declares an output intent, as print-ready files do.
void WriteTestPdf(const fs::path& path, int pages) {
  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  auto object = [&](const std::string& body) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
  };
  std::string kids;
  for (int i = 0; i < pages; ++i) kids += std::to_string(4 + 2 * i) + " 0 R ";
  object(
      "<< /Type /Catalog /Pages 2 0 R /OutputIntents [<< /Type /OutputIntent /S /GTS_PDFX "
      "/OutputConditionIdentifier (FOGRA39) >>] >>");
  object("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) +
         " /MediaBox [0 0 595 842] /Resources << /Font << /F1 3 0 R >> >> >>");
  object("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
  for (int i = 1; i <= pages; ++i) {
    object("<< /Type /Page /Parent 2 0 R /Contents " + std::to_string(5 + 2 * (i - 1)) + " 0 R >>");
    const std::string content = "BT /F1 24 Tf 72 720 Td (Page " + std::to_string(i) + ") Tj ET";
    object("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
           "\nendstream");
  }
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(offsets.size() + 1) + "\n0000000000 65535 f \n";
  for (std::size_t offset : offsets) {
    std::string number = std::to_string(offset);
    pdf += std::string(10 - number.size(), '0') + number + " 00000 n \n";
  }
  pdf += "trailer\n<< /Size " + std::to_string(offsets.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  test::WriteFile(path, pdf);
}

// What a page file holds: its page count, the text of its first page, and
// whether that page has its media box and the file its output intent.
struct PageFile {
  int pages = 0;
  std::string content;
  bool media_box = false;  // and resources
  std::string output_condition;
};

PageFile ReadPageFile(const fs::path& path) {
  QPDF pdf;
  pdf.setSuppressWarnings(true);
  pdf.processFile(path.c_str());
  PageFile f;
  std::vector<QPDFPageObjectHelper> pages = QPDFPageDocumentHelper(pdf).getAllPages();
  f.pages = static_cast<int>(pages.size());
  if (pages.empty()) return f;
  QPDFObjectHandle page = pages[0].getObjectHandle();
  auto data = page.getKey("/Contents").getStreamData();
  f.content.assign(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
  f.media_box = page.getKey("/MediaBox").isArray() && page.getKey("/Resources").isDictionary();
  QPDFObjectHandle intents = pdf.getRoot().getKey("/OutputIntents");
  if (intents.isArray() && intents.getArrayNItems() > 0) {
    f.output_condition =
        intents.getArrayItem(0).getKey("/OutputConditionIdentifier").getUTF8Value();
  }
  return f;
}

std::vector<std::string> Listing(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class PdfSplitter : public ::testing::Test {
 protected:
  void SetUp() override {
    lib_ = test::LoadRegexLibrary();
    ASSERT_NE(lib_, nullptr) << "regex.so not found or incomplete";
    fs::create_directory(in_);
    fs::create_directory(out_);
  }

  CallResult Split(const std::string& name, int page) {
    return lib_->SplitPdf((in_ / name).string(), page, out_.string() + "/");
  }

  std::unique_ptr<LoadedExpressionLibrary> lib_;
  test::TempDir dir_;
  fs::path in_ = dir_.path() / "in";
  fs::path out_ = dir_.path() / "out";
};

TEST_F(PdfSplitter, HashRunTakesTheZeroPaddedPageNumber) {
  WriteTestPdf(in_ / "SPO_####.pdf", 5);
  const CallResult r = Split("SPO_####.pdf", 17);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value, 5);
  EXPECT_THAT(Listing(out_), ElementsAre("SPO_0017.pdf", "SPO_0018.pdf", "SPO_0019.pdf",
                                         "SPO_0020.pdf", "SPO_0021.pdf"));
  for (int i = 0; i < 5; ++i) {
    const PageFile f = ReadPageFile(out_ / ("SPO_00" + std::to_string(17 + i) + ".pdf"));
    EXPECT_EQ(f.pages, 1);
    EXPECT_NE(f.content.find("(Page " + std::to_string(i + 1) + ")"), std::string::npos) << i;
    EXPECT_TRUE(f.media_box) << "the inherited media box or resources were lost";
    EXPECT_EQ(f.output_condition, "FOGRA39");
  }
  EXPECT_TRUE(fs::exists(in_ / "SPO_####.pdf"));  // the input is the caller's to remove
}

TEST_F(PdfSplitter, WithoutHashRunThreeDigitsAreAppended) {
  WriteTestPdf(in_ / "SPO.pdf", 5);
  const CallResult r = Split("SPO.pdf", 1);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value, 5);
  EXPECT_THAT(Listing(out_), ElementsAre("SPO_001.pdf", "SPO_002.pdf", "SPO_003.pdf", "SPO_004.pdf",
                                         "SPO_005.pdf"));
  EXPECT_NE(ReadPageFile(out_ / "SPO_004.pdf").content.find("(Page 4)"), std::string::npos);
}

TEST_F(PdfSplitter, PageFileNames) {
  struct {
    const char* input;
    int page;
    const char* expected;
  } const cases[] = {
      {"A_#.pdf", 12, "A_12.pdf"},    // more digits than the run: all of them
      {"A#B##.pdf", 7, "A#B07.pdf"},  // the last run counts
      {"X_###.PDF", 4, "X_004.PDF"},  // the extension keeps its case
      {"noext", 3, "noext_003.pdf"},  // ".pdf" is added
      {"scan.tmp", 0, "scan.tmp_000.pdf"}, {"##", 1234, "1234.pdf"},
  };
  for (const auto& c : cases) {
    fs::remove_all(out_);
    fs::create_directory(out_);
    WriteTestPdf(in_ / c.input, 1);
    EXPECT_EQ(Split(c.input, c.page).value, 1) << c.input;
    EXPECT_THAT(Listing(out_), ElementsAre(c.expected)) << c.input;
  }
  // The output folder may also be given without its closing separator.
  fs::remove_all(out_);
  fs::create_directory(out_);
  EXPECT_EQ(lib_->SplitPdf((in_ / "noext").string(), 9, out_.string()).value, 1);
  EXPECT_THAT(Listing(out_), ElementsAre("noext_009.pdf"));
}

TEST_F(PdfSplitter, EarlierPageFilesOfTheSameNameAreReplaced) {
  test::WriteFile(out_ / "SPO_001.pdf", "old");
  WriteTestPdf(in_ / "SPO.pdf", 2);
  ASSERT_EQ(Split("SPO.pdf", 1).value, 2);
  EXPECT_EQ(ReadPageFile(out_ / "SPO_001.pdf").pages, 1);
}

TEST_F(PdfSplitter, UnreadableInputLeavesNothingBehind) {
  WriteTestPdf(in_ / "good.pdf", 5);
  const std::string whole = test::ReadFile(in_ / "good.pdf");
  // Cut off where page objects and the page tree are gone.
  test::WriteFile(in_ / "cut.pdf", whole.substr(0, whole.size() / 5));
  test::WriteFile(in_ / "text.pdf", "this is not a PDF file at all\n");
  test::WriteFile(in_ / "empty.pdf", "");
  for (const char* name : {"cut.pdf", "text.pdf", "empty.pdf", "missing.pdf"}) {
    const CallResult r = Split(name, 1);
    EXPECT_FALSE(r.ok()) << name;
    EXPECT_LE(r.value, 0) << name;
    EXPECT_THAT(Listing(out_), IsEmpty()) << name;
  }
}

// Replaces object number n of a file written by WriteTestPdf with blanks, as
// a damaged sector would: the file stays readable, the object is gone.
std::string WithObjectWiped(const std::string& pdf, int n) {
  const std::size_t begin = pdf.find("\n" + std::to_string(n) + " 0 obj\n") + 1;
  const std::size_t end = pdf.find("endobj", begin) + 6;
  return pdf.substr(0, begin) + std::string(end - begin, ' ') + pdf.substr(end);
}

TEST_F(PdfSplitter, PagesThatLostPartsAreNotDeliveredAsBlankPages) {
  WriteTestPdf(in_ / "good.pdf", 5);
  const std::string whole = test::ReadFile(in_ / "good.pdf");
  // Objects 10 and 11 are page 4 and its content stream; 3 is the font.
  struct {
    const char* name;
    int object;
  } const damages[] = {{"page.pdf", 10}, {"content.pdf", 11}, {"font.pdf", 3}};
  for (const auto& d : damages) {
    test::WriteFile(in_ / d.name, WithObjectWiped(whole, d.object));
    EXPECT_FALSE(Split(d.name, 1).ok()) << d.name;
    EXPECT_THAT(Listing(out_), IsEmpty()) << d.name;
  }

  // Damage that loses nothing, such as cross-reference offsets that no longer
  // fit, is repaired and the file is split.
  test::WriteFile(in_ / "shifted.pdf", "%PDF-1.4\n%moved\n" + whole.substr(9));
  const CallResult r = Split("shifted.pdf", 1);
  EXPECT_EQ(r.value, 5);
  EXPECT_NE(ReadPageFile(out_ / "shifted_004.pdf").content.find("(Page 4)"), std::string::npos);
}

TEST_F(PdfSplitter, UnusableArgumentsFail) {
  WriteTestPdf(in_ / "SPO.pdf", 1);
  EXPECT_FALSE(Split("SPO.pdf", -1).ok());
  EXPECT_FALSE(lib_->SplitPdf((in_ / "SPO.pdf").string(), 1, "").ok());
  EXPECT_FALSE(lib_->SplitPdf("", 1, out_.string()).ok());
  EXPECT_FALSE(lib_->SplitPdf((in_ / "SPO.pdf").string(), 1, (out_ / "absent/").string()).ok());
  EXPECT_THAT(Listing(out_), IsEmpty());
}

TEST_F(PdfSplitter, UnwritableFolderLeavesNothingBehind) {
  WriteTestPdf(in_ / "SPO.pdf", 5);
  const std::string folder = out_.string();
  if (std::system(("chattr +i '" + folder + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "chattr +i is not available here";
  }
  const CallResult r = Split("SPO.pdf", 1);
  EXPECT_EQ(std::system(("chattr -i '" + folder + "'").c_str()), 0);
  EXPECT_FALSE(r.ok());
  EXPECT_THAT(Listing(out_), IsEmpty());
}

TEST_F(PdfSplitter, APageThatCannotBeWrittenTakesTheOthersAlong) {
  WriteTestPdf(in_ / "SPO.pdf", 5);
  // The third page's temporary file cannot be created: a folder has its name.
  fs::create_directory(out_ / ".SPO_003.pdf.part");
  const CallResult r = Split("SPO.pdf", 1);
  EXPECT_FALSE(r.ok());
  EXPECT_THAT(Listing(out_), ElementsAre(".SPO_003.pdf.part"));
}

TEST_F(PdfSplitter, APageThatCannotTakeItsNameTakesTheRenamedOnesAlong) {
  WriteTestPdf(in_ / "SPO.pdf", 5);
  // The fourth page cannot be renamed onto its final name: a folder has it.
  // By then pages 1 to 3 carry their final names and must go again.
  fs::create_directory(out_ / "SPO_004.pdf");
  const CallResult r = Split("SPO.pdf", 1);
  EXPECT_FALSE(r.ok());
  EXPECT_THAT(Listing(out_), ElementsAre("SPO_004.pdf"));
  EXPECT_TRUE(fs::is_directory(out_ / "SPO_004.pdf"));
}

}  // namespace
}  // namespace zf
