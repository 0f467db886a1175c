// Line events through the watcher, against a pseudo-terminal. The test's main
// thread is the user-interface thread: it serves the hand-overs while polling.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "comthd.h"
#include "ptypair.h"
#include "rs232c.h"
#include "rxline.h"

namespace {

using namespace ptytest;
constexpr uint8_t DC1 = 0x11;
constexpr uint8_t DC2 = 0x12;
constexpr uint8_t DC3 = 0x13;

struct Call {
  std::string handler;
  uint32_t events;      // the watcher's Events during the call
  int32_t queue_count;  // the watcher's QueueCount during the call
  int32_t in_queue;     // the component's InQueueCount during the call
};

// The dialog's setting: DC2 as event character, its packet size, and handlers
// that log their calls and check where and by whom they are called.
class WatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(far.ok());
    UsePty(port, far);
    port.rxbuffsize = 1024;
    port.EvtChar = DC2;
    port.packetsize = kelv::kRxPacketSize;
    port.XonChar = DC1;
    port.XoffChar = DC3;
  }

  TNotifyEvent Logger(const char* name, std::function<void()> also = {}) {
    return [this, name, also](TObject* sender) {
      auto* w = dynamic_cast<tcommthread*>(sender);
      EXPECT_NE(w, nullptr) << name << ": the sender is the watcher";
      EXPECT_NE(sender, static_cast<TObject*>(&port));
      EXPECT_EQ(std::this_thread::get_id(), main_thread) << name << " off the UI thread";
      if (w) watcher = w;
      calls.push_back({name, w ? w->Events : 0, w ? w->QueueCount : -1, port.InQueueCount()});
      if (also) also();
    };
  }

  int Count(const std::string& name) const {
    int n = 0;
    for (const Call& c : calls) n += c.handler == name;
    return n;
  }

  FarEnd far;
  Trs232c port{nullptr};
  std::vector<Call> calls;
  tcommthread* watcher = nullptr;
  const std::thread::id main_thread = std::this_thread::get_id();
};

TEST_F(WatcherTest, EventCharacterIsAnsweredFromTheUiThread) {
  bool wrote = false;
  port.OnRXFLAG = Logger("RXFLAG", [&] { wrote = port.WriteByte(DC1); });
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(far.Send(Bytes{'A', 'B', DC2}));
  ASSERT_TRUE(PollUntil([&] { return Count("RXFLAG") >= 1; }));
  EXPECT_TRUE(wrote);
  EXPECT_EQ(far.Receive(1), Bytes{DC1});
  EXPECT_TRUE(calls[0].events & serialdev::EV_RXFLAG);
  // Bytes without the event character raise no receive-flag event.
  ASSERT_TRUE(far.Send("plain"));
  ASSERT_TRUE(PollUntil([&] { return port.InQueueCount() == 8; }));
  EXPECT_TRUE(port.Close());
  EXPECT_EQ(Count("RXFLAG"), 1);
}

TEST_F(WatcherTest, PacketThresholdIsALevel) {
  // With OnRXCHAR every receive event is handed over; with OnPACKET alone (the
  // dialog) only those that find the queue at the level, and the same ones.
  for (const bool every_char : {true, false}) {
    SCOPED_TRACE(every_char ? "OnRXCHAR and OnPACKET" : "OnPACKET alone");
    calls.clear();
    port.OnPACKET = Logger("PACKET", [&] { port.WriteByte(DC3); });
    port.OnRXCHAR = every_char ? Logger("RXCHAR") : nullptr;
    ASSERT_TRUE(port.Open());
    auto rx_saw = [&](int32_t n) {
      for (const Call& c : calls) {
        if (c.handler == "RXCHAR" && c.queue_count == n) return true;
      }
      return false;
    };

    ASSERT_TRUE(far.Send(Bytes(899, 'a')));
    if (every_char) {
      ASSERT_TRUE(PollUntil([&] { return rx_saw(899); })) << "a receive event at 899 bytes";
    } else {
      ASSERT_TRUE(PollUntil([&] { return port.InQueueCount() == 899; }));
    }
    EXPECT_EQ(Count("PACKET"), 0);

    ASSERT_TRUE(far.Send(Bytes{'b'}));
    ASSERT_TRUE(PollUntil([&] { return Count("PACKET") == 1; }));
    const Call& packet = *std::find_if(calls.begin(), calls.end(),
                                       [](const Call& c) { return c.handler == "PACKET"; });
    EXPECT_EQ(packet.queue_count, 0) << "QueueCount is 0 while OnPACKET runs";
    EXPECT_EQ(packet.in_queue, kelv::kRxPacketSize);
    EXPECT_EQ(far.Receive(1), Bytes{DC3});

    // Still a packet's worth or more at the next receive event: called again.
    ASSERT_TRUE(far.Send(Bytes{'c'}));
    ASSERT_TRUE(PollUntil([&] { return Count("PACKET") == 2; }));
    EXPECT_EQ(far.Receive(1), Bytes{DC3});
    EXPECT_EQ(Count("RXCHAR") > 0, every_char);
    ASSERT_TRUE(port.Close());
  }
}

TEST_F(WatcherTest, PacketSizeZeroNeverCallsOnPacket) {
  port.packetsize = 0;
  port.OnPACKET = Logger("PACKET");
  port.OnRXCHAR = Logger("RXCHAR");
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(far.Send(Bytes(1000, 'z')));
  ASSERT_TRUE(PollUntil([&] {
    return !calls.empty() && calls.back().handler == "RXCHAR" && calls.back().queue_count == 1000;
  }));
  EXPECT_EQ(Count("PACKET"), 0);
}

TEST_F(WatcherTest, ReceiveStepRunsBeforeTheFlagHandler) {
  port.OnRXFLAG = Logger("RXFLAG");
  port.OnPACKET = Logger("PACKET");
  port.OnRXCHAR = Logger("RXCHAR");
  ASSERT_TRUE(port.Open());
  Bytes data(899, 'p');
  data.push_back(DC2);
  ASSERT_TRUE(far.Send(data));
  // Not served yet: the events gather while the watcher waits for the hand-over.
  ASSERT_TRUE(PollUntil([&] { return port.InQueueCount() == kelv::kRxPacketSize; }, false));
  ASSERT_TRUE(PollUntil([&] { return Count("RXFLAG") == 1; }));
  ASSERT_GE(calls.size(), 3u);
  const std::vector<Call> last(calls.end() - 3, calls.end());
  EXPECT_EQ(last[0].handler, "PACKET");
  EXPECT_EQ(last[1].handler, "RXCHAR");
  EXPECT_EQ(last[2].handler, "RXFLAG");
  for (const Call& c : last) {
    EXPECT_EQ(c.events & (serialdev::EV_RXCHAR | serialdev::EV_RXFLAG),
              serialdev::EV_RXCHAR | serialdev::EV_RXFLAG)
        << "one set of events, dispatched in the fixed order";
  }
}

TEST_F(WatcherTest, OutputDrainedEvent) {
  port.OnTXEMPTY = Logger("TXEMPTY");
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(port.WriteByte('t'));
  EXPECT_EQ(far.Receive(1), Bytes{'t'});
  EXPECT_TRUE(PollUntil([&] { return Count("TXEMPTY") >= 1; }));
}

TEST_F(WatcherTest, CloseEndsAPendingWait) {
  port.OnRXCHAR = Logger("RXCHAR");
  port.OnCTS = Logger("CTS");  // a modem event a pty cannot report
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(port.Open());
    EXPECT_TRUE(port.Close());
  }
  EXPECT_TRUE(calls.empty());
}

TEST_F(WatcherTest, CloseServesAHandOverInFlight) {
  bool open_in_handler = false;
  bool wrote = false;
  port.OnRXFLAG = Logger("RXFLAG", [&] {
    open_in_handler = port.IsOpen();
    wrote = port.WriteByte(DC1);
  });
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(far.Send(Bytes{DC2}));
  ASSERT_TRUE(PollUntil([&] { return port.InQueueCount() == 1; }, false));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the watcher hand over
  EXPECT_TRUE(port.Close());
  // Whether the hand-over was already queued is up to the scheduler; if it
  // was, Close ran it while the component still counted as open.
  if (Count("RXFLAG") == 1) {
    EXPECT_TRUE(open_in_handler);
    EXPECT_TRUE(wrote);
    EXPECT_EQ(far.Receive(1), Bytes{DC1});
  }
}

TEST_F(WatcherTest, AFailingHandlerEndsTheWatcherOnly) {
  port.OnRXFLAG = Logger("RXFLAG", [] { throw std::runtime_error("handler failed"); });
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(far.Send(Bytes{DC2}));
  ASSERT_TRUE(PollUntil([&] { return Count("RXFLAG") == 1; }));
  ASSERT_NE(watcher, nullptr);
  EXPECT_TRUE(PollUntil([&] { return watcher->Finished(); })) << "its body ended";
  // The component itself carries on, and closes normally.
  ASSERT_TRUE(far.Send(Bytes{'k', DC2}));
  uint8_t b = 0;
  EXPECT_TRUE(port.ReadByte(b));
  EXPECT_EQ(b, DC2);
  EXPECT_TRUE(port.Close());
  EXPECT_EQ(Count("RXFLAG"), 1);
}

TEST_F(WatcherTest, FarEndGoneWhileWatching) {
  port.OnRXCHAR = Logger("RXCHAR");
  port.OnRXFLAG = Logger("RXFLAG");
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(far.Send("x"));
  ASSERT_TRUE(PollUntil([&] { return Count("RXCHAR") >= 1; }));
  far.Hangup();
  EXPECT_TRUE(PollUntil([&] { return !port.WriteByte('y'); }));
  const size_t before = calls.size();
  PollUntil([] { return false; }, true, std::chrono::milliseconds(200));
  EXPECT_EQ(calls.size(), before) << "failing waits dispatch nothing";
  EXPECT_TRUE(port.Close());
  EXPECT_FALSE(port.IsOpen());
}

}  // namespace

// The backend's cancel of a pending event wait, which Close uses on drivers
// that ignore the mask change: it ends the wait with failure while the mask
// stays set, and later waits fail at once until the device is opened again.
TEST(PosixEventWait, CancelEndsAPendingWaitForGood) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  auto dev = serialdev::MakeSerialDevice();
  ASSERT_TRUE(dev->Open(far.path()));
  ASSERT_TRUE(dev->SetEventMask(serialdev::EV_RXCHAR));
  std::atomic<int> result{-1};
  std::thread waiter([&] {
    uint32_t events = 0;
    result = dev->WaitEvent(events) ? 1 : 0;
  });
  // Nothing arrives: the wait stays pending until the cancel.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(result, -1);
  dev->CancelEventWait();
  waiter.join();  // a hang here is the failure
  EXPECT_EQ(result, 0);
  ASSERT_TRUE(far.Send("x"));
  uint32_t events = 0;
  EXPECT_FALSE(dev->WaitEvent(events)) << "cancelled for good";
  ASSERT_TRUE(dev->Close());
  ASSERT_TRUE(dev->Open(far.path()));
  ASSERT_TRUE(dev->SetEventMask(serialdev::EV_RXCHAR));
  ASSERT_TRUE(far.Send("y"));
  EXPECT_TRUE(dev->WaitEvent(events)) << "a fresh opening waits again";
  EXPECT_TRUE(events & serialdev::EV_RXCHAR);
  dev->Close();
}
