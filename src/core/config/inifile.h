#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "config/systemregional.h"
#include "platform/datetime.h"
#include "platform/files.h"
#include "platform/result.h"

namespace zf {

// Longest value a read returns; longer values are cut there.
inline constexpr std::size_t kIniMaxValueLength = 2047;

// A whole number as the configuration files hold it: decimal with an optional
// sign, or hexadecimal after "0x" or "$" (up to 32 bits, read as signed).
// No blanks are allowed; nothing is returned for anything else.
std::optional<std::int32_t> ParseIniInteger(std::string_view text);

// Case-insensitive (ASCII letters) hashing and comparison for section and key
// names, usable with std::string_view lookups so that no lookup allocates.
struct IniNameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const;
};
struct IniNameEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};

// An INI file held in memory as its lines, edited the way the profile
// functions edit a file on disk:
// - section and key names match without regard to case, the first section
//   or key of a name counting when a file repeats one;
// - a value is the rest of the line after the first "=", blanks around it
//   removed, then one pair of enclosing double or single quotes removed,
//   then cut at kIniMaxValueLength characters;
// - writing a key replaces its line where it stands, or appends the key
//   after the last non-blank line of its section; a new section goes to
//   the end of the file;
// - a line whose first non-blank character is ";" is a comment, never a key;
// - carriage returns at the end of a line are not part of it;
// - nothing is ever removed: lines the reader does not understand (comments,
//   stray text, repeated keys) are written back as they were.
// Sections and keys are indexed by hash, so applying every key of a large
// file costs time in proportion to the file's size.
class IniDocument {
 public:
  IniDocument() = default;
  IniDocument(IniDocument&&) = default;
  IniDocument& operator=(IniDocument&&) = default;
  IniDocument(const IniDocument&) = delete;  // views would point into the other's text
  IniDocument& operator=(const IniDocument&) = delete;

  static IniDocument Parse(std::string text);
  std::string Serialize() const;

  bool HasSection(std::string_view section) const;
  // The value as read (see above), or nothing when the section or key is missing.
  std::optional<std::string> Value(std::string_view section, std::string_view key) const;
  // Every key=value entry of a section in file order, values as read; a
  // repeated key is listed once, with its first value.
  std::vector<std::pair<std::string, std::string>> SectionValues(std::string_view section) const;

  // A present but empty text value reads as empty, not as the default.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view def) const;
  // Missing or not a whole number: the default.
  std::int32_t ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const;
  // Read as an integer with the default taken as 1 or 0; true when not 0.
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;
  // Missing, empty or unreadable: the default. Read and written in the
  // regional settings' terms (see ParseIniDateTime and FormatIniDateTime).
  TDateTime ReadDateTime(std::string_view section, std::string_view key, TDateTime def,
                         const RegionalSettings& regional = SystemRegionalSettings()) const;

  // Text is written as it stands, except that line breaks and NUL characters
  // become blanks (a value must never start a new line of the file), and a
  // value that starts or ends with a blank or is wrapped in a pair of quotes
  // is written inside double quotes, so that it reads back unchanged here and
  // in every reader that trims and then strips one pair of quotes.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, std::int64_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value);
  void WriteDateTime(std::string_view section, std::string_view key, TDateTime value,
                     const RegionalSettings& regional = SystemRegionalSettings());

 private:
  // Lines and names are views: into the file's text as read, or into the
  // arena for lines and names written since. Neither ever moves, so a parse
  // and a save cost no allocation per line.
  using NameIndex = std::unordered_map<std::string_view, std::size_t, IniNameHash, IniNameEqual>;
  struct Section {
    std::string_view header;             // the "[name]" line as it stands in the file
    std::vector<std::string_view> body;  // lines up to the last non-blank one
    std::vector<std::string_view> tail;  // blank lines after it, kept before the next section
    NameIndex keys;                      // key -> index into body
  };
  class Arena {
   public:
    // Room for `size` characters that stay where they are until the arena goes.
    char* Allocate(std::size_t size);

   private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::size_t used_ = 0, capacity_ = 0;
  };

  const std::string_view* FindLine(std::string_view section, std::string_view key) const;
  Section& SectionForWrite(std::string_view section);
  std::string_view Store(std::string_view text);

  std::unique_ptr<const std::string> source_;  // the text as read; views point into it
  Arena arena_;
  std::string bom_;                         // a UTF-8 byte order mark, kept if the file had one
  std::vector<std::string_view> preamble_;  // lines before the first section
  std::vector<Section> sections_;
  NameIndex sectionIndex_;
  std::string eol_ = "\n";  // the file's own line ending, used for every line written
};

// Both file functions below look a file up without regard to case when its
// exact name is missing (FindNameIgnoringCase), and then read and replace the
// file found, so a save never adds a second file differing only in case.

// Reads the file as it is now. A missing or unreadable file reads as empty:
// reading configuration never fails.
IniDocument ReadIniFile(const std::string& path, const FileSystem& fs = DefaultFileSystem());

// One save as one unit: reads the file as it is now, lets `apply` change it
// in memory and replaces the file atomically. Keys that others wrote to the
// same file in the meantime are kept. A file that exists but cannot be read
// is not overwritten (that would drop its other keys). Any failure leaves
// the old file as it was and reports "Unable to write to <full path>".
Status UpdateIniFile(const std::string& path, const std::function<void(IniDocument&)>& apply,
                     const FileSystem& fs = DefaultFileSystem());

// "Unable to write to <full path>", the operator's message for a failed save.
std::string UnableToWriteMessage(const std::string& path);

}  // namespace zf
