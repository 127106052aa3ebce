#include "runwindow.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <QApplication>
#include <QSocketNotifier>

#include "config/systemregional.h"
#include "configuration.h"
#include "lineprinter.h"
#include "messages.h"
#include "tformmain.h"

namespace zf::ui {
namespace {

// A signal handler may do almost nothing: it writes the signal's number into
// a socket whose other end the window's event loop watches. There SIGUSR1
// prints the status table on the standard error, as the service does, and
// the others close the window through the ordinary close handshake.
int g_signalSocket[2] = {-1, -1};

void OnSignal(int signal) {
  const auto byte = static_cast<char>(signal);
  (void)::write(g_signalSocket[0], &byte, 1);
}

}  // namespace

int RunWindow(const std::string& configDir) {
  const auto paths = app::ResolveConfigPaths(configDir);
  if (!paths.ok()) {
    app::PrintError(paths.status().message());
    return 2;
  }
  int argc = 1;
  char name[] = "zentrafold";
  char* argv[] = {name, nullptr};
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Zentrafold"));

  BoxMessages messages;
  TFormmain window(*paths, messages);

  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalSocket) == 0) {
    auto* notifier = new QSocketNotifier(g_signalSocket[1], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
      char byte = 0;
      if (::read(g_signalSocket[1], &byte, 1) != 1) return;
      if (byte == SIGUSR1) {
        const std::string table =
            app::FormatStatusTable(window.core().StatusSnapshot(), SystemRegionalSettings());
        std::fputs(table.c_str(), stderr);
        std::fflush(stderr);
        return;
      }
      window.close();  // refused and repeated until the engine has finished
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
      ::sigaction(signal, &action, nullptr);
    // Blocked since start-up (main.cpp); one that came meanwhile is taken now.
    sigset_t status;
    sigemptyset(&status);
    sigaddset(&status, SIGUSR1);
    ::pthread_sigmask(SIG_UNBLOCK, &status, nullptr);
  }
  ::signal(SIGPIPE, SIG_IGN);

  window.show();
  return application.exec();
}

}  // namespace zf::ui
