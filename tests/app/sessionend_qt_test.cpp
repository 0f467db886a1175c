// The system's session ends in the middle of a reception (SIGTERM, as a
// shutdown sends it, through the event loop): what has arrived is kept.
#include <signal.h>
#include <unistd.h>

#include <QElapsedTimer>

#include "fake_logind.h"
#include "qtfront.h"
#include "rx_harness.h"

namespace {

using namespace rxharness;
using kelv::Sjis;

class SessionEnd : public Harness {};

TEST_F(SessionEnd, InTheMiddleOfARunKeepsWhatArrived) {
  kelv::qtui::WatchSessionEnd();
  ASSERT_TRUE(FakeLogind::Get().Up()) << "dbus-daemon is needed (scripts/deps.sh test)";
  WriteIni(0);
  TRXDlg& d = Make();
  d.EndPauseMs = 30000;  // left out: the system may not wait
  QElapsedTimer clock;
  clock.start();
  std::vector<Step> script{Until([this] { return Open(); }), Send(B("%\nN1 G01\nN2 X10\nN3 Y"))};
  for (Step& s : Sync()) script.push_back(std::move(s));
  script.push_back(Do([&] {
    EXPECT_EQ(d.Form->EndSessionBlock(), Sjis("受信中"));  // on the shutdown screen
    // What logind is asked to hold, and why.
    const auto held = FakeLogind::Get().Held();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].what, "shutdown:sleep");
    EXPECT_EQ(held[0].why, "受信中");
    EXPECT_EQ(held[0].mode, "block");
    kill(getpid(), SIGTERM);
  }));
  Run(std::move(script));
  EXPECT_LT(clock.elapsed(), d.EndPauseMs);
  EXPECT_EQ(quits_, 1);
  // The completed lines and the one in progress, as Cancel would keep them.
  EXPECT_EQ(ReadFile(RxPath()), "%\r\nN1 G01\r\nN2 X10\r\nN3 Y\r\n");
  EXPECT_FALSE(d.rs232c1->IsOpen());
  EXPECT_EQ(d.Form->EndSessionBlock(), "");
  EXPECT_NE(ReadFile(IniPath()).find("Name4=4\r\n"), std::string::npos) << "settings saved";
  EXPECT_TRUE(FakeLogind::Get().Held().empty());
}

// The session manager asks to save during a run: the logout may yet be
// cancelled, so the run goes on, but the lines so far and the settings are on
// the disk in case it is not.
TEST_F(SessionEnd, RequestToSaveKeepsTheRunGoing) {
  WriteIni(0);
  ASSERT_TRUE(WriteFile(RxPath(), "%\r\nO1 (THE PREVIOUS ONE)\r\n%\r\n"));
  TRXDlg& d = Make();
  std::vector<Step> script{Until([this] { return Open(); }), Send(B("%\nN1 G01\nN2 X10\nN3 Y"))};
  for (Step& s : Sync()) script.push_back(std::move(s));
  script.push_back(Do([&] {
    kelv::qtui::CommitData();
    EXPECT_EQ(ReadFile(RxPath()), "%\r\nN1 G01\r\nN2 X10\r\n");
    EXPECT_NE(ReadFile(IniPath()).find("Name4=4\r\n"), std::string::npos) << "settings saved";
    EXPECT_TRUE(d.rs232c1->IsOpen());
  }));
  script.push_back(Send(B("20\n%")));
  Run(std::move(script));
  EXPECT_EQ(quits_, 0);
  EXPECT_EQ(ReadFile(RxPath()), "%\r\nN1 G01\r\nN2 X10\r\nN3 Y20\r\n%\r\n");
  // The snapshot did not push the previous program out of the first backup.
  EXPECT_EQ(ReadFile(RxPath().substr(0, RxPath().size() - 2) + "1.nc"),
            "%\r\nO1 (THE PREVIOUS ONE)\r\n%\r\n");
}

}  // namespace
