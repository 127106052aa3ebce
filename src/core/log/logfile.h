#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config/queuetable.h"
#include "log/logfileio.h"
#include "platform/clock.h"
#include "platform/datetime.h"
#include "platform/result.h"

namespace zf {

// One result of the delivery step as the queue's log file records it.
struct LogFileEntry {
  std::string inputName;
  std::string outputName;  // may be empty
  std::string statusText;  // "OK" or "Error"
  std::string comment;
  TDateTime fileTime = 0;  // the file's own time stamp
  TDateTime pollTime = 0;  // the moment of the report
};

// The queue's current log file: the `Logfile` folder, the queue's name and
// ".log" (comma-separated, `logtype` 0) or ".xml" (any other `logtype`).
std::string LogFilePath(const QueueRecord& queue);
// Where a renewal moves `currentPath`: "_" and the moment as ddmmyyyyhhnn
// before the extension. A renewal finding that name taken adds "_1", "_2"...
std::string LogArchivePath(std::string_view currentPath, TDateTime moment);

// Removes what a killed writer left in the log folders: the temporary files
// (platform/tempfile.h) in every queue's `Logfile` folder, each folder once.
// Answers how many went; a folder that does not exist is skipped, and the
// first folder that cannot be cleaned is the error, after the others are.
Result<int> RemoveLogLeftovers(const QueueTable& table);

// Writes the per-queue log files and renews them.
//
// One instance serves the worker thread (RenewLogFilesOnStart runs before it
// starts); it is not meant for two threads at once. It reads the queue's
// record anew for every entry, because the user-interface thread may edit it
// in between, and writes back only `lastlogrenew`, by the queue's identity.
//
// Every write leaves the file whole: a comma-separated entry is appended and
// undone when the disk refuses it; an XML file is written beside the old one
// and renamed over it. Only a regular file is a log file: a link under the
// log's name is never followed, a FIFO never waited on. Line and element
// counts are kept between entries for the file as it was last written, so an
// entry costs no reading of the file unless someone else changed it.
class LogFileWriter {
 public:
  // `logFormat` is the working copy of the `logformat` setting, taken once.
  LogFileWriter(QueueTable& table, Clock& clock, std::string logFormat,
                LogFileIo& io = SystemLogFileIo());
  ~LogFileWriter();
  LogFileWriter(const LogFileWriter&) = delete;
  LogFileWriter& operator=(const LogFileWriter&) = delete;

  // Writes one entry for the queue of `passRecord` (the record the caller's
  // pass works with), renewing the file first when a rule says so. The
  // queue's current record is used; when the queue has left the table
  // meanwhile, `passRecord` is used and `lastlogrenew` is left alone.
  //
  // Every failure that loses the entry is an error naming the file and the
  // reason: the file cannot be created, opened, read, parsed, appended to or
  // saved; it is no regular file; an XML file's root is not JMF; the input
  // name is empty. Nothing of it is kept between entries, so the first entry
  // after the cause is gone is written again. A renewal that fails loses
  // nothing (the entry goes into the current file) and gives Ok.
  Status WriteLogFileEntry(const QueueRecord& passRecord, const LogFileEntry& entry);

  // Writes the entries of a group in their order, as WriteLogFileEntry would
  // one by one, but with one write and one flush for a comma-separated file
  // and one save for an XML file, each time between two renewals: the size
  // rule renews the file before exactly the entry where it would renew it
  // one by one, and the daily rule is applied at the moment of the call.
  // Answers one status per entry; an entry that is lost has the error that
  // lost it.
  std::vector<Status> WriteLogFileEntries(const QueueRecord& passRecord,
                                          std::span<const LogFileEntry> entries);

  // Moves the current log file of every queue with `newonstart` aside. A
  // queue whose file cannot be moved keeps it; the others are still served.
  void RenewLogFilesOnStart();

 private:
  struct Caches;
  struct Call;
  struct LoadedXml;
  enum class Renewal { kRenamed, kMissing, kFailed };

  RecordPtr CurrentRecord(std::uint64_t uid) const;
  bool DailyDue(const QueueRecord& queue, TDateTime now) const;
  // The daily rule; true when it wanted the file renewed.
  bool ApplyDailyRule(const Call& call);
  Renewal Renew(const std::string& path, TDateTime now);

  void WriteCsv(const Call& call, std::span<const LogFileEntry> entries,
                std::vector<Status>& results);
  // How many entries from here on go into the file before the size rule
  // renews it, at least one.
  std::size_t CsvEntriesBeforeRenewal(const Call& call, std::size_t left);
  Status PutCsvLines(const Call& call, const std::string& lines);
  std::optional<std::uint64_t> CountCsvLines(const std::string& path);
  Status AppendCsvLine(const std::string& path, const std::string& line, bool& missing);
  Status CreateCsvFile(const std::string& path, const std::string& line, TDateTime now,
                       bool& exists);

  void WriteXml(const Call& call, std::span<const LogFileEntry> entries,
                std::vector<Status>& results);
  LoadedXml LoadXml(const std::string& path);

  QueueTable& table_;
  Clock& clock_;
  std::string logFormat_;
  LogFileIo& io_;
  std::string senderId_;
  std::unique_ptr<Caches> caches_;
  // Daily renewals this writer made, by queue identity; guards against a
  // second renewal on one day when it must fall back to a pass's record.
  std::unordered_map<std::uint64_t, TDateTime> dailyRenewed_;
};

}  // namespace zf
