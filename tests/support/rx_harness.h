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
#include <poll.h>
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
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "UnitRx.h"
#include "named_rows.h"
#include "ptypair.h"
#include "qtdlg.h"
#include "reception.h"
#include "sjis.h"
#include "text.h"
#include "verdict.h"

#if defined(__SANITIZE_ADDRESS__)
#define RXHARNESS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RXHARNESS_ASAN 1
#endif
#endif
#ifdef RXHARNESS_ASAN
// From the sanitizer's allocator interface (GCC installs no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace rxharness {

using testrows::operator<<;

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

// Memory the process holds: its resident set, or under AddressSanitizer (whose
// quarantine keeps freed memory resident) the bytes allocated and not freed.
inline size_t MemoryInUse() {
#ifdef RXHARNESS_ASAN
  return __sanitizer_get_current_allocated_bytes();
#else
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
  }
  return 0;
#endif
}

// The CNC control's end of the line: the master of a pseudo-terminal pair.
using Control = ptytest::FarEnd;

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

  // Preset 1 active with the start mode and tape code; COM1 leads to `device`
  // (our line unless told otherwise), so no test ever reaches a real port.
  void WriteIni(int mode, int code = 0, const std::string& more = "", std::string device = "") {
    if (device.empty()) device = line_.path();
    ASSERT_TRUE(WriteFile(
        IniPath(), "[Set]\r\nActive=0\r\nPort0=0\r\nbaudRate0=4\r\nStart0=" + std::to_string(mode) +
                       "\r\nCoadType0=" + std::to_string(code) + "\r\n[Ports]\r\nCOM1=" + device +
                       "\r\n" + more));
  }

  TRXDlg& Make() {
    dlg_ = std::make_unique<TRXDlg>(std::vector<std::string>{}, dir_);
    dlg_->EndPauseMs = 0;
    dlg_->QuitApplication = [this] {
      ++quits_;
      if (on_quit_) on_quit_();
    };
    dlg_->Show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(W(*dlg_)));
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
    QTest::mouseClick(W(dlg_->CancelBtn), Qt::LeftButton);
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
    return Do([this] { QTest::mouseClick(W(dlg_->CancelBtn), Qt::LeftButton); });
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

// ---- Garbage on the line --------------------------------------------------------

// What a line at the wrong speed delivers: random bytes, the same for the same
// seed. Line ends and end markers come as often as asked.
struct GarbageCase {
  const char* name;
  int mode;
  int code;
  int lf_every;    // about one line end in that many bytes; 0: none at all
  bool end_marks;  // may hold the end marker; else only the first byte is "%"
};
class Garbage {
 public:
  Garbage(const GarbageCase& c, uint32_t seed) : c_(c), rng_(seed) {}
  uint8_t Next() {
    const uint8_t lf = c_.code == 1 ? 0x80 : '\n';  // line end in the tape code
    const uint8_t pct = c_.code == 1 ? 0x0B : '%';
    // A 7-bit line (ISO) delivers 7 bits, whatever came on the wire.
    auto b = static_cast<uint8_t>(rng_() & (c_.code == 1 ? 0xFF : 0x7F));
    if (first_) {
      first_ = false;
      if (c_.mode == 0 || c_.mode == 3) return pct;
    }
    if (c_.lf_every > 0 && rng_() % static_cast<uint32_t>(c_.lf_every) == 0) return lf;
    if (b == lf && c_.lf_every == 0) b = 'L';
    if (b == pct && !c_.end_marks) b = 'P';
    return b;
  }

 private:
  GarbageCase c_;
  std::mt19937 rng_;
  bool first_ = true;
};

// How the run ended, from its status line: completed lines, -1 for "受信完了".
inline int64_t CountFromStatus(const std::string& status) {
  if (status == kelv::EndText(true, 0)) return -1;
  if (status == kelv::EndText(false, 0)) return 0;
  const std::string head = kelv::EndText(false, 1);
  const size_t digits = head.find('1');
  const std::string prefix = head.substr(0, digits);
  const std::string suffix = head.substr(digits + 1);
  if (status.size() <= prefix.size() + suffix.size() || status.rfind(prefix, 0) != 0) return -2;
  return std::stoll(status.substr(prefix.size(), status.size() - prefix.size() - suffix.size()));
}

inline std::vector<std::string> FileLines(const std::string& file) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < file.size()) {
    const size_t end = file.find("\r\n", at);
    if (end == std::string::npos) {
      lines.push_back("<no CR LF at the end>");
      break;
    }
    lines.push_back(file.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

class GarbageHarness : public Harness {
 protected:
  struct Figures {
    uint64_t sent = 0;
    size_t memory_growth = 0;
    double cancel_s = 0;  // from the queued Cancel click to the end of the run
  };

  // Garbage flows flat out for `flow_ms`, then Cancel is clicked through a
  // queued event while it still flows (a run in mode 0 with end markers ends
  // by itself before). Checks that memory stays bounded by what was sent, that
  // the run ends soon after the click, and that "Rx.nc" holds exactly the lines
  // of what the run read, the line it was in included.
  Figures FlowGarbage(const GarbageCase& c, int flow_ms) {
    Figures f;
    const uint32_t seed = 20240 + static_cast<uint32_t>(c.mode * 10 + c.code);
    WriteIni(c.mode, c.code);
    EXPECT_TRUE(WriteFile(RxPath(), "old\r\n"));
    TRXDlg& d = Make();
    const bool ends_itself = c.mode == 0 && c.end_marks;

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> sent{0};
    std::thread writer;
    auto start_writer = [&] {
      writer = std::thread([&, fd = line_.fd()] {
        Garbage g(c, seed);
        std::vector<uint8_t> chunk(4096);
        size_t have = 0, at = 0;
        while (!stop) {
          if (at == have) {
            for (uint8_t& b : chunk) b = g.Next();
            have = chunk.size();
            at = 0;
          }
          pollfd p{fd, POLLOUT, 0};
          if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLOUT)) continue;
          const ssize_t n = ::write(fd, chunk.data() + at, have - at);
          if (n > 0) {
            at += static_cast<size_t>(n);
            sent += static_cast<uint64_t>(n);
          } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            break;
          }
        }
      });
    };

    size_t memory_before = 0;
    QElapsedTimer flow;
    QElapsedTimer since_click;
    std::vector<Step> script{Until([this] { return Open(); }), Do([&] {
                               memory_before = MemoryInUse();
                               flow.start();
                               start_writer();
                             })};
    if (!ends_itself) {
      script.push_back(Until([&] { return flow.elapsed() >= flow_ms; }));
      script.push_back(Do([&] {
        const size_t now = MemoryInUse();
        f.memory_growth = now > memory_before ? now - memory_before : 0;
        since_click.start();
        QMetaObject::invokeMethod(W(d.CancelBtn), "click", Qt::QueuedConnection);
      }));
    }
    Run(std::move(script));
    if (since_click.isValid()) f.cancel_s = static_cast<double>(since_click.elapsed()) / 1000;
    stop = true;
    if (writer.joinable()) writer.join();
    f.sent = sent;
    std::printf("%s: %llu bytes sent in %.1f s, memory grew by %zu KiB, Cancel took %.3f s\n",
                c.name, static_cast<unsigned long long>(f.sent),
                static_cast<double>(flow.elapsed()) / 1000, f.memory_growth / 1024, f.cancel_s);

    EXPECT_GT(f.sent, 0u);
    EXPECT_LE(f.memory_growth, (16u << 20) + 8 * f.sent)
        << "memory grew by " << f.memory_growth << " bytes for " << f.sent << " bytes sent";
    EXPECT_LT(f.cancel_s, 10.0) << "the run went on after Cancel";

    // The same bytes through the byte step: what the run read is a start of them.
    kelv::ReceptionSettings settings;
    settings.StartMark = d.StartMark;
    settings.EndMark = d.EndMark;
    settings.ColonAsO = d.ColonAsO;
    settings.Eia = c.code == 1;
    kelv::Reception model(settings);
    std::vector<std::string> raw;  // completed lines as received
    Garbage g(c, seed);
    for (uint64_t i = 0; i < f.sent && !model.Finished(); ++i) {
      const kelv::Reception::StepResult r = model.Step(g.Next());
      if (r.line_completed) raw.push_back(r.display);
    }
    raw.push_back(model.CurrentLine());
    const std::string file = ReadFile(RxPath());
    const int64_t count = CountFromStatus(Text(d.Label1));
    if (ends_itself) {
      // The end marker ends the run, but garbage is never called complete.
      EXPECT_EQ(Text(d.Label1), kelv::WaitingHintText());
      model.FinishRun();
      std::string want;
      for (const std::string& l : model.Lines()) want += l + "\r\n";
      EXPECT_TRUE(file == want) << "Rx.nc is not what was received";
      return f;
    }
    EXPECT_GE(count, 0);
    if (count < 0) return f;
    if (c.lf_every > 0) {
      EXPECT_GT(count, 0) << "lines were sent";
    }
    if (file == "old\r\n") {
      EXPECT_EQ(count, 0) << "lines were received, but Rx.nc was not written";
      return f;
    }
    const std::vector<std::string> lines = FileLines(file);
    const auto n = static_cast<size_t>(count);
    EXPECT_TRUE(lines.size() == n || lines.size() == n + 1) << lines.size() << " lines, " << n;
    const std::vector<std::string> model_lines = model.Lines();
    EXPECT_LE(n, model_lines.size());
    for (size_t i = 0; i < n && i < lines.size() && i < model_lines.size(); ++i) {
      if (lines[i] != model_lines[i]) {
        ADD_FAILURE() << "line " << i << " differs from what was received";
        break;
      }
    }
    if (lines.size() == n + 1 && n < raw.size()) {
      // The line the run was in: a start of it, trimmed.
      std::string rest = raw[n];
      size_t blanks = 0;
      while (blanks < rest.size() && static_cast<uint8_t>(rest[blanks]) <= 0x20) ++blanks;
      rest.erase(0, blanks);
      EXPECT_TRUE(rest.compare(0, lines[n].size(), lines[n]) == 0)
          << "the last line is not what was received";
    }
    return f;
  }
};

}  // namespace rxharness
