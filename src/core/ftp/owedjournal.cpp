#include "ftp/owedjournal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/files.h"

namespace zf {
namespace {

constexpr std::string_view kHeader = "zentrafold owed FTP deletions 1";

// Tabs and line ends separate fields and entries; "%" escapes them.
std::string Escape(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

bool Unescape(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const std::string hex(text.substr(i + 1, 2));
    char* end = nullptr;
    const long value = std::strtol(hex.c_str(), &end, 16);
    if (end != hex.c_str() + 2) return false;
    out.push_back(static_cast<char>(value));
    i += 2;
  }
  return true;
}

std::vector<std::string_view> Split(std::string_view line, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = line.find(separator);
    parts.push_back(line.substr(0, at));
    if (at == std::string_view::npos) return parts;
    line.remove_prefix(at + 1);
  }
}

bool Number(std::string_view text, std::int64_t& out) {
  const std::string s(text);
  char* end = nullptr;
  errno = 0;
  out = std::strtoll(s.c_str(), &end, 10);
  return !s.empty() && errno == 0 && end == s.c_str() + s.size();
}

bool Time(std::string_view text, TDateTime& out) {
  const std::string s(text);
  char* end = nullptr;
  out = std::strtod(s.c_str(), &end);
  return !s.empty() && end == s.c_str() + s.size();
}

}  // namespace

OwedDeletions::OwedDeletions(std::string path) : path_(std::move(path)) {}

Status OwedDeletions::Load() {
  entries_.clear();
  changed_ = false;
  if (path_.empty()) return Status::Ok();
  const Result<std::string> text = DefaultFileSystem().ReadWholeFile(path_);
  if (!text.ok()) return text.status().code() == ENOENT ? Status::Ok() : text.status();
  const std::vector<std::string_view> lines = Split(*text, '\n');
  if (lines.empty() || lines.front() != kHeader) {
    return Status::Error("Not a journal of owed FTP deletions: " + path_);
  }
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::string_view> f = Split(lines[i], '\t');
    std::string place;
    OwedDelete e;
    if (f.size() != 6 || !Unescape(f[0], place) || !Unescape(f[1], e.name) ||
        !Number(f[2], e.size) || !Time(f[3], e.time) || !Unescape(f[4], e.unique) ||
        !Number(f[5], e.modified)) {
      continue;
    }
    entries_[{place, e.name}] = std::move(e);
  }
  return Status::Ok();
}

Status OwedDeletions::Save() {
  if (!changed_ || path_.empty()) return Status::Ok();
  std::string text(kHeader);
  for (const auto& [key, e] : entries_) {
    char time[40];
    // 17 digits give the very same double back.
    std::snprintf(time, sizeof time, "%.17g", e.time);
    text += "\n" + Escape(key.first) + "\t" + Escape(e.name) + "\t" + std::to_string(e.size) +
            "\t" + time + "\t" + Escape(e.unique) + "\t" + std::to_string(e.modified);
  }
  text += "\n";
  Status status = DefaultFileSystem().WriteWholeFileAtomic(path_, text);
  if (status.ok()) changed_ = false;
  return status;
}

std::string OwedDeletions::PlaceOf(const QueueRecord& queue) {
  return queue.name + "\n" + queue.FTPhost + ":" + std::to_string(queue.FTPPort) + "/" +
         queue.FTPpath;
}

void OwedDeletions::Add(const std::string& place, OwedDelete entry) {
  std::string name = entry.name;
  entries_[{place, std::move(name)}] = std::move(entry);
  changed_ = true;
}

const OwedDelete* OwedDeletions::Find(const std::string& place, const std::string& name) const {
  const auto it = entries_.find({place, name});
  return it == entries_.end() ? nullptr : &it->second;
}

void OwedDeletions::Remove(const std::string& place, const std::string& name) {
  if (entries_.erase({place, name}) > 0) changed_ = true;
}

void OwedDeletions::KeepOnly(const std::string& place, const std::set<std::string>& listed) {
  for (auto it = entries_.lower_bound({place, std::string()});
       it != entries_.end() && it->first.first == place;) {
    if (listed.count(it->first.second) == 0) {
      it = entries_.erase(it);
      changed_ = true;
    } else {
      ++it;
    }
  }
}

std::string OwedJournalPathFor(const std::string& queueFile) {
  const std::size_t slash = queueFile.rfind('/');
  const std::size_t dot = queueFile.rfind('.');
  const std::string stem =
      dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)
          ? queueFile.substr(0, dot)
          : queueFile;
  return stem + ".ftpowed";
}

}  // namespace zf
