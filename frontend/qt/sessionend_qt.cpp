// The session's end on Linux. A signal handler may do next to nothing safely,
// so it only writes a byte into a pipe whose other end the event loop watches;
// the form hears of it there, on the user-interface thread.
// While a run is on, systemd-logind is asked to hold shutdown and sleep.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QThread>
#include <cerrno>
#include <cstdlib>

#include "qtfront.h"
#include "text.h"
#include "winsys.h"

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

// The toolkit ends the process with exit() when its display connection
// breaks (a logout or poweroff without a session manager): the event loop
// never returns and the dialog is never destroyed. A dialog still there at
// exit is ended as at the session's end; once, as every session end. An
// exit() from another thread leaves it alone: the dialog is not ours to touch
// there.
void AtExit() {
  const QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() != app->thread()) return;
  if (kelv::ui::TForm* form = MainForm()) {
    LoseDisplay();
    // Nothing may unwind out of exit(): it would land in the event loop's
    // caller with the display gone and the line still open.
    try {
      form->EndSession();
    } catch (...) {
    }
  }
}

}  // namespace

void WatchSessionEnd() {
  // Without the pipe the signals keep their default, which ends the program
  // at once: no worse than before.
  if (g_wake[0] >= 0 || ::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) return;
  std::atexit(&AtExit);
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
  QObject::connect(qGuiApp, &QGuiApplication::commitDataRequest,
                   [](QSessionManager&) { CommitData(); });
}

void CommitData() {
  kelv::ui::TForm* form = MainForm();
  // Idle, what the session manager does next is its own affair, so
  // everything is kept and the program ends now. During a run the logout may
  // still be cancelled: the form keeps what it can and the run goes on.
  if (form && !form->EndSessionBlock().empty()) {
    form->QueryEndSession();
  } else {
    EndSession();
  }
}

}  // namespace kelv::qtui

namespace kelv::winsys {

namespace {

constexpr char kInhibitBus[] = "kelv-inhibit";
// logind holds the system up while this descriptor is open anywhere.
QDBusUnixFileDescriptor g_inhibitor;

}  // namespace

void HoldSystem(const std::string& reason) {
  if (reason.empty()) {
    g_inhibitor = QDBusUnixFileDescriptor();
    return;
  }
  if (g_inhibitor.isValid()) return;
  // The system bus looked up at every hold rather than once per process, and
  // a connection of our own, let go at once: the descriptor is the hold.
  const QString address = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS",
                                               "unix:path=/run/dbus/system_bus_socket");
  {
    QDBusConnection bus = QDBusConnection::connectToBus(address, kInhibitBus);
    if (bus.isConnected()) {
      QDBusMessage call = QDBusMessage::createMethodCall(
          "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
          "Inhibit");
      call << QStringLiteral("shutdown:sleep") << ToQ(ApplicationTitle()) << ToQ(reason)
           << QStringLiteral("block");
      // No event is handled meanwhile; logind answers at once or not at all.
      const QDBusMessage reply = bus.call(call, QDBus::Block, 2000);
      if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        g_inhibitor = reply.arguments().first().value<QDBusUnixFileDescriptor>();
      }
    }
  }
  QDBusConnection::disconnectFromBus(kInhibitBus);
}

}  // namespace kelv::winsys
