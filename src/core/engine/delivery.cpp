#include "engine/delivery.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <set>
#include <vector>

#include "engine/naming.h"
#include "engine/renamethread.h"
#include "platform/paths.h"

namespace zf {
namespace {

// The names in an open folder.
Result<std::vector<std::string>> ListNames(const Folder& folder) {
  const int fd = ::fcntl(folder.fd(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return Status::Error("Cannot list " + folder.path(), errno);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd), ::closedir);
  if (!dir) {
    ::close(fd);
    return Status::Error("Cannot list " + folder.path(), errno);
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  return names;
}

// The identities of the regular files in an open folder.
std::vector<FileIdentity> IdentitiesIn(const Folder& folder) {
  std::vector<FileIdentity> found;
  const Result<std::vector<std::string>> names = ListNames(folder);
  if (!names.ok()) return found;
  for (const std::string& name : *names) {
    struct stat st {};
    if (::fstatat(folder.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode)) {
      found.push_back(
          {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)});
    }
  }
  return found;
}

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
  if (status.code() == EINVAL) {
    for (const std::string_view cause : {kNotRegularFile, kSameFile}) {
      if (status.message().ends_with(cause)) return std::string(cause);
    }
  }
  if (status.code() > 0) return std::strerror(status.code());
  return status.message();
}

// The same version as `copied`. Our own renames and links change the
// status-change time, so after them only the rest can be compared.
bool SameVersion(const FileVersion& now, const FileVersion& copied, bool withStatusChange) {
  return now.identity == copied.identity && now.size == copied.size &&
         now.modified == copied.modified && (!withStatusChange || now.changed == copied.changed);
}

// What the splitter's answers mean for the file: -2 is a failure to write
// the pages (the output side: try again), -1 refused arguments, 0 and the
// rest a file it cannot read.
constexpr int kSplitWriteFailed = -2;

void Tell(const DeliveryReports& reports, std::string_view input, std::string_view comment,
          std::string_view reason) {
  if (reports.problem) reports.problem(input, comment, reason);
}

// Whether the regular file `name` in `folder` holds what the file `other` in
// `otherFolder` holds; ENOENT when there is no `name`. Neither is followed
// through a link.
Result<bool> SameContent(const Folder& otherFolder, const std::string& other, const Folder& folder,
                         const std::string& name) {
  const auto open = [](const Folder& in, const std::string& n) {
    return UniqueFd(
        ::openat(in.fd(), n.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
  };
  UniqueFd target = open(folder, name);
  if (target.get() < 0) return Status::Error("Cannot open " + folder.Display(name), errno);
  UniqueFd copy = open(otherFolder, other);
  if (copy.get() < 0) return Status::Error("Cannot open " + otherFolder.Display(other), errno);
  struct stat a {};
  struct stat b {};
  if (::fstat(target.get(), &a) != 0 || ::fstat(copy.get(), &b) != 0) {
    return Status::Error("Cannot read " + folder.Display(name), errno);
  }
  if (!S_ISREG(a.st_mode) || a.st_size != b.st_size) return false;
  std::vector<char> x(std::size_t{1} << 16);
  std::vector<char> y(x.size());
  for (;;) {
    const ssize_t n = ::read(target.get(), x.data(), x.size());
    if (n < 0) return Status::Error("Cannot read " + folder.Display(name), errno);
    if (n == 0) return true;
    // Read the same amount of the other, however the reads come.
    ssize_t got = 0;
    while (got < n) {
      const ssize_t m = ::read(copy.get(), y.data() + got, static_cast<std::size_t>(n - got));
      if (m < 0) return Status::Error("Cannot read " + otherFolder.Display(other), errno);
      if (m == 0) return false;
      got += m;
    }
    if (std::memcmp(x.data(), y.data(), static_cast<std::size_t>(n)) != 0) return false;
  }
}

// Enough numbered names for any folder an operator keeps; beyond them the
// copy fails and the file waits.
constexpr int kMaxNumberedNames = 9999;

}  // namespace

std::string NumberedName(std::string_view name, int n) {
  // The extension is what follows the last dot, unless that dot begins the
  // name (".profile" has none).
  const std::size_t dot = name.rfind('.');
  const std::size_t cut = dot == std::string_view::npos || dot == 0 ? name.size() : dot;
  return std::string(name.substr(0, cut)) + "_" + std::to_string(n) + std::string(name.substr(cut));
}

std::string OutputHolds(std::string_view name) {
  return std::string(kCannotRenameBeforeSplit) + ": the output folder already holds " +
         std::string(name);
}

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
  reports.result = [&](const DeliveryResult& result, const FileEntry& entry) {
    engine.ReportResult(pass, result.success, result.comment, result.reason);
    if (QueueMetrics* metrics = engine.metrics()) {
      const FileOutcome outcome = result.success           ? FileOutcome::kDelivered
                                  : result.newname.empty() ? FileOutcome::kUnresolved
                                                           : FileOutcome::kFailed;
      metrics->FileResult(pass.uid, outcome,
                          static_cast<std::uint64_t>(std::max<std::int64_t>(entry.filesize64, 0)),
                          std::chrono::steady_clock::now());
    }
  };
  return DeliverFiles(
      pass, [&] { return engine.KeepGoing(pass); }, reports);
}

Status Delivery::DeliverFiles(PassContext& pass, const KeepGoingFn& keepGoing,
                              const DeliveryReports& reports) {
  if (!pass.queue) return Status::Ok();
  folders_ = Folders{};
  folders_.input = Folder::Open(pass.inputFolder);
  if (!folders_.input.ok()) return folders_.input.status();
  folders_.output = Folder::Open(pass.outputFolder);
  if (!pass.errorFolder.empty()) folders_.error = Folder::Open(pass.errorFolder);
  ForgetGone(pass);
  Group group;
  const auto done = [&] {
    TidyStaging();
    folders_ = Folders{};
  };
  try {
    for (int k = 1; k <= pass.files.count(); ++k) {
      const FileEntry& entry = pass.files.at(k);
      Target splitTarget;
      if (!Stage(pass, entry, group, reports, splitTarget)) {
        // A split publishes its pages itself: the files before it are
        // delivered and reported first, so that the order holds.
        FinishGroup(pass, group, reports);
        if (std::optional<DeliveryResult> split = Split(pass, entry, splitTarget, reports)) {
          TidyStaging();
          Report(pass, {{&entry, std::move(*split)}}, reports);
        }
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
    done();
    return Status::Error(std::string("Delivery ended: ") + e.what());
  }
  done();
  return Status::Ok();
}

bool Delivery::Stage(const PassContext& pass, const FileEntry& entry, Group& group,
                     const DeliveryReports& reports, Target& splitTarget) {
  if (!entry.ready) return true;
  // Delivered before but still there: delivering it again would only repeat
  // the same copy and the same "Renamed" in every pass.
  if (IsLeftAlone(pass, entry)) return true;
  Pending p;
  p.entry = &entry;
  // A name that cannot be used is a fault of the rules, not of the file.
  std::optional<std::string> refusal;
  if (!entry.newname.empty()) {
    const Result<Target> target = TargetOf(pass, entry.newname);
    if (!target.ok()) {
      refusal = target.status().message();
    } else if (IsOtherInput(pass, entry, *target)) {
      // Replacing it would lose that file, and deleting it later the copy.
      Tell(reports, entry.oldname, kCannotCopy,
           "its new name is another file waiting in the input folder; it waits for a later pass");
      return true;
    } else if (pass.queue->Splitpdf) {
      splitTarget = *target;
      return false;
    } else {
      p.to = *target;
      p.target = target->folder != nullptr ? target->folder->Display(target->name)
                                           : pass.outputFolder + target->name;
      p.delivered = Success(entry.newname);
      p.failedName = entry.newname;
      p.toOutput = true;
      if (!ChooseName(pass, p, group, reports)) return true;
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
    if (!pass.errorFolder.empty()) {
      p.target = pass.errorFolder + entry.oldname;
      if (folders_.error.ok()) p.to = Target{&*folders_.error, entry.oldname};
    }
  }
  if (group.items.empty()) group.started = std::chrono::steady_clock::now();
  if (!p.target.empty()) {
    Result<StagedCopy> staged =
        p.to.folder == nullptr
            ? Result<StagedCopy>((p.to.name.empty() ? folders_.error : folders_.output).status())
            : files_.StageCopy(*folders_.input, entry.oldname, *p.to.folder, p.to.name,
                               entry.identity);
    if (staged.ok()) {
      group.bytes += staged->bytes;
      p.read = staged->read;
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

bool Delivery::ChooseName(const PassContext& pass, Pending& p, const Group& group,
                          const DeliveryReports& reports) {
  const std::int32_t policy = pass.queue->Collision;
  if (p.to.folder == nullptr || (policy != kCollisionKeepBoth && policy != kCollisionToError)) {
    return true;
  }
  // Chosen before the copy is written, so that it is written and flushed
  // under its own name; the rename still refuses a file that came since.
  const auto taken = [&](const std::string& name) {
    return files_.VersionOf(*p.to.folder, name).ok() ||
           std::any_of(group.items.begin(), group.items.end(), [&](const Pending& other) {
             return other.to.folder == p.to.folder && other.to.name == name;
           });
  };
  if (!taken(p.to.name)) return true;
  const FileEntry& entry = *p.entry;
  if (policy == kCollisionKeepBoth) {
    p.wanted = p.to.name;
    p.firstFree = 2;
    while (p.firstFree < kMaxNumberedNames && taken(NumberedName(p.wanted, p.firstFree))) {
      ++p.firstFree;
    }
    p.to.name = NumberedName(p.wanted, p.firstFree);
    p.target = p.to.folder->Display(p.to.name);
    return true;
  }
  // The newcomer may not replace the file: into the error folder, or,
  // without one, it stays where it is, said once.
  if (pass.errorFolder.empty()) {
    Tell(reports, entry.oldname, OutputHolds(entry.newname), "it stays in the input folder");
    return false;
  }
  p.toOutput = false;
  p.delivered = Failure(entry.newname, OutputHolds(entry.newname));
  p.target = pass.errorFolder + entry.oldname;
  p.to = folders_.error.ok() ? Target{&*folders_.error, entry.oldname} : Target{};
  return true;
}

Status Delivery::Publish(const PassContext& pass, Pending& p, const DeliveryReports& reports) {
  StagedCopy& copy = *p.copy;
  const std::int32_t policy = p.toOutput ? pass.queue->Collision : kCollisionReplace;
  const FileEntry& entry = *p.entry;
  const std::string wanted = p.wanted.empty() ? copy.name : p.wanted;
  // The shown name with `name` for its last part (it may lie in a subfolder).
  const auto shown = [&](const std::string& name) {
    return entry.newname.substr(0, entry.newname.size() - wanted.size()) + name;
  };
  if (policy == kCollisionDuplicate) {
    // What was copied is what was read: equal to the old file, the input is
    // proven a duplicate and goes without replacing anything.
    const Result<bool> same = SameContent(copy.folder, copy.tempName, copy.folder, copy.name);
    if (same.ok() && *same) {
      files_.DiscardCopy(copy);
      p.delivered.comment = kDuplicate;
      p.delivered.reason =
          "the output folder already holds " + entry.newname + ", the same content";
      return Status::Ok();
    }
    if (same.ok() || same.status().code() != ENOENT) p.delivered.comment = kReplaced;
    return files_.PublishCopy(copy);
  }
  if (policy != kCollisionKeepBoth && policy != kCollisionToError) {
    return files_.PublishCopy(copy);
  }
  if (const int err = copy.fd.Close()) {
    files_.DiscardCopy(copy);
    return Status::Error("Cannot write a copy to " + copy.target, err);
  }
  // Each name is taken by the rename itself, which refuses an existing one:
  // a file that appeared since any look is never replaced.
  const int last = policy == kCollisionKeepBoth ? kMaxNumberedNames : 1;
  Status taken = Status::Error("taken", EEXIST);
  for (int n = 1; n <= last; ++n) {
    const std::string name = n == 1 ? wanted : NumberedName(wanted, n);
    // The names before the chosen one were taken when it was chosen.
    if (n >= p.firstFree) {
      taken = files_.RenameNoReplace(copy.folder, copy.tempName, copy.folder, name);
    }
    if (taken.ok()) {
      copy.tempName.clear();
      p.to.name = name;
      if (n > 1) {
        p.delivered.newname = shown(name);
        p.delivered.comment = kKeptBoth;
        p.delivered.reason = "the output folder already holds " + entry.newname;
      }
      return Status::Ok();
    }
    if (taken.code() != EEXIST) break;
    // The same content under one of the names is this file delivered before
    // (a crash came before its input went): it is not kept twice.
    const Result<bool> same = SameContent(copy.folder, copy.tempName, copy.folder, name);
    if (policy == kCollisionKeepBoth && same.ok() && *same) {
      files_.DiscardCopy(copy);
      p.to.name = name;
      p.delivered.newname = shown(name);
      p.delivered.comment = kDuplicate;
      p.delivered.reason = "the output folder already holds " + shown(name) + ", the same content";
      return Status::Ok();
    }
  }
  files_.DiscardCopy(copy);
  if (policy == kCollisionKeepBoth || taken.code() != EEXIST) return taken;
  // The newcomer may not replace the file: into the error folder, or,
  // without one, it stays where it is, said once.
  const std::string refusal = OutputHolds(entry.newname);
  if (pass.errorFolder.empty()) {
    Tell(reports, entry.oldname, refusal, "it stays in the input folder");
    p.stays = true;
    return Status::Ok();
  }
  if (!folders_.error.ok()) return folders_.error.status();
  const Result<FileVersion> moved = files_.CopyReplacing(
      *folders_.input, entry.oldname, *folders_.error, entry.oldname, entry.identity);
  if (!moved.ok()) return moved.status();
  p.read = *moved;
  p.to = Target{&*folders_.error, entry.oldname};
  p.delivered = Failure(entry.newname, refusal);
  return Status::Ok();
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
  std::vector<std::pair<const Folder*, Status>> folders;  // and its flush
  for (Pending& p : group.items) {
    if (!p.copy) continue;
    const Status published = Publish(pass, p, reports);
    p.copy.reset();
    if (!published.ok()) {
      p.failed = published;
      continue;
    }
    if (p.stays) continue;
    const Folder* folder = p.to.folder;
    if (std::none_of(folders.begin(), folders.end(),
                     [&](const auto& f) { return f.first == folder; })) {
      folders.emplace_back(folder, Status::Ok());
    }
  }
  // 3. Each folder's entries on the disk, once per folder and only after the
  // last rename into it: a flush between two renames would leave the later
  // one unrecorded while its input goes.
  for (auto& flush : folders) {
    const Folder* folder = flush.first;
    const auto in = std::find_if(group.items.rbegin(), group.items.rend(), [&](const Pending& p) {
      return p.failed.ok() && p.to.folder == folder;
    });
    if (in != group.items.rend()) flush.second = files_.FlushFolder(*folder, in->to.name);
  }
  for (Pending& p : group.items) {
    if (!p.failed.ok() || p.target.empty() || p.stays) continue;
    const auto it = std::find_if(folders.begin(), folders.end(),
                                 [&](const auto& f) { return f.first == p.to.folder; });
    // A copy in place whose folder is not known to be on the disk keeps its
    // input: at worst the file is delivered twice, never lost.
    if (it != folders.end() && !it->second.ok()) p.failed = it->second;
  }
  // 4. Only now may the inputs go.
  std::vector<Done> done;
  done.reserve(group.items.size());
  for (const Pending& p : group.items) {
    if (p.stays) continue;
    if (p.failed.ok()) {
      // The copy of what was read is delivered, whatever happens to a
      // version re-sent since; that one stays for the next pass.
      DeleteInput(pass, *p.entry, p.read, reports);
      done.push_back({p.entry, p.delivered});
    } else {
      // Deleting now would lose the file; it stays and is tried again.
      done.push_back({p.entry, Failure(p.failedName, kCannotCopy, ReasonOf(p.failed))});
    }
  }
  group.items.clear();
  group.bytes = 0;
  TidyStaging();
  Report(pass, done, reports);
}

Result<Delivery::Target> Delivery::TargetOf(const PassContext& pass, const std::string& newname) {
  // An output folder that cannot be opened fails the copy, not the name.
  if (!folders_.output.ok()) return Target{nullptr, newname};
  if (newname.find_first_of("/\\") == std::string::npos) return Target{&*folders_.output, newname};
  // A name with separators names a subfolder of the output folder. Every
  // folder on the way must exist there as a real folder, and is opened
  // without following a link: a link could lead anywhere, and nothing is
  // ever written outside the output folder, even if a folder on the way is
  // swapped for one later.
  std::size_t last = 0;
  std::string relative;
  for (std::size_t at = 0; (at = newname.find_first_of("/\\", last)) != std::string::npos;) {
    relative += newname.substr(last, at - last) + "/";
    last = at + 1;
  }
  relative.pop_back();
  auto found = folders_.subfolders.find(relative);
  if (found == folders_.subfolders.end()) {
    found = folders_.subfolders.emplace(relative, folders_.output->Walk(relative)).first;
  }
  if (found->second.ok()) return Target{&*found->second, newname.substr(last)};
  // A backslash is an ordinary character in a name here: without such a
  // subfolder the name is taken as it stands, as before.
  if (newname.find('/') == std::string::npos) return Target{&*folders_.output, newname};
  (void)pass;
  return Status::Error("the output folder has no subfolder for \"" + newname + "\"", ENOENT);
}

bool Delivery::IsOtherInput(const PassContext& pass, const FileEntry& entry,
                            const Target& target) const {
  if (target.folder == nullptr || !(target.folder->Identity() == folders_.input->Identity())) {
    return false;
  }
  for (int k = 1; k <= pass.files.count(); ++k) {
    const FileEntry& other = pass.files.at(k);
    if (&other != &entry && other.oldname == target.name) return true;
  }
  return false;
}

void Delivery::TidyStaging() {
  // The staging folder goes once empty, before the results are told, so
  // whoever reads a result finds the input folder as the operator left it.
  // One that holds something (a file kept there) stays until it is empty.
  if (!folders_.staging || !folders_.staging->ok()) return;
  if (files_.RemoveFolderIfEmpty(*folders_.input, std::string(kStagingFolder)).ok()) {
    folders_.staging.reset();
  }
}

const Result<Folder>& Delivery::Staging() {
  if (!folders_.staging) {
    folders_.staging = files_.MakeFolder(*folders_.input, std::string(kStagingFolder));
  }
  return *folders_.staging;
}

std::optional<DeliveryResult> Delivery::Split(const PassContext& pass, const FileEntry& entry,
                                              const Target& target,
                                              const DeliveryReports& reports) {
  // Without PDFSplitter nothing is touched: the file waits under its own
  // name, and each pass says why.
  if (!library_.Has(EntryPoint::kPDFSplitter)) {
    return Failure(entry.newname, kCannotSplit, "the expression library cannot split PDF files");
  }
  if (entry.pagenumber < 0) {
    return NotSplittable(pass, entry, "the first page number is negative", reports);
  }
  if (target.folder == nullptr) {
    return Failure(entry.newname, kCannotSplit, ReasonOf(folders_.output.status()));
  }
  // The splitter names the pages after the file it is given, so it gets the
  // file under its new name: a second link in our staging folder. The input
  // keeps its old name until the pages are out, so a crash at any point
  // leaves it where the rules found it.
  const Result<Folder>& staging = Staging();
  if (!staging.ok()) {
    // Never through a link or into a folder not ours: the split waits.
    Tell(reports, entry.oldname, kCannotSplit,
         "the split waits: " + pass.inputFolder + std::string(kStagingFolder) +
             " is not a folder of ours (" + ReasonOf(staging.status()) + ")");
    return std::nullopt;
  }
  const Folder* holder = &*staging;
  std::optional<Result<Folder>> copies;
  // A link left by an earlier failure goes, proven to be one to this file.
  const Result<FileVersion> left = files_.VersionOf(*holder, target.name);
  const Result<FileVersion> input = files_.VersionOf(*folders_.input, entry.oldname);
  if (left.ok() && input.ok() && left->identity == input->identity) {
    (void)files_.Delete(*holder, target.name);
  }
  Status staged = files_.HardLink(*folders_.input, entry.oldname, *holder, target.name);
  std::optional<FileVersion> read;
  if (staged.ok()) {
    // The link is made by name: it must be the file found stable.
    const Result<FileVersion> linked = files_.VersionOf(*holder, target.name);
    if (!linked.ok()) {
      staged = linked.status();
    } else if (entry.identity.known() && !(linked->identity == entry.identity)) {
      staged = Status::Error("replaced", ESTALE);
    } else {
      read = *linked;
    }
  } else if (staged.code() == EPERM || staged.code() == EOPNOTSUPP || staged.code() == EXDEV ||
             staged.code() == EMLINK) {
    // A file system without hard links: a copy under the new name serves,
    // in a folder of its own so that the start-up clean-up never takes it
    // for an input. The copy checks the source it opened is the file found
    // stable.
    copies = files_.MakeFolder(*holder, std::string(kSplitCopies));
    if (!copies->ok()) {
      staged = copies->status();
    } else {
      holder = &copies->value();
      const Result<FileVersion> copied = files_.CopyReplacing(*folders_.input, entry.oldname,
                                                              *holder, target.name, entry.identity);
      staged = copied.ok() ? Status::Ok() : copied.status();
      if (copied.ok()) read = *copied;
    }
  }
  const auto cleanUp = [&] {
    (void)files_.Delete(*holder, target.name);
    if (copies && copies->ok())
      (void)files_.RemoveFolderIfEmpty(*staging, std::string(kSplitCopies));
  };
  if (!staged.ok()) {
    cleanUp();
    return Failure(entry.newname, kCannotRenameBeforeSplit, ReasonOf(staged));
  }
  // A collision policy judges each page: the pages are written beside the
  // output folder's files first, in a folder of ours, and moved in one by one.
  const std::int32_t policy = pass.queue->Collision;
  std::optional<Result<Folder>> pages;
  if (policy > kCollisionReplace && policy <= kCollisionLast) {
    pages = files_.MakeFolder(*target.folder, std::string(kPagesFolder));
    if (!pages->ok()) {
      cleanUp();
      return Failure(entry.newname, kCannotSplit, ReasonOf(pages->status()));
    }
  }
  // Paths through our open folders: nothing renamed or swapped since can
  // redirect the splitter.
  const CallResult split =
      library_.SplitPdf(holder->ProcPath() + target.name, entry.pagenumber,
                        pages ? pages->value().ProcPath() : target.folder->ProcPath());
  cleanUp();
  std::optional<DeliveryResult> result;
  if (split.ok()) {
    DeliveryResult done = Success(entry.newname);
    if (pages) {
      const Status published = PublishPages(pass, pages->value(), *target.folder, done);
      (void)RemovePages(*target.folder, files_);
      if (!published.ok()) return Failure(entry.newname, kCannotSplit, ReasonOf(published));
      if (!done.success) {
        // A page's name is taken: the file goes to the error folder whole.
        if (pass.errorFolder.empty()) {
          Tell(reports, entry.oldname, done.comment, "it stays in the input folder");
          LeaveAlone(pass, entry);
          return std::nullopt;
        }
        if (!folders_.error.ok())
          return Failure(entry.newname, kCannotCopy, ReasonOf(folders_.error.status()));
        const Result<FileVersion> moved = files_.CopyReplacing(
            *folders_.input, entry.oldname, *folders_.error, entry.oldname, entry.identity);
        if (!moved.ok()) return Failure(entry.newname, kCannotCopy, ReasonOf(moved.status()));
        DeleteInput(pass, entry, *moved, reports);
        return done;
      }
    }
    // Our link and its removal changed the file's status-change time; the
    // rest must be as it was split.
    DeleteInput(pass, entry, read, reports, copies.has_value());
    result = std::move(done);
  } else if (split.status == CallStatus::kInputRefused) {
    result = NotSplittable(pass, entry, "the path is too long for the expression library", reports);
  } else if (split.value == kSplitWriteFailed) {
    // The output side: the input stays and is tried again, as a copy is.
    result = Failure(entry.newname, kCannotSplit,
                     std::string("the pages could not be written") +
                         (split.error != 0 ? std::string(": ") + std::strerror(split.error) : ""));
  } else if (split.value < 0) {
    result = NotSplittable(pass, entry, "the splitter refused the page number", reports);
  } else {
    result = NotSplittable(pass, entry, "not a PDF file the splitter can read", reports);
  }
  return result;
}

std::optional<DeliveryResult> Delivery::NotSplittable(const PassContext& pass,
                                                      const FileEntry& entry,
                                                      const std::string& reason,
                                                      const DeliveryReports& reports) {
  // The file stands under its old name; with an error folder it goes there.
  // Without one it is told once and left alone while it is unchanged.
  if (pass.errorFolder.empty() || !folders_.error.ok()) {
    if (pass.errorFolder.empty()) {
      Tell(reports, entry.oldname, kCannotSplit, reason);
      LeaveAlone(pass, entry);
      return std::nullopt;
    }
    return Failure(entry.newname, kCannotSplit, reason);
  }
  const Result<FileVersion> copied = files_.CopyReplacing(
      *folders_.input, entry.oldname, *folders_.error, entry.oldname, entry.identity);
  if (copied.ok()) DeleteInput(pass, entry, *copied, reports);
  return Failure(entry.newname, kCannotSplit, reason);
}

Status Delivery::PublishPages(const PassContext& pass, const Folder& pages, const Folder& output,
                              DeliveryResult& result) {
  const Result<std::vector<std::string>> listed = ListNames(pages);
  if (!listed.ok()) return listed.status();
  std::vector<std::string> names = listed.value();
  std::sort(names.begin(), names.end());
  const std::int32_t policy = pass.queue->Collision;
  if (policy == kCollisionToError) {
    for (const std::string& name : names) {
      if (files_.VersionOf(output, name).ok()) {
        result = Failure(result.newname, OutputHolds(name));
        return Status::Ok();
      }
    }
  }
  std::string last;
  std::string ways;  // each page that did not simply go in
  const auto note = [&](std::string_view way, const std::string& page, const std::string& as) {
    if (result.comment == kRenamed) result.comment = way;
    ways += (ways.empty() ? "" : "; ") + page + ": " + std::string(way) +
            (as != page ? " as " + as : std::string());
  };
  for (const std::string& name : names) {
    std::string as = name;
    if (policy == kCollisionDuplicate) {
      const Result<bool> same = SameContent(pages, name, output, name);
      if (same.ok() && *same) {
        note(kDuplicate, name, name);
        if (Status gone = files_.Delete(pages, name); !gone.ok()) return gone;
        continue;
      }
      if (Status moved = files_.RenameReplacing(pages, name, output, name); !moved.ok()) {
        return moved;
      }
      if (same.ok()) note(kReplaced, name, name);
    } else {
      // Keep both, or, for the error folder, no page replaces what came
      // since the look above.
      Status moved;
      bool duplicate = false;
      for (int n = 1; n <= (policy == kCollisionKeepBoth ? kMaxNumberedNames : 1); ++n) {
        as = n == 1 ? name : NumberedName(name, n);
        moved = files_.RenameNoReplace(pages, name, output, as);
        if (moved.code() != EEXIST) break;
        const Result<bool> same = SameContent(pages, name, output, as);
        if (policy == kCollisionKeepBoth && same.ok() && *same) {
          moved = files_.Delete(pages, name);
          duplicate = true;
          break;
        }
      }
      if (!moved.ok()) return moved;
      if (duplicate) {
        note(kDuplicate, name, as);
      } else if (as != name) {
        note(kKeptBoth, name, as);
      }
    }
    last = as;
  }
  result.reason = ways;
  // The pages' entries on the disk before the input may go.
  return last.empty() ? Status::Ok() : files_.FlushFolder(output, last);
}

Delivery::Deleted Delivery::DeleteInput(const PassContext& pass, const FileEntry& entry,
                                        const std::optional<FileVersion>& copied,
                                        const DeliveryReports& reports, bool statusChangeKept) {
  const Folder& input = *folders_.input;
  const std::string& name = entry.oldname;
  // What may go: the version that was copied, else the file found stable.
  const auto same = [&](const FileVersion& now, bool withStatusChange) {
    if (copied) return SameVersion(now, *copied, withStatusChange);
    return !entry.identity.known() ||
           (now.identity == entry.identity && now.size == entry.filesize64);
  };
  Status deleted;
  const Result<FileVersion> before = files_.VersionOf(input, name);
  if (!before.ok()) {
    deleted = before.status();
  } else if (!same(*before, statusChangeKept)) {
    return Deleted::kChanged;  // re-sent meanwhile: it stays for the next pass
  } else if (const Result<Folder>& staging = Staging(); !staging.ok()) {
    deleted = staging.status();
  } else if (deleted = files_.MoveInto(input, name, *staging); deleted.ok()) {
    // Moved aside, it can no longer be replaced under us: proven, or put back.
    const Result<FileVersion> aside = files_.VersionOf(*staging, name);
    if (aside.ok() && same(*aside, false)) {
      deleted = files_.Delete(*staging, name);
      if (deleted.ok()) {
        undeletable_.erase({pass.uid, name});
        return Deleted::kGone;
      }
    }
    const Status back = files_.RenameNoReplace(*staging, name, input, name);
    if (!back.ok()) {
      // The name was taken again meanwhile: the file keeps safe in the
      // staging folder, and the start-up clean-up puts it back.
      Tell(reports, name, "Kept",
           "a newer file took its name; this one waits in " + staging->path());
      return Deleted::kStays;
    }
    if (deleted.ok()) return Deleted::kChanged;
  }
  if (deleted.code() == ENOENT) {
    undeletable_.erase({pass.uid, name});
    return Deleted::kGone;
  }
  LeaveAlone(pass, entry);
  Tell(reports, name, "Cannot delete",
       ReasonOf(deleted) + "; delivered, and not delivered again while it stays unchanged");
  return Deleted::kStays;
}

void Delivery::LeaveAlone(const PassContext& pass, const FileEntry& entry) {
  undeletable_[{pass.uid, entry.oldname}] =
      Undeletable{entry.identity, entry.filesize64, entry.filetime};
}

bool Delivery::IsLeftAlone(const PassContext& pass, const FileEntry& entry) const {
  const auto found = undeletable_.find({pass.uid, entry.oldname});
  if (found == undeletable_.end()) return false;
  const Undeletable& seen = found->second;
  return seen.identity == entry.identity && seen.size == entry.filesize64 &&
         seen.filetime == entry.filetime;
}

void Delivery::ForgetGone(const PassContext& pass) {
  std::set<std::string_view> listed;
  for (int k = 1; k <= pass.files.count(); ++k) listed.insert(pass.files.at(k).oldname);
  std::erase_if(undeletable_, [&](const auto& item) {
    return item.first.first == pass.uid && listed.count(item.first.second) == 0;
  });
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
    // A success says in the log file only what the collision policy made of it.
    if (!result.success || result.comment != kRenamed) line.comment = result.comment;
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
    if (reports.result) reports.result(done[i].result, *done[i].entry);
  }
}

Status RemovePages(const Folder& output, FileOperations& files) {
  Result<Folder> pages = output.Sub(kPagesFolder);
  if (!pages.ok()) return pages.status();
  // Pages of a split whose input is still in its input folder: they are
  // made again.
  const Result<std::vector<std::string>> names = ListNames(*pages);
  if (names.ok()) {
    for (const std::string& name : *names) (void)files.Delete(*pages, name);
  }
  return files.RemoveFolderIfEmpty(output, std::string(kPagesFolder));
}

Result<int> RemoveDeliveryLeftovers(const std::string& folder, FileOperations& files) {
  if (Result<Folder> output = Folder::Open(folder); output.ok()) (void)RemovePages(*output, files);
  return files.RemoveTempFiles(folder);
}

Result<int> RemoveStagingLeftovers(const std::string& inputFolder, FileOperations& files) {
  if (inputFolder.empty()) return Status::Error("No folder to clean", EINVAL);
  Result<Folder> input = Folder::Open(inputFolder);
  if (!input.ok()) return input.status();
  // Opened without following a link: what is cleaned is our folder, even if
  // the name is swapped after this.
  Result<Folder> staging = input->Sub(kStagingFolder);
  if (!staging.ok()) {
    return staging.status().code() == ENOENT ? Result<int>(0) : Result<int>(staging.status());
  }
  const Result<std::vector<std::string>> names = ListNames(*staging);
  if (!names.ok()) return names.status();
  std::optional<std::vector<FileIdentity>> inputFiles;  // listed once, when needed
  int removed = 0;
  for (const std::string& name : *names) {
    const Result<FileVersion> found = files.VersionOf(*staging, name);
    struct stat st {};
    if (!found.ok() || ::fstatat(staging->fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode)) {
      continue;
    }
    bool ours = FileOperations::IsTempName(name);
    if (!ours && st.st_nlink > 1) {
      // A split's link: the file still has its name in the input folder.
      if (!inputFiles) inputFiles = IdentitiesIn(*input);
      ours =
          std::find(inputFiles->begin(), inputFiles->end(), found->identity) != inputFiles->end();
    }
    if (ours) {
      if (files.Delete(*staging, name).ok()) ++removed;
    } else if (st.st_nlink == 1 && files.RenameNoReplace(*staging, name, *input, name).ok()) {
      // A delivered input moved aside when a crash came: back where it was.
      ++removed;
    }
  }
  (void)files.RemoveFolderIfEmpty(*input, std::string(kStagingFolder));
  return removed;
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
    const Result<int> result = RemoveDeliveryLeftovers(folder, files);
    if (result.ok()) removed += *result;
  }
  for (const std::string& folder : inputs) {
    const Result<int> result = RemoveStagingLeftovers(folder, files);
    if (result.ok()) removed += *result;
  }
  return removed;
}

}  // namespace zf
