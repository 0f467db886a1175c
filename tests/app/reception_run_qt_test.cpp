// Reception runs end to end: the real dialog on the offscreen platform, its
// settings and "Rx.nc" in a temporary directory, its line a pseudo-terminal
// whose master side the test plays as the CNC control.
//
// The run executes inside the start click and services the window once per
// polling pass, so the far end's script runs from a timer there: it writes to
// the line, reads the dialog's DC1/DC3 answers, clicks, and closes the boxes.
#include "reception.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UnitRx.h"
#include "accepting_device.h"
#include "eia.h"
#include "handover.h"
#include "ncsend_lib.h"
#include "named_rows.h"
#include "ncsend_line.h"
#include "rx_harness.h"
#include "rxline.h"
#include "serialdev.h"
#include "sjis.h"
#include "text.h"
#include "winsys.h"

namespace {

using testrows::operator<<;

using kelv::Sjis;
using rxharness::B;
using rxharness::Bytes;
using rxharness::CrLf;
using rxharness::kDC1;
using rxharness::kDC2;
using rxharness::kDC3;
using rxharness::ReadFile;
using rxharness::Step;
using rxharness::WriteFile;

constexpr uint8_t kDC4 = 0x14;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes operator+(Bytes a, uint8_t b) {
  a.push_back(b);
  return a;
}

// An ISO text in EIA codes; `raw` bytes are put in as they are.
Bytes Eia(const std::string& iso) {
  Bytes out;
  for (char c : iso) {
    const auto code = kelv::IsoToEia(static_cast<uint8_t>(c));
    EXPECT_TRUE(code.has_value()) << "no EIA code for " << int(c);
    out.push_back(code.value_or(0));
  }
  return out;
}

bool Exists(const std::string& path) {
  return QFileInfo::exists(QString::fromStdString(path));
}

// The dialog with a pseudo-terminal as COM1, driven by a far-end script.
class ReceptionRun : public rxharness::Harness {};

// ---- Programs as they arrive, and what the run makes of them ----------------

struct Program {
  const char* name;
  int mode;
  int code;
  bool colon;
  Bytes bytes;
  bool cancel;  // the run is cancelled once all is read (no end marker comes)
  std::string file;
  std::string status;
  std::string display[3];  // Label2, Label3, Label4
};
class Programs : public ReceptionRun, public ::testing::WithParamInterface<Program> {};

TEST_P(Programs, ArriveInRxNc) {
  const Program& p = GetParam();
  WriteIni(p.mode, p.code, p.colon ? "[File]\r\nP32013=1\r\n" : "");
  ASSERT_TRUE(WriteFile(RxPath(), "old\r\n"));
  TRXDlg& d = Make();

  std::vector<Step> script{Send(p.bytes)};
  if (p.cancel) {
    for (Step& s : Sync()) script.push_back(std::move(s));
    script.push_back(ClickCancel());
  }
  Run(std::move(script));

  EXPECT_EQ(ReadFile(RxPath()), p.file);
  // The program before is kept when a new one replaced it; the log has the
  // reception either way.
  EXPECT_EQ(ReadFile(dir_ + "Rx.1.nc"), p.file == "old\r\n" ? "<missing>" : "old\r\n");
  const std::string log = ReadFile(dir_ + "Rx.log");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
  EXPECT_EQ(Text(d.Label1), p.status);
  EXPECT_EQ(Text(d.Label2), p.display[0]);
  EXPECT_EQ(Text(d.Label3), p.display[1]);
  EXPECT_EQ(Text(d.Label4), p.display[2]);
  EXPECT_EQ(Text(d.CancelBtn), Sjis("閉じる"));
  EXPECT_TRUE(!d.CheckBox1->Visible());
  EXPECT_FALSE(d.rs232c1->IsOpen());
  EXPECT_EQ(quits_, 0);
}

const std::string kDone = Sjis("受信完了");
const std::string kNothing = Sjis("受信開始前に中止しました");
std::string Broken(int n) {
  return kelv::EndText(false, n);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Reception, Programs,
    ::testing::Values(
        // The closing "%" line comes from the unfinished line; the LF after it
        // is never read.
        Program{"IsoMode0CrLf", 0, 0, false, B("%\nO1234\r\nG01 X10.\r\n%\n"), false,
                "%\r\nO1234\r\nG01 X10.\r\n%\r\n", kDone, {"%", "O1234", "G01 X10."}},
        Program{"IsoMode0Lf", 0, 0, false, B("%\nO1234\nG01 X10.\n%\n"), false,
                "%\r\nO1234\r\nG01 X10.\r\n%\r\n", kDone, {"%", "O1234", "G01 X10."}},
        // Before DC2 nothing counts; DC2 and DC4 are never stored, "%" is text.
        Program{"Mode1", 1, 0, false, B("X%\n") + kDC2 + B("\nO1\n% G1\n") + kDC4 + B("\nZ\n"),
                false, "\r\nO1\r\n% G1\r\n", kDone, {"", "O1", "% G1"}},
        // Blank tape, then the first LF starts with an empty line; only Cancel
        // ends it.
        Program{"Mode2", 2, 0, false, B(std::string(3, '\0') + "\nO2\nG0\n"), true,
                "\r\nO2\r\nG0\r\n", Broken(3), {"", "O2", "G0"}},
        // A second "%" is text; DC4 ends.
        Program{"Mode3", 3, 0, false, B("%\nO3\n%\nG1\n") + kDC4, false,
                "%\r\nO3\r\n%\r\nG1\r\n", kDone, {"O3", "%", "G1"}},
        // A CR alone ends nothing; blanks and control codes go from both ends
        // of the stored line, the display shows the line as it came.
        Program{"BlanksAndCr", 0, 0, false, B("%\n  \t \nG1\rG2\n \tG01 X1 \t\x01\n%"), false,
                "%\r\n\r\nG1G2\r\nG01 X1\r\n%\r\n", kDone, {"  \t ", "G1G2", " \tG01 X1 \t\x01"}},
        Program{"ColonAsO", 0, 0, true, B("%\n:1234\nG1 X:\n%"), false,
                "%\r\nO1234\r\nG1 XO\r\n%\r\n", kDone, {"%", "O1234", "G1 XO"}},
        Program{"ColonKept", 0, 0, false, B("%\n:1234\n%"), false,
                "%\r\n:1234\r\n%\r\n", kDone, {"", "%", ":1234"}},
        // EIA: 0x80 ends a line, 0x0B is "%", an unknown code (0x7F) is 0x10.
        Program{"Eia", 0, 1, false, Eia("%\nO12 G01\nX") + 0x7F + Eia("1.\n") + 0x0B + Eia("\n"),
                false, "%\r\nO12 G01\r\nX\x10" "1.\r\n%\r\n", kDone, {"%", "O12 G01", "X\x10" "1."}},
        // Cancelled after some lines: the unfinished line is kept.
        Program{"CancelAfterLines", 0, 0, false, B("%\nO1\nG1\nG2 X"), true,
                "%\r\nO1\r\nG1\r\nG2 X\r\n", Broken(3), {"%", "O1", "G1"}},
        // Cancelled after the start but before any LF: one line, no count.
        Program{"CancelInTheFirstLine", 0, 0, false, B("%O1"), true,
                "%O1\r\n", kNothing, {"", "", ""}},
        // A reset at the control during the punch-out: DC4, then SYN, before
        // the closing "%".
        Program{"Mode3CutOff", 3, 0, false, B("%\nO3\nG1\n") + kDC4 + B("\x16"), false,
                "%\r\nO3\r\nG1\r\n", Sjis("受信途中で終了（終わりの％なし）3行受信済"),
                {"%", "O3", "G1"}},
        // Cancelled before the start: nothing written, the old file stays.
        Program{"CancelBeforeTheStart", 0, 0, false, B("O1\nG1\n"), true,
                "old\r\n", kNothing, {"", "", ""}}),
    [](const ::testing::TestParamInfo<Program>& i) { return std::string(i.param.name); });
// clang-format on

// Bytes no program holds while waiting (an EIA control on an ISO preset):
// the status line says what to check, and the run still takes the program
// that follows.
TEST_F(ReceptionRun, WrongSettingsAreHintedWhileWaiting) {
  WriteIni(0, 0);
  TRXDlg& d = Make();
  std::vector<Step> script{Send(B("\x01\x02\x13\x04\x15\x16\x07\x08"))};
  for (Step& s : Sync()) script.push_back(std::move(s));
  script.push_back(Do([&] { EXPECT_EQ(Text(d.Label1), kelv::WaitingHintText()); }));
  script.push_back(Send(B("%\nO1\n%")));
  Run(std::move(script));
  EXPECT_EQ(ReadFile(RxPath()), "%\r\nO1\r\n%\r\n");
  EXPECT_EQ(Text(d.Label1), kDone);
}

// ---- Flow control -------------------------------------------------------------

TEST_F(ReceptionRun, Dc2BeforeTheStartIsAnsweredWithDc1) {
  WriteIni(0, 0);
  Make();
  Run({Send({kDC2}), Until([this] { return Count(kDC1) == 1; }), Send(B("%\nO1\n%"))});
  EXPECT_EQ(ReadFile(RxPath()), "%\r\nO1\r\n%\r\n");
  EXPECT_EQ(answers_, Bytes{kDC1});
}

// A window held busy lets the queue fill: DC3 asks the control to hold, and
// DC1 lets it go on once the run has read the queue down, or at the run's end
// when the end marker came with more behind it (a trailer the run never reads).
struct HoldCase {
  const char* name;
  bool ends_while_held;
};
class FullQueue : public ReceptionRun, public ::testing::WithParamInterface<HoldCase> {};

TEST_P(FullQueue, IsHeldWithDc3AndLetGoWithDc1) {
  const bool at_end = GetParam().ends_while_held;
  WriteIni(0, 0);
  TRXDlg& d = Make();
  std::string body;
  for (int i = 0; body.size() < 1000; ++i) body += "N" + std::to_string(1000 + i) + " G01 X1.\n";
  const std::string tail = at_end ? "%\n" + std::string(1000, ' ') : "";
  std::vector<Step> script{
      Send(B("%\n")), Until([this] { return Open(); }), Do([&] {
        // The user-interface thread is busy here while the line fills.
        const Bytes b = B(body + tail);
        size_t sent = 0;
        QElapsedTimer clock;
        clock.start();
        while ((sent < b.size() || d.rs232c1->InQueueCount() < kelv::kRxPacketSize) && clock.elapsed() < 10000) {
          sent += line_.WriteSome(b.data() + sent, b.size() - sent);
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_GE(d.rs232c1->InQueueCount(), kelv::kRxPacketSize);
        // The watcher must have handed its receive event over before the run
        // reads the queue, or the level it sees would already be low again.
        while (!HandOver::Ui().HasPending() && clock.elapsed() < 10000) {
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_TRUE(HandOver::Ui().HasPending());
      })};
  if (!at_end) {
    script.push_back(Until([this] { return !answers_.empty() && answers_.back() == kDC1; }));
    script.push_back(Send(B("%")));
  }
  Run(std::move(script));
  // One or more DC3 while the queue was full, then one DC1.
  EXPECT_GE(Count(kDC3), 1u);
  EXPECT_EQ(Count(kDC1), 1u);
  EXPECT_EQ(Count(kDC1) + Count(kDC3), answers_.size());
  ASSERT_FALSE(answers_.empty());
  EXPECT_EQ(answers_.back(), kDC1);
  EXPECT_EQ(ReadFile(RxPath()), CrLf("%\n" + body + "%\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Reception, FullQueue,
    ::testing::Values(HoldCase{"ResumedOnceRead", false}, HoldCase{"EndsWhileHeld", true}),
    [](const ::testing::TestParamInfo<HoldCase>& i) { return std::string(i.param.name); });

// ---- The window during a run ----------------------------------------------------

TEST_F(ReceptionRun, DisplayOffKeepsTheLabelsEmptyWhileTheCountGoesOn) {
  WriteIni(0, 0);
  TRXDlg& d = Make();
  std::vector<Step> script{Send(B("%\nA\nB\n"))};
  auto add = [&](std::vector<Step> more) {
    for (Step& s : more) script.push_back(std::move(s));
  };
  add(Sync());
  add({Do([&] {
         EXPECT_EQ(Text(d.Label4), "B");
         QTest::mouseClick(W(d.CheckBox1), Qt::LeftButton);
         EXPECT_TRUE(d.CheckBox1->Checked());
         EXPECT_EQ(Text(d.Label2) + Text(d.Label3) + Text(d.Label4), "");
       }),
       Send(B("C\nD\n"))});
  add(Sync());
  add({Do([&] {
         EXPECT_EQ(Text(d.Label1), kelv::ReceivingText(5));
         EXPECT_EQ(Text(d.Label2) + Text(d.Label3) + Text(d.Label4), "");
         QTest::mouseClick(W(d.CheckBox1), Qt::LeftButton);
       }),
       Send(B("E\n%"))});
  Run(std::move(script));
  EXPECT_EQ(Text(d.Label2), "");
  EXPECT_EQ(Text(d.Label3), "");
  EXPECT_EQ(Text(d.Label4), "E");
  EXPECT_EQ(Text(d.Label1), kDone);
  EXPECT_EQ(ReadFile(RxPath()), "%\r\nA\r\nB\r\nC\r\nD\r\nE\r\n%\r\n");
}

// Closing during a run saves the settings at once; the run goes on to its end
// and saves the program, and the program ends only after that.
TEST_F(ReceptionRun, CloseDuringTheRunSavesAtOnceAndEndsAfterTheRun) {
  WriteIni(0, 0);
  TRXDlg& d = Make();
  std::vector<Step> script{Send(B("%\nO1\n"))};
  for (Step& s : Sync()) script.push_back(std::move(s));
  script.push_back(Do([&] {
    d.Form->Close();
    const std::string ini = ReadFile(IniPath());
    EXPECT_NE(ini.find("Name1=1"), std::string::npos) << ini;  // written just now
    EXPECT_NE(ini.find("COM1=" + line_.path()), std::string::npos) << ini;
    EXPECT_EQ(quits_, 0);
    EXPECT_TRUE(W(d)->isVisible());
    EXPECT_EQ(Text(d.CancelBtn), Sjis("キャンセル"));
  }));
  script.push_back(Send(B("G1\n%")));
  Run(std::move(script));
  EXPECT_EQ(ReadFile(RxPath()), "%\r\nO1\r\nG1\r\n%\r\n");
  EXPECT_EQ(Text(d.Label1), kDone);
  EXPECT_EQ(quits_, 1);
}

// ---- Failures ---------------------------------------------------------------------

TEST_F(ReceptionRun, LineThatCannotBeOpenedLeavesTheStartButtonForAnotherTry) {
  WriteIni(0, 0, "", dir_ + "no-such-tty");
  TRXDlg& d = Make();
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::string message;
    Run({OnBox("MessageBox", [&](QWidget* w) {
      message = BoxText(w);
      Ok(w);
    })});
    // The first line as ever, the system's reason on the second.
    const std::string head = Sjis("回線が開けません！設定又は接続を確認してください。") + "\n";
    EXPECT_EQ(message.substr(0, head.size()), head);
    EXPECT_EQ(message.substr(head.size()), d.rs232c1->LastFailure().text);
    EXPECT_FALSE(d.rs232c1->LastFailure().text.empty());
    EXPECT_EQ(Text(d.CancelBtn), Sjis("受信開始"));
    EXPECT_EQ(Text(d.Label1), Sjis("受信開始ボタンを押してください"));
    EXPECT_TRUE(!d.GroupBox1->Visible());
    EXPECT_FALSE(!d.CheckBox1->Visible());
  }
  EXPECT_FALSE(Exists(RxPath()));
}

// A place for "Rx.nc" that cannot take it: the error, then the save box, until
// the program is saved elsewhere or the operator gives it up.
struct SaveCase {
  const char* name;
  std::vector<std::string> choices;  // relative to the temporary directory; "" cancels
  std::string saved_as;              // where the program ends up; "" nowhere
  int errors;
};
class UnwritablePlace : public ReceptionRun, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(UnwritablePlace, ErrorThenTheSaveBox) {
  const SaveCase& c = GetParam();
  WriteIni(0, 0);
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(RxPath())));  // a directory in the way
  Make();
  std::vector<std::string> errors;
  std::vector<std::string> suggested;
  std::string accept;
  std::vector<Step> script{Send(B("%\nO1\n%"))};
  for (const std::string& choice : c.choices) {
    script.push_back(OnBox("ErrorBox", [&](QWidget* w) {
      errors.push_back(BoxText(w));
      Ok(w);
    }));
    script.push_back(OnBox("RxSaveDialog", [&, choice](QWidget* w) {
      auto* box = qobject_cast<QFileDialog*>(w);
      ASSERT_NE(box, nullptr);
      suggested.push_back(box->selectedFiles().value(0).toStdString());
      // In Japanese, and a save box: the folder in the way is not selected.
      auto* buttons = box->findChild<QDialogButtonBox*>();
      ASSERT_NE(buttons, nullptr);
      for (QAbstractButton* b : buttons->buttons()) {
        if (buttons->buttonRole(b) == QDialogButtonBox::AcceptRole) accept = kelv::FromQ(b->text());
      }
      if (choice.empty()) {
        box->reject();
      } else {
        box->selectFile(QString::fromStdString(dir_ + choice));
        QMetaObject::invokeMethod(box, "accept");  // as its save button does
      }
    }));
  }
  Run(std::move(script));

  ASSERT_EQ(errors.size(), static_cast<size_t>(c.errors));
  EXPECT_EQ(errors[0],
            Sjis("ファイル \"") + RxPath() + Sjis("\" を作成できません。") + "Is a directory.");
  for (const std::string& s : suggested) EXPECT_EQ(s + "/", dir_);
  EXPECT_EQ(accept, Sjis("保存(&S)"));
  if (!c.saved_as.empty()) {
    EXPECT_EQ(ReadFile(dir_ + c.saved_as), "%\r\nO1\r\n%\r\n");
  }
  // Nothing else was left anywhere: only the directory in the way, the
  // settings and the reception log, plus the saved copy.
  QStringList want{"Kelv.ini", "Rx.log", "Rx.nc"};
  if (!c.saved_as.empty()) want << QString::fromStdString(c.saved_as);
  want.sort();
  EXPECT_EQ(QDir(tmp_.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot), want);
  EXPECT_EQ(quits_, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Reception, UnwritablePlace,
    ::testing::Values(SaveCase{"SavedElsewhere", {"Kept.nc"}, "Kept.nc", 1},
                      SaveCase{"GivenUp", {""}, "", 1},
                      // A place that fails too shows its error and asks again.
                      SaveCase{"FailsAgainThenSaved", {"missing/Kept.nc", "Kept.nc"}, "Kept.nc", 2},
                      SaveCase{"FailsAgainThenGivenUp", {"missing/Kept.nc", ""}, "", 2}),
    [](const ::testing::TestParamInfo<SaveCase>& i) { return std::string(i.param.name); });

// A device that hands out a few bytes, then fails the read while it still
// reports bytes waiting. Pseudo-terminals never do that.
struct FailingDevice : AcceptingDevice {
  static inline Bytes script;  // bytes read before the failure

  bool SetEventMask(uint32_t mask) override {
    std::lock_guard<std::mutex> lock(mu);
    masked = mask == 0;
    cv.notify_all();
    return true;
  }
  bool WaitEvent(uint32_t& events) override {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [this] { return masked; });
    events = 0;
    return false;
  }
  bool Purge(uint32_t) override { return true; }
  bool Status(uint32_t& in_queue) override {
    in_queue = static_cast<uint32_t>(script.size() - at + 5);
    return true;
  }
  bool Escape(uint32_t) override { return true; }
  bool MakeTransferEvents() override { return true; }
  void CloseTransferEvents() override {}
  serialdev::XferStart StartRead(void* buf, uint32_t count) override {
    if (count != 1 || at >= script.size()) return serialdev::XferStart::Failed;
    *static_cast<uint8_t*>(buf) = script[at++];
    return serialdev::XferStart::Completed;
  }
  serialdev::XferWait WaitRead(uint32_t) override { return serialdev::XferWait::Failed; }
  bool ReadResult(uint32_t& n) override {
    n = 1;
    return true;
  }
  serialdev::XferStart StartWrite(const void*, uint32_t) override {
    return serialdev::XferStart::Completed;
  }
  serialdev::XferWait WaitWrite(uint32_t) override { return serialdev::XferWait::Failed; }
  bool WriteResult(uint32_t& n) override {
    n = 1;
    return true;
  }
  bool Close() override { return true; }

  std::mutex mu;
  std::condition_variable cv;
  bool masked = false;
  size_t at = 0;
};

TEST_F(ReceptionRun, ReadFailureSavesTheCompletedLinesAndDropsTheRest) {
  WriteIni(0, 0);
  TRXDlg& d = Make();
  FailingDevice::script = B("%\nO1\nG1 X");
  d.rs232c1->SetDeviceFactory(
      [] { return std::unique_ptr<serialdev::SerialDevice>(new FailingDevice); });
  std::string message;
  Run({OnBox("MessageBox", [&](QWidget* w) {
    message = BoxText(w);
    Ok(w);
  })});
  EXPECT_EQ(message, Sjis("データ読込みエラー"));
  EXPECT_EQ(ReadFile(RxPath()), "%\r\nO1\r\n");
  EXPECT_EQ(Text(d.Label1), Sjis("データ読込みエラーで終了 2行受信済"));
  EXPECT_EQ(Text(d.CancelBtn), Sjis("閉じる"));
  EXPECT_TRUE(!d.CheckBox1->Visible());
  EXPECT_FALSE(d.rs232c1->IsOpen());
  // A device still there: a read error, not a lost device.
  EXPECT_NE(ReadFile(dir_ + "Rx.log").find("\t" + Sjis("読込みエラー") + "\t"), std::string::npos);
}

// ---- A long program flat out ---------------------------------------------------

// Flat out, the line fills the queue again and again. A control that honours
// DC3 stops each time and must be let go again by a DC1; one that ignores it
// is held back only by the line's own buffer. Either way every byte arrives,
// in order, in both tape codes.
struct LargeProgram {
  const char* name;
  ncsend::Code code;
  bool honours_dc3;
  int lines;
};
class LargePrograms : public ReceptionRun, public ::testing::WithParamInterface<LargeProgram> {};

TEST_P(LargePrograms, ArriveCompleteAndExact) {
  const LargeProgram& c = GetParam();
  std::string text = "%\n";
  text.reserve(static_cast<size_t>(c.lines) * 48);
  char buf[80];
  for (int i = 1; i <= c.lines; ++i) {
    std::snprintf(buf, sizeof buf, "N%06d G01 X%d.%03d Y-%d.%03d Z%d F1200\n", i, i % 997, i % 1000,
                  i % 613, (i * 7) % 1000, i % 10);
    text += buf;
  }
  text += "%\n";

  ncsend::FrameOptions frame;
  frame.mode = 0;
  frame.code = c.code;
  ncsend::Framed framed;
  ncsend::ProgramError error;
  ASSERT_TRUE(ncsend::EncodeProgram(text, frame, framed, error)) << error.message;
  // The run stops reading at the closing "%": nothing may follow it, or the
  // control would be left writing to a line that is gone.
  const uint8_t eol = c.code == ncsend::Code::Iso ? '\n' : 0x80;
  ASSERT_EQ(framed.bytes.back(), eol);
  framed.bytes.pop_back();

  WriteIni(0, c.code == ncsend::Code::Iso ? 0 : 1);
  Make();
  collect_ = false;       // the control reads its own answers
  deadline_ms_ = 170000;  // byte by byte under the sanitizers, on a loaded machine
  ncsend::SendReport report;
  std::thread control;
  Run({Until([this] { return Open(); }), Do([&] {
         control = std::thread([&] {
           ncsend::SendOptions opt;
           opt.chunk = 4096;
           opt.timeout_ms = 20000;
           opt.ignore_dc3 = !c.honours_dc3;
           report = ncsend::Send(line_.fd(), framed.bytes, opt);
         });
       })});
  if (control.joinable()) control.join();

  EXPECT_TRUE(report.ok) << report.error;
  EXPECT_EQ(report.bytes, framed.bytes.size());
  EXPECT_GT(report.dc3, 0u) << "the queue never filled";
  if (c.honours_dc3) {
    // Every stop was resumed, or the control would still be waiting.
    EXPECT_GT(report.stops.size(), 0u);
    for (const ncsend::Dc3Stop& stop : report.stops) EXPECT_TRUE(stop.resumed);
  } else {
    EXPECT_TRUE(report.stops.empty());
  }
  const std::string want = CrLf(text);
  const std::string got = ReadFile(RxPath());
  EXPECT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want) << "Rx.nc differs from what was sent";
  EXPECT_EQ(Text(dlg_->Label1), kDone);
}

INSTANTIATE_TEST_SUITE_P(
    Reception, LargePrograms,
    ::testing::Values(LargeProgram{"IsoHonouringDc3", ncsend::Code::Iso, true, 130000},
                      LargeProgram{"IsoIgnoringDc3", ncsend::Code::Iso, false, 60000},
                      LargeProgram{"EiaHonouringDc3", ncsend::Code::Eia, true, 60000},
                      LargeProgram{"EiaIgnoringDc3", ncsend::Code::Eia, false, 60000}),
    [](const ::testing::TestParamInfo<LargeProgram>& i) { return std::string(i.param.name); });

}  // namespace
