#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "config/queuetable.h"
#include "engine/discovery.h"
#include "engine/passcontext.h"
#include "exprlib/expressionlibrary.h"
#include "log/logfile.h"
#include "log/visuallog.h"
#include "platform/clock.h"
#include "platform/fileops.h"
#include "platform/result.h"

namespace zf {

class Trenamethread;

// Comments of the results of delivery, as both logs show them.
inline constexpr std::string_view kRenamed = "Renamed";
inline constexpr std::string_view kCannotSplit = "Cannot split";
inline constexpr std::string_view kCannotRenameBeforeSplit = "Cannot rename";
inline constexpr std::string_view kCannotCopy = "Cannot copy";

// The result of one file, reported to the visual log and the log file.
struct DeliveryResult {
  std::string newname;  // the output name both logs show; empty for an unnamed file
  bool success = false;
  std::string comment;  // the visual log's comment; the log file's too for a failure
};

// The last stage of a per-queue pass: every ready entry with a new name goes
// to the output folder (copied, or renamed in place and split into pages),
// every unresolved one to the error folder, or is deleted when the queue has
// none. Each result goes first to the visual log, then to the log file.
//
// No input file is lost on the way: a copy that fails leaves the input and
// the old target as they were; an unresolved file whose copy into the error
// folder fails stays in the input folder ("Cannot copy", no new name); a file
// that was renamed for splitting and could not be split goes to the error
// folder under its old name, or, without an error folder or when that copy
// fails, is renamed back to its old name in the input folder (it keeps the
// new name only when the old one has been taken meanwhile).
class Delivery {
 public:
  // All must outlive this object.
  Delivery(ExpressionLibrary& library, FileOperations& files, VisualLog& visualLog,
           LogFileWriter& logWriter, Clock& clock);

  // The stage, asking engine.KeepGoing after each entry. Stops at the first
  // error of the log writer and returns it; entries not reached stay as they
  // are for a later cycle.
  Status DeliverFiles(Trenamethread& engine, PassContext& pass);
  Status DeliverFiles(PassContext& pass, const KeepGoingFn& keepGoing);

 private:
  std::optional<DeliveryResult> Deliver(const PassContext& pass, const FileEntry& entry);
  DeliveryResult Copy(const PassContext& pass, const FileEntry& entry);
  DeliveryResult Split(const PassContext& pass, const FileEntry& entry);
  DeliveryResult Unresolved(const PassContext& pass, const FileEntry& entry);
  void KeepUnsplitFile(const PassContext& pass, const FileEntry& entry);
  Status Report(const PassContext& pass, const FileEntry& entry, const DeliveryResult& result);

  ExpressionLibrary& library_;
  FileOperations& files_;
  VisualLog& visualLog_;
  LogFileWriter& logWriter_;
  Clock& clock_;
};

// Removes what interrupted copies left in `folder`: files whose names have
// the shape of delivery's temporary files, and nothing else. For the start-up
// of the program, before the engine runs; answers how many were removed.
Result<int> RemoveDeliveryLeftovers(const std::string& folder,
                                    FileOperations& files = SystemFileOperations::Instance());
// The same for the output and error folders of every queue of the table.
// Folders that cannot be read are passed over; answers the number removed.
int RemoveDeliveryLeftovers(const QueueTable& table,
                            FileOperations& files = SystemFileOperations::Instance());

}  // namespace zf
