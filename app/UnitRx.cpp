#include "UnitRx.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFont>
#include <QFontInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>

#include "apperror.h"
#include "posarg.h"
#include "reception.h"
#include "rxfile.h"
#include "sjis.h"
#include "text.h"

using kelv::Sjis;
using kelv::ToQ;

TRXDlg* RXDlg = nullptr;

namespace {

constexpr char kCaptionProperty[] = "kelvCaption";
constexpr char kTagProperty[] = "Tag";

// The Windows face our layout was drawn with, and the faces that stand in for
// it here. fontconfig has no alias for it, so Qt has to be told.
const QString kPGothic = QStringLiteral("ＭＳ Ｐゴシック");
const QStringList kJapaneseFaces = {QStringLiteral("IPAPGothic"),
                                    QStringLiteral("Noto Sans CJK JP")};

void RegisterFontStandIns() {
  static const bool done = [] {
    QFont::insertSubstitutions(kPGothic, kJapaneseFaces);
    return true;
  }();
  (void)done;
}

// The default UI face at 8 pt; Japanese text from a proportional Japanese face
// rather than whatever the system falls back to. The default is named by what
// it resolves to: a generic alias such as "Sans Serif" is no family of its own,
// so with it first in the list the Japanese face would take every character.
QFont DialogFont() {
  QFont f = QApplication::font();
  QStringList families{QFontInfo(f).family()};
  families << kJapaneseFaces;
  f.setFamilies(families);
  f.setPointSize(8);
  return f;
}

QFont PGothicFont() {
  QFont f(kPGothic);
  f.setPixelSize(13);
  return f;
}

MnemonicLabel* MakeLabel(QWidget* parent, const char* name, const QRect& r) {
  auto* l = new MnemonicLabel(parent);
  l->setObjectName(QString::fromLatin1(name));
  l->setGeometry(r);
  return l;
}

QComboBox* MakeList(QWidget* parent, const char* name, const QRect& r,
                    const std::vector<std::string>& items, int selected) {
  auto* c = new QComboBox(parent);
  c->setObjectName(QString::fromLatin1(name));
  c->setGeometry(r);
  for (const std::string& item : items) c->addItem(ToQ(item));
  c->setCurrentIndex(selected);
  return c;
}

// A selection set from the program: no change handler runs, and a value beyond
// the items leaves the list without a selection.
void Select(QComboBox* c, uint8_t index) {
  const QSignalBlocker block(c);
  c->setCurrentIndex(index < c->count() ? index : -1);
}

uint8_t Selected(const QComboBox* c) {
  return static_cast<uint8_t>(c->currentIndex());
}

}  // namespace

std::string ButtonCaption(const QToolButton* button) {
  return button->property(kCaptionProperty).toByteArray().toStdString();
}

void SetButtonCaption(QToolButton* button, const std::string& caption) {
  button->setProperty(kCaptionProperty, QByteArray::fromStdString(caption));
  button->setText(ToQ(caption));
}

TRXDlg::TRXDlg(std::vector<std::string> args, std::string dir)
    : QWidget(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                           Qt::MSWindowsFixedSizeDialogHint),
      TComponent(nullptr),
      QuitApplication([] { QCoreApplication::quit(); }),
      args_(std::move(args)),
      settings_path_(kelv::SettingsPath(dir)) {
  RegisterFontStandIns();
  setObjectName(QStringLiteral("RXDlg"));
  setWindowTitle(ToQ(Sjis("データ受信")));
  setFixedSize(423, 223);
  setBackgroundRole(QPalette::Window);
  setAutoFillBackground(true);
  setFont(DialogFont());
  move(0, 0);

  CreateControls();
  CreatePort();

  FormCreate(this);
}

TRXDlg::~TRXDlg() = default;

void TRXDlg::CreateControls() {
  Label1 = MakeLabel(this, "Label1", QRect(9, 8, 0, 13));
  Label1->setAutoSize(true);
  Label2 = MakeLabel(this, "Label2", QRect(11, 30, 282, 23));
  Label3 = MakeLabel(this, "Label3", QRect(11, 50, 282, 20));
  Label4 = MakeLabel(this, "Label4", QRect(11, 69, 282, 22));

  CancelBtn = new QPushButton(ToQ(Sjis("受信開始")), this);
  CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
  CancelBtn->setGeometry(325, 16, 81, 33);
  // Enter clicks it while it has the focus (Esc is handled by the dialog).
  CancelBtn->setAutoDefault(true);
  connect(CancelBtn, &QPushButton::clicked, this, [this] { StartClicked(); });

  CheckBox1 = new QCheckBox(ToQ(Sjis("表示OFF")), this);
  CheckBox1->setObjectName(QStringLiteral("CheckBox1"));
  CheckBox1->setGeometry(325, 67, 78, 19);
  connect(CheckBox1, &QCheckBox::clicked, this,
          [this] { Guarded([this] { CheckBox1Click(CheckBox1); }); });

  GroupBox1 = new QGroupBox(ToQ(Sjis("設定")), this);
  GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
  GroupBox1->setGeometry(17, 104, 391, 114);

  Label5 = MakeLabel(GroupBox1, "Label5", QRect(28, 26, 32, 13));
  Label5->setText(ToQ(Sjis("ポート")));
  Label6 = MakeLabel(GroupBox1, "Label6", QRect(21, 52, 40, 13));
  Label6->setText(ToQ(Sjis("ﾎﾞｰﾚｰﾄ")));
  for (MnemonicLabel* l : {Label5, Label6}) {
    l->setFont(PGothicFont());
    l->setAlignment(Qt::AlignRight | Qt::AlignTop);
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, Qt::black);
    l->setPalette(pal);
  }
  Label7 = MakeLabel(GroupBox1, "Label7", QRect(147, 26, 48, 13));
  Label7->setText(ToQ(Sjis("送信方法")));

  preset_group_ = new QButtonGroup(this);
  preset_group_->setExclusive(true);
  const QRect places[] = {QRect(156, 52, 114, 24), QRect(269, 52, 113, 24), QRect(156, 78, 114, 24),
                          QRect(269, 78, 113, 24)};
  QToolButton** members[] = {&SpeedButton1, &SpeedButton2, &SpeedButton3, &SpeedButton4};
  for (int i = 0; i < kelv::kPresetCount; ++i) {
    auto* b = new QToolButton(GroupBox1);
    b->setObjectName(QStringLiteral("SpeedButton%1").arg(i + 1));
    b->setGeometry(places[i]);
    b->setCheckable(true);
    b->setFocusPolicy(Qt::NoFocus);
    b->setProperty(kTagProperty, i);
    SetButtonCaption(b, std::to_string(i + 1));
    preset_group_->addButton(b);
    b->installEventFilter(this);
    connect(b, &QToolButton::clicked, this,
            [this, b] { Guarded([this, b] { SpeedButton1Click(b); }); });
    *members[i] = b;
    preset_buttons_[static_cast<size_t>(i)] = b;
  }
  SpeedButton1->setChecked(true);

  Label8 = MakeLabel(GroupBox1, "Label8", QRect(9, 78, 51, 13));
  Label8->setText(ToQ(Sjis("送信コード")));

  ComboComPort = MakeList(GroupBox1, "ComboComPort", QRect(69, 17, 71, 21), kelv::PortItems(), 0);
  ComboComBaudRate =
      MakeList(GroupBox1, "ComboComBaudRate", QRect(69, 43, 71, 21), kelv::BaudItems(), 4);
  ComboBoxStart =
      MakeList(GroupBox1, "ComboBoxStart", QRect(208, 17, 173, 21), kelv::StartModeItems(), 1);
  ComboBoxCodeType =
      MakeList(GroupBox1, "ComboBoxCodeType", QRect(69, 69, 71, 21), kelv::CodeTypeItems(), 0);
  connect(ComboComPort, &QComboBox::activated, this,
          [this] { Guarded([this] { ComboComPortChange(ComboComPort); }); });
  connect(ComboComBaudRate, &QComboBox::activated, this,
          [this] { Guarded([this] { ComboComBaudRateChange(ComboComBaudRate); }); });
  connect(ComboBoxStart, &QComboBox::activated, this,
          [this] { Guarded([this] { ComboBoxStartChange(ComboBoxStart); }); });
  connect(ComboBoxCodeType, &QComboBox::activated, this,
          [this] { Guarded([this] { ComboBoxCodeTypeChange(ComboBoxCodeType); }); });

  // Labels and the preset buttons take no focus; the rest in this order.
  setTabOrder(CancelBtn, CheckBox1);
  setTabOrder(CheckBox1, ComboComPort);
  setTabOrder(ComboComPort, ComboComBaudRate);
  setTabOrder(ComboComBaudRate, ComboBoxStart);
  setTabOrder(ComboBoxStart, ComboBoxCodeType);
  CancelBtn->setFocus();  // becomes the focus at the first activation
}

void TRXDlg::CreatePort() {
  rs232c1 = new Trs232c(this);
  rs232c1->Name = "rs232c1";
  // The dialog's stored line settings; ApplyPreset replaces the name, speed,
  // data bits, parity and the three characters before every opening.
  rs232c1->charbit = 8;
  rs232c1->stopbit = "1";
  rs232c1->bps = 9600;
  rs232c1->portname = "COM1";
  rs232c1->rxbuffsize = 1024;
  rs232c1->txbuffsize = 1024;
  rs232c1->readinterval = 0;
  rs232c1->txtimeout = 30000;
  rs232c1->rxtimeout = 30000;
  rs232c1->paritymode = Sjis("無し");
  rs232c1->flowflag = 3;
  rs232c1->packetsize = 900;
  rs232c1->set_flow(rsflowset{dfParity, dfBinary});
  rs232c1->XonLim = 0;
  rs232c1->XoffLim = 0;
  rs232c1->XonChar = 0x13;
  rs232c1->XoffChar = 0x11;
  rs232c1->ErrorChar = 0;
  rs232c1->EofChar = 0;
  rs232c1->EvtChar = 0;
  rs232c1->OnRXFLAG = [this](TObject* Sender) { rs232c1RXFLAG(Sender); };
  rs232c1->OnPACKET = [this](TObject* Sender) { rs232c1PACKET(Sender); };
}

void TRXDlg::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    kelv::winsys::ShowError(e, this);
  }
}

kelv::PortPreset& TRXDlg::Active() {
  return Presets[ActivePreset < Presets.size() ? ActivePreset : 0];
}

// ---- Start-up and the settings file ----------------------------------------

void TRXDlg::FormCreate(QObject*) {
  if (!args_.empty()) {
    if (auto pos = kelv::ParsePositionArgument(args_[0])) move(pos->left, pos->top);
  }
  Label1->setText(ToQ(Sjis("受信開始ボタンを押してください")));
  LoadSettings();
}

void TRXDlg::FormActivate(QObject*) {}

void TRXDlg::LoadSettings() {
  ColonAsO = false;
  const kelv::Settings s = kelv::LoadSettings(settings_path_);
  ActivePreset = s.ActivePreset;
  Presets = s.Presets;
  // Another index would address no preset; SpeedButton1 stays down, so its
  // preset is the one shown, edited and saved.
  if (ActivePreset >= Presets.size()) ActivePreset = 0;
  {
    const QSignalBlocker block(preset_group_);
    QToolButton* b = preset_buttons_[ActivePreset];
    const QSignalBlocker block_button(b);
    b->setChecked(true);
  }
  ShowPreset();
  for (size_t i = 0; i < preset_buttons_.size(); ++i)
    SetButtonCaption(preset_buttons_[i], s.Names[i]);
  ColonAsO = s.ColonAsO;
  rs232c1->portmap = kelv::LoadPortMap(settings_path_);
}

void TRXDlg::ShowPreset() {
  const kelv::PortPreset& p = Active();
  Select(ComboComPort, p.PortIndex);
  Select(ComboComBaudRate, p.BaudIndex);
  Select(ComboBoxStart, p.StartMode);
  Select(ComboBoxCodeType, p.CodeType);
}

void TRXDlg::FormClose(QObject*) {
  kelv::Settings s;
  s.ActivePreset = ActivePreset;
  s.Presets = Presets;
  for (size_t i = 0; i < preset_buttons_.size(); ++i)
    s.Names[i] = ButtonCaption(preset_buttons_[i]);
  s.ColonAsO = ColonAsO;
  kelv::SaveSettings(s, settings_path_);
}

void TRXDlg::closeEvent(QCloseEvent* event) {
  // The window stays on the screen in every case: the program ends when the
  // event loop does, and a run may still be on the stack below us.
  event->ignore();
  try {
    FormClose(this);
  } catch (const std::exception& e) {
    kelv::winsys::ShowError(e, this);
    return;
  }
  if (running_) {
    quit_after_run_ = true;
  } else {
    QuitApplication();
  }
}

// ---- Presets ----------------------------------------------------------------

void TRXDlg::SpeedButton1Click(QObject* Sender) {
  ActivePreset = static_cast<uint8_t>(Sender->property(kTagProperty).toInt());
  ShowPreset();
}

void TRXDlg::ComboComPortChange(QObject*) {
  Active().PortIndex = Selected(ComboComPort);
}
void TRXDlg::ComboComBaudRateChange(QObject*) {
  Active().BaudIndex = Selected(ComboComBaudRate);
}
void TRXDlg::ComboBoxStartChange(QObject*) {
  Active().StartMode = Selected(ComboBoxStart);
}
void TRXDlg::ComboBoxCodeTypeChange(QObject*) {
  Active().CodeType = Selected(ComboBoxCodeType);
}

bool TRXDlg::ApplyPreset() {
  kelv::Marks marks{StartMark, EndMark};
  kelv::ApplyPreset(Active(), *rs232c1, marks);
  StartMark = marks.start;
  EndMark = marks.end;
  return true;
}

// ---- Renaming the preset buttons ----------------------------------------------

bool TRXDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonDblClick) {
    return QWidget::eventFilter(watched, event);
  }
  auto* me = static_cast<QMouseEvent*>(event);
  const QPoint at = me->position().toPoint();
  const Qt::MouseButton button = me->button();
  const Qt::KeyboardModifiers shift = me->modifiers();
  Guarded([&] {
    if (watched == SpeedButton1) SpeedButton1MouseDown(watched, button, shift, at.x(), at.y());
    if (watched == SpeedButton2) SpeedButton2MouseDown(watched, button, shift, at.x(), at.y());
    if (watched == SpeedButton3) SpeedButton3MouseDown(watched, button, shift, at.x(), at.y());
    if (watched == SpeedButton4) SpeedButton4MouseDown(watched, button, shift, at.x(), at.y());
  });
  // The right button only renames: it must not push the button down.
  return button == Qt::RightButton;
}

void TRXDlg::SpeedButton1MouseDown(QObject*, Qt::MouseButton Button, Qt::KeyboardModifiers, int,
                                   int) {
  if (Button == Qt::RightButton) RenameButton(SpeedButton1);
}
void TRXDlg::SpeedButton2MouseDown(QObject*, Qt::MouseButton Button, Qt::KeyboardModifiers, int,
                                   int) {
  if (Button == Qt::RightButton) RenameButton(SpeedButton2);
}
void TRXDlg::SpeedButton3MouseDown(QObject*, Qt::MouseButton Button, Qt::KeyboardModifiers, int,
                                   int) {
  if (Button == Qt::RightButton) RenameButton(SpeedButton3);
}
void TRXDlg::SpeedButton4MouseDown(QObject*, Qt::MouseButton Button, Qt::KeyboardModifiers, int,
                                   int) {
  if (Button == Qt::RightButton) RenameButton(SpeedButton4);
}

void TRXDlg::RenameButton(QToolButton* button) {
  // On cancel the box hands back the caption it was given.
  SetButtonCaption(
      button, kelv::winsys::InputBox(Sjis("ボタン名変更"), Sjis("表示する名前を入力してください"),
                                     ButtonCaption(button), this));
}

// ---- Start, cancel, close -------------------------------------------------------

void TRXDlg::keyPressEvent(QKeyEvent* event) {
  // The cancel role: Esc anywhere, unless a control used it (an open list
  // closes instead and never lets it through to here).
  const Qt::KeyboardModifiers held =
      event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
  if (event->key() == Qt::Key_Escape && held == Qt::NoModifier) {
    CancelBtn->click();
    return;
  }
  QWidget::keyPressEvent(event);
}

void TRXDlg::StartClicked() {
  Guarded([this] { CancelBtnClick(CancelBtn); });
  // A close during the run was saved already; the program ends now that the
  // run is over (after any error box of the run has been seen).
  if (!running_ && quit_after_run_) {
    quit_after_run_ = false;
    QuitApplication();
  }
}

void TRXDlg::CancelBtnClick(QObject*) {
  const QString caption = CancelBtn->text();
  if (caption == ToQ(Sjis("受信開始"))) {
    CancelBtn->setText(ToQ(Sjis("キャンセル")));
    Label1->setText(ToQ(Sjis("受信待機中です。NC側の送信を開始して下さい")));
    GroupBox1->hide();
    struct Running {
      bool& flag;
      explicit Running(bool& f) : flag(f) { flag = true; }
      ~Running() { flag = false; }
    } running(running_);
    RunReception();
  } else if (caption == ToQ(Sjis("キャンセル"))) {
    Cancelled = true;
  } else if (caption == ToQ(Sjis("閉じる"))) {
    close();
  }
}

void TRXDlg::CheckBox1Click(QObject*) {
  if (CheckBox1->isChecked()) {
    Label2->setText(QString());
    Label3->setText(QString());
    Label4->setText(QString());
  }
}

// ==== Reception run ===============================================================
// Runs inside the start click. The window is serviced once per polling pass and
// nowhere else, so the cancel click, the check box, a close request and the
// line's DC1/DC3 answers all happen between two passes, never inside a batch.

namespace {

constexpr uint8_t kDC1 = 0x11;
constexpr uint8_t kDC3 = 0x13;
constexpr int kIdleSleepMs = 5;

}  // namespace

void TRXDlg::RunReception() {
  ApplyPreset();
  if (!rs232c1->Open()) {
    kelv::winsys::ShowMessage(Sjis("回線が開けません！設定又は接続を確認してください。"), this);
    Label1->setText(ToQ(Sjis("受信開始ボタンを押してください")));
    CancelBtn->setText(ToQ(Sjis("受信開始")));
    return;
  }
  rs232c1->SetDTR(true);
  rs232c1->SetRTS(true);

  kelv::ReceptionSettings settings;
  settings.StartMark = StartMark;
  settings.EndMark = EndMark;
  settings.ColonAsO = ColonAsO;
  settings.Eia = Active().CodeType == 1;
  kelv::Reception rx(settings);
  held_off_ = false;

  bool read_failed = false;
  do {
    kelv::winsys::ProcessMessages();
    if (Cancelled) break;
    const int32_t n = rs232c1->InQueueCount();
    if (n == 0) {
      // The queue has drained since we asked the control to hold: let it go
      // on, or it would wait for ever with the program half sent.
      if (held_off_) {
        held_off_ = false;
        rs232c1->WriteByte(kDC1);
      }
      kelv::winsys::Sleep(kIdleSleepMs);
      continue;
    }
    if (n < 0) continue;
    for (int32_t i = 0; i < n; ++i) {
      uint8_t b = 0;
      if (!rs232c1->ReadByte(b)) {
        read_failed = true;
        break;
      }
      const kelv::Reception::StepResult r = rx.Step(b);
      if (r.line_completed) {
        Label1->setText(ToQ(kelv::ReceivingText(rx.LineCount())));
        if (!CheckBox1->isChecked()) {
          Label2->setText(Label3->text());
          Label3->setText(Label4->text());
          Label4->setText(ToQ(r.display));
        }
      }
      if (r.finished) break;
    }
  } while (!read_failed && !Cancelled && !rx.Finished());

  if (read_failed) {
    // The unfinished line is dropped and the status line keeps its text.
    kelv::winsys::ShowMessage(Sjis("データ読込みエラー"), this);
    rs232c1->Close();
    CancelBtn->setText(ToQ(Sjis("閉じる")));
    CheckBox1->hide();
  } else {
    rx.FinishRun();
    kelv::winsys::Sleep(EndPauseMs);
    rs232c1->Close();
    CheckBox1->hide();
    Label1->setText(ToQ(kelv::EndText(rx.Finished(), rx.LineCount())));
  }

  CancelBtn->setText(ToQ(Sjis("閉じる")));
  const std::vector<std::string> lines = rx.TakeLines();
  if (!lines.empty()) SaveReceived(lines);
}

void TRXDlg::SaveReceived(const std::vector<std::string>& lines) {
  const size_t slash = settings_path_.find_last_of("/\\");
  const std::string dir =
      slash == std::string::npos ? std::string() : settings_path_.substr(0, slash + 1);
  std::string path = dir + kelv::kRxFileName;
  // The program exists only in memory now: after a failed save the operator
  // may keep it elsewhere, and only a cancel here lets it go.
  for (;;) {
    try {
      kelv::WriteRxFile(path, lines);
      return;
    } catch (const kelv::AppError& e) {
      kelv::winsys::ShowError(e, this);
    }
    QFileDialog box(this, ToQ(Sjis("名前を付けて保存")));
    box.setObjectName(QStringLiteral("RxSaveDialog"));
    box.setOption(QFileDialog::DontUseNativeDialog);
    box.setAcceptMode(QFileDialog::AcceptSave);
    box.setFileMode(QFileDialog::AnyFile);
    box.setDirectory(QFile::decodeName(QByteArray::fromStdString(dir)));
    box.selectFile(QString::fromLatin1(kelv::kRxFileName));
    if (box.exec() != QDialog::Accepted || box.selectedFiles().isEmpty()) return;
    path = QFile::encodeName(box.selectedFiles().constFirst()).toStdString();
  }
}

void TRXDlg::rs232c1RXFLAG(TObject*) {
  rs232c1->WriteByte(kDC1);
}

void TRXDlg::rs232c1PACKET(TObject*) {
  rs232c1->WriteByte(kDC3);
  held_off_ = true;
}
