#include "folderwatcher.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <set>

namespace zf {
namespace {

// What makes a file worth a look: written and closed, moved in, touched
// (a writer that sets the time last, a read-only flag cleared). A folder
// deleted or moved away ends its watch; it is watched afresh when it is back.
constexpr std::uint32_t kEvents =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

InotifyFolderWatcher::InotifyFolderWatcher() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

void InotifyFolderWatcher::Watch(const std::vector<std::string>& folders) {
  if (!fd_.valid()) return;
  const std::set<std::string> wanted(folders.begin(), folders.end());
  for (auto it = watches_.begin(); it != watches_.end();) {
    if (wanted.contains(it->first)) {
      ++it;
      continue;
    }
    const int wd = it->second;
    it = watches_.erase(it);
    // Two names of one folder share a watch; it goes with the last of them.
    bool shared = false;
    for (const auto& w : watches_) shared = shared || w.second == wd;
    if (!shared) ::inotify_rm_watch(fd_.get(), wd);
  }
  for (const std::string& folder : wanted) {
    if (folder.empty() || watches_.contains(folder)) continue;
    const int wd = ::inotify_add_watch(fd_.get(), folder.c_str(), kEvents);
    if (wd >= 0) watches_[folder] = wd;
  }
}

void InotifyFolderWatcher::Forget(int wd) {
  for (auto it = watches_.begin(); it != watches_.end();) {
    it = it->second == wd ? watches_.erase(it) : std::next(it);
  }
}

bool InotifyFolderWatcher::TakeEvents() {
  if (!fd_.valid()) return false;
  alignas(inotify_event) char buffer[4096];
  bool any = false;
  for (;;) {
    const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    any = true;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      // A folder moved away keeps its watch on the old inode: drop it, so
      // that the name is watched again at the next call.
      if (event->mask & (IN_IGNORED | IN_MOVE_SELF | IN_DELETE_SELF)) {
        if (event->mask & IN_MOVE_SELF) ::inotify_rm_watch(fd_.get(), event->wd);
        Forget(event->wd);
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return any;
}

}  // namespace zf
