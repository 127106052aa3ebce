#include "config/inifile.h"

#include <cerrno>
#include <filesystem>
#include <limits>
#include <system_error>

#include "config/inidatetime.h"

namespace zf {
namespace {

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = LowerAscii(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The name between "[" and "]" of a section header line, or nothing when the
// line is no header.
std::optional<std::string_view> HeaderName(std::string_view line) {
  const std::string_view t = Trim(line);
  if (t.empty() || t.front() != '[') return std::nullopt;
  std::string_view name = t.substr(1);
  const auto close = name.find(']');
  if (close != std::string_view::npos) name = name.substr(0, close);
  return Trim(name);
}

// The key of a key=value line, or empty for any other line.
std::string_view LineKey(std::string_view line) {
  const auto eq = line.find('=');
  if (eq == std::string_view::npos) return {};
  return Trim(line.substr(0, eq));
}

std::string LineValue(std::string_view line) {
  std::string_view v = Trim(line.substr(line.find('=') + 1));
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  if (v.size() > kIniMaxValueLength) v = v.substr(0, kIniMaxValueLength);
  return std::string(v);
}

std::string EntryLine(std::string_view key, std::string_view value) {
  std::string line;
  line.reserve(key.size() + 1 + value.size());
  line.append(key);
  line.push_back('=');
  for (char c : value) line.push_back(c == '\r' || c == '\n' || c == '\0' ? ' ' : c);
  return line;
}

}  // namespace

std::optional<std::int32_t> ParseIniInteger(std::string_view text) {
  if (text.empty()) return std::nullopt;
  bool negative = false;
  if (text.front() == '-' || text.front() == '+') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  bool hex = false;
  if (!text.empty() && text.front() == '$') {
    hex = true;
    text.remove_prefix(1);
  } else if (text.size() >= 2 && text[0] == '0' && LowerAscii(text[1]) == 'x') {
    hex = true;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const std::uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 2147483648ull : 2147483647ull);
  for (char c : text) {
    const int d = hex ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (d < 0) return std::nullopt;
    value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(d);
    if (value > limit) return std::nullopt;
  }
  // Hexadecimal fills all 32 bits, so $FFFFFFFF is -1 as a signed number.
  std::uint32_t bits = static_cast<std::uint32_t>(value);
  if (negative) bits = 0u - bits;
  return static_cast<std::int32_t>(bits);
}

std::size_t IniNameHash::operator()(std::string_view name) const {
  std::size_t h = 1469598103934665603ull;
  for (char c : name) {
    h ^= static_cast<unsigned char>(LowerAscii(c));
    h *= 1099511628211ull;
  }
  return h;
}

bool IniNameEqual::operator()(std::string_view a, std::string_view b) const {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

IniDocument IniDocument::Parse(std::string_view text) {
  IniDocument doc;
  static constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.substr(0, kBom.size()) == kBom) {
    doc.bom_ = std::string(kBom);
    text.remove_prefix(kBom.size());
  }
  const auto firstBreak = text.find('\n');
  if (firstBreak != std::string_view::npos && firstBreak > 0 && text[firstBreak - 1] == '\r') {
    doc.eol_ = "\r\n";
  }

  Section* current = nullptr;
  std::size_t pos = 0;
  while (pos < text.size()) {
    auto end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (auto name = HeaderName(line)) {
      doc.sections_.push_back(Section{std::string(line), {}, {}, {}});
      // The first section of a name is the one that counts.
      doc.sectionIndex_.emplace(std::string(*name), doc.sections_.size() - 1);
      current = &doc.sections_.back();
      continue;
    }
    if (current == nullptr) {
      doc.preamble_.emplace_back(line);
      continue;
    }
    if (Trim(line).empty()) {
      current->tail.emplace_back(line);
      continue;
    }
    // A non-blank line: blank lines before it belong inside the section.
    for (auto& blank : current->tail) current->body.push_back(std::move(blank));
    current->tail.clear();
    current->body.emplace_back(line);
    const std::string_view key = LineKey(line);
    if (!key.empty()) current->keys.emplace(std::string(key), current->body.size() - 1);
  }
  return doc;
}

std::string IniDocument::Serialize() const {
  std::size_t size = bom_.size();
  auto count = [&](const std::vector<std::string>& lines) {
    for (const auto& l : lines) size += l.size() + eol_.size();
  };
  count(preamble_);
  for (const auto& s : sections_) {
    size += s.header.size() + eol_.size();
    count(s.body);
    count(s.tail);
  }
  std::string out;
  out.reserve(size);
  out += bom_;
  auto put = [&](const std::string& line) {
    out += line;
    out += eol_;
  };
  for (const auto& l : preamble_) put(l);
  for (const auto& s : sections_) {
    put(s.header);
    for (const auto& l : s.body) put(l);
    for (const auto& l : s.tail) put(l);
  }
  return out;
}

bool IniDocument::HasSection(std::string_view section) const {
  return sectionIndex_.find(section) != sectionIndex_.end();
}

const std::string* IniDocument::FindLine(std::string_view section, std::string_view key) const {
  const auto s = sectionIndex_.find(section);
  if (s == sectionIndex_.end()) return nullptr;
  const Section& sec = sections_[s->second];
  const auto k = sec.keys.find(key);
  if (k == sec.keys.end()) return nullptr;
  return &sec.body[k->second];
}

std::optional<std::string> IniDocument::Value(std::string_view section,
                                              std::string_view key) const {
  const std::string* line = FindLine(section, key);
  if (line == nullptr) return std::nullopt;
  return LineValue(*line);
}

std::vector<std::pair<std::string, std::string>> IniDocument::SectionValues(
    std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> out;
  const auto s = sectionIndex_.find(section);
  if (s == sectionIndex_.end()) return out;
  const Section& sec = sections_[s->second];
  for (std::size_t i = 0; i < sec.body.size(); ++i) {
    const std::string_view key = LineKey(sec.body[i]);
    if (key.empty()) continue;
    const auto first = sec.keys.find(key);
    if (first != sec.keys.end() && first->second == i) {
      out.emplace_back(std::string(key), LineValue(sec.body[i]));
    }
  }
  return out;
}

std::string IniDocument::ReadString(std::string_view section, std::string_view key,
                                    std::string_view def) const {
  auto value = Value(section, key);
  return value ? std::move(*value) : std::string(def);
}

std::int32_t IniDocument::ReadInteger(std::string_view section, std::string_view key,
                                      std::int32_t def) const {
  const auto value = Value(section, key);
  if (!value) return def;
  return ParseIniInteger(*value).value_or(def);
}

bool IniDocument::ReadBool(std::string_view section, std::string_view key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

TDateTime IniDocument::ReadDateTime(std::string_view section, std::string_view key,
                                    TDateTime def) const {
  const auto value = Value(section, key);
  if (!value) return def;
  return ParseIniDateTime(*value).value_or(def);
}

IniDocument::Section& IniDocument::SectionForWrite(std::string_view section) {
  const auto s = sectionIndex_.find(section);
  if (s != sectionIndex_.end()) return sections_[s->second];
  std::string header;
  header.reserve(section.size() + 2);
  header.push_back('[');
  header.append(section);
  header.push_back(']');
  sections_.push_back(Section{std::move(header), {}, {}, {}});
  sectionIndex_.emplace(std::string(section), sections_.size() - 1);
  return sections_.back();
}

void IniDocument::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) {
  Section& sec = SectionForWrite(section);
  const auto k = sec.keys.find(key);
  if (k != sec.keys.end()) {
    // Rewritten in place under the spelling the file already uses.
    std::string& line = sec.body[k->second];
    line = EntryLine(LineKey(line), value);
    return;
  }
  sec.body.push_back(EntryLine(key, value));
  sec.keys.emplace(std::string(key), sec.body.size() - 1);
}

void IniDocument::WriteInteger(std::string_view section, std::string_view key, std::int64_t value) {
  WriteString(section, key, std::to_string(value));
}

void IniDocument::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void IniDocument::WriteDateTime(std::string_view section, std::string_view key, TDateTime value) {
  WriteString(section, key, FormatIniDateTime(value));
}

std::string UnableToWriteMessage(const std::string& path) {
  std::error_code ec;
  const auto full = std::filesystem::absolute(path, ec);
  return "Unable to write to " + (ec ? path : full.lexically_normal().string());
}

IniDocument ReadIniFile(const std::string& path, const FileSystem& fs) {
  auto text = fs.ReadWholeFile(path);
  if (!text.ok()) return IniDocument();
  return IniDocument::Parse(*text);
}

Status UpdateIniFile(const std::string& path, const std::function<void(IniDocument&)>& apply,
                     const FileSystem& fs) {
  IniDocument doc;
  auto text = fs.ReadWholeFile(path);
  if (text.ok()) {
    doc = IniDocument::Parse(*text);
  } else if (text.status().code() != ENOENT) {
    return Status::Error(UnableToWriteMessage(path), text.status().code());
  }
  apply(doc);
  const Status written = fs.WriteWholeFileAtomic(path, doc.Serialize());
  if (!written.ok()) return Status::Error(UnableToWriteMessage(path), written.code());
  return Status::Ok();
}

}  // namespace zf
