#include "ncsend_line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

namespace ncsend {
namespace {

using Clock = std::chrono::steady_clock;
using Duration = Clock::duration;

std::string Errno(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

double Seconds(Duration d) {
  return std::chrono::duration<double>(d).count();
}

Duration Ms(int ms) {
  return std::chrono::milliseconds(ms);
}

// The device side of one Send(): what came back, and whether the line stands.
class Line {
 public:
  Line(int fd, const SendOptions& opt, SendReport& r) : fd_(fd), opt_(opt), r_(r) {}

  bool Interrupted() const { return opt_.interrupted && *opt_.interrupted; }

  // Waits until input arrives, the line takes output (when want_out), or
  // `until`; then reads what came. False when the line failed.
  bool Wait(Clock::time_point until, bool want_out, bool& writable) {
    writable = false;
    pollfd p{fd_, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0};
    const Duration left = std::max(until - Clock::now(), Duration::zero());
    timespec ts{};
    const bool forever = until == Clock::time_point::max();
    if (!forever) {
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      ts.tv_sec = static_cast<time_t>(ns / 1000000000);
      ts.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    const int n = ppoll(&p, 1, forever ? nullptr : &ts, nullptr);
    if (n < 0) {
      if (errno == EINTR) return true;
      r_.error = Errno("waiting on the line");
      return false;
    }
    if (n == 0) return true;
    if (p.revents & POLLOUT) writable = true;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) return ReadInput((p.revents & POLLHUP) != 0);
    return true;
  }

  // Reads whatever waits; DC1 and DC3 drive the flow state. A terminal set to
  // return at once (VMIN 0) reads 0 when empty, so only a hang-up that poll
  // reported makes 0 the end of the line.
  bool ReadInput(bool hung_up) {
    uint8_t buf[256];
    for (;;) {
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n > 0) {
        for (ssize_t i = 0; i < n; ++i) Received(buf[i]);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
      if (n == 0 && !hung_up) return true;
      r_.error = n == 0 || errno == EIO ? "the line was hung up" : Errno("reading the line");
      return false;
    }
  }

  // Writes up to n bytes; false on failure. `took` is 0 when the line is full.
  bool Write(const uint8_t* p, size_t n, size_t& took) {
    took = 0;
    const ssize_t w = write(fd_, p, n);
    if (w >= 0) {
      took = static_cast<size_t>(w);
      return true;
    }
    if (errno == EAGAIN || errno == EINTR) return true;
    r_.error = errno == EIO ? "write error: the line was hung up" : Errno("write error");
    return false;
  }

  bool SendDc2() {
    const uint8_t dc2 = kDC2;
    size_t took = 0;
    if (!Write(&dc2, 1, took)) return false;
    r_.dc2_sent += took;
    return true;
  }

  // Flow state, driven by what Received() sees.
  bool sending = false;       // the stream is under way: a DC3 stops it
  bool got_dc1 = false;       // any DC1 since the flag was cleared
  bool stop_pending = false;  // a DC3 was read; `overrun_left` more, then stop
  bool stopped = false;
  size_t overrun_left = 0;
  uint64_t position = 0;  // characters of the stream sent
  Clock::time_point stop_time{};
  bool resumed_now = false;  // a DC1 ended a stop; the pacing starts afresh

 private:
  void Received(uint8_t b) {
    if (b == kDC3) {
      ++r_.dc3;
      if (sending && !stop_pending && !stopped && !opt_.ignore_dc3) {
        stop_pending = true;
        overrun_left = opt_.overrun;
        Dc3Stop s;
        s.at = position;
        r_.stops.push_back(s);
        stop_time = Clock::now();
      }
    } else if (b == kDC1) {
      ++r_.dc1;
      got_dc1 = true;
      if (stop_pending || stopped) {
        Dc3Stop& s = r_.stops.back();
        s.resumed = true;
        s.paused_s = Seconds(Clock::now() - stop_time);
        stop_pending = stopped = false;
        resumed_now = true;
        if (opt_.on_resume) opt_.on_resume(s);
      }
    } else {
      ++r_.other;
    }
  }

  int fd_;
  const SendOptions& opt_;
  SendReport& r_;
};

std::string TimeoutText(int ms) {
  const int whole = ms / 1000;
  const int frac = ms % 1000;
  std::string s = std::to_string(whole);
  if (frac) {
    std::string f = std::to_string(1000 + frac).substr(1);
    while (!f.empty() && f.back() == '0') f.pop_back();
    s += "." + f;
  }
  return s + " s";
}

// Waits for a DC1, sending DC2 (when asked) after `first_dc2` and then every
// interval. False with the error set on time-out or failure.
bool AwaitDc1(Line& line, const SendOptions& opt, bool send_dc2, Duration first_dc2,
              const std::string& what, SendReport& r) {
  const Clock::time_point deadline =
      opt.timeout_ms > 0 ? Clock::now() + Ms(opt.timeout_ms) : Clock::time_point::max();
  Clock::time_point next_dc2 = send_dc2 ? Clock::now() + first_dc2 : Clock::time_point::max();
  line.got_dc1 = false;
  for (;;) {
    if (line.Interrupted()) {
      r.error = "interrupted";
      return false;
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      r.error = "no DC1 within " + TimeoutText(opt.timeout_ms) + " " + what;
      return false;
    }
    if (now >= next_dc2) {
      if (!line.SendDc2()) return false;
      next_dc2 += Ms(kDc2IntervalMs);
      if (next_dc2 < now) next_dc2 = now + Ms(kDc2IntervalMs);
    }
    bool writable = false;
    if (!line.Wait(std::min(deadline, next_dc2), false, writable)) return false;
    if (line.got_dc1) return true;
  }
}

}  // namespace

SendReport Send(int fd, const std::vector<uint8_t>& stream, const SendOptions& opt) {
  SendReport r;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    r.error = Errno("setting up the line");
    return r;
  }
  Line line(fd, opt, r);
  // Whatever waits from before is counted, but only a DC1 after our first DC2
  // answers the handshake.
  if (!line.ReadInput(false)) return r;

  if (opt.handshake) {
    const Clock::time_point t0 = Clock::now();
    if (!AwaitDc1(line, opt, true, Duration::zero(), "answering the DC2 handshake", r)) return r;
    r.handshake_answered = true;
    r.handshake_s = Seconds(Clock::now() - t0);
  }

  const size_t chunk = std::max<size_t>(opt.chunk, 1);
  const bool paced = opt.cps > 0;
  const Duration idle_limit = opt.timeout_ms > 0 ? Ms(opt.timeout_ms) : Duration::max();
  line.sending = true;
  const Clock::time_point start = Clock::now();
  Clock::time_point last_write = start;
  Clock::time_point last_progress = start;
  // Pacing: characters due since `base` at `cps`; restarted after any pause, so
  // that a stop is never followed by a burst.
  Clock::time_point base = start;
  uint64_t since_base = 0;
  bool blocked = false;

  while (line.position < stream.size()) {
    if (line.Interrupted()) {
      r.error = "interrupted";
      break;
    }
    if (line.resumed_now) {
      line.resumed_now = false;
      base = Clock::now();
      since_base = 0;
      last_progress = base;
    }
    if (line.stop_pending && line.overrun_left == 0) {
      line.stop_pending = false;
      line.stopped = true;
      if (opt.on_stop) opt.on_stop(r.stops.back());
    }
    if (line.stopped) {
      const std::string what = "after the DC3 at character " + std::to_string(r.stops.back().at);
      // A stopped receiver is given one interval to catch up before it is asked.
      if (!AwaitDc1(line, opt, opt.handshake, Ms(kDc2IntervalMs), what, r)) break;
      continue;
    }

    Clock::time_point now = Clock::now();
    size_t allow = chunk;
    Clock::time_point next_due = now;
    if (paced) {
      const double elapsed = Seconds(now - base);
      const auto due = static_cast<uint64_t>(std::floor(elapsed * opt.cps)) + 1;
      allow =
          due > since_base ? static_cast<size_t>(std::min<uint64_t>(due - since_base, chunk)) : 0;
      const double next_s = static_cast<double>(since_base + allow) / opt.cps;
      next_due = base + std::chrono::duration_cast<Duration>(std::chrono::duration<double>(next_s));
    }
    if (line.stop_pending) allow = std::min(allow, line.overrun_left);
    allow = std::min<size_t>(allow, stream.size() - line.position);

    if (allow > 0 && !blocked) {
      size_t took = 0;
      if (!line.Write(stream.data() + line.position, allow, took)) break;
      if (took == 0) {
        blocked = true;
      } else {
        line.position += took;
        r.bytes = line.position;
        since_base += took;
        if (line.stop_pending) {
          line.overrun_left -= std::min(took, line.overrun_left);
          r.stops.back().after += took;
        }
        last_write = last_progress = Clock::now();
        if (line.position == stream.size()) break;
      }
    }

    now = Clock::now();
    if (blocked && now - last_progress > idle_limit) {
      r.error = "the line took no character for " + TimeoutText(opt.timeout_ms);
      break;
    }
    Clock::time_point until = now;  // flat out: only look for input
    if (blocked) {
      until = idle_limit == Duration::max() ? Clock::time_point::max() : last_progress + idle_limit;
    } else if (paced && allow == 0) {
      until = next_due;
    }
    bool writable = false;
    if (!line.Wait(until, blocked, writable)) break;
    if (blocked && writable) {
      blocked = false;
      // The line was full; do not make up for the time it took nothing.
      base = Clock::now();
      since_base = 0;
    }
  }
  line.sending = false;
  r.seconds = Seconds(last_write - start);
  if (line.position < stream.size()) {
    if (r.error.empty()) r.error = "stopped before the end";
    return r;
  }

  // Linger: the receiver may still be reading what the device holds; a hang-up
  // now is no failure, everything was sent.
  const Clock::time_point linger_end = Clock::now() + Ms(opt.linger_ms);
  while (opt.linger_ms > 0 && Clock::now() < linger_end && !line.Interrupted()) {
    bool writable = false;
    if (!line.Wait(linger_end, false, writable)) {
      r.error.clear();
      break;
    }
  }
  r.ok = true;
  return r;
}

bool IsPseudoTerminal(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  // Linux numbers the far ends of pseudo-terminal pairs with majors 136 to 143.
  const unsigned m = major(st.st_rdev);
  return m >= 136 && m <= 143;
}

int OpenLine(const std::string& path, bool real_port, std::string& error) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    error = Errno("cannot open " + path);
    return -1;
  }
  if (!S_ISCHR(st.st_mode)) {
    error = path + " is not a terminal device";
    return -1;
  }
  if (!real_port && !IsPseudoTerminal(path)) {
    error = path + " is not a pseudo-terminal; give --real-port to open a real serial port";
    return -1;
  }
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = Errno("cannot open " + path);
    return -1;
  }
  if (!isatty(fd)) {
    close(fd);
    error = path + " is not a terminal device";
    return -1;
  }
  return fd;
}

void ConfigureLine(int fd, uint32_t baud, const LineFrame& frame,
                   std::vector<std::string>& warnings) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    warnings.push_back(Errno("line settings not readable"));
    return;
  }
  cfmakeraw(&t);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);  // DC1/DC3 are ours to read
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[frame.data_bits - 5] | CLOCAL | CREAD;
  switch (frame.parity) {
    case 'E':
      t.c_cflag |= PARENB;
      break;
    case 'O':
      t.c_cflag |= PARENB | PARODD;
      break;
    case 'M':
      t.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case 'S':
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (frame.stop_halves > 2) t.c_cflag |= CSTOPB;
  t.c_cc[VMIN] = 1;  // with O_NONBLOCK an empty line reads EAGAIN, not 0
  t.c_cc[VTIME] = 0;

  static const struct {
    uint32_t rate;
    speed_t code;
  } kSpeeds[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                 {150, B150},       {200, B200},       {300, B300},       {600, B600},
                 {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                 {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                 {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
  bool speed_set = false;
  for (const auto& s : kSpeeds) {
    if (s.rate == baud) {
      cfsetispeed(&t, s.code);
      cfsetospeed(&t, s.code);
      speed_set = true;
    }
  }
  if (!speed_set) {
    warnings.push_back("the device speed stays as it was: " + std::to_string(baud) +
                       " has no termios code (pacing is not affected)");
  }
  if (tcsetattr(fd, TCSANOW, &t) != 0) warnings.push_back(Errno("line settings not taken"));
}

bool MakePty(const std::string& link, Pty& out, std::string& error) {
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      error = link + " exists and is not a symbolic link; not replaced";
      return false;
    }
    if (unlink(link.c_str()) != 0) {
      error = Errno("cannot replace " + link);
      return false;
    }
  }
  Pty p;
  char name[256] = {};
  if (openpty(&p.master, &p.slave, name, nullptr, nullptr) != 0) {
    error = Errno("cannot make a pseudo-terminal");
    return false;
  }
  p.name = name;
  fcntl(p.master, F_SETFD, FD_CLOEXEC);
  fcntl(p.slave, F_SETFD, FD_CLOEXEC);
  termios t{};
  if (tcgetattr(p.slave, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(p.slave, TCSANOW, &t);
  }
  if (symlink(p.name.c_str(), link.c_str()) != 0) {
    error = Errno("cannot make the link " + link);
    ClosePty(p);
    return false;
  }
  p.link = link;
  out = p;
  return true;
}

bool AwaitOpener(Pty& p, int timeout_ms, const volatile std::sig_atomic_t* interrupted,
                 std::string& error) {
  if (p.slave >= 0) close(p.slave);
  p.slave = -1;
  const Clock::time_point deadline =
      timeout_ms > 0 ? Clock::now() + Ms(timeout_ms) : Clock::time_point::max();
  for (;;) {
    pollfd q{p.master, 0, 0};
    if (poll(&q, 1, 0) >= 0 && !(q.revents & POLLHUP)) return true;
    if (interrupted && *interrupted) {
      error = "interrupted";
      return false;
    }
    if (Clock::now() >= deadline) {
      error = "nobody opened the line within " + TimeoutText(timeout_ms);
      return false;
    }
    usleep(10000);
  }
}

void ClosePty(Pty& p) {
  if (!p.link.empty()) {
    char target[256] = {};
    const ssize_t n = readlink(p.link.c_str(), target, sizeof target - 1);
    if (n > 0 && p.name == std::string(target, static_cast<size_t>(n))) unlink(p.link.c_str());
    p.link.clear();
  }
  if (p.master >= 0) close(p.master);
  if (p.slave >= 0) close(p.slave);
  p.master = p.slave = -1;
}

}  // namespace ncsend
