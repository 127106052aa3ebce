#include "engine/readiness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utf8proc.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "engine/masks.h"
#include "platform/uniquefd.h"

namespace zf {
namespace {

// A cross-reference offset, the keyword and "%%EOF" fit in far less; a
// trailer dictionary of a large incremental update rarely passes 1 KiB.
constexpr std::int64_t kPdfTailBytes = 4096;

constexpr std::string_view kNameField = "{name}";
constexpr std::string_view kBaseField = "{base}";

std::string_view BaseOf(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

// The placeholder of a pattern and where it stands; npos for none.
std::pair<std::size_t, std::string_view> FieldOf(std::string_view pattern) {
  for (std::string_view field : {kNameField, kBaseField}) {
    const std::size_t at = pattern.find(field);
    if (at != std::string_view::npos) return {at, field};
  }
  return {std::string_view::npos, {}};
}

bool IsBlank(char c) {
  return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f' || c == '\0';
}

}  // namespace

std::string NfcName(std::string_view name) {
  const std::string text(name);
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> nfc(
      utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(text.c_str())), &std::free);
  if (!nfc) return text;
  return std::string(reinterpret_cast<const char*>(nfc.get()));
}

bool IsPdfName(std::string_view name) {
  if (name.size() < 4) return false;
  const std::string_view ext = name.substr(name.size() - 4);
  return std::equal(ext.begin(), ext.end(), ".pdf", [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
  });
}

bool PdfTailComplete(std::string_view tail, std::int64_t fileSize) {
  std::size_t end = tail.size();
  while (end > 0 && IsBlank(tail[end - 1])) --end;
  constexpr std::string_view kEof = "%%EOF";
  if (end < kEof.size() || tail.substr(end - kEof.size(), kEof.size()) != kEof) return false;
  constexpr std::string_view kStartxref = "startxref";
  const std::size_t at = tail.rfind(kStartxref, end - kEof.size());
  if (at == std::string_view::npos) return false;
  std::size_t p = at + kStartxref.size();
  while (p < end && IsBlank(tail[p])) ++p;
  std::int64_t offset = 0;
  std::size_t digits = 0;
  for (; p < end && tail[p] >= '0' && tail[p] <= '9' && digits < 18; ++p, ++digits) {
    offset = offset * 10 + (tail[p] - '0');
  }
  return digits > 0 && offset < fileSize;
}

Result<bool> PdfComplete(const Folder& folder, const std::string& name,
                         const FileIdentity& expected) {
  UniqueFd fd(::openat(folder.fd(), name.c_str(),
                       O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.valid()) return Status::Error("Cannot open " + folder.Display(name), errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Status::Error("Cannot look up " + folder.Display(name));
  const FileIdentity found{static_cast<std::uint64_t>(st.st_dev),
                           static_cast<std::uint64_t>(st.st_ino)};
  if (!S_ISREG(st.st_mode) || (expected.known() && found != expected)) {
    return Status::Error("no longer the file found stable: " + folder.Display(name));
  }
  const std::int64_t size = st.st_size;
  const std::int64_t from = std::max<std::int64_t>(0, size - kPdfTailBytes);
  std::string tail(static_cast<std::size_t>(size - from), '\0');
  std::size_t got = 0;
  while (got < tail.size()) {
    const ssize_t n = ::pread(fd.get(), tail.data() + got, tail.size() - got,
                              static_cast<off_t>(from + static_cast<std::int64_t>(got)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::Error("Cannot read " + folder.Display(name), errno);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  tail.resize(got);
  return PdfTailComplete(tail, size);
}

std::string ReadyMarkerOf(std::string_view pattern, std::string_view name) {
  const auto [at, field] = FieldOf(pattern);
  if (at == std::string_view::npos) return {};
  std::string marker(pattern.substr(0, at));
  marker += field == kNameField ? name : BaseOf(name);
  marker += pattern.substr(at + field.size());
  return marker;
}

bool IsReadyMarker(std::string_view pattern, std::string_view name) {
  const auto [at, field] = FieldOf(pattern);
  if (at == std::string_view::npos) return false;
  const std::string_view before = pattern.substr(0, at);
  const std::string_view after = pattern.substr(at + field.size());
  return name.size() > before.size() + after.size() && name.starts_with(before) &&
         name.ends_with(after);
}

std::string ReadyPatternProblem(std::string_view pattern) {
  if (pattern.empty()) return {};
  const auto [at, field] = FieldOf(pattern);
  if (at == std::string_view::npos) return "it holds neither {name} nor {base}";
  if (pattern.find_first_of("/\\") != std::string_view::npos) {
    return "a marker is a file beside its file: no folder separator";
  }
  if (pattern.size() == field.size()) return "the marker would be the file itself";
  return {};
}

bool ReadyMarkersOn(std::string_view pattern) {
  return !pattern.empty() && ReadyPatternProblem(pattern).empty();
}

std::string ReadinessGate::Hold(FileAccess& access, PassContext& pass) {
  markers_.clear();
  const QueueRecord& q = *pass.queue;
  // An FTP queue's markers stay on the server (FtpStages): its files here
  // were fetched only once marked.
  const bool markers = !q.FTPuse && ReadyMarkersOn(q.Readyfile);
  if (!q.Checkpdf && !markers) return {};
  const Result<Folder> folder = Folder::Open(pass.inputFolder);
  if (!folder.ok()) return {};
  FileTable& table = pass.files;
  int cutShort = 0;
  int unmarked = 0;
  int kept = 0;
  std::set<std::string> listed;
  for (int k = 1; k <= table.count(); ++k) {
    FileEntry& entry = table.at(k);
    listed.insert(entry.oldname);
    // A marker is no file of its own: it leaves the table and waits for its
    // file, whose delivery removes it.
    if (markers && IsReadyMarker(q.Readyfile, entry.oldname)) continue;
    if (++kept != k) table.at(kept) = std::move(entry);
    FileEntry& e = table.at(kept);
    if (!e.ready) continue;
    if (markers) {
      const std::string marker = ReadyMarkerOf(q.Readyfile, e.oldname);
      const Result<FileVersion> found = files_.VersionOf(*folder, marker);
      if (!found.ok()) {
        e.ready = false;
        ++unmarked;
        continue;
      }
      markers_.push_back({e.oldname, e.identity, marker, *found});
    }
    if (q.Checkpdf && IsPdfName(e.oldname)) {
      const Key key{pass.uid, e.oldname};
      const Result<bool> complete = PdfComplete(*folder, e.oldname, e.identity);
      if (complete.ok() && *complete) {
        incomplete_.erase(key);
        continue;
      }
      // Swapped or gone since the stability check: judged afresh next pass.
      if (!complete.ok() || ++incomplete_[key] < std::max(1, q.Checkpdfpasses)) {
        e.ready = false;
        cutShort += complete.ok() ? 1 : 0;
        if (!markers_.empty() && markers_.back().file == e.oldname) markers_.pop_back();
        continue;
      }
      // It will not be completed any more: to the error folder, never named.
      incomplete_.erase(key);
      e.refused = true;
      e.comment = kIncompletePdfComment;
      e.reason =
          "its end was not a complete PDF in " + std::to_string(q.Checkpdfpasses) + " passes";
    }
  }
  table.set_count(kept);
  std::erase_if(incomplete_, [&](const auto& item) {
    return item.first.first == pass.uid && !listed.contains(item.first.second);
  });

  std::string why;
  const auto add = [&](const std::string& text) { why += (why.empty() ? "" : "; ") + text; };
  if (cutShort > 0) add(std::to_string(cutShort) + " " + std::string(kIncompletePdf));
  if (unmarked > 0) add(std::to_string(unmarked) + " without ready marker");
  if (markers) {
    for (const std::string& lone : LoneMarkers(access, pass))
      add("marker " + lone + " without its file");
  }
  return why;
}

std::vector<std::string> ReadinessGate::LoneMarkers(FileAccess& access, const PassContext& pass) {
  // The search mask may hide the markers, so the folder is listed whole.
  Result<std::unique_ptr<DirListing>> listing = access.List(pass.inputFolder + "*");
  if (!listing.ok()) return {};
  const std::string& pattern = pass.queue->Readyfile;
  std::set<std::string> wanted;
  std::vector<std::string> found;
  FileInfo info;
  while (listing.value()->Next(info)) {
    if (info.Has(fileattr::kDirectory)) continue;
    if (IsReadyMarker(pattern, info.name)) {
      found.push_back(info.name);
    } else {
      wanted.insert(ReadyMarkerOf(pattern, info.name));
    }
  }
  // Shown once it has stood alone for a whole pass, that is, a stable time:
  // a sender may write the marker a moment before its file appears.
  std::set<Key> now;
  std::vector<std::string> lone;
  for (const std::string& name : found) {
    if (wanted.contains(name)) continue;
    const Key key{pass.uid, name};
    now.insert(key);
    if (lone_.contains(key)) lone.push_back(name);
  }
  std::erase_if(lone_, [&](const Key& key) { return key.first == pass.uid; });
  lone_.merge(now);
  return lone;
}

void ReadinessGate::RemoveMarkers(const PassContext& pass) {
  if (markers_.empty()) return;
  const Result<Folder> folder = Folder::Open(pass.inputFolder);
  if (!folder.ok()) return;
  for (const Marker& m : markers_) {
    // Only once the file has gone: one that stayed (its delivery failed, or
    // it was re-sent meanwhile) still needs its marker.
    const Result<FileVersion> file = files_.VersionOf(*folder, m.file);
    if (file.ok() || file.status().code() != ENOENT) continue;
    // Moved aside first, under a name discovery never takes, so that a marker
    // written again just now is proven another one and put back.
    const std::string aside = "." + m.name + ".part";
    if (!files_.RenameNoReplace(*folder, m.name, *folder, aside).ok()) continue;
    const Result<FileVersion> moved = files_.VersionOf(*folder, aside);
    if (moved.ok() && moved->identity == m.version.identity && moved->size == m.version.size &&
        moved->modified == m.version.modified) {
      if (files_.Delete(*folder, aside).ok()) continue;
    }
    (void)files_.RenameNoReplace(*folder, aside, *folder, m.name);
  }
  markers_.clear();
}

}  // namespace zf
