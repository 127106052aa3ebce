#include "jmflog.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlwriter.h>

#include <memory>
#include <mutex>
#include <new>

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
    if (b < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
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
  // The document declares namespaces, so a tag must be a name without a
  // colon: "Job:1.pdf" passes as a plain XML name but would make its prefix
  // unbound, and namespace-aware readers then reject the whole log.
  if (entry.inputName.empty() || xmlValidateNCName(X(entry.inputName.c_str()), 0) != 0 ||
      entry.inputName.find('\0') != std::string::npos) {
    return Status::Error("the input name \"" + entry.inputName +
                         "\" is not a valid XML element name");
  }

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

  const auto found = byTag_.find(entry.inputName);
  if (found == byTag_.end()) {
    const std::string piece =
        "<" + entry.inputName + ">" + newname + "</" + entry.inputName + ">\n";
    text_.insert(rootEnd_, piece);
    elements_.push_back(Element{entry.inputName, rootEnd_, rootEnd_ + piece.size() - 1});
    byTag_.emplace(entry.inputName, elements_.size() - 1);
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
