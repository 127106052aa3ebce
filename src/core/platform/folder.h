#pragma once

#include <string>
#include <string_view>

#include "platform/fileidentity.h"
#include "platform/result.h"
#include "platform/uniquefd.h"

namespace zf {

// An open folder. Every step that changes the disk names a file relative to
// one of these, so a folder swapped for a link after it was opened cannot
// redirect the step. The path is kept only for messages and the fault seam.
class Folder {
 public:
  Folder() = default;

  // A configured folder. Its own path may pass through links (an operator
  // may well configure one); everything below it is opened without.
  static Result<Folder> Open(const std::string& path);

  // The subfolder `name` (one component), never through a link.
  Result<Folder> Sub(std::string_view name) const;
  // The subfolder at `relative` ("a/b"), walked component by component.
  Result<Folder> Walk(std::string_view relative) const;
  // A second handle on the same folder.
  Result<Folder> Dup() const;

  int fd() const { return fd_.get(); }
  bool valid() const { return fd_.valid(); }
  // The folder's path, ending in "/".
  const std::string& path() const { return path_; }
  std::string Display(std::string_view name) const { return path_ + std::string(name); }
  // Device and inode of the folder itself.
  FileIdentity Identity() const;
  // A path that reaches the open folder itself, whatever happened to its
  // name since, for code that only takes paths.
  std::string ProcPath() const;

 private:
  Folder(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

  UniqueFd fd_;
  std::string path_;
};

}  // namespace zf
