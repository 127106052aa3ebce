#include "config/inifile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>

#include "config/inidatetime.h"
#include "platform/paths.h"

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

// The key of a key=value line, or empty for any other line. A line starting
// with ";" is a comment, whatever it holds: a commented-out ";Password=old"
// is no key.
std::string_view LineKey(std::string_view line) {
  const auto eq = line.find('=');
  if (eq == std::string_view::npos) return {};
  const std::string_view key = Trim(line.substr(0, eq));
  if (!key.empty() && key.front() == ';') return {};
  return key;
}

bool IsQuotePair(std::string_view v) {
  return v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
}

// True for a value the reader would change if it stood bare: one with a
// blank at either end, or one wrapped in a pair of quotes. Every reader of
// these files trims blanks and then takes one pair of quotes away.
bool NeedsQuotes(std::string_view value) {
  if (value.empty()) return false;
  return IsBlank(value.front()) || IsBlank(value.back()) || IsQuotePair(value);
}

std::string LineValue(std::string_view line) {
  std::string_view v = Trim(line.substr(line.find('=') + 1));
  if (IsQuotePair(v)) v = v.substr(1, v.size() - 2);
  if (v.size() > kIniMaxValueLength) v = v.substr(0, kIniMaxValueLength);
  return std::string(v);
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

namespace {

// Eight characters at a time with the letters A..Z made lower case, for
// hashing without a branch per character.
std::uint64_t LowerWord(std::uint64_t x) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  const std::uint64_t low7 = x & (0x7f * kOnes);
  const std::uint64_t aboveZ = low7 + (0x25 * kOnes);  // high bit set where > 'Z'
  const std::uint64_t fromA = low7 + (0x3f * kOnes);   // high bit set where >= 'A'
  const std::uint64_t upper = fromA & ~aboveZ & ~x & (0x80 * kOnes);
  return x | (upper >> 2);
}

}  // namespace

std::size_t IniNameHash::operator()(std::string_view name) const {
  std::uint64_t h = 0x9E3779B97F4A7C15ull ^ name.size();
  std::size_t i = 0;
  for (; i + 8 <= name.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, name.data() + i, 8);
    h = (h ^ LowerWord(w)) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
  }
  if (i < name.size()) {
    std::uint64_t w = 0;
    std::memcpy(&w, name.data() + i, name.size() - i);
    h = (h ^ LowerWord(w)) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
  }
  return static_cast<std::size_t>(h);
}

bool IniNameEqual::operator()(std::string_view a, std::string_view b) const {
  if (a.size() != b.size()) return false;
  if (a == b) return true;  // the usual case: the file spells it as the program does
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

char* IniDocument::Arena::Allocate(std::size_t size) {
  constexpr std::size_t kBlock = 256 * 1024;
  if (size > capacity_ - used_) {
    const std::size_t room = std::max(size, kBlock);
    blocks_.push_back(std::make_unique<char[]>(room));
    used_ = 0;
    capacity_ = room;
  }
  char* at = blocks_.back().get() + used_;
  used_ += size;
  return at;
}

std::string_view IniDocument::Store(std::string_view text) {
  char* at = arena_.Allocate(text.size());
  if (!text.empty()) std::memcpy(at, text.data(), text.size());
  return {at, text.size()};
}

IniDocument IniDocument::Parse(std::string textIn) {
  IniDocument doc;
  doc.source_ = std::make_unique<const std::string>(std::move(textIn));
  std::string_view text = *doc.source_;
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
    // Every carriage return at the end goes: a "\r\r\n" left by a converter
    // would otherwise stick to a section name or a value.
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (auto name = HeaderName(line)) {
      doc.sections_.push_back(Section{line, {}, {}, {}});
      // The first section of a name is the one that counts.
      doc.sectionIndex_.emplace(*name, doc.sections_.size() - 1);
      current = &doc.sections_.back();
      continue;
    }
    if (current == nullptr) {
      doc.preamble_.push_back(line);
      continue;
    }
    if (Trim(line).empty()) {
      current->tail.push_back(line);
      continue;
    }
    // A non-blank line: blank lines before it belong inside the section.
    current->body.insert(current->body.end(), current->tail.begin(), current->tail.end());
    current->tail.clear();
    current->body.push_back(line);
    const std::string_view key = LineKey(line);
    if (!key.empty()) current->keys.emplace(key, current->body.size() - 1);
  }
  return doc;
}

std::string IniDocument::Serialize() const {
  std::size_t size = bom_.size();
  auto count = [&](const std::vector<std::string_view>& lines) {
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
  auto put = [&](std::string_view line) {
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

const std::string_view* IniDocument::FindLine(std::string_view section,
                                              std::string_view key) const {
  const auto s = sectionIndex_.find(section);
  if (s == sectionIndex_.end()) return nullptr;
  const Section& sec = sections_[s->second];
  const auto k = sec.keys.find(key);
  if (k == sec.keys.end()) return nullptr;
  return &sec.body[k->second];
}

std::optional<std::string> IniDocument::Value(std::string_view section,
                                              std::string_view key) const {
  const std::string_view* line = FindLine(section, key);
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

TDateTime IniDocument::ReadDateTime(std::string_view section, std::string_view key, TDateTime def,
                                    const RegionalSettings& regional) const {
  const auto value = Value(section, key);
  if (!value) return def;
  return ParseIniDateTime(*value, regional).value_or(def);
}

IniDocument::Section& IniDocument::SectionForWrite(std::string_view section) {
  const auto s = sectionIndex_.find(section);
  if (s != sectionIndex_.end()) return sections_[s->second];
  char* at = arena_.Allocate(section.size() + 2);
  at[0] = '[';
  std::memcpy(at + 1, section.data(), section.size());
  at[section.size() + 1] = ']';
  const std::string_view header(at, section.size() + 2);
  sections_.push_back(Section{header, {}, {}, {}});
  sectionIndex_.emplace(header.substr(1, section.size()), sections_.size() - 1);
  return sections_.back();
}

void IniDocument::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) {
  Section& sec = SectionForWrite(section);
  const auto k = sec.keys.find(key);
  // An existing key is rewritten where it stands, under the spelling the
  // file already uses; the map keeps pointing at that spelling.
  const std::string_view name = k != sec.keys.end() ? k->first : key;
  // Room for two quotes, which only some values get.
  char* at = arena_.Allocate(name.size() + 1 + value.size() + 2);
  std::memcpy(at, name.data(), name.size());
  at[name.size()] = '=';
  char* out = at + name.size() + 1;
  if (!value.empty()) std::memcpy(out, value.data(), value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (out[i] == '\r' || out[i] == '\n' || out[i] == '\0') out[i] = ' ';
  }
  std::size_t written = value.size();
  if (NeedsQuotes({out, written})) {
    std::memmove(out + 1, out, written);
    out[0] = '"';
    out[written + 1] = '"';
    written += 2;
  }
  const std::string_view line(at, name.size() + 1 + written);
  if (k != sec.keys.end()) {
    sec.body[k->second] = line;
    return;
  }
  sec.body.push_back(line);
  sec.keys.emplace(line.substr(0, name.size()), sec.body.size() - 1);
}

void IniDocument::WriteInteger(std::string_view section, std::string_view key, std::int64_t value) {
  WriteString(section, key, std::to_string(value));
}

void IniDocument::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void IniDocument::WriteDateTime(std::string_view section, std::string_view key, TDateTime value,
                                const RegionalSettings& regional) {
  WriteString(section, key, FormatIniDateTime(value, regional));
}

std::string UnableToWriteMessage(const std::string& path) {
  std::error_code ec;
  const auto full = std::filesystem::absolute(path, ec);
  return "Unable to write to " + (ec ? path : full.lexically_normal().string());
}

IniDocument ReadIniFile(const std::string& pathAsGiven, const FileSystem& fs) {
  auto text = fs.ReadWholeFile(FindNameIgnoringCase(pathAsGiven));
  if (!text.ok()) return IniDocument();
  return IniDocument::Parse(std::move(text).value());
}

Status UpdateIniFile(const std::string& pathAsGiven, const std::function<void(IniDocument&)>& apply,
                     const FileSystem& fs) {
  const std::string path = FindNameIgnoringCase(pathAsGiven);
  IniDocument doc;
  auto text = fs.ReadWholeFile(path);
  if (text.ok()) {
    doc = IniDocument::Parse(std::move(text).value());
  } else if (text.status().code() != ENOENT) {
    return Status::Error(UnableToWriteMessage(path), text.status().code());
  }
  apply(doc);
  const Status written = fs.WriteWholeFileAtomic(path, doc.Serialize());
  if (!written.ok()) return Status::Error(UnableToWriteMessage(path), written.code());
  return Status::Ok();
}

}  // namespace zf
