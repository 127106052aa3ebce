#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

namespace zf {

// Every step by which this program changes the disk passes one process-wide
// hook just before its system call. Nothing is set in the program itself;
// the reliability tests set it to record the order of the steps or to kill
// the process at any one of them, so that a crash can be placed at every
// moment a write is in flight.

// What a step does.
enum class WriteKind : std::uint8_t {
  kOpen,  // opening a source to copy from; nothing changes yet
  kCreate,
  kWrite,
  kTruncate,
  kSyncFile,
  kRename,  // replacing or moving a name
  kSyncFolder,
  kLink,
  kDelete,
  kMakeFolder,
  kRemoveFolder,
};

// Which part of the program takes the step.
enum class WriteSite : std::uint8_t {
  kFileOps,    // delivery's copies, renames, links and deletions
  kWholeFile,  // atomic whole-file replacement (configuration files)
  kTempFile,   // creation and clean-up of temporary files
  kLog,        // the per-queue log files
  kFtp,        // the local side of FTP fetches
};

// `path` is the file the step works on (for a folder flush: a file in it).
using WriteHook = void (*)(WriteSite site, WriteKind kind, std::string_view path);

namespace detail {
inline std::atomic<WriteHook> writeHook{nullptr};
}

// Sets the hook (null removes it); answers the one it replaces.
inline WriteHook SetWriteHook(WriteHook hook) {
  return detail::writeHook.exchange(hook, std::memory_order_acq_rel);
}

// Called before each write-path system call. Without a hook it costs one
// relaxed load.
inline void BeforeWrite(WriteSite site, WriteKind kind, std::string_view path) {
  if (const WriteHook hook = detail::writeHook.load(std::memory_order_relaxed)) {
    hook(site, kind, path);
  }
}

std::string_view WriteKindName(WriteKind kind);
std::string_view WriteSiteName(WriteSite site);

}  // namespace zf
