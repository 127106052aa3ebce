#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/datetime.h"
#include "platform/fileidentity.h"

namespace zf {

// One candidate file of a per-queue pass.
struct FileEntry {
  std::string oldname;  // name as listed, without folder
  // The name rules see when the queue normalizes names and the listed one is
  // not NFC; empty otherwise. The file itself is always reached by oldname.
  std::string nfcname;
  const std::string& RuleName() const { return nfcname.empty() ? oldname : nfcname; }
  TDateTime filetime = 0;     // snapshot of the file's time (FAT two-second step)
  std::int32_t filesize = 0;  // snapshot of the size, kept in 32 bits as logged
  // The full size beside the 32-bit copy: files of 2 GiB and more must still
  // be seen growing, and must not look unchanged forever.
  std::int64_t filesize64 = 0;
  bool ready = false;
  // The file found stable (set with `ready`): delivery reads only this file,
  // whatever may have been put under its name since.
  FileIdentity identity;
  // An FTP queue's file already waiting in FTPTemppath (fetched in an earlier
  // pass, not delivered): taken as it is, never fetched.
  bool waiting = false;
  std::string newname;  // may name a subfolder of the output folder: "sub/name"
  bool unresolved = false;
  // A rule gave a name that cannot be used (it would leave the output folder,
  // names a subfolder that does not exist, ...): such a file goes to the error
  // folder, or stays where it is; it is never deleted for it.
  bool refused = false;
  std::string comment;
  std::string reason;  // why, for the operator, beside the comment
  std::int32_t pagenumber = 0;
};

// The file table of one per-queue pass: places numbered from 1, room for 1000,
// discovery fills at most 999.
class FileTable {
 public:
  static constexpr int kPlaces = 1000;
  static constexpr int kUsable = 999;

  FileTable() : entries_(kPlaces) {}

  int count() const { return count_; }
  void set_count(int count) {
    if (count < 0 || count > kUsable) throw std::out_of_range("file table count out of range");
    count_ = count;
  }

  FileEntry& at(int place) {
    if (place < 1 || place > kPlaces) throw std::out_of_range("file table place out of range");
    return entries_[static_cast<std::size_t>(place - 1)];
  }
  const FileEntry& at(int place) const {
    if (place < 1 || place > kPlaces) throw std::out_of_range("file table place out of range");
    return entries_[static_cast<std::size_t>(place - 1)];
  }

 private:
  std::vector<FileEntry> entries_;
  int count_ = 0;
};

}  // namespace zf
