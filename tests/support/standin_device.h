// A stand-in serial driver with the habits of the overlapped serial drivers
// met on Windows: a transfer stays under way until its bytes come or an abort
// purge ends it, the purge returns before the transfer has ended, and a start
// on a direction still under way is refused. The event character is reported
// in each of the ways drivers report it (or do not). Shared by the component's
// tests and the run's, which use one fixture, StandInTest.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "accepting_device.h"
#include "comthd.h"
#include "handover.h"
#include "linechars.h"
#include "rs232c.h"

namespace standin {

using serialdev::XferStart;
using serialdev::XferWait;
using Clock = std::chrono::steady_clock;

enum class Waits { Normal, FailAtOnce, IgnoreMask };
// How a Normal wait reports the event character: at once (serial.sys), some
// time late, only when the next one comes (too late for any DC2 to be answered
// by it), never (EV_RXCHAR only), a mask with it refused (SerCx2), or no event
// at all (Wine on a pty).
enum class Flag { AtOnce, Late, Behind, Never, Refused, NoEvents };

struct Habits {
  int abort_delay_ms = 40;     // an abort takes effect this long after the purge
  bool abort_ignored = false;  // ... or never: the transfer ends only with its bytes
  bool read_had_byte = false;  // the aborted read completes with late_byte after all
  uint8_t late_byte = 0;
  bool writes_block = false;   // a write stays under way until aborted
  Waits waits = Waits::Normal;
  bool rxflag_at_cancel = false;  // an ignoring wait, cancelled, still reports EV_RXFLAG
  Flag flag = Flag::AtOnce;
  int late_ms = 0;
  // The status query fails as for a gone device from this poll on (0: never),
  // for this many polls (-1: for good).
  int status_fails_from = 0;
  int status_fail_polls = -1;
  // Line errors: the flags the status queries give once bytes are there, and
  // the places of bytes marked as hit (counted in bytes read).
  uint32_t error_flags = 0;
  std::vector<uint64_t> marked;
  bool short_reads = false;  // a read completes at once with nothing
};

// What the stand-in driver holds; shared with its late completions and kept
// after the component has closed (and destroyed) the device.
struct Driver {
  struct Xfer {
    bool pending = false;
    bool ended = false;
    bool ok = false;
    uint8_t* buf = nullptr;
    uint32_t count = 0;
    uint32_t transferred = 0;
  };

  std::mutex mu;
  std::condition_variable cv;
  Habits habits;
  Xfer read, write;
  std::deque<uint8_t> line;  // received bytes not yet read
  std::vector<uint8_t> sent;
  int refused_starts = 0;
  int waits = 0;
  int cancels = 0;
  bool cancelled = false;
  uint32_t mask = 0;
  uint64_t mask_seq = 0;
  uint32_t history = 0;  // events no wait has taken yet
  std::deque<Clock::time_point> late_flags;
  bool flag_behind = false;  // Flag::Behind: a DC2 whose flag is still to come
  int flags_reported = 0;
  bool purged = false;  // Open has emptied the queue
  int polls = 0;
  bool gone = false;
  std::vector<std::thread> late;

  ~Driver() {
    for (std::thread& t : late) t.join();
  }

  // Bytes arrive on the line; a read under way takes them when enough are there.
  void Deliver(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mu);
    line.insert(line.end(), bytes.begin(), bytes.end());
    const bool flag = std::count(bytes.begin(), bytes.end(), linechars::kDC2) > 0;
    if (habits.flag != Flag::NoEvents) history |= serialdev::EV_RXCHAR & mask;
    if (flag && habits.flag == Flag::AtOnce) history |= serialdev::EV_RXFLAG & mask;
    if (flag && habits.flag == Flag::Behind) {
      if (flag_behind) history |= serialdev::EV_RXFLAG & mask;
      flag_behind = true;
    }
    if (flag && habits.flag == Flag::Late) {
      late_flags.push_back(Clock::now() + std::chrono::milliseconds(habits.late_ms));
    }
    cv.notify_all();
    if (read.pending && line.size() >= read.count) {
      std::copy_n(line.begin(), read.count, read.buf);
      line.erase(line.begin(), line.begin() + read.count);
      End(read, true, read.count);
    }
  }
  bool InFlight(bool reading) {
    std::lock_guard<std::mutex> lock(mu);
    return (reading ? read : write).pending;
  }
  void End(Xfer& x, bool ok, uint32_t n) {
    x.pending = false;
    x.ended = true;
    x.ok = ok;
    x.transferred = n;
    cv.notify_all();
  }
};

inline std::shared_ptr<Driver> g_driver;

class StandInDevice final : public AcceptingDevice {
 public:
  StandInDevice() : d_(g_driver) {}

  bool SetEventMask(uint32_t mask) override {
    std::lock_guard<std::mutex> lock(d_->mu);
    if (d_->habits.flag == Flag::Refused && (mask & serialdev::EV_RXFLAG)) return false;
    d_->mask = mask;
    ++d_->mask_seq;
    d_->cv.notify_all();
    return true;
  }
  bool WaitEvent(uint32_t& events) override {
    std::unique_lock<std::mutex> lock(d_->mu);
    const int n = ++d_->waits;
    const uint64_t seq = d_->mask_seq;
    switch (d_->habits.waits) {
      case Waits::FailAtOnce:
        return false;
      case Waits::Normal:
        for (;;) {
          while (!d_->late_flags.empty() && d_->late_flags.front() <= Clock::now()) {
            d_->late_flags.pop_front();
            d_->history |= serialdev::EV_RXFLAG & d_->mask;
          }
          if (d_->cancelled || d_->mask_seq != seq || d_->history) break;
          d_->cv.wait_until(lock, d_->late_flags.empty() ? Clock::now() + std::chrono::seconds(1)
                                                          : d_->late_flags.front());
        }
        events = d_->mask_seq != seq ? 0 : d_->history;
        d_->flags_reported += (events & serialdev::EV_RXFLAG) != 0;
        d_->history = 0;
        return !d_->cancelled;
      case Waits::IgnoreMask:
        d_->cv.wait(lock, [&] { return d_->cancelled; });
        if (n > 1 || !d_->habits.rxflag_at_cancel) return false;
        events = serialdev::EV_RXFLAG;
        return true;
    }
    return false;
  }
  void CancelEventWait() override {
    std::lock_guard<std::mutex> lock(d_->mu);
    d_->cancelled = true;
    ++d_->cancels;
    d_->cv.notify_all();
  }
  bool Purge(uint32_t flags) override {
    std::lock_guard<std::mutex> lock(d_->mu);
    if (flags & serialdev::PURGE_RXCLEAR) {
      d_->line.clear();
      d_->purged = true;
    }
    if ((flags & serialdev::PURGE_RXABORT) && d_->read.pending) AbortLate(true);
    if ((flags & serialdev::PURGE_TXABORT) && d_->write.pending) AbortLate(false);
    return true;
  }
  bool Status(uint32_t& in_queue) override {
    std::lock_guard<std::mutex> lock(d_->mu);
    const Habits& h = d_->habits;
    const int poll = ++d_->polls;
    d_->gone = h.status_fails_from > 0 && poll >= h.status_fails_from &&
               (h.status_fail_polls < 0 || poll < h.status_fails_from + h.status_fail_polls);
    if (d_->gone) return false;
    in_queue = static_cast<uint32_t>(d_->line.size());
    if (in_queue > 0) errors_ |= std::exchange(d_->habits.error_flags, 0u);
    return true;
  }
  void TakeLineErrors(serialdev::LineErrors& into) override {
    std::lock_guard<std::mutex> lock(d_->mu);
    into.flags = std::exchange(errors_, 0u);
    into.marked = std::exchange(d_->habits.marked, {});
  }
  bool Gone() const override {
    std::lock_guard<std::mutex> lock(d_->mu);
    return d_->gone;
  }
  bool Escape(uint32_t) override { return true; }
  bool MakeTransferEvents() override { return true; }
  void CloseTransferEvents() override {}
  // A start on a direction still under way is refused, as the drivers do.
  bool Begin(Driver::Xfer& x) {
    if (x.pending) {
      ++d_->refused_starts;
      return false;
    }
    x = Driver::Xfer();
    return true;
  }
  XferStart StartRead(void* buf, uint32_t count) override {
    std::lock_guard<std::mutex> lock(d_->mu);
    Driver::Xfer& x = d_->read;
    if (!Begin(x)) return XferStart::Failed;
    if (d_->habits.short_reads) {
      d_->End(x, true, 0);
      return XferStart::Completed;
    }
    if (d_->line.size() >= count) {
      std::copy_n(d_->line.begin(), count, static_cast<uint8_t*>(buf));
      d_->line.erase(d_->line.begin(), d_->line.begin() + count);
      d_->End(x, true, count);
      return XferStart::Completed;
    }
    x.pending = true;
    x.buf = static_cast<uint8_t*>(buf);
    x.count = count;
    return XferStart::Pending;
  }
  XferWait WaitRead(uint32_t ms) override { return Wait(d_->read, ms); }
  bool ReadResult(uint32_t& n) override { return Result(d_->read, n); }
  XferStart StartWrite(const void* buf, uint32_t count) override {
    std::lock_guard<std::mutex> lock(d_->mu);
    Driver::Xfer& x = d_->write;
    if (!Begin(x)) return XferStart::Failed;
    if (d_->habits.writes_block) {
      x.pending = true;
      x.count = count;
      return XferStart::Pending;
    }
    const auto* b = static_cast<const uint8_t*>(buf);
    d_->sent.insert(d_->sent.end(), b, b + count);
    d_->End(x, true, count);
    return XferStart::Completed;
  }
  XferWait WaitWrite(uint32_t ms) override { return Wait(d_->write, ms); }
  bool WriteResult(uint32_t& n) override { return Result(d_->write, n); }
  bool Close() override { return true; }

 private:
  // mu held. The purge has returned long before the transfer reports its end.
  void AbortLate(bool reading) {
    if (d_->habits.abort_ignored) return;
    Driver* d = d_.get();  // the driver joins this thread before it goes
    const int delay_ms = d->habits.abort_delay_ms;
    d->late.emplace_back([d, reading, delay_ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      std::lock_guard<std::mutex> lock(d->mu);
      Driver::Xfer& x = reading ? d->read : d->write;
      if (!x.pending) return;
      if (reading && d->habits.read_had_byte) {
        x.buf[0] = d->habits.late_byte;
        d->End(x, true, 1);
      } else {
        d->End(x, false, 0);
      }
    });
  }
  XferWait Wait(Driver::Xfer& x, uint32_t ms) {
    std::unique_lock<std::mutex> lock(d_->mu);
    if (!x.pending && !x.ended) return XferWait::Failed;
    d_->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !x.pending; });
    return x.pending ? XferWait::TimedOut : XferWait::Signalled;
  }
  bool Result(Driver::Xfer& x, uint32_t& n) {
    std::lock_guard<std::mutex> lock(d_->mu);
    if (!x.ended) return false;
    n = x.transferred;
    return x.ok;
  }

  std::shared_ptr<Driver> d_;
  uint32_t errors_ = 0;
};

inline std::unique_ptr<serialdev::SerialDevice> MakeStandIn() {
  return std::make_unique<StandInDevice>();
}

class StandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HandOver::Ui().Install({});
    g_driver = std::make_shared<Driver>();
    port_.SetDeviceFactory(&MakeStandIn);
    port_.rxtimeout = 50;
    port_.txtimeout = 50;
  }
  void TearDown() override {
    port_.Close();
    g_driver.reset();
  }
  Driver& driver() { return *g_driver; }

  Trs232c port_{nullptr};
};

inline int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

}  // namespace standin
