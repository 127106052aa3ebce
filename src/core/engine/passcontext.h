#pragma once

#include <cstdint>
#include <string>

#include "config/queuetable.h"
#include "engine/filetable.h"

namespace zf {

// Everything one per-queue pass works with; made afresh for each queue in
// each pass and dropped at its end.
struct PassContext {
  int slot = 0;           // where the queue stood when its pass began (1-based)
  std::uint64_t uid = 0;  // the queue's identity, to find it again if it moves
  // The record as it stood when the pass began. Settings are taken from this
  // copy for the whole pass; only `Enabled` is read afresh from the table.
  RecordPtr queue;
  // Inputfolder, or for an FTP queue its own subfolder of FTPTemppath
  // (FtpTempFolderOf); ending in a separator.
  std::string inputFolder;
  std::string outputFolder;  // ending in a separator
  std::string errorFolder;   // ending in a separator, or empty for none
  FileTable files;
};

}  // namespace zf
