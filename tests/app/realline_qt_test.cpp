// The dialog on the kernel's real serial drivers: the 16550 (8250) at
// /dev/ttyS1 and an FT232 USB adapter (ftdi_sio) at /dev/ttyUSB0. These run
// only inside the QEMU guest of scripts/guest-stage.sh, whose host side plays
// the control (scripts/kelvdrive/guestline.py); anywhere else they skip.
//
// KELV_GUEST_OUT names the folder shared with the host. The host writes there,
// before the guest starts, what each case must end with: "<case>.want" (the
// bytes of Rx.nc) and "<case>.errors" (the line-error text, UTF-8, empty for
// none). A case writes "<case>.done" when it has ended, and the cases that
// wait for the host (the adapter pulled out, plugged back) say so by files too.
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "presets.h"
#include "rx_harness.h"
#include "serialdev_termios2.h"

namespace {

using namespace rxharness;
using kelv::Sjis;
using testrows::operator<<;

std::string Share() {
  const char* out = std::getenv("KELV_GUEST_OUT");
  return out ? std::string(out) + "/" : std::string();
}

bool Exists(const std::string& path) {
  return QFile::exists(QString::fromStdString(path));
}

// Polls with a generous deadline: devices come and go under emulation slowly.
bool WaitFor(const std::function<bool()>& pred, int deadline_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// CPU seconds of the process's threads other than the user-interface thread:
// the line's reader and watcher, which must sleep while nothing comes.
double OtherThreadsCpu() {
  double ticks = 0;
  const std::string self = std::to_string(::getpid());
  QDir tasks("/proc/self/task");
  for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    if (tid.toStdString() == self) continue;
    const std::string stat = ReadFile("/proc/self/task/" + tid.toStdString() + "/stat");
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
    }
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class RealLine : public Harness {
 protected:
  void SetUp() override {
    if (Share().empty()) GTEST_SKIP() << "runs in the guest of scripts/guest-stage.sh only";
    Harness::SetUp();
    deadline_ms_ = 120000;
  }
  void TearDown() override {
    if (!case_.empty()) WriteFile(Share() + case_ + ".done", "\n");
  }

  // Preset 1: start mode 0, the code and the baud rate's index, COM1 `device`.
  void Begin(const std::string& name, const std::string& device, int code, int baud) {
    case_ = name;
    ASSERT_TRUE(
        WriteFile(IniPath(), "[Set]\r\nActive=0\r\nPort0=0\r\nbaudRate0=" + std::to_string(baud) +
                                 "\r\nStart0=0\r\nCoadType0=" + std::to_string(code) +
                                 "\r\n[Ports]\r\nCOM1=" + device + "\r\n"));
  }
  std::string Want() const { return ReadFile(Share() + case_ + ".want"); }
  std::string WantErrors() const { return kelv::Utf8ToSjis(ReadFile(Share() + case_ + ".errors")); }
  void Say(const std::string& what) const { WriteFile(Share() + case_ + "." + what, "\n"); }
  std::string Log() const { return ReadFile(dir_ + "Rx.log"); }
  bool Heard(const std::string& what) const { return Exists(Share() + case_ + "." + what); }

  std::string case_;
};

struct LineRow {
  const char* name;
  const char* device;
  int code;  // 0 ISO, 1 EIA
  int baud;  // index: 3 is 4800, 4 is 9600
  // The window stalls for a while once lines come, so that the queue
  // fills past its level while the control floods: DC3, and DC1 after.
  bool stall;
};

class RealLineRows : public RealLine, public ::testing::WithParamInterface<LineRow> {};

// A whole program arrives byte for byte, with what the line's errors were.
TEST_P(RealLineRows, ReceivesTheProgram) {
  const LineRow& r = GetParam();
  Begin(r.name, r.device, r.code, r.baud);
  ASSERT_TRUE(WaitFor([&] { return Exists(r.device); }, 30000)) << r.device;
  TRXDlg& d = Make();
  std::vector<Step> script{Until([this] { return Open(); })};
  if (r.stall) {
    // Once lines come: the first bytes may be DC2s the control sent before
    // the line was open, and their DC1 must not wait for the stall.
    script.push_back(Until([&d] { return Text(d.Label1).rfind(Sjis("受信中"), 0) == 0; }));
    script.push_back(Do([] { std::this_thread::sleep_for(std::chrono::milliseconds(1500)); }));
  }
  Run(std::move(script));

  EXPECT_EQ(ReadFile(RxPath()), Want());
  const std::string errors = WantErrors();
  if (errors.empty()) {
    EXPECT_EQ(Text(d.Label1), Sjis("受信完了"));
  } else {
    // Never plain "受信完了" over a line error, and the kinds the driver counted.
    EXPECT_EQ(Text(d.Label1), Sjis("受信終了・回線エラーあり"));
    EXPECT_EQ(Text(d.Label2), errors);
    EXPECT_NE(Log().find(errors), std::string::npos) << Log();
    if (const char* pic = std::getenv("KELV_GUEST_PICTURE")) {
      QTest::qWait(500);  // the labels' refresh tick lays the end text out
      EXPECT_TRUE(W(d)->grab().save(QString::fromUtf8(pic))) << pic;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Guest, RealLineRows,
                         ::testing::Values(LineRow{"iso_16550", "/dev/ttyS1", 0, 4, true},
                                           LineRow{"eia_16550", "/dev/ttyS1", 1, 3, false},
                                           LineRow{"break_16550", "/dev/ttyS1", 0, 4, false},
                                           LineRow{"iso_usb", "/dev/ttyUSB0", 0, 4, true}),
                         [](const ::testing::TestParamInfo<LineRow>& i) {
                           return std::string(i.param.name);
                         });

// The kernel's own buffer overruns while the component is open but not read
// and the control floods (2.5 MB: the kernel holds about 1.3 MB, the
// component's reader half a megabyte more): the error state says so, as
// Windows reports CE_RXOVER. (Which end text such a run gets is the verdict's table.)
TEST_F(RealLine, KernelBufferOverrunIsReported) {
  Begin("overrun_16550", "/dev/ttyS1", 0, 4);
  Trs232c port(nullptr);
  port.portname = "/dev/ttyS1";
  ASSERT_TRUE(port.Open());
  Say("open");
  ASSERT_TRUE(WaitFor([this] { return Heard("sent"); }, 150000)) << "the flood did not end";
  EXPECT_GE(port.InQueueCount(), 0);
  EXPECT_NE(port.TakeLineErrors().flags & serialdev::CE_RXOVER, 0u);
  EXPECT_TRUE(port.Close());
}

// The adapter pulled out after half the program (the host's device_del once
// this side has read the completed lines): the run ends by itself as the lost
// line, the completed lines are on the disk before the box, nothing spins
// while the box is up, and the status line says so; the window closes.
TEST_F(RealLine, PulledOutAdapterEndsTheRunAsTheLostLine) {
  Begin("pulled_usb", "/dev/ttyUSB0", 0, 4);
  ASSERT_TRUE(WaitFor([] { return Exists("/dev/ttyUSB0"); }, 30000));
  const std::string want = Want();
  const auto lines = static_cast<int64_t>(FileLines(want).size());
  TRXDlg& d = Make();
  std::string message, file_at_box;
  double spun = -1;
  Run({Until([this] { return Open(); }),
       Until([&] { return Text(d.Label1) == kelv::ReceivingText(lines); }),
       Do([this] { Say("half"); }), OnBox("MessageBox", [&](QWidget* w) {
         message = BoxText(w);
         file_at_box = ReadFile(RxPath());
         const double before = OtherThreadsCpu();
         std::this_thread::sleep_for(std::chrono::seconds(1));
         spun = OtherThreadsCpu() - before;
         Ok(w);
       })});
  EXPECT_EQ(message, Sjis("データ読込みエラー"));
  EXPECT_EQ(file_at_box, want);
  EXPECT_EQ(ReadFile(RxPath()), want);
  EXPECT_LT(spun, 0.2) << "CPU seconds of the line's threads in one second of the box";
  EXPECT_NE(Log().find("\t" + Sjis("回線喪失") + "\t"), std::string::npos) << Log();
  // The status line tells the lost line, not a run that goes on.
  const std::string status = Text(d.Label1);
  EXPECT_NE(status.rfind(Sjis("受信中"), 0), 0u) << kelv::SjisToUtf8(status);
  EXPECT_NE(status.rfind(Sjis("受信待機中"), 0), 0u) << kelv::SjisToUtf8(status);
  EXPECT_NE(status.find(Sjis("回線喪失")), std::string::npos) << kelv::SjisToUtf8(status);
  EXPECT_EQ(Text(d.CancelBtn), Sjis("閉じる"));
  d.Form->Close();
  EXPECT_EQ(quits_, 1);
}

// Started while the adapter is out: the open-failure box with the system's
// reason on its second line. Plugged back (the host's device_add), the next
// press of the start button receives.
TEST_F(RealLine, AbsentAdapterFailsToOpenUntilPluggedBack) {
  Begin("absent_usb", "/dev/ttyUSB0", 0, 4);
  ASSERT_TRUE(WaitFor([] { return !Exists("/dev/ttyUSB0"); }, 30000));
  TRXDlg& d = Make();
  std::string message;
  Run({OnBox("MessageBox", [&](QWidget* w) {
    message = BoxText(w);
    Ok(w);
  })});
  const std::string head = Sjis("回線が開けません！設定又は接続を確認してください。") + "\n";
  EXPECT_EQ(message.rfind(head, 0), 0u) << kelv::SjisToUtf8(message);
  EXPECT_GT(message.size(), head.size()) << "no reason on the second line";
  EXPECT_EQ(Text(d.CancelBtn), Sjis("受信開始"));

  Say("seen");
  ASSERT_TRUE(WaitFor([] { return Exists("/dev/ttyUSB0"); }, 30000)) << "not plugged back";
  Run({Until([this] { return Open(); })});
  EXPECT_EQ(ReadFile(RxPath()), Want());
  EXPECT_EQ(Text(d.Label1), Sjis("受信完了"));
}

// The line settings of every preset reach the UART (/dev/ttyS2, whose far end
// is a pseudo-terminal of the host's): the guest's termios holds the speed,
// data bits, parity and checks, and no flow control; the host writes what its
// side took over ("<case>.<n>.host": speed and stop bits), which QEMU can see
// of the speed (rounded to a standard one: 14400 reads 19200) and stop bits.
TEST_F(RealLine, PresetsReachTheUart) {
  const auto& rates = kelv::BaudRates();
  int n = 0;
  for (int code = 0; code < 2; ++code) {
    for (size_t baud = 0; baud < rates.size(); ++baud, ++n) {
      SCOPED_TRACE((code ? "EIA " : "ISO ") + std::to_string(rates[baud]));
      Begin("settings_16550", "/dev/ttyS2", code, static_cast<int>(baud));
      TRXDlg& d = Make();
      ASSERT_TRUE(d.ApplyPreset());
      ASSERT_TRUE(d.rs232c1->Open());
      const int fd = ::open("/dev/ttyS2", O_RDONLY | O_NOCTTY | O_NONBLOCK);
      ASSERT_GE(fd, 0);
      serialtables::LineTermios t;
      ASSERT_TRUE(serialdev::ReadTermios2(fd, t));
      ::close(fd);
      EXPECT_EQ(t.speed, static_cast<uint32_t>(rates[baud]));
      EXPECT_EQ(t.cflag & CSIZE, static_cast<uint32_t>(code ? CS8 : CS7));
      EXPECT_EQ(t.cflag & (PARENB | PARODD | CMSPAR),
                static_cast<uint32_t>(code ? PARENB | PARODD : PARENB));
      EXPECT_EQ(t.cflag & (CSTOPB | CRTSCTS), 0u);
      EXPECT_EQ(t.iflag & (PARMRK | INPCK), static_cast<uint32_t>(PARMRK | INPCK));
      EXPECT_EQ(t.iflag & (IXON | IXOFF), 0u);
      Say(std::to_string(n));
      const std::string host = Share() + case_ + "." + std::to_string(n) + ".host";
      ASSERT_TRUE(WaitFor([&] { return Exists(host); }, 20000));
      std::istringstream seen(ReadFile(host));
      long speed = 0;
      int stop_bits = 0;
      seen >> speed >> stop_bits;
      EXPECT_TRUE(speed == rates[baud] || (rates[baud] == 14400 && speed == 19200)) << speed;
      EXPECT_EQ(stop_bits, 1);
      d.rs232c1->Close();
    }
  }
}

}  // namespace
