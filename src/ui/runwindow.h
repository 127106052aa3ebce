#pragma once

#include <string>

namespace zf::ui {

// The window face of the program: a QApplication and the main window on the
// configuration in `configDir` (empty: the program's folder). SIGINT, SIGTERM
// and SIGHUP close the window as its close box does, handshake included.
// Answers the program's exit status.
int RunWindow(const std::string& configDir);

}  // namespace zf::ui
