#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/datetime.h"
#include "platform/result.h"

namespace zf {

class FtpSession;  // the FTP layer's client; one per slot, made at start-up

struct Rule {
  std::string match;   // match expression for the expression library
  std::string format;  // builds the new name from the match
  bool partial = false;
  std::string trans;  // page-number format, used when the queue splits PDF files
};

struct Translation {
  std::string format;  // "Folder based" or "$1".."$20"
  std::string fromstr;
  std::string tostr;
  std::string definition;
};

// One input queue. Field names are the names the configuration file and the
// operators use, so they keep their historic spelling. A fresh slot holds
// empty texts, zeros and false; the loader applies the file's defaults.
struct QueueRecord {
  static constexpr int kMaxRules = 200;
  static constexpr int kMaxTranslations = 1000;

  QueueRecord();

  std::shared_ptr<FtpSession> FTPsession;
  std::string FTPcurrentpath;
  std::string name;
  std::string Inputfolder;
  std::string Outputfolder;
  std::string Errorfolder;
  std::string Searchmask;
  std::string ignoremask;
  bool FTPuse = false;
  std::string FTPhost;
  std::string FTPuser;
  std::string FTPpasw;
  std::int32_t FTPPort = 0;
  std::string FTPpath;
  std::string FTPTemppath;
  std::int32_t filetimetype = 0;
  bool Splitpdf = false;
  bool Enabledatstart = false;
  bool Enabled = false;
  std::int32_t NRegularexpr = 0;
  std::int32_t Ntranslations = 0;
  std::string transdatefrom;
  std::string transdateto;
  std::string translationresult;
  bool Makelog = false;
  TDateTime lastlogrenew = 0;
  std::string Logfile;
  std::int32_t logtype = 0;
  bool newonstart = false;
  bool daily = false;
  std::uint16_t dailyhour = 0;
  std::uint16_t dailyminute = 0;
  bool newonmax = false;
  std::int32_t Maxentries = 0;
  std::int32_t useplugin = 0;
  std::string HostName;
  std::string Database;
  std::string Username;
  std::string password;
  // Passive FTP data connections for this queue (the server names the port);
  // off by default, when the client names the port with PORT.
  bool FTPpassive = false;
  // How the queue reaches its server: 0 plain FTP, 1 FTP with explicit TLS
  // (AUTH TLS, required for control and data), 2 FTP with implicit TLS,
  // 3 SFTP. An FTPPort left empty in the file means the protocol's own port.
  std::int32_t FTPprotocol = 0;
  // The server's key as stored for this queue: TLS "sha256//<base64>" of its
  // public key, SFTP the SHA-256 of its host key ("SHA256:<base64>").
  std::string FTPfingerprint;
  // SFTP: the known_hosts file (relative to the configuration folder) that
  // holds the server's host key when FTPfingerprint is empty.
  std::string FTPknownhosts;
  // SFTP: a private key to log in with; FTPpasw is its passphrase.
  std::string FTPkeyfile;
  // What delivery does when the output folder already holds the new name
  // (see Collision below); 0, replacing it, is how queues always behaved.
  std::int32_t Collision = 0;
  // Names brought to Unicode NFC before masks and rules see them: senders on
  // some systems write decomposed letters that a typed rule never matches.
  bool Normalize = false;
  // A .pdf is not ready until its end is a complete PDF; after Checkpdfpasses
  // passes found incomplete it goes to the error folder.
  bool Checkpdf = false;
  std::int32_t Checkpdfpasses = 10;
  // A file is ready only once its marker exists: "{name}.done", "{base}.rdy"
  // ({name} the whole name, {base} without its last extension). Empty: none.
  std::string Readyfile;

  // Identity of this queue for the run: it moves with the record when queues
  // are deleted, so a writer that started on a queue never lands in another.
  std::uint64_t uid = 0;

  // 1-based, as operators and the file number them. Out-of-range numbers are
  // a programming error and throw std::out_of_range.
  Rule& rule(int k);
  const Rule& rule(int k) const;
  Translation& translation(int k);
  const Translation& translation(int k) const;

  // Rules in use (1..NRegularexpr, bounded by the table's room).
  int RuleCount() const;
  int TranslationCount() const;

 private:
  std::vector<Rule> rules_;
  std::vector<Translation> translations_;
};

enum FtpProtocolKind : std::int32_t {
  kFtpPlain = 0,
  kFtpExplicitTls = 1,
  kFtpImplicitTls = 2,
  kFtpSftp = 3,
};
// The port a queue of `protocol` uses when none is given: 21, 21, 990, 22.
std::int32_t DefaultFtpPort(std::int32_t protocol);
// The known_hosts file a queue names when the file says nothing.
inline constexpr const char* kDefaultKnownHosts = "known_hosts";

// A queue's Collision: what happens to a file whose new name the output
// folder already holds.
enum CollisionPolicy : std::int32_t {
  kCollisionReplace = 0,    // the newcomer replaces the old file
  kCollisionKeepBoth = 1,   // the newcomer takes the first free NAME_2.ext, NAME_3.ext, ...
  kCollisionToError = 2,    // the newcomer goes to the error folder
  kCollisionDuplicate = 3,  // replaced when the content differs, dropped when equal
};
inline constexpr std::int32_t kCollisionLast = kCollisionDuplicate;
// The junk that desktop clients leave in shared folders; the ignore mask a
// queue made in the dialog starts with.
inline constexpr const char* kJunkIgnoremask = "._*;.DS_Store;Thumbs.db;desktop.ini;~$*";

// The global record of plugin database field names; kept and written back only.
struct PluginFieldMap {
  std::string orvatictable, Publication, Date, Edtion, Section, Pagenumber, Pagename, Pagination,
      Copies, Color, Platetemplate, Templateoption;
  bool operator==(const PluginFieldMap&) const = default;
};

using RecordPtr = std::shared_ptr<const QueueRecord>;

// The 100-slot queue table shared by the user-interface thread and the engine.
//
// Each slot holds an immutable record behind a shared pointer (copy on write):
// a reader takes the pointer under a short lock and then reads at leisure, so
// it never sees a half-updated record or string; a writer copies, edits and
// swaps the pointer, and never waits for a reader that is busy with files.
class QueueTable {
 public:
  static constexpr int kSlots = 100;

  QueueTable();

  int Nfolders() const;

  // Slots 1..100; out-of-range numbers throw std::out_of_range.
  RecordPtr Record(int slot) const;
  QueueRecord Get(int slot) const { return *Record(slot); }
  void Put(int slot, QueueRecord record);
  // Copies the slot's record, applies `edit` and stores the result atomically.
  void Update(int slot, const std::function<void(QueueRecord&)>& edit);

  // Applies `edit` to the queue with this identity wherever it now stands
  // among the slots in use; false when that queue is no longer in the table.
  bool UpdateQueue(std::uint64_t uid, const std::function<void(QueueRecord&)>& edit);
  // The slot (1..Nfolders) that holds the queue with this identity, or 0.
  int SlotOf(std::uint64_t uid) const;

  // Lowest slot in 1..Nfolders whose name equals `name` exactly, or 0.
  int FindByName(std::string_view name) const;

  // Places a queue in slot Nfolders+1, starting from what that slot holds;
  // returns the slot. Refused when all 100 slots are in use.
  Result<int> Append(const std::function<void(QueueRecord&)>& fill);
  // Moves slots j+1..Nfolders down by one; the freed slot keeps its content.
  Status Delete(int slot);

  PluginFieldMap Plugin() const;
  void SetPlugin(const PluginFieldMap& map);

  // A consistent view of the whole table, and its atomic replacement; used by
  // the loader so that a reload appears to the engine in one step.
  struct State {
    int Nfolders = 0;
    std::array<RecordPtr, kSlots> slots;
    PluginFieldMap plugin;
    // The folder of the file the table was loaded from, where a queue's
    // relative FTPknownhosts and FTPkeyfile lie; empty before any load.
    std::string configFolder;
  };
  State Snapshot() const;
  // Sets Nfolders (clamped to 0..100) and the slots and plugin map of `state`.
  void Replace(State state);

  // A fresh identity for a queue record.
  std::uint64_t NewUid();

 private:
  static void CheckSlot(int slot);

  mutable std::mutex mutex_;
  State state_;
  std::atomic<std::uint64_t> nextUid_{1};
};

}  // namespace zf
