// The serial component on the Win32 backend, end to end through the test port
// (KELV_TEST_COM; its far end answers every byte b with b + 1).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "handover.h"
#include "rs232c.h"
#include "wintest.h"

namespace {

constexpr uint8_t kDC1 = 0x11;
constexpr uint8_t kDC2 = 0x12;
constexpr uint8_t kDC3 = 0x13;

class Win32Component : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* p = std::getenv("KELV_TEST_COM");
    if (!p || !*p) GTEST_SKIP() << "KELV_TEST_COM is not set: no test port";
    ASSERT_STRNE(p, "COM1") << "refusing a port that may be a real line";
    HandOver::Ui().Install({});
    port_.portname = p;
  }

  // Polls the input queue, serving hand-overs, until it holds `want` bytes.
  int32_t WaitQueued(int32_t want) {
    int32_t q = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      HandOver::Ui().ServePending();
      q = port_.InQueueCount();
      if (q >= want) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return q;
  }

  Trs232c port_{nullptr};
};

TEST_F(Win32Component, MovesBytesWithoutWatcher) {
  port_.bps = 9600;
  port_.rxtimeout = 5000;
  port_.txtimeout = 5000;
  ASSERT_TRUE(port_.Open());
  EXPECT_FALSE(port_.Open());
  const uint8_t sent[] = {'%', 0x00, 0xFE, '\n'};
  ASSERT_TRUE(port_.Write(sent, sizeof sent));
  ASSERT_TRUE(port_.WriteByte('A'));
  EXPECT_EQ(WaitQueued(5), 5);
  const uint8_t want[] = {'&', 0x01, 0xFF, '\v', 'B'};
  for (uint8_t w : want) {
    uint8_t b = 0;
    ASSERT_TRUE(port_.ReadByte(b));
    EXPECT_EQ(b, w);
  }
  EXPECT_EQ(port_.InQueueCount(), 0);
  EXPECT_TRUE(port_.Close());
  EXPECT_EQ(port_.InQueueCount(), -1);
  EXPECT_FALSE(port_.Close());
  ASSERT_TRUE(port_.Open());  // the device was let go
  EXPECT_TRUE(port_.Close());
}

// The dialog's setting: 7 data bits, even parity, DC2 as event character,
// OnRXFLAG and OnPACKET assigned, so a watcher runs between Open and Close.
TEST_F(Win32Component, DialogSettingsWithWatcher) {
  port_.bps = 9600;
  port_.charbit = 7;
  port_.paritymode = "EVEN";
  port_.XonChar = kDC1;
  port_.XoffChar = kDC3;
  port_.EvtChar = kDC2;
  port_.packetsize = 900;
  int rxflag = 0;
  port_.OnRXFLAG = [&](TObject*) { ++rxflag; };
  port_.OnPACKET = [&](TObject*) {};
  ASSERT_TRUE(port_.Open());
  ASSERT_TRUE(port_.WriteByte(kDC1));  // answered with DC2
  EXPECT_GE(WaitQueued(1), 1);
  uint8_t b = 0;
  ASSERT_TRUE(port_.ReadByte(b));
  EXPECT_EQ(b, kDC2);
  if (!wintest::UnderWine()) {
    // The DC2 raised the receive-flag event.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (rxflag == 0 && std::chrono::steady_clock::now() < deadline) {
      HandOver::Ui().ServePending();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(rxflag, 1);
  }
  EXPECT_TRUE(port_.Close());  // a hang here is a watcher that did not end
  EXPECT_FALSE(port_.IsOpen());
  if (wintest::UnderWine()) {
    GTEST_SKIP() << "data path checked; Wine raises no line events on a pty, so the "
                    "handlers were not called";
  }
}

}  // namespace
