#include "platform/writehook.h"

namespace zf {

std::string_view WriteKindName(WriteKind kind) {
  switch (kind) {
    case WriteKind::kOpen:
      return "open";
    case WriteKind::kCreate:
      return "create";
    case WriteKind::kWrite:
      return "write";
    case WriteKind::kTruncate:
      return "truncate";
    case WriteKind::kSyncFile:
      return "flush file";
    case WriteKind::kRename:
      return "rename";
    case WriteKind::kSyncFolder:
      return "flush folder";
    case WriteKind::kLink:
      return "link";
    case WriteKind::kDelete:
      return "delete";
    case WriteKind::kMakeFolder:
      return "make folder";
    case WriteKind::kRemoveFolder:
      return "remove folder";
  }
  return "step";
}

std::string_view WriteSiteName(WriteSite site) {
  switch (site) {
    case WriteSite::kFileOps:
      return "file operations";
    case WriteSite::kWholeFile:
      return "whole-file write";
    case WriteSite::kTempFile:
      return "temporary file";
    case WriteSite::kLog:
      return "log file";
    case WriteSite::kFtp:
      return "FTP fetch";
  }
  return "write";
}

}  // namespace zf
