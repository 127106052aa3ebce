#pragma once

#include "commandline.h"

namespace zf::app {

// The headless service: the start-up sequence without windows, then the
// worker serves the queues until SIGINT, SIGTERM or SIGHUP asks it to stop;
// then the close handshake and the close-time state. Every visual log entry
// is printed as one line on standard output (see FormatLogLine); messages go
// to standard error. The program is switched on at start whatever `autostart`
// says: whoever starts the service wants it serving.
//
// Returns the exit status: 0 after an orderly stop, 1 when the close-time
// state could not be written, 2 for a configuration folder that does not
// exist.
int RunService(const CommandLine& cl);

}  // namespace zf::app
