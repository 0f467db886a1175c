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
  int reads_before_short = -1;  // ... from the read after this many (-1: never)
  // What the control sends the moment the line is open: queued just after
  // the opening's purge.
  std::vector<uint8_t> at_open;
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

// A stand-in device over g_driver, for Trs232c::SetDeviceFactory
// (standin_device.cpp).
std::unique_ptr<serialdev::SerialDevice> MakeStandIn();

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
