// The real program as a window on a real X server (Xvfb, started here): the
// window appears with its caption, a file dropped into a queue's folder is
// delivered while it runs, and a close request from the window system
// (WM_DELETE_WINDOW, as a window manager's close button sends it) ends the
// program through the close handshake with the close-time state written.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "config/inifile.h"
#include "programrunner.h"
#include "serviceconfig.h"
#include "tempdir.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ProgramRun;
using test::ReadFile;
using test::TempDir;
using test::WaitUntil;
using test::WriteFile;

// The top-level window whose name is `title`, searched through the tree.
Window FindWindow(Display* display, Window root, const std::string& title) {
  char* name = nullptr;
  if (XFetchName(display, root, &name) != 0 && name != nullptr) {
    const bool match = title == name;
    XFree(name);
    if (match) return root;
  }
  Window parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  Window found = 0;
  if (XQueryTree(display, root, &root, &parent, &children, &count) != 0) {
    for (unsigned int i = 0; i < count && found == 0; ++i) {
      found = FindWindow(display, children[i], title);
    }
    if (children != nullptr) XFree(children);
  }
  return found;
}

void SendDeleteWindow(Display* display, Window window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
  XFlush(display);
}

TEST(Window, RunsTheEngineAndClosesOnTheWindowSystemsRequest) {
  if (!fs::exists("/usr/bin/Xvfb")) GTEST_SKIP() << "Xvfb is not installed: run scripts/setup";
  const TempDir dir;
  for (const char* f : {"in", "out", "err", "xdg"}) fs::create_directories(dir.path() / f);
  QueueRecord q = test::MakeQueue("Sport", dir / "in", dir / "out", dir / "err",
                                  {Rule{R"(Page(\d+)\.pdf)", "P$1.pdf", false, ""}});
  GeneralSettings settings = test::QuickSettings(1, 1);
  settings.autostart = true;
  test::WriteConfiguration(dir.path().string(), {q}, settings);

  // A display number of our own, so parallel runs do not meet.
  const std::string display = ":" + std::to_string(90 + ::getpid() % 100);
  ProgramRun xvfb({display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, "/usr/bin/Xvfb");
  Display* x = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (x = XOpenDisplay(display.c_str())) != nullptr; }, 10s))
      << xvfb.Err();
  std::unique_ptr<Display, int (*)(Display*)> connection(x, XCloseDisplay);

  ::setenv("DISPLAY", display.c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", (dir / "xdg").c_str(), 1);
  ::unsetenv("QT_QPA_PLATFORM");
  ProgramRun program({"--config-dir", dir.path().string()});

  Window window = 0;
  ASSERT_TRUE(WaitUntil(
      [&] { return (window = FindWindow(x, DefaultRootWindow(x), "Zentrafold")) != 0; }, 20s))
      << program.Err();

  WriteFile(dir / "in/Page03.pdf", "three");
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(dir / "out/P03.pdf"); }, 20s)) << program.Err();
  EXPECT_EQ(ReadFile(dir / "out/P03.pdf"), "three");

  SendDeleteWindow(x, window);
  const std::optional<int> status = program.WaitExit(20s);
  ASSERT_TRUE(status.has_value()) << "the window did not close";
  EXPECT_EQ(*status, 0) << program.Err();
  const IniDocument ini = ReadIniFile(dir / "Zentrafold.ini");
  EXPECT_GT(ini.ReadInteger("form", "width", 0), 0) << "the close-time state was not written";
  xvfb.Signal(SIGTERM);
}

}  // namespace
}  // namespace zf
