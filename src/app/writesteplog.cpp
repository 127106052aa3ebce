#include "writesteplog.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "platform/writehook.h"

namespace zf::app {
namespace {

int g_stepLog = -1;

void LogStep(WriteSite /*site*/, WriteKind kind, std::string_view path) {
  std::string line = "zf-step ";
  line += WriteKindName(kind);
  line += '|';
  line += path;
  line += '\n';
  // One write per line on an O_APPEND file: lines of two threads never mix.
  if (::write(g_stepLog, line.data(), line.size()) < 0) {
    // A lost line shows as a step missing from the log, which is what it is.
  }
}

}  // namespace

bool LogWriteStepsTo(const char* path) {
  // A link planted under the log's name is not followed, and every run
  // starts the log afresh.
  g_stepLog = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (g_stepLog < 0) return false;
  SetWriteHook(&LogStep);
  return true;
}

}  // namespace zf::app
