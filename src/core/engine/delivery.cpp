#include "engine/delivery.h"

#include <exception>
#include <set>

#include "engine/renamethread.h"

namespace zf {
namespace {

DeliveryResult Success(const std::string& newname) {
  return DeliveryResult{newname, true, std::string(kRenamed)};
}
DeliveryResult Failure(const std::string& newname, std::string_view comment) {
  return DeliveryResult{newname, false, std::string(comment)};
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
  return DeliverFiles(pass, [&] { return engine.KeepGoing(pass); });
}

Status Delivery::DeliverFiles(PassContext& pass, const KeepGoingFn& keepGoing) {
  if (!pass.queue) return Status::Ok();
  try {
    for (int k = 1; k <= pass.files.count(); ++k) {
      const FileEntry& entry = pass.files.at(k);
      if (const std::optional<DeliveryResult> result = Deliver(pass, entry)) {
        Status reported = Report(pass, entry, *result);
        if (!reported.ok()) return reported;
      }
      if (!keepGoing()) break;
    }
  } catch (const std::exception& e) {
    return Status::Error(std::string("Delivery ended: ") + e.what());
  }
  return Status::Ok();
}

std::optional<DeliveryResult> Delivery::Deliver(const PassContext& pass, const FileEntry& entry) {
  if (!entry.ready) return std::nullopt;
  if (!entry.newname.empty()) return pass.queue->Splitpdf ? Split(pass, entry) : Copy(pass, entry);
  if (entry.unresolved) return Unresolved(pass, entry);
  // Ready but neither named nor unresolved: naming did not reach it, or could
  // not ask the library. It waits for a later pass.
  return std::nullopt;
}

DeliveryResult Delivery::Copy(const PassContext& pass, const FileEntry& entry) {
  const std::string source = pass.inputFolder + entry.oldname;
  if (!files_.CopyReplacing(source, pass.outputFolder + entry.newname).ok()) {
    return Failure(entry.newname, kCannotCopy);
  }
  // A file that cannot be deleted is met again in a later cycle.
  (void)files_.Delete(source);
  return Success(entry.newname);
}

DeliveryResult Delivery::Split(const PassContext& pass, const FileEntry& entry) {
  // Without PDFSplitter nothing is renamed: the file waits under its own
  // name, and each pass says why.
  if (!library_.Has(EntryPoint::kPDFSplitter)) return Failure(entry.newname, kCannotSplit);
  const std::string renamed = pass.inputFolder + entry.newname;
  // A file that already bears its new name needs no rename; the refusing
  // rename would otherwise fail on the file itself, in every cycle.
  if (entry.newname != entry.oldname &&
      !files_.RenameNoReplace(pass.inputFolder + entry.oldname, renamed).ok()) {
    return Failure(entry.newname, kCannotRenameBeforeSplit);
  }
  const CallResult split = library_.SplitPdf(renamed, entry.pagenumber, pass.outputFolder);
  if (split.ok()) {
    (void)files_.Delete(renamed);
    return Success(entry.newname);
  }
  KeepUnsplitFile(pass, entry);
  return Failure(entry.newname, kCannotSplit);
}

void Delivery::KeepUnsplitFile(const PassContext& pass, const FileEntry& entry) {
  const std::string renamed = pass.inputFolder + entry.newname;
  if (!pass.errorFolder.empty() &&
      files_.CopyReplacing(renamed, pass.errorFolder + entry.oldname).ok()) {
    (void)files_.Delete(renamed);
    return;
  }
  // Back under the name it came with, so that the next cycle names it as
  // before; under its new name the rules might no longer fit it, and a queue
  // without an error folder would then delete it.
  if (entry.newname != entry.oldname) {
    (void)files_.RenameNoReplace(renamed, pass.inputFolder + entry.oldname);
  }
}

DeliveryResult Delivery::Unresolved(const PassContext& pass, const FileEntry& entry) {
  const std::string source = pass.inputFolder + entry.oldname;
  if (!pass.errorFolder.empty() &&
      !files_.CopyReplacing(source, pass.errorFolder + entry.oldname).ok()) {
    // Deleting now would lose the file; it stays and is tried again.
    return Failure(std::string(), kCannotCopy);
  }
  (void)files_.Delete(source);
  return Failure(std::string(), entry.comment);
}

Status Delivery::Report(const PassContext& pass, const FileEntry& entry,
                        const DeliveryResult& result) {
  visualLog_.AddVisualLogEntry(entry.oldname, result.newname, result.comment,
                               result.success ? 1 : 2);
  LogFileEntry line;
  line.inputName = entry.oldname;
  line.outputName = result.newname;
  line.statusText = result.success ? "OK" : "Error";
  if (!result.success) line.comment = result.comment;
  line.fileTime = entry.filetime;
  line.pollTime = clock_.Now();
  return logWriter_.WriteLogFileEntry(*pass.queue, line);
}

Result<int> RemoveDeliveryLeftovers(const std::string& folder, FileOperations& files) {
  return files.RemoveTempFiles(folder);
}

int RemoveDeliveryLeftovers(const QueueTable& table, FileOperations& files) {
  const QueueTable::State state = table.Snapshot();
  std::set<std::string> folders;
  for (int i = 0; i < state.Nfolders; ++i) {
    const QueueRecord& queue = *state.slots[static_cast<std::size_t>(i)];
    for (const std::string* folder : {&queue.Outputfolder, &queue.Errorfolder}) {
      if (!folder->empty()) folders.insert(*folder);
    }
  }
  int removed = 0;
  for (const std::string& folder : folders) {
    const Result<int> result = files.RemoveTempFiles(folder);
    if (result.ok()) removed += *result;
  }
  return removed;
}

}  // namespace zf
