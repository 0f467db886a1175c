// The component's handling of transfers and line-event waits that the device
// ends late or not at all, against the stand-in driver (standin_device.h).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "comthd.h"
#include "handover.h"
#include "rs232c.h"
#include "standin_device.h"

namespace {

using namespace standin;

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

}  // namespace
