#pragma once

namespace zf::app {

// Appends every write-path step (see platform/writehook.h) to the file
// `path`, one line each: "zf-step <kind>|<path>". The reliability suite sets
// ZF_WRITE_STEP_LOG to this so that it can hold the steps the program meant
// to take against the system calls it made; only builds with tests honour the
// variable (ZF_STEP_LOG), and each run starts the file afresh. Answers false
// when the file cannot be opened or is a link; nothing is logged then.
bool LogWriteStepsTo(const char* path);

}  // namespace zf::app
