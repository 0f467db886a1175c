// The Win32 serial backend on a port whose far end answers every byte b with
// b + 1 (the Windows stage plays it on a pty). The port comes from KELV_TEST_COM;
// without it these tests are skipped. Never point it at a real line.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "serialdev.h"
#include "wintest.h"

namespace {

using serialdev::XferStart;
using serialdev::XferWait;

constexpr uint32_t kGenerousMs = 10000;
constexpr uint32_t kEvRxChar = serialdev::EV_RXCHAR;
constexpr uint32_t kEvRxFlag = serialdev::EV_RXFLAG;
constexpr uint32_t kPurgeAll = 0x0F;
constexpr uint8_t kDC2 = 0x12;

std::string TestPort() {
  const char* p = std::getenv("KELV_TEST_COM");
  return p ? p : "";
}

class Win32Serial : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = TestPort();
    if (port_.empty()) GTEST_SKIP() << "KELV_TEST_COM is not set: no test port";
    // Wine's COM1 is the machine's first real serial port; low numbers may be too.
    ASSERT_NE(port_, "COM1") << "refusing a port that may be a real line";
    dev_ = serialdev::MakeSerialDevice();
    ASSERT_TRUE(dev_->Open(port_)) << port_;
  }
  void TearDown() override {
    if (dev_) {
      dev_->Purge(0x03);
      dev_->SetEventMask(0);
      dev_->CloseTransferEvents();
      dev_->Close();
    }
  }

  // The configuration sequence of the component's Open, with 8N1 binary.
  void Configure(uint32_t read_total_ms, uint32_t event_mask, uint8_t evt_char = 0,
                 uint8_t byte_size = 8) {
    ASSERT_TRUE(dev_->SetupQueues(4096, 4096));
    serialdev::DeviceControl dcb;
    dev_->GetState(dcb);
    dcb.BaudRate = 9600;
    dcb.StopBits = serialdev::ONESTOPBIT;
    // Seven data bits as the ISO presets use them: with even parity.
    dcb.Parity = byte_size < 8 ? serialdev::EVENPARITY : serialdev::NOPARITY;
    dcb.ByteSize = byte_size;
    dcb.Flags = serialdev::F_BINARY;
    if (evt_char) dcb.EvtChar = evt_char;
    ASSERT_TRUE(dev_->SetState(dcb));
    serialdev::CommTimeouts t;
    dev_->GetTimeouts(t);
    t.ReadIntervalTimeout = 0;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = read_total_ms;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = 5000;
    ASSERT_TRUE(dev_->SetTimeouts(t));
    dev_->SetEventMask(event_mask);
    dev_->Purge(kPurgeAll);
    ASSERT_TRUE(dev_->MakeTransferEvents());
  }

  bool WriteAll(const std::string& bytes) {
    XferStart s = dev_->StartWrite(bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (s == XferStart::Failed) return false;
    if (s == XferStart::Pending && dev_->WaitWrite(kGenerousMs) != XferWait::Signalled)
      return false;
    uint32_t n = 0;
    return dev_->WriteResult(n) && n == bytes.size();
  }

  // Reads `count` bytes: at once, or by waiting for the transfer under way.
  // The count transferred, or -1 when the read failed or did not end.
  int64_t ReadAll(void* buf, uint32_t count) {
    XferStart s = dev_->StartRead(buf, count);
    if (s == XferStart::Failed) return -1;
    if (s == XferStart::Pending && dev_->WaitRead(kGenerousMs) != XferWait::Signalled) return -1;
    uint32_t n = 0;
    return dev_->ReadResult(n) ? n : -1;
  }

  // Polls the input-queue count until it holds `want` bytes (or the deadline).
  uint32_t WaitQueued(uint32_t want) {
    uint32_t q = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (dev_->Status(q) && q >= want) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return q;
  }

  std::string port_;
  std::unique_ptr<serialdev::SerialDevice> dev_;
};

// With 7 data bits the bit above them never reaches the caller, whatever the
// line brought in it (a parity bit passed up: "%" as 0xA5).
TEST_F(Win32Serial, WritesAndReadsThroughThePort) {
  for (const uint8_t bits : {8, 7}) {
    SCOPED_TRACE(static_cast<int>(bits));
    if (bits == 7) {
      TearDown();
      SetUp();
    }
    Configure(kGenerousMs, 0, 0, bits);
    const std::string sent("Kelv\x11\x13\x00\xff\xc0\n\xa4", 11);
    std::string want;
    for (char c : sent) want += static_cast<char>((static_cast<uint8_t>(c) + 1) & ((1 << bits) - 1));

    // A read that completes at once, then one under way before its byte comes.
    ASSERT_TRUE(WriteAll(sent.substr(0, 10)));
    EXPECT_EQ(WaitQueued(10), 10u);
    std::string got(10, '\0');
    EXPECT_EQ(ReadAll(got.data(), 10), 10);
    char last = 0;
    const XferStart started = dev_->StartRead(&last, 1);
    ASSERT_NE(started, XferStart::Failed);
    ASSERT_TRUE(WriteAll(sent.substr(10)));
    if (started == XferStart::Pending) {
      ASSERT_EQ(dev_->WaitRead(kGenerousMs), XferWait::Signalled);
    }
    uint32_t n = 0;
    EXPECT_TRUE(dev_->ReadResult(n));
    EXPECT_EQ(got + last, want);
    uint32_t left = 99;
    EXPECT_TRUE(dev_->Status(left));
    EXPECT_EQ(left, 0u);
  }
}

TEST_F(Win32Serial, ReopensAfterClose) {
  Configure(kGenerousMs, 0);
  dev_->Purge(0x03);
  dev_->CloseTransferEvents();
  ASSERT_TRUE(dev_->Close());
  EXPECT_FALSE(dev_->Close());
  ASSERT_TRUE(dev_->Open(port_));
  Configure(kGenerousMs, 0);
  ASSERT_TRUE(WriteAll("A"));
  char c = 0;
  EXPECT_EQ(ReadAll(&c, 1), 1);
  EXPECT_EQ(c, 'B');
}

// A read that outlives its wait keeps its record and buffer: the next read in
// that direction is refused until the first one has completed.
TEST_F(Win32Serial, PendingReadKeepsItsRecord) {
  Configure(0, 0);  // no total time-out: the read waits for its byte
  char first = 0;
  ASSERT_EQ(dev_->StartRead(&first, 1), XferStart::Pending);
  EXPECT_EQ(dev_->WaitRead(50), XferWait::TimedOut);
  char second = 0;
  EXPECT_EQ(dev_->StartRead(&second, 1), XferStart::Failed);

  ASSERT_TRUE(WriteAll("x"));  // the far end answers 'y' into the pending read
  ASSERT_EQ(dev_->WaitRead(kGenerousMs), XferWait::Signalled);
  uint32_t n = 0;
  ASSERT_TRUE(dev_->ReadResult(n));
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(first, 'y');
  EXPECT_EQ(second, 0);

  ASSERT_TRUE(WriteAll("a"));  // the record is free again
  EXPECT_EQ(ReadAll(&second, 1), 1);
  EXPECT_EQ(second, 'b');
}

// A read ended by the abort purge reports its end through its own event (the
// purge may return first), and the record serves the next read.
TEST_F(Win32Serial, AbortedReadEndsAndItsRecordServesAgain) {
  if (wintest::UnderWine()) {
    GTEST_SKIP() << "Wine's PurgeComm only empties the queues: a pending read stays "
                    "pending (the component's waiting for it is shown by the stand-in "
                    "driver in test_core)";
  }
  Configure(0, 0);  // no total time-out: only the purge ends the read
  char c = 0x55;
  ASSERT_EQ(dev_->StartRead(&c, 1), XferStart::Pending);
  EXPECT_EQ(dev_->WaitRead(20), XferWait::TimedOut);
  ASSERT_TRUE(dev_->Purge(serialdev::PURGE_RXABORT));
  ASSERT_EQ(dev_->WaitRead(kGenerousMs), XferWait::Signalled);
  uint32_t n = 99;
  EXPECT_FALSE(dev_->ReadResult(n)) << "reported as aborted";
  EXPECT_EQ(c, 0x55);

  ASSERT_TRUE(WriteAll("m"));  // the far end answers 'n' into the next read
  EXPECT_EQ(ReadAll(&c, 1), 1);
  EXPECT_EQ(c, 'n');
}

// Port names in every accepted form open the device (and COM99 needs the
// device namespace, as COM10 and above do on Windows).
TEST_F(Win32Serial, EveryFormOfTheNameOpens) {
  dev_->Close();
  const std::string bare = port_;
  std::string lower = bare;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  for (const std::string& name : {bare, lower, bare + ":", "\\\\.\\" + bare,
                                  "\\\\.\\" + bare + ":", "//./" + bare}) {
    EXPECT_TRUE(dev_->Open(name)) << name;
    EXPECT_TRUE(dev_->Close()) << name;
  }
  ASSERT_TRUE(dev_->Open(port_));
}

// A cancelled event wait ends, and later waits end at once, until the device
// is opened again; the watcher never blocks on a record the system still holds.
TEST_F(Win32Serial, CancelledEventWaitEndsForGood) {
  Configure(kGenerousMs, kEvRxChar);
  std::atomic<int> result{-1};
  std::thread watcher([&] {
    uint32_t events = 0;
    result = dev_->WaitEvent(events) ? 1 : 0;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const bool pends = !wintest::UnderWine();  // Wine ends the wait at once
  if (pends) {
    EXPECT_EQ(result, -1) << "nothing came: the wait is pending";
  }
  dev_->CancelEventWait();
  watcher.join();  // a hang here is the failure
  if (pends) {
    EXPECT_EQ(result, 0);
  }
  uint32_t events = 0;
  EXPECT_FALSE(dev_->WaitEvent(events));
  // The transfers are untouched by it.
  ASSERT_TRUE(WriteAll("c"));
  char c = 0;
  EXPECT_EQ(ReadAll(&c, 1), 1);
  EXPECT_EQ(c, 'd');
}

// Waits that fail over and over (Wine ends each one as aborted) each end, and
// leave the transfers working.
TEST_F(Win32Serial, RepeatedFailingWaitsEachEnd) {
  if (!wintest::UnderWine()) GTEST_SKIP() << "a Windows driver keeps the wait pending";
  Configure(kGenerousMs, kEvRxChar);
  int failed = 0;
  for (int i = 0; i < 50; ++i) {
    uint32_t events = 0;
    failed += dev_->WaitEvent(events) ? 0 : 1;
  }
  EXPECT_GT(failed, 0);
  ASSERT_TRUE(WriteAll("p"));
  char c = 0;
  EXPECT_EQ(ReadAll(&c, 1), 1);
  EXPECT_EQ(c, 'q');
}

// ---- Cases that need a real Windows driver; Wine's serial layer differs.

// Wine's event wait reads the modem status, which a pty does not have, so
// there every wait ends at once as aborted.
constexpr const char* kWineNoWait =
    "Wine ends every WaitCommEvent on a pty at once (no modem status)";

TEST_F(Win32Serial, ReceiveEventReachesTheWatcher) {
  if (wintest::UnderWine()) GTEST_SKIP() << kWineNoWait;
  Configure(kGenerousMs, kEvRxChar);
  uint32_t events = 0;
  bool ok = false;
  std::thread watcher([&] { ok = dev_->WaitEvent(events); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(WriteAll("z"));
  watcher.join();
  EXPECT_TRUE(ok);
  EXPECT_TRUE(events & kEvRxChar) << events;
}

// Clearing the mask is how Close ends the watcher: a pending wait ends, and a
// wait begun afterwards ends at once.
TEST_F(Win32Serial, ClearingTheMaskEndsTheWait) {
  if (wintest::UnderWine()) GTEST_SKIP() << kWineNoWait;
  Configure(kGenerousMs, kEvRxChar);
  std::atomic<bool> ended{false};
  std::thread watcher([&] {
    uint32_t events = 0;
    dev_->WaitEvent(events);
    ended = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(ended);
  dev_->SetEventMask(0);
  watcher.join();  // a hang here is the failure
  EXPECT_TRUE(ended);
  uint32_t events = 0xFFFF;
  dev_->WaitEvent(events);  // must not block
}

TEST_F(Win32Serial, SecondOpenIsRefused) {
  if (wintest::UnderWine()) GTEST_SKIP() << "Wine lets a second CreateFileA open a port in use";
  Configure(kGenerousMs, 0);
  auto other = serialdev::MakeSerialDevice();
  EXPECT_FALSE(other->Open(port_));
}

TEST_F(Win32Serial, ReadEndsAtItsTimeout) {
  if (wintest::UnderWine()) GTEST_SKIP() << "Wine does not honour read time-outs";
  Configure(200, 0);
  char c = 0;
  XferStart s = dev_->StartRead(&c, 1);
  ASSERT_EQ(s, XferStart::Pending);
  ASSERT_EQ(dev_->WaitRead(kGenerousMs), XferWait::Signalled);  // ended by the driver
  uint32_t n = 99;
  ASSERT_TRUE(dev_->ReadResult(n));
  EXPECT_EQ(n, 0u);
}

TEST_F(Win32Serial, EventCharacterRaisesRxFlag) {
  if (wintest::UnderWine()) GTEST_SKIP() << "Wine does not report EV_RXFLAG";
  Configure(kGenerousMs, kEvRxChar | kEvRxFlag, kDC2);
  uint32_t seen = 0;
  std::thread watcher([&] {
    for (int i = 0; i < 10 && !(seen & kEvRxFlag); ++i) {
      uint32_t events = 0;
      if (dev_->WaitEvent(events)) seen |= events;
    }
  });
  ASSERT_TRUE(WriteAll("\x11"));  // answered with DC2
  watcher.join();
  EXPECT_TRUE(seen & kEvRxFlag) << seen;
}

TEST_F(Win32Serial, LineSettingsReadBack) {
  if (wintest::UnderWine()) GTEST_SKIP() << "Wine reads back the pty's settings";
  Configure(kGenerousMs, 0);
  serialdev::DeviceControl dcb;
  ASSERT_TRUE(dev_->GetState(dcb));
  dcb.BaudRate = 2400;
  dcb.ByteSize = 7;
  dcb.Parity = serialdev::EVENPARITY;
  dcb.StopBits = serialdev::TWOSTOPBITS;
  dcb.Flags = serialdev::F_BINARY | serialdev::F_PARITY | serialdev::F_OUTX | serialdev::F_INX;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.EvtChar = kDC2;
  ASSERT_TRUE(dev_->SetState(dcb));
  serialdev::DeviceControl back;
  ASSERT_TRUE(dev_->GetState(back));
  EXPECT_EQ(back.BaudRate, 2400u);
  EXPECT_EQ(back.ByteSize, 7);
  EXPECT_EQ(back.Parity, serialdev::EVENPARITY);
  EXPECT_EQ(back.StopBits, serialdev::TWOSTOPBITS);
  EXPECT_EQ(back.Flags, dcb.Flags);
  EXPECT_EQ(back.XonChar, 0x11);
  EXPECT_EQ(back.XoffChar, 0x13);
  EXPECT_EQ(back.EvtChar, kDC2);
}

TEST_F(Win32Serial, ModemLinesFollowEscapes) {
  if (wintest::UnderWine()) GTEST_SKIP() << "a pty has no modem-control lines";
  Configure(kGenerousMs, 0);
  for (uint32_t f : {serialdev::SETDTR, serialdev::SETRTS, serialdev::CLRRTS, serialdev::CLRDTR}) {
    EXPECT_TRUE(dev_->Escape(f)) << f;
  }
}

// Need no port: a device name that no driver has.
TEST(Win32SerialNoPort, MissingDeviceDoesNotOpen) {
  auto dev = serialdev::MakeSerialDevice();
  EXPECT_FALSE(dev->Open("KELVNOSUCHPORT"));
  EXPECT_FALSE(dev->Close());
}

// A wait with nothing under way reports failure rather than a time-out, also
// after a start that was refused at once; a refused start never blocks the
// direction's record.
TEST(Win32SerialNoPort, NothingStartedNothingToWaitFor) {
  auto dev = serialdev::MakeSerialDevice();
  ASSERT_TRUE(dev->MakeTransferEvents());
  EXPECT_EQ(dev->WaitRead(0), XferWait::Failed);
  EXPECT_EQ(dev->WaitWrite(0), XferWait::Failed);
  char c = 0;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(dev->StartRead(&c, 1), XferStart::Failed);  // no device behind it
    EXPECT_EQ(dev->WaitRead(0), XferWait::Failed);
    EXPECT_EQ(dev->StartWrite(&c, 1), XferStart::Failed);
    EXPECT_EQ(dev->WaitWrite(0), XferWait::Failed);
  }
  dev->CloseTransferEvents();
  EXPECT_EQ(dev->StartRead(&c, 1), XferStart::Failed);
}

}  // namespace
