// A far end that hangs up right after sending: what the line had taken in
// before stays readable, and only then does every read fail and the queue
// count say that the device has gone.
#include <gtest/gtest.h>

#include <atomic>

#include "ptypair.h"
#include "rs232c.h"

namespace {

using namespace ptytest;

TEST(Rs232cHangup, BytesReceivedBeforeTheHangUpStayReadable) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  Trs232c p(nullptr);
  UsePty(p, far);
  p.OnRXCHAR = [](TObject*) {};  // a watcher waits on the device, as in the dialog
  ASSERT_TRUE(p.Open());
  // The device itself tells of what arrives, and of its end.
  std::atomic<int> wakes{0};
  ASSERT_EQ(p.SetArrivalWake([&wakes] { ++wakes; }), Trs232c::ArrivalWakes::Always);
  ASSERT_TRUE(far.Send("G1 X1."));
  ASSERT_TRUE(PollUntil([&] { return p.InQueueCount() == 6; }));
  ASSERT_TRUE(PollUntil([&] { return wakes.load() > 0; }));
  const int before_hangup = wakes.load();
  far.Hangup();
  ASSERT_TRUE(PollUntil([&] { return wakes.load() > before_hangup; }));
  // A write fails once the line is known to be gone.
  ASSERT_TRUE(PollUntil([&] { return !p.WriteByte(0x11); }));

  EXPECT_EQ(p.InQueueCount(), 6);
  uint8_t more[8] = {};
  EXPECT_FALSE(p.Read(more, 7)) << "more than is left can never come";
  char head[4] = {};
  ASSERT_TRUE(p.Read(head, 3));
  EXPECT_EQ(std::string(head, 3), "G1 ");
  std::string rest;
  for (uint8_t b = 0; p.InQueueCount() > 0 && rest.size() < 10;) {
    ASSERT_TRUE(p.ReadByte(b));
    rest += static_cast<char>(b);
  }
  EXPECT_EQ(rest, "X1.");
  const auto t0 = Clock::now();
  uint8_t b = 0;
  EXPECT_FALSE(p.ReadByte(b));
  EXPECT_LT(MsSince(t0), 2000) << "a gone line fails at once";
  EXPECT_EQ(p.InQueueCount(), -1) << "open, yet gone: nothing more will come";
  EXPECT_TRUE(p.Close());
}

}  // namespace
