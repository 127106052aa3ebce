#pragma once

// What must hold after any crash, fault or hostile input, whatever the
// scenario: every input file in exactly one place, nothing half-visible under
// a final name, no temporary of ours left once the program has started again,
// and log and configuration files that are whole. The crash, fault and
// hostile-input suites all judge their runs with these checks, so that one
// definition of "nothing was lost" serves them all.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zf::fault {

// A content fingerprint (64-bit FNV-1a, as 16 hex digits). Inputs of one
// scenario must differ in content, so the fingerprint tells which input a
// file in any folder came from. The identifier a PDF writer gives each file
// it writes is left out, so a page split twice is the same page.
std::string ContentHash(std::string_view bytes);
// The fingerprint of a file, or empty when it cannot be read.
std::string HashFile(const std::string& path);

// The input files of a scenario, recorded before the program sees them.
class Ledger {
 public:
  // `pageHashes`: when the file is split, the fingerprints of its pages (from
  // a reference run); the file then counts as delivered when every page is in
  // an output folder. `mayVanish`: the program may delete it without a copy
  // (its queue has no error folder and no rule names it).
  void Add(const std::string& name, std::string_view content,
           std::vector<std::string> pageHashes = {}, bool mayVanish = false);
  // The same for a file already on disk.
  void AddFile(const std::string& path, std::vector<std::string> pageHashes = {},
               bool mayVanish = false);

  struct Input {
    std::string name;
    std::string hash;
    std::vector<std::string> pageHashes;
    bool mayVanish = false;
  };
  const std::vector<Input>& inputs() const { return inputs_; }
  // Every content a complete file under a final name may have: the inputs'
  // and their pages'.
  std::set<std::string> KnownHashes() const;

 private:
  std::vector<Input> inputs_;
};

// The folders of a scenario. Inputs are looked for in inputs, outputs (with
// their subfolders), errors, the FTP server's folders and FTPTemppath.
struct Places {
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  std::vector<std::string> errors;
  std::vector<std::string> ftpServer;
  std::vector<std::string> ftpTemp;
  std::vector<std::string> logFolders;  // CSV (.log) and XML (.xml) files in them
  // Configuration files and the contents each may hold (the old or the new).
  std::map<std::string, std::vector<std::string>> configFiles;
  // Further folders the program writes to (checked for leftovers only).
  std::vector<std::string> other;
};

// What a check found; empty when everything held.
struct Findings {
  std::vector<std::string> violations;
  bool ok() const { return violations.empty(); }
  // One violation per line, for a test's failure message.
  std::string Text() const;
  void Add(std::string text) { violations.push_back(std::move(text)); }
  void Merge(const Findings& other);
};

// Every input is in exactly one place, or gone where it may vanish; no file
// under a final name in an output or error folder has a content no input or
// page has (a torn or mixed copy).
Findings CheckPlaces(const Ledger& ledger, const Places& places);
// No temporary file of ours and no staging link is left in any folder of
// `places`.
Findings CheckNoLeftovers(const Places& places);
// Every CSV log holds only whole lines, every XML log parses, every
// configuration file holds one of its allowed contents.
Findings CheckLogsAndConfig(const Places& places);
// All three: what is checked after a restart and one pass.
Findings CheckAll(const Ledger& ledger, const Places& places);

// Watches the output and error folders while the program runs and reads every
// file under a final name it sees: each must have a known content at every
// moment. Runs on its own thread from Start to Stop.
class Observer {
 public:
  Observer(const Ledger& ledger, const Places& places, int intervalMs = 3);
  ~Observer();
  Observer(const Observer&) = delete;
  Observer& operator=(const Observer&) = delete;

  void Start();
  // Stops watching and answers what was seen; `rounds` tells how often the
  // folders were read, so a test can tell the watch really ran.
  Findings Stop();
  std::uint64_t rounds() const { return rounds_.load(); }

 private:
  void Run();

  std::set<std::string> known_;
  std::vector<std::string> folders_;
  int intervalMs_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> rounds_{0};
  std::thread thread_;
  std::mutex mutex_;
  Findings findings_;
};

}  // namespace zf::fault
