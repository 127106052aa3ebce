#pragma once

namespace zf {

// Names the calling thread (at most 15 characters are kept), so that
// `top -H`, `ps -L` and a debugger tell the program's threads apart, and so
// that a test can find the worker among them.
void NameThisThread(const char* name);

}  // namespace zf
