#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "config/queuetable.h"
#include "platform/datetime.h"
#include "platform/result.h"

namespace zf {

// A file fetched and kept here whose deletion on the server is still owed
// (the connection went before it), with what proves it is the same file
// when it is met again: the server's "unique" fact where its listing gives
// one, else the exact size and MDTM time asked for at the fetch.
struct OwedDelete {
  std::string name;
  std::int64_t size = 0;
  TDateTime time = 0;  // as listed
  std::string unique;
  std::int64_t modified = -1;  // MDTM seconds; -1 when not known

  bool operator==(const OwedDelete&) const = default;
};

// The owed deletions of all queues, kept in a small journal file so that a
// restart neither fetches such a file again (it was delivered) nor forgets
// to delete it. Each entry belongs to a place: the queue's name and the
// server folder it takes from, both stable across restarts. The journal is
// rewritten whole and atomically whenever it changed (Save); with no path
// it lives in memory only.
class OwedDeletions {
 public:
  explicit OwedDeletions(std::string path = {});

  // Reads the journal; a missing one is empty. Unreadable lines are left out.
  Status Load();
  // Writes the journal when something changed since the last write.
  Status Save();
  const std::string& path() const { return path_; }

  static std::string PlaceOf(const QueueRecord& queue);

  void Add(const std::string& place, OwedDelete entry);
  // The entry of `name` at `place`, or nullptr.
  const OwedDelete* Find(const std::string& place, const std::string& name) const;
  void Remove(const std::string& place, const std::string& name);
  // Forgets the entries of `place` whose file the server no longer lists.
  void KeepOnly(const std::string& place, const std::set<std::string>& listed);
  std::size_t size() const { return entries_.size(); }

 private:
  std::string path_;
  std::map<std::pair<std::string, std::string>, OwedDelete> entries_;
  bool changed_ = false;
};

// The journal's place: beside the queue file, named after it ("Zentrafold.ini"
// keeps "Zentrafold.ftpowed").
std::string OwedJournalPathFor(const std::string& queueFile);

}  // namespace zf
