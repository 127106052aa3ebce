#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/queuetable.h"
#include "engine/discovery.h"
#include "engine/passcontext.h"
#include "exprlib/expressionlibrary.h"
#include "log/logfile.h"
#include "log/visuallog.h"
#include "platform/clock.h"
#include "platform/fileops.h"
#include "platform/folder.h"
#include "platform/result.h"

namespace zf {

class Trenamethread;

// Comments of the results of delivery, as both logs show them.
inline constexpr std::string_view kRenamed = "Renamed";
inline constexpr std::string_view kCannotSplit = "Cannot split";
inline constexpr std::string_view kCannotRenameBeforeSplit = "Cannot rename";
inline constexpr std::string_view kCannotCopy = "Cannot copy";
// What a queue's collision policy made of a file whose new name the output
// folder already held.
inline constexpr std::string_view kKeptBoth = "Kept both";
inline constexpr std::string_view kReplaced = "Replaced";
inline constexpr std::string_view kDuplicate = "Duplicate";
// "NAME_2.ext" for ("NAME.ext", 2): the name a file kept beside another
// takes.
std::string NumberedName(std::string_view name, int n);
// The error of a newcomer that may not replace the file of its name.
std::string OutputHolds(std::string_view name);

// The result of one file, reported to the visual log and the log file.
struct DeliveryResult {
  std::string newname;  // the output name both logs show; empty for an unnamed file
  bool success = false;
  std::string comment;  // the visual log's comment; the log file's too for a failure
  std::string reason;   // why it failed, for the operator; never in the log file
};

// Where delivery tells of problems that are no result of their own (an input
// that cannot be deleted, a refused name kept in the input folder, a log file
// that cannot be written), and of each result. Empty functions: not told.
struct DeliveryReports {
  std::function<void(std::string_view inputName, std::string_view comment, std::string_view reason)>
      problem;
  std::function<void(std::string_view inputName)> clear;
  // Each file's result, after both logs have it (the queue's status counts).
  std::function<void(const DeliveryResult& result, const FileEntry& entry)> result;
};

// The hidden folder inside an input folder where a file to be split gets its
// new name: a second hard link, so the file keeps its old name in the input
// folder until every page is published, and a crash leaves it there. A
// delivered input is also moved here under its own name before it is
// deleted, to prove it is still the file that was copied; the start-up
// clean-up moves back what a crash left between the two steps.
inline constexpr std::string_view kStagingFolder = ".zf-staging";
// Inside the staging folder: the copies a split reads on file systems
// without hard links.
inline constexpr std::string_view kSplitCopies = "copies";
// Inside an output folder: where a split writes its pages when the queue's
// collision policy is to judge each before it goes in.
inline constexpr std::string_view kPagesFolder = ".zf-pages";

// The last stage of a per-queue pass: every ready entry with a new name goes
// to the output folder (copied, or split into pages), every unresolved one to
// the error folder, or is deleted when the queue has none. Each result goes
// first to the visual log, then to the log file.
//
// Copies go in groups of consecutive entries (see kGroupFiles): each is
// written under a temporary name, the group is flushed to the disk at once,
// each copy renamed into place and each folder flushed once; only then are
// the inputs deleted and the results reported, in the entries' order. A disk
// flush costs about as much for one file as for many, so a group costs
// little more than a single copy. A file that fails at any step gets its own
// result and keeps its input; the rest of the group goes on.
//
// No input file is lost on the way: a copy that fails leaves the input and
// the old target as they were; an unresolved file whose copy into the error
// folder fails stays in the input folder ("Cannot copy", no new name); a file
// to be split is split from a link under its new name in the staging folder
// and its input is deleted only once all its pages are published; a file whose
// rule gave a name that cannot be used goes to the error folder, or stays in
// the input folder when the queue has none. Only the copy's or the pages'
// folder entry being durable lets the input go.
//
// An input is deleted only while it is still the version that was copied or
// split (same file, size and times); one re-sent meanwhile stays for the next
// pass. A target that is another file of the pass in the input folder (the
// output folder being the input folder) is not replaced: that file waits.
//
// An input that cannot be deleted after its delivery, and a file that can
// never be split in a queue without an error folder, is reported once and
// left alone while it stays unchanged (same file, size and time) in this
// run. A log file that cannot be written is reported and delivery goes on.
class Delivery {
 public:
  // All must outlive this object.
  Delivery(ExpressionLibrary& library, FileOperations& files, VisualLog& visualLog,
           LogFileWriter& logWriter, Clock& clock);

  // Bounds of a group of copies, whichever is reached first. 64 files let one
  // flush serve many while few descriptors stay open; 256 MiB keeps the data
  // waiting for one flush within what the kernel holds back as dirty pages
  // anyway; 2 seconds bound how long a stop, and the operator watching the
  // results, wait for a group to end.
  static constexpr int kGroupFiles = 64;
  static constexpr std::uint64_t kGroupBytes = std::uint64_t{256} << 20;
  static constexpr std::chrono::milliseconds kGroupTime{2000};

  // The stage, asking engine.KeepGoing after each entry; a stop ends the
  // group under way (delivered and reported) and the stage. Problems go to
  // engine.ReportProblem. Entries not reached stay as they are for a later
  // cycle.
  Status DeliverFiles(Trenamethread& engine, PassContext& pass);
  Status DeliverFiles(PassContext& pass, const KeepGoingFn& keepGoing,
                      const DeliveryReports& reports = {});

 private:
  struct Target {
    const Folder* folder = nullptr;  // the output folder or a subfolder of it
    std::string name;                // the file name in it
  };
  // The folders of the pass under way, opened once.
  struct Folders {
    Result<Folder> input = Status::Error("not open");
    Result<Folder> output = Status::Error("not open");
    Result<Folder> error = Status::Error("not open");
    std::optional<Result<Folder>> staging;             // opened (made) on first use
    std::map<std::string, Result<Folder>> subfolders;  // of the output folder
  };
  enum class Deleted { kGone, kChanged, kStays };
  struct Undeletable {
    FileIdentity identity;
    std::int64_t size = 0;
    TDateTime filetime = 0;
  };

  // An entry of the group under way: what it becomes once its copy (if it
  // has one) is durable and in place.
  struct Pending {
    const FileEntry* entry = nullptr;
    std::string target;  // where the copy goes, shown; empty: the input is only deleted
    Target to;
    DeliveryResult delivered;  // the result once it is
    std::string failedName;    // the new name a failed copy reports
    std::optional<StagedCopy> copy;
    Status failed;                    // the first step that failed
    std::optional<FileVersion> read;  // the source as it was copied
    bool toOutput = false;            // a named file: the collision policy applies
    bool stays = false;               // left in the input folder, without a result
    std::string wanted;               // keep both: the name taken, when another was chosen
    int firstFree = 1;                // keep both: the number of the name chosen
  };
  struct Group {
    std::vector<Pending> items;
    std::uint64_t bytes = 0;
    std::chrono::steady_clock::time_point started;
  };
  // A result to report, with its entry.
  struct Done {
    const FileEntry* entry;
    DeliveryResult result;
  };

  // Adds the entry to the group when it is a copy (or a deletion) that can
  // wait for the group's flush; false for a file to be split, with its
  // target in `splitTarget`.
  bool Stage(const PassContext& pass, const FileEntry& entry, Group& group,
             const DeliveryReports& reports, Target& splitTarget);
  bool GroupFull(const Group& group) const;
  // Chooses where a named file goes when the output folder, or a file before
  // it in the group, holds its name: false when it stays where it is.
  bool ChooseName(const PassContext& pass, Pending& p, const Group& group,
                  const DeliveryReports& reports);
  // Puts a staged copy under its name, or beside it, or sends the file to
  // the error folder, as the queue's collision policy says.
  Status Publish(const PassContext& pass, Pending& p, const DeliveryReports& reports);
  // Flushes, publishes, deletes the inputs and reports, and empties the group.
  void FinishGroup(const PassContext& pass, Group& group, const DeliveryReports& reports);

  Result<Target> TargetOf(const PassContext& pass, const std::string& newname);
  // True when `target` would replace another file of the pass in the input
  // folder.
  bool IsOtherInput(const PassContext& pass, const FileEntry& entry, const Target& target) const;
  const Result<Folder>& Staging();
  // Removes the staging folder of the pass when it is empty.
  void TidyStaging();
  // Empty: nothing to report, the file is left alone while unchanged.
  std::optional<DeliveryResult> Split(const PassContext& pass, const FileEntry& entry,
                                      const Target& target, const DeliveryReports& reports);
  std::optional<DeliveryResult> NotSplittable(const PassContext& pass, const FileEntry& entry,
                                              const std::string& reason,
                                              const DeliveryReports& reports);
  // Moves each page from `pages` into `output` as the collision policy says
  // and notes in `result` which way the pages went; a page name taken under
  // the error-folder policy turns `result` into that failure, nothing moved.
  Status PublishPages(const PassContext& pass, const Folder& pages, const Folder& output,
                      DeliveryResult& result);
  // Deletes the delivered input if it is still the version `copied` (or,
  // not known, the file found stable); one that stays is remembered and
  // reported.
  Deleted DeleteInput(const PassContext& pass, const FileEntry& entry,
                      const std::optional<FileVersion>& copied, const DeliveryReports& reports,
                      bool statusChangeKept = true);
  void LeaveAlone(const PassContext& pass, const FileEntry& entry);
  bool IsLeftAlone(const PassContext& pass, const FileEntry& entry) const;
  // Forgets the files of the queue that are gone.
  void ForgetGone(const PassContext& pass);
  void Report(const PassContext& pass, const std::vector<Done>& done,
              const DeliveryReports& reports);

  ExpressionLibrary& library_;
  FileOperations& files_;
  VisualLog& visualLog_;
  LogFileWriter& logWriter_;
  Clock& clock_;
  // Inputs that were delivered but could not be deleted, and files that can
  // never be split, by queue identity and name. Touched by the worker only.
  std::map<std::pair<std::uint64_t, std::string>, Undeletable> undeletable_;
  Folders folders_;

 public:
  // How many files are left alone (for tests of the forgetting).
  std::size_t LeftAloneCount() const { return undeletable_.size(); }
};

// Removes what interrupted work left in an input folder's staging folder,
// only what is provably ours: files of temporary shape, and links of splits
// whose file still has its name in the input folder. A delivered input moved
// there to be deleted goes back to the input folder (delivered twice at
// worst, never lost). A staging folder that is a link or a file is left
// alone. Answers how many entries went.
Result<int> RemoveStagingLeftovers(const std::string& inputFolder,
                                   FileOperations& files = SystemFileOperations::Instance());

// Removes the pages folder of `output` with what an interrupted split left
// in it.
Status RemovePages(const Folder& output, FileOperations& files);

// Removes what interrupted copies left in `folder`: files whose names have
// the shape of delivery's temporary files, and nothing else. For the start-up
// of the program, before the engine runs; answers how many were removed.
Result<int> RemoveDeliveryLeftovers(const std::string& folder,
                                    FileOperations& files = SystemFileOperations::Instance());
// The same for the output and error folders of every queue of the table, its
// FTP temporary folders, and the staging folders of its input folders.
// Folders that cannot be read are passed over; answers the number removed.
int RemoveDeliveryLeftovers(const QueueTable& table,
                            FileOperations& files = SystemFileOperations::Instance());

}  // namespace zf
