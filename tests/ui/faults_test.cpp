// Faults end to end, on the real dialog, a pseudo-terminal and real files: the
// control vanishing mid-program, a full disk, a damaged settings file, garbage
// on the line, and events that all arrive in one polling pass.
#include <sys/mount.h>
#include <sys/resource.h>
#include <time.h>

#include <QCheckBox>
#include <QFileDialog>
#include <cerrno>
#include <cstring>
#include <thread>

#include "reception.h"
#include "rx_harness.h"
#include "sjis.h"

namespace {

using namespace rxharness;
using kelv::Sjis;

std::string Text(const MnemonicLabel* l) {
  return kelv::FromQ(l->text());
}
std::string Text(const QAbstractButton* b) {
  return kelv::FromQ(b->text());
}

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// ---- The control vanishes mid-program ------------------------------------------

struct HangupCase {
  const char* name;
  // The hang-up comes while the window is busy, after the line took the bytes
  // but before the run read them; otherwise after the run has read them.
  bool while_busy;
};
void PrintTo(const HangupCase& c, std::ostream* os) {
  *os << c.name;
}

class Hangup : public Harness, public ::testing::WithParamInterface<HangupCase> {};

TEST_P(Hangup, RunIdlesUntilCancelledAndKeepsEveryByte) {
  const Bytes program = B("%\nO1\nG1 X1.\nG2 Y");  // the last line half received
  WriteIni(0);
  TRXDlg& d = Make();
  std::vector<Step> script;
  if (GetParam().while_busy) {
    script.push_back(Until([this] { return Open(); }));
    script.push_back(Do([&] {
      size_t sent = 0;
      QElapsedTimer clock;
      clock.start();
      while ((sent < program.size() ||
              d.rs232c1->InQueueCount() < static_cast<int32_t>(program.size())) &&
             clock.elapsed() < 10000) {
        sent += line_.WriteSome(program.data() + sent, program.size() - sent);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      ASSERT_EQ(d.rs232c1->InQueueCount(), static_cast<int32_t>(program.size()));
      line_.Hangup();
      // Time for the line's reader to see the hang-up before the run goes on.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }));
  } else {
    script.push_back(Send(program));
    for (Step& s : Sync()) script.push_back(std::move(s));
    script.push_back(Do([this] { line_.Hangup(); }));
  }
  // About a second of the hung-up line: the run goes on polling, and the
  // process uses well under one core meanwhile.
  double cpu0 = 0;
  QElapsedTimer wall;
  script.push_back(Do([&] {
    cpu0 = CpuSeconds();
    wall.start();
  }));
  script.push_back(Until([&] { return wall.elapsed() >= 1000; }));
  script.push_back(Do([&] {
    const double share = (CpuSeconds() - cpu0) / (static_cast<double>(wall.elapsed()) / 1000);
    EXPECT_LT(share, 0.5) << "CPU share of the hung-up run";
    EXPECT_EQ(Text(d.CancelBtn), Sjis("キャンセル"));
  }));
  script.push_back(ClickCancel());
  Run(std::move(script));

  EXPECT_EQ(ReadFile(RxPath()), "%\r\nO1\r\nG1 X1.\r\nG2 Y\r\n");
  EXPECT_EQ(Text(d.Label1), kelv::EndText(false, 3));
  EXPECT_EQ(Text(d.CancelBtn), Sjis("閉じる"));
  EXPECT_FALSE(d.rs232c1->IsOpen());
  d.close();
  EXPECT_EQ(quits_, 1);
  EXPECT_NE(ReadFile(IniPath()).find("Name4=4\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Faults, Hangup,
                         ::testing::Values(HangupCase{"AfterTheRunReadTheBytes", false},
                                           HangupCase{"BeforeTheRunReadTheBytes", true}),
                         [](const ::testing::TestParamInfo<HangupCase>& i) {
                           return std::string(i.param.name);
                         });

}  // namespace
