#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "config/queuetable.h"
#include "config/settings.h"
#include "engine/renamethread.h"
#include "engine/stages.h"
#include "ftp/ftpsession.h"
#include "ftp/owedjournal.h"
#include "platform/result.h"

namespace zf {

// The stages of a queue whose input lies in a folder on an FTP server: the
// FTP step of the pre-check, discovery on the server, and the stability check
// that fetches every stable file into the queue's FTPTemppath and deletes it
// on the server. From there naming and delivery treat it as a local file.
//
// Each queue uses its own client (QueueRecord::FTPsession), which stays
// connected from pass to pass and is opened again only when the queue's host,
// user, password, port or folder changed or the server dropped it.
//
// Where the server's own handling would be unreliable the stages do it
// themselves: the folder is always listed in full and `Searchmask` applied
// here, with the same rule as local folders; only plain files are taken
// (folders, links and other entries never), only names that are safe to
// write locally, and no hidden name: ".x.part" is an upload under way.
//
// Once deleted on the server, a fetched file lives only in the queue's temp
// folder, so each pass also takes the complete files waiting there (by the
// rules of a local input folder); they take their place in time order with
// the server's. The folder is the queue's alone, so no queue takes up (or
// deletes) what another fetched.
//
// A fetched file whose deletion the lost connection prevented is owed: it is
// kept in a journal (OwedDeletions) and deleted on the server once it is seen
// again and proven to be the file fetched, never fetched a second time.
//
// With a ready marker pattern (Readyfile), a file is fetched only once it is
// stable and its marker stands in the same listing. Markers are never
// fetched; a marker is deleted on the server after its file was fetched and
// deleted there, retried in later passes while the server still lists that
// very marker. A marker without its file is left alone.
//
// A lost connection and its return are each reported once (ReportProblem,
// ReportRecovery), however many passes the outage lasts.
//
// A file that cannot be fetched, or not deleted on the server, is reported
// (ReportProblem) and skipped; the later files still come. Only a lost
// connection, a time-out or a stop ends the fetching of the pass. A file the
// server will not let us delete stays there, left alone while it is
// unchanged, for the rest of the run; its fetched copy is removed again, or
// it would be delivered once more in every pass.
class FtpStages final : public FtpIntake {
 public:
  // `ftpTimeoutMs` gives the connect time-out (FTPtimeout, in milliseconds;
  // -1 and 0: none of our own), read at each connect.
  explicit FtpStages(std::function<std::int32_t()> ftpTimeoutMs);
  explicit FtpStages(const WorkingSettings& settings);

  // Keeps the owed deletions in the journal at `path` (OwedJournalPathFor)
  // from now on, loading what it holds.
  Status UseJournal(const std::string& path);
  // The folder of the configuration, from which a queue's FTPknownhosts and
  // FTPkeyfile are taken when they are not whole paths.
  void SetConfigFolder(std::string folder) { configFolder_ = std::move(folder); }

  bool PrepareFtp(Trenamethread& engine, const RecordPtr& queue) override;
  Status ListRemote(Trenamethread& engine, PassContext& pass) override;
  Status FetchStable(Trenamethread& engine, PassContext& pass) override;
  std::string HeldOnServer(std::uint64_t uid) const override;

  // The progress of the file being fetched, from the bytes received so far:
  // the FTP progress bar is set when the percentage changes. The size is the
  // listed size of that file (SetProgressSize, done by the fetch loop).
  void ShowFetchProgress(EngineHost& host, std::int64_t received);
  void SetProgressSize(std::int64_t size) { progressSize_ = size; }

 private:
  std::shared_ptr<FtpSession> SessionOf(const QueueRecord& queue);
  // Logs in and enters FTPpath with the queue's settings.
  Status Open(FtpSession& session, const QueueRecord& queue);
  // The listing of the queue's folder as discovery may take it.
  Result<std::vector<RemoteEntry>> Candidates(Trenamethread& engine, FtpSession& session,
                                              const PassContext& pass);
  // Whether the server still holds the very file `owed` describes.
  bool StillTheFetchedFile(FtpSession& session, const OwedDelete& owed, const RemoteEntry& listed);
  // Forgets the memories of the queue's files that the server no longer lists.
  void ForgetGone(Trenamethread& engine, const PassContext& pass,
                  const std::vector<RemoteEntry>& listing);
  void SaveOwed(Trenamethread& engine, const PassContext& pass);
  // Tells of a change of the queue's connection: lost (`up` false, with the
  // reason) or back; nothing while it stays as it was.
  void NoteConnection(Trenamethread& engine, const RecordPtr& queue, bool up,
                      const std::string& reason);
  enum class Fetched { kDone, kSkipped, kEnded };
  // A file fetched into a temporary file, waiting for its group's flush, and
  // what identifies the server's copy.
  struct Fetch {
    FileEntry* entry;
    TempFile temp;
    OwedDelete facts;
  };
  // Fetches one stable file into a temporary file of the group; kEnded when
  // the fetching of the pass must end (connection lost, time-out, stop).
  // Every local step works in `folder`, the queue's own open FTP folder.
  Fetched FetchFile(Trenamethread& engine, const PassContext& pass, FtpSession& session,
                    const Folder& folder, FileEntry& entry, const RemoteEntry* listed,
                    std::vector<Fetch>& group);
  // Flushes the group's files together, gives each its name, flushes the
  // folder once and only then deletes each on the server, in order; true
  // when the fetching of the pass must end.
  bool CommitFetches(Trenamethread& engine, const PassContext& pass, FtpSession& session,
                     const Folder& folder, std::vector<Fetch>& group);
  // Deletes a fetched file on the server.
  Fetched DeleteOnServer(Trenamethread& engine, const PassContext& pass, FtpSession& session,
                         const Folder& folder, FileEntry& entry);
  void SetProgress(EngineHost& host, int percent);
  // Deletes on the server the marker of `file`, gone from there now, as last
  // listed; a refusal is reported (once per cause) and the marker kept due.
  void DeleteMarkerOf(Trenamethread& engine, const PassContext& pass, FtpSession& session,
                      const std::string& file);
  // Deletes the due markers the fresh listing still holds unchanged.
  void DeleteDueMarkers(Trenamethread& engine, const PassContext& pass, FtpSession& session);

  std::function<std::int32_t()> ftpTimeoutMs_;
  std::string configFolder_;
  // Clients of queues whose slot has none, by queue identity.
  std::map<std::uint64_t, std::shared_ptr<FtpSession>> ownSessions_;
  // Files the server would not let us delete, by queue identity and name, as
  // they were listed then (size and time count).
  std::map<std::pair<std::uint64_t, std::string>, RemoteEntry> undeletable_;
  // Files fetched and kept whose deletion on the server the lost connection
  // prevented; deleted when next seen and proven the same file.
  OwedDeletions owed_;
  // The ready markers of the queue's last listing, by queue identity and name.
  std::map<std::uint64_t, std::map<std::string, RemoteEntry>> markers_;
  // Markers the last listing held without their file, by queue identity.
  std::map<std::uint64_t, std::set<std::string>> loneMarkers_;
  // The lone markers of the queue's FetchStable before, by queue identity.
  std::map<std::uint64_t, std::set<std::string>> lone_;
  // Why the queue's files wait on the server, as of its last FetchStable.
  std::map<std::uint64_t, std::string> held_;
  // Markers whose file was fetched and deleted on the server, as listed then;
  // deleted next, by queue identity and name.
  std::map<std::pair<std::uint64_t, std::string>, RemoteEntry> dueMarkers_;
  // Whether each queue's server (user, host, port, folder) was reachable
  // when last tried, by queue identity.
  std::map<std::uint64_t, std::pair<std::string, bool>> reachable_;
  std::int64_t progressSize_ = 0;  // size of the file being fetched
  int position_ = 0;               // the FTP progress bar's position as last set
};

// One client for each of the 100 slots of the table, made at start-up before
// the engine runs; a slot that has one keeps it.
void MakeFtpSessions(QueueTable& table, const FtpLimits& limits = {});

}  // namespace zf
