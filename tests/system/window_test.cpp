// The real program as a window on a real X server (Xvfb, started here): the
// window appears with its caption, a file dropped into a queue's folder is
// delivered while it runs, and a close request from the window system
// (WM_DELETE_WINDOW, as a window manager's close button sends it) ends the
// program through the close handshake with the close-time state written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "config/inifile.h"
#include "programrunner.h"
#include "serviceconfig.h"
#include "tempdir.h"
#include "xclient.h"

namespace zf {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ProgramRun;
using test::ReadFile;
using test::TempDir;
using test::WaitUntil;
using test::WriteFile;

// A virtual display of its own for each test (Xvfb, which it starts), and a
// configuration folder with one queue, "Sport", whose folders lie beside it.
class Window : public testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("/usr/bin/Xvfb")) GTEST_SKIP() << "Xvfb is not installed: run scripts/setup";
    for (const char* f : {"in", "out", "err", "xdg"}) fs::create_directories(dir.path() / f);
    fs::permissions(dir.path() / "xdg", fs::perms::owner_all);  // as a session's runtime folder
    // A display number of our own, so parallel runs (and this run's tests) do not meet.
    static int tests = 0;
    const std::string display = ":" + std::to_string(90 + (::getpid() + 50 * tests++) % 100);
    xvfb = std::make_unique<ProgramRun>(
        std::vector<std::string>{display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
        "/usr/bin/Xvfb");
    ASSERT_TRUE(WaitUntil(
        [&] {
          x = std::make_unique<test::XClient>(display);
          return x->connected();
        },
        10s))
        << xvfb->Err();
    ::setenv("DISPLAY", display.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (dir / "xdg").c_str(), 1);
    ::unsetenv("QT_QPA_PLATFORM");
  }
  void TearDown() override {
    x.reset();  // before the server goes: Xlib ends the process on a lost connection
    if (xvfb) xvfb->Signal(SIGTERM);
  }
  void Configure(bool autostart) {
    QueueRecord q = test::MakeQueue("Sport", dir / "in", dir / "out", dir / "err",
                                    {Rule{R"(Page(\d+)\.pdf)", "P$1.pdf", false, ""}});
    GeneralSettings settings = test::QuickSettings(1, 1);
    settings.autostart = autostart;
    test::WriteConfiguration(dir.path().string(), {q}, settings);
  }

  const TempDir dir;
  std::unique_ptr<ProgramRun> xvfb;
  std::unique_ptr<test::XClient> x;
};

TEST_F(Window, RunsTheEngineAndClosesOnTheWindowSystemsRequest) {
  Configure(true);
  ProgramRun program({"--config-dir", dir.path().string()});

  unsigned long window = 0;
  ASSERT_TRUE(WaitUntil([&] { return (window = x->FindWindow("Zentrafold")) != 0; }, 20s))
      << program.Err();

  WriteFile(dir / "in/Page03.pdf", "three");
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(dir / "out/P03.pdf"); }, 20s)) << program.Err();
  EXPECT_EQ(ReadFile(dir / "out/P03.pdf"), "three");
  // SIGUSR1 prints the status table, as the service does, and the window
  // goes on.
  program.Signal(SIGUSR1);
  EXPECT_TRUE(program.WaitForErr("Slot", 20s)) << program.Err();

  x->SendDeleteWindow(window);
  const std::optional<int> status = program.WaitExit(20s);
  ASSERT_TRUE(status.has_value()) << "the window did not close";
  EXPECT_EQ(*status, 0) << program.Err();
  const IniDocument ini = ReadIniFile(dir / "Zentrafold.ini");
  EXPECT_GT(ini.ReadInteger("form", "width", 0), 0) << "the close-time state was not written";

  // A desktop session ending, or a kill: SIGTERM closes the window the same
  // way, through the handshake, never abruptly.
  ProgramRun again({"--config-dir", dir.path().string()});
  ASSERT_TRUE(WaitUntil([&] { return x->FindWindow("Zentrafold") != 0; }, 20s)) << again.Err();
  WriteFile(dir / "in/Page04.pdf", "four");
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(dir / "out/P04.pdf"); }, 20s)) << again.Err();
  again.Signal(SIGTERM);
  const std::optional<int> termStatus = again.WaitExit(20s);
  ASSERT_TRUE(termStatus.has_value()) << "SIGTERM did not close the window";
  EXPECT_EQ(*termStatus, 0) << again.Err();
}

// Enter in the rule bench's test name must not press the queue dialog's OK.
// Keys come through the X server: Alt+F, C opens the queue dialog, Alt+R its
// rules page, Alt+I the test name.
TEST_F(Window, EnterInTheBenchKeepsTheQueueDialogOpenAndTheFileAsItWas) {
  Configure(false);
  ProgramRun program({"--config-dir", dir.path().string()});
  unsigned long window = 0;
  ASSERT_TRUE(WaitUntil([&] { return (window = x->FindWindow("Zentrafold")) != 0; }, 20s))
      << program.Err();
  const std::string before = ReadFile(dir / "Zentrafold.ini");
  unsigned long dialog = 0;
  ASSERT_TRUE(WaitUntil(
      [&] {
        x->Focus(window);
        x->SendKey(window, "f", true);
        x->SendKey(window, "c");
        return WaitUntil([&] { return (dialog = x->FindWindow("Input queue configuration")) != 0; },
                         2s);
      },
      20s))
      << program.Err();
  x->Focus(dialog);
  std::this_thread::sleep_for(300ms);  // the focus change reaches the program first
  for (const char* key : {"r", "i"}) x->SendKey(dialog, key, true);
  for (const char* key : {"p", "a", "g", "e", "Return"}) x->SendKey(dialog, key);
  std::this_thread::sleep_for(1s);  // time for a wrong close to show
  EXPECT_NE(x->FindWindow("Input queue configuration"), 0UL) << "Enter closed the dialog";
  EXPECT_EQ(ReadFile(dir / "Zentrafold.ini"), before);
  x->SendKey(dialog, "Escape");
  ASSERT_TRUE(WaitUntil([&] { return x->FindWindow("Input queue configuration") == 0; }, 10s));
  x->SendDeleteWindow(window);
  EXPECT_TRUE(program.WaitExit(20s).has_value());
}

}  // namespace
}  // namespace zf
