#include "ftp/ftpstages.h"

#include <utility>

#include "engine/masks.h"
#include "platform/fileaccess.h"

namespace zf {

FtpStages::FtpStages(std::function<std::int32_t()> ftpTimeoutMs)
    : ftpTimeoutMs_(std::move(ftpTimeoutMs)) {}

FtpStages::FtpStages(const WorkingSettings& settings)
    : FtpStages([&settings] { return settings.ftpTimeout.load(); }) {}

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
  session.SetConnectTimeoutMs(ftpTimeoutMs_ ? ftpTimeoutMs_() : -1);
  session.SetPassive(queue.FTPpassive);
  Status status = session.Connect();
  if (status.ok()) status = session.ChangeDir(queue.FTPpath);
  return status;
}

bool FtpStages::PrepareFtp(Trenamethread& engine, const RecordPtr& queue) {
  const QueueRecord& q = *queue;
  const std::shared_ptr<FtpSession> session = SessionOf(q);
  session->SetPassive(q.FTPpassive);
  // Compared exactly: a host, user or folder that differs only in letter
  // case may well be another one. The client's own folder is compared too,
  // in case it came to this queue from another slot.
  const bool changed = session->host() != q.FTPhost || session->user() != q.FTPuser ||
                       session->password() != q.FTPpasw || session->port() != q.FTPPort ||
                       q.FTPcurrentpath != q.FTPpath || session->currentDir() != q.FTPpath;
  if (changed && session->Connected() && !session->Disconnect().ok()) return false;
  if (session->Connected()) return true;  // unchanged and still open: no command at all

  if (!Open(*session, q).ok() || !session->Noop().ok()) return false;
  PassContext target;
  target.uid = q.uid;
  engine.UpdateQueue(target, [&](QueueRecord& r) { r.FTPcurrentpath = q.FTPpath; });
  return true;
}

Result<std::vector<RemoteEntry>> FtpStages::Candidates(Trenamethread& engine, FtpSession& session,
                                                       const QueueRecord& queue) {
  Result<std::vector<RemoteEntry>> listing = session.List(ListingDateOf(engine.clock().Now()));
  if (!listing.ok()) return listing.status();
  const IgnoreMasks ignored(queue.ignoremask);
  std::vector<RemoteEntry> taken;
  for (RemoteEntry& entry : listing.value()) {
    // The search mask is applied here, as local folders apply it: servers
    // treat a mask given with the listing command each in their own way.
    if (!ListingNameMatches(entry.name, queue.Searchmask)) continue;
    const Result<bool> ignore = ignored.Matches(entry.name);
    if (!ignore.ok()) return ignore.status();
    // A folder or a link can never be fetched; taken as a file, it would
    // fail in every cycle and hold up every later file of the queue.
    if (ignore.value() || entry.kind != RemoteEntry::Kind::kFile || !IsSafeRemoteName(entry.name)) {
      continue;
    }
    taken.push_back(std::move(entry));
  }
  return taken;
}

Status FtpStages::ListRemote(Trenamethread& engine, PassContext& pass) {
  FileTable& table = pass.files;
  table.set_count(0);
  const QueueRecord& q = *pass.queue;
  const std::shared_ptr<FtpSession> session = SessionOf(q);
  if (!session->Connected() && !Open(*session, q).ok()) return Status::Ok();

  Result<std::vector<RemoteEntry>> listing = Candidates(engine, *session, q);
  if (!listing.ok()) return listing.status();
  int count = 0;
  for (const RemoteEntry& entry : listing.value()) {
    if (count >= FileTable::kUsable) break;
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
  const std::shared_ptr<FtpSession> session = SessionOf(q);
  if (!session->Connected() && !Open(*session, q).ok()) return Status::Ok();

  Result<std::vector<RemoteEntry>> listing = Candidates(engine, *session, q);
  if (!listing.ok()) return listing.status();
  for (const RemoteEntry& entry : listing.value()) {
    for (int k = 1; k <= table.count(); ++k) {
      FileEntry& e = table.at(k);
      if (e.oldname == entry.name) {
        // The full size is compared, so a file of 2 GiB or more that is
        // still growing is never taken for unchanged.
        e.ready = entry.time == e.filetime && entry.size == e.filesize64;
        break;
      }
    }
  }

  EngineHost& host = engine.host();
  position_ = 0;  // the engine set the bar to 0 when this pass began
  bool ended = false;
  for (int k = 1; k <= table.count(); ++k) {
    FileEntry& e = table.at(k);
    if (!e.ready) continue;
    if (ended) {
      e.ready = false;
      continue;
    }
    bool failed = false;
    try {
      SetProgressSize(e.filesize64);
      session->SetProgressHandler(
          [&](std::int64_t received) { ShowFetchProgress(host, received); });
      // The copy is complete, flushed and of the listed size before the
      // server's copy is deleted; a failure of either leaves the file on the
      // server for the next cycle.
      Status status = session->Retrieve(e.oldname, pass.inputFolder + e.oldname, e.filesize64);
      if (status.ok()) status = session->Delete(e.oldname);
      session->SetProgressHandler({});
      failed = !status.ok();
    } catch (...) {
      session->SetProgressHandler({});
      e.ready = false;  // this entry only; the loop goes on
      continue;
    }
    if (failed) {
      e.ready = false;
      ended = true;
    }
    SetProgress(host, 0);
  }
  return Status::Ok();
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
