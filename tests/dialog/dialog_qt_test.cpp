// The receive dialog as a real window on the offscreen platform, with its
// settings file in a temporary directory.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <functional>
#include <memory>

#include "UnitRx.h"
#include "testdlg.h"
#include "apperror.h"
#include "qtdlg.h"
#include "sjis.h"
#include "text.h"

using kelv::Sjis;

namespace {

QString Q(const char* utf8) {
  return kelv::ToQ(Sjis(utf8));
}

// Acts on the next modal box once it is up; the trigger that opens it blocks.
class OnModal {
 public:
  explicit OnModal(std::function<void(QWidget*)> act) : act_(std::move(act)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (QWidget* w = QApplication::activeModalWidget()) {
        timer_.stop();
        seen_ = true;
        act_(w);
      }
    });
    timer_.start(10);
  }
  bool seen() const { return seen_; }

 private:
  std::function<void(QWidget*)> act_;
  QTimer timer_;
  bool seen_ = false;
};

void Dismiss(QWidget* box) {
  if (auto* d = qobject_cast<QDialog*>(box)) {
    d->reject();
  } else {
    box->close();
  }
}

class Dialog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.isValid());
    dir_ = QDir(tmp_.path()).absolutePath().toStdString() + "/";
    ini_ = QString::fromStdString(dir_ + "Kelv.ini");
  }

  std::unique_ptr<TestDlg> Make(std::vector<std::string> args = {}) {
    return std::make_unique<TestDlg>(std::move(args), dir_);
  }
  void Show(TRXDlg& d) {
    d.Show();
    W(d)->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(W(d)));
  }
  void WriteIni(const std::string& content) {
    QFile f(ini_);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content.data(), static_cast<qint64>(content.size()));
  }
  std::string ReadIni() {
    QFile f(ini_);
    if (!f.open(QIODevice::ReadOnly)) return "<missing>";
    return f.readAll().toStdString();
  }
  static void Key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QTest::keyClick(QApplication::focusWidget(), key, mods);
  }

  QTemporaryDir tmp_;
  std::string dir_;
  QString ini_;
};


TEST_F(Dialog, WindowAndLayout) {
  auto d = Make();
  EXPECT_FALSE(W(*d)->isVisible());
  EXPECT_EQ(W(*d)->windowTitle(), Q("データ受信"));
  EXPECT_EQ(W(*d)->minimumSize(), QSize(423, 223));
  EXPECT_EQ(W(*d)->maximumSize(), QSize(423, 223));
  const Qt::WindowFlags f = W(*d)->windowFlags();
  EXPECT_TRUE(f & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(f & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_EQ(W(*d)->font().pointSize(), 8);

  // Creation order within each parent, and every place.
  const struct {
    QWidget* w;
    QRect r;
  } top[] = {{W(d->Label1), {9, 8, W(d->Label1)->width(), W(d->Label1)->height()}},
             {W(d->Label2), {11, 30, 282, 23}},
             {W(d->Label3), {11, 50, 282, 20}},
             {W(d->Label4), {11, 69, 282, 22}},
             {W(d->CancelBtn), {325, 16, 81, 33}},
             {W(d->CheckBox1), {325, 67, 78, 19}},
             {W(d->GroupBox1), {17, 104, 391, 114}}},
    group[] = {
        {W(d->Label5), {28, 26, 32, 13}},          {W(d->Label6), {21, 52, 40, 13}},
        {W(d->Label7), {147, 26, 48, 13}},         {W(d->SpeedButton1), {156, 52, 114, 24}},
        {W(d->SpeedButton2), {269, 52, 113, 24}},  {W(d->SpeedButton3), {156, 78, 114, 24}},
        {W(d->SpeedButton4), {269, 78, 113, 24}},  {W(d->Label8), {9, 78, 51, 13}},
        {W(d->ComboComPort), {69, 17, 71, 21}},    {W(d->ComboComBaudRate), {69, 43, 71, 21}},
        {W(d->ComboBoxStart), {208, 17, 173, 21}}, {W(d->ComboBoxCodeType), {69, 69, 71, 21}}};
  auto check = [](QWidget* parent, auto& table) {
    QList<QWidget*> order = parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    order.removeIf([](QWidget* w) { return w->objectName().isEmpty(); });
    ASSERT_EQ(order.size(), static_cast<qsizetype>(std::size(table)));
    for (size_t i = 0; i < std::size(table); ++i) {
      EXPECT_EQ(order[static_cast<qsizetype>(i)], table[i].w) << i;
      EXPECT_EQ(table[i].w->geometry(), table[i].r) << table[i].w->objectName().toStdString();
    }
  };
  check(W(*d), top);
  check(W(d->GroupBox1), group);

  // Label1 is as wide as its text; the item lists are complete.
  EXPECT_NEAR(W(d->Label1)->width(),
              W(d->Label1)->fontMetrics().horizontalAdvance(W(d->Label1)->text()), 1);
  EXPECT_EQ(W(d->ComboComPort)->count(), 7);
  EXPECT_EQ(W(d->ComboComBaudRate)->itemText(7), "38400");
  EXPECT_EQ(W(d->ComboBoxStart)->itemText(3), Q("％で開始、、DC4で終了"));
  EXPECT_EQ(W(d->ComboBoxCodeType)->itemText(1), "EIA");

  // The Japanese texts of Label5 and Label6 come from a real face, not boxes.
  for (MnemonicLabel* l : {W(d->Label5), W(d->Label6)}) {
    EXPECT_EQ(l->font().family(), QStringLiteral("ＭＳ Ｐゴシック"));
    EXPECT_EQ(l->font().pixelSize(), 13);
    const QString face = QFontInfo(l->font()).family();
    EXPECT_TRUE(face == "IPAPGothic" || face == "Noto Sans CJK JP") << face.toStdString();
    const QFontMetrics fm(l->font());
    for (QChar c : l->text()) EXPECT_TRUE(fm.inFont(c)) << l->text().toStdString();
  }
}

TEST_F(Dialog, StartUpWithoutSettingsFile) {
  auto d = Make();
  EXPECT_EQ(W(*d)->pos(), QPoint(0, 0));
  EXPECT_EQ(W(d->Label1)->text(), Q("受信開始ボタンを押してください"));
  EXPECT_EQ(W(d->CancelBtn)->text(), Q("受信開始"));
  // The load replaced the layout's 9600 and DC2 start mode.
  EXPECT_EQ(W(d->ComboComPort)->currentText(), "COM1");
  EXPECT_EQ(W(d->ComboComBaudRate)->currentText(), "600");
  EXPECT_EQ(W(d->ComboBoxStart)->currentText(), Q("％で開始、％で終了"));
  EXPECT_EQ(W(d->ComboBoxCodeType)->currentText(), "ISO");
  EXPECT_TRUE(W(d->SpeedButton1)->isChecked());
  const QToolButton* buttons[] = {W(d->SpeedButton1), W(d->SpeedButton2), W(d->SpeedButton3),
                                  W(d->SpeedButton4)};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(buttons[i]->text(), QString::number(i + 1));
  EXPECT_FALSE(d->ColonAsO);
  EXPECT_EQ(d->StartMark, 0);
  EXPECT_EQ(d->EndMark, 0);
  EXPECT_EQ(ReadIni(), "<missing>");  // reading creates nothing

  const Trs232c& p = *d->rs232c1;
  EXPECT_EQ(p.flowflag, 3);
  EXPECT_EQ(p.packetsize, 900);
  EXPECT_EQ(p.XonChar, 0x13);
  EXPECT_EQ(p.XoffChar, 0x11);
  EXPECT_EQ(p.EvtChar, 0);
  EXPECT_EQ(p.paritymode, Sjis("無し"));
  EXPECT_EQ(p.bps, 9600);
  EXPECT_TRUE(p.OnRXFLAG && p.OnPACKET);
  EXPECT_FALSE(p.OnRXCHAR || p.OnCreate || p.OnOpen || p.OnClose || p.OnERR);

  Show(*d);
  EXPECT_EQ(QApplication::focusWidget(), W(d->CancelBtn));
  QWidget* const chain[] = {W(d->CheckBox1),     W(d->ComboComPort),     W(d->ComboComBaudRate),
                            W(d->ComboBoxStart), W(d->ComboBoxCodeType), W(d->CancelBtn)};
  for (QWidget* want : chain) {
    Key(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), want) << want->objectName().toStdString();
  }
}

TEST_F(Dialog, PositionArgument) {
  WriteIni("[Set]\r\nActive=1\r\n");
  const struct {
    std::vector<std::string> args;
    QPoint want;
  } cases[] = {
      {{}, {0, 0}},           {{"120,80", "9,9"}, {120, 80}}, {{"-4,0"}, {-4, 0}},
      {{"300"}, {0, 300}},    {{"10,20,30"}, {10, 30}},       {{"10,x,30"}, {0, 0}},
      {{"100 ,200"}, {0, 0}}, {{"0x64,0xC8"}, {100, 200}},    {{"1,2,3,4"}, {0, 0}},
  };
  for (const auto& c : cases) {
    auto d = Make(c.args);
    const std::string arg = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(W(*d)->pos(), c.want) << arg;
    // The rest of the start-up happens whatever the argument.
    EXPECT_EQ(W(d->Label1)->text(), Q("受信開始ボタンを押してください")) << arg;
    EXPECT_TRUE(W(d->SpeedButton2)->isChecked()) << arg;
  }
  auto d = Make({"120,80"});
  Show(*d);
  EXPECT_EQ(W(*d)->frameGeometry().topLeft(), QPoint(120, 80));
}

// A key press at start-up, sent where the focus is.
TEST_F(Dialog, KeysAtStartUp) {
  const struct {
    const char* name;
    Qt::Key key;
    Qt::KeyboardModifiers mods;
    bool focus_checkbox;
    bool starts;
  } cases[] = {
      {"Esc", Qt::Key_Escape, Qt::NoModifier, false, true},
      {"Esc on the check box", Qt::Key_Escape, Qt::NoModifier, true, true},
      {"Enter", Qt::Key_Return, Qt::NoModifier, false, true},
      {"keypad Enter", Qt::Key_Enter, Qt::KeypadModifier, false, true},
      {"Space", Qt::Key_Space, Qt::NoModifier, false, true},
      {"Enter on the check box", Qt::Key_Return, Qt::NoModifier, true, false},
      {"Shift+Esc", Qt::Key_Escape, Qt::ShiftModifier, false, false},
      {"Ctrl+Esc", Qt::Key_Escape, Qt::ControlModifier, false, false},
  };
  for (const auto& c : cases) {
    auto d = Make();
    Show(*d);
    if (c.focus_checkbox) W(d->CheckBox1)->setFocus();
    Key(c.key, c.mods);
    EXPECT_EQ(d->runs, c.starts ? 1 : 0) << c.name;
    EXPECT_EQ(W(d->CancelBtn)->text(), c.starts ? Q("キャンセル") : Q("受信開始")) << c.name;
    EXPECT_EQ(W(d->GroupBox1)->isVisible(), !c.starts) << c.name;
    if (c.starts) {
      EXPECT_EQ(W(d->Label1)->text(), Q("受信待機中です。NC側の送信を開始して下さい"));
    }
  }
}

TEST_F(Dialog, EscClosesAnOpenListFirst) {
  auto d = Make();
  Show(*d);
  W(d->ComboComPort)->setFocus();
  W(d->ComboComPort)->showPopup();
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activePopupWidget() != nullptr; }));
  QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activePopupWidget() == nullptr; }));
  EXPECT_EQ(d->runs, 0);
  Key(Qt::Key_Escape);
  EXPECT_EQ(d->runs, 1);
}

TEST_F(Dialog, EscInEachState) {
  auto d = Make();
  Show(*d);
  d->run = [&] {
    Key(Qt::Key_Escape);  // the run handles events: this is the cancel click
    EXPECT_TRUE(d->Cancelled);
    d->CancelBtn->SetCaption(Sjis("閉じる"));
  };
  Key(Qt::Key_Escape);
  EXPECT_EQ(d->runs, 1);
  EXPECT_EQ(d->quits, 0);
  Key(Qt::Key_Escape);  // "閉じる": saves and ends the program
  EXPECT_EQ(d->quits, 1);
  EXPECT_EQ(ReadIni(), kFreshFile);
  EXPECT_TRUE(W(*d)->isVisible());
}

TEST_F(Dialog, CheckBoxClearsTheDisplay) {
  auto d = Make();
  Show(*d);
  for (auto* l : {d->Label2, d->Label3, d->Label4}) l->SetCaption("N10 G00");
  QTest::mouseClick(W(d->CheckBox1), Qt::LeftButton);
  for (MnemonicLabel* l : {W(d->Label2), W(d->Label3), W(d->Label4)}) EXPECT_EQ(l->text(), "");
  d->Label4->SetCaption("N20");
  QTest::mouseClick(W(d->CheckBox1), Qt::LeftButton);
  EXPECT_EQ(W(d->Label4)->text(), "N20");
}

TEST_F(Dialog, RenameByRightButton) {
  const struct {
    const char* name;
    const char* type;  // nullptr: cancel
    const char* want;
  } cases[] = {{"OK", "ABC", "ABC"}, {"OK empty", "", ""}, {"cancel", nullptr, "3"}};
  for (const auto& c : cases) {
    QFile::remove(ini_);
    auto d = Make();
    Show(*d);
    QString shown;
    OnModal box([&](QWidget* w) {
      auto* edit = w->findChild<QLineEdit*>("InputBoxEdit");
      ASSERT_NE(edit, nullptr);
      shown = edit->text();
      if (c.type) edit->setText(Q(c.type));
      w->findChild<QPushButton*>(c.type ? "InputBoxOk" : "InputBoxCancel")->click();
    });
    QTest::mousePress(W(d->SpeedButton3), Qt::RightButton);
    QTest::mouseRelease(W(d->SpeedButton3), Qt::RightButton);
    EXPECT_TRUE(box.seen()) << c.name;
    EXPECT_EQ(shown, "3") << c.name;
    EXPECT_EQ(W(d->SpeedButton3)->text(), Q(c.want)) << c.name;
    EXPECT_TRUE(W(d->SpeedButton1)->isChecked()) << c.name;
    EXPECT_FALSE(W(d->SpeedButton3)->isChecked()) << c.name;
    EXPECT_EQ(d->ActivePreset, 0) << c.name;
    d->Form->Close();
    EXPECT_NE(ReadIni().find(std::string("\r\nName3=") + c.want + "\r\n"), std::string::npos)
        << c.name;
  }
}

TEST_F(Dialog, PresetSwitchEditSwitchBack) {
  auto d = Make();
  Show(*d);
  OnModal unexpected(Dismiss);  // a left click must open no rename box
  QTest::mouseClick(W(d->SpeedButton2), Qt::LeftButton);
  EXPECT_EQ(d->ActivePreset, 1);
  EXPECT_TRUE(W(d->SpeedButton2)->isChecked());
  W(d->ComboComBaudRate)->setFocus();
  Key(Qt::Key_Down);
  EXPECT_EQ(W(d->ComboComBaudRate)->currentText(), "1200");
  EXPECT_EQ(d->Presets[1].BaudIndex, 1);
  QTest::mouseClick(W(d->SpeedButton1), Qt::LeftButton);
  EXPECT_EQ(W(d->ComboComBaudRate)->currentText(), "600");
  QTest::mouseClick(W(d->SpeedButton2), Qt::LeftButton);
  EXPECT_EQ(W(d->ComboComBaudRate)->currentText(), "1200");
  QTest::mouseClick(W(d->SpeedButton1), Qt::LeftButton);
  EXPECT_FALSE(unexpected.seen());
  d->Form->Close();
  const std::string ini = ReadIni();
  EXPECT_NE(ini.find("Active=0\r\n"), std::string::npos);
  EXPECT_NE(ini.find("baudRate0=0\r\n"), std::string::npos);
  EXPECT_NE(ini.find("baudRate1=1\r\n"), std::string::npos);
}

TEST_F(Dialog, StoredPresetTwo) {
  WriteIni("[Set]\r\nActive=2\r\nPort2=3\r\nbaudRate2=6\r\nStart2=1\r\nCoadType2=1\r\n");
  auto d = Make();
  EXPECT_TRUE(W(d->SpeedButton3)->isChecked());
  EXPECT_FALSE(W(d->SpeedButton1)->isChecked());
  EXPECT_EQ(W(d->ComboComPort)->currentText(), "COM4");
  EXPECT_EQ(W(d->ComboComBaudRate)->currentText(), "19200");
  EXPECT_EQ(W(d->ComboBoxStart)->currentText(), Q("DC2で開始、DC4で終了"));
  EXPECT_EQ(W(d->ComboBoxCodeType)->currentText(), "EIA");
  EXPECT_TRUE(d->ApplyPreset());
  EXPECT_EQ(d->rs232c1->portname, "COM4");
  EXPECT_EQ(d->rs232c1->bps, 19200);
  EXPECT_EQ(d->rs232c1->charbit, 8);
  EXPECT_EQ(d->rs232c1->paritymode, "ODD");
  EXPECT_EQ(d->StartMark, 'D');
  EXPECT_EQ(d->EndMark, 'D');
}

TEST_F(Dialog, OutOfRangeValuesSurviveTheSave) {
  WriteIni(
      "[set]\r\nActive=7\r\nPort0=-1\r\nbaudRate0=9\r\nStart0=4\r\nCoadType0=2\r\n"
      "Name2=\r\n[File]\r\nP32013=1\r\n[Ports]\r\nCOM1=/dev/null\r\n");
  auto d = Make();
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
  EXPECT_EQ(ReadIni(),
            "[set]\r\nActive=0\r\nPort0=255\r\nbaudRate0=9\r\nStart0=4\r\nCoadType0=2\r\n"
            "Name2=\r\nPort1=0\r\nbaudRate1=0\r\nStart1=0\r\nCoadType1=0\r\n"
            "Port2=0\r\nbaudRate2=0\r\nStart2=0\r\nCoadType2=0\r\n"
            "Port3=0\r\nbaudRate3=0\r\nStart3=0\r\nCoadType3=0\r\n"
            "Name1=1\r\nName3=3\r\nName4=4\r\n"
            "[File]\r\nP32013=1\r\n[Ports]\r\nCOM1=/dev/null\r\n");
}

TEST_F(Dialog, FailedSaveKeepsTheDialogOpen) {
  ASSERT_TRUE(QDir().mkdir(ini_));  // not writable as a file, even by root
  auto d = Make();
  Show(*d);
  QTest::mouseClick(W(d->SpeedButton4), Qt::LeftButton);
  QString text;
  OnModal box([&](QWidget* w) {
    if (auto* mb = qobject_cast<QMessageBox*>(w)) text = mb->text();
    Dismiss(w);
  });
  d->Form->Close();
  EXPECT_TRUE(box.seen());
  EXPECT_EQ(text, kelv::ToQ(dir_ + "Kelv.ini" + Sjis(" に書き込めません") + "."));
  EXPECT_EQ(d->quits, 0);
  EXPECT_TRUE(W(*d)->isVisible());
  EXPECT_TRUE(W(d->SpeedButton4)->isChecked());

  ASSERT_TRUE(QDir().rmdir(ini_));
  d->Form->Close();
  EXPECT_EQ(d->quits, 1);
  EXPECT_NE(ReadIni().find("Active=3\r\n"), std::string::npos);
}

TEST_F(Dialog, CloseDuringARunEndsTheProgramAfterIt) {
  auto d = Make();
  Show(*d);
  bool box_before_quit = false;
  d->run = [&] {
    d->Form->Close();  // from the window's close box, nested in the run
    EXPECT_EQ(ReadIni(), kFreshFile);
    EXPECT_EQ(d->quits, 0);
    EXPECT_TRUE(W(*d)->isVisible());
    // An error at the end of the run is still shown before the program ends.
    throw kelv::AppError("Rx.nc");
  };
  OnModal box([&](QWidget* w) {
    box_before_quit = d->quits == 0;
    Dismiss(w);
  });
  QTest::mouseClick(W(d->CancelBtn), Qt::LeftButton);
  EXPECT_TRUE(box.seen());
  EXPECT_TRUE(box_before_quit);
  EXPECT_EQ(d->quits, 1);
}

TEST_F(Dialog, ClosingEndsTheEventLoop) {
  auto d = std::make_unique<TRXDlg>(std::vector<std::string>{}, dir_);
  Show(*d);
  QTimer::singleShot(0, W(*d), [&] { d->Form->Close(); });
  QTimer guard;  // a hang fails instead of blocking; gone with this test
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  guard.start(10000);
  EXPECT_EQ(QCoreApplication::exec(), 0);
  EXPECT_TRUE(W(*d)->isVisible());
  EXPECT_EQ(ReadIni(), kFreshFile);
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

  label.setText("A&&B");
  QImage got = label.grab().toImage();
  QImage want(got.size(), got.format());
  want.fill(label.palette().color(QPalette::Window));
  QPainter p(&want);
  p.setFont(label.font());
  p.setPen(label.palette().color(QPalette::WindowText));
  p.drawText(want.rect(), Qt::AlignLeft | Qt::AlignTop, "A&B");
  p.end();
  EXPECT_EQ(got, want);
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
