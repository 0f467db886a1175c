// A stand-in for systemd-logind, for the Qt tests: a message bus of its own
// (dbus-daemon), made this process's system bus at the first Get(), where it
// hands out inhibitors and tells which are still held open. Without
// dbus-daemon it stays down (Up() false).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QThread>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

class FakeLogind : public QDBusVirtualObject {
 public:
  struct Inhibitor {
    std::string what, why, mode;  // UTF-8, as asked for
    int write_end;                // of a pipe whose read end was handed out
  };
  static FakeLogind& Get() {
    static FakeLogind* one = new FakeLogind;  // lives as long as the process
    return *one;
  }
  bool Up() const { return up_; }

  // The inhibitors whose descriptor is still open somewhere: a pipe without
  // readers reports an error to its writer.
  std::vector<Inhibitor> Held() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Inhibitor> out;
    for (const Inhibitor& i : given_) {
      pollfd p{i.write_end, POLLOUT, 0};
      if (poll(&p, 1, 0) == 1 && !(p.revents & POLLERR)) out.push_back(i);
    }
    return out;
  }

  bool handleMessage(const QDBusMessage& m, const QDBusConnection& c) override {
    const QList<QVariant> a = m.arguments();
    int ends[2];
    if (m.member() != "Inhibit" || a.size() != 4 || pipe2(ends, O_CLOEXEC) != 0) return false;
    {
      // Kept before the answer goes: the caller may ask what is held as soon
      // as it has it.
      std::lock_guard<std::mutex> lock(mu_);
      given_.push_back({a[0].toString().toStdString(), a[2].toString().toStdString(),
                        a[3].toString().toStdString(), ends[1]});
    }
    const QDBusUnixFileDescriptor fd(ends[0]);  // a copy of its own
    ::close(ends[0]);
    c.send(m.createReply(QVariant::fromValue(fd)));
    return true;
  }
  QString introspect(const QString&) const override { return {}; }

 private:
  FakeLogind() {
    int out[2];
    if (pipe(out) != 0) return;
    if (fork() == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      dup2(out[1], 1);
      execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--print-address=1",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    ::close(out[1]);
    std::string address;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') address += c;
    ::close(out[0]);
    if (address.empty()) return;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    // Its calls come while the user-interface thread waits for the answer.
    thread_.start();
    moveToThread(&thread_);
    QDBusConnection bus = QDBusConnection::connectToBus(QString::fromStdString(address), "logind");
    up_ = bus.registerService("org.freedesktop.login1") &&
          bus.registerVirtualObject("/org/freedesktop/login1", this);
  }

  QThread thread_;
  bool up_ = false;
  mutable std::mutex mu_;
  std::vector<Inhibitor> given_;
};
