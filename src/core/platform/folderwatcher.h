#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/uniquefd.h"

namespace zf {

// Tells that something happened in the watched folders: a file closed after
// writing, moved in or given new attributes, a folder gone, or more events
// than the kernel could queue. It never says what: whoever is woken looks at
// the folders again. Listing stays the only authority on what is there; an
// event only shortens a wait.
class FolderWatcher {
 public:
  virtual ~FolderWatcher() = default;
  // Watches exactly these folders from now on. One that cannot be watched
  // (not there yet, refused) is tried again at the next call.
  virtual void Watch(const std::vector<std::string>& folders) = 0;
  // Whether anything happened since the last call. Never blocks.
  virtual bool TakeEvents() = 0;
};

// The kernel's inotify. Reads only from folders on this machine: what other
// hosts write to a network share is seen by listing alone.
class InotifyFolderWatcher final : public FolderWatcher {
 public:
  InotifyFolderWatcher();
  bool usable() const { return fd_.valid(); }

  void Watch(const std::vector<std::string>& folders) override;
  bool TakeEvents() override;

 private:
  void Forget(int wd);

  UniqueFd fd_;
  std::map<std::string, int> watches_;  // folder -> watch descriptor
};

}  // namespace zf
