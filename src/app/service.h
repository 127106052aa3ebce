#pragma once

#include "commandline.h"

namespace zf::app {

// The exit status of a service refused because another process holds the
// configuration's lock (or no lock can be taken there).
constexpr int kConfigurationInUse = 3;

// The headless service: the start-up sequence without windows, then the
// worker serves the queues until SIGINT, SIGTERM or SIGHUP asks it to stop;
// then the close handshake and the close-time state. Every visual log entry
// is printed as one line on standard output (see FormatLogLine); messages go
// to standard error. The program is switched on at start whatever `autostart`
// says: whoever starts the service wants it serving.
//
// Only one engine serves a configuration: the service takes the
// configuration folder's lock first and refuses to start without it. While it
// runs it reloads the queue file whenever that changes (a window beside it is
// a configuration editor whose saves reach the service this way).
//
// Returns the exit status: 0 after an orderly stop, 1 when the close-time
// state could not be written, 2 for a configuration folder that does not
// exist, kConfigurationInUse when another engine holds the configuration.
int RunService(const CommandLine& cl);

}  // namespace zf::app
