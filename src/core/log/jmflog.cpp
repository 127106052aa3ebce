#include "jmflog.h"

#include <libxml/chvalid.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlwriter.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace zf {

namespace {

const xmlChar* X(const char* text) {
  return reinterpret_cast<const xmlChar*>(text);
}
const char* C(const xmlChar* text) {
  return reinterpret_cast<const char*>(text);
}

// Length of the UTF-8 sequence at `p` (strict: no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0 when it is not valid UTF-8.
std::size_t Utf8Length(const unsigned char* p, std::size_t left, char32_t& cp) {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t n;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    n = 2, min = 0x80, cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3, min = 0x800, cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4, min = 0x10000, cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (left < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

bool IsValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t left = text.size();
  while (left > 0) {
    char32_t cp = 0;
    const std::size_t n = Utf8Length(p, left, cp);
    if (n == 0) return false;
    p += n;
    left -= n;
  }
  return true;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Windows-1252 from 0x80 to 0x9F; from 0xA0 on it equals Latin-1.
constexpr char16_t kWindows1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98
};

// The code points of a valid UTF-8 text.
std::vector<char32_t> CodePoints(std::string_view utf8) {
  std::vector<char32_t> cps;
  cps.reserve(utf8.size());
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  std::size_t left = utf8.size();
  while (left > 0) {
    char32_t cp = 0;
    const std::size_t n = Utf8Length(p, left, cp);
    cps.push_back(cp);
    p += n;
    left -= n;
  }
  return cps;
}

// The character classes libxml2 checks names with (xmlValidateNCName), so
// that exactly the names it accepted before the encoding stay as they are.
bool IsNameStartChar(char32_t cp) {
  return cp == '_' || xmlIsBaseCharQ(cp) || xmlIsIdeographicQ(cp);
}
bool IsNameChar(char32_t cp) {
  return IsNameStartChar(cp) || xmlIsDigitQ(cp) || cp == '.' || cp == '-' || xmlIsCombiningQ(cp) ||
         xmlIsExtenderQ(cp);
}

bool IsHexDigit(char32_t cp) {
  return (cp >= '0' && cp <= '9') || (cp >= 'A' && cp <= 'F') || (cp >= 'a' && cp <= 'f');
}

// Whether `digits` hex digits follow "_x" at `at` in `cps`.
bool HexRunAt(const std::vector<char32_t>& cps, std::size_t at, std::size_t digits) {
  if (at + 2 + digits > cps.size() || cps[at + 1] != 'x') return false;
  for (std::size_t i = at + 2; i < at + 2 + digits; ++i) {
    if (!IsHexDigit(cps[i])) return false;
  }
  return true;
}

// The length of the escape "_xHHHH_" or "_xHHHHHHHH_" at `at`, with the
// character it stands for in `cp`; 0 when none stands there.
std::size_t EscapeAt(const std::vector<char32_t>& cps, std::size_t at, char32_t& cp) {
  if (cps[at] != '_') return 0;
  for (const std::size_t digits : {std::size_t{4}, std::size_t{8}}) {
    const std::size_t close = at + 2 + digits;
    if (!HexRunAt(cps, at, digits) || close >= cps.size() || cps[close] != '_') continue;
    cp = 0;
    for (std::size_t k = at + 2; k < close; ++k) {
      cp = cp * 16 + (cps[k] <= '9' ? cps[k] - '0' : (cps[k] | 0x20) - 'a' + 10);
    }
    const bool character = cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
    return character ? digits + 3 : 0;
  }
  return 0;
}

bool IsXmlChar(char32_t cp) {
  if (cp < 0x20) return cp == 0x09 || cp == 0x0A || cp == 0x0D;
  return cp != 0xFFFE && cp != 0xFFFF;
}

std::string QualifiedName(const xmlNode* node) {
  std::string name;
  if (node->ns != nullptr && node->ns->prefix != nullptr) {
    name = C(node->ns->prefix);
    name += ':';
  }
  name += C(node->name);
  return name;
}

struct XmlFree {
  void operator()(xmlChar* p) const { xmlFree(p); }
  void operator()(xmlDoc* p) const { xmlFreeDoc(p); }
  void operator()(xmlParserCtxt* p) const { xmlFreeParserCtxt(p); }
};
template <typename T>
using XmlPtr = std::unique_ptr<T, XmlFree>;

// libxml2's writer into memory. Every call is checked once at the end: the
// writer only fails when memory runs out.
class Writer {
 public:
  Writer() : buffer_(xmlBufferCreate()) {
    if (buffer_ == nullptr) throw std::bad_alloc();
    writer_ = xmlNewTextWriterMemory(buffer_, 0);
    if (writer_ == nullptr) {
      xmlBufferFree(buffer_);
      throw std::bad_alloc();
    }
    // The declaration names UTF-8, which also keeps non-ASCII characters in
    // attribute values as they are instead of character references.
    Check(xmlTextWriterStartDocument(writer_, nullptr, "UTF-8", nullptr));
  }
  ~Writer() {
    xmlFreeTextWriter(writer_);
    xmlBufferFree(buffer_);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  std::size_t Offset() {
    Check(xmlTextWriterFlush(writer_));
    return static_cast<std::size_t>(xmlBufferLength(buffer_));
  }
  std::string Text(std::size_t from, std::size_t to) {
    const auto* content = C(xmlBufferContent(buffer_));
    return std::string(content + from, to - from);
  }
  std::string Text() { return Text(0, Offset()); }

  void Start(const std::string& tag) { Check(xmlTextWriterStartElement(writer_, X(tag.c_str()))); }
  void Attribute(const std::string& name, const std::string& value) {
    Check(xmlTextWriterWriteAttribute(writer_, X(name.c_str()), X(value.c_str())));
  }
  void End() { Check(xmlTextWriterEndElement(writer_)); }
  void FullEnd() { Check(xmlTextWriterFullEndElement(writer_)); }
  void Raw(const char* text) { Check(xmlTextWriterWriteRaw(writer_, X(text))); }
  void String(const xmlChar* text) { Check(xmlTextWriterWriteString(writer_, text)); }
  void Cdata(const xmlChar* text) { Check(xmlTextWriterWriteCDATA(writer_, text)); }
  void Comment(const xmlChar* text) { Check(xmlTextWriterWriteComment(writer_, text)); }
  void Pi(const xmlChar* target, const xmlChar* text) {
    Check(xmlTextWriterWritePI(writer_, target, text));
  }
  void EndDocument() { Check(xmlTextWriterEndDocument(writer_)); }

  // Writes a node and everything below it. The root's own start tag names
  // its attributes before the namespace declarations, as a new document
  // does (TimeStamp, SenderID, xmlns); every other element names the
  // declarations first, as the Newname entries do.
  void Node(xmlDoc* doc, xmlNode* node, bool isRoot = false) {
    switch (node->type) {
      case XML_ELEMENT_NODE: {
        Start(QualifiedName(node));
        if (!isRoot) Namespaces(node);
        for (xmlAttr* a = node->properties; a != nullptr; a = a->next) {
          std::string name;
          if (a->ns != nullptr && a->ns->prefix != nullptr) {
            name = C(a->ns->prefix);
            name += ':';
          }
          name += C(a->name);
          XmlPtr<xmlChar> value(xmlNodeGetContent(reinterpret_cast<xmlNode*>(a)));
          Attribute(name, value ? C(value.get()) : "");
        }
        if (isRoot) Namespaces(node);
        if (isRoot) return;  // the caller writes the children and the end tag
        for (xmlNode* child = node->children; child != nullptr; child = child->next) {
          Node(doc, child);
        }
        End();
        break;
      }
      case XML_TEXT_NODE:
        String(node->content != nullptr ? node->content : X(""));
        break;
      case XML_CDATA_SECTION_NODE:
        Cdata(node->content != nullptr ? node->content : X(""));
        break;
      case XML_COMMENT_NODE:
        Comment(node->content != nullptr ? node->content : X(""));
        break;
      case XML_PI_NODE:
        Pi(node->name, node->content);
        break;
      case XML_ENTITY_REF_NODE: {
        std::string ref = "&";
        ref += C(node->name);
        ref += ';';
        Raw(ref.c_str());
        break;
      }
      case XML_DTD_NODE: {
        xmlBuffer* dtd = xmlBufferCreate();
        if (dtd == nullptr) throw std::bad_alloc();
        xmlNodeDump(dtd, doc, node, 0, 0);
        std::string text = C(xmlBufferContent(dtd));
        xmlBufferFree(dtd);
        text += '\n';
        Raw(text.c_str());
        break;
      }
      default:
        break;
    }
  }

  bool ok() const { return ok_; }

 private:
  void Check(int rc) {
    if (rc < 0) ok_ = false;
  }
  void Namespaces(xmlNode* node) {
    for (xmlNs* ns = node->nsDef; ns != nullptr; ns = ns->next) {
      std::string name = "xmlns";
      if (ns->prefix != nullptr) {
        name += ':';
        name += C(ns->prefix);
      }
      // Without entity substitution the parser hands a declaration's "&amp;"
      // on as "&#38;"; every other reference it has already replaced.
      const std::string_view raw = ns->href != nullptr ? C(ns->href) : "";
      std::string href;
      href.reserve(raw.size());
      for (std::size_t i = 0; i < raw.size();) {
        if (raw.compare(i, 5, "&#38;") == 0) {
          href += '&';
          i += 5;
        } else {
          href += raw[i++];
        }
      }
      Attribute(name, href);
    }
  }

  xmlBuffer* buffer_;
  xmlTextWriter* writer_ = nullptr;
  bool ok_ = true;
};

}  // namespace

void PrepareXmlLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

std::string ToUtf8(std::string_view text) {
  if (IsValidUtf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  for (const char ch : text) {
    const auto b = static_cast<unsigned char>(ch);
    AppendUtf8(out, b >= 0x80 && b < 0xA0 ? kWindows1252[b - 0x80] : b);
  }
  return out;
}

std::string EncodeXmlName(std::string_view name) {
  const std::vector<char32_t> cps = CodePoints(ToUtf8(name));
  std::vector<bool> escaped(cps.size());
  for (std::size_t i = 0; i < cps.size(); ++i) {
    escaped[i] = i == 0 ? !IsNameStartChar(cps[i]) : !IsNameChar(cps[i]);
  }
  // A "_" would be misread when "x" and hex digits follow and then anything
  // whose encoding starts with "_": a "_" or a character to be escaped.
  const auto closes = [&](std::size_t at) {
    return at < cps.size() && (cps[at] == '_' || escaped[at]);
  };
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < cps.size(); ++i) {
    if (cps[i] == '_' &&
        ((HexRunAt(cps, i, 4) && closes(i + 6)) || (HexRunAt(cps, i, 8) && closes(i + 10)))) {
      escaped[i] = true;
    }
    if (!escaped[i]) {
      AppendUtf8(out, cps[i]);
      continue;
    }
    char escape[16];
    std::snprintf(escape, sizeof escape, cps[i] > 0xFFFF ? "_x%08X_" : "_x%04X_",
                  static_cast<unsigned>(cps[i]));
    out += escape;
  }
  return out;
}

std::string DecodeXmlName(std::string_view elementName) {
  const std::vector<char32_t> cps = CodePoints(ToUtf8(elementName));
  std::string out;
  out.reserve(elementName.size());
  for (std::size_t i = 0; i < cps.size();) {
    char32_t cp = 0;
    if (const std::size_t length = EscapeAt(cps, i, cp); length > 0) {
      AppendUtf8(out, cp);
      i += length;
    } else {
      AppendUtf8(out, cps[i++]);
    }
  }
  return out;
}

std::string ToXmlText(std::string_view text) {
  const std::string utf8 = ToUtf8(text);
  std::string out;
  out.reserve(utf8.size());
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  std::size_t left = utf8.size();
  while (left > 0) {
    char32_t cp = 0;
    const std::size_t n = Utf8Length(p, left, cp);  // never 0: ToUtf8 made it valid
    if (IsXmlChar(cp)) {
      out.append(reinterpret_cast<const char*>(p), n);
    } else {
      out += "\xEF\xBF\xBD";
    }
    p += n;
    left -= n;
  }
  return out;
}

JmfLogText JmfLogText::Create(std::string_view timeStamp, std::string_view senderId,
                              const Folder& folder) {
  PrepareXmlLibrary();
  Writer w;
  w.Start("JMF");
  w.Attribute("TimeStamp", std::string(timeStamp));
  w.Attribute("SenderID", std::string(senderId));
  w.Attribute("xmlns", std::string(kJdfNamespace));
  w.Raw("\n");
  JmfLogText doc;
  doc.jmfRoot_ = true;
  Element element{"Folder", w.Offset(), 0};
  w.Start("Folder");
  w.Attribute("name", folder.name);
  w.Attribute("Input", folder.input);
  w.Attribute("Output", folder.output);
  w.End();
  element.end = w.Offset();
  w.Raw("\n");
  doc.rootEnd_ = w.Offset();
  w.FullEnd();
  w.EndDocument();
  if (!w.ok()) throw std::bad_alloc();
  doc.text_ = w.Text();
  doc.elements_.push_back(std::move(element));
  doc.Index();
  return doc;
}

Result<JmfLogText> JmfLogText::Parse(const std::string& bytes) {
  PrepareXmlLibrary();
  XmlPtr<xmlParserCtxt> ctxt(xmlNewParserCtxt());
  if (!ctxt) throw std::bad_alloc();
  XmlPtr<xmlDoc> doc(xmlCtxtReadMemory(ctxt.get(), bytes.data(), static_cast<int>(bytes.size()),
                                       nullptr, nullptr,
                                       XML_PARSE_NONET | XML_PARSE_NOWARNING | XML_PARSE_NOERROR));
  if (!doc) {
    const xmlError* error = xmlCtxtGetLastError(ctxt.get());
    std::string message = error != nullptr && error->message != nullptr
                              ? std::string(error->message)
                              : std::string("not well-formed");
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
      message.pop_back();
    }
    if (error != nullptr && error->line > 0) {
      message += " (line " + std::to_string(error->line) + ")";
    }
    return Status::Error("not a well-formed XML document: " + message);
  }

  JmfLogText result;
  xmlNode* root = xmlDocGetRootElement(doc.get());
  if (root == nullptr || QualifiedName(root) != "JMF") return result;
  result.jmfRoot_ = true;

  Writer w;
  for (xmlNode* top = doc->children; top != nullptr; top = top->next) {
    if (top != root) {
      w.Node(doc.get(), top);
      continue;
    }
    w.Node(doc.get(), root, /*isRoot=*/true);
    w.Raw("");  // closes the start tag so that the first child starts at a known place
    for (xmlNode* child = root->children; child != nullptr; child = child->next) {
      const std::size_t begin = w.Offset();
      w.Node(doc.get(), child);
      if (child->type == XML_ELEMENT_NODE) {
        result.elements_.push_back(Element{QualifiedName(child), begin, w.Offset()});
      }
    }
    result.rootEnd_ = w.Offset();
    w.FullEnd();
  }
  w.EndDocument();
  if (!w.ok()) throw std::bad_alloc();
  result.text_ = w.Text();
  result.Index();
  return result;
}

std::size_t JmfLogText::MemorySize() const {
  // A hash node holds a key, a value and a link; long tags live on the heap.
  constexpr std::size_t kNode = sizeof(std::string) + 2 * sizeof(std::size_t) + sizeof(void*);
  std::size_t size = sizeof(*this) + text_.capacity() + elements_.capacity() * sizeof(Element) +
                     byTag_.bucket_count() * sizeof(void*) + byTag_.size() * kNode;
  for (const Element& e : elements_) {
    if (e.tag.capacity() > 15) size += 2 * (e.tag.capacity() + 1);  // in the list and the index
  }
  return size;
}

void JmfLogText::Index() {
  byTag_.clear();
  for (std::size_t i = 0; i < elements_.size(); ++i) byTag_.emplace(elements_[i].tag, i);
}

void JmfLogText::Shift(std::size_t fromElement, std::size_t delta) {
  for (std::size_t i = fromElement; i < elements_.size(); ++i) {
    elements_[i].begin += delta;
    elements_[i].end += delta;
  }
  rootEnd_ += delta;
}

Status JmfLogText::AddEntry(const Entry& entry) {
  if (!jmfRoot_) return Status::Error("the document has no JMF root");
  if (entry.inputName.empty()) return Status::Error("an empty input name has no element name");
  const std::string tag = EncodeXmlName(entry.inputName);

  std::string newname;
  {
    Writer w;
    const std::size_t from = w.Offset();
    w.Start("Newname");
    if (!entry.outputName.empty()) w.Attribute("xmlns", entry.outputName);
    w.Attribute("status", entry.status);
    w.Attribute("File-time", entry.fileTime);
    w.Attribute("Poll-time", entry.pollTime);
    w.Attribute("Comment", entry.comment);
    w.End();
    const std::size_t to = w.Offset();
    if (!w.ok()) throw std::bad_alloc();
    newname = w.Text(from, to);
  }

  const auto found = byTag_.find(tag);
  if (found == byTag_.end()) {
    const std::string piece = "<" + tag + ">" + newname + "</" + tag + ">\n";
    text_.insert(rootEnd_, piece);
    elements_.push_back(Element{tag, rootEnd_, rootEnd_ + piece.size() - 1});
    byTag_.emplace(tag, elements_.size() - 1);
    rootEnd_ += piece.size();
    return Status::Ok();
  }

  const std::size_t index = found->second;
  Element& element = elements_[index];
  const std::string closing = "</" + element.tag + ">";
  std::size_t delta;
  if (element.end - element.begin >= closing.size() &&
      text_.compare(element.end - closing.size(), closing.size(), closing) == 0) {
    text_.insert(element.end - closing.size(), newname);
    delta = newname.size();
  } else {
    // An element without content was written as <tag/>: open it up.
    const std::string replacement = ">" + newname + closing;
    text_.replace(element.end - 2, 2, replacement);
    delta = replacement.size() - 2;
  }
  element.end += delta;
  Shift(index + 1, delta);
  return Status::Ok();
}

}  // namespace zf
