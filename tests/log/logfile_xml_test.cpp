#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <random>
#include <regex>
#include <set>

#include "log/jmflog.h"
#include "log/logfile.h"
#include "logfile_fixture.h"
#include "platform/tempfile.h"

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

TEST(LogFileXml, NamesThatAreNotUtf8AreReadAsWindows1252) {
  LogFixture f(1);
  LogFileWriter writer(f.table, f.clock, "hh:nn");
  ASSERT_TRUE(f.Write(writer, Entry("Gr\xfc\xdf"
                                    "e \x80 \x93Zitat\x94.pdf",
                                    "\xe9t\xe9 \x80.pdf", "OK", "bad\x01 \x93q\x94"))
                  .ok());
  ASSERT_TRUE(f.Write(writer, Entry("Gr\xc3\xbc\xc3\x9f"
                                    "e \xe2\x82\xac \xe2\x80\x9cZitat\xe2\x80\x9d.pdf",
                                    "ok.pdf"))
                  .ok());  // UTF-8 already
  Parsed p(f.Path("Sport.xml"));
  ASSERT_NE(p.root, nullptr);
  const auto children = Elements(p.root);
  ASSERT_EQ(children.size(), 2u);  // both spellings are one name
  EXPECT_EQ(Name(children[1]),
            "Gr\xc3\xbc\xc3\x9f"
            "e_x0020__x20AC__x0020__x201C_Zitat_x201D_.pdf");
  EXPECT_EQ(DecodeXmlName(Name(children[1])),
            "Gr\xc3\xbc\xc3\x9f"
            "e \xe2\x82\xac \xe2\x80\x9cZitat\xe2\x80\x9d.pdf");
  const auto entries = Elements(children[1]);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(Declared(entries[0]), "\xc3\xa9t\xc3\xa9 \xe2\x82\xac.pdf");
  EXPECT_EQ(Attributes(entries[0])[3], "Comment=bad\xef\xbf\xbd \xe2\x80\x9cq\xe2\x80\x9d");

  EXPECT_EQ(ToUtf8("abc"), "abc");
  EXPECT_EQ(ToUtf8("\xc3\xa9"), "\xc3\xa9");
  EXPECT_EQ(ToUtf8("\x80"), "\xe2\x82\xac");                  // euro sign
  EXPECT_EQ(ToUtf8("\x93\x94"), "\xe2\x80\x9c\xe2\x80\x9d");  // typographic quotes
  EXPECT_EQ(ToUtf8("\xe9"), "\xc3\xa9");                      // as in Latin-1
  EXPECT_EQ(ToUtf8("\x8a\x9f\xa0\xff"), "\xc5\xa0\xc5\xb8\xc2\xa0\xc3\xbf");
  // The five bytes the code page leaves undefined keep their Latin-1 meaning.
  EXPECT_EQ(ToUtf8("\x81\x8d\x8f\x90\x9d"), "\xc2\x81\xc2\x8d\xc2\x8f\xc2\x90\xc2\x9d");
  EXPECT_EQ(ToUtf8("\xc3\xa9\xe9"), "\xc3\x83\xc2\xa9\xc3\xa9");      // mixed: all converted
  EXPECT_EQ(ToUtf8("\xed\xa0\x80"), "\xc3\xad\xc2\xa0\xe2\x82\xac");  // a surrogate is no UTF-8
  EXPECT_EQ(ToUtf8("\xc0\xaf"), "\xc3\x80\xc2\xaf");                  // nor an overlong form
  EXPECT_EQ(ToXmlText("a\tb\x1f\n"), "a\tb\xef\xbf\xbd\n");
  EXPECT_EQ(ToXmlText("\xef\xbf\xbf"), "\xef\xbf\xbd");  // U+FFFF
}

TEST(XmlNames, EncodedWhereAnElementNameCannotHoldThem) {
  struct Case {
    std::string name;
    std::string element;
  } cases[] = {
      // Names that are element names already stay as they are.
      {"Page01.pdf", "Page01.pdf"},
      {"_", "_"},
      {"Gr\xc3\xbc\xc3\x9f"
       "e.pdf",
       "Gr\xc3\xbc\xc3\x9f"
       "e.pdf"},
      {"\xe6\x97\xa5\xe6\x9c\xac.pdf", "\xe6\x97\xa5\xe6\x9c\xac.pdf"},
      {"a\xcc\x81", "a\xcc\x81"},    // a combining accent after a letter
      {"a_x0041b", "a_x0041b"},      // no closing "_": no escape to mistake
      {"a_x12_", "a_x12_"},          // too few digits
      {"a_xABCDEF_", "a_xABCDEF_"},  // six digits
      {"_x0041", "_x0041"},
      // Characters not allowed at their place.
      {"0517_SPO_07.pdf", "_x0030_517_SPO_07.pdf"},
      {"report 12.pdf", "report_x0020_12.pdf"},
      {"Job:1.pdf", "Job_x003A_1.pdf"},
      {"-x", "_x002D_x"},
      {".hidden", "_x002E_hidden"},
      {"a<b&c", "a_x003C_b_x0026_c"},
      {std::string("a\0b\x01", 4), "a_x0000_b_x0001_"},
      {"\xcc\x81"
       "a",
       "_x0301_a"},
      {"\xe2\x82\xac", "_x20AC_"},
      {"\xf0\x9f\x98\x80.pdf", "_x0001F600_.pdf"},  // above U+FFFF: eight digits
      {"\x80\x81.pdf", "_x20AC__x0081_.pdf"},       // read as Windows-1252 first
      // A "_" that would read as the start of an escape is escaped itself.
      {"a_x0041_b", "a_x005F_x0041_b"},
      {"a_xabcd_", "a_x005F_xabcd_"},
      {"_x0001F600_", "_x005F_x0001F600_"},
      {"_xD800_", "_x005F_xD800_"},
      {"a_xABCD:", "a_x005F_xABCD_x003A_"},  // the next escape supplies the closing "_"
      {"a_x0001F600 ", "a_x005F_x0001F600_x0020_"},
      {"a_xABC:", "a_xABC_x003A_"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodeXmlName(c.name), c.element) << c.name;
    EXPECT_EQ(DecodeXmlName(c.element), ToUtf8(c.name)) << c.element;
  }
  // Other writers' spellings, and texts that only look like escapes.
  EXPECT_EQ(DecodeXmlName("caf_x00e9_"), "caf\xc3\xa9");
  EXPECT_EQ(DecodeXmlName("_x0031__x0032_"), "12");
  for (const char* kept : {"_xD800_", "_x00110000_", "_x110000_", "_x0041", "_x00G1_", "_X0041_"}) {
    EXPECT_EQ(DecodeXmlName(kept), kept);
  }
}

void IgnoreXmlMessage(void*, const char*, ...) {}

// Random byte names, rich in the pieces that matter: "_", "x", hex digits,
// colons, blanks, bytes that are not UTF-8 and multi-byte characters.
TEST(XmlNames, RandomNamesRoundTripThroughAReadableDocument) {
  const std::vector<std::string> pieces = {"_",
                                           "x",
                                           "_x",
                                           "0",
                                           "9",
                                           "A",
                                           "f",
                                           "F",
                                           ":",
                                           " ",
                                           ".",
                                           "-",
                                           "a",
                                           "Z",
                                           "\x80",
                                           "\x93",
                                           "\xe9",
                                           "\x81",
                                           "\x01",
                                           "\xc3\xa9",
                                           "\xcc\x81",
                                           "\xf0\x9f\x98\x80",
                                           "\xe6\x97\xa5",
                                           "\xef\xbf\xbf",
                                           std::string(1, '\0'),
                                           "<",
                                           "&"};
  const std::regex escapeLike("_x([0-9A-Fa-f]{4}|[0-9A-Fa-f]{8})_");
  // libxml2's name check prints what it finds amiss (U+FFFF) on its own.
  xmlSetGenericErrorFunc(nullptr, IgnoreXmlMessage);
  std::mt19937 random(20251208);
  for (int batch = 0; batch < 10; ++batch) {
    JmfLogText doc = JmfLogText::Create("ts", "sender", {"Sport", "in", "out"});
    std::set<std::string> distinct;
    for (int i = 0; i < 1000; ++i) {
      std::string name;
      const int length = static_cast<int>(random() % 16) + 1;
      for (int k = 0; k < length; ++k) {
        name += random() % 4 == 0 ? std::string(1, static_cast<char>(random() % 256))
                                  : pieces[random() % pieces.size()];
      }
      const std::string utf8 = ToUtf8(name);
      const std::string element = EncodeXmlName(name);
      ASSERT_EQ(DecodeXmlName(element), utf8) << testing::PrintToString(name);
      EXPECT_EQ(EncodeXmlName(utf8), element);
      ASSERT_EQ(element.find('\0'), std::string::npos);
      EXPECT_EQ(xmlValidateNCName(reinterpret_cast<const xmlChar*>(element.c_str()), 0), 0)
          << element;
      // What libxml2 took as a name before keeps its spelling.
      if (utf8.find('\0') == std::string::npos &&
          xmlValidateNCName(reinterpret_cast<const xmlChar*>(utf8.c_str()), 0) == 0 &&
          !std::regex_search(utf8, escapeLike)) {
        EXPECT_EQ(element, utf8);
      }
      ASSERT_TRUE(doc.AddEntry({name, "", "OK", "f", "p", ""}).ok());
      distinct.insert(utf8);
    }
    // A namespace-aware reader takes the document, and each name has its own element.
    const std::string& text = doc.Text();
    std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> parsed(
        xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                      XML_PARSE_NONET | XML_PARSE_NOWARNING | XML_PARSE_NOERROR),
        xmlFreeDoc);
    ASSERT_NE(parsed, nullptr);
    const auto children = Elements(xmlDocGetRootElement(parsed.get()));
    ASSERT_EQ(children.size(), distinct.size() + 1);
    for (std::size_t i = 1; i < children.size(); ++i) {
      EXPECT_EQ(children[i]->ns->href, children[0]->ns->href);  // no prefix of its own
      EXPECT_EQ(distinct.count(DecodeXmlName(Name(children[i]))), 1u);
    }
  }
  xmlSetGenericErrorFunc(nullptr, nullptr);
}

TEST(LogFileXml, EveryInputNameGetsItsEntry) {
  LogFixture f(1);
  LogFileWriter writer(f.table, f.clock, "hh:nn");
  const std::vector<std::string> names = {"0517_SPO_07.pdf",
                                          "report 12.pdf",
                                          "01.pdf",
                                          "a\x01"
                                          "b",
                                          "-x",
                                          "a<b",
                                          "Job:1.pdf",
                                          "a_x0041_b"};
  for (int round = 0; round < 2; ++round) {
    for (const std::string& name : names) {
      const Status status = f.Write(writer, Entry(name, "X" + std::to_string(round) + ".pdf"));
      EXPECT_TRUE(status.ok()) << name << ": " << status.message();
    }
  }
  // Only an empty name has no element; the caller hears of it.
  const std::string before = ReadFile(f.Path("Sport.xml"));
  const Status empty = f.Write(writer, Entry("", "X.pdf"));
  EXPECT_EQ(empty.message(), "Unable to write to the log file " + f.Path("Sport.xml") +
                                 ": an empty input name has no element name");
  EXPECT_EQ(ReadFile(f.Path("Sport.xml")), before);

  // Read anew, the file still finds each name's element.
  LogFileWriter again(f.table, f.clock, "hh:nn");
  ASSERT_TRUE(f.Write(again, Entry("report 12.pdf", "X2.pdf")).ok());
  const Parsed p(f.Path("Sport.xml"));
  ASSERT_NE(p.root, nullptr);
  const auto children = Elements(p.root);
  ASSERT_EQ(children.size(), names.size() + 1);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(DecodeXmlName(Name(children[i + 1])), names[i]);
    const auto entries = Elements(children[i + 1]);
    ASSERT_EQ(entries.size(), names[i] == "report 12.pdf" ? 3u : 2u) << names[i];
    EXPECT_EQ(Declared(entries[1]), "X1.pdf");
  }
  EXPECT_EQ(Name(children[1]), "_x0030_517_SPO_07.pdf");
  EXPECT_EQ(Name(children[2]), "report_x0020_12.pdf");
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
  // writing step does. Either way the call ends with an error.
  for (const bool newonmax : {false, true}) {
    LogFixture f(1);
    f.Edit([&](QueueRecord& q) {
      q.newonmax = newonmax;
      q.Maxentries = 0;
    });
    LogFileWriter writer(f.table, f.clock, "hh:nn");
    const std::string foreign = "<?xml version=\"1.0\"?>\n<Other><Page01.pdf/></Other>\n";
    WriteFile(f.Path("Sport.xml"), foreign);
    for (const char* name : {"Page01.pdf", "Page02.pdf"}) {
      // The entry is lost, which the caller must hear of.
      EXPECT_EQ(f.Write(writer, Entry(name, "X.pdf")).message(),
                "Unable to write to the log file " + f.Path("Sport.xml") +
                    ": its root element is not JMF; it is left as it is");
    }
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

  // A locked folder: nothing can be saved, and the caller is told; the next
  // entry once it takes files again is written.
  {
    test::Immutable folder(f.dir.path().string());
    if (!folder.ok()) return;
    status = f.Write(writer, Entry("Page05.pdf", "X.pdf"));
    EXPECT_EQ(status.code(), EPERM);
    EXPECT_EQ(status.message(),
              "Unable to save the log file " + f.Path("Sport.xml") + ": Operation not permitted");
  }
  ASSERT_TRUE(f.Write(writer, Entry("Page06.pdf", "X.pdf")).ok());
  const Parsed last(f.Path("Sport.xml"));
  ASSERT_EQ(Elements(last.root).size(), 4u);
  EXPECT_EQ(Name(Elements(last.root)[3]), "Page06.pdf");
}

// Records the file behind every descriptor the writer writes to.
class RecordingIo : public LogFileIo {
 public:
  std::vector<std::string> paths;
  ssize_t Write(int fd, const void* data, std::size_t size) override {
    std::error_code ec;
    paths.push_back(std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec));
    return LogFileIo::Write(fd, data, size);
  }
};

TEST(LogFileXmlCrash, NewContentGoesToATemporaryOfTheSharedShape) {
  LogFixture f(1);
  RecordingIo io;
  LogFileWriter writer(f.table, f.clock, "hh:nn", io);
  ASSERT_TRUE(f.Write(writer, Entry("Page01.pdf", "X.pdf")).ok());
  ASSERT_TRUE(f.Write(writer, Entry("Page02.pdf", "X.pdf")).ok());
  ASSERT_GE(io.paths.size(), 2u);
  for (const std::filesystem::path written : io.paths) {
    // Beside the log, so that the start-up clean-up of the folder finds it after a kill.
    EXPECT_EQ(written.parent_path(), std::filesystem::canonical(f.dir.path()));
    EXPECT_TRUE(IsTempName(written.filename().string())) << written;
    EXPECT_NE(written.filename().string().find("-Sport.xml"), std::string::npos) << written;
  }
  EXPECT_EQ(f.Files(), std::vector<std::string>{"Sport.xml"});
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
