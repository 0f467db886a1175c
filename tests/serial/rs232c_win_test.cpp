// The serial component on the Win32 backend, end to end through the test port
// (KELV_TEST_COM; its far end answers every byte b with b + 1).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <cstdlib>
#include <thread>

#include "comthd.h"
#include "handover.h"
#include "rs232c.h"
#include "rxline.h"
#include "syserror.h"
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
  for (int32_t left = 5; left > 0; --left) {
    uint8_t b = 0;
    ASSERT_TRUE(port_.ReadByte(b));
    EXPECT_EQ(b, want[5 - left]);
    // Bytes read ahead of their one-byte reads still count as queued.
    EXPECT_EQ(port_.InQueueCount(), left - 1);
  }
  EXPECT_EQ(port_.InQueueCount(), 0);
  EXPECT_TRUE(port_.Close());
  EXPECT_EQ(port_.InQueueCount(), -1);
  EXPECT_FALSE(port_.Close());
  ASSERT_TRUE(port_.Open());  // the device was let go
  EXPECT_TRUE(port_.Close());
}

// A read that times out returns false no earlier than rxtimeout, and has
// ended when it returns: the byte that comes next goes to the next read, and
// nothing lands in the caller's buffer afterwards.
TEST_F(Win32Component, TimedOutReadHasEndedWhenItReturns) {
  port_.rxtimeout = 200;
  port_.txtimeout = 5000;
  ASSERT_TRUE(port_.Open());
  uint8_t b = 0xAA;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(port_.ReadByte(b));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(190));
  EXPECT_EQ(b, 0xAA);
  ASSERT_TRUE(port_.WriteByte('x'));
  EXPECT_EQ(WaitQueued(1), 1) << "the aborted read took nothing";
  ASSERT_TRUE(port_.ReadByte(b));
  EXPECT_EQ(b, 'y');

  uint8_t buf[3] = {7, 7, 7};
  EXPECT_FALSE(port_.Read(buf, 3));
  ASSERT_TRUE(port_.Write("abc", 3));
  EXPECT_EQ(WaitQueued(3), 3);
  EXPECT_EQ(buf[0], 7);
  EXPECT_EQ(buf[2], 7);
  ASSERT_TRUE(port_.Read(buf, 3));
  EXPECT_EQ(buf[0], 'b');
  EXPECT_EQ(buf[2], 'd');
  EXPECT_TRUE(port_.Close());
}

// The port map and the name forms: each leads to the test port.
TEST_F(Win32Component, PortNamesAndMapEntriesOpen) {
  const std::string test_port = port_.portname;
  struct Case {
    std::string name;
    PortMap map;
  };
  const Case cases[] = {
      {test_port + ":", {}},
      {"\\\\.\\" + test_port, {}},
      {"COM3", {{"COM3", test_port + ":"}}},
      {"COM3", {{"com3", "\\\\.\\" + test_port}}},
      {"COM3:", {{"COM3", test_port}}},
  };
  for (const Case& c : cases) {
    port_.portname = c.name;
    port_.portmap = c.map;
    ASSERT_TRUE(port_.Open()) << c.name;
    ASSERT_TRUE(port_.WriteByte('0')) << c.name;
    uint8_t b = 0;
    EXPECT_EQ(WaitQueued(1), 1) << c.name;
    ASSERT_TRUE(port_.ReadByte(b)) << c.name;
    EXPECT_EQ(b, '1') << c.name;
    EXPECT_TRUE(port_.Close()) << c.name;
  }
}

// A port that leads nowhere keeps the system's reason (the stage maps COM9 to
// a path with no device).
TEST_F(Win32Component, FailedOpenKeepsTheSystemsReason) {
  port_.portname = "COM9";
  ASSERT_FALSE(port_.Open());
  EXPECT_NE(port_.LastFailure().code, 0);
  EXPECT_EQ(port_.LastFailure().text, kelv::SystemErrorText(port_.LastFailure().code));
  EXPECT_FALSE(port_.LastFailure().text.empty());
}

// The system's backend, with its event waits counted.
class CountingDevice final : public serialdev::SerialDevice {
 public:
  static inline std::atomic<int> waits{0};
  static inline std::atomic<int> failed{0};

  bool Open(const std::string& n) override { return d_->Open(n); }
  bool SetupQueues(uint32_t rx, uint32_t tx) override { return d_->SetupQueues(rx, tx); }
  bool GetState(serialdev::DeviceControl& c) override { return d_->GetState(c); }
  bool SetState(const serialdev::DeviceControl& c) override { return d_->SetState(c); }
  bool GetTimeouts(serialdev::CommTimeouts& t) override { return d_->GetTimeouts(t); }
  bool SetTimeouts(const serialdev::CommTimeouts& t) override { return d_->SetTimeouts(t); }
  bool SetEventMask(uint32_t m) override { return d_->SetEventMask(m); }
  bool WaitEvent(uint32_t& e) override {
    ++waits;
    const bool ok = d_->WaitEvent(e);
    if (!ok) ++failed;
    return ok;
  }
  void CancelEventWait() override { d_->CancelEventWait(); }
  bool Purge(uint32_t f) override { return d_->Purge(f); }
  bool Status(uint32_t& q) override { return d_->Status(q); }
  bool Escape(uint32_t f) override { return d_->Escape(f); }
  bool MakeTransferEvents() override { return d_->MakeTransferEvents(); }
  void CloseTransferEvents() override { d_->CloseTransferEvents(); }
  serialdev::XferStart StartRead(void* b, uint32_t n) override { return d_->StartRead(b, n); }
  serialdev::XferWait WaitRead(uint32_t ms) override { return d_->WaitRead(ms); }
  bool ReadResult(uint32_t& n) override { return d_->ReadResult(n); }
  serialdev::XferStart StartWrite(const void* b, uint32_t n) override {
    return d_->StartWrite(b, n);
  }
  serialdev::XferWait WaitWrite(uint32_t ms) override { return d_->WaitWrite(ms); }
  bool WriteResult(uint32_t& n) override { return d_->WriteResult(n); }
  bool Close() override { return d_->Close(); }

 private:
  std::unique_ptr<serialdev::SerialDevice> d_ = serialdev::MakeSerialDevice();
};

// The watcher on a serial layer whose every event wait fails (Wine ends each
// one as aborted on a pty): it keeps waiting, pauses after each failure rather
// than spinning, and Close ends it. After a few quick retries 250 ms pass per
// failed wait, so a second holds only a few; without the pause there are
// thousands (each one a thread under Wine).
TEST_F(Win32Component, FailingEventWaitsArePaced) {
  if (!wintest::UnderWine()) GTEST_SKIP() << "on Windows the waits block until an event";
  CountingDevice::waits = 0;
  CountingDevice::failed = 0;
  port_.SetDeviceFactory([] {
    return std::unique_ptr<serialdev::SerialDevice>(std::make_unique<CountingDevice>());
  });
  port_.OnRXCHAR = [](TObject*) {};
  ASSERT_TRUE(port_.Open());
  const auto t0 = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(1)) {
    HandOver::Ui().ServePending();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const int failed = CountingDevice::failed;
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_TRUE(port_.Close());
  EXPECT_GT(CountingDevice::waits, 1) << "the watcher keeps waiting";
  EXPECT_LE(failed, tcommthread::kQuickRetries + 2 + 4 * s) << failed << " failed waits in " << s
                                                           << " s";
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
  port_.packetsize = kelv::kRxPacketSize;
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
