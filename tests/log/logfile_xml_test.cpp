#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "log/jmflog.h"
#include "log/logfile.h"
#include "logfile_fixture.h"

namespace zf {
namespace {

using test::Entry;
using test::LogFixture;
using test::ReadFile;
using test::WriteFile;

// The file read back by libxml2 itself: what any reader of the log sees.
struct Parsed {
  std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> doc{nullptr, xmlFreeDoc};
  xmlNode* root = nullptr;

  explicit Parsed(const std::string& path) {
    const std::string bytes = ReadFile(path);
    doc.reset(
        xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                      XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_NOWARNING | XML_PARSE_NOERROR));
    if (doc) root = xmlDocGetRootElement(doc.get());
  }
};

std::vector<xmlNode*> Elements(xmlNode* parent) {
  std::vector<xmlNode*> out;
  for (xmlNode* n = parent->children; n != nullptr; n = n->next) {
    if (n->type == XML_ELEMENT_NODE) out.push_back(n);
  }
  return out;
}

std::string Name(const xmlNode* n) {
  return reinterpret_cast<const char*>(n->name);
}

// Attributes in document order as name=value.
std::vector<std::string> Attributes(xmlNode* n) {
  std::vector<std::string> out;
  for (xmlAttr* a = n->properties; a != nullptr; a = a->next) {
    xmlChar* v = xmlNodeGetContent(reinterpret_cast<xmlNode*>(a));
    out.push_back(std::string(reinterpret_cast<const char*>(a->name)) + "=" +
                  reinterpret_cast<const char*>(v));
    xmlFree(v);
  }
  return out;
}

// The default namespace an element declares itself, or "-" for none.
std::string Declared(xmlNode* n) {
  return n->nsDef != nullptr ? reinterpret_cast<const char*>(n->nsDef->href) : "-";
}

TEST(LogFileXml, DocumentStructureAndAttributeOrder) {
  LogFixture f(1);
  LogFileWriter writer(f.table, f.clock, "dd.mm.yyyy hh:nn:ss:zzz");
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "SPO_0812_01.pdf")).ok());
  f.clock.now += 1.0 / 24;
  ASSERT_TRUE(f.Write(writer, Entry("Page02.pdf", "SPO_0812_02.pdf", "Error", "Cannot copy")).ok());
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "SPO_0812_01b.pdf", "Error", "Cannot split",
                                    EncodeDateTime(2025, 12, 8, 15, 0, 0, 1),
                                    EncodeDateTime(2025, 12, 8, 15, 1, 0, 2)))
                  .ok());

  const std::string text = ReadFile(f.Path("Sport.xml"));
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<JMF TimeStamp=\"08/12/2025 "
                       "14:05:12\" SenderID=\"logfile_xml_test\" "
                       "xmlns=\"http://www.CIP4.org/JDFSchema_1_1\">",
                       0),
            0u)
      << text;

  Parsed p(f.Path("Sport.xml"));
  ASSERT_NE(p.root, nullptr);
  EXPECT_STREQ(reinterpret_cast<const char*>(p.doc->encoding), "UTF-8");
  EXPECT_EQ(Name(p.root), "JMF");
  EXPECT_EQ(Attributes(p.root), (std::vector<std::string>{"TimeStamp=08/12/2025 14:05:12",
                                                          "SenderID=logfile_xml_test"}));
  EXPECT_EQ(Declared(p.root), "http://www.CIP4.org/JDFSchema_1_1");

  const auto children = Elements(p.root);
  ASSERT_EQ(children.size(), 3u);
  EXPECT_EQ(Name(children[0]), "Folder");
  EXPECT_EQ(Attributes(children[0]), (std::vector<std::string>{"name=Sport", "Input=/hot/sport/in",
                                                               "Output=/hot/sport/out"}));
  EXPECT_EQ(Name(children[1]), "Page01.pdf");
  EXPECT_EQ(Name(children[2]), "Page02.pdf");
  EXPECT_EQ(children[1]->properties, nullptr);

  // Two entries for one name: one element, entries in order.
  const auto page01 = Elements(children[1]);
  ASSERT_EQ(page01.size(), 2u);
  EXPECT_EQ(Name(page01[0]), "Newname");
  EXPECT_EQ(Declared(page01[0]), "SPO_0812_01.pdf");
  EXPECT_EQ(Attributes(page01[0]),
            (std::vector<std::string>{"status=OK", "File-time=08.12.2025 14:03:10:123",
                                      "Poll-time=08.12.2025 14:05:12:500", "Comment="}));
  EXPECT_EQ(Declared(page01[1]), "SPO_0812_01b.pdf");
  EXPECT_EQ(
      Attributes(page01[1]),
      (std::vector<std::string>{"status=Error", "File-time=08.12.2025 15:00:00:001",
                                "Poll-time=08.12.2025 15:01:00:002", "Comment=Cannot split"}));
  const auto page02 = Elements(children[2]);
  ASSERT_EQ(page02.size(), 1u);
  EXPECT_EQ(Attributes(page02[0])[3], "Comment=Cannot copy");
  // The file's creation time stays that of the first entry.
  EXPECT_EQ(Attributes(p.root)[0], "TimeStamp=08/12/2025 14:05:12");
}

TEST(LogFileXml, EmptyOutputNameDeclaresNoNamespace) {
  LogFixture f(1);
  LogFileWriter writer(f.table, f.clock, "hh:nn");
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "", "Error", "cannot rename")).ok());
  const std::string text = ReadFile(f.Path("Sport.xml"));
  EXPECT_NE(text.find("<Page01.pdf><Newname status=\"Error\" File-time=\"14:03\" "
                      "Poll-time=\"14:05\" Comment=\"cannot rename\"/></Page01.pdf>"),
            std::string::npos)
      << text;
  Parsed p(f.Path("Sport.xml"));
  ASSERT_NE(p.root, nullptr);
  EXPECT_EQ(Declared(Elements(Elements(p.root)[1])[0]), "-");
}

TEST(LogFileXml, LogformatAndEscapedTexts) {
  LogFixture f(1);
  f.Edit([](QueueRecord& q) {
    q.name = "Sport & <Co>";
    q.Inputfolder = "in\"put";
  });
  LogFileWriter writer(f.table, f.clock, "yyyy-mm-dd hh:nn");
  ASSERT_TRUE(f.Write(writer, Entry("R_D.pdf", "R&D <1> \"a\".pdf", "OK", "tab\there\nline")).ok());
  Parsed p(f.Path("Sport & <Co>.xml"));
  ASSERT_NE(p.root, nullptr);
  const auto children = Elements(p.root);
  EXPECT_EQ(Attributes(children[0])[0], "name=Sport & <Co>");
  EXPECT_EQ(Attributes(children[0])[1], "Input=in\"put");
  xmlNode* entry = Elements(children[1])[0];
  EXPECT_EQ(Declared(entry), "R&D <1> \"a\".pdf");
  EXPECT_EQ(Attributes(entry),
            (std::vector<std::string>{"status=OK", "File-time=2025-12-08 14:03",
                                      "Poll-time=2025-12-08 14:05", "Comment=tab\there\nline"}));
}

TEST(LogFileXml, NamesThatAreNotUtf8AreReadAsLatin1) {
  LogFixture f(1);
  LogFileWriter writer(f.table, f.clock, "hh:nn");
  ASSERT_TRUE(f.Write(writer, Entry("Gr\xfc\xdf"
                                    "e.pdf",
                                    "\xe9t\xe9.pdf", "OK", "bad\x01"))
                  .ok());
  ASSERT_TRUE(f.Write(writer, Entry("Gr\xc3\xbc\xc3\x9f"
                                    "e.pdf",
                                    "ok.pdf"))
                  .ok());  // UTF-8 already
  Parsed p(f.Path("Sport.xml"));
  ASSERT_NE(p.root, nullptr);
  const auto children = Elements(p.root);
  ASSERT_EQ(children.size(), 2u);  // both spellings are one name
  EXPECT_EQ(Name(children[1]),
            "Gr\xc3\xbc\xc3\x9f"
            "e.pdf");
  const auto entries = Elements(children[1]);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(Declared(entries[0]), "\xc3\xa9t\xc3\xa9.pdf");
  EXPECT_EQ(Attributes(entries[0])[3], "Comment=bad\xef\xbf\xbd");

  EXPECT_EQ(ToUtf8("abc"), "abc");
  EXPECT_EQ(ToUtf8("\xc3\xa9"), "\xc3\xa9");
  EXPECT_EQ(ToUtf8("\xc3\xa9\xe9"), "\xc3\x83\xc2\xa9\xc3\xa9");  // mixed: all Latin-1
  EXPECT_EQ(ToUtf8("\xed\xa0\x80"), "\xc3\xad\xc2\xa0\xc2\x80");  // a surrogate is no UTF-8
  EXPECT_EQ(ToUtf8("\xc0\xaf"), "\xc3\x80\xc2\xaf");              // nor an overlong form
  EXPECT_EQ(ToXmlText("a\tb\x1f\n"), "a\tb\xef\xbf\xbd\n");
  EXPECT_EQ(ToXmlText("\xef\xbf\xbf"), "\xef\xbf\xbd");  // U+FFFF
}

TEST(LogFileXml, InvalidElementNameIsPassedToTheCaller) {
  LogFixture f(1);
  LogFileWriter writer(f.table, f.clock, "hh:nn");
  for (const char* name : {"01.pdf", "Page 01.pdf", "",
                           "a\x01"
                           "b",
                           "-x", "a<b",
                           // A colon would bind an undeclared prefix: namespace-aware
                           // readers reject such a document as a whole.
                           "Job:1.pdf", "a:b"}) {
    const Status status = f.Write(writer, Entry(name, "X.pdf"));
    EXPECT_FALSE(status.ok()) << name;
    EXPECT_NE(status.message().find("not a valid XML element name"), std::string::npos);
  }
  EXPECT_TRUE(f.Files().empty());  // no file was begun for them
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "X.pdf")).ok());
  const std::string before = ReadFile(f.Path("Sport.xml"));
  EXPECT_FALSE(f.Write(writer, Entry("1.pdf", "X.pdf")).ok());
  EXPECT_EQ(ReadFile(f.Path("Sport.xml")), before);
  ASSERT_TRUE(f.Write(writer, Entry("Page02.pdf", "X.pdf")).ok());
  const Parsed after(f.Path("Sport.xml"));
  EXPECT_EQ(Elements(after.root).size(), 3u);
}

TEST(LogFileXml, NewOnMaxCountsRootChildren) {
  LogFixture f(1);
  f.Edit([](QueueRecord& q) {
    q.newonmax = true;
    q.Maxentries = 3;
  });
  LogFileWriter writer(f.table, f.clock, "hh:nn");
  auto write = [&](const char* name) {
    EXPECT_TRUE(f.Write(writer, Entry(name, "X.pdf")).ok());
    return f.Files().size();
  };
  EXPECT_EQ(write("A.pdf"), 1u);                              // Folder, A
  EXPECT_EQ(write("B.pdf"), 1u);                              // Folder, A, B
  for (int i = 0; i < 5; ++i) EXPECT_EQ(write("A.pdf"), 1u);  // repeats never count
  EXPECT_EQ(write("C.pdf"), 1u);  // 3 children before: Folder, A, B, C after
  EXPECT_EQ(write("A.pdf"), 2u);  // 4 children before: renewed
  const Parsed archive(f.Path("Sport_081220251405.xml"));
  EXPECT_EQ(Elements(archive.root).size(), 4u);
  const Parsed current(f.Path("Sport.xml"));
  const auto fresh = Elements(current.root);
  ASSERT_EQ(fresh.size(), 2u);
  EXPECT_EQ(Name(fresh[1]), "A.pdf");
  EXPECT_EQ(Elements(fresh[1]).size(), 1u);
}

TEST(LogFileXml, FileWithoutJmfRootIsNeverTouched) {
  // With newonmax the size rule finds the foreign root first; without it the
  // writing step does. Either way the call ends and nothing is reported.
  for (const bool newonmax : {false, true}) {
    LogFixture f(1);
    f.Edit([&](QueueRecord& q) {
      q.newonmax = newonmax;
      q.Maxentries = 0;
    });
    LogFileWriter writer(f.table, f.clock, "hh:nn");
    const std::string foreign = "<?xml version=\"1.0\"?>\n<Other><Page01.pdf/></Other>\n";
    WriteFile(f.Path("Sport.xml"), foreign);
    EXPECT_TRUE(f.Write(writer, Entry("Page01.pdf", "X.pdf")).ok());
    EXPECT_TRUE(f.Write(writer, Entry("Page02.pdf", "X.pdf")).ok());
    EXPECT_EQ(f.Files(), std::vector<std::string>{"Sport.xml"});
    EXPECT_EQ(ReadFile(f.Path("Sport.xml")), foreign);
  }
}

TEST(LogFileXml, UnreadableFileIsAnErrorAndStaysAsItIs) {
  LogFixture f(1);
  f.Edit([](QueueRecord& q) { q.newonmax = true; });
  LogFileWriter writer(f.table, f.clock, "hh:nn");
  for (const std::string& broken : {std::string("<JMF><Folder></JMF>"), std::string()}) {
    WriteFile(f.Path("Sport.xml"), broken);
    const Status status = f.Write(writer, Entry("Page01.pdf", "X.pdf"));
    EXPECT_FALSE(status.ok());
    EXPECT_NE(status.message().find("not a well-formed XML document"), std::string::npos)
        << status.message();
    EXPECT_EQ(ReadFile(f.Path("Sport.xml")), broken);
  }
}

TEST(LogFileXml, FilesWrittenElsewhereAreReadAndKept) {
  LogFixture f(1);
  LogFileWriter writer(f.table, f.clock, "hh:nn");
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "X.pdf")).ok());
  // Another program rewrites the file between two entries, in its own layout.
  const std::string other =
      "<?xml version='1.0' encoding='UTF-8'?>\n<!-- kept -->\n"
      "<JMF xmlns=\"http://www.CIP4.org/JDFSchema_1_1\" TimeStamp=\"t\">\n"
      "  <Folder name=\"Sport\"/>\n  <Page09.pdf/>\n"
      "  <Page01.pdf><![CDATA[x<y]]><Newname xmlns=\"A&amp;B\" status=\"OK\"/></Page01.pdf>\n"
      "</JMF>\n";
  WriteFile(f.Path("Sport.xml"), other);
  ASSERT_TRUE(f.Write(writer, Entry("Page09.pdf", "N9.pdf")).ok());
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "N1.pdf")).ok());
  ASSERT_TRUE(f.Write(writer, Entry("Page10.pdf", "N10.pdf")).ok());

  Parsed p(f.Path("Sport.xml"));
  ASSERT_NE(p.root, nullptr);
  const std::string text = ReadFile(f.Path("Sport.xml"));
  EXPECT_NE(text.find("<!-- kept -->"), std::string::npos);
  EXPECT_NE(text.find("<![CDATA[x<y]]>"), std::string::npos);
  const auto children = Elements(p.root);
  ASSERT_EQ(children.size(), 4u);
  EXPECT_EQ(Name(children[1]), "Page09.pdf");
  EXPECT_EQ(Declared(Elements(children[1])[0]), "N9.pdf");
  const auto page01 = Elements(children[2]);
  ASSERT_EQ(page01.size(), 2u);
  EXPECT_EQ(Declared(page01[0]), "A&B");
  EXPECT_EQ(Declared(page01[1]), "N1.pdf");
  EXPECT_EQ(Name(children[3]), "Page10.pdf");
}

TEST(LogFileXml, JmfTextParsesWhatItWrites) {
  JmfLogText doc = JmfLogText::Create("ts", "sender", {"Sport", "in", "out"});
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(doc.AddEntry({"P" + std::to_string(i % 7) + ".pdf", i % 3 ? "R&D.pdf" : "", "OK",
                              "f", "p", "c&<>\"'"})
                    .ok());
  }
  EXPECT_EQ(doc.RootElementCount(), 8u);
  Result<JmfLogText> again = JmfLogText::Parse(doc.Text());
  ASSERT_TRUE(again.ok()) << again.status().message();
  EXPECT_EQ(again->Text(), doc.Text());  // parsing and writing again changes nothing
  EXPECT_EQ(again->RootElementCount(), 8u);

  Result<JmfLogText> prefixed = JmfLogText::Parse("<j:JMF xmlns:j=\"u\"/>");
  ASSERT_TRUE(prefixed.ok());
  EXPECT_FALSE(prefixed->HasJmfRoot());
  EXPECT_FALSE(JmfLogText::Parse("<JMF>").ok());
}

TEST(LogFileXml, FileModeIsKeptAndNoTemporaryFileRemains) {
  LogFixture f(1);
  LogFileWriter writer(f.table, f.clock, "hh:nn");
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "X.pdf")).ok());
  ASSERT_EQ(::chmod(f.Path("Sport.xml").c_str(), 0640), 0);
  ASSERT_TRUE(f.Write(writer, Entry("Page02.pdf", "X.pdf")).ok());
  struct stat st;
  ASSERT_EQ(::stat(f.Path("Sport.xml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(f.Files(), std::vector<std::string>{"Sport.xml"});
}

TEST(LogFileXmlCrash, FailedSaveLeavesTheOldFileWhole) {
  LogFixture f(1);
  test::FullDiskIo io;
  LogFileWriter writer(f.table, f.clock, "hh:nn", io);
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "X.pdf")).ok());
  const std::string before = ReadFile(f.Path("Sport.xml"));
  io.room = 0;  // the disk is full
  Status status = f.Write(writer, Entry("Page02.pdf", "X.pdf"));
  EXPECT_EQ(status.code(), ENOSPC);
  EXPECT_NE(status.message().find("Unable to save the log file"), std::string::npos);
  io.room = SIZE_MAX;
  io.failSync = true;
  EXPECT_EQ(f.Write(writer, Entry("Page03.pdf", "X.pdf")).code(), EIO);
  EXPECT_EQ(ReadFile(f.Path("Sport.xml")), before);
  EXPECT_EQ(f.Files(), std::vector<std::string>{"Sport.xml"});
  // The refused entries are not carried into the next save.
  io.failSync = false;
  ASSERT_TRUE(f.Write(writer, Entry("Page04.pdf", "X.pdf")).ok());
  const Parsed after(f.Path("Sport.xml"));
  const auto children = Elements(after.root);
  ASSERT_EQ(children.size(), 3u);
  EXPECT_EQ(Name(children[2]), "Page04.pdf");

  // A locked folder: nothing can be saved, and the caller is told.
  test::Immutable folder(f.dir.path().string());
  if (!folder.ok()) return;
  EXPECT_EQ(f.Write(writer, Entry("Page05.pdf", "X.pdf")).code(), EPERM);
}

TEST(LogFileXmlCrash, TinyDiskRunningFull) {
  LogFixture f(1);
  test::TinyDisk disk(f.dir / "disk", "size=64k");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  f.Edit([&](QueueRecord& q) { q.Logfile = f.dir / "disk"; });
  LogFileWriter writer(f.table, f.clock, "dd.mm.yyyy hh:nn:ss:zzz");
  int written = 0;
  for (; written < 2000; ++written) {
    if (!f.Write(writer, Entry("Page" + std::to_string(written) + ".pdf", "Out.pdf")).ok()) break;
  }
  ASSERT_LT(written, 2000) << "the disk never ran full";
  ASSERT_GT(written, 10);
  // Every entry before the refused one is there, and the file is well-formed.
  Parsed p(f.LogPath());
  ASSERT_NE(p.root, nullptr);
  const auto children = Elements(p.root);
  ASSERT_EQ(children.size(), static_cast<std::size_t>(written) + 1);
  EXPECT_EQ(Name(children.back()), "Page" + std::to_string(written - 1) + ".pdf");
  EXPECT_EQ(f.Files(), std::vector<std::string>{"disk"});
  std::size_t inDisk = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(f.dir / "disk")) {
    ++inDisk;
  }
  EXPECT_EQ(inDisk, 1u);  // no temporary file left behind
}

}  // namespace
}  // namespace zf
