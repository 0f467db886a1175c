// The session's end on Linux. A signal handler may do next to nothing safely,
// so it only writes a byte into a pipe whose other end the event loop watches;
// the form hears of it there, on the user-interface thread.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <cerrno>

#include "qtfront.h"

namespace kelv::qtui {

namespace {

int g_wake[2] = {-1, -1};

void OnSignal(int) {
  const int saved = errno;
  const char byte = 1;
  (void)!::write(g_wake[1], &byte, 1);
  errno = saved;
}

void EndSession() {
  if (kelv::ui::TForm* form = MainForm()) {
    form->EndSession();
    return;
  }
  // No dialog, nothing to keep: ended as without us.
  signal(SIGTERM, SIG_DFL);
  raise(SIGTERM);
}

}  // namespace

void WatchSessionEnd() {
  // Without the pipe the signals keep their default, which ends the program
  // at once: no worse than before.
  if (g_wake[0] >= 0 || ::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier =
      new QSocketNotifier(g_wake[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, [] {
    char drain[64];
    while (::read(g_wake[0], drain, sizeof drain) > 0) {
    }
    EndSession();
  });
  struct sigaction sa {};
  sa.sa_handler = &OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  // The session manager asks before it ends the session; what it does after
  // is its own affair, so everything is kept now.
  QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest,
                   [](QSessionManager&) { EndSession(); });
}

}  // namespace kelv::qtui
