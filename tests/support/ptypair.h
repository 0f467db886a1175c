// A pseudo-terminal pair whose master side plays the far end of the line, and
// polling helpers with generous deadlines.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "handover.h"
#include "rs232c.h"

namespace ptytest {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kDeadline{10};

inline int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Polls pred until it holds or the deadline passes; serves hand-overs meanwhile
// when `serve` is set, as the user-interface thread's message loop would.
inline bool PollUntil(const std::function<bool()>& pred, bool serve = true,
                      std::chrono::milliseconds deadline = kDeadline) {
  const auto end = Clock::now() + deadline;
  for (;;) {
    if (serve) HandOver::Ui().ServePending();
    if (pred()) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

class FarEnd {
 public:
  FarEnd() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) return;
    termios t{};
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::close(slave);  // the program opens it by name
    path_ = name;
  }
  ~FarEnd() { Hangup(); }
  FarEnd(const FarEnd&) = delete;
  FarEnd& operator=(const FarEnd&) = delete;

  bool ok() const { return master_ >= 0 && !path_.empty(); }
  int fd() const { return master_; }
  const std::string& path() const { return path_; }

  // Writes what the line takes now; the count written.
  size_t WriteSome(const uint8_t* data, size_t n) {
    if (master_ < 0) return 0;
    const ssize_t done = ::write(master_, data, n);
    return done > 0 ? static_cast<size_t>(done) : 0;
  }

  // Everything the receiver has sent so far, without waiting.
  void Collect(Bytes& into) {
    uint8_t buf[256];
    while (master_ >= 0) {
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) return;
      into.insert(into.end(), buf, buf + n);
    }
  }

  bool Send(const Bytes& b) {
    size_t done = 0;
    const auto end = Clock::now() + kDeadline;
    while (done < b.size() && Clock::now() < end) {
      const ssize_t n = ::write(master_, b.data() + done, b.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 10);
      }
    }
    return done == b.size();
  }
  bool Send(const std::string& s) { return Send(Bytes(s.begin(), s.end())); }

  // Reads until n bytes have come or the deadline passes.
  Bytes Receive(size_t n) {
    Bytes out;
    const auto end = Clock::now() + kDeadline;
    uint8_t buf[4096];
    while (out.size() < n && Clock::now() < end) {
      const ssize_t got = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
      if (got > 0) {
        out.insert(out.end(), buf, buf + got);
      } else {
        pollfd p{master_, POLLIN, 0};
        poll(&p, 1, 10);
      }
    }
    return out;
  }

  // Reads whatever is there, for at most `ms` without any new byte.
  Bytes Drain(int ms) {
    Bytes out;
    uint8_t buf[4096];
    for (;;) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, ms) <= 0 || !(p.revents & POLLIN)) return out;
      const ssize_t got = ::read(master_, buf, sizeof buf);
      if (got <= 0) return out;
      out.insert(out.end(), buf, buf + got);
    }
  }

  void Hangup() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string path_;
};

// A component on the pty with the given settings applied on top of the
// constructor's, short enough time-outs for tests that expect data.
inline void UsePty(Trs232c& port, const FarEnd& far) {
  port.portname = far.path();
  port.rxtimeout = 5000;
  port.txtimeout = 5000;
}

// A component opened on a fresh pseudo-terminal, `tweak` applied to its
// settings first; a test checks `opened`.
struct OpenedPty {
  FarEnd far;
  Trs232c port{nullptr};
  bool opened = false;
  explicit OpenedPty(const std::function<void(Trs232c&)>& tweak = nullptr) {
    if (!far.ok()) return;
    UsePty(port, far);
    if (tweak) tweak(port);
    opened = port.Open();
  }
};

inline Bytes AllByteValues() {
  Bytes b;
  for (int i = 0; i < 256; ++i) b.push_back(static_cast<uint8_t>(i));
  // Sequences a mark decoder could mistake, and the line ends.
  for (uint8_t x : {0xFF, 0x00, 0x41, 0xFF, 0xFF, 0x0D, 0x0A, 0x00, 0x0D, 0xFF}) b.push_back(x);
  return b;
}

}  // namespace ptytest
