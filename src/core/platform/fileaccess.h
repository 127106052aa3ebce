#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/fileidentity.h"
#include "platform/result.h"

namespace zf {

// Attribute bits of a listed entry, with the values the desktop platform uses
// for them, so that code and logs read the same on every port.
namespace fileattr {
constexpr std::uint32_t kReadOnly = 0x01;
constexpr std::uint32_t kHidden = 0x02;
constexpr std::uint32_t kSystem = 0x04;
constexpr std::uint32_t kVolumeLabel = 0x08;
constexpr std::uint32_t kDirectory = 0x10;
// Not a file and not a folder: a pipe, a socket or a device node. Reading one
// may block for ever, so the engine leaves such entries alone.
constexpr std::uint32_t kDevice = 0x40;
// A symbolic link, reported for the link itself and never for its target.
constexpr std::uint32_t kSymlink = 0x400;
}  // namespace fileattr

// A POSIX instant: seconds and nanoseconds since 1970-01-01 UTC.
struct UnixTime {
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  bool operator==(const UnixTime&) const = default;
};

// What one look-up tells about an entry. Links are never followed.
struct FileInfo {
  std::string name;  // without folder
  std::int64_t size = 0;
  std::uint32_t attributes = 0;  // fileattr bits
  // Creation is the birth time where the file system records one, otherwise
  // the time of the last status change, the nearest thing it keeps.
  UnixTime creation;
  UnixTime lastAccess;
  UnixTime lastWrite;
  bool creationIsBirth = false;
  // Which file this is: the copy checks it still reads the file that was
  // found stable, not one swapped in under the same name since.
  FileIdentity identity;

  bool Has(std::uint32_t attribute) const { return (attributes & attribute) != 0; }
};

// An open folder listing; closed when the object goes, whichever way the
// caller leaves its loop.
class DirListing {
 public:
  virtual ~DirListing() = default;
  // The next matching entry in listing order; false at the end.
  virtual bool Next(FileInfo& entry) = 0;
};

// Listing, look-ups and existence tests of the file system. The engine takes
// one by reference, so tests can make a look-up fail or change the folder at a
// chosen moment while the real file system does the rest.
class FileAccess {
 public:
  virtual ~FileAccess() = default;

  // The entries of the folder named by `pattern` (a folder, a separator and a
  // wildcard mask) whose names fit the mask as the desktop lists them (see
  // ListingNameMatches). Entries of every kind come, "." and ".." included.
  // An error when the folder cannot be opened or the mask is empty.
  virtual Result<std::unique_ptr<DirListing>> List(const std::string& pattern) = 0;

  // The entry itself (a link is not followed). ENOENT when it is missing.
  virtual Result<FileInfo> Stat(const std::string& path) = 0;

  // True for an existing entry that is not a folder, or a folder; links to
  // them count, as a configured folder may well be one.
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool DirectoryExists(const std::string& path) = 0;
};

// The operating system's file system. Not final: tests derive from it to make
// single calls fail.
class SystemFileAccess : public FileAccess {
 public:
  Result<std::unique_ptr<DirListing>> List(const std::string& pattern) override;
  Result<FileInfo> Stat(const std::string& path) override;
  bool FileExists(const std::string& path) override;
  bool DirectoryExists(const std::string& path) override;
};

// The wildcard rule of folder listings: `*` any run of characters, `?` one
// character, the letters a to z without regard to case. A mask that ends in
// ".*" also takes names without that extension, so "*.*" takes every name,
// names without a dot included, and "report.*" takes "report".
bool ListingNameMatches(std::string_view name, std::string_view mask);

}  // namespace zf
