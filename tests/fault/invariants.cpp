#include "invariants.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <system_error>

#include "platform/tempfile.h"

namespace zf::fault {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view kStagingName = ".zf-staging";

// The whole content of a regular file, read without following a link or
// waiting on a pipe; false when it cannot be read.
bool ReadWhole(const std::string& path, std::string& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  out.clear();
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

// Regular files under `folder` (into subfolders when `deep`), skipping the
// staging folder; errors (a folder that went away) end the walk quietly.
std::vector<fs::path> FilesIn(const std::string& folder, bool deep) {
  std::vector<fs::path> found;
  std::error_code ec;
  if (deep) {
    fs::recursive_directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      if (it->path().filename() == kStagingName) {
        it.disable_recursion_pending();
        continue;
      }
      if (it->is_regular_file(ec) && !it->is_symlink(ec)) found.push_back(it->path());
    }
  } else {
    fs::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      if (it->is_regular_file(ec) && !it->is_symlink(ec)) found.push_back(it->path());
    }
  }
  return found;
}

bool IsOurs(const fs::path& file) {
  return IsTempName(file.filename().string());
}

}  // namespace

namespace {

constexpr std::size_t kBlock = 4096;

// FNV-1a over the content, folded in blocks of kBlock bytes at their offsets
// in the file: a whole block of zeros adds only to a count of such blocks. So
// a hole and written zeros give one fingerprint, and a sparse file of
// gigabytes is fingerprinted without reading its holes.
class Fingerprint {
 public:
  void Bytes(std::string_view part) {
    FlushZeros();
    for (const char c : part) Mix(static_cast<unsigned char>(c));
    size_ += part.size();
  }
  void Block(std::string_view block) {
    static const char zeros[kBlock] = {};
    if (block.size() == kBlock && std::memcmp(block.data(), zeros, kBlock) == 0) {
      ZeroBlocks(1);
    } else {
      Bytes(block);
    }
  }
  void ZeroBlocks(std::uint64_t count) {
    zeroBlocks_ += count;
    size_ += count * kBlock;
  }
  std::string Done() {
    FlushZeros();
    for (int i = 0; i < 8; ++i) Mix(static_cast<unsigned char>(size_ >> (8 * i)));
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h_));
    return text;
  }

 private:
  void Mix(unsigned char c) {
    h_ ^= c;
    h_ *= 1099511628211ULL;
  }
  void FlushZeros() {
    if (zeroBlocks_ == 0) return;
    Mix(0xff);
    for (int i = 0; i < 8; ++i) Mix(static_cast<unsigned char>(zeroBlocks_ >> (8 * i)));
    zeroBlocks_ = 0;
  }

  std::uint64_t h_ = 1469598103934665603ULL;
  std::uint64_t zeroBlocks_ = 0;
  std::uint64_t size_ = 0;
};

bool IsPdf(std::string_view bytes) {
  return bytes.starts_with("%PDF-");
}

// Reads exactly `length` bytes at `offset`; false on an error or a file that
// became shorter.
bool ReadAt(int fd, std::uint64_t offset, std::size_t length, char* into) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, into + done, length - done, static_cast<off_t>(offset + done));
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::string ContentHash(std::string_view bytes) {
  Fingerprint print;
  if (IsPdf(bytes)) {
    // A PDF writer stamps every file it writes with a fresh identifier ("/ID
    // [<...><...>]" in the trailer): two splits of one document give the same
    // pages with other identifiers, so the identifier is no part of the
    // content.
    for (std::size_t id = bytes.find("/ID ["); id != std::string_view::npos;
         id = bytes.find("/ID [")) {
      const std::size_t end = bytes.find(']', id);
      if (end == std::string_view::npos) break;
      print.Bytes(bytes.substr(0, id));
      bytes.remove_prefix(end + 1);
    }
    print.Bytes(bytes);
    return print.Done();
  }
  for (std::size_t at = 0; at < bytes.size(); at += kBlock) print.Block(bytes.substr(at, kBlock));
  return print.Done();
}

std::string HashFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat st {};
  char head[5] = {};
  std::string result;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size >= sizeof head && ReadAt(fd, 0, sizeof head, head) &&
        IsPdf(std::string_view(head, sizeof head))) {
      std::string content;
      if (ReadWhole(path, content)) result = ContentHash(content);
    } else {
      Fingerprint print;
      char block[kBlock];
      std::uint64_t at = 0;
      bool ok = true;
      while (ok && at < size) {
        // Whole blocks inside a hole are zeros without reading them.
        off_t data = ::lseek(fd, static_cast<off_t>(at), SEEK_DATA);
        if (data < 0) data = static_cast<off_t>(size);
        const std::uint64_t holeBlocks =
            (std::min<std::uint64_t>(static_cast<std::uint64_t>(data), size) - at) / kBlock;
        if (holeBlocks > 0) {
          print.ZeroBlocks(holeBlocks);
          at += holeBlocks * kBlock;
          continue;
        }
        const std::size_t length =
            static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, size - at));
        ok = ReadAt(fd, at, length, block);
        if (ok) print.Block(std::string_view(block, length));
        at += length;
      }
      if (ok) result = print.Done();
    }
  }
  ::close(fd);
  return result;
}

void Ledger::Add(const std::string& name, std::string_view content,
                 std::vector<std::string> pageHashes, bool mayVanish) {
  inputs_.push_back({name, ContentHash(content), std::move(pageHashes), mayVanish});
}

void Ledger::AddFile(const std::string& path, std::vector<std::string> pageHashes, bool mayVanish) {
  inputs_.push_back(
      {fs::path(path).filename().string(), HashFile(path), std::move(pageHashes), mayVanish});
}

std::set<std::string> Ledger::KnownHashes() const {
  std::set<std::string> known;
  for (const Input& input : inputs_) {
    known.insert(input.hash);
    known.insert(input.pageHashes.begin(), input.pageHashes.end());
  }
  return known;
}

std::string Findings::Text() const {
  std::string text;
  for (const std::string& v : violations) text += v + "\n";
  return text;
}

void Findings::Merge(const Findings& other) {
  violations.insert(violations.end(), other.violations.begin(), other.violations.end());
}

Findings CheckPlaces(const Ledger& ledger, const Places& places) {
  Findings findings;
  // Where each content stands now, by fingerprint.
  std::multimap<std::string, std::string> where;
  std::set<std::string> inOutputs;
  const auto scan = [&](const std::vector<std::string>& folders, bool deep, bool output) {
    for (const std::string& folder : folders) {
      for (const fs::path& file : FilesIn(folder, deep)) {
        if (IsOurs(file)) continue;
        const std::string hash = HashFile(file.string());
        where.emplace(hash, file.string());
        if (output) inOutputs.insert(hash);
      }
    }
  };
  scan(places.inputs, false, false);
  scan(places.outputs, true, true);
  scan(places.errors, false, true);
  scan(places.ftpServer, true, false);
  scan(places.ftpTemp, false, false);

  for (const Ledger::Input& input : ledger.inputs()) {
    std::vector<std::string> at;
    for (auto [it, end] = where.equal_range(input.hash); it != end; ++it) at.push_back(it->second);
    if (!input.pageHashes.empty()) {
      const bool allPages =
          std::all_of(input.pageHashes.begin(), input.pageHashes.end(),
                      [&](const std::string& page) { return inOutputs.count(page) != 0; });
      if (allPages) at.push_back("(its pages in the output folder)");
    }
    if (at.size() == 1 || (at.empty() && input.mayVanish)) continue;
    if (at.empty()) {
      findings.Add("lost: " + input.name + " (" + input.hash + ") is nowhere");
    } else {
      std::string list;
      for (const std::string& a : at) list += " " + a;
      findings.Add("duplicated: " + input.name + " is in " + std::to_string(at.size()) +
                   " places:" + list);
    }
  }
  // A file under a final name whose content is no input's and no page's is a
  // torn or mixed copy.
  const std::set<std::string> known = ledger.KnownHashes();
  for (const auto& folders : {places.outputs, places.errors}) {
    for (const std::string& folder : folders) {
      for (const fs::path& file : FilesIn(folder, true)) {
        if (IsOurs(file)) continue;
        if (known.count(HashFile(file.string())) == 0) {
          findings.Add("foreign content: " + file.string() + " matches no input");
        }
      }
    }
  }
  return findings;
}

Findings CheckNoLeftovers(const Places& places) {
  Findings findings;
  std::vector<std::string> all;
  for (const auto* list : {&places.inputs, &places.outputs, &places.errors, &places.ftpTemp,
                           &places.logFolders, &places.other}) {
    all.insert(all.end(), list->begin(), list->end());
  }
  for (const auto& [file, contents] : places.configFiles) {
    all.push_back(fs::path(file).parent_path().string());
  }
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  for (const std::string& folder : all) {
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (IsTempName(name)) findings.Add("leftover temporary: " + it->path().string());
      if (name == kStagingName && !fs::is_empty(it->path(), ec)) {
        findings.Add("leftover staging links in " + it->path().string());
      }
    }
  }
  return findings;
}

Findings CheckLogsAndConfig(const Places& places) {
  Findings findings;
  for (const std::string& folder : places.logFolders) {
    for (const fs::path& file : FilesIn(folder, false)) {
      if (IsOurs(file)) continue;
      std::string content;
      if (!ReadWhole(file.string(), content)) {
        findings.Add("unreadable log: " + file.string());
        continue;
      }
      if (file.extension() == ".log") {
        // Every entry is one line of seven fields ending in CR LF (after the
        // file's "Log created" line); a torn
        // write would leave a last line without its end or a short line.
        if (!content.empty() && content.back() != '\n') {
          findings.Add("torn last line in " + file.string());
        }
        std::istringstream lines(content);
        std::string line;
        int number = 0;
        while (std::getline(lines, line)) {
          ++number;
          // The writer opens every new file with one line that says when.
          const bool header = number == 1 && line.starts_with("Log created ");
          if (line.empty() || line.back() != '\r' ||
              (!header && std::count(line.begin(), line.end(), ',') < 6)) {
            findings.Add("broken line " + std::to_string(number) + " in " + file.string());
          }
        }
      } else if (file.extension() == ".xml") {
        xmlDocPtr doc =
            xmlReadMemory(content.data(), static_cast<int>(content.size()), file.c_str(), nullptr,
                          XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        if (doc == nullptr) findings.Add("XML log does not parse: " + file.string());
        xmlFreeDoc(doc);
      }
    }
  }
  for (const auto& [file, contents] : places.configFiles) {
    std::string content;
    if (!ReadWhole(file, content)) {
      findings.Add("configuration file missing: " + file);
    } else if (std::find(contents.begin(), contents.end(), content) == contents.end()) {
      findings.Add("configuration file holds neither its old nor its new content: " + file);
    }
  }
  return findings;
}

Findings CheckAll(const Ledger& ledger, const Places& places) {
  Findings findings = CheckPlaces(ledger, places);
  findings.Merge(CheckNoLeftovers(places));
  findings.Merge(CheckLogsAndConfig(places));
  return findings;
}

Observer::Observer(const Ledger& ledger, const Places& places, int intervalMs)
    : known_(ledger.KnownHashes()), intervalMs_(intervalMs) {
  folders_ = places.outputs;
  folders_.insert(folders_.end(), places.errors.begin(), places.errors.end());
}

Observer::~Observer() {
  if (thread_.joinable()) (void)Stop();
}

void Observer::Start() {
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

Findings Observer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  std::lock_guard lock(mutex_);
  return findings_;
}

void Observer::Run() {
  std::set<std::string> reported;
  while (!stop_) {
    for (const std::string& folder : folders_) {
      for (const fs::path& file : FilesIn(folder, true)) {
        if (IsOurs(file)) continue;
        // Gone between the listing and the read: replaced or removed, both
        // are fine; what is read is one whole file either way (one open
        // file, whatever is renamed over its name meanwhile).
        const std::string hash = HashFile(file.string());
        if (hash.empty() || known_.count(hash) != 0) continue;
        if (reported.insert(file.string()).second) {
          std::error_code ec;
          const auto size = fs::file_size(file, ec);
          std::lock_guard lock(mutex_);
          findings_.Add("half-visible: " + file.string() + " seen with " +
                        (ec ? std::string("?") : std::to_string(size)) +
                        " bytes of no known content");
        }
      }
    }
    ++rounds_;
    std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs_));
  }
}

}  // namespace zf::fault
