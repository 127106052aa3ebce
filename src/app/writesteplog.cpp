#include "writesteplog.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "platform/writehook.h"

namespace zf::app {
namespace {

int g_stepLog = -1;
int g_delayMs = 0;
std::string g_freezeName;

void Hold(WriteSite site, WriteKind kind, std::string_view path) {
  if (g_delayMs > 0 && site == WriteSite::kFileOps && kind == WriteKind::kWrite) {
    std::this_thread::sleep_for(std::chrono::milliseconds(g_delayMs));
  }
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (!g_freezeName.empty() && name == g_freezeName) {
    for (;;) ::pause();
  }
}

void LogStep(WriteSite site, WriteKind kind, std::string_view path) {
  Hold(site, kind, path);
  if (g_stepLog < 0) return;
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

void HoldWriteSteps(int delayMs, std::string freezeName) {
  g_delayMs = delayMs;
  g_freezeName = std::move(freezeName);
  SetWriteHook(&LogStep);
}

}  // namespace zf::app
