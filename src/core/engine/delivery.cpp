#include "engine/delivery.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <iterator>
#include <set>
#include <vector>

#include "engine/naming.h"
#include "engine/renamethread.h"
#include "platform/paths.h"

namespace zf {
namespace {

DeliveryResult Success(const std::string& newname) {
  return DeliveryResult{newname, true, std::string(kRenamed), {}};
}
DeliveryResult Failure(const std::string& newname, std::string_view comment,
                       std::string reason = {}) {
  return DeliveryResult{newname, false, std::string(comment), std::move(reason)};
}

// The short reason an operator needs: the system's words for the error.
std::string ReasonOf(const Status& status) {
  if (status.code() == ESTALE) return "the file was replaced after it was found stable";
  if (status.code() == EINVAL) return "not a regular file, or the same file as the target";
  if (status.code() > 0) return std::strerror(status.code());
  return status.message();
}

void Tell(const DeliveryReports& reports, std::string_view input, std::string_view comment,
          std::string_view reason) {
  if (reports.problem) reports.problem(input, comment, reason);
}

}  // namespace

Delivery::Delivery(ExpressionLibrary& library, FileOperations& files, VisualLog& visualLog,
                   LogFileWriter& logWriter, Clock& clock)
    : library_(library),
      files_(files),
      visualLog_(visualLog),
      logWriter_(logWriter),
      clock_(clock) {}

Status Delivery::DeliverFiles(Trenamethread& engine, PassContext& pass) {
  DeliveryReports reports;
  reports.problem = [&](std::string_view input, std::string_view comment, std::string_view reason) {
    engine.ReportProblem(pass, input, comment, reason);
  };
  reports.clear = [&](std::string_view input) { engine.ClearProblem(pass, input); };
  reports.result = [&](const DeliveryResult& result) {
    engine.ReportResult(pass, result.success, result.comment, result.reason);
  };
  return DeliverFiles(
      pass, [&] { return engine.KeepGoing(pass); }, reports);
}

Status Delivery::DeliverFiles(PassContext& pass, const KeepGoingFn& keepGoing,
                              const DeliveryReports& reports) {
  if (!pass.queue) return Status::Ok();
  Group group;
  try {
    for (int k = 1; k <= pass.files.count(); ++k) {
      const FileEntry& entry = pass.files.at(k);
      Target splitTarget;
      if (!Stage(pass, entry, group, reports, splitTarget)) {
        // A split publishes its pages itself: the files before it are
        // delivered and reported first, so that the order holds.
        FinishGroup(pass, group, reports);
        Report(pass, {{&entry, Split(pass, entry, splitTarget, reports)}}, reports);
      }
      if (GroupFull(group)) FinishGroup(pass, group, reports);
      if (!keepGoing()) break;
    }
    FinishGroup(pass, group, reports);
  } catch (const std::exception& e) {
    // The staged copies of the group go; their inputs stay for a later pass.
    for (Pending& p : group.items) {
      if (p.copy) files_.DiscardCopy(*p.copy);
    }
    return Status::Error(std::string("Delivery ended: ") + e.what());
  }
  return Status::Ok();
}

bool Delivery::Stage(const PassContext& pass, const FileEntry& entry, Group& group,
                     const DeliveryReports& reports, Target& splitTarget) {
  if (!entry.ready) return true;
  // Delivered before but still there: delivering it again would only repeat
  // the same copy and the same "Renamed" in every pass.
  if (IsUndeletable(pass, entry)) return true;
  Pending p;
  p.entry = &entry;
  // A name that cannot be used is a fault of the rules, not of the file.
  std::optional<std::string> refusal;
  if (!entry.newname.empty()) {
    const Result<Target> target = TargetOf(pass, entry.newname);
    if (!target.ok()) {
      refusal = target.status().message();
    } else if (pass.queue->Splitpdf) {
      splitTarget = *target;
      return false;
    } else {
      p.target = target->folder + target->name;
      p.delivered = Success(entry.newname);
      p.failedName = entry.newname;
    }
  } else if (entry.refused) {
    refusal = entry.reason;
  } else if (!entry.unresolved) {
    // Ready but neither named nor unresolved: naming did not reach it, or
    // could not ask the library. It waits for a later pass.
    return true;
  }
  if (entry.newname.empty() || refusal) {
    if (refusal && pass.errorFolder.empty()) {
      // The file stays where it is; said once, not every pass.
      Tell(reports, entry.oldname, kCannotRename, *refusal);
      return true;
    }
    // Unresolved or refused: into the error folder, or, without one, only
    // deleted.
    p.delivered =
        Failure(std::string(), entry.comment.empty() ? std::string(kCannotRename) : entry.comment,
                refusal.value_or(std::string()));
    if (!pass.errorFolder.empty()) p.target = pass.errorFolder + entry.oldname;
  }
  if (group.items.empty()) group.started = std::chrono::steady_clock::now();
  if (!p.target.empty()) {
    Result<StagedCopy> staged =
        files_.StageCopy(pass.inputFolder + entry.oldname, p.target, entry.identity);
    if (staged.ok()) {
      group.bytes += staged->bytes;
      p.copy = std::move(staged).value();
    } else {
      p.failed = staged.status();
    }
  }
  group.items.push_back(std::move(p));
  return true;
}

bool Delivery::GroupFull(const Group& group) const {
  if (group.items.empty()) return false;
  return group.items.size() >= static_cast<std::size_t>(kGroupFiles) ||
         group.bytes >= kGroupBytes ||
         std::chrono::steady_clock::now() - group.started >= kGroupTime;
}

void Delivery::FinishGroup(const PassContext& pass, Group& group, const DeliveryReports& reports) {
  if (group.items.empty()) return;
  // 1. The data of every copy on the disk.
  std::vector<StagedCopy*> staged;
  std::vector<Pending*> owners;
  for (Pending& p : group.items) {
    if (!p.copy) continue;
    staged.push_back(&*p.copy);
    owners.push_back(&p);
  }
  const std::vector<Status> flushed = files_.FlushCopies(staged);
  for (std::size_t i = 0; i < owners.size(); ++i) {
    if (flushed[i].ok()) continue;
    owners[i]->failed = flushed[i];
    files_.DiscardCopy(*owners[i]->copy);
    owners[i]->copy.reset();
  }
  // 2. Each under its name, in order (a later file of the same name wins, as
  // one by one).
  std::vector<std::pair<std::string, Status>> folders;  // folder, and a copy's path in it
  for (Pending& p : group.items) {
    if (!p.copy) continue;
    const Status published = files_.PublishCopy(*p.copy);
    p.copy.reset();
    if (!published.ok()) {
      p.failed = published;
      continue;
    }
    const std::string folder = p.target.substr(0, p.target.rfind('/') + 1);
    if (std::none_of(folders.begin(), folders.end(),
                     [&](const auto& f) { return f.first == folder; })) {
      folders.emplace_back(folder, Status::Ok());
    }
  }
  // 3. Each folder's entries on the disk, once per folder and only after the
  // last rename into it: a flush between two renames would leave the later
  // one unrecorded while its input goes.
  for (auto& [folder, status] : folders) {
    const auto in = std::find_if(group.items.begin(), group.items.end(), [&](const Pending& p) {
      return p.failed.ok() && p.target.compare(0, folder.size(), folder) == 0 &&
             p.target.find('/', folder.size()) == std::string::npos;
    });
    if (in != group.items.end()) status = files_.FlushFolderOf(in->target);
  }
  for (Pending& p : group.items) {
    if (!p.failed.ok() || p.target.empty()) continue;
    const std::string folder = p.target.substr(0, p.target.rfind('/') + 1);
    const auto it = std::find_if(folders.begin(), folders.end(),
                                 [&](const auto& f) { return f.first == folder; });
    // A copy in place whose folder is not known to be on the disk keeps its
    // input: at worst the file is delivered twice, never lost.
    if (it != folders.end() && !it->second.ok()) p.failed = it->second;
  }
  // 4. Only now may the inputs go.
  std::vector<Done> done;
  done.reserve(group.items.size());
  for (const Pending& p : group.items) {
    if (p.failed.ok()) {
      DeleteInput(pass, *p.entry, reports);
      done.push_back({p.entry, p.delivered});
    } else {
      // Deleting now would lose the file; it stays and is tried again.
      done.push_back({p.entry, Failure(p.failedName, kCannotCopy, ReasonOf(p.failed))});
    }
  }
  group.items.clear();
  group.bytes = 0;
  Report(pass, done, reports);
}

Result<Delivery::Target> Delivery::TargetOf(const PassContext& pass, const std::string& newname) {
  if (newname.find_first_of("/\\") == std::string::npos) return Target{pass.outputFolder, newname};
  // A name with separators names a subfolder of the output folder. Every
  // folder on the way must exist there as a real folder: a link could lead
  // anywhere, and nothing is ever written outside the output folder.
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = newname.find_first_of("/\\", start);
    parts.push_back(newname.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::string folder = pass.outputFolder;
  bool exists = true;
  for (std::size_t i = 0; i + 1 < parts.size() && exists; ++i) {
    folder += parts[i];
    exists = files_.FolderExists(folder);
    folder += '/';
  }
  if (exists) return Target{folder, parts.back()};
  // A backslash is an ordinary character in a name here: without such a
  // subfolder the name is taken as it stands, as before.
  if (newname.find('/') == std::string::npos) return Target{pass.outputFolder, newname};
  return Status::Error("the output folder has no subfolder for \"" + newname + "\"", ENOENT);
}

DeliveryResult Delivery::Split(const PassContext& pass, const FileEntry& entry,
                               const Target& target, const DeliveryReports& reports) {
  // Without PDFSplitter nothing is touched: the file waits under its own
  // name, and each pass says why.
  if (!library_.Has(EntryPoint::kPDFSplitter)) {
    return Failure(entry.newname, kCannotSplit, "the expression library cannot split PDF files");
  }
  const std::string input = pass.inputFolder + entry.oldname;
  // The splitter names the pages after the file it is given, so it gets the
  // file under its new name: a second link in our staging folder. The input
  // keeps its old name until the pages are out, so a crash at any point
  // leaves it where the rules found it.
  const std::string staging = pass.inputFolder + std::string(kStagingFolder);
  const std::string link = staging + "/" + target.name;
  Status staged = files_.MakeFolder(staging);
  if (staged.ok()) {
    (void)files_.Delete(link);  // a link left by an earlier failure
    staged = files_.HardLink(input, link);
    if (!staged.ok() && (staged.code() == EPERM || staged.code() == EOPNOTSUPP ||
                         staged.code() == EXDEV || staged.code() == EMLINK)) {
      // A file system without hard links: a copy under the new name serves.
      staged = files_.CopyReplacing(input, link, entry.identity);
    }
  }
  if (staged.ok() && entry.identity.known()) {
    // The link is made by name: it must be the file found stable.
    const Result<FileIdentity> linked = files_.IdentityOf(link);
    if (linked.ok() && !(*linked == entry.identity)) {
      staged = Status::Error("replaced", ESTALE);
    }
  }
  if (!staged.ok()) {
    (void)files_.Delete(link);
    return Failure(entry.newname, kCannotRenameBeforeSplit, ReasonOf(staged));
  }
  const CallResult split = library_.SplitPdf(link, entry.pagenumber, target.folder);
  (void)files_.Delete(link);
  // The staging folder goes when empty, so the input folder looks as the
  // operator left it. (A folder is never taken as a file, so one that stays
  // does no harm.)
  (void)files_.RemoveFolderIfEmpty(staging);
  if (split.ok()) {
    DeleteInput(pass, entry, reports);
    return Success(entry.newname);
  }
  KeepUnsplitFile(pass, entry, reports);
  return Failure(
      entry.newname, kCannotSplit,
      split.value == 0 ? "not a PDF file the splitter can read" : "the pages could not be written");
}

void Delivery::KeepUnsplitFile(const PassContext& pass, const FileEntry& entry,
                               const DeliveryReports& reports) {
  // The file stands under its old name; with an error folder it goes there.
  if (pass.errorFolder.empty()) return;
  if (files_
          .CopyReplacing(pass.inputFolder + entry.oldname, pass.errorFolder + entry.oldname,
                         entry.identity)
          .ok()) {
    DeleteInput(pass, entry, reports);
  }
}

void Delivery::DeleteInput(const PassContext& pass, const FileEntry& entry,
                           const DeliveryReports& reports) {
  const Status deleted = files_.Delete(pass.inputFolder + entry.oldname);
  const auto key = std::make_pair(pass.uid, entry.oldname);
  if (deleted.ok() || deleted.code() == ENOENT) {
    undeletable_.erase(key);
    return;
  }
  undeletable_[key] = Undeletable{entry.identity, entry.filesize64, entry.filetime};
  Tell(reports, entry.oldname, "Cannot delete",
       ReasonOf(deleted) + "; delivered, and not delivered again while it stays unchanged");
}

bool Delivery::IsUndeletable(const PassContext& pass, const FileEntry& entry) const {
  const auto found = undeletable_.find({pass.uid, entry.oldname});
  if (found == undeletable_.end()) return false;
  const Undeletable& seen = found->second;
  return seen.identity == entry.identity && seen.size == entry.filesize64 &&
         seen.filetime == entry.filetime;
}

void Delivery::Report(const PassContext& pass, const std::vector<Done>& done,
                      const DeliveryReports& reports) {
  std::vector<LogFileEntry> lines;
  lines.reserve(done.size());
  for (const auto& [entry, result] : done) {
    VisualLogEntry row;
    row.inputName = entry->oldname;
    row.outputName = result.newname;
    row.comment = result.comment;
    row.status = result.success ? 1 : 2;
    row.queue = pass.queue->name;
    row.reason = result.reason;
    visualLog_.AddVisualLogEntry(std::move(row));
    LogFileEntry line;
    line.inputName = entry->oldname;
    line.outputName = result.newname;
    line.statusText = result.success ? "OK" : "Error";
    if (!result.success) line.comment = result.comment;
    line.fileTime = entry->filetime;
    line.pollTime = clock_.Now();
    lines.push_back(std::move(line));
  }
  // A log file that cannot be written loses these entries, and the operator
  // must hear of each; the files themselves are delivered all the same.
  const std::vector<Status> logged = logWriter_.WriteLogFileEntries(*pass.queue, lines);
  for (std::size_t i = 0; i < done.size(); ++i) {
    const std::string& input = done[i].entry->oldname;
    if (!logged[i].ok()) {
      Tell(reports, input, "Cannot write the log file", logged[i].message());
      if (reports.clear) reports.clear(input);  // each lost entry is told
    }
    if (reports.result) reports.result(done[i].result);
  }
}

Result<int> RemoveDeliveryLeftovers(const std::string& folder, FileOperations& files) {
  return files.RemoveTempFiles(folder);
}

Result<int> RemoveStagingLeftovers(const std::string& inputFolder, FileOperations& files) {
  if (inputFolder.empty()) return Status::Error("No folder to clean", EINVAL);
  const std::string staging =
      IncludeTrailingPathDelimiter(inputFolder) + std::string(kStagingFolder);
  if (!files.FolderExists(staging)) return 0;
  return files.RemoveAllFiles(staging);
}

int RemoveDeliveryLeftovers(const QueueTable& table, FileOperations& files) {
  const QueueTable::State state = table.Snapshot();
  std::set<std::string> folders;
  std::set<std::string> inputs;
  for (int i = 0; i < state.Nfolders; ++i) {
    const QueueRecord& queue = *state.slots[static_cast<std::size_t>(i)];
    // Every folder a pass writes to: copies and pages, files sent to the
    // error folder, FTP fetches; splits stage links in the input folder.
    for (const std::string* folder : {&queue.Outputfolder, &queue.Errorfolder}) {
      if (!folder->empty()) folders.insert(*folder);
    }
    if (queue.FTPuse && !queue.FTPTemppath.empty()) {
      folders.insert(queue.FTPTemppath);
      inputs.insert(queue.FTPTemppath);
    }
    if (!queue.FTPuse && !queue.Inputfolder.empty()) inputs.insert(queue.Inputfolder);
  }
  int removed = 0;
  for (const std::string& folder : folders) {
    const Result<int> result = files.RemoveTempFiles(folder);
    if (result.ok()) removed += *result;
  }
  for (const std::string& folder : inputs) {
    const Result<int> result = RemoveStagingLeftovers(folder, files);
    if (result.ok()) removed += *result;
  }
  return removed;
}

}  // namespace zf
