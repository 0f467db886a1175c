// Faults end to end, on the real dialog, a pseudo-terminal and real files: the
// line's device going mid-program, a full disk, a damaged settings file, garbage
// on the line, and events that all arrive in one polling pass.
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <QFileDialog>
#include <QToolButton>
#include <cerrno>
#include <cstring>
#include <random>
#include <thread>

#include "handover.h"
#include "named_rows.h"
#include "reception.h"
#include "rx_harness.h"
#include "sjis.h"
#include "winsys.h"

namespace {

using testrows::operator<<;

using namespace rxharness;
using kelv::Sjis;

// ---- The line's device goes mid-program -----------------------------------------

// A hang-up of a line we opened with CLOCAL is the device itself going (a USB
// adapter pulled out; here the far end of the pty closed): it ends the run as a
// failed read does, once every byte that did arrive has been read.
struct HangupCase {
  const char* name;
  // The hang-up comes while the window is busy, after the line took the bytes
  // but before the run read them; otherwise after the run has read them.
  bool while_busy;
};
class Hangup : public Harness, public ::testing::WithParamInterface<HangupCase> {};

TEST_P(Hangup, EndsTheRunAsAReadFailureWithTheCompletedLines) {
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
  std::string message;
  std::string file_at_box;
  script.push_back(OnBox("MessageBox", [&](QWidget* w) {
    message = BoxText(w);
    // File before box: an unanswered box may outlast the program.
    file_at_box = ReadFile(RxPath());
    Ok(w);
  }));
  Run(std::move(script));

  EXPECT_EQ(message, Sjis("データ読込みエラー"));
  EXPECT_EQ(file_at_box, "%\r\nO1\r\nG1 X1.\r\n");
  EXPECT_EQ(ReadFile(RxPath()), "%\r\nO1\r\nG1 X1.\r\n");
  EXPECT_EQ(Text(d.Label1), Sjis("回線喪失で終了 3行受信済"));
  EXPECT_EQ(Text(d.CancelBtn), Sjis("閉じる"));
  EXPECT_FALSE(d.rs232c1->IsOpen());
  // The log tells a device that went from a failed read.
  EXPECT_NE(ReadFile(dir_ + "Rx.log").find("\t" + Sjis("回線喪失") + "\t"), std::string::npos);
  d.Form->Close();
  EXPECT_EQ(quits_, 1);
  EXPECT_NE(ReadFile(IniPath()).find("Name4=4\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Faults, Hangup,
                         ::testing::Values(HangupCase{"AfterTheRunReadTheBytes", false},
                                           HangupCase{"BeforeTheRunReadTheBytes", true}),
                         [](const ::testing::TestParamInfo<HangupCase>& i) {
                           return std::string(i.param.name);
                         });

// ---- File systems of our own: full, or read-only -------------------------------

// A small tmpfs mounted for one test (root, and a system that lets us mount);
// unmounted when the test ends, however it ends.
class Tmpfs {
 public:
  Tmpfs() = default;
  Tmpfs(const Tmpfs&) = delete;
  Tmpfs& operator=(const Tmpfs&) = delete;
  ~Tmpfs() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }

  // Empty on success, else why not.
  std::string Mount(const std::string& dir, const std::string& options) {
    dir_ = dir;
    if (!QDir().mkpath(QString::fromStdString(dir))) return "cannot make " + dir;
    if (::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
      return std::string("no tmpfs could be mounted for the test (needs root): ") +
             std::strerror(errno);
    }
    mounted_ = true;
    return "";
  }
  bool RemountReadOnly() {
    return ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
                   nullptr) == 0;
  }

  // Takes every free block with one file; the bytes it got in.
  size_t FillBlocks() {
    const int fd = ::open((dir_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    const std::string chunk(4096, 'f');
    size_t total = 0;
    for (;;) {
      const ssize_t n = ::write(fd, chunk.data(), chunk.size());
      if (n <= 0) break;
      total += static_cast<size_t>(n);
    }
    ::close(fd);
    return total;
  }
  // Takes every free inode with empty files; how many.
  int FillInodes() {
    int n = 0;
    for (;; ++n) {
      const std::string name = dir_ + "/inode" + std::to_string(n);
      const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0) break;
      ::close(fd);
    }
    return n;
  }
  void FreeAll() {
    ::unlink((dir_ + "/filler").c_str());
    for (int i = 0; ::unlink((dir_ + "/inode" + std::to_string(i)).c_str()) == 0; ++i) {
    }
  }

 private:
  std::string dir_;
  bool mounted_ = false;
};

// Closes the dialog; the text of the error box this shows, "" when none. The
// question that follows the error is answered いいえ: the dialog stays. A
// program held in memory is let go (はい).
std::string CloseAndCatchBox(TRXDlg& d) {
  std::string text;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    QWidget* w = QApplication::activeModalWidget();
    if (w && w->objectName() == QLatin1String("QuestionBox")) {
      const bool unsaved = Harness::BoxTextOf(w).find(Sjis("プログラム")) != std::string::npos;
      w->findChild<QPushButton*>(unsaved ? "QuestionBoxYes" : "QuestionBoxNo")->click();
      return;
    }
    if (!w || (w->objectName() != QLatin1String("ErrorBox") &&
               w->objectName() != QLatin1String("MessageBox"))) {
      return;
    }
    text = Harness::BoxTextOf(w);
    Harness::OkOn(w);
  });
  timer.start(5);
  d.Form->Close();
  return text;
}

// ---- The disk fills while "Rx.nc" is written ----------------------------------

struct DiskFullCase {
  const char* name;
  bool no_inodes;  // no room for another file at all; else no room for its bytes
  bool save_elsewhere;
};
class DiskFull : public Harness, public ::testing::WithParamInterface<DiskFullCase> {
 protected:
  Tmpfs disk_;  // declared after the harness's directory: unmounted first
};

TEST_P(DiskFull, OldRxNcStaysAndTheSaveBoxIsOffered) {
  const DiskFullCase& c = GetParam();
  const std::string outside = dir_;
  const std::string why =
      disk_.Mount(outside + "disk", c.no_inodes ? "size=256k,nr_inodes=8" : "size=64k");
  if (!why.empty()) GTEST_SKIP() << why;
  dir_ = outside + "disk/";  // the dialog's files live on the small disk
  WriteIni(0);
  const std::string old = "%\r\nOLD PROGRAM\r\n%\r\n";
  ASSERT_TRUE(WriteFile(RxPath(), old));
  if (c.no_inodes) {
    ASSERT_GT(disk_.FillInodes(), 0);
  } else {
    ASSERT_GT(disk_.FillBlocks(), 0u);
  }

  TRXDlg& d = Make();
  std::string error;
  std::string suggested;
  std::vector<Step> script{Send(B("%\nO1\nG1 X1.\n%"))};
  script.push_back(OnBox("ErrorBox", [&](QWidget* w) {
    error = BoxText(w);
    Ok(w);
  }));
  script.push_back(OnBox("RxSaveDialog", [&](QWidget* w) {
    auto* box = qobject_cast<QFileDialog*>(w);
    ASSERT_NE(box, nullptr);
    suggested = box->selectedFiles().value(0).toStdString();
    if (c.save_elsewhere) {
      box->selectFile(QString::fromStdString(outside + "Kept.nc"));
      QMetaObject::invokeMethod(box, "accept");  // as its save button does
    } else {
      box->reject();
    }
  }));
  Run(std::move(script));

  const std::string want_error =
      c.no_inodes
          ? Sjis("ファイル \"") + RxPath() + Sjis("\" を作成できません。") + std::strerror(ENOSPC)
          : Sjis("ストリームへの書き込みエラー");
  EXPECT_EQ(error, kelv::winsys::ErrorBoxText(want_error));
  EXPECT_EQ(suggested, RxPath());
  EXPECT_EQ(ReadFile(RxPath()), old);
  EXPECT_EQ(ReadFile(outside + "Kept.nc"),
            c.save_elsewhere ? "%\r\nO1\r\nG1 X1.\r\n%\r\n" : "<missing>");
  // No half-written file is left behind on the full disk (the reception log
  // is made where an inode is left, and stays empty).
  for (const QString& f : QDir(QString::fromStdString(dir_)).entryList(QDir::Files)) {
    EXPECT_TRUE(f == "Kelv.ini" || f == "Rx.nc" || f == "Rx.log" || f == "filler" ||
                f.startsWith("inode"))
        << f.toStdString();
  }
  EXPECT_EQ(Text(d.Label1), c.save_elsewhere ? Sjis("受信完了") : kelv::UnsavedText(3));

  // The settings cannot be saved on the full disk either: the path is
  // reported and the dialog stays; with room again, the close goes through.
  EXPECT_EQ(CloseAndCatchBox(d), kelv::winsys::ErrorBoxText(IniPath() + Sjis(" に書き込めません")));
  EXPECT_EQ(quits_, 0);
  EXPECT_TRUE(W(d)->isVisible());
  disk_.FreeAll();
  EXPECT_EQ(CloseAndCatchBox(d), "");
  EXPECT_EQ(quits_, 1);
  EXPECT_NE(ReadFile(IniPath()).find("Name4=4\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DiskFull,
    ::testing::Values(DiskFullCase{"NoRoomForTheBytesGivenUp", false, false},
                      DiskFullCase{"NoRoomForTheBytesSavedElsewhere", false, true},
                      DiskFullCase{"NoRoomForAFileGivenUp", true, false},
                      DiskFullCase{"NoRoomForAFileSavedElsewhere", true, true}),
    [](const ::testing::TestParamInfo<DiskFullCase>& i) { return std::string(i.param.name); });

// ---- "Kelv.ini" damaged or out of reach -------------------------------------------

// One line of random bytes: every value but LF (NUL, CR and 0xFF included),
// "#" first, so that it never opens a section.
std::string RandomLine(uint32_t seed, size_t n) {
  std::mt19937 rng(seed);
  std::string s;
  s.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    char c = static_cast<char>(rng() & 0xFF);
    if (c == '\n') c = '\r';
    s += c;
  }
  if (!s.empty()) s.front() = '#';
  return s;
}
// Random bytes, LF included.
std::string RandomBytes(uint32_t seed, size_t n) {
  std::mt19937 rng(seed);
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>(rng() & 0xFF);
  return s;
}

struct IniCase {
  const char* name;
  // Puts the file (or what stands in its place) there; "" or why the machine
  // cannot do it. May move the dialog's directory onto a disk of its own.
  std::function<std::string(std::string& dir, Tmpfs& disk)> prepare;
  int active;
  int port;  // PortIndex of the active preset
  std::string name1, name4;
  // The close saves; or the write fails and the dialog stays; or the file
  // could not be read, so the close leaves it alone, says so once and ends.
  enum Close { kSaves, kWriteFails, kNotRead } close;
  std::function<std::vector<std::string>()> want;  // appear in the saved file, in this order
};
class SettingsFile : public Harness, public ::testing::WithParamInterface<IniCase> {
 protected:
  Tmpfs disk_;
};

TEST_P(SettingsFile, StartUpNeverFailsAndTheSaveKeepsForeignBytes) {
  const IniCase& c = GetParam();
  const std::string why = c.prepare(dir_, disk_);
  if (!why.empty()) GTEST_SKIP() << why;
  const std::string before = ReadFile(IniPath());

  TRXDlg& d = Make();
  EXPECT_EQ(d.ActivePreset, c.active);
  EXPECT_EQ(d.Presets[d.ActivePreset].PortIndex, c.port);
  EXPECT_EQ(d.SpeedButton1->Caption(), c.name1);
  EXPECT_EQ(d.SpeedButton4->Caption(), c.name4);

  const std::string box = CloseAndCatchBox(d);
  if (c.close == IniCase::kNotRead) {
    EXPECT_EQ(box, IniPath() + Sjis(" を読み込めなかったため、設定を保存しません"));
    EXPECT_EQ(quits_, 1);
    EXPECT_EQ(CloseAndCatchBox(d), "") << "said once";
    EXPECT_TRUE(ReadFile(IniPath()) == before) << "the file changed";
    return;
  }
  if (c.close == IniCase::kWriteFails) {
    EXPECT_EQ(box, kelv::winsys::ErrorBoxText(IniPath() + Sjis(" に書き込めません")));
    EXPECT_EQ(quits_, 0);
    EXPECT_TRUE(W(d)->isVisible());
    EXPECT_TRUE(ReadFile(IniPath()) == before) << "the file changed";
    return;
  }
  EXPECT_EQ(box, "");
  EXPECT_EQ(quits_, 1);
  const std::string saved = ReadFile(IniPath());
  size_t at = 0;
  const std::vector<std::string> want = c.want();
  for (size_t i = 0; i < want.size(); ++i) {
    const size_t found = saved.find(want[i], at);
    ASSERT_NE(found, std::string::npos) << "part " << i << " of the file was not kept";
    at = found + want[i].size();
  }
  // What was saved reads back as it was shown.
  TRXDlg again({}, dir_);
  EXPECT_EQ(again.ActivePreset, c.active);
  EXPECT_EQ(again.Presets, d.Presets);
  EXPECT_EQ(again.SpeedButton1->Caption(), c.name1);
  EXPECT_EQ(again.SpeedButton4->Caption(), c.name4);
}

std::string Put(const std::string& dir, const std::string& content) {
  return WriteFile(dir + "Kelv.ini", content) ? "" : "cannot write the file";
}

// A value as read: up to its first CR or NUL, without blanks after.
std::string AsRead(const std::string& value) {
  std::string v = value.substr(0, value.find_first_of(std::string("\r\0", 2)));
  v.erase(v.find_last_not_of(" \t\v\f") + 1);
  return v;
}

const std::string kGarbage = RandomBytes(8, 64 * 1024);
const std::string kLines[] = {RandomLine(1, 300), RandomLine(2, 5000), RandomLine(3, 80)};
// One line of ten megabytes: every byte but LF, CR not last. Made when first
// used, not in every test process.
const std::string& Huge() {
  static const std::string s = [] {
    std::string line = RandomLine(4, 10u << 20);
    line.back() = 'x';
    return line;
  }();
  return s;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Faults, SettingsFile,
    ::testing::Values(
        IniCase{"DirectoryInItsPlace",
                [](std::string& dir, Tmpfs&) {
                  return QDir().mkdir(QString::fromStdString(dir + "Kelv.ini"))
                             ? "" : "cannot make the directory";
                },
                0, 0, "1", "4", IniCase::kNotRead, nullptr},
        IniCase{"OnAReadOnlyDisk",
                [](std::string& dir, Tmpfs& disk) {
                  const std::string why = disk.Mount(dir + "disk", "size=64k");
                  if (!why.empty()) return why;
                  dir += "disk/";
                  if (!Put(dir, "[Set]\r\nActive=2\r\nPort2=3\r\nName1=A\r\n").empty()) return std::string("cannot write");
                  return disk.RemountReadOnly() ? std::string() : "cannot remount read-only";
                },
                2, 3, "A", "4", IniCase::kWriteFails, nullptr},
        // Nothing in it reads as a key: every value is its default.
        IniCase{"BinaryGarbage", [](std::string& dir, Tmpfs&) { return Put(dir, kGarbage); },
                0, 0, "1", "4", IniCase::kSaves,
                [] { return std::vector<std::string>{kGarbage, "[Set]\r\nActive=0\r\n"}; }},
        IniCase{"GarbageBetweenTheKeys",
                [](std::string& dir, Tmpfs&) {
                  return Put(dir, "[Set]\r\n" + kLines[0] + "\r\nActive=1\r\n" + kLines[1] +
                                    "\r\nPort1=2\r\nName4=" + kLines[2] + "\n");
                },
                1, 2, "1", AsRead(kLines[2]), IniCase::kSaves,
                [] {
                  return std::vector<std::string>{kLines[0] + "\r\n", "Active=1\r\n",
                                                  kLines[1] + "\r\n", "Port1=2\r\n"};
                }},
        // Keys after the long line are still found; a caption is read as its
        // first 2047 bytes and saved as read.
        IniCase{"TenMegabyteLine",
                [](std::string& dir, Tmpfs&) {
                  return Put(dir, "[Set]\r\nActive=3\r\nMemo=" + Huge() + "\r\nPort3=5\r\nName4=" +
                                    std::string(3000, 'N') + "\r\n");
                },
                3, 5, "1", std::string(2047, 'N'), IniCase::kSaves,
                [] {
                  return std::vector<std::string>{
                      "Memo=" + Huge() + "\r\n", "Port3=5\r\nName4=" + std::string(2047, 'N') + "\r\n"};
                }}),
    [](const ::testing::TestParamInfo<IniCase>& i) { return std::string(i.param.name); });
// clang-format on

// ---- Garbage at the wrong baud rate ------------------------------------------------

constexpr int kGarbageFlowMs = 3000;  // the soak runs it for minutes

class WrongBaudRate : public GarbageHarness, public ::testing::WithParamInterface<GarbageCase> {};

TEST_P(WrongBaudRate, MemoryStaysBoundedAndCancelIsAnswered) {
  FlowGarbage(GetParam(), kGarbageFlowMs);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WrongBaudRate,
    ::testing::Values(GarbageCase{"Mode2Lines", 2, 0, 40, true},
                      GarbageCase{"Mode2NoLineEnd", 2, 0, 0, true},  // never starts
                      GarbageCase{"Mode2EiaLines", 2, 1, 40, true},
                      GarbageCase{"Mode0Lines", 0, 0, 40, false},
                      GarbageCase{"Mode0OneLongLine", 0, 0, 0, false},
                      // A "%" in the garbage ends the run as the control's would.
                      GarbageCase{"Mode0EndsAtTheNextPercent", 0, 0, 256, true}),
    [](const ::testing::TestParamInfo<GarbageCase>& i) { return std::string(i.param.name); });

// ---- A close request, a Cancel and a DC2 in the same polling pass --------------------

struct SamePassCase {
  const char* name;
  const char* order;  // C the close request, X the Cancel click, D the DC2
};
class SamePass : public Harness, public ::testing::WithParamInterface<SamePassCase> {};

TEST_P(SamePass, SettingsSavedDc1AnsweredRxNcWrittenThenQuit) {
  WriteIni(0);
  TRXDlg& d = Make();
  std::string rx_at_quit = "<no quit>";
  on_quit_ = [&] { rx_at_quit = ReadFile(RxPath()); };
  std::vector<Step> script{Send(B("%\nO1\nG1 X"))};
  for (Step& s : Sync()) script.push_back(std::move(s));
  size_t dc1_before = 0;
  // All three happen inside one timer call, that is between two passes; the
  // run sees them at its next message processing.
  script.push_back(Do([&] {
    dc1_before = Count(kDC1);
    for (const char* o = GetParam().order; *o; ++o) {
      if (*o == 'C') QMetaObject::invokeMethod(W(d), "close", Qt::QueuedConnection);
      if (*o == 'X') QMetaObject::invokeMethod(W(d.CancelBtn), "click", Qt::QueuedConnection);
      if (*o == 'D') {
        const uint8_t dc2 = kDC2;
        ASSERT_EQ(line_.WriteSome(&dc2, 1), 1u);
        // Held until the line has taken it, and a while for the watcher to
        // hand its event over.
        QElapsedTimer clock;
        clock.start();
        while (d.rs232c1->InQueueCount() < 1 && clock.elapsed() < 5000) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(d.rs232c1->InQueueCount(), 1);
        // The watcher's event char hand-over, however loaded the machine.
        while (!HandOver::Ui().HasPending() && clock.elapsed() < 10000) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_TRUE(HandOver::Ui().HasPending()) << "the watcher never saw the DC2";
      }
    }
  }));
  Run(std::move(script));

  EXPECT_NE(ReadFile(IniPath()).find("Name4=4\r\n"), std::string::npos) << "settings not saved";
  EXPECT_EQ(Count(kDC1), dc1_before + 1) << "the DC2 was not answered";
  const std::string want = "%\r\nO1\r\nG1 X\r\n";
  EXPECT_EQ(ReadFile(RxPath()), want);
  EXPECT_EQ(Text(d.Label1), kelv::EndText(false, 2));
  EXPECT_EQ(quits_, 1);
  EXPECT_EQ(rx_at_quit, want) << "the program ended before Rx.nc was written";
  QCoreApplication::processEvents();
  EXPECT_EQ(quits_, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SamePass,
    ::testing::Values(SamePassCase{"CloseCancelDc2", "CXD"}, SamePassCase{"CloseDc2Cancel", "CDX"},
                      SamePassCase{"CancelCloseDc2", "XCD"}, SamePassCase{"CancelDc2Close", "XDC"},
                      SamePassCase{"Dc2CloseCancel", "DCX"}, SamePassCase{"Dc2CancelClose", "DXC"}),
    [](const ::testing::TestParamInfo<SamePassCase>& i) { return std::string(i.param.name); });

}  // namespace
