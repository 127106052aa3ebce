#include "checkconfig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "demo.h"
#include "exprlib/loadedexpressionlibrary.h"
#include "serviceconfig.h"
#include "tempdir.h"

namespace zf::app {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// The real library with chosen entry points reported missing.
class PartialLibrary final : public ExpressionLibrary {
 public:
  PartialLibrary(ExpressionLibrary& real, bool format, bool split)
      : real_(real), format_(format), split_(split) {}
  bool Has(EntryPoint e) const override {
    if (e == EntryPoint::kFormatExpression) return format_;
    if (e == EntryPoint::kPDFSplitter) return split_;
    return real_.Has(e);
  }
  CallResult TryMatch(std::string_view m, std::string_view n, bool p) override {
    return real_.TryMatch(m, n, p);
  }
  CallResult Format(std::string_view m, std::string_view f, std::string_view n, bool p,
                    FormatPurpose purpose) override {
    if (!format_) return {};
    return real_.Format(m, f, n, p, purpose);
  }
  CallResult SplitPdf(std::string_view, int, std::string_view) override { return {}; }

 private:
  ExpressionLibrary& real_;
  bool format_, split_;
};

// A library that cannot be called at all.
class AbsentLibrary final : public ExpressionLibrary {
 public:
  bool Has(EntryPoint) const override { return false; }
  CallResult TryMatch(std::string_view, std::string_view, bool) override { return {}; }
  CallResult Format(std::string_view, std::string_view, std::string_view, bool,
                    FormatPurpose) override {
    return {};
  }
  CallResult SplitPdf(std::string_view, int, std::string_view) override { return {}; }
};

class CheckConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = test::LoadBuiltLibrary();
    ASSERT_TRUE(library_ && library_->load_error().empty());
    for (const char* f : {"in", "out", "err", "log"}) std::filesystem::create_directory(dir_ / f);
  }
  QueueRecord Good(const std::string& name) {
    QueueRecord q = test::MakeQueue(name, dir_ / "in", dir_ / "out", dir_ / "err",
                                    {Rule{R"(SPO_(\d+)\.pdf)", "S$1.pdf", false, "$1"}});
    q.Makelog = true;
    q.Logfile = dir_ / "log";
    q.ignoremask = kJunkIgnoremask;
    return q;
  }
  ConfigReport Check(const std::vector<QueueRecord>& queues,
                     const std::vector<std::string>& loadMessages = {},
                     ExpressionLibrary* library = nullptr) {
    QueueTable table;
    for (const QueueRecord& q : queues) {
      EXPECT_TRUE(table.Append([&](QueueRecord& slot) { slot = q; }).ok());
    }
    return CheckConfiguration(table, loadMessages, library ? library : library_.get(), files_);
  }

  test::TempDir dir_;
  std::unique_ptr<LoadedExpressionLibrary> library_;
  SystemFileAccess files_;
};

TEST_F(CheckConfig, MatchExpressionsThatDoNotCompileAreToldFromThoseThatMatchNothing) {
  struct Case {
    std::string match;
    ExpressionCheck expected;
  };
  const Case cases[] = {
      {R"(SPO_(\d+)\.pdf)", ExpressionCheck::kCompiles},
      {"", ExpressionCheck::kCompiles},
      // Compiles, though no file name can ever fit it.
      {"x^y", ExpressionCheck::kCompiles},
      {"(?!)", ExpressionCheck::kCompiles},
      // Ends inside a quote or an extended-mode comment: the added
      // alternative alone would be swallowed.
      {R"(\Qa|b)", ExpressionCheck::kCompiles},
      {"(?x) abc  # a comment", ExpressionCheck::kCompiles},
      {R"(abc\\)", ExpressionCheck::kCompiles},
      {"([a-z", ExpressionCheck::kDoesNotCompile},
      {"a)(b", ExpressionCheck::kDoesNotCompile},
      {"*abc", ExpressionCheck::kDoesNotCompile},
      {R"(abc\)", ExpressionCheck::kDoesNotCompile},
      {"(?<n>a)(?<n>b)", ExpressionCheck::kDoesNotCompile},
      {"[z-a]", ExpressionCheck::kDoesNotCompile},
      {"(?#unterminated", ExpressionCheck::kDoesNotCompile},
      {std::string(1024, 'a'), ExpressionCheck::kTooLong},
  };
  for (const Case& c : cases) {
    for (bool partial : {false, true}) {
      EXPECT_EQ(CheckMatchExpression(*library_, c.match, partial), c.expected)
          << c.match << " partial " << partial;
    }
  }
  AbsentLibrary absent;
  EXPECT_EQ(CheckMatchExpression(absent, "abc", false), ExpressionCheck::kUnchecked);
}

TEST_F(CheckConfig, FormatExpressionsAreCheckedAgainstTheirMatchExpression) {
  struct Case {
    std::string match, format;
    bool fits;
  };
  const Case cases[] = {
      {R"((\d+)_(\w+)\.pdf)", "$2_$1.pdf", true},
      {R"((?<pub>[A-Z]+)_(\d+))", "${pub}-$2", true},
      {R"((\w+?)(_v(\d+))?\.pdf)", "$1${2:+_rev$3:_rev0}.pdf", true},
      {R"((\d+)_(\w+)\.pdf)", "$3.pdf", false},
      {R"((?<pub>[A-Z]+))", "${nmae}", false},
      {"(a)", "${1", false},
      {"(a)", R"(\q)", false},
      {"(a)", R"(x\x{0}y)", false},
      {R"(\Q(a)", "$1", false},  // the quote holds no group
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatExpressionFits(*library_, c.match, c.format, false), c.fits)
        << c.match << " / " << c.format;
  }
}

TEST_F(CheckConfig, AWorkingQueueGivesNothing) {
  const ConfigReport report = Check({Good("Sport")});
  EXPECT_THAT(report.problems, IsEmpty());
  EXPECT_THAT(report.notes, IsEmpty());
}

TEST_F(CheckConfig, ReportsFoldersMasksRulesLogAndRenewalTime) {
  QueueRecord bad = Good("Bad");
  bad.Inputfolder = dir_ / "missing-in";
  bad.Outputfolder.clear();
  bad.Errorfolder = dir_ / "missing-err";
  bad.Searchmask.clear();
  bad.ignoremask = "*.tmp;[abc;x";
  bad.NRegularexpr = 0;
  bad.Logfile = dir_ / "missing-log";
  bad.dailyhour = 24;
  bad.dailyminute = 5;
  bad.Collision = 4;
  bad.Readyfile = "done";
  bad.Checkpdf = true;
  bad.Checkpdfpasses = 0;
  const ConfigReport report = Check({bad});
  const std::string in = dir_ / "missing-in";
  const std::string err = dir_ / "missing-err";
  const std::string log = dir_ / "missing-log";
  EXPECT_THAT(
      report.problems,
      ElementsAre("queue 1 'Bad': input folder '" + in + "' does not exist",
                  "queue 1 'Bad': no output folder",
                  "queue 1 'Bad': error folder '" + err + "' does not exist",
                  "queue 1 'Bad': search mask is empty: no file is ever taken",
                  "queue 1 'Bad': ignore mask: '[abc' is an invalid mask at (1)",
                  "queue 1 'Bad': collision policy 4 is out of range (0 to 3): a file "
                  "replaces one of its name",
                  "queue 1 'Bad': ready marker 'done' cannot be used: it holds neither {name} "
                  "nor {base}",
                  "queue 1 'Bad': checks PDF files with Checkpdfpasses 0: an incomplete PDF goes "
                  "to the error folder at once",
                  "queue 1 'Bad': has no rules: every file is moved to the error folder",
                  "queue 1 'Bad': log folder '" + log + "' does not exist",
                  "queue 1 'Bad': daily renewal time 24:5 is out of range (0:00 to 23:59)"));
}

// The search mask is one mask, so "*.eps;*.ps" takes neither kind of file;
// an ignore mask with ";" is a list and stays quiet.
TEST_F(CheckConfig, ReportsASearchMaskHoldingASemicolon) {
  QueueRecord listed = Good("Listed");
  listed.Searchmask = "*.eps;*.ps";
  listed.ignoremask = "*.tmp;*.bak";
  QueueRecord single = Good("Single");
  single.Searchmask = "*.eps";
  // Junk of desktop clients is pointed out where it would reach an error folder.
  QueueRecord junk = Good("Junk");
  junk.ignoremask = "*.tmp;Thumbs.db;.DS_Store";
  QueueRecord noErrorFolder = Good("None");
  noErrorFolder.ignoremask = "none";
  noErrorFolder.Errorfolder.clear();
  const ConfigReport report = Check({listed, single, junk, noErrorFolder});
  EXPECT_THAT(report.problems,
              ElementsAre("queue 1 'Listed': search mask '*.eps;*.ps' holds \";\": it is one "
                          "mask, so it takes only names holding a literal \";\"; give each "
                          "kind of file a queue of its own"));
  EXPECT_THAT(report.notes, ElementsAre("queue 3 'Junk': its error folder would receive junk "
                                        "files such as ._Page01.pdf, desktop.ini, ~$Page01.doc: "
                                        "add them to the ignore mask, e.g. \"" +
                                        std::string(kJunkIgnoremask) + "\""));
  // What the intake does with such a mask, so the report says the truth.
  EXPECT_FALSE(ListingNameMatches("page.eps", listed.Searchmask));
  EXPECT_FALSE(ListingNameMatches("page.ps", listed.Searchmask));
  EXPECT_TRUE(ListingNameMatches("a.eps;b.ps", listed.Searchmask));
}

TEST_F(CheckConfig, ReportsEachRuleThatCannotWork) {
  QueueRecord q = Good("Rules");
  q.Splitpdf = true;
  q.Errorfolder.clear();
  q.NRegularexpr = 5;
  q.rule(1) = Rule{"([a-z", "x", false, "1"};
  q.rule(2) = Rule{R"((\d+))", "$2.pdf", false, "$1"};
  q.rule(3) = Rule{R"((\d+))", "p$1.pdf", true, "${page}"};
  q.rule(4) = Rule{R"((\d+))", "", false, "$1"};
  q.rule(5) = Rule{R"((\d+)\.pdf)", "ok_$1.pdf", false, "$1"};
  const ConfigReport report = Check({q});
  EXPECT_THAT(report.problems,
              ElementsAre("queue 1 'Rules': rule 1: match expression '([a-z' does not compile",
                          "queue 1 'Rules': rule 2: format expression '$2.pdf' does not fit the "
                          "match expression",
                          "queue 1 'Rules': rule 3: page-number format '${page}' does not fit the "
                          "match expression",
                          "queue 1 'Rules': rule 4: format expression is empty: the files it "
                          "matches get no name"));

  q.NRegularexpr = 0;
  EXPECT_THAT(Check({q}).problems,
              ElementsAre("queue 1 'Rules': has no rules: every file is deleted from the input "
                          "folder"));
}

TEST_F(CheckConfig, ReportsNamesFtpLoaderWarningsAndTheLibrary) {
  QueueRecord ftp = Good("Remote");
  ftp.FTPuse = true;
  ftp.FTPhost.clear();
  ftp.FTPTemppath = dir_ / "fetched";
  ftp.Inputfolder.clear();  // not used by an FTP queue
  ftp.Enabledatstart = false;
  // A fetched file whose delivery failed, and a partial fetch (not counted:
  // the server still has that file).
  std::filesystem::create_directories(dir_ / "fetched/Remote");
  test::WriteFile(dir_ / "fetched/Remote/page1.pdf", "fetched");
  test::WriteFile(dir_ / "fetched/Remote/.page2.pdf.part", "half");
  QueueRecord unnamed = Good("");
  const ConfigReport report =
      Check({Good("Sport"), Good("Sport"), ftp, unnamed}, {"Nfolders 120 exceeds 100"});
  EXPECT_THAT(report.problems,
              ElementsAre("configuration: Nfolders 120 exceeds 100",
                          "queue 2 'Sport': has the same name as queue 1; look-ups by name find "
                          "that one",
                          "queue 3 'Remote': takes its files from FTP but names no server",
                          "queue 4 '': has no name"));
  const std::string in = dir_ / "fetched/Remote/";
  EXPECT_THAT(report.notes,
              ElementsAre("queue 3 'Remote': not enabled at start: the service does not serve it",
                          "queue 3 'Remote': fetches by FTP from :" + std::to_string(ftp.FTPPort),
                          "queue 3 'Remote': 1 fetched file(s) in '" + in +
                              "' wait for delivery; the next pass delivers them: page1.pdf"));

  QueueRecord split = Good("Split");
  split.Splitpdf = true;
  PartialLibrary noSplit(*library_, true, false);
  EXPECT_THAT(Check({split}, {}, &noSplit).problems,
              ElementsAre("queue 1 'Split': splits PDF files, but the expression library has no "
                          "PDFSplitter"));
  PartialLibrary noFormat(*library_, false, true);
  EXPECT_THAT(Check({Good("A")}, {}, &noFormat).problems,
              ElementsAre(HasSubstr("FormatExpression is missing")));
  QueueTable table;
  EXPECT_THAT(CheckConfiguration(table, {}, nullptr, files_).problems,
              ElementsAre(HasSubstr("not loaded")));
}

TEST_F(CheckConfig, FtpTemporaryFoldersSharedOrAmongOtherFoldersAreReported) {
  const std::string fetched = dir_ / "fetched";
  std::filesystem::create_directory(fetched);
  std::filesystem::create_directory(dir_ / "err/sub");
  const auto ftp = [&](const std::string& name, const std::string& temp) {
    QueueRecord q = Good(name);
    q.FTPuse = true;
    q.FTPhost = "127.0.0.1";
    q.FTPTemppath = temp;
    return q;
  };
  QueueRecord local = Good("Local");
  local.Inputfolder = fetched + "/A";  // the folder queue A fetches into
  struct Case {
    std::vector<QueueRecord> queues;
    std::vector<std::string> expected;  // "P:" problem or "N:" note, a part of its text
  };
  const Case cases[] = {
      {{ftp("A", fetched), ftp("B", fetched)},
       {"N:queue 2 'B': FTP temporary folder '" + fetched + "' is also that of queue 1 'A'"}},
      {{ftp("A", fetched), ftp("A", fetched + "/")},
       {"P:queue 2 'A': FTP temporary folder '" + fetched +
        "/' and the queue's name are those of queue 1 'A'"}},
      {{ftp("A", dir_ / "out")},
       {"P:queue 1 'A': FTP temporary folder '" + std::string(dir_ / "out") +
        "' is the output folder of queue 1 'A'"}},
      {{Good("L"), ftp("A", dir_ / "err/sub")},
       {"P:queue 2 'A': FTP temporary folder '" + std::string(dir_ / "err/sub") +
            "' lies inside the error folder of queue 1 'L'",
        "P:queue 2 'A': FTP temporary folder '" + std::string(dir_ / "err/sub") +
            "' lies inside the error folder of queue 2 'A'"}},
      {{ftp("A", fetched), local},
       {"P:queue 1 'A': the input folder of queue 2 'Local' lies inside the queue's FTP "
        "temporary folder"}},
  };
  for (const Case& c : cases) {
    const ConfigReport report = Check(c.queues);
    std::vector<std::string> found;
    for (const std::string& p : report.problems) {
      if (p.find("FTP temporary folder") != std::string::npos) found.push_back("P:" + p);
    }
    for (const std::string& n : report.notes) {
      if (n.find("FTP temporary folder") != std::string::npos) found.push_back("N:" + n);
    }
    ASSERT_EQ(found.size(), c.expected.size()) << ::testing::PrintToString(found);
    for (std::size_t i = 0; i < found.size(); ++i) {
      EXPECT_THAT(found[i], HasSubstr(c.expected[i]));
    }
  }
}

TEST_F(CheckConfig, FtpProtocolAndServerKeySettingsAreChecked) {
  const std::string d = dir_.path().string(), pin = "sha256//" + std::string(43, 'x') + "=";
  test::WriteFile(d + "/private", "key");
  ::chmod((d + "/private").c_str(), 0600);
  test::WriteFile(d + "/shared", "key");
  ::chmod((d + "/shared").c_str(), 0640);
  struct Case {
    int protocol;
    std::string host, fingerprint, keyfile, knownhosts;
    std::string report;  // the queue's notes (N:) and problems (P:), in order
  };
  const Case cases[] = {
      {0, "127.0.0.1", "", "", "", "N:fetches by FTP from 127.0.0.1:21 "},
      {0, "ftp.example", "", "", "", "N:fetches by FTP from ftp.example:21 N:warning: plain FTP"},
      {1, "ftp.example", pin, "", "", "N:fetches by FTP with explicit TLS from ftp.example:21 "},
      {2, "h", "sha256//short", "", "",
       "N:fetches by FTP with implicit TLS from h:990 "
       "P:FTPfingerprint: 'sha256//short' is no public key"},
      {3, "h", "SHA256:" + std::string(43, 'y'), "private", "none", "N:fetches by SFTP from h:22 "},
      {3, "h", "", "", "private", "N:fetches by SFTP from h:22 "},
      {3, "h", "", "", "none",
       "N:fetches by SFTP from h:22 P:neither FTPfingerprint nor the "
       "known_hosts file '" +
           d + "/none' holds"},
      {3, "h", pin, d + "/shared", "",
       "N:fetches by SFTP from h:22 P:FTPfingerprint: '" + pin +
           "' is no SHA-256 host key fingerprint (SHA256:<base64>) "
           "P:key file '" +
           d + "/shared' is refused"},
      {3, "h", pin.substr(8), "none", "",
       "N:fetches by SFTP from h:22 P:key file '" + d + "/none' does not exist"},
      {7, "h", "", "", "", "P:FTPprotocol 7 is unknown"},
  };
  for (const Case& c : cases) {
    QueueRecord q = Good("F");
    q.FTPuse = true;
    q.FTPhost = c.host;
    q.FTPuser = "zf";
    q.FTPprotocol = c.protocol;
    q.FTPPort = DefaultFtpPort(c.protocol);
    q.FTPfingerprint = c.fingerprint;
    q.FTPknownhosts = c.knownhosts;
    q.FTPkeyfile = c.keyfile;
    q.FTPTemppath = d + "/in";
    QueueTable table;
    ASSERT_TRUE(table.Append([&](QueueRecord& slot) { slot = q; }).ok());
    const ConfigReport report = CheckConfiguration(table, {}, library_.get(), files_, d);
    std::string found;
    for (const std::string& n : report.notes) found += "N:" + n.substr(n.find(": ") + 2) + " ";
    for (const std::string& p : report.problems) found += "P:" + p.substr(p.find(": ") + 2) + " ";
    // A text ending in a blank is the whole report, else its start.
    EXPECT_EQ(c.report.back() == ' ' ? found : found.substr(0, c.report.size()), c.report);
  }
}

}  // namespace
}  // namespace zf::app
