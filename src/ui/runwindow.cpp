#include "runwindow.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>

#include "configuration.h"
#include "messages.h"
#include "tformmain.h"

namespace zf::ui {
namespace {

// A signal handler may do almost nothing: it writes one byte into a socket
// whose other end the window's event loop watches, and the close happens
// there, through the ordinary close handshake.
int g_signalSocket[2] = {-1, -1};

void OnStopSignal(int) {
  const char byte = 1;
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
      (void)::read(g_signalSocket[1], &byte, 1);
      window.close();  // refused and repeated until the engine has finished
    });
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
  }
  ::signal(SIGPIPE, SIG_IGN);

  window.show();
  return application.exec();
}

}  // namespace zf::ui
