// The termios backend of the serial device interface.
//
// It behaves like the overlapped serial driver the component was written for:
//  - The device is opened exclusively (TIOCEXCL, which root may pass, and an
//    flock that nobody passes), without becoming the controlling terminal, and
//    is put into raw mode at once.
//  - A reader thread moves received bytes from the device into our own input
//    queue of the requested size and notes the line events. It never drops a
//    byte: what does not fit waits in a buffer of its own behind the queue
//    (as in a UART's FIFO), from which each read from the queue tops the queue
//    up, so a fast line keeps the queue full without waking the reader for
//    every byte taken. When that buffer is more than half full the reader
//    stops reading until it has drained to half; meanwhile the kernel's buffer
//    and the line's flow control hold the rest.
//  - Reads take whole transfers from that queue: a read ends when all bytes
//    asked for are there, or at its time-outs with nothing taken, so bytes
//    that did arrive stay queued for the next read. A read whose wait times out
//    is withdrawn, not left pending: nothing can arrive in its buffer later.
//  - Writes run in the caller's thread with poll; a write whose wait times out
//    is withdrawn as well (what was sent stays sent).
//  - A device that goes away (a hang-up: POLLHUP) makes every later call fail
//    at once; no call blocks on it and no thread spins on it. Bytes it
//    delivered before it went stay readable until they are taken: a cable
//    pulled after the last characters must not cost them. A read error
//    without a hang-up makes the queue query fail, as for a gone device, once
//    the queue is empty and until a read succeeds; the reader tries again
//    every 100 ms, and the run decides whether it lasts.
//  - The line settings applied are kept here, since a pseudo-terminal accepts
//    but does not keep byte size and parity.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "serialdev.h"
#include "serialdev_termios2.h"
#include "serialtables.h"
#include "termios_tables.h"

namespace serialdev {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kDefaultQueue = 4096;
constexpr uint32_t kMaxQueue = 16u << 20;
constexpr int kPollMs = 10;  // period of output-drain and modem-counter checks
// A line that trickles (a paced sender, a pty fed character by character) is
// taken in groups, as a UART's receive FIFO hands it over: when fewer than
// kTrickle bytes came within kGatherMs, and within the kGatherMs before, the
// reader lets kGatherMs pass before it reads again. Each read wakes a thread or
// two, which on an old PC costs more than the bytes themselves. A fast line is
// read at once; so is a line on which a transfer waits for bytes, and a read
// that holds the event character is not followed by a pause, so that its
// answer is not delayed (a control asks with it on a quiet line).
constexpr int kGatherMs = 40;
constexpr size_t kTrickle = 512;
constexpr size_t kHeldMax = 1 << 20;  // the buffer behind the queue
// The arrival wake on a trickling line: at once for the event character, a
// queue a quarter full, or the device's end; otherwise at most every
// kArrivalGapMs, since a reader of the queue gains nothing by waking for
// every few characters (the watcher's events come at once regardless).
constexpr int kArrivalGapMs = 100;
// After a read error that is not a hang-up the reader tries again this much
// later: the run gives the device up only when the errors last some 300 ms.
constexpr int kRetryMs = 100;

// Escape functions beyond the modem lines.
constexpr uint32_t SETXOFF = 1;
constexpr uint32_t SETXON = 2;
constexpr uint32_t SETBREAK = 8;
constexpr uint32_t CLRBREAK = 9;

// Error flags, reset by the status query.
// At most this many places of bytes hit wait to be taken; a line that brings
// nothing but errors (a wrong speed) still tells its kinds.
constexpr size_t kMarkedMax = 1 << 16;

constexpr uint32_t kCounterEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;

// The received bytes: a growable ring that the byte-by-byte reader takes from
// at the front while the reader thread appends at the back.
class ByteRing {
 public:
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() { head_ = size_ = 0; }
  void append(const uint8_t* p, size_t n) {
    if (size_ + n > buf_.size()) Grow(size_ + n);
    for (size_t i = 0; i < n; ++i) buf_[(head_ + size_ + i) & mask_] = p[i];
    size_ += n;
  }
  // n <= size()
  void take(uint8_t* to, size_t n) {
    for (size_t i = 0; i < n; ++i) to[i] = buf_[(head_ + i) & mask_];
    head_ = (head_ + n) & mask_;
    size_ -= n;
  }

 private:
  void Grow(size_t need) {
    size_t cap = std::max<size_t>(buf_.size(), 4096);
    while (cap < need) cap *= 2;
    std::vector<uint8_t> b(cap);
    const size_t n = size_;
    take(b.data(), n);
    buf_.swap(b);
    head_ = 0;
    size_ = n;
    mask_ = cap - 1;
  }

  std::vector<uint8_t> buf_;
  size_t head_ = 0;
  size_t size_ = 0;
  size_t mask_ = 0;
};

Clock::time_point After(Clock::time_point from, uint64_t ms) {
  return from + milliseconds(static_cast<int64_t>(std::min<uint64_t>(ms, 1ull << 40)));
}

class PosixSerialDevice final : public SerialDevice {
 public:
  ~PosixSerialDevice() override { Close(); }

  bool Open(const std::string& name) override;
  bool SetupQueues(uint32_t rx_size, uint32_t tx_size) override;
  bool GetState(DeviceControl& dcb) override;
  bool SetState(const DeviceControl& dcb) override;
  bool GetTimeouts(CommTimeouts& t) override;
  bool SetTimeouts(const CommTimeouts& t) override;
  bool SetEventMask(uint32_t mask) override;
  bool WaitEvent(uint32_t& events) override;
  void CancelEventWait() override;
  bool Purge(uint32_t flags) override;
  bool Status(uint32_t& in_queue) override;
  void TakeLineErrors(LineErrors& into) override;
  bool Gone() const override;
  bool SetArrivalWake(std::function<void()> wake) override;
  void SetReceiveEventLevel(uint32_t bytes) override;
  bool Escape(uint32_t function) override;
  bool MakeTransferEvents() override;
  void CloseTransferEvents() override;
  XferStart StartRead(void* buf, uint32_t count) override;
  XferWait WaitRead(uint32_t timeout_ms) override;
  bool ReadResult(uint32_t& transferred) override;
  XferStart StartWrite(const void* buf, uint32_t count) override;
  XferWait WaitWrite(uint32_t timeout_ms) override;
  bool WriteResult(uint32_t& transferred) override;
  bool Close() override;
  long LastError() const override { return last_error_; }

 private:
  struct Transfer {
    bool active = false;  // under way
    bool done = false;    // ended; `transferred` holds its byte count
    uint8_t* buf = nullptr;
    uint32_t count = 0;
    uint32_t transferred = 0;
    Clock::time_point start;
  };

  // Keeps errno as the device's last error; returns false for the caller.
  bool Failed(int err = errno) {
    last_error_ = err;
    return false;
  }
  // The descriptor and wake-up of a failed Open let go again.
  bool FailOpen(int fd, int wake, bool exclusive);

  void ReaderLoop();
  // The events it recorded.
  uint32_t Received(const uint8_t* raw, size_t n, std::vector<uint8_t>& out);
  void CheckCounters();
  // Expects mu_ held: the kinds of line errors the driver counted since the
  // last look into reported_; false where it keeps no counters (a pty).
  bool TallyCounters();
  void Wake();
  // The write has sent all its bytes: a watcher of EV_TXEMPTY is told.
  void WriteEnded();
  // A copy of a setting as last made, taken under the lock; false when the
  // device is closed or gone.
  template <class T>
  bool CopyUnderLock(const T& setting, T& out) const {
    std::lock_guard<std::mutex> lock(mu_);
    out = setting;
    return Usable();
  }
  // The rest expect mu_ held.
  void Record(uint32_t events);
  void MarkGone();
  // A read error that is not a hang-up: the queue query fails, as for a
  // device that has gone, until a read succeeds again.
  void MarkFailing();
  void WakeArrival();
  bool Usable() const { return fd_ >= 0 && !gone_; }
  // Usable, or gone with `n` received bytes still queued.
  bool CanTake(size_t n) const { return fd_ >= 0 && (!gone_ || (n > 0 && Queued() >= n)); }
  bool Blocked() const { return (dcb_.Flags & F_ABORT_ON_ERROR) && errors_ != 0; }
  void Take(uint8_t* to, uint32_t n);
  // The input queue is the first capacity_ bytes received; the rest is held
  // behind it.
  size_t Queued() const { return std::min(queue_.size(), capacity_); }
  size_t Held() const { return queue_.size() - Queued(); }
  // Writes what it can without blocking; false when the device failed.
  bool Push();

  int fd_ = -1;
  int wake_fd_ = -1;
  std::thread reader_;

  mutable std::mutex mu_;
  std::condition_variable cv_;        // reads waiting for bytes
  std::condition_variable event_cv_;  // the watcher waiting for events
  // Guarded by mu_ (fd_ and wake_fd_ only change while no other thread runs).
  bool stop_ = false;
  bool gone_ = false;
  std::atomic<bool> failing_{false};  // the reader clears it without mu_
  bool wait_cancelled_ = false;
  ByteRing queue_;  // the input queue, and what is held behind it
  size_t capacity_ = kDefaultQueue;
  serialtables::RxFilter filter_;
  DeviceControl dcb_;
  CommTimeouts timeouts_;
  uint32_t mask_ = 0;
  uint64_t mask_seq_ = 0;
  uint32_t history_ = 0;  // events since the last wait that took them
  uint32_t errors_ = 0;
  bool tx_check_ = false;  // output was written; EV_TXEMPTY once it has drained
  bool counters_ok_ = false;
  serial_icounter_struct counters_{};
  Clock::time_point last_rx_;
  Transfer read_;
  std::function<void()> arrival_wake_;
  uint32_t rx_event_level_ = 0;
  bool wake_due_ = false;  // bytes came that the arrival wake has not told of
  Clock::time_point last_wake_;
  // Line errors for TakeLineErrors: the kinds the driver's counters tell, and
  // the places of the bytes the line discipline marked, counted in bytes
  // taken by reads (`taken_`).
  uint32_t reported_ = 0;
  std::vector<uint64_t> marked_;
  std::vector<size_t> faulty_;  // the reader's, for each Feed
  uint64_t taken_ = 0;
  bool err_counts_ok_ = false;
  serial_icounter_struct err_base_{};
  Transfer write_;  // caller's thread only
  std::atomic<long> last_error_{0};
};

bool PosixSerialDevice::FailOpen(int fd, int wake, bool exclusive) {
  const int err = errno;
  if (wake >= 0) ::close(wake);
  if (exclusive) ioctl(fd, TIOCNXCL);
  ::close(fd);
  return Failed(err);
}

bool PosixSerialDevice::Open(const std::string& name) {
  if (fd_ >= 0) return false;
  last_error_ = 0;
  if (name.empty()) return Failed(ENOENT);
  const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Failed();
  if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0) return FailOpen(fd, -1, false);
  serialtables::LineTermios now;
  if (ioctl(fd, TIOCEXCL) != 0 || !ReadTermios2(fd, now)) return FailOpen(fd, -1, true);
  // Raw at once, so that nothing is echoed or translated before the settings.
  serialtables::LineTermios raw = now;
  raw.iflag = 0;
  raw.oflag = 0;
  raw.lflag = 0;
  raw.cflag |= CREAD | CLOCAL;
  serialtables::LineTermios applied;
  const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0 || !WriteTermios2(fd, raw, applied)) return FailOpen(fd, wake, true);
  fd_ = fd;
  wake_fd_ = wake;
  dcb_ = serialtables::DeviceControlFrom(now);
  timeouts_ = CommTimeouts();
  stop_ = gone_ = failing_ = tx_check_ = counters_ok_ = wait_cancelled_ = false;
  queue_.clear();
  capacity_ = kDefaultQueue;
  filter_ = serialtables::RxFilter();
  mask_ = history_ = errors_ = reported_ = 0;
  marked_.clear();
  taken_ = 0;
  err_counts_ok_ = ioctl(fd, TIOCGICOUNT, &err_base_) == 0;
  read_ = write_ = Transfer();
  arrival_wake_ = nullptr;
  wake_due_ = false;
  rx_event_level_ = 0;
  reader_ = std::thread([this] { ReaderLoop(); });
  return true;
}

bool PosixSerialDevice::Close() {
  if (fd_ < 0) return false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    read_.active = false;
  }
  cv_.notify_all();
  event_cv_.notify_all();
  Wake();
  reader_.join();
  ioctl(fd_, TIOCNXCL);  // a pty keeps the flag for the next opener otherwise
  const bool ok = ::close(fd_) == 0;
  ::close(wake_fd_);
  fd_ = wake_fd_ = -1;
  return ok;
}

void PosixSerialDevice::Wake() {
  const uint64_t one = 1;
  if (wake_fd_ >= 0) (void)!::write(wake_fd_, &one, sizeof one);
}

void PosixSerialDevice::Record(uint32_t events) {
  if (events & mask_) {
    history_ |= events & mask_;
    event_cv_.notify_all();
  }
}

void PosixSerialDevice::MarkGone() {
  gone_ = true;
  cv_.notify_all();
  event_cv_.notify_all();
  WakeArrival();
}

void PosixSerialDevice::MarkFailing() {
  failing_ = true;
  WakeArrival();
}

void PosixSerialDevice::WakeArrival() {
  wake_due_ = false;
  last_wake_ = Clock::now();
  if (arrival_wake_) arrival_wake_();
}

void PosixSerialDevice::SetReceiveEventLevel(uint32_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  rx_event_level_ = bytes;
}

bool PosixSerialDevice::SetArrivalWake(std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(mu_);
  arrival_wake_ = std::move(wake);
  return fd_ >= 0;
}

void PosixSerialDevice::ReaderLoop() {
  std::vector<uint8_t> raw(4096);
  std::vector<uint8_t> out;
  out.reserve(raw.size());
  bool gather = false;
  bool retry = false;
  Clock::time_point window = Clock::now();  // bytes that came since: `recent`
  size_t recent = 0;
  size_t before = 0;  // in the window before
  for (;;) {
    if (gather || retry) {
      // Anything that needs the reader (stop, purge, a freed queue) wakes it.
      pollfd w{wake_fd_, POLLIN, 0};
      const int ms = retry ? kRetryMs : kGatherMs;
      gather = retry = false;
      if (poll(&w, 1, ms) > 0) {
        uint64_t v;
        (void)!::read(wake_fd_, &v, sizeof v);
      }
    }
    size_t room = 0;
    bool watch_fd = false;
    bool check_tx = false;
    bool check_counters = false;
    int timeout = -1;
    bool read_waits = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stop_) return;
      read_waits = read_.active;
      if (wake_due_) {
        const auto left = std::chrono::ceil<milliseconds>(last_wake_ +
                                                          milliseconds(kArrivalGapMs) -
                                                          Clock::now()).count();
        if (left <= 0) {
          WakeArrival();
        } else {
          timeout = static_cast<int>(left);
        }
      }
      watch_fd = !gone_;
      room = Held() <= kHeldMax / 2 ? kHeldMax - Held() : 0;
      check_tx = watch_fd && tx_check_;
      check_counters = watch_fd && counters_ok_ && (mask_ & kCounterEvents);
    }
    // With the queue full the device is watched for hang-up only.
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {fd_, static_cast<short>(room ? POLLIN : 0), 0}};
    if (check_tx || check_counters) timeout = timeout < 0 ? kPollMs : std::min(timeout, kPollMs);
    const int r = poll(fds, watch_fd ? 2 : 1, timeout);
    if (r < 0 && errno != EINTR) {
      std::this_thread::sleep_for(milliseconds(kPollMs));
      continue;
    }
    if (fds[0].revents & POLLIN) {
      uint64_t v;
      (void)!::read(wake_fd_, &v, sizeof v);
    }
    if (watch_fd && r > 0) {
      if (fds[1].revents & POLLIN) {
        const ssize_t n = ::read(fd_, raw.data(), std::min(room, raw.size()));
        if (n > 0) {
          failing_.store(false, std::memory_order_relaxed);
          const uint32_t events = Received(raw.data(), static_cast<size_t>(n), out);
          const Clock::time_point t = Clock::now();
          if (t - window >= milliseconds(kGatherMs)) {
            // A window with nothing between counts as a trickle.
            before = t - window < milliseconds(2 * kGatherMs) ? recent : 0;
            window = t;
            recent = 0;
          }
          recent += static_cast<size_t>(n);
          gather = recent < kTrickle && before < kTrickle && !(events & EV_RXFLAG) && !read_waits;
        } else if (fds[1].revents & POLLHUP) {
          // With VMIN 0 an empty line reads 0 as well: a purge on another
          // thread can empty it between poll and read. Only a hang-up that
          // poll reported makes it the end of the line.
          last_error_ = n < 0 ? errno : EIO;
          std::lock_guard<std::mutex> lock(mu_);
          MarkGone();
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
          last_error_ = errno;
          retry = true;
          std::lock_guard<std::mutex> lock(mu_);
          MarkFailing();
        }
      } else if (fds[1].revents & (POLLHUP | POLLNVAL)) {
        last_error_ = EIO;
        std::lock_guard<std::mutex> lock(mu_);
        MarkGone();
      } else if (fds[1].revents & POLLERR) {
        last_error_ = EIO;
        retry = true;
        std::lock_guard<std::mutex> lock(mu_);
        MarkFailing();
      }
    }
    if (check_tx) {
      int pending = 0;
      const bool known = ioctl(fd_, TIOCOUTQ, &pending) == 0;
      if (!known || pending == 0) {
        std::lock_guard<std::mutex> lock(mu_);
        tx_check_ = false;
        if (known) Record(EV_TXEMPTY);
      }
    }
    if (check_counters) CheckCounters();
  }
}

uint32_t PosixSerialDevice::Received(const uint8_t* raw, size_t n, std::vector<uint8_t>& out) {
  out.clear();
  faulty_.clear();
  std::lock_guard<std::mutex> lock(mu_);
  size_t nuls = 0;
  const size_t errors = filter_.Feed(raw, n, out, &faulty_, &nuls);
  const uint64_t first = taken_ + queue_.size();
  for (size_t at : faulty_) {
    if (marked_.size() < kMarkedMax) marked_.push_back(first + at);
  }
  uint32_t events = 0;
  if (!out.empty()) {
    queue_.append(out.data(), out.size());
    last_rx_ = Clock::now();
    if (Queued() >= rx_event_level_) events |= EV_RXCHAR;
    if (std::find(out.begin(), out.end(), dcb_.EvtChar) != out.end()) events |= EV_RXFLAG;
    cv_.notify_all();  // a read may be waiting for these
    if ((events & EV_RXFLAG) || Queued() >= capacity_ / 4 ||
        last_rx_ - last_wake_ >= milliseconds(kArrivalGapMs)) {
      WakeArrival();
    } else {
      wake_due_ = true;
    }
  }
  if (errors) {
    errors_ |= CE_RXPARITY;
    events |= EV_ERR;
    // A marked NUL is a break or an error on a NUL byte. The driver counted
    // which before it handed the mark on; without counters it stays open.
    if (!TallyCounters()) {
      if (nuls) reported_ |= CE_BREAK_OR_NUL;
      if (errors > nuls) reported_ |= CE_RXPARITY | CE_FRAME;
    }
  }
  Record(events);
  return events;
}

// Modem-line changes, breaks and line errors as the driver counts them (real
// UARTs; a pseudo-terminal has no counters and is never asked again).
void PosixSerialDevice::CheckCounters() {
  serial_icounter_struct c{};
  const bool ok = ioctl(fd_, TIOCGICOUNT, &c) == 0;
  std::lock_guard<std::mutex> lock(mu_);
  if (!ok) {
    counters_ok_ = false;
    return;
  }
  const serial_icounter_struct& p = counters_;
  uint32_t events = 0;
  uint32_t errors = 0;
  if (c.cts != p.cts) events |= EV_CTS;
  if (c.dsr != p.dsr) events |= EV_DSR;
  if (c.dcd != p.dcd) events |= EV_RLSD;
  if (c.rng != p.rng) events |= EV_RING;
  if (c.brk != p.brk) {
    events |= EV_BREAK;
    errors |= CE_BREAK;
  }
  if (c.frame != p.frame) errors |= CE_FRAME;
  if (c.overrun != p.overrun || c.buf_overrun != p.buf_overrun) errors |= CE_OVERRUN;
  if (c.parity != p.parity && (dcb_.Flags & F_PARITY)) errors |= CE_RXPARITY;
  if (errors) {
    errors_ |= errors;
    events |= EV_ERR;
  }
  counters_ = c;
  Record(events);
}

bool PosixSerialDevice::SetupQueues(uint32_t rx_size, uint32_t tx_size) {
  if (rx_size > kMaxQueue || tx_size > kMaxQueue) return false;
  std::lock_guard<std::mutex> lock(mu_);
  if (!Usable()) return false;
  // The output goes straight to the kernel's queue; only the input has ours.
  if (rx_size != 0) capacity_ = rx_size;
  Wake();
  return true;
}

bool PosixSerialDevice::GetState(DeviceControl& dcb) {
  return CopyUnderLock(dcb_, dcb);
}

bool PosixSerialDevice::SetState(const DeviceControl& dcb) {
  const std::optional<serialtables::LineTermios> t = serialtables::TermiosFor(dcb);
  if (!t) return Failed(EINVAL);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!Usable()) return false;
  }
  serialtables::LineTermios applied;
  if (!WriteTermios2(fd_, *t, applied)) return Failed();
  // A rate the device cannot make is refused, not rounded to a neighbour.
  if (applied.speed != t->speed) return Failed(EINVAL);
  // Devices without modem lines refuse these; that is no failure here.
  const int dtr = TIOCM_DTR;
  const int rts = TIOCM_RTS;
  ioctl(fd_, t->dtr ? TIOCMBIS : TIOCMBIC, &dtr);
  ioctl(fd_, t->rts ? TIOCMBIS : TIOCMBIC, &rts);

  std::lock_guard<std::mutex> lock(mu_);
  dcb_ = dcb;
  serialtables::RxFilter::Options o;
  o.marks = (applied.iflag & PARMRK) != 0;
  o.replace_errors = (dcb.Flags & F_ERROR_CHAR) != 0;
  o.error_char = dcb.ErrorChar;
  o.discard_null = (dcb.Flags & F_NULL) != 0;
  o.data_mask = static_cast<uint8_t>((1u << dcb.ByteSize) - 1u);
  filter_ = serialtables::RxFilter(o);
  return true;
}

bool PosixSerialDevice::GetTimeouts(CommTimeouts& t) {
  return CopyUnderLock(timeouts_, t);
}

bool PosixSerialDevice::SetTimeouts(const CommTimeouts& t) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!Usable()) return false;
  timeouts_ = t;
  return true;
}

bool PosixSerialDevice::SetEventMask(uint32_t mask) {
  std::lock_guard<std::mutex> lock(mu_);
  if (fd_ < 0) return false;
  mask_ = mask;
  history_ = 0;
  ++mask_seq_;  // ends a pending wait
  counters_ok_ = false;
  if (!gone_ && (mask & kCounterEvents)) {
    counters_ok_ = ioctl(fd_, TIOCGICOUNT, &counters_) == 0;
  }
  event_cv_.notify_all();
  Wake();
  return !gone_;
}

bool PosixSerialDevice::WaitEvent(uint32_t& events) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!Usable() || mask_ == 0 || wait_cancelled_) return false;
  const uint64_t seq = mask_seq_;
  event_cv_.wait(lock, [&] {
    return history_ != 0 || mask_seq_ != seq || gone_ || stop_ || wait_cancelled_;
  });
  if (wait_cancelled_) return false;
  if (mask_seq_ != seq) {
    events = 0;
    return true;
  }
  if (history_ == 0) return false;
  events = history_;
  history_ = 0;
  return true;
}

void PosixSerialDevice::CancelEventWait() {
  std::lock_guard<std::mutex> lock(mu_);
  wait_cancelled_ = true;
  event_cv_.notify_all();
}

bool PosixSerialDevice::Purge(uint32_t flags) {
  std::lock_guard<std::mutex> lock(mu_);
  if (fd_ < 0) return false;
  if (flags & PURGE_RXABORT) read_.active = false;
  if (flags & PURGE_TXABORT) write_.active = false;
  if (flags & PURGE_RXCLEAR) {
    // The places of bytes thrown away now will never be read.
    while (!marked_.empty() && marked_.back() >= taken_) marked_.pop_back();
    queue_.clear();
    filter_.Reset();
    tcflush(fd_, TCIFLUSH);
    Wake();
  }
  if (flags & PURGE_TXCLEAR) tcflush(fd_, TCOFLUSH);
  return !gone_;
}

bool PosixSerialDevice::Status(uint32_t& in_queue) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!CanTake(1) || (failing_ && Queued() == 0)) return false;
  in_queue = static_cast<uint32_t>(Queued());
  errors_ = 0;
  TallyCounters();
  return true;
}

// The kinds, where the driver counts them (a UART, a USB adapter; a pty has
// no counters, and a device that has gone fails the call).
bool PosixSerialDevice::TallyCounters() {
  serial_icounter_struct c{};
  if (!err_counts_ok_ || ioctl(fd_, TIOCGICOUNT, &c) != 0) return false;
  const serial_icounter_struct& p = err_base_;
  if (c.parity != p.parity) reported_ |= CE_RXPARITY;
  if (c.frame != p.frame) reported_ |= CE_FRAME;
  if (c.overrun != p.overrun) reported_ |= CE_OVERRUN;
  if (c.buf_overrun != p.buf_overrun) reported_ |= CE_RXOVER;
  if (c.brk != p.brk) reported_ |= CE_BREAK;
  err_base_ = c;
  return true;
}

void PosixSerialDevice::TakeLineErrors(LineErrors& into) {
  std::lock_guard<std::mutex> lock(mu_);
  into.flags = reported_;
  reported_ = 0;
  into.marked.swap(marked_);
  marked_.clear();
}

// A hang-up on a line opened with CLOCAL is never the control switching off:
// it is the device itself gone (a USB adapter pulled, the far end of a pty
// closed), and it will not come back while we hold it open.
bool PosixSerialDevice::Gone() const {
  std::lock_guard<std::mutex> lock(mu_);
  return fd_ >= 0 && (gone_ || failing_);
}

bool PosixSerialDevice::Escape(uint32_t function) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!Usable()) return false;
  }
  const int dtr = TIOCM_DTR;
  const int rts = TIOCM_RTS;
  switch (function) {
    case SETRTS:
      return ioctl(fd_, TIOCMBIS, &rts) == 0;
    case CLRRTS:
      return ioctl(fd_, TIOCMBIC, &rts) == 0;
    case SETDTR:
      return ioctl(fd_, TIOCMBIS, &dtr) == 0;
    case CLRDTR:
      return ioctl(fd_, TIOCMBIC, &dtr) == 0;
    case SETBREAK:
      return ioctl(fd_, TIOCSBRK) == 0;
    case CLRBREAK:
      return ioctl(fd_, TIOCCBRK) == 0;
    case SETXOFF:
      return tcflow(fd_, TCOOFF) == 0;
    case SETXON:
      return tcflow(fd_, TCOON) == 0;
    default:
      return false;
  }
}

bool PosixSerialDevice::MakeTransferEvents() {
  std::lock_guard<std::mutex> lock(mu_);
  read_ = Transfer();
  write_ = Transfer();
  return fd_ >= 0;
}

void PosixSerialDevice::CloseTransferEvents() {
  std::lock_guard<std::mutex> lock(mu_);
  read_.active = false;
  write_.active = false;
}

void PosixSerialDevice::Take(uint8_t* to, uint32_t n) {
  const bool reader_waits = Held() > kHeldMax / 2;
  queue_.take(to, n);
  taken_ += n;
  if (reader_waits && Held() <= kHeldMax / 2) Wake();  // it may read again
}

XferStart PosixSerialDevice::StartRead(void* buf, uint32_t count) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!CanTake(count) || Blocked()) return XferStart::Failed;
  read_ = Transfer();
  read_.buf = static_cast<uint8_t*>(buf);
  read_.count = count;
  if (Queued() >= count) {
    Take(read_.buf, count);
    read_.transferred = count;
    read_.done = true;
    return XferStart::Completed;
  }
  // Only a read that has to wait needs its start time (the total time-out).
  read_.start = Clock::now();
  read_.active = true;
  Wake();  // out of a gathering pause: bytes are wanted now
  return XferStart::Pending;
}

XferWait PosixSerialDevice::WaitRead(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  Transfer& x = read_;
  if (!x.active) return x.done ? XferWait::Signalled : XferWait::Failed;
  const Clock::time_point begun = Clock::now();
  const CommTimeouts to = timeouts_;
  // A MAXDWORD interval means: end as soon as anything is there (or at once,
  // without total time-out).
  const bool at_once = to.ReadIntervalTimeout == kInfinite && to.ReadTotalTimeoutMultiplier == 0 &&
                       to.ReadTotalTimeoutConstant == 0;
  const bool first_byte = to.ReadIntervalTimeout == kInfinite && !at_once;
  const uint64_t interval = first_byte ? 0 : to.ReadIntervalTimeout;
  const uint64_t total =
      static_cast<uint64_t>(to.ReadTotalTimeoutMultiplier) * x.count + to.ReadTotalTimeoutConstant;
  const bool has_total = total != 0 && to.ReadTotalTimeoutMultiplier != kInfinite;
  const Clock::time_point total_end = After(x.start, total);
  const bool has_wait_end = timeout_ms != kInfinite;
  const Clock::time_point wait_end = After(begun, timeout_ms);

  for (;;) {
    if (!CanTake(x.count)) {
      x.active = false;
      return XferWait::Failed;
    }
    if (!x.active) return XferWait::Failed;  // aborted meanwhile
    if (Queued() >= x.count) {
      Take(x.buf, x.count);
      x.transferred = x.count;
      x.active = false;
      x.done = true;
      return XferWait::Signalled;
    }
    const Clock::time_point now = Clock::now();
    const Clock::time_point gap_end = After(std::max(last_rx_, x.start), interval);
    const bool short_end = at_once || (first_byte && !queue_.empty()) ||
                           (has_total && now >= total_end) ||
                           (interval != 0 && !queue_.empty() && now >= gap_end);
    if (short_end) {
      // Ended before all bytes were there: none is taken, so none is lost.
      x.transferred = 0;
      x.active = false;
      x.done = true;
      return XferWait::Signalled;
    }
    if (has_wait_end && now >= wait_end) {
      x.active = false;  // withdrawn: nothing will land in its buffer later
      return XferWait::TimedOut;
    }
    Clock::time_point next = now + std::chrono::hours(1);
    if (has_wait_end) next = std::min(next, wait_end);
    if (has_total) next = std::min(next, total_end);
    if (interval != 0 && !queue_.empty()) next = std::min(next, gap_end);
    cv_.wait_until(lock, next);
  }
}

bool PosixSerialDevice::ReadResult(uint32_t& transferred) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!read_.done) return false;
  transferred = read_.transferred;
  return true;
}

bool PosixSerialDevice::Push() {
  Transfer& x = write_;
  while (x.transferred < x.count) {
    const ssize_t n = ::write(fd_, x.buf + x.transferred, x.count - x.transferred);
    if (n > 0) {
      x.transferred += static_cast<uint32_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      return true;
    } else {
      const int err = n < 0 ? errno : EIO;
      std::lock_guard<std::mutex> lock(mu_);
      MarkGone();
      return Failed(err);
    }
  }
  return true;
}

XferStart PosixSerialDevice::StartWrite(const void* buf, uint32_t count) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!Usable() || Blocked()) return XferStart::Failed;
  }
  write_ = Transfer();
  // Only read from, despite the type shared with reads.
  write_.buf = static_cast<uint8_t*>(const_cast<void*>(buf));
  write_.count = count;
  write_.start = Clock::now();
  if (!Push()) return XferStart::Failed;
  if (write_.transferred == count) {
    WriteEnded();
    return XferStart::Completed;
  }
  write_.active = true;
  return XferStart::Pending;
}

void PosixSerialDevice::WriteEnded() {
  write_.active = false;
  write_.done = true;
  std::lock_guard<std::mutex> lock(mu_);
  if (mask_ & EV_TXEMPTY) {
    tx_check_ = true;
    Wake();
  }
}

XferWait PosixSerialDevice::WaitWrite(uint32_t timeout_ms) {
  Transfer& x = write_;
  if (!x.active) return x.done ? XferWait::Signalled : XferWait::Failed;
  CommTimeouts to;
  CopyUnderLock(timeouts_, to);
  const Clock::time_point begun = Clock::now();
  const uint64_t total = static_cast<uint64_t>(to.WriteTotalTimeoutMultiplier) * x.count +
                         to.WriteTotalTimeoutConstant;
  const bool has_total = total != 0;
  const Clock::time_point total_end = After(x.start, total);
  const bool has_wait_end = timeout_ms != kInfinite;
  const Clock::time_point wait_end = After(begun, timeout_ms);

  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!Usable()) {
        x.active = false;
        return XferWait::Failed;
      }
    }
    if (!Push()) {
      x.active = false;
      return XferWait::Failed;
    }
    if (x.transferred == x.count) {
      WriteEnded();
      return XferWait::Signalled;
    }
    const Clock::time_point now = Clock::now();
    if (has_total && now >= total_end) {
      x.active = false;
      x.done = true;  // ended short: `transferred` tells how far it got
      return XferWait::Signalled;
    }
    if (has_wait_end && now >= wait_end) {
      x.active = false;  // withdrawn; what was sent stays sent
      return XferWait::TimedOut;
    }
    Clock::time_point next = now + std::chrono::seconds(1);
    if (has_wait_end) next = std::min(next, wait_end);
    if (has_total) next = std::min(next, total_end);
    const auto ms = std::chrono::ceil<milliseconds>(next - now).count();
    pollfd p{fd_, POLLOUT, 0};
    const int r = poll(&p, 1, static_cast<int>(std::max<int64_t>(ms, 1)));
    if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p.revents & POLLOUT)) {
      std::lock_guard<std::mutex> lock(mu_);
      MarkGone();
    }
  }
}

bool PosixSerialDevice::WriteResult(uint32_t& transferred) {
  if (!write_.done) return false;
  transferred = write_.transferred;
  return true;
}

}  // namespace

std::unique_ptr<SerialDevice> MakeSerialDevice() {
  return std::make_unique<PosixSerialDevice>();
}

std::string DeviceNameFor(const std::string& port, const std::map<std::string, std::string>& map) {
  return serialtables::ResolvePortName(port, map);
}

}  // namespace serialdev
