// A stand-in expression library that shows the loader's tests what reached it:
// it echoes its arguments, can misbehave on request, and counts calls that run
// at the same time.
//
// TryMatchExpression answers 1 when match equals name, and the number in name
// when match is "answer" (so that "any other value is no match" can be shown).
// FormatExpression writes "match|format|name|partial"; format "unterminated"
// fills the whole output without a terminating NUL, "silent" answers 1 without
// writing, "slow:..." holds the call for a moment. PDFSplitter answers page
// when path and folder arrive, else -7; path "block" holds the split until
// ProbeReleaseSplit (or ten seconds). MatchGroups answers the number in match
// when match starts with "answer:", else 1 with name copied as the raw output,
// so the test writes the group text the loader must read.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "exprlib/expressionabi.h"

#define ZF_EXPORT __attribute__((visibility("default")))

namespace {

std::atomic<int> calls{0};
std::atomic<int> in_flight{0};
std::atomic<int> max_in_flight{0};
std::atomic<bool> split_blocked{false};
std::atomic<bool> split_released{false};

class Flight {
 public:
  Flight() {
    ++calls;
    const int now = ++in_flight;
    int seen = max_in_flight.load();
    while (now > seen && !max_in_flight.compare_exchange_weak(seen, now)) {
    }
  }
  ~Flight() { --in_flight; }
};

}  // namespace

extern "C" {

ZF_EXPORT int ZF_EXPRLIB_CALL TryMatchExpression(const char* match, const char* name, int) {
  Flight flight;
  if (std::strcmp(match, "answer") == 0) return std::atoi(name);
  return std::strcmp(match, name) == 0 ? 1 : 0;
}

ZF_EXPORT int ZF_EXPRLIB_CALL FormatExpression(const char* match, const char* format,
                                               const char* name, char* output, int partial) {
  Flight flight;
  if (std::strcmp(format, "unterminated") == 0) {
    std::memset(output, 'x', zf::kExchangeBufferSize);
    return 1;
  }
  if (std::strcmp(format, "silent") == 0) return 1;
  if (std::strncmp(format, "slow:", 5) == 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const std::string text =
      std::string(match) + "|" + format + "|" + name + "|" + std::to_string(partial);
  if (text.size() >= zf::kExchangeBufferSize) return 0;
  std::memcpy(output, text.c_str(), text.size() + 1);
  return 1;
}

ZF_EXPORT int ZF_EXPRLIB_CALL PDFSplitter(const char* path, int page, const char* outfolder) {
  Flight flight;
  if (std::strcmp(path, "block") == 0) {
    split_blocked = true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!split_released && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    split_blocked = false;
    return split_released ? page : 0;
  }
  return path[0] != '\0' && outfolder[0] != '\0' ? page : -7;
}

ZF_EXPORT int ZF_EXPRLIB_CALL MatchGroups(const char* match, const char* name, int, char* output) {
  Flight flight;
  if (std::strncmp(match, "answer:", 7) == 0) return std::atoi(match + 7);
  std::strcpy(output, name);
  return 1;
}

ZF_EXPORT bool ProbeSplitBlocked() {
  return split_blocked.load();
}
ZF_EXPORT void ProbeReleaseSplit() {
  split_released = true;
}

ZF_EXPORT int ProbeCalls() {
  return calls.load();
}
ZF_EXPORT int ProbeMaxInFlight() {
  return max_in_flight.load();
}
ZF_EXPORT void ProbeReset() {
  calls = 0;
  max_in_flight = 0;
  split_released = false;
}

}  // extern "C"
