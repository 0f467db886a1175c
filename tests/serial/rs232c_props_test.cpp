// The serial component as a holder of settings: values after construction, the
// flow set over the flag word, handler slots, ownership and destruction.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rs232c.h"
#include "rxline.h"
#include "sjis.h"

namespace {

TEST(Rs232cProps, ValuesAfterConstruction) {
  Trs232c c(nullptr);
  const struct {
    const char* name;
    int64_t got;
    int64_t want;
  } numbers[] = {
      {"charbit", c.charbit, 8},           {"bps", c.bps, 9600},
      {"rxbuffsize", c.rxbuffsize, 1024},  {"txbuffsize", c.txbuffsize, 1024},
      {"readinterval", c.readinterval, 0}, {"txtimeout", c.txtimeout, 30000},
      {"rxtimeout", c.rxtimeout, 30000},   {"flowflag", c.flowflag, 1},
      {"packetsize", c.packetsize, 0},     {"XonLim", c.XonLim, 0},
      {"XoffLim", c.XoffLim, 0},           {"XonChar", c.XonChar, 0x13},  // DC3, not DC1
      {"XoffChar", c.XoffChar, 0x11},      {"ErrorChar", c.ErrorChar, 0},
      {"EofChar", c.EofChar, 0},           {"EvtChar", c.EvtChar, 0},
  };
  for (const auto& n : numbers) EXPECT_EQ(n.got, n.want) << n.name;
  EXPECT_EQ(c.stopbit, "1");
  EXPECT_EQ(c.portname, "COM1");
  EXPECT_EQ(c.paritymode, kelv::Sjis("無し"));
  EXPECT_EQ(c.paritymode, "\x96\xB3\x82\xB5");
  EXPECT_EQ(c.flow(), rsflowset{dfBinary});

  const TNotifyEvent* handlers[] = {&c.OnBREAK, &c.OnCTS,    &c.OnDSR,    &c.OnERR,     &c.OnRING,
                                    &c.OnRLSD,  &c.OnRXCHAR, &c.OnRXFLAG, &c.OnTXEMPTY, &c.OnCreate,
                                    &c.OnOpen,  &c.OnClose,  &c.OnPACKET};
  for (const TNotifyEvent* h : handlers) EXPECT_FALSE(*h);
  EXPECT_FALSE(c.IsOpen());
}

// Member i of the flow set is bit i of flowflag; bits 15..31 are no members.
TEST(Rs232cProps, FlowIsTheLowFifteenBitsOfTheFlagWord) {
  const struct {
    uint32_t flowflag;
    rsflowset flow;   // as read
    int32_t written;  // flowflag after writing that set back
  } cases[] = {
      {0x8003, {dfBinary, dfParity}, 3},
      {0x00000001, {dfBinary}, 1},
      {0x00000000, {}, 0},
      {0x00004000, {dfAbortOnError}, 0x4000},
      {0x00003030, {dfDtrControl_b0, dfDtrControl_b1, dfRtsControl_b0, dfRtsControl_b1}, 0x3030},
      {0x00000300, {dfOutX, dfInX}, 0x300},
      {0xFFFF0000, {}, 0},
      {0xFFFFFFFF,
       {dfBinary, dfParity, dfOutxCtsFlow, dfOutxDsrFlow, dfDtrControl_b0, dfDtrControl_b1,
        dfDsrSensitivity, dfTXContinueOnXoff, dfOutX, dfInX, dfErrorChar, dfNull, dfRtsControl_b0,
        dfRtsControl_b1, dfAbortOnError},
       0x7FFF},
  };
  for (const auto& c : cases) {
    Trs232c port(nullptr);
    port.flowflag = static_cast<int32_t>(c.flowflag);
    EXPECT_EQ(port.flow(), c.flow) << std::hex << c.flowflag;
    EXPECT_EQ(port.flowflag, static_cast<int32_t>(c.flowflag)) << "reading changes nothing";
    port.set_flow(port.flow());
    EXPECT_EQ(port.flowflag, c.written) << std::hex << c.flowflag;
  }
  for (int i = 0; i <= dfAbortOnError; ++i) {
    const auto member = static_cast<TRsFlow>(i);
    Trs232c port(nullptr);
    port.set_flow(rsflowset{member});
    EXPECT_EQ(port.flowflag, 1 << i) << i;
    EXPECT_TRUE(port.flow().Contains(member)) << i;
  }
}

// What loading the dialog's stored layout does to its component: the dialog's
// line settings are set after construction, over whatever the flag word held,
// and the two handlers are bound.
void LoadAsStored(Trs232c& c, int& rxflag_calls, int& packet_calls) {
  c.Name = "rs232c1";
  c.flowflag = 0x8003;  // whatever the word held, the stored set decides
  kelv::SetRxLine(c);
  c.OnRXFLAG = [&](TObject*) { ++rxflag_calls; };
  c.OnPACKET = [&](TObject*) { ++packet_calls; };
}

TEST(Rs232cProps, ComponentAsTheDialogsLayoutStoresIt) {
  int created = 0, rxflag = 0, packet = 0;
  {
    Trs232c c(nullptr);
    LoadAsStored(c, rxflag, packet);
    // A handler bound after construction, as a stored form binds them, is never
    // called for the construction that has already happened.
    c.OnCreate = [&](TObject*) { ++created; };
    EXPECT_EQ(c.packetsize, 900);
    EXPECT_EQ(c.flowflag, 3);
    EXPECT_EQ(c.flow(), (rsflowset{dfBinary, dfParity}));
    EXPECT_EQ(c.XonChar, 0x13);
    EXPECT_EQ(c.XoffChar, 0x11);
    EXPECT_TRUE(c.OnRXFLAG);
    EXPECT_TRUE(c.OnPACKET);
    EXPECT_FALSE(c.OnCTS);
  }
  EXPECT_EQ(created, 0);
  EXPECT_EQ(rxflag, 0);
  EXPECT_EQ(packet, 0);
}

// Without a device nothing happens: Close reports false and calls no handler,
// and destruction (which closes) is harmless.
TEST(Rs232cProps, NeverOpenedComponentClosesAsANoOp) {
  int closes = 0;
  auto* c = new Trs232c(nullptr);
  c->OnClose = [&](TObject*) { ++closes; };
  EXPECT_FALSE(c->Close());
  EXPECT_FALSE(c->Close());
  EXPECT_EQ(c->InQueueCount(), -1);
  uint8_t b = 0;
  EXPECT_FALSE(c->ReadByte(b));
  EXPECT_FALSE(c->WriteByte(0x11));
  EXPECT_FALSE(c->SetDTR(true));
  delete c;
  EXPECT_EQ(closes, 0);
}

class Traced : public Trs232c {
 public:
  Traced(TComponent* owner, std::vector<std::string>& log, std::string name)
      : Trs232c(owner), log_(log) {
    Name = std::move(name);
  }
  ~Traced() override { log_.push_back(Name); }

 private:
  std::vector<std::string>& log_;
};

TEST(Rs232cProps, OwnerDestroysWhatItOwns) {
  std::vector<std::string> log;
  auto* owner = new TComponent(nullptr);
  auto* a = new Traced(owner, log, "a");
  new Traced(owner, log, "b");
  auto* c = new Traced(owner, log, "c");
  new Traced(c, log, "c1");  // owned in turn
  EXPECT_EQ(a->Owner(), owner);
  delete a;  // released early: the owner must not release it again
  EXPECT_EQ(log, std::vector<std::string>{"a"});
  delete owner;
  EXPECT_EQ(log, (std::vector<std::string>{"a", "c", "c1", "b"}));
}

}  // namespace
