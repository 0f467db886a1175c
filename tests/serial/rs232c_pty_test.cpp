// The component's operations against a pseudo-terminal whose far end the test plays.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

#include "ptypair.h"
#include "rs232c.h"
#include "sjis.h"
#include "syserror.h"

namespace {

using namespace ptytest;

TEST(Rs232cPty, OpenIsExclusiveAndReopens) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  Trs232c a(nullptr), b(nullptr);
  UsePty(a, far);
  UsePty(b, far);

  ASSERT_TRUE(a.Open());
  EXPECT_TRUE(a.IsOpen());
  EXPECT_FALSE(a.Open()) << "second Open of an open component";
  EXPECT_FALSE(b.Open()) << "second opener of the same device";
  EXPECT_FALSE(b.IsOpen());
  EXPECT_NE(b.LastFailure().code, 0) << "the system's refusal is kept";

  // The first opening is intact.
  ASSERT_TRUE(far.Send("Q"));
  uint8_t got = 0;
  EXPECT_TRUE(a.ReadByte(got));
  EXPECT_EQ(got, 'Q');

  EXPECT_TRUE(a.Close());
  EXPECT_FALSE(a.IsOpen());
  EXPECT_FALSE(a.Close());
  ASSERT_TRUE(b.Open()) << "the device is free after Close";
  EXPECT_TRUE(b.Close());
  ASSERT_TRUE(a.Open()) << "a component opens any number of times";
  EXPECT_TRUE(a.WriteByte('R'));
  EXPECT_EQ(far.Receive(1), Bytes{'R'});
}

TEST(Rs232cPty, DevicesThatCannotBeOpened) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  // Each keeps why it did not open, in the system's words.
  const struct {
    const char* name;
    long why;
  } cases[] = {{"/nonexistent/tty0", ENOENT}, {"/dev/null", ENOTTY}, {"", ENOENT}, {"NOPORT", ENOENT}};
  for (const auto& c : cases) {
    Trs232c p(nullptr);
    p.portname = c.name;
    EXPECT_FALSE(p.Open()) << c.name;
    EXPECT_FALSE(p.IsOpen()) << c.name;
    EXPECT_EQ(p.LastFailure().code, c.why) << c.name;
    EXPECT_EQ(p.LastFailure().text, kelv::SystemErrorText(c.why)) << c.name;
  }
  // A "COMn" name leads where the port map says.
  Trs232c p(nullptr);
  UsePty(p, far);
  p.portname = "COM5";
  p.portmap = {{"com5", far.path()}};
  EXPECT_TRUE(p.Open());
}

TEST(Rs232cPty, RefusedSettingsReleaseTheDevice) {
  struct Case {
    const char* name;
    void (*spoil)(Trs232c&);
  };
  const Case cases[] = {
      {"9 data bits", [](Trs232c& p) { p.charbit = 9; }},
      {"4 data bits", [](Trs232c& p) { p.charbit = 4; }},
      {"baud 0", [](Trs232c& p) { p.bps = 0; }},
      {"1.5 stop bits at 8 data bits", [](Trs232c& p) { p.stopbit = "1.5"; }},
      {"2 stop bits at 5 data bits",
       [](Trs232c& p) {
         p.charbit = 5;
         p.stopbit = "2";
       }},
      {"impossible input queue", [](Trs232c& p) { p.rxbuffsize = -1; }},
  };
  FarEnd far;
  ASSERT_TRUE(far.ok());
  for (const Case& c : cases) {
    Trs232c p(nullptr), other(nullptr);
    UsePty(p, far);
    UsePty(other, far);
    bool opened = false;
    p.OnOpen = [&](TObject*) { opened = true; };
    c.spoil(p);
    EXPECT_FALSE(p.Open()) << c.name;
    EXPECT_FALSE(p.IsOpen()) << c.name;
    EXPECT_FALSE(opened) << c.name;
    EXPECT_EQ(p.InQueueCount(), -1) << c.name;
    // Released: anyone may open it now, and the same component with good
    // settings as well.
    ASSERT_TRUE(other.Open()) << c.name;
    EXPECT_TRUE(other.Close()) << c.name;
    Trs232c good(nullptr);
    UsePty(good, far);
    EXPECT_TRUE(good.Open()) << c.name;
  }
}

TEST(Rs232cPty, AcceptedLineSettings) {
  struct Case {
    int32_t bps;
    int32_t charbit;
    const char* parity;
    const char* stop;
  };
  const Case cases[] = {
      {14400, 8, "無し", "1"},     {9600, 7, "EVEN", "1"},       {4800, 8, "ODD", "1"},
      {31250, 8, "ｍａｒｋ", "2"}, {250000, 6, "スペース", "1"}, {110, 5, "偶数", "1.5"},
      {2400, 8, "unknown", "1.0"},
  };
  FarEnd far;
  ASSERT_TRUE(far.ok());
  for (const Case& c : cases) {
    Trs232c p(nullptr);
    UsePty(p, far);
    p.bps = c.bps;
    p.charbit = c.charbit;
    p.paritymode = kelv::Utf8ToSjis(c.parity);
    p.stopbit = c.stop;
    EXPECT_TRUE(p.Open()) << c.bps << " " << c.parity;
  }
}

TEST(Rs232cPty, BytesArriveIntactBothWays) {
  struct Case {
    const char* name;
    int32_t charbit;
    const char* parity;
    int32_t flowflag;
    uint8_t mask;  // what arrives of a byte: 7-bit lines drop bit 7
  };
  // Parity checking on (flag word 3, as the dialog has it) marks faulty input
  // in the driver; the marks must be undone exactly, 0xFF and NUL included.
  // With 7 data bits a device or adapter may pass the parity bit on in bit 7
  // ("%" as 0xA5, DC2 as 0x92): only the 7 bits arrive.
  const Case cases[] = {
      {"8N1 binary", 8, "無し", 1, 0xFF},
      {"ISO 7E1 checked", 7, "EVEN", 3, 0x7F},
      {"ISO 7E1 unchecked", 7, "EVEN", 1, 0x7F},
      {"EIA 8O1 checked", 8, "ODD", 3, 0xFF},
      {"mark checked", 8, "MARK", 3, 0xFF},
  };
  const Bytes all = AllByteValues();
  for (const Case& c : cases) {
    FarEnd far;
    ASSERT_TRUE(far.ok());
    Trs232c p(nullptr);
    UsePty(p, far);
    p.charbit = c.charbit;
    p.paritymode = kelv::Utf8ToSjis(c.parity);
    p.flowflag = c.flowflag;
    ASSERT_TRUE(p.Open()) << c.name;
    const auto cut = [&](Bytes b) {
      for (uint8_t& x : b) x = static_cast<uint8_t>(x & c.mask);
      return b;
    };

    ASSERT_TRUE(far.Send(all)) << c.name;
    Bytes in(all.size(), 0xAA);
    ASSERT_TRUE(p.Read(in.data(), static_cast<int32_t>(in.size()))) << c.name;
    EXPECT_EQ(in, cut(all)) << c.name;

    // What is sent goes out as it is.
    ASSERT_TRUE(p.Write(all.data(), static_cast<int32_t>(all.size()))) << c.name;
    EXPECT_EQ(far.Receive(all.size()), all) << c.name;

    // Byte by byte, as the dialog reads.
    ASSERT_TRUE(far.Send(Bytes{0x0D, 0x00, 0xFF, 0x8A, 0xA5, 0x92}));
    Bytes one;
    uint8_t b = 0;
    while (one.size() < 6 && p.ReadByte(b)) one.push_back(b);
    EXPECT_EQ(one, cut(Bytes{0x0D, 0x00, 0xFF, 0x8A, 0xA5, 0x92})) << c.name;
    for (uint8_t x : {0x11, 0xFF, 0x00, 0x13}) EXPECT_TRUE(p.WriteByte(x)) << c.name;
    EXPECT_EQ(far.Receive(4), (Bytes{0x11, 0xFF, 0x00, 0x13})) << c.name;
  }
}

TEST(Rs232cPty, InputQueueCount) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  Trs232c p(nullptr);
  UsePty(p, far);
  EXPECT_EQ(p.InQueueCount(), -1);
  ASSERT_TRUE(p.Open());
  EXPECT_EQ(p.InQueueCount(), 0);
  ASSERT_TRUE(far.Send("0123456789"));
  EXPECT_TRUE(PollUntil([&] { return p.InQueueCount() == 10; }));
  uint8_t b = 0;
  ASSERT_TRUE(p.ReadByte(b));
  EXPECT_EQ(b, '0');
  EXPECT_EQ(p.InQueueCount(), 9);
  p.Close();
  EXPECT_EQ(p.InQueueCount(), -1);
}

TEST(Rs232cPty, FullInputQueueLosesNothing) {
  // Far more than the queue holds: the rest waits in the kernel and arrives
  // as the queue empties.
  OpenedPty line([](Trs232c& p) { p.rxbuffsize = 64; });
  ASSERT_TRUE(line.opened);
  FarEnd& far = line.far;
  Trs232c& p = line.port;
  Bytes sent;
  for (int i = 0; i < 3000; ++i) sent.push_back(static_cast<uint8_t>(i * 7));
  std::thread writer([&] { far.Send(sent); });
  EXPECT_TRUE(PollUntil([&] { return p.InQueueCount() == 64; }));
  Bytes got;
  uint8_t b = 0;
  while (got.size() < sent.size() && p.ReadByte(b)) got.push_back(b);
  writer.join();
  EXPECT_EQ(got, sent);
}

// Read the way the reception run reads: the count, then exactly that many
// single-byte reads. Flat out the queue is topped up from what is held behind
// it; a trickle is taken in groups. Either way the count never exceeds the
// queue's size and every byte arrives once, in order.
TEST(Rs232cPty, CountedSingleByteReadsLoseAndReorderNothing) {
  struct Case {
    const char* name;
    int32_t queue;
    size_t bytes;
    int pause_us;  // between writes of `chunk` bytes; 0 flat out
    size_t chunk;
  };
  const Case cases[] = {
      {"flat out, queue 1024", 1024, 1 << 20, 0, 4096},
      {"flat out, queue 16", 16, 200000, 0, 4096},
      {"trickle, a byte at a time", 1024, 3000, 100, 1},
      {"trickle into a small queue", 8, 3000, 50, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FarEnd far;
    ASSERT_TRUE(far.ok());
    Trs232c p(nullptr);
    UsePty(p, far);
    p.rxbuffsize = c.queue;
    ASSERT_TRUE(p.Open());
    Bytes sent(c.bytes);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 31 + i / 251);
    std::thread writer([&] {
      for (size_t at = 0; at < sent.size(); at += c.chunk) {
        const auto end =
            sent.begin() + static_cast<std::ptrdiff_t>(std::min(at + c.chunk, sent.size()));
        far.Send(Bytes(sent.begin() + static_cast<std::ptrdiff_t>(at), end));
        if (c.pause_us) std::this_thread::sleep_for(std::chrono::microseconds(c.pause_us));
      }
    });
    Bytes got;
    got.reserve(sent.size());
    int32_t most = 0;
    const auto start = Clock::now();
    while (got.size() < sent.size() && Clock::now() - start < 4 * kDeadline) {
      const int32_t n = p.InQueueCount();
      most = std::max(most, n);
      if (n <= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      for (int32_t i = 0; i < n; ++i) {
        uint8_t b = 0;
        ASSERT_TRUE(p.ReadByte(b)) << "byte " << got.size();
        got.push_back(b);
      }
    }
    writer.join();
    EXPECT_LE(most, c.queue);
    EXPECT_GT(most, 0);
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
    EXPECT_EQ(p.InQueueCount(), 0);
  }
}

TEST(Rs232cPty, ReadTimesOutAndLosesNothing) {
  OpenedPty line([](Trs232c& p) { p.rxtimeout = 300; });
  ASSERT_TRUE(line.opened);
  FarEnd& far = line.far;
  Trs232c& p = line.port;

  uint8_t b = 0xAA;
  const auto t0 = Clock::now();
  EXPECT_FALSE(p.ReadByte(b));
  const int64_t ms = MsSince(t0);
  EXPECT_GE(ms, 250);
  EXPECT_LT(ms, 10000);
  EXPECT_EQ(b, 0xAA) << "output byte unchanged on failure";

  // The timed-out read holds nothing back: the next byte goes to the next read.
  ASSERT_TRUE(far.Send("Z"));
  ASSERT_TRUE(PollUntil([&] { return p.InQueueCount() == 1; }));
  EXPECT_TRUE(p.ReadByte(b));
  EXPECT_EQ(b, 'Z');

  // Too few bytes for a longer read: false, and they stay queued.
  ASSERT_TRUE(far.Send("ab"));
  ASSERT_TRUE(PollUntil([&] { return p.InQueueCount() == 2; }));
  uint8_t buf[4] = {};
  EXPECT_FALSE(p.Read(buf, 4));
  EXPECT_EQ(p.InQueueCount(), 2);
  EXPECT_TRUE(p.Read(buf, 2));
  EXPECT_EQ(buf[0], 'a');
  EXPECT_EQ(buf[1], 'b');
  EXPECT_FALSE(p.Read(buf, -1));
}

// A read that times out has ended when it returns: bytes that come later stay
// queued and never land in the caller's buffer; with time-out 0 the read
// returns at once instead of waiting for ever.
TEST(Rs232cPty, TimedOutReadLeavesTheBufferAlone) {
  for (int32_t timeout : {100, 0}) {
    SCOPED_TRACE(timeout);
    FarEnd far;
    ASSERT_TRUE(far.ok());
    Trs232c p(nullptr);
    UsePty(p, far);
    p.rxtimeout = timeout;
    ASSERT_TRUE(p.Open());
    uint8_t buf[3] = {7, 7, 7};
    EXPECT_FALSE(p.Read(buf, 3));
    ASSERT_TRUE(far.Send("abc"));
    ASSERT_TRUE(PollUntil([&] { return p.InQueueCount() == 3; }));
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{7, 7, 7}));
    if (timeout == 0) p.rxtimeout = 5000;
    EXPECT_TRUE(p.Read(buf, 3));
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{'a', 'b', 'c'}));
  }
}

TEST(Rs232cPty, ReadIntervalEndsAReadBetweenBytes) {
  OpenedPty line([](Trs232c& p) { p.rxtimeout = 60000; p.readinterval = 100; });
  ASSERT_TRUE(line.opened);
  FarEnd& far = line.far;
  Trs232c& p = line.port;
  ASSERT_TRUE(far.Send("xy"));
  uint8_t buf[8] = {};
  const auto t0 = Clock::now();
  EXPECT_FALSE(p.Read(buf, 8));
  EXPECT_LT(MsSince(t0), 30000) << "ended by the pause, not by rxtimeout";
  EXPECT_EQ(p.InQueueCount(), 2);
}

TEST(Rs232cPty, WriteTimesOutWhenTheFarEndDoesNotRead) {
  OpenedPty line([](Trs232c& p) { p.txtimeout = 300; });
  ASSERT_TRUE(line.opened);
  FarEnd& far = line.far;
  Trs232c& p = line.port;
  const Bytes big(1 << 20, 'w');
  const auto t0 = Clock::now();
  EXPECT_FALSE(p.Write(big.data(), static_cast<int32_t>(big.size())));
  EXPECT_LT(MsSince(t0), 10000);

  // Once the far end reads again, the next write goes through.
  const Bytes first = far.Drain(200);
  EXPECT_FALSE(first.empty());
  EXPECT_TRUE(p.WriteByte('!'));
  Bytes rest = far.Drain(500);
  ASSERT_FALSE(rest.empty());
  EXPECT_EQ(rest.back(), '!');
}

TEST(Rs232cPty, ModemLinesOfAPtyAreRefused) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  Trs232c p(nullptr);
  UsePty(p, far);
  EXPECT_FALSE(p.SetDTR(true));
  EXPECT_FALSE(p.SetRTS(true));
  ASSERT_TRUE(p.Open());
  // A pty has no modem lines: the escape fails, nothing else does.
  EXPECT_FALSE(p.SetDTR(true));
  EXPECT_FALSE(p.SetRTS(false));
  EXPECT_TRUE(p.WriteByte('k'));
  EXPECT_EQ(far.Receive(1), Bytes{'k'});
}

TEST(Rs232cPty, ClosedComponentRefusesEverything) {
  Trs232c p(nullptr);
  uint8_t b = 7;
  uint8_t buf[2] = {};
  EXPECT_FALSE(p.Close());
  EXPECT_FALSE(p.Read(buf, 2));
  EXPECT_FALSE(p.Write(buf, 2));
  EXPECT_FALSE(p.ReadByte(b));
  EXPECT_EQ(b, 7);
  EXPECT_FALSE(p.WriteByte(1));
  EXPECT_EQ(p.InQueueCount(), -1);
}

TEST(Rs232cPty, OpenAndCloseHandlers) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  Trs232c p(nullptr);
  UsePty(p, far);
  std::vector<std::string> log;
  p.OnOpen = [&](TObject* sender) {
    EXPECT_EQ(sender, &p);
    EXPECT_TRUE(p.IsOpen());
    log.push_back("open");
  };
  p.OnClose = [&](TObject* sender) {
    EXPECT_EQ(sender, &p);
    // Already counted as closed ...
    EXPECT_FALSE(p.IsOpen());
    EXPECT_EQ(p.InQueueCount(), -1);
    uint8_t b = 0;
    EXPECT_FALSE(p.ReadByte(b));
    // ... but the device is still held.
    Trs232c other(nullptr);
    UsePty(other, far);
    EXPECT_FALSE(other.Open());
    log.push_back("close");
  };
  ASSERT_TRUE(p.Open());
  EXPECT_TRUE(p.Close());
  EXPECT_EQ(log, (std::vector<std::string>{"open", "close"}));
  Trs232c other(nullptr);
  UsePty(other, far);
  EXPECT_TRUE(other.Open());
}

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST(Rs232cPty, FarEndGoneMakesEveryCallFail) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  Trs232c p(nullptr);
  UsePty(p, far);
  p.rxtimeout = 30000;
  p.txtimeout = 30000;
  int rx_calls = 0;
  p.OnRXCHAR = [&](TObject*) { ++rx_calls; };  // a watcher waits on the device
  ASSERT_TRUE(p.Open());
  far.Hangup();

  // No call blocks for its time-out on a device that is gone.
  uint8_t b = 0;
  EXPECT_TRUE(PollUntil([&] { return !p.WriteByte('x'); }));
  const auto t0 = Clock::now();
  EXPECT_FALSE(p.ReadByte(b));
  EXPECT_FALSE(p.WriteByte('x'));
  EXPECT_LT(MsSince(t0), 10000);
  // Still open, yet gone: the count says so, and a run polling it ends.
  EXPECT_EQ(p.InQueueCount(), -1);
  EXPECT_FALSE(p.SetDTR(true));

  // Nothing spins meanwhile: neither the watcher's failing waits nor the reader.
  const double cpu0 = CpuSeconds();
  const auto w0 = Clock::now();
  PollUntil([] { return false; }, true, std::chrono::milliseconds(500));
  const double wall = static_cast<double>(MsSince(w0)) / 1000.0;
  EXPECT_LT(CpuSeconds() - cpu0, wall / 2);

  p.Close();
  EXPECT_FALSE(p.IsOpen());
}

}  // namespace
