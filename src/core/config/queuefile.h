#pragma once

#include <string>
#include <vector>

#include "config/queuetable.h"
#include "config/systemregional.h"
#include "platform/files.h"
#include "platform/result.h"

namespace zf {

// The main window's layout as the queue configuration file keeps it.
struct WindowLayout {
  // Widths of the visual log's columns after the first ("Output", "Time",
  // "Comment"), stored as Columns1.. in that order; the first is not stored.
  std::vector<int> columnWidths;
  int width = 0;
  int height = 0;
  int left = 0;
  int top = 0;
};

// The queue configuration file "Zentrafold.ini": the queue table, the plugin
// field map and the window layout.
//
// Nothing is cached between calls: every load reads the file as it is now,
// and every save reads it, applies all its keys in memory and replaces it in
// one step, so a file shared with the general settings keeps the other
// saver's keys, and a failed save leaves the previous file whole.
class QueueConfigFile {
 public:
  static constexpr const char* kFileName = "Zentrafold.ini";

  // `regional` gives the form of the lastlogrenew date-times.
  explicit QueueConfigFile(std::string path, const FileSystem& fs = DefaultFileSystem(),
                           RegionalSettings regional = SystemRegionalSettings());
  const std::string& path() const { return path_; }

  // Loads the table and the plugin field map and publishes them to `table`
  // in one step. Every stored field of the queues 1..Nfolders is overwritten
  // (with its default where the key is missing) and Enabled becomes
  // Enabledatstart; FTPsession, FTPcurrentpath, slots above Nfolders and rules
  // and translations above the counts keep what they held. A queue keeps its
  // identity (uid) when a queue of the same name was in use before.
  //
  // Counts beyond the table's room (100 queues, 200 rules, 1000 translations)
  // are read only as far as the room goes and held at the limit, so a later
  // save writes the limit and leaves the keys beyond it in the file. Each
  // such cut is returned as a warning for the operator; loading never fails.
  std::vector<std::string> Load(QueueTable& table) const;

  // Writes the plugin field map, Nfolders and the sections Folder1..Nfolders
  // with their keys in the file's documented order. Sections above Nfolders
  // and rule and translation keys above the counts stay in the file.
  Status Save(const QueueTable& table) const;

  // At close: each queue's lastlogrenew, the column widths and the window's
  // size and position.
  Status WriteCloseState(const QueueTable& table, const WindowLayout& layout) const;

  // Column widths and the window's width and height from the file, `current`
  // giving the defaults; left and top are not read and stay as given.
  WindowLayout ReadWindowLayout(const WindowLayout& current) const;

 private:
  std::string path_;
  const FileSystem* fs_;
  RegionalSettings regional_;
};

}  // namespace zf
