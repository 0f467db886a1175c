// Driving a real reception run from a test: the dialog on the offscreen
// platform with its files in a directory of the test's choosing, its COM1 a
// pseudo-terminal whose master side the test plays as the CNC control.
//
// The run executes inside the start click and services the window once per
// polling pass, so the far end's script runs from a timer there, one step after
// another: it writes to the line, reads the dialog's answers, clicks, and closes
// the boxes.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "UnitRx.h"
#include "text.h"

namespace rxharness {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kDC1 = 0x11;
constexpr uint8_t kDC2 = 0x12;
constexpr uint8_t kDC3 = 0x13;

inline Bytes B(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// The file form of a text: every LF becomes CR LF.
inline std::string CrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

inline std::string ReadFile(const std::string& path) {
  QFile f(QString::fromStdString(path));
  if (!f.open(QIODevice::ReadOnly)) return "<missing>";
  return f.readAll().toStdString();
}
inline bool WriteFile(const std::string& path, const std::string& content) {
  QFile f(QString::fromStdString(path));
  return f.open(QIODevice::WriteOnly) &&
         f.write(content.data(), static_cast<qint64>(content.size())) ==
             static_cast<qint64>(content.size());
}

// The CNC control's end of the line: the master of a pseudo-terminal pair.
class Control {
 public:
  Control() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) return;
    termios t{};
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::close(slave);  // the dialog opens it by name
    path_ = name;
  }
  ~Control() { Hangup(); }
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  bool ok() const { return !path_.empty(); }
  int fd() const { return master_; }
  const std::string& path() const { return path_; }

  // The control goes away: its end of the line is closed.
  void Hangup() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  // Writes what the line takes now; the count written.
  size_t WriteSome(const uint8_t* data, size_t n) {
    if (master_ < 0) return 0;
    const ssize_t done = ::write(master_, data, n);
    return done > 0 ? static_cast<size_t>(done) : 0;
  }
  // Everything the receiver has sent so far.
  void Collect(Bytes& into) {
    uint8_t buf[256];
    while (master_ >= 0) {
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) return;
      into.insert(into.end(), buf, buf + n);
    }
  }

 private:
  int master_ = -1;
  std::string path_;
};

// One step of the far end's script; true when it is done and the next may run.
using Step = std::function<bool()>;

class Harness : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.isValid());
    ASSERT_TRUE(line_.ok());
    dir_ = QDir(tmp_.path()).absolutePath().toStdString() + "/";
  }

  std::string RxPath() const { return dir_ + "Rx.nc"; }
  std::string IniPath() const { return dir_ + "Kelv.ini"; }

  // Preset 1 active with the start mode and tape code; COM1 leads to our line,
  // so no test ever reaches a real port.
  void WriteIni(int mode, int code = 0, const std::string& more = "") {
    ASSERT_TRUE(WriteFile(
        IniPath(), "[Set]\r\nActive=0\r\nPort0=0\r\nbaudRate0=4\r\nStart0=" + std::to_string(mode) +
                       "\r\nCoadType0=" + std::to_string(code) +
                       "\r\n[Ports]\r\nCOM1=" + line_.path() + "\r\n" + more));
  }

  TRXDlg& Make() {
    dlg_ = std::make_unique<TRXDlg>(std::vector<std::string>{}, dir_);
    dlg_->EndPauseMs = 0;
    dlg_->QuitApplication = [this] {
      ++quits_;
      if (on_quit_) on_quit_();
    };
    dlg_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dlg_.get()));
    return *dlg_;
  }

  // Presses the start button and plays `steps` while the run executes;
  // returns when the run has returned. A script that hangs is given up after
  // a deadline: its box is closed and the run cancelled, and the test fails.
  void Run(std::vector<Step> steps) {
    size_t next = 0;
    bool busy = false;
    bool gave_up = false;
    QElapsedTimer clock;
    clock.start();
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
      if (busy) return;  // a step's nested event loop
      busy = true;
      if (collect_) line_.Collect(answers_);
      while (next < steps.size() && steps[next]()) ++next;
      if (!gave_up && clock.elapsed() > deadline_ms_) {
        gave_up = true;
        if (QWidget* w = QApplication::activeModalWidget()) w->close();
        dlg_->Cancelled = true;
      }
      busy = false;
    });
    timer.start(1);
    QTest::mouseClick(dlg_->CancelBtn, Qt::LeftButton);
    timer.stop();
    if (collect_) line_.Collect(answers_);
    EXPECT_FALSE(gave_up) << "script stuck at step " << next;
    EXPECT_EQ(next, steps.size()) << "the run ended before the script";
  }

  // ---- Steps.
  bool Open() const { return dlg_->rs232c1->IsOpen(); }

  // Writes `bytes` once the line is open, as fast as it takes them.
  Step Send(Bytes bytes) {
    auto sent = std::make_shared<size_t>(0);
    return [this, bytes = std::move(bytes), sent] {
      if (!Open()) return false;
      *sent += line_.WriteSome(bytes.data() + *sent, bytes.size() - *sent);
      return *sent == bytes.size();
    };
  }
  static Step Until(std::function<bool()> pred) { return pred; }
  static Step Do(std::function<void()> fn) {
    return [fn] {
      fn();
      return true;
    };
  }
  // Everything sent so far has been read by the run: a DC2 is answered only
  // once the line has taken all before it, and an empty queue seen between two
  // passes has been handled. DC2 is never stored and starts only mode 1.
  std::vector<Step> Sync() {
    auto answered = std::make_shared<size_t>(0);
    return {Do([this, answered] { *answered = Count(kDC1); }), Send({kDC2}),
            Until([this, answered] { return Count(kDC1) > *answered; }),
            Until([this] { return dlg_->rs232c1->InQueueCount() == 0; })};
  }
  // Acts on the modal box of that name once it is up.
  static Step OnBox(const char* name, std::function<void(QWidget*)> act) {
    return [name, act] {
      QWidget* w = QApplication::activeModalWidget();
      if (!w || w->objectName() != QLatin1String(name)) return false;
      act(w);
      return true;
    };
  }
  Step ClickCancel() {
    return Do([this] { QTest::mouseClick(dlg_->CancelBtn, Qt::LeftButton); });
  }

  size_t Count(uint8_t b) const {
    return static_cast<size_t>(std::count(answers_.begin(), answers_.end(), b));
  }

  static std::string BoxText(QWidget* w) { return BoxTextOf(w); }
  static void Ok(QWidget* w) { OkOn(w); }

 public:
  static std::string BoxTextOf(QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    return box ? kelv::FromQ(box->text()) : "<not a message box>";
  }
  // Presses the OK button of a box made by the window-system services.
  static void OkOn(QWidget* w) {
    auto* ok = w->findChild<QPushButton*>(w->objectName() + "Ok");
    ASSERT_NE(ok, nullptr);
    ok->click();
  }

 protected:
  QTemporaryDir tmp_;
  std::string dir_;  // of the dialog's files; tests may point it elsewhere before Make()
  Control line_;
  std::unique_ptr<TRXDlg> dlg_;
  Bytes answers_;  // what the dialog sent on the line
  bool collect_ = true;
  int deadline_ms_ = 20000;  // for one script
  int quits_ = 0;
  std::function<void()> on_quit_;
};

}  // namespace rxharness
