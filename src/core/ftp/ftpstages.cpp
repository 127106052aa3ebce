#include "ftp/ftpstages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <utility>

#include "engine/delivery.h"
#include "engine/discovery.h"
#include "engine/masks.h"
#include "engine/readiness.h"
#include "ftp/ftpleftovers.h"
#include "platform/fileaccess.h"
#include "platform/fileops.h"
#include "platform/paths.h"
#include "platform/uniquefd.h"
#include "platform/writehook.h"

namespace zf {
namespace {

// Lets a stop request break off the command or transfer under way, so that
// closing the program never waits for a slow server; held while a stage
// uses the client.
class AbortOnStop {
 public:
  AbortOnStop(FtpSession& session, const Trenamethread& engine) : session_(session) {
    session_.SetAbortCheck([&engine] { return engine.StopRequested(); });
  }
  ~AbortOnStop() { session_.SetAbortCheck({}); }
  AbortOnStop(const AbortOnStop&) = delete;
  AbortOnStop& operator=(const AbortOnStop&) = delete;

 private:
  FtpSession& session_;
};

Status InvalidIgnoreMask(const Status& error) {
  return Status::Error("Invalid ignore mask: " + error.message());
}

bool IgnoreMaskValid(const std::string& ignoremask) {
  if (ignoremask.empty() || ignoremask == "none") return true;
  for (const std::string& mask : SplitMasks(ignoremask)) {
    if (!WildcardMask(mask).status().ok()) return false;
  }
  return true;
}

// Reports a lost connection once the stage using the client is done with it,
// whichever way it leaves.
class WatchConnection {
 public:
  explicit WatchConnection(std::function<void()> check) : check_(std::move(check)) {}
  ~WatchConnection() {
    try {
      check_();
    } catch (...) {
      // A report that fails changes nothing about the files.
    }
  }
  WatchConnection(const WatchConnection&) = delete;
  WatchConnection& operator=(const WatchConnection&) = delete;

 private:
  std::function<void()> check_;
};

std::string ConnectedText(const FtpSession& session) {
  return "connected to " + session.host() + ":" + std::to_string(session.port());
}

// The client keeps the password out of its messages; a server that echoes
// what it was sent could still bring it back, and the status is shown to
// anyone at the window or the terminal.
std::string WithoutPassword(std::string text, const std::string& password) {
  if (password.empty()) return text;
  for (std::size_t at = text.find(password); at != std::string::npos;
       at = text.find(password, at + 3)) {
    text.replace(at, password.size(), "***");
  }
  return text;
}

}  // namespace

FtpStages::FtpStages(std::function<std::int32_t()> ftpTimeoutMs)
    : ftpTimeoutMs_(std::move(ftpTimeoutMs)) {}

FtpStages::FtpStages(const WorkingSettings& settings)
    : FtpStages([&settings] { return settings.ftpTimeout.load(); }) {}

Status FtpStages::UseJournal(const std::string& path) {
  owed_ = OwedDeletions(path);
  return owed_.Load();
}

void FtpStages::NoteConnection(Trenamethread& engine, const RecordPtr& queue, bool up,
                               const std::string& reason) {
  // A stop breaks the connection off on purpose.
  if (!up && engine.StopRequested()) return;
  // Another server or log-in: what was known of the old one says nothing
  // of the new.
  const std::string server = FtpProtocolName(queue->FTPprotocol) + " " + queue->FTPuser + "@" +
                             queue->FTPhost + ":" + std::to_string(queue->FTPPort) + "/" +
                             queue->FTPpath;
  const auto [known, fresh] = reachable_.try_emplace(queue->uid, server, up);
  const bool news = fresh || known->second.first != server;
  if (!news && known->second.second == up) return;
  known->second = {server, up};
  if (news && up) return;  // the first contact is no news
  PassContext target;
  target.uid = queue->uid;
  target.queue = queue;
  if (up) {
    engine.ReportRecovery(target, "FTP connection back");
  } else {
    engine.ReportProblem(target, {}, "FTP connection lost", reason);
  }
}

std::shared_ptr<FtpSession> FtpStages::SessionOf(const QueueRecord& queue) {
  if (queue.FTPsession) return queue.FTPsession;
  // A queue whose slot was given no client at start-up still gets one, kept
  // here under its identity so that it stays connected between passes.
  std::shared_ptr<FtpSession>& own = ownSessions_[queue.uid];
  if (!own) own = std::make_shared<FtpSession>();
  return own;
}

Status FtpStages::Open(FtpSession& session, const QueueRecord& queue) {
  session.SetLogin(queue.FTPhost, queue.FTPPort, queue.FTPuser, queue.FTPpasw);
  session.SetSecurity(SecurityOf(queue, configFolder_));
  session.SetConnectTimeoutMs(ftpTimeoutMs_ ? ftpTimeoutMs_() : -1);
  session.SetPassive(queue.FTPpassive);
  Status status = session.Connect();
  if (status.ok()) status = session.ChangeDir(queue.FTPpath);
  return status;
}

bool FtpStages::PrepareFtp(Trenamethread& engine, const RecordPtr& queue) {
  const QueueRecord& q = *queue;
  const std::shared_ptr<FtpSession> session = SessionOf(q);
  const AbortOnStop abort(*session, engine);
  session->SetPassive(q.FTPpassive);
  // Compared exactly: a host, user or folder that differs only in letter
  // case may well be another one. The client's own folder is compared too,
  // in case it came to this queue from another slot.
  const bool changed = session->host() != q.FTPhost || session->user() != q.FTPuser ||
                       session->password() != q.FTPpasw || session->port() != q.FTPPort ||
                       q.FTPcurrentpath != q.FTPpath || session->currentDir() != q.FTPpath ||
                       session->security() != SecurityOf(q, configFolder_);
  if (changed && session->Connected() && !session->Disconnect().ok()) {
    engine.ReportFtpConnection(q.uid, "not connected");
    return false;
  }
  // unchanged and still open: no command at all
  if (session->Connected()) {
    engine.ReportFtpConnection(q.uid, ConnectedText(*session));
    NoteConnection(engine, queue, true, {});
    return true;
  }

  Status opened = Open(*session, q);
  if (opened.ok()) opened = session->Noop();
  if (!opened.ok()) {
    const std::string reason = WithoutPassword(opened.message(), q.FTPpasw);
    engine.ReportFtpConnection(q.uid, reason);
    if (engine.metrics() != nullptr && !engine.StopRequested())
      engine.metrics()->FtpConnectionFailed(q.uid);
    NoteConnection(engine, queue, false, reason);
    return false;
  }
  engine.ReportFtpConnection(q.uid, ConnectedText(*session));
  NoteConnection(engine, queue, true, {});
  PassContext target;
  target.uid = q.uid;
  engine.UpdateQueue(target, [&](QueueRecord& r) { r.FTPcurrentpath = q.FTPpath; });
  return true;
}

Result<std::vector<RemoteEntry>> FtpStages::Candidates(Trenamethread& engine, FtpSession& session,
                                                       const PassContext& pass) {
  const QueueRecord& queue = *pass.queue;
  Result<std::vector<RemoteEntry>> listing = session.List(ListingDateOf(engine.clock().Now()));
  if (!listing.ok()) return listing.status();
  ForgetGone(engine, pass, listing.value());
  const std::string place = OwedDeletions::PlaceOf(queue);
  const IgnoreMasks ignored(queue.ignoremask);
  // Markers are looked for in the whole listing: the masks may well hide them.
  std::map<std::string, RemoteEntry>& markers = markers_[pass.uid];
  markers.clear();
  if (ReadyMarkersOn(queue.Readyfile)) {
    for (const RemoteEntry& entry : listing.value()) {
      if (entry.kind == RemoteEntry::Kind::kFile && IsReadyMarker(queue.Readyfile, entry.name))
        markers.emplace(entry.name, entry);
    }
  }
  DeleteDueMarkers(engine, pass, session);
  // Any file of the folder counts as a marker's file, whatever the masks say.
  std::set<std::string>& lone = loneMarkers_[pass.uid];
  lone.clear();
  for (const auto& marker : markers) lone.insert(marker.first);
  for (const RemoteEntry& entry : listing.value()) {
    if (!markers.contains(entry.name)) lone.erase(ReadyMarkerOf(queue.Readyfile, entry.name));
  }
  std::vector<RemoteEntry> taken;
  for (RemoteEntry& entry : listing.value()) {
    if (markers.contains(entry.name)) continue;
    // The search mask is applied here, as local folders apply it: servers
    // treat a mask given with the listing command each in their own way.
    // Masks see the normalized name; the server is asked for the real one.
    const std::string seen = queue.Normalize ? NfcName(entry.name) : entry.name;
    if (!ListingNameMatches(seen, queue.Searchmask)) continue;
    const Result<bool> ignore = ignored.Matches(seen);
    if (!ignore.ok()) return InvalidIgnoreMask(ignore.status());
    // A folder or a link can never be fetched; taken as a file, it would
    // fail in every cycle and hold up every later file of the queue. A
    // hidden name is skipped as local discovery skips it: ".x.part" is an
    // upload under way, and must not be fetched and deleted under its writer.
    if (ignore.value() || entry.kind != RemoteEntry::Kind::kFile || !IsSafeRemoteName(entry.name) ||
        entry.name.front() == '.') {
      continue;
    }
    if (const OwedDelete* found = owed_.Find(place, entry.name)) {
      const OwedDelete owed = *found;
      owed_.Remove(place, entry.name);
      // Anything else under the name is a new file, taken as such.
      if (StillTheFetchedFile(session, owed, entry)) {
        // Fetched and delivered already; only its deletion was left.
        if (session.Delete(entry.name).ok()) {
          DeleteMarkerOf(engine, pass, session, entry.name);
          continue;
        }
        engine.ReportProblem(pass, entry.name, "Cannot delete on the server", session.failure());
        if (!session.Connected()) {
          owed_.Add(place, owed);
          continue;
        }
        undeletable_[{pass.uid, entry.name}] = entry;
        continue;
      }
    }
    const auto kept = undeletable_.find({pass.uid, entry.name});
    if (kept != undeletable_.end()) {
      if (kept->second.size == entry.size && kept->second.time == entry.time) continue;
      // Changed, so a new file: taken again, and reported again should its
      // deletion be refused once more.
      undeletable_.erase(kept);
      engine.ClearProblem(pass, entry.name);
    }
    taken.push_back(std::move(entry));
  }
  SaveOwed(engine, pass);
  return taken;
}

void FtpStages::DeleteMarkerOf(Trenamethread& engine, const PassContext& pass, FtpSession& session,
                               const std::string& file) {
  const QueueRecord& q = *pass.queue;
  if (!ReadyMarkersOn(q.Readyfile)) return;
  std::map<std::string, RemoteEntry>& markers = markers_[pass.uid];
  const auto found = markers.find(ReadyMarkerOf(q.Readyfile, file));
  if (found == markers.end()) return;
  const std::string name = found->first;
  const RemoteEntry listed = found->second;
  // It marked the file just taken; a new file of that name needs a new one.
  markers.erase(found);
  if (session.Delete(name).ok()) return;
  engine.ReportProblem(pass, name, "Cannot delete on the server", session.failure());
  dueMarkers_[{pass.uid, name}] = listed;
}

void FtpStages::DeleteDueMarkers(Trenamethread& engine, const PassContext& pass,
                                 FtpSession& session) {
  std::map<std::string, RemoteEntry>& markers = markers_[pass.uid];
  for (auto it = dueMarkers_.lower_bound({pass.uid, std::string()});
       it != dueMarkers_.end() && it->first.first == pass.uid;) {
    if (!session.Connected()) return;
    const std::string& name = it->first.second;
    const auto listed = markers.find(name);
    // Gone, or written anew for another file: no longer ours to delete.
    if (listed == markers.end() || listed->second.size != it->second.size ||
        listed->second.time != it->second.time) {
      engine.ClearProblem(pass, name);
      it = dueMarkers_.erase(it);
      continue;
    }
    // Still the old marker: it must not make a new file of its name ready.
    markers.erase(listed);
    if (!session.Delete(name).ok()) {
      engine.ReportProblem(pass, name, "Cannot delete on the server", session.failure());
      ++it;
      continue;
    }
    engine.ClearProblem(pass, name);
    it = dueMarkers_.erase(it);
  }
}

bool FtpStages::StillTheFetchedFile(FtpSession& session, const OwedDelete& owed,
                                    const RemoteEntry& listed) {
  if (!owed.unique.empty()) {
    return listed.unique == owed.unique && listed.size == owed.size && listed.time == owed.time;
  }
  // Without the server's own identity, the exact size and time stand in;
  // a file fetched without them cannot be proven and is taken anew.
  if (owed.modified < 0) return false;
  const Result<FtpSession::FileFacts> facts = session.Facts(listed.name);
  return facts.ok() && facts->size == owed.size && facts->modified == owed.modified;
}

void FtpStages::ForgetGone(Trenamethread& engine, const PassContext& pass,
                           const std::vector<RemoteEntry>& listing) {
  std::set<std::string> listed;
  for (const RemoteEntry& entry : listing) listed.insert(entry.name);
  owed_.KeepOnly(OwedDeletions::PlaceOf(*pass.queue), listed);
  for (auto it = undeletable_.lower_bound({pass.uid, std::string()});
       it != undeletable_.end() && it->first.first == pass.uid;) {
    if (listed.count(it->first.second) != 0) {
      ++it;
      continue;
    }
    engine.ClearProblem(pass, it->first.second);
    it = undeletable_.erase(it);
  }
}

void FtpStages::SaveOwed(Trenamethread& engine, const PassContext& pass) {
  const Status saved = owed_.Save();
  if (saved.ok()) return;
  // Kept in memory all the same; only a restart would forget them.
  engine.ReportProblem(pass, owed_.path(), "Cannot keep the owed FTP deletions", saved.message());
}

Status FtpStages::ListRemote(Trenamethread& engine, PassContext& pass) {
  FileTable& table = pass.files;
  table.set_count(0);
  const QueueRecord& q = *pass.queue;
  // Without it every file would be fetched only to fail on its own.
  if (const Result<Folder> own = OpenFtpTempFolder(q); !own.ok()) return own.status();
  // First the files fetched in earlier passes but not delivered: they are no
  // longer on the server, so nothing else would ever take them up again.
  const Status local = DiscoverFiles(engine.files(), engine.clock(), pass);
  if (!local.ok()) {
    if (!IgnoreMaskValid(q.ignoremask)) return InvalidIgnoreMask(local);
    return Status::Error(
        "The FTP temp folder " + pass.inputFolder + " cannot be read: " + local.message(),
        local.code());
  }
  std::set<std::string> waiting;
  for (int k = 1; k <= table.count(); ++k) {
    table.at(k).waiting = true;
    waiting.insert(table.at(k).oldname);
  }

  const std::shared_ptr<FtpSession> session = SessionOf(q);
  const AbortOnStop abort(*session, engine);
  const WatchConnection watch([&] {
    if (!session->Connected()) NoteConnection(engine, pass.queue, false, session->failure());
  });
  if (!session->Connected()) {
    const Status opened = Open(*session, q);
    if (!opened.ok()) return opened;
  }
  Result<std::vector<RemoteEntry>> listing = Candidates(engine, *session, pass);
  if (!listing.ok()) return listing.status();
  int count = table.count();
  for (const RemoteEntry& entry : listing.value()) {
    if (count >= FileTable::kUsable) break;
    // The copy waiting here goes first; fetching now would replace it before
    // it is delivered.
    if (waiting.count(entry.name) != 0) continue;
    FileEntry& e = table.at(++count);
    e = FileEntry{};
    e.oldname = entry.name;
    e.filetime = entry.time;
    e.filesize = static_cast<std::int32_t>(entry.size);
    e.filesize64 = entry.size;
    table.set_count(count);
  }
  return Status::Ok();
}

Status FtpStages::FetchStable(Trenamethread& engine, PassContext& pass) {
  FileTable& table = pass.files;
  const QueueRecord& q = *pass.queue;
  std::string& held = held_[pass.uid];
  held.clear();
  // Complete by their making: a fetch takes its name only once it is whole.
  for (int k = 1; k <= table.count(); ++k) {
    if (table.at(k).waiting) table.at(k).ready = true;
  }

  // Fetches are written, named and removed only in the folder opened here.
  const Result<Folder> own = OpenFtpTempFolder(q);
  if (!own.ok()) return own.status();
  const Folder& folder = own.value();

  const std::shared_ptr<FtpSession> session = SessionOf(q);
  const AbortOnStop abort(*session, engine);
  const WatchConnection watch([&] {
    if (!session->Connected()) NoteConnection(engine, pass.queue, false, session->failure());
  });
  // A server gone since the listing ends the fetching; the files waiting
  // here still go.
  if (!session->Connected() && !Open(*session, q).ok()) return Status::Ok();
  Result<std::vector<RemoteEntry>> listing = Candidates(engine, *session, pass);
  if (!listing.ok()) return session->Connected() ? listing.status() : Status::Ok();
  std::map<std::string, const RemoteEntry*> listed;
  for (const RemoteEntry& entry : listing.value()) listed.emplace(entry.name, &entry);
  for (const RemoteEntry& entry : listing.value()) {
    for (int k = 1; k <= table.count(); ++k) {
      FileEntry& e = table.at(k);
      if (!e.waiting && e.oldname == entry.name) {
        // The full size is compared, so a file of 2 GiB or more that is
        // still growing is never taken for unchanged.
        e.ready = entry.time == e.filetime && entry.size == e.filesize64;
        break;
      }
    }
  }
  // Stable is not enough with markers: its marker must be in this listing.
  const std::set<std::string> loneBefore = std::exchange(lone_[pass.uid], {});
  if (ReadyMarkersOn(q.Readyfile)) {
    const std::map<std::string, RemoteEntry>& markers = markers_[pass.uid];
    int unmarked = 0;
    for (int k = 1; k <= table.count(); ++k) {
      FileEntry& e = table.at(k);
      if (e.waiting || !e.ready || markers.contains(ReadyMarkerOf(q.Readyfile, e.oldname)))
        continue;
      e.ready = false;
      ++unmarked;
    }
    if (unmarked > 0) held = std::to_string(unmarked) + " without ready marker";
    // Shown once it stood alone in two passes' listings: a sender may write
    // the marker a moment before its file.
    lone_[pass.uid] = loneMarkers_[pass.uid];
    for (const std::string& name : lone_[pass.uid]) {
      if (loneBefore.contains(name))
        held += (held.empty() ? "" : "; ") + std::string("marker ") + name + " without its file";
    }
  }

  EngineHost& host = engine.host();
  position_ = 0;  // the engine set the bar to 0 when this pass began
  bool ended = false;
  // Fetched files are made durable in groups, bounded as delivery's are: a
  // flush of the disk costs about as much for one file as for many.
  std::vector<Fetch> group;
  std::uint64_t bytes = 0;
  auto started = std::chrono::steady_clock::now();
  for (int k = 1; k <= table.count(); ++k) {
    FileEntry& e = table.at(k);
    if (!e.ready || e.waiting) continue;
    if (!ended && !engine.KeepGoing(pass)) ended = true;
    if (ended) {
      e.ready = false;
      continue;
    }
    if (group.empty()) {
      bytes = 0;
      started = std::chrono::steady_clock::now();
    }
    try {
      const auto seen = listed.find(e.oldname);
      const RemoteEntry* facts = seen == listed.end() ? nullptr : seen->second;
      ended = FetchFile(engine, pass, *session, folder, e, facts, group) == Fetched::kEnded;
    } catch (...) {
      session->SetProgressHandler({});
      e.ready = false;  // this entry only; the loop goes on
      continue;
    }
    SetProgress(host, 0);
    bytes += static_cast<std::uint64_t>(std::max<std::int64_t>(e.filesize64, 0));
    if (group.size() >= static_cast<std::size_t>(Delivery::kGroupFiles) ||
        bytes >= Delivery::kGroupBytes ||
        std::chrono::steady_clock::now() - started >= Delivery::kGroupTime) {
      if (CommitFetches(engine, pass, *session, folder, group)) ended = true;
    }
  }
  CommitFetches(engine, pass, *session, folder, group);
  return Status::Ok();
}

std::string FtpStages::HeldOnServer(std::uint64_t uid) const {
  const auto found = held_.find(uid);
  return found == held_.end() ? std::string() : found->second;
}

FtpStages::Fetched FtpStages::FetchFile(Trenamethread& engine, const PassContext& pass,
                                        FtpSession& session, const Folder& folder, FileEntry& e,
                                        const RemoteEntry* listed, std::vector<Fetch>& group) {
  EngineHost& host = engine.host();
  // What proves, should its deletion come to be owed, that the server's
  // file is still this one: its "unique" fact, else its exact size and time.
  OwedDelete facts{e.oldname, e.filesize64, e.filetime, {}, -1};
  if (listed != nullptr) facts.unique = listed->unique;
  if (facts.unique.empty()) {
    if (const Result<FtpSession::FileFacts> exact = session.Facts(e.oldname); exact.ok()) {
      if (exact->size == e.filesize64) facts.modified = exact->modified;
    }
  }
  SetProgressSize(e.filesize64);
  session.SetProgressHandler([&](std::int64_t received) { ShowFetchProgress(host, received); });
  // The copy must be complete and of the listed size; it takes its name, and
  // the server's copy is deleted, only once its group is on the disk. A
  // failed fetch leaves the file on the server.
  Result<TempFile> fetched = session.RetrieveToTemp(e.oldname, folder, e.oldname, e.filesize64);
  session.SetProgressHandler({});
  if (!fetched.ok()) {
    e.ready = false;
    if (engine.StopRequested()) return Fetched::kEnded;  // no fault of the file's
    engine.ReportProblem(pass, e.oldname, "Cannot fetch", session.failure());
    // Without the connection no later file can come either.
    return session.Connected() ? Fetched::kSkipped : Fetched::kEnded;
  }
  group.push_back(Fetch{&e, std::move(fetched).value(), std::move(facts)});
  return Fetched::kDone;
}

bool FtpStages::CommitFetches(Trenamethread& engine, const PassContext& pass, FtpSession& session,
                              const Folder& folder, std::vector<Fetch>& group) {
  if (group.empty()) return false;
  const bool flush = session.FlushesToDisk();
  std::vector<int> fds;
  for (const Fetch& f : group) {
    fds.push_back(f.temp.fd.get());
    if (flush) BeforeWrite(WriteSite::kFtp, WriteKind::kSyncFile, folder.Display(f.temp.path));
  }
  const std::vector<int> errors = flush ? SyncFileData(fds) : std::vector<int>(fds.size(), 0);
  std::vector<std::pair<FileEntry*, OwedDelete>> placed;
  for (std::size_t i = 0; i < group.size(); ++i) {
    FileEntry& e = *group[i].entry;
    TempFile& temp = group[i].temp;
    Status status;
    // Delivery is to read this very file, whatever is put under its name.
    struct stat st {};
    if (::fstat(temp.fd.get(), &st) == 0) {
      e.identity = FileIdentity{static_cast<std::uint64_t>(st.st_dev),
                                static_cast<std::uint64_t>(st.st_ino)};
    }
    if (errors[i] != 0) {
      status = session.LocalFail("Unable to flush " + folder.Display(temp.path), errors[i]);
      temp.fd.Close();
      ::unlinkat(folder.fd(), temp.path.c_str(), 0);
    } else {
      status = session.Place(temp, folder, e.oldname);
    }
    if (status.ok()) {
      if (engine.metrics() != nullptr)
        engine.metrics()->FtpFetched(pass.uid, static_cast<std::uint64_t>(st.st_size));
      placed.emplace_back(&e, std::move(group[i].facts));
    } else {
      e.ready = false;
      engine.ReportProblem(pass, e.oldname, "Cannot fetch", session.failure());
    }
  }
  group.clear();
  // The names must be on the disk too before the server's copies may go.
  if (flush && !placed.empty()) {
    // One flush for the whole group's names, shown as a step on one of them.
    BeforeWrite(WriteSite::kFtp, WriteKind::kSyncFolder,
                folder.Display(placed.front().first->oldname));
    if (const int err = SyncFolder(folder.fd())) {
      (void)session.LocalFail("Unable to flush folder " + folder.path(), err);
      // A plain loop: clang with this standard library rejects views::keys.
      for (auto& fetched : placed) {
        FileEntry* e = fetched.first;
        e->ready = false;
        engine.ReportProblem(pass, e->oldname, "Cannot fetch", session.failure());
      }
      return false;
    }
  }
  // The group under way is finished even when a stop is asked for meanwhile:
  // an interrupted deletion would leave the file both here and on the server.
  session.SetAbortCheck({});
  bool ended = false;
  const std::string place = OwedDeletions::PlaceOf(*pass.queue);
  for (auto& [e, facts] : placed) {
    if (!ended && session.Connected()) {
      ended = DeleteOnServer(engine, pass, session, folder, *e) == Fetched::kEnded;
      if (!ended) continue;
    }
    // The connection went before its deletion: the copy here is whole and
    // on the disk, so it is delivered, and the server's copy is deleted
    // once the server is back and still holds this very file (see
    // Candidates) instead of being fetched again, after a restart too.
    owed_.Add(place, std::move(facts));
    ended = true;
  }
  SaveOwed(engine, pass);
  session.SetAbortCheck([&engine] { return engine.StopRequested(); });
  return ended;
}

FtpStages::Fetched FtpStages::DeleteOnServer(Trenamethread& engine, const PassContext& pass,
                                             FtpSession& session, const Folder& folder,
                                             FileEntry& e) {
  if (session.Delete(e.oldname).ok()) {
    engine.ClearProblem(pass, e.oldname);
    DeleteMarkerOf(engine, pass, session, e.oldname);
    return Fetched::kDone;
  }
  engine.ReportProblem(pass, e.oldname, "Cannot delete on the server", session.failure());
  if (!session.Connected()) {
    // Whether the server deleted it before the line went is unknown: the copy
    // is kept and delivered, as a file twice is better than a file lost.
    return Fetched::kEnded;
  }
  // Refused. The server keeps offering the file, so it is left there alone
  // while it is unchanged, and this copy goes: delivered now, the file would
  // be delivered again whenever it is fetched once more (in the next run of
  // the program, for one).
  undeletable_[{pass.uid, e.oldname}] = RemoteEntry{e.oldname, e.filesize64, e.filetime};
  // Only the copy fetched here goes, never another file put under its name.
  struct stat st {};
  if (::fstatat(folder.fd(), e.oldname.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)} ==
          e.identity) {
    BeforeWrite(WriteSite::kFtp, WriteKind::kDelete, folder.Display(e.oldname));
    ::unlinkat(folder.fd(), e.oldname.c_str(), 0);
  }
  e.ready = false;
  return Fetched::kSkipped;
}

void FtpStages::SetProgress(EngineHost& host, int percent) {
  position_ = percent;
  try {
    host.FtpProgress(percent);
  } catch (...) {
    // A progress bar that cannot be set changes nothing about the files.
  }
}

void FtpStages::ShowFetchProgress(EngineHost& host, std::int64_t received) {
  const std::int64_t size = progressSize_;
  if (size <= 0) return;  // an empty file has no share to show
  // The product of a size near the 64-bit limit and 100 needs more room.
  __extension__ using Wide = __int128;
  std::int64_t percent = 0;
  if (received >= size) {
    percent = 100;
  } else if (received > 0) {
    percent = static_cast<std::int64_t>(static_cast<Wide>(received) * 100 / size);
  }
  if (percent != position_) SetProgress(host, static_cast<int>(percent));
}

void MakeFtpSessions(QueueTable& table, const FtpLimits& limits) {
  for (int slot = 1; slot <= QueueTable::kSlots; ++slot) {
    table.Update(slot, [&](QueueRecord& r) {
      if (!r.FTPsession) r.FTPsession = std::make_shared<FtpSession>(limits);
    });
  }
}

}  // namespace zf
