#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include "platform/fileops.h"
#include "regexlibtest.h"
#include "tempdir.h"
#include "testpdf.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

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
  test::WriteFile(in_ / "SPO_####.pdf", test::TestPdf(5));
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
  test::WriteFile(in_ / "SPO.pdf", test::TestPdf(5));
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
    test::WriteFile(in_ / c.input, test::TestPdf(1));
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
  test::WriteFile(in_ / "SPO.pdf", test::TestPdf(2));
  ASSERT_EQ(Split("SPO.pdf", 1).value, 2);
  EXPECT_EQ(ReadPageFile(out_ / "SPO_001.pdf").pages, 1);
}

TEST_F(PdfSplitter, UnreadableInputLeavesNothingBehind) {
  test::WriteFile(in_ / "good.pdf", test::TestPdf(5));
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

// Replaces object number n of a file written by test::TestPdf with blanks, as
// a damaged sector would: the file stays readable, the object is gone.
std::string WithObjectWiped(const std::string& pdf, int n) {
  const std::size_t begin = pdf.find("\n" + std::to_string(n) + " 0 obj\n") + 1;
  const std::size_t end = pdf.find("endobj", begin) + 6;
  return pdf.substr(0, begin) + std::string(end - begin, ' ') + pdf.substr(end);
}

TEST_F(PdfSplitter, PagesThatLostPartsAreNotDeliveredAsBlankPages) {
  test::WriteFile(in_ / "good.pdf", test::TestPdf(5));
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
  test::WriteFile(in_ / "SPO.pdf", test::TestPdf(1));
  EXPECT_FALSE(Split("SPO.pdf", -1).ok());
  EXPECT_FALSE(lib_->SplitPdf((in_ / "SPO.pdf").string(), 1, "").ok());
  EXPECT_FALSE(lib_->SplitPdf("", 1, out_.string()).ok());
  EXPECT_FALSE(lib_->SplitPdf((in_ / "SPO.pdf").string(), 1, (out_ / "absent/").string()).ok());
  EXPECT_THAT(Listing(out_), IsEmpty());
}

TEST_F(PdfSplitter, UnwritableFolderLeavesNothingBehind) {
  test::WriteFile(in_ / "SPO.pdf", test::TestPdf(5));
  const std::string folder = out_.string();
  if (std::system(("chattr +i '" + folder + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "chattr +i is not available here";
  }
  const CallResult r = Split("SPO.pdf", 1);
  EXPECT_EQ(std::system(("chattr -i '" + folder + "'").c_str()), 0);
  EXPECT_FALSE(r.ok());
  EXPECT_THAT(Listing(out_), IsEmpty());
}

// Runs `work` with every file this process writes limited to `bytes`: a
// write beyond fails as on a full disk (EFBIG instead of a signal).
template <typename Work>
void WithFileSizeLimit(rlim_t bytes, const Work& work) {
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const rlimit limited{bytes, old.rlim_max};
  auto* const handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  work();
  EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  std::signal(SIGXFSZ, handler);
}

TEST_F(PdfSplitter, APageThatCannotBeWrittenTakesTheOthersAlong) {
  // Pages 1 and 2 are small and written whole; page 3 is far larger than
  // the limit and breaks off halfway, after the first two are on the disk.
  test::WriteFile(in_ / "SPO.pdf", test::TestPdf(5, 3, 256 * 1024));
  CallResult r;
  WithFileSizeLimit(64 * 1024, [&] { r = Split("SPO.pdf", 1); });
  EXPECT_FALSE(r.ok());
  EXPECT_THAT(Listing(out_), IsEmpty());
  // Without the limit the same file splits, so it was the write that failed.
  EXPECT_EQ(Split("SPO.pdf", 1).value, 5);
}

// While a page is written, its name is one that no search mask takes and that
// the start-up clean-up of the output folders knows as a leftover of ours;
// a page appears under its real name only by the rename that completes it.
TEST_F(PdfSplitter, PagesAreWrittenUnderTemporaryNamesOfTheProgramsShape) {
  test::WriteFile(in_ / "SPO.pdf", test::TestPdf(3));
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, out_.c_str(), IN_CREATE | IN_MOVED_TO), 0);
  ASSERT_EQ(Split("SPO.pdf", 1).value, 3);

  std::vector<std::string> created, renamed;
  alignas(inotify_event) char buffer[16 * 1024];
  for (ssize_t n; (n = read(watch, buffer, sizeof buffer)) > 0;) {
    for (char* at = buffer; at < buffer + n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      (event->mask & IN_CREATE ? created : renamed).push_back(event->name);
      at += sizeof(inotify_event) + event->len;
    }
  }
  close(watch);
  ASSERT_EQ(created.size(), 3u);
  for (const std::string& name : created) {
    EXPECT_TRUE(FileOperations::IsTempName(name)) << name;
    EXPECT_NE(name.find("SPO_00"), std::string::npos) << "the page's name helps the operator";
  }
  EXPECT_THAT(renamed, ElementsAre("SPO_001.pdf", "SPO_002.pdf", "SPO_003.pdf"));
}

// A page that cannot take its name fails the split, but the pages already
// renamed stay: each is complete and has replaced the page of an earlier
// delivery, so removing it would leave the output with fewer pages than it
// had. The pages not yet published go.
TEST_F(PdfSplitter, AFailedRenameKeepsThePagesAlreadyPublished) {
  test::WriteFile(in_ / "SPO.pdf", test::TestPdf(5));
  for (const char* old : {"SPO_001.pdf", "SPO_002.pdf", "SPO_003.pdf", "SPO_005.pdf"}) {
    test::WriteFile(out_ / old, "earlier delivery");
  }
  fs::create_directory(out_ / "SPO_004.pdf");
  const CallResult r = Split("SPO.pdf", 1);
  EXPECT_FALSE(r.ok());
  EXPECT_THAT(Listing(out_), ElementsAre("SPO_001.pdf", "SPO_002.pdf", "SPO_003.pdf",
                                         "SPO_004.pdf", "SPO_005.pdf"));
  // Pages 1 to 3 are the new ones, whole; page 5 is still the earlier one.
  for (const char* page : {"SPO_001.pdf", "SPO_002.pdf", "SPO_003.pdf"}) {
    EXPECT_EQ(test::ReadFile(out_ / page).substr(0, 5), "%PDF-") << page;
  }
  EXPECT_EQ(test::ReadFile(out_ / "SPO_005.pdf"), "earlier delivery");
}

// The splitter reads only a regular file: a link under the name is refused
// (its target may be any file the service can read), and a pipe does not
// block the caller.
TEST_F(PdfSplitter, ReadsNoLinkAndNoPipe) {
  test::WriteFile(in_ / "real.pdf", test::TestPdf(2));
  fs::create_symlink(in_ / "real.pdf", in_ / "link.pdf");
  ASSERT_EQ(mkfifo((in_ / "pipe.pdf").c_str(), 0600), 0);
  EXPECT_EQ(Split("link.pdf", 1).value, 0);
  EXPECT_EQ(Split("pipe.pdf", 1).value, 0);
  EXPECT_TRUE(Listing(out_).empty());
}

}  // namespace
}  // namespace zf
