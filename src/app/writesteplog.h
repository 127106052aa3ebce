#pragma once

#include <string>

namespace zf::app {

// Appends every write-path step (see platform/writehook.h) to the file
// `path`, one line each: "zf-step <kind>|<path>". The reliability suite sets
// ZF_WRITE_STEP_LOG to this so that it can hold the steps the program meant
// to take against the system calls it made; only builds with tests honour the
// variable (ZF_STEP_LOG), and each run starts the file afresh. Answers false
// when the file cannot be opened or is a link; nothing is logged then.
bool LogWriteStepsTo(const char* path);

// Test builds: each chunk of a delivery's copy waits `delayMs` (a long copy on a
// fast disk), and the first step on a path whose name is `freezeName` never
// returns (a worker stuck in a system call). Set before the worker starts.
void HoldWriteSteps(int delayMs, std::string freezeName);

}  // namespace zf::app
