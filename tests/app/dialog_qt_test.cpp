// The receive dialog as a real window on the offscreen platform, with its
// settings file in a temporary directory: the Qt driver of the scenarios both
// front ends share (dialog_scenarios.cpp), and what only Qt shows.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFontInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "UnitRx.h"
#include "dialog_driver.h"
#include "fake_logind.h"
#include "qtdlg.h"
#include "text.h"

using kelv::qtui::WidgetOf;

namespace {

// Acts on the next modal box once it is up; the trigger that opens it blocks.
class OnModal : public DialogDriver::BoxWatch {
 public:
  using Act = std::function<void(QWidget*, BoxWatch&)>;
  explicit OnModal(Act act) : act_(std::move(act)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (QWidget* w = QApplication::activeModalWidget()) {
        timer_.stop();
        seen = true;
        title = kelv::FromQ(w->windowTitle());
        act_(w, *this);
      }
    });
    timer_.start(10);
  }

 private:
  Act act_;
  QTimer timer_;
};

void Dismiss(QWidget* box) {
  if (auto* d = qobject_cast<QDialog*>(box)) {
    d->reject();
  } else {
    box->close();
  }
}

class QtDriver : public DialogDriver {
  // An inhibitor for `what` held at logind.
  static bool Inhibited(const char* what) {
    EXPECT_TRUE(FakeLogind::Get().Up()) << "dbus-daemon is needed (scripts/deps.sh test)";
    for (const auto& i : FakeLogind::Get().Held()) {
      if (i.what.find(what) != std::string::npos) return true;
    }
    return false;
  }

 public:
  void Show(TRXDlg& d) override {
    d.Show();
    W(d)->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(W(d)));
  }
  void Focus(const kelv::ui::TControl* c) override { WidgetOf(c)->setFocus(); }
  bool HasFocus(const kelv::ui::TControl* c) const override {
    return QApplication::focusWidget() == WidgetOf(c);
  }
  void Click(const kelv::ui::TControl* c) override {
    QTest::mouseClick(WidgetOf(c), Qt::LeftButton);
  }
  void RightClick(const kelv::ui::TSpeedButton* b) override {
    QTest::mousePress(W(b), Qt::RightButton);
    QTest::mouseRelease(W(b), Qt::RightButton);
  }
  void CloseBox(TRXDlg& d) override { W(d)->close(); }

  std::unique_ptr<BoxWatch> OnMessageBox(std::function<void()> when_up) override {
    return std::make_unique<OnModal>([when_up](QWidget* w, BoxWatch& box) {
      if (auto* mb = qobject_cast<QMessageBox*>(w)) box.text = kelv::FromQ(mb->text());
      if (when_up) when_up();
      Dismiss(w);
    });
  }
  std::unique_ptr<BoxWatch> OnRenameBox(const char* type) override {
    return std::make_unique<OnModal>([type](QWidget* w, BoxWatch& box) {
      auto* edit = w->findChild<QLineEdit*>("InputBoxEdit");
      ASSERT_NE(edit, nullptr);
      box.text = kelv::FromQ(edit->text());
      if (type) edit->setText(QString::fromUtf8(type));
      w->findChild<QPushButton*>(type ? "InputBoxOk" : "InputBoxCancel")->click();
    });
  }
  std::unique_ptr<BoxWatch> OnAnyBox() override {
    return std::make_unique<OnModal>([](QWidget* w, BoxWatch&) { Dismiss(w); });
  }
  std::unique_ptr<BoxWatch> OnQuestionBox(char key, std::function<void()> when_up) override {
    return std::make_unique<OnModal>([key, when_up](QWidget* w, BoxWatch& box) {
      auto* mb = qobject_cast<QMessageBox*>(w);
      if (!mb || !mb->defaultButton()) {
        ADD_FAILURE() << "not a question box";
        return Dismiss(w);
      }
      box.text = kelv::FromQ(mb->text());
      for (const char* name : {"QuestionBoxYes", "QuestionBoxNo"}) {
        const auto* b = w->findChild<QPushButton*>(name);
        box.buttons.push_back(b ? kelv::FromQ(b->text()) : "<none>");
      }
      box.default_button = kelv::FromQ(mb->defaultButton()->text());
      if (when_up) when_up();
      QTest::keyClick(w, key == 'Y' ? Qt::Key_Y : Qt::Key_N);
    });
  }
  // SIGHUP, as logout sends it (the reception tests send SIGTERM).
  void EndSession(TestDlg& d) override {
    kelv::qtui::WatchSessionEnd();
    const int before = d.quits;
    kill(getpid(), SIGHUP);
    EXPECT_TRUE(QTest::qWaitFor([&] { return d.quits > before; }, 10000));
  }
  bool QueryEndSession(TestDlg&) override {
    kelv::qtui::CommitData();
    return !Inhibited("shutdown");
  }
  bool SleepHeld() override { return Inhibited("sleep"); }
  std::string ProgramTitle() const override { return "test_ui"; }

  std::string Title(const TRXDlg& d) const override { return kelv::FromQ(W(d)->windowTitle()); }
  bool Showing(const TRXDlg& d) const override { return W(d)->isVisible(); }
  std::pair<int, int> Corner(const TRXDlg& d) const override {
    const QPoint p = W(d)->frameGeometry().topLeft();
    return {p.x(), p.y()};
  }
  std::pair<int, int> ClientSize(const TRXDlg& d) const override {
    return {W(d)->width(), W(d)->height()};
  }
  Frame FrameOf(const TRXDlg& d) const override {
    const Qt::WindowFlags f = W(d)->windowFlags();
    return {f.testFlag(Qt::WindowCloseButtonHint), f.testFlag(Qt::WindowMinimizeButtonHint),
            f.testFlag(Qt::WindowMaximizeButtonHint), W(d)->minimumSize() != W(d)->maximumSize()};
  }
  WindowId Id(const TRXDlg& d) const override { return W(d); }
  WindowId Id(const kelv::ui::TControl* c) const override { return WidgetOf(c); }
  std::vector<WindowId> Children(WindowId parent) const override {
    std::vector<WindowId> out;
    const auto* p = static_cast<const QWidget*>(parent);
    for (QWidget* w : p->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (!w->objectName().isEmpty()) out.push_back(w);
    }
    return out;
  }
  Rect Place(const kelv::ui::TControl* c) const override {
    const QRect r = WidgetOf(c)->geometry();
    return {r.left(), r.top(), r.width(), r.height()};
  }
  std::string Shown(const kelv::ui::TControl* c) const override {
    QWidget* w = WidgetOf(c);
    if (auto* list = qobject_cast<QComboBox*>(w)) return kelv::FromQ(list->currentText());
    if (auto* button = qobject_cast<QAbstractButton*>(w)) return kelv::FromQ(button->text());
    if (auto* label = qobject_cast<MnemonicLabel*>(w)) return kelv::FromQ(label->text());
    ADD_FAILURE() << c->Name << " shows no text";
    return {};
  }
  std::string OnScreen(const kelv::ui::TLabel* l) const override {
    const MnemonicLabel* w = W(l);
    return w->paintedText() == w->text() ? kelv::FromQ(w->text()) : "<paint pending>";
  }
  // With each face a Japanese desktop may give the text (its default face
  // is Japanese there), the widest. At 120 dpi Qt scales the whole window:
  // the face at the larger size.
  int TextWidth(const kelv::ui::TControl* c, const std::string& text, int dpi) const override {
    int widest = 0;
    for (const QString& face : {QString(), QStringLiteral("Noto Sans CJK JP"),
                                QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic")}) {
      QFont f = WidgetOf(c)->font();
      if (!face.isEmpty()) f.setFamilies(QStringList{face} + f.families());
      if (f.pixelSize() > 0) {
        f.setPixelSize(f.pixelSize() * dpi / 96);
      } else {
        f.setPointSizeF(f.pointSizeF() * dpi / 96);
      }
      const QSize s =
          QFontMetrics(f).size(Qt::TextShowMnemonic | Qt::TextSingleLine, kelv::ToQ(text));
      widest = std::max(widest, s.width());
    }
    return widest;
  }
  std::vector<std::string> Items(const kelv::ui::TComboBox* c) const override {
    std::vector<std::string> out;
    for (int i = 0; i < W(c)->count(); ++i) out.push_back(kelv::FromQ(W(c)->itemText(i)));
    return out;
  }
  bool Down(const kelv::ui::TControl* c) const override {
    return kelv::qtui::As<QAbstractButton>(c)->isChecked();
  }
  bool Showing(const kelv::ui::TControl* c) const override { return WidgetOf(c)->isVisible(); }

 protected:
  void PressKey(Key key, Held held) override {
    Qt::KeyboardModifiers mods = held == Held::Shift  ? Qt::ShiftModifier
                                 : held == Held::Ctrl ? Qt::ControlModifier
                                                      : Qt::NoModifier;
    // In the order of DialogDriver::Key.
    static const Qt::Key kKeys[] = {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter,
                                    Qt::Key_Space,  Qt::Key_Tab,    Qt::Key_Down};
    if (key == Key::KeypadEnter) mods |= Qt::KeypadModifier;
    QTest::keyClick(QApplication::focusWidget(), kKeys[static_cast<int>(key)], mods);
  }
};

class QtDialog : public ::testing::Test {
 protected:
  QtDriver ui;
};

// The layout's font, and texts drawn as the layout has them.
TEST_F(QtDialog, FontsAndTexts) {
  auto d = ui.Make();
  EXPECT_EQ(W(*d)->font().pointSize(), 8);
  EXPECT_EQ(W(*d)->minimumSize(), QSize(423, 223));
  EXPECT_EQ(W(*d)->maximumSize(), QSize(423, 223));
  // Label1 is as wide as its text.
  EXPECT_NEAR(W(d->Label1)->width(),
              W(d->Label1)->fontMetrics().horizontalAdvance(W(d->Label1)->text()), 1);
  // Label5 and Label6 keep the layout's right edges (a wider face grows them
  // leftwards); their Japanese texts come from a real face, not boxes.
  EXPECT_EQ(W(d->Label5)->geometry().topRight(), QRect(28, 26, 32, 13).topRight());
  EXPECT_EQ(W(d->Label6)->geometry().topRight(), QRect(21, 52, 40, 13).topRight());
  for (MnemonicLabel* l : {W(d->Label5), W(d->Label6)}) {
    EXPECT_EQ(l->font().family(), QStringLiteral("ＭＳ Ｐゴシック"));
    EXPECT_EQ(l->font().pixelSize(), 13);
    const QString face = QFontInfo(l->font()).family();
    EXPECT_TRUE(face == "IPAPGothic" || face == "Noto Sans CJK JP") << face.toStdString();
    const QFontMetrics fm(l->font());
    for (QChar c : l->text()) EXPECT_TRUE(fm.inFont(c)) << l->text().toStdString();
  }
}

TEST_F(QtDialog, EscClosesAnOpenListFirst) {
  auto d = ui.Make();
  ui.Show(*d);
  W(d->ComboComPort)->setFocus();
  W(d->ComboComPort)->showPopup();
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activePopupWidget() != nullptr; }));
  QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activePopupWidget() == nullptr; }));
  EXPECT_EQ(d->runs, 0);
  ui.Press(DialogDriver::Key::Esc);
  EXPECT_EQ(d->runs, 1);
}

TEST_F(QtDialog, OutOfRangeValuesSurviveTheSave) {
  ui.WriteIni(
      "[set]\r\nActive=7\r\nPort0=-1\r\nbaudRate0=9\r\nStart0=4\r\nCoadType0=2\r\n"
      "Name2=\r\n[File]\r\nP32013=1\r\n[Ports]\r\nCOM1=/dev/null\r\n");
  auto d = ui.Make();
  EXPECT_EQ(d->ActivePreset, 0);  // nothing else addresses a preset
  EXPECT_TRUE(W(d->SpeedButton1)->isChecked());
  for (QComboBox* c :
       {W(d->ComboComPort), W(d->ComboComBaudRate), W(d->ComboBoxStart), W(d->ComboBoxCodeType)}) {
    EXPECT_EQ(c->currentIndex(), -1) << c->objectName().toStdString();
  }
  EXPECT_EQ(W(d->SpeedButton2)->text(), "");
  EXPECT_TRUE(d->ColonAsO);
  EXPECT_EQ(d->rs232c1->portmap, (PortMap{{"COM1", "/dev/null"}}));
  // Each port shows where it leads.
  EXPECT_EQ(W(d->ComboComPort)->itemData(0, Qt::ToolTipRole).toString(),
            QStringLiteral("COM1 → /dev/null"));
  d->ApplyPreset();
  EXPECT_EQ(d->rs232c1->portname, "COM256");
  EXPECT_EQ(d->rs232c1->bps, 9600);
  EXPECT_EQ(d->StartMark, 0);
  d->Form->Close();
  EXPECT_EQ(d->quits, 1);
  EXPECT_EQ(ui.ReadIni(),
            "[set]\r\nActive=0\r\nPort0=255\r\nbaudRate0=9\r\nStart0=4\r\nCoadType0=2\r\n"
            "Name2=\r\nPort1=0\r\nbaudRate1=0\r\nStart1=0\r\nCoadType1=0\r\n"
            "Port2=0\r\nbaudRate2=0\r\nStart2=0\r\nCoadType2=0\r\n"
            "Port3=0\r\nbaudRate3=0\r\nStart3=0\r\nCoadType3=0\r\n"
            "Name1=1\r\nName3=3\r\nName4=4\r\n"
            "[File]\r\nP32013=1\r\n[Ports]\r\nCOM1=/dev/null\r\n");
}

TEST_F(QtDialog, ClosingEndsTheEventLoop) {
  auto d = std::make_unique<TRXDlg>(std::vector<std::string>{}, ui.Dir());
  ui.Show(*d);
  QTimer::singleShot(0, W(*d), [&] { d->Form->Close(); });
  QTimer guard;  // a hang fails instead of blocking; gone with this test
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  guard.start(10000);
  EXPECT_EQ(QCoreApplication::exec(), 0);
  EXPECT_TRUE(W(*d)->isVisible());
  EXPECT_EQ(ui.ReadIni(), kFreshFile);
}

TEST(MnemonicLabel, AmpersandsAreMarkers) {
  // "&&" shows one "&", a single "&" is hidden: "A&&B" looks like plain "A&B".
  MnemonicLabel label;
  label.setAutoSize(true);
  label.setText("A&&B");
  EXPECT_EQ(label.text(), "A&&B");
  EXPECT_EQ(label.width(), label.fontMetrics().horizontalAdvance("A&B"));
  label.setText("&Ab");
  EXPECT_EQ(label.width(), label.fontMetrics().horizontalAdvance("Ab"));

  // Drawn as the plain text would be, whether laid out by the style (with
  // markers) or kept laid out by the label (without).
  const struct {
    const char* text;
    const char* looks;
  } rows[] = {{"A&&B", "A&B"}, {"N10 G01 X1.5", "N10 G01 X1.5"}};
  for (const auto& row : rows) {
    label.setText(row.text);
    QImage got = label.grab().toImage();
    QImage want(got.size(), got.format());
    want.fill(label.palette().color(QPalette::Window));
    QPainter p(&want);
    p.setFont(label.font());
    p.setPen(label.palette().color(QPalette::WindowText));
    p.drawText(want.rect(), Qt::AlignLeft | Qt::AlignTop, row.looks);
    p.end();
    EXPECT_EQ(got, want) << row.text;
  }
}

}  // namespace

namespace {

// The settings group is drawn as on Windows: its frame line runs through the
// middle of the caption, above the top row of lists, which lie inside it.
TEST(GroupFrame, CaptionOnTheFrameLineAboveTheLists) {
  QTemporaryDir tmp;
  TRXDlg d({}, QDir(tmp.path()).absolutePath().toStdString() + "/");
  d.Show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(W(d)));
  QGroupBox* g = W(d.GroupBox1);
  // The group alone, without the controls in it.
  QImage img(g->size(), QImage::Format_ARGB32);
  g->render(&img, QPoint(), QRegion(), QWidget::DrawWindowBackground);
  const QColor face = g->palette().color(QPalette::Window);
  // The frame's top: the first row drawn across the group's right half.
  int frame_top = -1;
  for (int y = 0; y < img.height() && frame_top < 0; ++y) {
    int drawn = 0;
    for (int x = img.width() / 2; x < img.width() - 4; ++x) {
      if (img.pixelColor(x, y) != face) ++drawn;
    }
    if (drawn > (img.width() / 2 - 4) * 3 / 4) frame_top = y;
  }
  ASSERT_GE(frame_top, 0) << "no frame line found";
  const int lists_top = W(d.ComboComPort)->geometry().top();
  EXPECT_LT(frame_top, lists_top) << "the frame runs under the top row of lists";
  const QFontMetrics fm(g->font());
  EXPECT_LE(frame_top, fm.height()) << "the caption sits above the frame line";
  // The caption is drawn over the line: some of its pixels lie on that row.
  bool caption_on_line = false;
  for (int x = 0; x < 40 && !caption_on_line; ++x) {
    caption_on_line = img.pixelColor(x, frame_top) == face;
  }
  EXPECT_TRUE(caption_on_line) << "the line is not broken by the caption";
}

}  // namespace

std::unique_ptr<DialogDriver> MakeDialogDriver() {
  return std::make_unique<QtDriver>();
}
