// The window-system services on a real Qt application (offscreen platform).
#include "winsys.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>

#include "apperror.h"
#include "handover.h"
#include "sjis.h"
#include "text.h"

namespace {

using kelv::Sjis;
using kelv::ToQ;
namespace winsys = kelv::winsys;

constexpr int kDeadlineMs = 10000;

// Acts on the next modal box once it is up, and once `ready` says so; gives up
// (closing the box, so the test fails instead of hanging) after the deadline.
class OnModal {
 public:
  explicit OnModal(
      std::function<void(QWidget*)> act, std::function<bool()> ready = [] { return true; })
      : act_(std::move(act)), ready_(std::move(ready)) {
    clock_.start();
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* w = QApplication::activeModalWidget();
      if (!w) return;
      if (ready_()) {
        timer_.stop();
        seen_ = true;
        act_(w);
      } else if (clock_.elapsed() > kDeadlineMs) {
        timer_.stop();
        w->close();
      }
    });
    timer_.start(10);
  }
  bool seen() const { return seen_; }

 private:
  std::function<void(QWidget*)> act_;
  std::function<bool()> ready_;
  QTimer timer_;
  QElapsedTimer clock_;
  bool seen_ = false;
};

void Click(QWidget* box, const char* button) {
  auto* b = box->findChild<QPushButton*>(button);
  ASSERT_NE(b, nullptr) << button;
  b->click();
}

// A worker thread that hands one call over to the user-interface thread.
class Worker {
 public:
  explicit Worker(std::function<void()> fn) : fn_(std::move(fn)) {
    thread_ = std::thread([this] {
      try {
        HandOver::Ui().Call(fn_);
      } catch (const std::exception& e) {
        error_ = e.what();
      }
      done_ = true;
      HandOver::Ui().Notify();
    });
  }
  ~Worker() {
    // Keep serving, so a failed test never leaves the worker blocked.
    HandOver::Ui().WaitServing([this] { return done_.load(); });
    thread_.join();
  }
  bool done() const { return done_; }
  const std::string& error() const { return error_; }

 private:
  std::function<void()> fn_;
  std::string error_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST(HandOverOnUi, ServedByProcessMessages) {
  std::thread::id ran_on;
  Worker worker([&] { ran_on = std::this_thread::get_id(); });
  QElapsedTimer clock;
  clock.start();
  while (!worker.done() && clock.elapsed() < kDeadlineMs) winsys::ProcessMessages();
  EXPECT_TRUE(worker.done());
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(HandOverOnUi, ServedWhileAModalBoxIsOpen) {
  std::atomic<bool> ran{false};
  bool box_was_open = false;
  Worker worker([&] {
    box_was_open = QApplication::activeModalWidget() != nullptr;
    ran = true;
  });
  // Nothing processes events before the box: the call can only run inside it.
  OnModal box([](QWidget* w) { Click(w, "MessageBoxOk"); }, [&] { return ran.load(); });
  winsys::ShowMessage("x");
  EXPECT_TRUE(box.seen());
  EXPECT_TRUE(box_was_open);
}

// Serving while waiting for a worker to end runs the hand-over but delivers no
// user input: a key already queued for a widget waits for the next processing.
TEST(HandOverOnUi, WaitServingRunsHandOversButNoInput) {
  QLineEdit edit;
  edit.show();
  winsys::ProcessMessages();
  QCoreApplication::postEvent(&edit,
                              new QKeyEvent(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a"));
  QCoreApplication::postEvent(&edit,
                              new QKeyEvent(QEvent::KeyRelease, Qt::Key_A, Qt::NoModifier, "a"));

  QString seen_in_call = "not run";
  std::atomic<bool> done{false};
  std::thread worker([&] {
    HandOver::Ui().Call([&] { seen_in_call = edit.text(); });
    done = true;
    HandOver::Ui().Notify();
  });
  HandOver::Ui().WaitServing([&] { return done.load(); });
  worker.join();
  EXPECT_EQ(seen_in_call, "");
  EXPECT_EQ(edit.text(), "");
  winsys::ProcessMessages();
  EXPECT_EQ(edit.text(), "a");
}

TEST(HandOverOnUi, ErrorOfTheCallReachesTheWorker) {
  Worker worker([] { throw kelv::AppError("boom"); });
  QElapsedTimer clock;
  clock.start();
  while (!worker.done() && clock.elapsed() < kDeadlineMs) winsys::ProcessMessages();
  ASSERT_TRUE(worker.done());
  EXPECT_EQ(worker.error(), "boom");
}

TEST(HandOverOnUi, CallOnTheUiThreadRunsAtOnce) {
  bool ran = false;
  HandOver::Ui().Call([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_THROW(HandOver::Ui().Call([] { throw std::runtime_error("direct"); }), std::runtime_error);
}

TEST(ErrorBox, TextGetsADotWhenItsLastByteSortsAfterTheDot) {
  const struct {
    std::string message;
    std::string want;
  } cases[] = {
      {"", ""},
      {"disk full", "disk full."},
      {"done.", "done."},
      {"(x)", "(x)"},  // ')' 0x29
      {"a-", "a-"},    // '-' 0x2D
      {"a/", "a/."},   // '/' 0x2F
      {"\x7f", "\x7f."},
      {Sjis("%s に書き込めません"), Sjis("%s に書き込めません") + "."},  // last byte 0xF1
      {Sjis("完了。"), Sjis("完了。") + "."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(winsys::ErrorBoxText(c.message), c.want) << c.message;
  }
}

TEST(ErrorBox, ShowsTheMessageWithTheErrorIcon) {
  QString text, title;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  qsizetype buttons = 0;
  OnModal box([&](QWidget* w) {
    auto* m = qobject_cast<QMessageBox*>(w);
    ASSERT_NE(m, nullptr);
    text = m->text();
    title = m->windowTitle();
    icon = m->icon();
    buttons = m->buttons().size();
    QTest::keyClick(m, Qt::Key_Escape);
  });
  winsys::ShowError(kelv::AppError(Sjis("/tmp/Kelv.ini に書き込めません")));
  ASSERT_TRUE(box.seen());
  EXPECT_EQ(text, ToQ(Sjis("/tmp/Kelv.ini に書き込めません.")));
  EXPECT_EQ(title, ToQ(winsys::ApplicationTitle()));
  EXPECT_EQ(icon, QMessageBox::Critical);
  EXPECT_EQ(buttons, 1);
}

TEST(MessageBox, PlainTextNoIconOneOk) {
  QString text;
  QMessageBox::Icon icon = QMessageBox::Critical;
  qsizetype buttons = 0;
  OnModal box([&](QWidget* w) {
    auto* m = qobject_cast<QMessageBox*>(w);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->objectName(), "MessageBox");
    text = m->text();
    icon = m->icon();
    buttons = m->buttons().size();
    Click(w, "MessageBoxOk");
  });
  winsys::ShowMessage(Sjis("<b>回線が開けません！</b>"));
  ASSERT_TRUE(box.seen());
  EXPECT_EQ(text, ToQ(Sjis("<b>回線が開けません！</b>")));
  EXPECT_EQ(icon, QMessageBox::NoIcon);
  EXPECT_EQ(buttons, 1);
}

TEST(Title, FileNameCutAtTheFirstDotThenLowerCase) {
  const struct {
    const char* path;
    const char* want;
  } cases[] = {
      {"/opt/kelv/KelvRx", "Kelvrx"},
      {"/opt/kelv/KelvRx.exe", "Kelvrx"},
      {"/a.b/KELV.RX.EXE", "Kelv"},
      {"kelvrx", "kelvrx"},
      {"/x/.hidden", ""},
      {"/x/受信Rx.exe", "受信rx"},
  };
  for (const auto& c : cases) EXPECT_EQ(winsys::ApplicationTitleOf(c.path), Sjis(c.want)) << c.path;
  EXPECT_EQ(winsys::ApplicationTitle(), "test_ui");  // the first character is kept as it is
  EXPECT_EQ(winsys::ExecutableDir() + "test_ui", winsys::ExecutablePath());
}

struct InputCase {
  const char* name;
  std::function<void(QLineEdit*, QWidget*)> act;
  std::string want;
};

TEST(InputBox, ReturnsTheEditedTextOnOkAndTheInitialOtherwise) {
  const std::string initial = Sjis("旋盤１");
  const InputCase cases[] = {
      {"OK", [](QLineEdit* e, QWidget* w) { e->setText("ABC"), Click(w, "InputBoxOk"); }, "ABC"},
      {"OK empty", [](QLineEdit* e, QWidget* w) { e->clear(), Click(w, "InputBoxOk"); }, ""},
      {"Return on the edit is OK",
       [](QLineEdit* e, QWidget*) {
         QTest::keyClicks(e, "N1");  // replaces the selection
         QTest::keyClick(e, Qt::Key_Return);
       },
       "N1"},
      {"cancel", [](QLineEdit* e, QWidget* w) { e->setText("x"), Click(w, "InputBoxCancel"); },
       initial},
      {"Esc", [](QLineEdit* e, QWidget*) { e->setText("x"), QTest::keyClick(e, Qt::Key_Escape); },
       initial},
      {"closed", [](QLineEdit*, QWidget* w) { w->close(); }, initial},
  };
  for (const InputCase& c : cases) {
    QString title, prompt, shown, selected, ok, cancel;
    bool centred = false;
    OnModal box([&](QWidget* w) {
      auto* edit = w->findChild<QLineEdit*>("InputBoxEdit");
      ASSERT_NE(edit, nullptr);
      title = w->windowTitle();
      prompt = w->findChild<QLabel*>("InputBoxPrompt")->text();
      shown = edit->text();
      selected = edit->selectedText();
      ok = w->findChild<QPushButton*>("InputBoxOk")->text();
      EXPECT_TRUE(w->findChild<QPushButton*>("InputBoxOk")->isDefault());
      cancel = w->findChild<QPushButton*>("InputBoxCancel")->text();
      const QPoint centre = w->screen()->availableGeometry().center();
      centred = (w->geometry().center() - centre).manhattanLength() < 40;
      c.act(edit, w);
    });
    const std::string got =
        winsys::InputBox(Sjis("ボタン名変更"), Sjis("表示する名前を入力してください"), initial);
    ASSERT_TRUE(box.seen()) << c.name;
    EXPECT_EQ(got, c.want) << c.name;
    EXPECT_EQ(title, ToQ(Sjis("ボタン名変更")));
    EXPECT_EQ(prompt, ToQ(Sjis("表示する名前を入力してください")));
    EXPECT_EQ(shown, ToQ(initial));
    EXPECT_EQ(selected, ToQ(initial));
    EXPECT_EQ(ok, "OK");
    EXPECT_EQ(cancel, ToQ(Sjis("キャンセル")));
    EXPECT_TRUE(centred) << c.name;
  }
}

// Typed the way an input method delivers Japanese text.
void Commit(QLineEdit* edit, const QString& text) {
  QInputMethodEvent e;
  e.setCommitString(text);
  QApplication::sendEvent(edit, &e);
}

// The limit counts code page 932 bytes: two for "表", one for "ﾎ" and "a".
TEST(InputBox, HoldsAtMost255Bytes) {
  const QString hyo = ToQ(Sjis("表"));
  const QString ho = ToQ(Sjis("ﾎ"));
  const InputCase cases[] = {
      {"typing stops at the limit",
       [&](QLineEdit* e, QWidget* w) {
         e->clear();
         for (int i = 0; i < 130; ++i) Commit(e, hyo);  // 127 fit: 254 bytes
         Commit(e, hyo);                                // 256: refused
         Commit(e, ho);                                 // 255
         QTest::keyClicks(e, "a");                      // 256: refused
         Click(w, "InputBoxOk");
       },
       [] {
         std::string s;
         for (int i = 0; i < 127; ++i) s += Sjis("表");
         return s + Sjis("ﾎ");
       }()},
      {"text set from outside is cut at a whole character",
       [&](QLineEdit* e, QWidget* w) {
         e->setText("a" + hyo.repeated(200));
         Click(w, "InputBoxOk");
       },
       [] {
         std::string s = "a";
         for (int i = 0; i < 127; ++i) s += Sjis("表");
         return s;
       }()},
  };
  for (const InputCase& c : cases) {
    OnModal box([&](QWidget* w) { c.act(w->findChild<QLineEdit*>("InputBoxEdit"), w); });
    const std::string got = winsys::InputBox("t", "p", "1");
    ASSERT_TRUE(box.seen()) << c.name;
    EXPECT_EQ(got, c.want) << c.name;
    EXPECT_LE(got.size(), winsys::kInputBoxMax) << c.name;
  }

  // A caption longer than the limit (from the file) is shown whole, given back
  // whole when untouched, and may shrink but not grow.
  const std::string long_initial(300, 'z');
  const struct {
    const char* name;
    std::function<void(QLineEdit*)> act;
    std::string want;
  } long_cases[] = {
      {"untouched", [](QLineEdit*) {}, long_initial},
      {"one deleted",
       [](QLineEdit* e) {
         e->end(false);
         QTest::keyClick(e, Qt::Key_Backspace);
       },
       std::string(299, 'z')},
      {"typing refused",
       [](QLineEdit* e) {
         e->end(false);
         QTest::keyClicks(e, "ab");
       },
       long_initial},
  };
  for (const auto& c : long_cases) {
    QString shown;
    OnModal box([&](QWidget* w) {
      auto* e = w->findChild<QLineEdit*>("InputBoxEdit");
      shown = e->text();
      c.act(e);
      Click(w, "InputBoxOk");
    });
    EXPECT_EQ(winsys::InputBox("t", "p", long_initial), c.want) << c.name;
    EXPECT_EQ(shown.size(), 300) << c.name;
  }
}

// A paste that would pass the limit inserts what fits, whole characters only;
// characters code page 932 lacks are not taken, its second Unicode forms are.
TEST(InputBox, PasteAndCharactersTheCodePageLacks) {
  const QString hyo = ToQ(Sjis("表"));
  const InputCase cases[] = {
      {"paste keeps what fits",
       [&](QLineEdit* e, QWidget* w) {
         e->setText(QString(250, 'a'));
         e->end(false);
         e->insert(hyo.repeated(4));  // 8 bytes: only two characters fit
         Click(w, "InputBoxOk");
       },
       std::string(250, 'a') + Sjis("表表")},
      {"paste in the middle",
       [&](QLineEdit* e, QWidget* w) {
         e->setText(QString(253, 'a'));
         e->setCursorPosition(1);
         e->insert("XYZ");
         Click(w, "InputBoxOk");
       },
       "aXY" + std::string(252, 'a')},
      {"a character without code page 932 form is refused",
       [&](QLineEdit* e, QWidget* w) {
         e->clear();
         Commit(e, QString::fromUtf8("N1\xF0\x9F\x98\x80\xEA\xB0\x80"));  // emoji, hangul
         QTest::keyClicks(e, "2");
         Click(w, "InputBoxOk");
       },
       "N12"},
      {"the JIS forms become the code page's characters",
       [&](QLineEdit* e, QWidget* w) {
         e->clear();
         Commit(e, QString::fromUtf8("1\xE3\x80\x9C"
                                     "2\xE2\x88\x92"
                                     "3"));  // 〜 −
         Click(w, "InputBoxOk");
       },
       Sjis("1～2－3")},
  };
  for (const InputCase& c : cases) {
    OnModal box([&](QWidget* w) { c.act(w->findChild<QLineEdit*>("InputBoxEdit"), w); });
    const std::string got = winsys::InputBox("t", "p", "1");
    ASSERT_TRUE(box.seen()) << c.name;
    EXPECT_EQ(got, c.want) << c.name;
  }
}

TEST(Sleep, PausesWithoutProcessingEvents) {
  bool fired = false;
  QTimer::singleShot(0, [&] { fired = true; });
  QElapsedTimer clock;
  clock.start();
  winsys::Sleep(20);
  EXPECT_GE(clock.elapsed(), 20);
  EXPECT_FALSE(fired);
  winsys::ProcessMessages();
  EXPECT_TRUE(fired);
}

}  // namespace
