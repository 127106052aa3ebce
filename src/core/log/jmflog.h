#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/result.h"

namespace zf {

// The JDF 1.1 schema namespace that marks a JMF log document.
inline constexpr std::string_view kJdfNamespace = "http://www.CIP4.org/JDFSchema_1_1";

// Initialises libxml2 once for the process. The library wants this done
// before threads use it; the log file writer does it when it is made.
void PrepareXmlLibrary();

// Texts of the system are 8-bit; an XML file must be UTF-8. A text that is
// valid UTF-8 is kept, any other is read as Windows-1252, the code page such
// names come from: its euro sign and typographic quotes (0x80-0x9F) would be
// control characters if read as Latin-1. The five bytes that code page leaves
// undefined keep their Latin-1 meaning (U+0081 ...).
std::string ToUtf8(std::string_view text);
// ToUtf8, then every character that XML 1.0 does not allow (control
// characters, U+FFFE, U+FFFF) becomes U+FFFD, so that an attribute value
// can never make the document ill-formed.
std::string ToXmlText(std::string_view text);

// The element name that stands for an input name in the log. A file name is
// rarely an XML name ("0517_SPO_07.pdf", "report 12.pdf"), so every character
// that cannot stand at its place in a name without a colon (an NCName)
// becomes "_x" + its code point in 4 upper-case hex digits (8 above U+FFFF)
// + "_", and the "_" of a text that would read as such an escape becomes
// "_x005F_". Every other name is its own element name, so files written
// before the encoding existed keep finding their elements. The text is read
// as ToUtf8 reads it. Empty in, empty out: no element name stands for it.
std::string EncodeXmlName(std::string_view name);
// The input name (UTF-8) an element name stands for; the reverse of
// EncodeXmlName, for readers of the log. Escapes are read in upper or lower
// case; one that names no character is kept as it is.
std::string DecodeXmlName(std::string_view elementName);

// The text of one JMF log document, kept together with the places where an
// entry goes. Adding an entry splices a few hundred bytes into the text
// instead of parsing and serialising the whole document again; the text is
// always what libxml2's writer produces for the document, so reading the
// file back gives the same tree.
//
// All texts given here must be UTF-8 (see ToUtf8 and ToXmlText).
class JmfLogText {
 public:
  struct Folder {
    std::string name;
    std::string input;
    std::string output;
  };
  struct Entry {
    std::string inputName;  // as it is, not encoded
    std::string outputName;
    std::string status;
    std::string fileTime;
    std::string pollTime;
    std::string comment;
  };

  // A new document: declaration, the JMF root with TimeStamp, SenderID and
  // the namespace, and the Folder element.
  static JmfLogText Create(std::string_view timeStamp, std::string_view senderId,
                           const Folder& folder);
  // Reads a document from the bytes of a file; an error when they are not
  // well-formed XML. A well-formed document whose root is not JMF is returned
  // with HasJmfRoot() false and must be left alone.
  static Result<JmfLogText> Parse(const std::string& bytes);

  bool HasJmfRoot() const { return jmfRoot_; }
  // Child elements of the root: the Folder element and one per input name.
  std::size_t RootElementCount() const { return elements_.size(); }
  const std::string& Text() const { return text_; }
  std::size_t ByteSize() const { return text_.size(); }
  // Roughly what the object holds in memory, for bounding a cache of them.
  std::size_t MemorySize() const;

  // Appends one Newname entry to the root child whose tag is the input name
  // as EncodeXmlName gives it, or to a new such child at the end of the root.
  // An empty input name is an error and changes nothing.
  Status AddEntry(const Entry& entry);

 private:
  struct Element {
    std::string tag;  // qualified name as written
    std::size_t begin = 0;
    std::size_t end = 0;
  };

  void Index();
  void Shift(std::size_t fromElement, std::size_t delta);

  bool jmfRoot_ = false;
  std::string text_;
  std::vector<Element> elements_;
  std::unordered_map<std::string, std::size_t> byTag_;  // first element per tag
  std::size_t rootEnd_ = 0;                             // where the root's end tag starts
};

}  // namespace zf
