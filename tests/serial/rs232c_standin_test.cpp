// The component's handling of transfers and line-event waits that the device
// ends late or not at all, against a stand-in driver with the habits of the
// overlapped serial drivers met on Windows: a transfer stays under way until
// its bytes come or an abort purge ends it, the purge returns before the
// transfer has ended, and a start on a direction still under way is refused.
// And the run's answers on the line with the ways drivers report (or do not
// report) the event character.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "accepting_device.h"
#include "comthd.h"
#include "handover.h"
#include "linechars.h"
#include "linerun.h"
#include "rs232c.h"
#include "rxfile.h"
#include "rxline.h"
#include "sjis.h"
#include "verdict.h"

namespace {

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

std::shared_ptr<Driver> g_driver;

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
  XferStart StartRead(void* buf, uint32_t count) override {
    std::lock_guard<std::mutex> lock(d_->mu);
    Driver::Xfer& x = d_->read;
    if (x.pending) {
      ++d_->refused_starts;
      return XferStart::Failed;
    }
    x = Driver::Xfer();
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
    if (x.pending) {
      ++d_->refused_starts;
      return XferStart::Failed;
    }
    x = Driver::Xfer();
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

std::unique_ptr<serialdev::SerialDevice> MakeStandIn() {
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

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A transfer still under way at its time-out is aborted, and its late end is
// awaited before the call returns: nothing holds the record or the buffer
// afterwards, and the next transfer starts.
TEST_F(StandInTest, TimedOutTransfersHaveEndedWhenTheCallReturns) {
  struct Case {
    const char* name;
    Habits habits;
    int32_t rxtimeout;
  };
  Habits had_byte;
  had_byte.read_had_byte = true;
  had_byte.late_byte = 'L';
  Habits blocks;
  blocks.writes_block = true;
  const Case cases[] = {
      {"read aborted late with nothing", Habits(), 50},
      {"read aborted late after its byte had come", had_byte, 50},
      {"read with time-out 0", Habits(), 0},
      {"write aborted late", blocks, 50},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    driver().habits = c.habits;
    port_.rxtimeout = c.rxtimeout;
    ASSERT_TRUE(port_.Open());

    if (c.habits.writes_block) {
      const auto t0 = Clock::now();
      EXPECT_FALSE(port_.WriteByte('A'));
      EXPECT_GE(MsSince(t0), port_.txtimeout);
      EXPECT_FALSE(driver().InFlight(false));
      driver().habits.writes_block = false;
      EXPECT_TRUE(port_.WriteByte('B'));
      EXPECT_EQ(driver().sent, std::vector<uint8_t>{'B'});
    } else {
      uint8_t b = 0xAA;
      const auto t0 = Clock::now();
      const bool got = port_.ReadByte(b);
      EXPECT_GE(MsSince(t0), c.rxtimeout);
      EXPECT_FALSE(driver().InFlight(true));
      if (c.habits.read_had_byte) {
        EXPECT_TRUE(got) << "what the aborted read brought is its result";
        EXPECT_EQ(b, 'L');
      } else {
        EXPECT_FALSE(got);
        EXPECT_EQ(b, 0xAA);
      }
      driver().Deliver({'Z'});
      EXPECT_TRUE(port_.ReadByte(b));
      EXPECT_EQ(b, 'Z');
    }
    EXPECT_EQ(driver().refused_starts, 0) << "a start on a record still under way";
    EXPECT_TRUE(port_.Close());
    TearDown();
  }
}

// A caller's buffer is not written after Read has returned.
TEST_F(StandInTest, CallersBufferIsLeftAloneAfterATimeOut) {
  ASSERT_TRUE(port_.Open());
  uint8_t buf[4] = {1, 2, 3, 4};
  EXPECT_FALSE(port_.Read(buf, 4));
  driver().Deliver({'w', 'x', 'y', 'z'});
  EXPECT_EQ(std::memcmp(buf, "\x01\x02\x03\x04", 4), 0);
  EXPECT_EQ(port_.InQueueCount(), 4);
  EXPECT_TRUE(port_.Read(buf, 4));
  EXPECT_EQ(std::memcmp(buf, "wxyz", 4), 0);
}

// A driver that does not end an aborted read: the component waits for it a
// bounded time, never starts another transfer on its record, and hands the
// byte it finally brings to the next ReadByte.
TEST_F(StandInTest, ReadTheDriverNeverAbortsKeepsItsRecordUntilItEnds) {
  driver().habits.abort_ignored = true;
  ASSERT_TRUE(port_.Open());
  uint8_t b = 0xAA;
  EXPECT_FALSE(port_.ReadByte(b));
  EXPECT_TRUE(driver().InFlight(true));
  driver().Deliver({'L', 'M'});  // it ends now, with the first byte
  EXPECT_FALSE(driver().InFlight(true));
  EXPECT_TRUE(port_.ReadByte(b));
  EXPECT_EQ(b, 'L');
  EXPECT_TRUE(port_.ReadByte(b));
  EXPECT_EQ(b, 'M');
  EXPECT_EQ(driver().refused_starts, 0);
}

// A device whose event waits fail at once does not keep the watcher spinning,
// and Close still ends it.
TEST_F(StandInTest, FailingEventWaitsDoNotSpin) {
  driver().habits.waits = Waits::FailAtOnce;
  port_.OnRXCHAR = [](TObject*) {};
  const auto start = Clock::now();
  ASSERT_TRUE(port_.Open());
  const auto end = start + std::chrono::milliseconds(600);
  while (Clock::now() < end) {
    HandOver::Ui().ServePending();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(port_.Close());  // a hang here is the failure
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  std::lock_guard<std::mutex> lock(driver().mu);
  EXPECT_GE(driver().waits, tcommthread::kQuickRetries + 1) << "the watcher keeps trying";
  // A few quick retries, then four a second: a loop that kept its 10 ms
  // pause would make one every 10 ms, a spinning one hundreds of thousands.
  EXPECT_LE(driver().waits, tcommthread::kQuickRetries + 2 + ms.count() / 250)
      << "in " << ms.count() << " ms";
}

// Close ends also on a driver that ignores the mask change: its pending wait
// is cancelled after a bounded wait, and a hand-over the watcher makes then is
// still served (and finds the component open). A driver that honours the mask
// change is never cancelled.
TEST_F(StandInTest, CloseEndsWhenTheDriverIgnoresTheMaskChange) {
  struct Case {
    const char* name;
    Waits waits;
    bool rxflag_at_cancel;
    int cancels;
    int flags;
  };
  const Case cases[] = {
      {"conforming driver", Waits::Normal, false, 0, 0},
      {"driver ignoring the mask change", Waits::IgnoreMask, false, 1, 0},
      {"... whose cancelled wait reports an event", Waits::IgnoreMask, true, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    driver().habits.waits = c.waits;
    driver().habits.rxflag_at_cancel = c.rxflag_at_cancel;
    int flags = 0;
    bool open_in_handler = false;
    port_.OnRXFLAG = [&](TObject*) {
      ++flags;
      open_in_handler = port_.IsOpen();
    };
    ASSERT_TRUE(port_.Open());
    ASSERT_TRUE(HandOver::Ui().OnUiThread());
    // Let the watcher reach its wait before the close.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
      {
        std::lock_guard<std::mutex> lock(driver().mu);
        if (driver().waits >= 1) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(port_.Close());  // a hang here is the failure
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_EQ(flags, c.flags);
    if (c.flags) {
      EXPECT_TRUE(open_in_handler);
    }
    {
      std::lock_guard<std::mutex> lock(driver().mu);
      EXPECT_EQ(driver().cancels, c.cancels);
    }
    port_.OnRXFLAG = nullptr;
    TearDown();
  }
}

// The run's passes with the watcher's hand-overs served and `step` taken once
// per pass; given up after a minute.
kelv::PassHooks Passes(std::function<void()> step) {
  kelv::PassHooks hooks;
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(60);
  hooks.process_messages = [step] {
    HandOver::Ui().ServePending();
    step();
  };
  hooks.cancelled = [give_up] { return Clock::now() > give_up; };
  hooks.wait = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  hooks.line_completed = [](const kelv::Reception&, const kelv::Reception::StepResult&) {};
  return hooks;
}

// The status query fails as it does for a gone device: a glitch (a USB
// adapter waking from power management) is retried and the program arrives;
// a failure lasting three passes (some 300 ms) is an adapter pulled out, and
// the run ends as after a failed read, with the lines it completed.
TEST_F(StandInTest, FailedStatusEndsTheRunOnlyWhenItLasts) {
  const struct {
    const char* name;
    int fail_polls;
    kelv::RunEnd end;
  } rows[] = {
      {"one pass", 1, kelv::RunEnd::Finished},
      {"two passes", 2, kelv::RunEnd::Finished},
      {"three passes", 3, kelv::RunEnd::ReadFailed},
      {"for good", -1, kelv::RunEnd::ReadFailed},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    ASSERT_TRUE(port_.Open());
    driver().polls = 0;
    driver().habits.status_fails_from = 3;
    driver().habits.status_fail_polls = row.fail_polls;
    driver().Deliver({'%', '\n', 'G', '1', '\n', 'G', '2', '\n'});
    kelv::LineAnswers answers(port_);
    kelv::Reception rx(kelv::ReceptionSettings{});
    bool rest = false;
    const Clock::time_point t0 = Clock::now();
    const kelv::RunEnd end = kelv::PollLine(port_, rx, answers, Passes([&] {
      if (!rest && driver().polls >= 6) driver().Deliver({'G', '3', '\n', '%'});
      rest = rest || driver().polls >= 6;
    }));
    EXPECT_EQ(end, row.end);
    EXPECT_EQ(rx.LineCount(), row.end == kelv::RunEnd::Finished ? 4 : 3);
    if (row.end == kelv::RunEnd::ReadFailed) {
      EXPECT_GE(MsSince(t0), 200) << "given up before the failure lasted";
      EXPECT_TRUE(port_.IsOpen());
    }
    TearDown();
  }
}

// Line errors the driver reports reach the run with the lines they hit: kinds
// from the status queries, places where the system marks the bytes. The bytes
// are stored as they came.
TEST_F(StandInTest, LineErrorsReachTheRunWithTheirLines) {
  using namespace serialdev;
  const std::string program = "%\nO1\nG1 X1\nG2 Y2\n%\n";  // lines from bytes 0, 2, 5, 11, 17
  struct Row {
    const char* name;
    uint32_t flags;
    std::vector<uint64_t> marked;
    std::string errors;
  };
  const Row rows[] = {
      {"parity at byte 7", CE_RXPARITY, {7}, kelv::Sjis("回線エラー:パリティ 1文字 3行目")},
      {"framing", CE_FRAME, {}, kelv::Sjis("回線エラー:フレーミング")},
      {"an overrun flag", CE_OVERRUN, {}, kelv::Sjis("回線エラー:オーバーラン")},
      {"break", CE_BREAK, {}, kelv::Sjis("回線エラー:ブレーク")},
      {"none", 0, {}, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SetUp();
    driver().habits.error_flags = r.flags;
    driver().habits.marked = r.marked;
    ASSERT_TRUE(port_.Open());
    driver().Deliver(std::vector<uint8_t>(program.begin(), program.end()));
    kelv::LineAnswers answers(port_);
    kelv::Reception rx(kelv::ReceptionSettings{});
    EXPECT_EQ(kelv::PollLine(port_, rx, answers, Passes([] {})), kelv::RunEnd::Finished);
    rx.FinishRun();
    EXPECT_EQ(kelv::LineErrorText(rx.Errors(), 3), r.errors);
    EXPECT_EQ(rx.Lines(), (std::vector<std::string>{"%", "O1", "G1 X1", "G2 Y2", "%"}));
    TearDown();
  }
}

// A read that the system completes at once with no byte is no byte: the
// buffer's last byte is not handed out again.
TEST_F(StandInTest, ReadCompletedAtOnceWithNothingIsNoByte) {
  ASSERT_TRUE(port_.Open());
  driver().Deliver({'A'});
  uint8_t b = 0;
  ASSERT_TRUE(port_.ReadByte(b));
  driver().habits.short_reads = true;
  b = 0;
  EXPECT_FALSE(port_.ReadByte(b));
  EXPECT_EQ(b, 0);
}

// DC2s that come during a hold are answered by the one DC1 that ends it (at
// the resume level or at the run's end), from whichever side answers them:
// one hold lasts while a backlog is read.
TEST_F(StandInTest, Dc2DuringAHoldIsAnsweredWhenItEnds) {
  using linechars::kDC1;
  using linechars::kDC3;
  struct Row {
    const char* name;
    Flag flag;     // Refused: the run answers; AtOnce: the watcher does
    int dc2;       // read during the hold
    bool at_end;   // the run ends while held, instead of draining
    std::vector<uint8_t> want;
  };
  const Row rows[] = {
      {"the run's answer, drained", Flag::Refused, 1, false, {kDC3, kDC1}},
      {"the run's answers, two DC2s", Flag::Refused, 2, false, {kDC3, kDC1}},
      {"the watcher's answer, drained", Flag::AtOnce, 1, false, {kDC3, kDC1}},
      {"the run's answer, run ends held", Flag::Refused, 1, true, {kDC3, kDC1}},
      {"no DC2, run ends held", Flag::Refused, 0, true, {kDC3, kDC1}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    driver().habits.flag = row.flag;
    port_.EvtChar = linechars::kDC2;
    port_.packetsize = kelv::kRxPacketSize;
    port_.OnRXFLAG = port_.OnPACKET = [](TObject*) {};
    ASSERT_TRUE(port_.Open());
    kelv::LineAnswers answers(port_);
    answers.Pass(1000);
    for (int i = 0; i < row.dc2; ++i) {
      if (row.flag == Flag::AtOnce) answers.WatcherSawEventChar();
      answers.Read(linechars::kDC2);
    }
    answers.AfterBatch();
    answers.Pass(1000);  // the backlog still over the limit: no chatter
    EXPECT_EQ(driver().sent, std::vector<uint8_t>{kDC3});
    if (row.at_end) {
      answers.Release();
    } else {
      answers.Pass(100);
    }
    answers.Pass(100);
    EXPECT_EQ(driver().sent, row.want);
    port_.OnRXFLAG = port_.OnPACKET = nullptr;
    TearDown();
  }
}

// The control on the far end, one step per polling pass: it asks with DC2 and
// waits for the DC1 before the program, after every tenth burst and before the
// end; it sends bursts of 1000 characters (more than packetsize) once the last
// one has been read, and stops at DC3 until DC1. Any other DC1 is stray.
struct Control {
  std::string stream;
  size_t at = 0, bursts = 0, seen = 0;
  bool asking = false, held = false;
  bool watcher_first = false;  // each DC2's flag is handed over before the run reads it
  int dc2 = 0, answers = 0, stops = 0, resumed = 0, dc3_while_held = 0, stray = 0;

  // The watcher's hand-over of the flag is queued (others are served
  // meanwhile): its DC1 comes at the next pass, however slow the machine.
  void AwaitFlag(Driver& d) {
    const Clock::time_point end = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < end) {
      bool reported = false;
      {
        std::lock_guard<std::mutex> lock(d.mu);
        reported = d.flags_reported >= dc2;
      }
      if (reported && HandOver::Ui().HasPending()) return;
      HandOver::Ui().ServePending();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  void Step(Driver& d) {
    std::unique_lock<std::mutex> lock(d.mu);
    for (; seen < d.sent.size(); ++seen) {
      const uint8_t b = d.sent[seen];
      if (b == linechars::kDC3) {
        dc3_while_held += held;
        stops += !held;
        held = true;
      } else if (b == linechars::kDC1) {
        int& which = asking ? answers : held ? resumed : stray;
        ++which;
        asking = held = false;
      }
    }
    if (!d.purged || asking || held || !d.line.empty() || at == stream.size()) return;
    const size_t last = stream.size() - 3;  // "%" and its line end go alone, after a DC2
    std::vector<uint8_t> next;
    if (static_cast<size_t>(dc2) < 1 + bursts / 10 + (at == last)) {
      next = {linechars::kDC2};
      ++dc2;
      asking = true;
    } else {
      const size_t n = at < last ? std::min<size_t>(1000, last - at) : stream.size() - at;
      next.assign(stream.begin() + at, stream.begin() + at + n);
      at += n;
      bursts += at <= last;
    }
    lock.unlock();
    d.Deliver(next);
    if (asking && watcher_first) AwaitFlag(d);
  }
};

// Whatever the driver reports, every DC2 gets one DC1, a full queue one DC3,
// every hold its DC1, and Rx.nc is the program byte for byte.
TEST_F(StandInTest, EveryDc2GetsOneDc1AndEveryHoldIsLetGoWhateverTheDriverReports) {
  struct Row {
    const char* name;
    Flag flag;
    int late_ms;
    int watcher_dc1;  // of the 5 DC2s; -1: the watcher's, the run's or both (timing)
    bool woken;       // the watcher's receive events wake the run
  };
  const Row rows[] = {
      {"EV_RXFLAG at once", Flag::AtOnce, 0, 5, true},
      {"EV_RXFLAG 30 ms late", Flag::Late, 30, -1, true},
      {"EV_RXFLAG only with the next DC2", Flag::Behind, 0, 0, true},
      {"never EV_RXFLAG", Flag::Never, 0, 0, true},
      {"a mask with EV_RXFLAG refused", Flag::Refused, 0, 0, true},
      {"no events at all", Flag::NoEvents, 0, 0, false},
  };
  std::string program = "%\nO1234\n";
  for (int i = 1; i <= 1500; ++i) {
    program += "N" + std::to_string(i * 5) + " G01 X" + std::to_string(i % 97) + ".5 Y-" +
               std::to_string(i % 53) + " F" + std::to_string(100 + i % 400) + "\n";
  }
  program += "M30\n%\n";
  std::string file_form;
  for (char c : program) file_form += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const std::string rx_path = testing::TempDir() + "standin_Rx.nc";

  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    driver().habits.flag = row.flag;
    driver().habits.late_ms = row.late_ms;
    // The dialog's line: event character DC2, its packet size, both handlers.
    port_.EvtChar = linechars::kDC2;
    port_.packetsize = kelv::kRxPacketSize;
    std::unique_ptr<kelv::LineAnswers> answers;
    port_.OnRXFLAG = [&](TObject*) { answers->WatcherSawEventChar(); };
    port_.OnPACKET = [&](TObject*) { answers->WatcherQueueFull(); };
    ASSERT_TRUE(port_.Open());
    answers = std::make_unique<kelv::LineAnswers>(port_);
    EXPECT_EQ(port_.ReportsEventChar(), row.flag != Flag::Refused);

    Control control;
    control.stream = program;
    control.watcher_first = row.flag == Flag::AtOnce;
    kelv::Reception rx(kelv::ReceptionSettings{});
    kelv::PassHooks hooks = Passes([&] { control.Step(driver()); });
    std::atomic<int> wakes{0};
    hooks.wake = [&wakes] { ++wakes; };
    EXPECT_EQ(kelv::PollLine(port_, rx, *answers, hooks), kelv::RunEnd::Finished);
    // Where the driver reports no receive event, only the run's own looks,
    // more and more seldom while the line is quiet, find the bytes.
    EXPECT_EQ(wakes.load() > 0, row.woken);
    EXPECT_TRUE(port_.Close());
    rx.FinishRun();
    std::remove(rx_path.c_str());
    kelv::WriteRxFileBlocks(rx_path, rx.TakeFileBlocks());
    std::ifstream in(rx_path, std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == file_form);

    EXPECT_EQ(control.dc2, 5);
    EXPECT_EQ(control.answers, control.dc2);
    EXPECT_EQ(control.stray, 0) << "a DC1 nobody asked for";
    // From the watcher where its answer comes first, else from the run.
    EXPECT_EQ(answers->WatcherDc1() + answers->RunDc1(), 5u);
    if (row.watcher_dc1 >= 0) {
      EXPECT_EQ(answers->WatcherDc1(), static_cast<uint64_t>(row.watcher_dc1));
    }
    EXPECT_GE(control.stops, 30);
    EXPECT_EQ(control.dc3_while_held, 0);
    EXPECT_EQ(control.resumed, control.stops);
    port_.OnRXFLAG = port_.OnPACKET = nullptr;
    TearDown();
  }
  std::remove(rx_path.c_str());
}

}  // namespace
