#include "logfile.h"

#include "platform/tempfile.h"
#include "platform/uniquefd.h"
#include "platform/writehook.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <list>
#include <optional>
#include <set>
#include <vector>

#include "config/datetimepattern.h"
#include "log/jmflog.h"

namespace zf {

namespace {

constexpr std::string_view kCsvExtension = ".log";
constexpr std::string_view kXmlExtension = ".xml";
constexpr int kMaxArchiveSuffix = 999;
// Memory for XML documents kept between entries (a full 10,000-entry file
// takes about 3 MB); beyond it the least recently used queues read their
// file again at their next entry.
constexpr std::size_t kMaxCachedBytes = std::size_t{64} << 20;
constexpr std::size_t kMaxCsvStates = 256;

std::string ErrnoText(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);  // the GNU form returns the text
}

// "Unable to <action> the log file <path>: <reason>", with the errno as code.
Status LogFileError(std::string_view action, const std::string& path, int error,
                    std::string_view reason = {}) {
  return Status::Error("Unable to " + std::string(action) + " the log file " + path + ": " +
                           (reason.empty() ? ErrnoText(error) : std::string(reason)),
                       error);
}

// Opens an existing log file. Whatever else someone plants under the log's
// name is refused, never used: a link is not followed (it could make us
// append to any file the service may write), and a FIFO is not waited on
// (O_NONBLOCK; a regular file's reads and writes ignore the flag). A missing
// file gives the code ENOENT. `st` receives the file's state.
Result<UniqueFd> OpenLogFile(const std::string& path, int flags, std::string_view action,
                             struct stat& st) {
  UniqueFd fd(::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    const int error = errno;
    if (error == ELOOP) {
      return LogFileError(action, path, error, "it is a symbolic link, which is never followed");
    }
    return LogFileError(action, path, error);
  }
  if (::fstat(fd.get(), &st) != 0) return LogFileError(action, path, errno);
  if (S_ISDIR(st.st_mode)) return LogFileError(action, path, EISDIR);
  if (!S_ISREG(st.st_mode)) {
    return LogFileError(action, path, -1, "it is not a regular file");
  }
  return fd;
}

// What identifies one version of a file: a counted state is valid while the
// file is the same inode with the same size and modification time.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  std::int64_t mtimeNs = 0;
  bool operator==(const FileId&) const = default;
};

FileId IdOf(const struct stat& st) {
  return FileId{st.st_dev, st.st_ino, st.st_size,
                static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

std::string_view ExtensionOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  return path.substr(dot);
}

std::string ArchiveCandidate(std::string_view current, std::string_view stamp, int suffix) {
  const std::string_view extension = ExtensionOf(current);
  std::string path(current.substr(0, current.size() - extension.size()));
  path += '_';
  path += stamp;
  if (suffix > 0) {
    path += '_';
    path += std::to_string(suffix);
  }
  path += extension;
  return path;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes a created or renamed directory entry durable; a failure here loses
// nothing that was written, so it is not reported.
void SyncFolderQuietly(const std::string& folder) {
  BeforeWrite(WriteSite::kLog, WriteKind::kSyncFolder, folder + "/");
  static_cast<void>(SyncFolder(folder));
}

// Lines of a comma-separated log, counted as a line list counts them: every
// line break ends one line, and text after the last break is one more.
struct CsvState {
  FileId id;
  std::uint64_t lineBreaks = 0;
  bool endsWithBreak = true;  // also for an empty file
  std::uint64_t Lines() const { return lineBreaks + (endsWithBreak ? 0 : 1); }
};

// Fields are written as they are, commas included, except for line breaks:
// a name holding one (possible on this platform) would split its entry into
// two lines, which the size rule would then count as two entries.
void AppendField(std::string& line, std::string_view field) {
  const std::size_t from = line.size();
  line += field;
  std::replace_if(
      line.begin() + static_cast<std::ptrdiff_t>(from), line.end(),
      [](char c) { return c == '\r' || c == '\n'; }, ' ');
}

// One entry as a line of the comma-separated log, with its line break.
std::string CsvLine(const LogFileEntry& entry, const std::string& timeFormat) {
  std::string line;
  line.reserve(entry.inputName.size() + entry.outputName.size() + entry.comment.size() + 64);
  AppendField(line, entry.inputName);
  line += ',';
  AppendField(line, entry.outputName);
  line += ",,";
  AppendField(line, entry.statusText);
  line += ',';
  AppendField(line, entry.comment);
  line += ',';
  line += FormatDateTimeText(timeFormat, entry.fileTime);
  line += ',';
  line += FormatDateTimeText(timeFormat, entry.pollTime);
  line += "\r\n";
  return line;
}

std::uint64_t CountBreaks(std::string_view data) {
  return static_cast<std::uint64_t>(std::count(data.begin(), data.end(), '\n'));
}

Status WriteAll(LogFileIo& io, int fd, std::string_view data, const std::string& path) {
  while (!data.empty()) {
    BeforeWrite(WriteSite::kLog, WriteKind::kWrite, path);
    const ssize_t n = io.Write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::Error(ErrnoText(errno), errno);
    }
    if (n == 0) return Status::Error(ErrnoText(ENOSPC), ENOSPC);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return Status::Ok();
}

// Replaces the file at `path` by `text`; `id` receives the new file's state.
Status SaveXml(LogFileIo& io, const std::string& path, const std::string& text,
               std::optional<mode_t> mode, FileId& id) {
  const std::string folder = FolderOf(path);
  // The new content goes to a file beside the old one first: until the
  // rename, the old file is the log, whole, whatever happens to the write.
  // Its name has the shape the start-up clean-up removes after a kill.
  Result<TempFile> created = CreateTempFile(folder, path.substr(path.rfind('/') + 1));
  if (!created.ok()) return LogFileError("save", path, created.status().code());
  TempFile temp = std::move(created).value();
  if (mode) ::fchmod(temp.fd.get(), *mode);
  Status written = WriteAll(io, temp.fd.get(), text, temp.path);
  if (written.ok()) BeforeWrite(WriteSite::kLog, WriteKind::kSyncFile, temp.path);
  if (written.ok() && io.Sync(temp.fd.get()) != 0) written = Status::Error({}, errno);
  struct stat st {};
  if (written.ok() && ::fstat(temp.fd.get(), &st) != 0) written = Status::Error({}, errno);
  if (written.ok()) {
    if (const int error = temp.fd.Close(); error != 0) written = Status::Error({}, error);
  }
  if (written.ok()) BeforeWrite(WriteSite::kLog, WriteKind::kRename, path);
  if (written.ok() && ::rename(temp.path.c_str(), path.c_str()) != 0) {
    written = Status::Error({}, errno);
  }
  if (!written.ok()) {
    temp.fd.Close();
    ::unlink(temp.path.c_str());
    return LogFileError("save", path, written.code());
  }
  SyncFolderQuietly(folder);
  id = IdOf(st);
  return Status::Ok();
}

// Another program's XML file under the log's name is never touched; the
// entry it would have received is lost, which the caller must hear of.
Status NotJmf(const std::string& path) {
  return LogFileError("write to", path, -1, "its root element is not JMF; it is left as it is");
}

}  // namespace

struct LogFileWriter::Call {
  const QueueRecord& queue;
  bool live;  // the queue is still in the table, so `lastlogrenew` may be written back
  std::string path;
  TDateTime now;
};

struct LogFileWriter::LoadedXml {
  JmfLogText* doc = nullptr;  // null when missing or failed
  bool missing = false;
  mode_t mode = 0;  // permissions of the file as it is now
  Status status;
  std::unique_ptr<JmfLogText> owned;  // a document read while it changed is not kept
};

struct LogFileWriter::Caches {
  std::unordered_map<std::string, CsvState> csv;

  struct Document {
    std::string path;
    FileId id;
    JmfLogText doc;
  };
  std::list<Document> xml;  // most recently used first

  Document* FindXml(const std::string& path) {
    for (auto it = xml.begin(); it != xml.end(); ++it) {
      if (it->path == path) {
        xml.splice(xml.begin(), xml, it);
        return &xml.front();
      }
    }
    return nullptr;
  }
  void DropXml(const std::string& path) {
    xml.remove_if([&](const Document& d) { return d.path == path; });
  }
  Document* KeepXml(Document document) {
    DropXml(document.path);
    xml.push_front(std::move(document));
    std::size_t bytes = 0;
    for (auto it = xml.begin(); it != xml.end();) {
      bytes += it->doc.MemorySize();
      if (it != xml.begin() && bytes > kMaxCachedBytes) {
        it = xml.erase(it);
      } else {
        ++it;
      }
    }
    return &xml.front();
  }
  void Drop(const std::string& path) {
    csv.erase(path);
    DropXml(path);
  }
};

std::string LogFilePath(const QueueRecord& queue) {
  std::string path = queue.Logfile;
  if (path.empty() || path.back() != '/') path += '/';
  path += queue.name;
  path += queue.logtype == 0 ? kCsvExtension : kXmlExtension;
  return path;
}

std::string LogArchivePath(std::string_view currentPath, TDateTime moment) {
  return ArchiveCandidate(currentPath, FormatDateTimeText("ddmmyyyyhhnn", moment), 0);
}

LogFileWriter::LogFileWriter(QueueTable& table, Clock& clock, std::string logFormat, LogFileIo& io)
    : table_(table),
      clock_(clock),
      logFormat_(std::move(logFormat)),
      io_(io),
      caches_(std::make_unique<Caches>()) {
  PrepareXmlLibrary();
  std::error_code ec;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", ec);
  senderId_ = ec ? std::string("Zentrafold") : program.stem().string();
}

LogFileWriter::~LogFileWriter() = default;

RecordPtr LogFileWriter::CurrentRecord(std::uint64_t uid) const {
  if (uid == 0) return nullptr;
  // The slot can change between the two lookups when the user-interface
  // thread deletes a queue; the identity check catches that.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int slot = table_.SlotOf(uid);
    if (slot == 0) return nullptr;
    RecordPtr record = table_.Record(slot);
    if (record->uid == uid) return record;
  }
  return nullptr;
}

Status LogFileWriter::WriteLogFileEntry(const QueueRecord& passRecord, const LogFileEntry& entry) {
  return WriteLogFileEntries(passRecord, std::span<const LogFileEntry>(&entry, 1)).front();
}

std::vector<Status> LogFileWriter::WriteLogFileEntries(const QueueRecord& passRecord,
                                                       std::span<const LogFileEntry> entries) {
  std::vector<Status> results(entries.size());
  const RecordPtr current = CurrentRecord(passRecord.uid);
  const QueueRecord& queue = current ? *current : passRecord;
  if (entries.empty() || !queue.Makelog || queue.Logfile.empty()) return results;
  const Call call{queue, current != nullptr, LogFilePath(queue), clock_.Now()};
  if (queue.logtype == 0) {
    WriteCsv(call, entries, results);
  } else {
    WriteXml(call, entries, results);
  }
  return results;
}

bool LogFileWriter::DailyDue(const QueueRecord& queue, TDateTime now) const {
  const DateTimeParts today = DecodeDateTime(now);
  TDateTime dailyTime;
  // An hour above 23 or a minute above 59 gives no daily time at all.
  if (!TryEncodeDateTime(today.year, today.month, today.day, queue.dailyhour, queue.dailyminute, 0,
                         0, dailyTime)) {
    return false;
  }
  std::int64_t lastRenew = ToMilliseconds(queue.lastlogrenew);
  if (const auto it = dailyRenewed_.find(queue.uid); it != dailyRenewed_.end()) {
    lastRenew = std::max(lastRenew, ToMilliseconds(it->second));
  }
  return ToMilliseconds(dailyTime) < ToMilliseconds(now) && ToMilliseconds(DateOf(now)) > lastRenew;
}

bool LogFileWriter::ApplyDailyRule(const Call& call) {
  if (!call.queue.daily || !DailyDue(call.queue, call.now)) return false;
  // A file that cannot be moved aside (held by another program) keeps the
  // day open, so that a later entry renews it once it is free.
  if (Renew(call.path, call.now) == Renewal::kFailed) return true;
  const TDateTime today = DateOf(call.now);
  dailyRenewed_[call.queue.uid] = today;
  if (call.live) {
    table_.UpdateQueue(call.queue.uid, [today](QueueRecord& record) {
      if (ToMilliseconds(record.lastlogrenew) < ToMilliseconds(today)) {
        record.lastlogrenew = today;
      }
    });
  }
  return true;
}

LogFileWriter::Renewal LogFileWriter::Renew(const std::string& path, TDateTime now) {
  // Only a regular file is moved aside: a link, FIFO or folder planted under
  // the log's name stays where it is, and the entry reports it.
  struct stat current;
  if (::lstat(path.c_str(), &current) != 0) {
    return errno == ENOENT ? Renewal::kMissing : Renewal::kFailed;
  }
  if (!S_ISREG(current.st_mode)) return Renewal::kFailed;
  const std::string stamp = FormatDateTimeText("ddmmyyyyhhnn", now);
  // The stamp has minute resolution: a second renewal within the minute
  // finds its name taken and adds a number, so no archive is ever replaced.
  for (int suffix = 0; suffix <= kMaxArchiveSuffix; ++suffix) {
    const std::string target = ArchiveCandidate(path, stamp, suffix);
    BeforeWrite(WriteSite::kLog, WriteKind::kRename, target);
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
      caches_->Drop(path);
      return Renewal::kRenamed;
    }
    const int error = errno;
    if (error == EEXIST) continue;
    if (error == ENOENT) return Renewal::kMissing;
    if (error != EINVAL && error != ENOSYS && error != ENOTSUP) return Renewal::kFailed;
    // A file system without a refusing rename: test the name first. Only
    // this writer renews these files, so nothing comes in between.
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0) continue;
    if (errno != ENOENT) return Renewal::kFailed;
    BeforeWrite(WriteSite::kLog, WriteKind::kRename, target);
    if (::rename(path.c_str(), target.c_str()) == 0) {
      caches_->Drop(path);
      return Renewal::kRenamed;
    }
    return errno == ENOENT ? Renewal::kMissing : Renewal::kFailed;
  }
  return Renewal::kFailed;
}

Result<int> RemoveLogLeftovers(const QueueTable& table) {
  const QueueTable::State state = table.Snapshot();
  std::set<std::string> folders;
  for (int i = 0; i < state.Nfolders; ++i) {
    std::string folder = state.slots[static_cast<std::size_t>(i)]->Logfile;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (!folder.empty()) folders.insert(std::move(folder));
  }
  int removed = 0;
  Status first;
  for (const std::string& folder : folders) {
    Result<int> cleaned = RemoveTempFilesIn(folder);
    if (cleaned.ok()) {
      removed += *cleaned;
    } else if (cleaned.status().code() != ENOENT && first.ok()) {
      // A log folder that does not exist yet holds nothing to clean.
      first = cleaned.status();
    }
  }
  if (!first.ok()) return first;
  return removed;
}

void LogFileWriter::RenewLogFilesOnStart() {
  const QueueTable::State state = table_.Snapshot();
  for (int i = 0; i < state.Nfolders; ++i) {
    const QueueRecord& queue = *state.slots[static_cast<std::size_t>(i)];
    if (!queue.newonstart || !queue.Makelog || queue.Logfile.empty()) continue;
    // A queue whose file cannot be moved keeps writing into it; that is no
    // reason to leave the other queues' files unrenewed.
    Renew(LogFilePath(queue), clock_.Now());
  }
}

// ---- comma-separated files ----

void LogFileWriter::WriteCsv(const Call& call, std::span<const LogFileEntry> entries,
                             std::vector<Status>& results) {
  const QueueRecord& queue = call.queue;
  for (std::size_t i = 0; i < entries.size();) {
    // The rules are applied before the first entry of each run of entries
    // that one write takes, just as they would be before that entry alone.
    bool sizeRuleRenewed = false;
    if (queue.newonmax) {
      // A file that cannot be read (it does not exist yet) skips the rule.
      const auto lines = CountCsvLines(call.path);
      if (lines &&
          (queue.Maxentries < 0 || *lines > static_cast<std::uint64_t>(queue.Maxentries))) {
        Renew(call.path, call.now);
        sizeRuleRenewed = true;
      }
    }
    if (!sizeRuleRenewed) ApplyDailyRule(call);

    const std::size_t take = CsvEntriesBeforeRenewal(call, entries.size() - i);
    std::string lines;
    for (std::size_t j = i; j < i + take; ++j) lines += CsvLine(entries[j], logFormat_);
    const Status status = PutCsvLines(call, lines);
    for (std::size_t j = i; j < i + take; ++j) results[j] = status;
    i += take;
  }
}

std::size_t LogFileWriter::CsvEntriesBeforeRenewal(const Call& call, std::size_t left) {
  const QueueRecord& queue = call.queue;
  if (!queue.newonmax) return left;
  if (queue.Maxentries < 0) return 1;  // a renewal before every entry
  const auto maxLines = static_cast<std::uint64_t>(queue.Maxentries);
  // The lines the file holds before the first entry; a new file starts with
  // its header line. The entry after the one that takes the file beyond
  // Maxentries lines is the first of the next run.
  std::uint64_t lines = 1;
  if (const auto counted = CountCsvLines(call.path)) {
    lines = *counted;
  } else if (struct stat st; ::lstat(call.path.c_str(), &st) == 0 || errno != ENOENT) {
    return 1;  // there but unreadable: entry by entry, as the rule would go
  }
  if (lines > maxLines) return 1;
  return static_cast<std::size_t>(std::min<std::uint64_t>(left, maxLines - lines + 1));
}

Status LogFileWriter::PutCsvLines(const Call& call, const std::string& lines) {
  // A renewed file is gone, so both cases end in creating a new one; a file
  // that could not be moved aside receives the entries instead.
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool missing = false;
    Status status = AppendCsvLine(call.path, lines, missing);
    if (!missing) return status;
    bool exists = false;
    status = CreateCsvFile(call.path, lines, call.now, exists);
    if (!exists) return status;
  }
  return LogFileError("write to", call.path, EAGAIN,
                      "another program removes and creates it again while we write");
}

std::optional<std::uint64_t> LogFileWriter::CountCsvLines(const std::string& path) {
  // A file that cannot be opened is reported by the append that follows.
  struct stat st;
  Result<UniqueFd> opened = OpenLogFile(path, O_RDONLY, "read", st);
  if (!opened.ok()) return std::nullopt;
  const UniqueFd fd = std::move(opened).value();
  const FileId id = IdOf(st);
  if (const auto it = caches_->csv.find(path); it != caches_->csv.end() && it->second.id == id) {
    return it->second.Lines();
  }
  CsvState state;
  state.id = id;
  std::vector<char> block(std::size_t{1} << 16);
  off_t total = 0;
  for (;;) {
    const ssize_t n = ::read(fd.get(), block.data(), block.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    state.lineBreaks += CountBreaks(std::string_view(block.data(), static_cast<std::size_t>(n)));
    state.endsWithBreak = block[static_cast<std::size_t>(n - 1)] == '\n';
    total += n;
  }
  if (total == st.st_size) {
    if (caches_->csv.size() >= kMaxCsvStates) caches_->csv.clear();
    caches_->csv[path] = state;
  }
  return state.Lines();
}

Status LogFileWriter::AppendCsvLine(const std::string& path, const std::string& line,
                                    bool& missing) {
  // Every failure here loses the entry, which the caller is told, and leaves
  // the file as it was: an existing log is never replaced, only appended to.
  struct stat before;
  Result<UniqueFd> opened = OpenLogFile(path, O_RDWR | O_APPEND, "write to", before);
  if (!opened.ok()) {
    missing = opened.status().code() == ENOENT;
    return missing ? Status::Ok() : opened.status();
  }
  const UniqueFd fd = std::move(opened).value();
  bool endsWithBreak = true;
  if (before.st_size > 0) {
    char last = 0;
    const ssize_t n = ::pread(fd.get(), &last, 1, before.st_size - 1);
    if (n != 1) return LogFileError("write to", path, n < 0 ? errno : EIO);
    endsWithBreak = last == '\n';
  }
  // A last line without its break (written by someone else) is ended first,
  // so that the entry stays a line of its own.
  const std::string data = endsWithBreak ? line : "\r\n" + line;
  Status written = WriteAll(io_, fd.get(), data, path);
  if (written.ok()) BeforeWrite(WriteSite::kLog, WriteKind::kSyncFile, path);
  if (written.ok() && io_.Sync(fd.get()) != 0) written = Status::Error({}, errno);
  if (!written.ok()) {
    // Take back whatever part of the line reached the file.
    BeforeWrite(WriteSite::kLog, WriteKind::kTruncate, path);
    if (::ftruncate(fd.get(), before.st_size) == 0) io_.Sync(fd.get());
    caches_->csv.erase(path);
    return LogFileError("write to", path, written.code());
  }

  const auto it = caches_->csv.find(path);
  struct stat after;
  if (it != caches_->csv.end() && it->second.id == IdOf(before) && ::fstat(fd.get(), &after) == 0) {
    it->second.id = IdOf(after);
    it->second.lineBreaks += CountBreaks(data);
    it->second.endsWithBreak = data.back() == '\n';
  } else if (it != caches_->csv.end()) {
    caches_->csv.erase(it);
  }
  return Status::Ok();
}

Status LogFileWriter::CreateCsvFile(const std::string& path, const std::string& line, TDateTime now,
                                    bool& exists) {
  // O_EXCL also refuses a link or anything else already under the name;
  // the append then reports what it is.
  BeforeWrite(WriteSite::kLog, WriteKind::kCreate, path);
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!fd.valid()) {
    const int error = errno;
    if (error == EEXIST) {
      exists = true;
      return Status::Ok();
    }
    return LogFileError("create", path, error);
  }
  const std::string content =
      "Log created " + FormatDateTimeText("ddmmyyyy hhnnss", now) + "\r\n" + line;
  Status written = WriteAll(io_, fd.get(), content, path);
  if (written.ok()) BeforeWrite(WriteSite::kLog, WriteKind::kSyncFile, path);
  if (written.ok() && io_.Sync(fd.get()) != 0) written = Status::Error({}, errno);
  struct stat st;
  const bool known = written.ok() && ::fstat(fd.get(), &st) == 0;
  if (written.ok()) {
    if (const int error = fd.Close(); error != 0) written = Status::Error({}, error);
  }
  if (!written.ok()) {
    fd.Close();
    BeforeWrite(WriteSite::kLog, WriteKind::kDelete, path);
    ::unlink(path.c_str());
    return LogFileError("create", path, written.code());
  }
  SyncFolderQuietly(FolderOf(path));
  if (known) {
    if (caches_->csv.size() >= kMaxCsvStates) caches_->csv.clear();
    caches_->csv[path] = CsvState{IdOf(st), CountBreaks(content), true};
  }
  return Status::Ok();
}

// ---- XML files ----

LogFileWriter::LoadedXml LogFileWriter::LoadXml(const std::string& path) {
  LoadedXml loaded;
  // The bytes are read through our own descriptor and parsed from memory, so
  // the parser never opens the path (and never follows a link) itself.
  struct stat st;
  Result<UniqueFd> opened = OpenLogFile(path, O_RDONLY, "read", st);
  if (!opened.ok()) {
    loaded.missing = opened.status().code() == ENOENT;
    if (!loaded.missing) loaded.status = opened.status();
    return loaded;
  }
  const UniqueFd fd = std::move(opened).value();
  const FileId id = IdOf(st);
  loaded.mode = static_cast<mode_t>(st.st_mode & 07777);
  if (Caches::Document* cached = caches_->FindXml(path); cached != nullptr) {
    if (cached->id == id) {
      loaded.doc = &cached->doc;
      return loaded;
    }
    caches_->DropXml(path);
  }

  std::string bytes;
  bytes.resize(static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)));
  std::size_t total = 0;
  for (;;) {
    if (total == bytes.size()) bytes.resize(bytes.size() + 4096);
    const ssize_t n = ::read(fd.get(), bytes.data() + total, bytes.size() - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      loaded.status = LogFileError("read", path, errno);
      return loaded;
    }
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
  }
  bytes.resize(total);
  if (bytes.size() > static_cast<std::size_t>(INT32_MAX)) {
    loaded.status = Status::Error("The log file " + path + " is too large to be read", EFBIG);
    return loaded;
  }
  Result<JmfLogText> parsed = JmfLogText::Parse(bytes);
  if (!parsed.ok()) {
    loaded.status = Status::Error("The log file " + path + " is " + parsed.status().message());
    return loaded;
  }
  Caches::Document document{path, id, std::move(parsed).value()};
  // A file whose content was read while it changed is not kept.
  if (static_cast<off_t>(total) == st.st_size) {
    loaded.doc = &caches_->KeepXml(std::move(document))->doc;
  } else {
    loaded.owned = std::make_unique<JmfLogText>(std::move(document.doc));
    loaded.doc = loaded.owned.get();
  }
  return loaded;
}

void LogFileWriter::WriteXml(const Call& call, std::span<const LogFileEntry> entries,
                             std::vector<Status>& results) {
  const QueueRecord& queue = call.queue;
  for (std::size_t i = 0; i < entries.size();) {
    // The rules are applied before the first entry of each run of entries
    // that one save takes, just as they would be before that entry alone.
    std::optional<LoadedXml> counted;
    bool renewed = false;
    Status refused;
    if (queue.newonmax) {
      counted = LoadXml(call.path);
      // A file that cannot be read or parsed skips the rule.
      if (counted->doc != nullptr) {
        if (!counted->doc->HasJmfRoot()) {
          refused = NotJmf(call.path);
        } else if (queue.Maxentries < 0 ||
                   counted->doc->RootElementCount() > static_cast<std::size_t>(queue.Maxentries)) {
          Renew(call.path, call.now);
          renewed = true;
        }
      }
    }
    if (refused.ok() && !renewed) renewed = ApplyDailyRule(call);

    // Unless a rule moved the file, the document just counted is the one to extend.
    LoadedXml loaded;
    if (refused.ok()) {
      loaded =
          counted && !renewed && counted->doc != nullptr ? std::move(*counted) : LoadXml(call.path);
    }
    std::optional<JmfLogText> created;
    JmfLogText* doc = loaded.doc;
    std::optional<mode_t> mode;
    if (refused.ok()) {
      if (loaded.missing) {
        created = JmfLogText::Create(
            ToXmlText(DateTimeToRegionalString(call.now)), ToXmlText(senderId_),
            JmfLogText::Folder{ToXmlText(queue.name), ToXmlText(queue.Inputfolder),
                               ToXmlText(queue.Outputfolder)});
        doc = &*created;
      } else if (doc == nullptr) {
        refused = loaded.status;
      } else if (!doc->HasJmfRoot()) {
        refused = NotJmf(call.path);
      } else {
        mode = loaded.mode;
      }
    }
    if (!refused.ok()) {
      results[i++] = refused;  // this entry is lost; the next tries again
      continue;
    }

    // Entries go into the document until the size rule would renew the file
    // before the next one.
    std::vector<std::size_t> added;
    for (const std::size_t first = i; i < entries.size(); ++i) {
      if (i > first && queue.newonmax &&
          (queue.Maxentries < 0 ||
           doc->RootElementCount() > static_cast<std::size_t>(queue.Maxentries))) {
        break;
      }
      const LogFileEntry& entry = entries[i];
      const Status status = doc->AddEntry(JmfLogText::Entry{
          ToUtf8(entry.inputName), ToXmlText(entry.outputName), ToXmlText(entry.statusText),
          ToXmlText(FormatDateTimeText(logFormat_, entry.fileTime)),
          ToXmlText(FormatDateTimeText(logFormat_, entry.pollTime)), ToXmlText(entry.comment)});
      if (status.ok()) {
        added.push_back(i);
      } else {
        results[i] = LogFileError("write to", call.path, -1, status.message());
      }
    }
    if (added.empty()) continue;

    FileId id;
    if (Status saved = SaveXml(io_, call.path, doc->Text(), mode, id); !saved.ok()) {
      // The kept document holds the entries the disk refused: read the file anew.
      caches_->DropXml(call.path);
      for (const std::size_t k : added) results[k] = saved;
      continue;
    }
    if (created) {
      caches_->KeepXml(Caches::Document{call.path, id, std::move(*created)});
    } else if (Caches::Document* cached = caches_->FindXml(call.path); cached != nullptr) {
      cached->id = id;
    }
  }
}

}  // namespace zf
