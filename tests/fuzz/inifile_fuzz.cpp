// The INI reader and writer. Any text parses; what it yields agrees with a
// small independent reading of the same lines (first section and first key
// of a name count, comments are never keys, blanks and one pair of quotes
// around a value go, CRs at line ends go); and every value written, into a
// fresh document or over the keys where they stand, reads back as written
// (line breaks and NULs turned into blanks).
//
// Input: the INI text, NUL, a value to write over every key.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/inifile.h"
#include "fuzzcheck.h"

namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The text read independently of the reader: its sections in order (first
// spelling of each name) with the key=value entries of the first section of
// each name.
struct Model {
  std::vector<std::string> sections;
  std::vector<Values> values;
};

Model ReadModel(std::string_view text) {
  Model model;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  int current = -1;
  bool first = false;  // lines go to `current` only in its first section
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string_view trimmed = TrimBlanks(line);
    if (!trimmed.empty() && trimmed.front() == '[') {
      std::string_view name = trimmed.substr(1);
      name = TrimBlanks(name.substr(0, name.find(']')));
      current = -1;
      for (std::size_t s = 0; s < model.sections.size(); ++s) {
        if (SameName(model.sections[s], name)) current = static_cast<int>(s);
      }
      first = current < 0;
      if (first) {
        model.sections.emplace_back(name);
        model.values.emplace_back();
        current = static_cast<int>(model.sections.size()) - 1;
      }
      continue;
    }
    if (current < 0 || !first) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = TrimBlanks(line.substr(0, eq));
    if (key.empty() || key.front() == ';') continue;
    std::string_view value = TrimBlanks(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    value = value.substr(0, zf::kIniMaxValueLength);
    Values& entries = model.values[static_cast<std::size_t>(current)];
    bool known = false;
    for (const auto& entry : entries) known = known || SameName(entry.first, key);
    if (!known) entries.emplace_back(key, value);
  }
  return model;
}

// A value as the writer stores it: a line break or NUL would end the line.
std::string AsWritten(std::string_view value) {
  std::string out(value);
  for (char& c : out) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  return out.substr(0, zf::kIniMaxValueLength);
}

std::string Show(const Values& values) {
  std::string out;
  for (const auto& [k, v] : values) out += "[" + k + "]=[" + v + "] ";
  return zf::fuzz::Escaped(out);
}

void CheckValues(const zf::IniDocument& doc, const std::string& section, const Values& expected,
                 const char* property) {
  const Values got = doc.SectionValues(section);
  ZF_FUZZ_CHECK(
      got == expected, property,
      "section [" + zf::fuzz::Escaped(section) + "]: " + Show(got) + "!= " + Show(expected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zf::fuzz::Input in(data, size);
  const std::string text(in.Field());
  const std::string overwrite(in.Rest());
  const Model model = ReadModel(text);

  const zf::IniDocument doc = zf::IniDocument::Parse(text);
  for (std::size_t s = 0; s < model.sections.size(); ++s) {
    const std::string& section = model.sections[s];
    ZF_FUZZ_CHECK(doc.HasSection(section), "every section header is found",
                  zf::fuzz::Escaped(section));
    CheckValues(doc, section, model.values[s], "the reader agrees with the model");
    for (const auto& [key, value] : model.values[s]) {
      const auto read = doc.Value(section, key);
      ZF_FUZZ_CHECK(read.has_value() && *read == value, "Value gives what SectionValues lists",
                    zf::fuzz::Escaped(key));
    }
  }

  // Saved and read again, the document holds the same.
  const std::string saved = doc.Serialize();
  const zf::IniDocument reread = zf::IniDocument::Parse(saved);
  ZF_FUZZ_CHECK_EQ(reread.Serialize(), saved, "a saved document saves the same again");
  for (std::size_t s = 0; s < model.sections.size(); ++s) {
    CheckValues(reread, model.sections[s], model.values[s], "saving keeps every value");
  }

  // Every value written into a fresh document reads back.
  zf::IniDocument fresh;
  for (std::size_t s = 0; s < model.sections.size(); ++s) {
    for (const auto& [key, value] : model.values[s]) {
      fresh.WriteString(model.sections[s], key, value);
    }
  }
  const zf::IniDocument freshRead = zf::IniDocument::Parse(fresh.Serialize());
  for (std::size_t s = 0; s < model.sections.size(); ++s) {
    Values expected;
    for (const auto& [key, value] : model.values[s]) expected.emplace_back(key, AsWritten(value));
    CheckValues(freshRead, model.sections[s], expected, "written values read back");
  }

  // One value written over every key where it stands, in the parsed text
  // with its comments and odd lines, reads back from each; nothing else moves.
  zf::IniDocument edited = zf::IniDocument::Parse(text);
  for (std::size_t s = 0; s < model.sections.size(); ++s) {
    for (const auto& entry : model.values[s]) {
      edited.WriteString(model.sections[s], entry.first, overwrite);
    }
  }
  edited.WriteString("Fuzz", "Written", overwrite);
  const zf::IniDocument editedRead = zf::IniDocument::Parse(edited.Serialize());
  for (std::size_t s = 0; s < model.sections.size(); ++s) {
    Values expected;
    for (const auto& entry : model.values[s]) {
      expected.emplace_back(entry.first, AsWritten(overwrite));
    }
    // A section named like the added one also holds the added key.
    if (SameName(model.sections[s], "Fuzz")) {
      bool had = false;
      for (const auto& entry : expected) had = had || SameName(entry.first, "Written");
      if (!had) expected.emplace_back("Written", AsWritten(overwrite));
    }
    CheckValues(editedRead, model.sections[s], expected, "values written in place read back");
  }
  ZF_FUZZ_CHECK_EQ(editedRead.ReadString("Fuzz", "Written", "<none>"), AsWritten(overwrite),
                   "a value written to a new key reads back");
  return 0;
}
