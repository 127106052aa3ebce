#pragma once

#include <string>

namespace zf::test {

// A connection to an X server for the window test. The X headers stay in
// xclient.cpp: their macros (None, Status, Bool) clash with ordinary names.
class XClient {
 public:
  // Connects to `display` (":99"); connected() tells whether it worked.
  explicit XClient(const std::string& display);
  ~XClient();
  XClient(const XClient&) = delete;
  XClient& operator=(const XClient&) = delete;

  bool connected() const { return display_ != nullptr; }
  // The shown window whose name is `title`, searched through the whole tree;
  // 0 for none.
  unsigned long FindWindow(const std::string& title);
  // What a window manager's close button sends: WM_DELETE_WINDOW.
  void SendDeleteWindow(unsigned long window);
  // A key press and release as the keyboard gives them to `window`; `key`
  // is an X key name ("Return", "f"), `alt` holds Alt down meanwhile.
  void SendKey(unsigned long window, const std::string& key, bool alt = false);
  // Gives `window` the keyboard focus, as a window manager would on a click;
  // a toolkit takes its Alt shortcuts only in its active window.
  void Focus(unsigned long window);

 private:
  void* display_ = nullptr;
};

}  // namespace zf::test
