// The stand-in device itself: built once for the tests that use it.
#include "standin_device.h"

namespace standin {
namespace {

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
      d_->line.assign(d_->habits.at_open.begin(), d_->habits.at_open.end());
      d_->habits.at_open.clear();
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
    if (d_->habits.reads_before_short >= 0 && d_->habits.reads_before_short-- == 0) {
      d_->habits.short_reads = true;
    }
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

}  // namespace

std::unique_ptr<serialdev::SerialDevice> MakeStandIn() {
  return std::make_unique<StandInDevice>();
}

}  // namespace standin
