// The checks that judge every crash and fault scenario must themselves catch
// what they are there for: a check that cannot fail would hide a lost file.

#include "invariants.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tempdir.h"

namespace zf::fault {
namespace {

using test::TempDir;
using test::WriteFile;
namespace fs = std::filesystem;

struct Folders {
  TempDir root;
  Places places;
  Folders() {
    for (const char* name : {"in", "out", "err", "log", "server", "ftptemp"}) {
      fs::create_directories(root / name);
    }
    places.inputs = {root / "in"};
    places.outputs = {root / "out"};
    places.errors = {root / "err"};
    places.logFolders = {root / "log"};
    places.ftpServer = {root / "server"};
    places.ftpTemp = {root / "ftptemp"};
  }
};

TEST(Invariants, EachInputInExactlyOnePlace) {
  Folders f;
  Ledger ledger;
  ledger.Add("a.txt", "alpha");
  ledger.Add("b.txt", "beta");
  ledger.Add("c.txt", "gamma", {}, /*mayVanish=*/true);
  WriteFile(f.root / "in/a.txt", "alpha");
  WriteFile(f.root / "out/B-renamed.txt", "beta");
  EXPECT_TRUE(CheckPlaces(ledger, f.places).ok()) << CheckPlaces(ledger, f.places).Text();

  // In two places at once: copied and its input kept.
  WriteFile(f.root / "err/a.txt", "alpha");
  Findings twice = CheckPlaces(ledger, f.places);
  ASSERT_EQ(twice.violations.size(), 1u) << twice.Text();
  EXPECT_NE(twice.violations[0].find("duplicated: a.txt"), std::string::npos);

  // Lost: neither in the input folder nor anywhere else.
  fs::remove(f.root / "in/a.txt");
  fs::remove(f.root / "err/a.txt");
  fs::remove(f.root / "out/B-renamed.txt");
  Findings lost = CheckPlaces(ledger, f.places);
  ASSERT_EQ(lost.violations.size(), 2u) << lost.Text();
  EXPECT_NE(lost.Text().find("lost: a.txt"), std::string::npos);
  EXPECT_NE(lost.Text().find("lost: b.txt"), std::string::npos);
  EXPECT_EQ(lost.Text().find("c.txt"), std::string::npos) << "may vanish";
}

TEST(Invariants, APdfsIdentifierIsNoPartOfItsContent) {
  const std::string page =
      "%PDF-1.4\n1 0 obj<<>>endobj\ntrailer << /Root 1 0 R /ID [<0a1b><0a1b>] >>";
  std::string again = page;
  again.replace(again.find("0a1b><0a1b"), 10, "ffff><eeee");
  EXPECT_EQ(ContentHash(page), ContentHash(again));
  std::string other = page;
  other.replace(other.find("1 0 R"), 5, "2 0 R");
  EXPECT_NE(ContentHash(page), ContentHash(other));
  // Only a PDF: the same bytes in any other file are content like the rest.
  EXPECT_NE(ContentHash(page.substr(1)), ContentHash(again.substr(1)));
  // Cut before its identifier ends: still the torn file it is.
  EXPECT_NE(ContentHash(page), ContentHash(page.substr(0, page.size() - 8)));
}

TEST(Invariants, SplitInputsCountByTheirPagesAndTornFilesAreForeign) {
  Folders f;
  Ledger ledger;
  ledger.Add("doc.pdf", "whole document", {ContentHash("page one"), ContentHash("page two")});
  WriteFile(f.root / "out/doc_1.pdf", "page one");
  // One page only, the input gone: lost.
  EXPECT_NE(CheckPlaces(ledger, f.places).Text().find("lost: doc.pdf"), std::string::npos);
  WriteFile(f.root / "out/doc_2.pdf", "page two");
  EXPECT_TRUE(CheckPlaces(ledger, f.places).ok());
  // A file in the FTP server's folder counts as a place too.
  WriteFile(f.root / "server/doc.pdf", "whole document");
  EXPECT_NE(CheckPlaces(ledger, f.places).Text().find("duplicated"), std::string::npos);
  fs::remove(f.root / "server/doc.pdf");

  fs::create_directories(f.root / "out/sub");
  WriteFile(f.root / "out/sub/doc_2.pdf", "page t");
  EXPECT_NE(CheckPlaces(ledger, f.places).Text().find("foreign content"), std::string::npos);
}

TEST(Invariants, LeftoversLogsAndConfiguration) {
  Folders f;
  EXPECT_TRUE(CheckNoLeftovers(f.places).ok());
  WriteFile(f.root / "out/.zf-0123456789abcdef-x.pdf.part", "half");
  fs::create_directories(f.root / "in/.zf-staging");
  WriteFile(f.root / "in/.zf-staging/new.pdf", "link");
  Findings left = CheckNoLeftovers(f.places);
  EXPECT_EQ(left.violations.size(), 2u) << left.Text();

  WriteFile(f.root / "log/q.log",
            "Log created 01052024 080000\r\na,b,,OK,Renamed,t1,t2\r\na,b,,OK,Renamed,t1,t2\r\n");
  WriteFile(f.root / "log/q.xml", "<JMF><Audit/></JMF>");
  const std::string ini = f.root / "Queues.ini";
  WriteFile(ini, "[Q]\nName=new\n");
  f.places.configFiles[ini] = {"[Q]\nName=old\n", "[Q]\nName=new\n"};
  EXPECT_TRUE(CheckLogsAndConfig(f.places).ok()) << CheckLogsAndConfig(f.places).Text();

  WriteFile(f.root / "log/q.log", "a,b,,OK,Renamed,t1,t2\r\na,b,,OK");
  WriteFile(f.root / "log/r.log", "a,b,,OK,Renamed,t1,t2\r\nLog created 01052024 080000\r\n");
  WriteFile(f.root / "log/q.xml", "<JMF><Audit/>");
  WriteFile(ini, "[Q]\nNa");
  Findings broken = CheckLogsAndConfig(f.places);
  EXPECT_NE(broken.Text().find("torn last line"), std::string::npos) << broken.Text();
  // The opening line counts only where a new file starts.
  EXPECT_NE(broken.Text().find("broken line 2 in " + f.root / "log/r.log"), std::string::npos);
  EXPECT_NE(broken.Text().find("does not parse"), std::string::npos);
  EXPECT_NE(broken.Text().find("neither its old nor its new"), std::string::npos);
}

TEST(Invariants, TheObserverSeesAHalfWrittenFileUnderAFinalName) {
  Folders f;
  Ledger ledger;
  const std::string content(1 << 20, 'x');
  ledger.Add("big.bin", content);
  Observer observer(ledger, f.places, 1);
  observer.Start();
  // Written in place, in pieces: exactly what delivery must never do.
  {
    std::FILE* out = std::fopen((f.root / "out/big.bin").c_str(), "wb");
    ASSERT_NE(out, nullptr);
    for (int i = 0; i < 64; ++i) {
      std::fwrite(content.data() + i * (1 << 14), 1, 1 << 14, out);
      std::fflush(out);
      if (i == 32) {
        const std::uint64_t seen = observer.rounds();
        while (observer.rounds() < seen + 2) std::this_thread::yield();
      }
    }
    std::fclose(out);
  }
  const Findings seen = observer.Stop();
  EXPECT_GT(observer.rounds(), 0u);
  EXPECT_NE(seen.Text().find("half-visible"), std::string::npos) << seen.Text();

  // Written beside and renamed into place: never seen half.
  Observer clean(ledger, f.places, 1);
  clean.Start();
  WriteFile(f.root / "out/.zf-0000000000000001-big2.bin.part", content);
  fs::rename(f.root / "out/.zf-0000000000000001-big2.bin.part", f.root / "out/big2.bin");
  const std::uint64_t before = clean.rounds();
  while (clean.rounds() < before + 2) std::this_thread::yield();
  EXPECT_TRUE(clean.Stop().ok());
}

TEST(Invariants, AFingerprintSeesContentNotHowItIsStored) {
  TempDir dir;
  // The same 1 MiB + 10 bytes: written out in full, and with a hole.
  std::string content(1 << 20, '\0');
  content.replace(300000, 5, "hello");
  content += "0123456789";
  WriteFile(dir / "full", content);
  {
    std::FILE* out = std::fopen((dir / "sparse").c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fseek(out, 300000, SEEK_SET);
    std::fwrite("hello", 1, 5, out);
    std::fseek(out, (1 << 20), SEEK_SET);
    std::fwrite("0123456789", 1, 10, out);
    std::fclose(out);
  }
  EXPECT_EQ(HashFile(dir / "full"), ContentHash(content));
  EXPECT_EQ(HashFile(dir / "sparse"), ContentHash(content));
  // One byte more zeros, one byte changed, or a shorter tail all differ.
  EXPECT_NE(ContentHash(content + std::string(1, '\0')), ContentHash(content));
  std::string changed = content;
  changed[4096 * 100] = 1;
  EXPECT_NE(ContentHash(changed), ContentHash(content));
  EXPECT_NE(ContentHash(content.substr(0, content.size() - 1)), ContentHash(content));
  EXPECT_NE(ContentHash(std::string(8192, '\0')), ContentHash(std::string(4096, '\0')));
  EXPECT_EQ(HashFile(dir / "missing"), "");
}

}  // namespace
}  // namespace zf::fault
