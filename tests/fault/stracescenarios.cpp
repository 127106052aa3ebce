#include "stracescenarios.h"

#include "serviceconfig.h"
#include "tempdir.h"
#include "testpdf.h"

namespace zf::fault {
namespace {

using test::WriteFile;

const Rule kTextRule{R"((\w+)\.txt)", "$1_renamed.txt", false, ""};
const Rule kSplitRule{R"(SPO_(\d+)\.pdf)", "SPO_####.pdf", false, "$1"};

QueueRecord LocalQueue(ServiceBench& b, Case& s, const std::string& error,
                       std::vector<Rule> rules) {
  QueueRecord q = test::MakeQueue("Q", b.Folder("in"), b.Folder("out"), error, std::move(rules));
  s.places.inputs = {b.Folder("in")};
  s.places.outputs = {b.Folder("out")};
  if (!error.empty()) s.places.errors = {error};
  s.places.other = {b.ConfigDir()};
  return q;
}

void WithLog(ServiceBench& b, Case& s, QueueRecord& q, int logtype) {
  q.Makelog = true;
  q.logtype = logtype;
  q.Logfile = b.Folder("log");
  s.places.logFolders = {b.Folder("log")};
}

void Input(ServiceBench& b, Case& s, const std::string& name, const std::string& content,
           std::vector<std::string> pages = {}) {
  WriteFile(b.root() + "/in/" + name, content);
  s.ledger.Add(name, content, std::move(pages));
}

}  // namespace

std::vector<Scenario> Scenarios() {
  std::vector<Scenario> all;
  all.push_back({"copy-csv", Traced::kWorker, [](ServiceBench& b, Case& s, const auto&) {
                   QueueRecord q = LocalQueue(b, s, "", {kTextRule});
                   WithLog(b, s, q, 0);
                   b.Configure({q}, test::QuickSettings());
                   for (int i = 1; i <= 3; ++i) {
                     Input(b, s, "copy" + std::to_string(i) + ".txt",
                           "copied file " + std::to_string(i) + std::string(3000 * i, 'c'));
                   }
                 }});
  all.push_back({"copy-xml", Traced::kWorker, [](ServiceBench& b, Case& s, const auto&) {
                   QueueRecord q = LocalQueue(b, s, "", {kTextRule});
                   WithLog(b, s, q, 1);
                   b.Configure({q}, test::QuickSettings());
                   Input(b, s, "xml1.txt", "first file of the XML queue");
                   Input(b, s, "xml2.txt", "second file of the XML queue");
                 }});
  all.push_back({"unresolved", Traced::kWorker, [](ServiceBench& b, Case& s, const auto&) {
                   QueueRecord q = LocalQueue(b, s, b.Folder("err"), {kTextRule});
                   b.Configure({q}, test::QuickSettings());
                   Input(b, s, "nomatch1.bin", "no rule names this one");
                   Input(b, s, "nomatch2.bin", "nor this one");
                 }});
  all.push_back({"split-error", Traced::kWorker,
                 [](ServiceBench& b, Case& s, const std::vector<std::string>& pages) {
                   QueueRecord q = LocalQueue(b, s, b.Folder("err"), {kSplitRule});
                   q.Splitpdf = true;
                   b.Configure({q}, test::QuickSettings());
                   Input(b, s, "SPO_17.pdf", test::TestPdf(3), pages);
                   Input(b, s, "stray.bin", "not a page at all");
                 }});
  all.push_back({"split-noerror", Traced::kWorker,
                 [](ServiceBench& b, Case& s, const std::vector<std::string>& pages) {
                   QueueRecord q = LocalQueue(b, s, "", {kSplitRule});
                   q.Splitpdf = true;
                   b.Configure({q}, test::QuickSettings());
                   Input(b, s, "SPO_4.pdf", test::TestPdf(3, 2, 5000), pages);
                 }});
  all.push_back({"renew-start", Traced::kStartUp, [](ServiceBench& b, Case& s, const auto&) {
                   QueueRecord q = LocalQueue(b, s, "", {kTextRule});
                   WithLog(b, s, q, 0);
                   q.newonstart = true;
                   b.Configure({q}, test::QuickSettings());
                   const std::string old =
                       "Log created 01012024 0000\r\nold1.txt,x,,OK,,01.01.2024,00:00:00\r\n";
                   WriteFile(b.root() + "/log/Q.log", old);
                   s.keptLogLines = {"old1.txt,x,,OK,,01.01.2024"};
                   // An interrupted copy of an earlier run, removed at start.
                   WriteFile(b.root() + "/out/.zf-0123456789abcdef-late.txt.part", "half");
                   Input(b, s, "late.txt", "delivered by the pass after start");
                 }});
  all.push_back({"renew-limit", Traced::kWorker, [](ServiceBench& b, Case& s, const auto&) {
                   QueueRecord q = LocalQueue(b, s, "", {kTextRule});
                   WithLog(b, s, q, 0);
                   q.newonmax = true;
                   q.Maxentries = 2;
                   b.Configure({q}, test::QuickSettings());
                   for (int i = 1; i <= 3; ++i) {
                     Input(b, s, "limit" + std::to_string(i) + ".txt",
                           "entry-limit file " + std::to_string(i));
                   }
                 }});
  all.push_back({"close-save", Traced::kClose, [](ServiceBench& b, Case& s, const auto&) {
                   QueueRecord q = LocalQueue(b, s, "", {kTextRule});
                   b.Configure({q}, test::QuickSettings());
                   Input(b, s, "before.txt", "delivered before the close");
                   s.places.configFiles[b.QueueFile()] = {test::ReadFile(b.QueueFile())};
                 }});
  return all;
}

}  // namespace zf::fault
