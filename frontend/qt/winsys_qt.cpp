// The window-system services on Qt.
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QValidator>
#include <algorithm>

#include "handover.h"
#include "mnemoniclabel.h"
#include "qtfront.h"
#include "sjis.h"
#include "text.h"
#include "winsys.h"

namespace kelv::winsys {

namespace {

// The one object that worker hand-overs wake: its posted event reaches it from
// whatever event loop runs on the user-interface thread, a modal box's too.
class HandOverTarget : public QObject {
 public:
  static QEvent::Type WakeType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
  }
  using QObject::QObject;
  ~HandOverTarget() override { HandOver::Ui().Install({}); }

  bool event(QEvent* e) override {
    if (e->type() != WakeType()) return QObject::event(e);
    HandOver::Ui().ServePending();
    return true;
  }
};

QPointer<HandOverTarget> g_target;

// What may be typed or pasted into the rename box: characters that have a
// code page 932 form, while the text stays within `max` bytes of it as the
// settings file stores them. A paste keeps what fits, as a limited edit field
// on Windows does; a text longer than that from the start (a caption from the
// file) is shown whole and may shrink, never grow.
class ByteLimit : public QValidator {
 public:
  ByteLimit(size_t max, QLineEdit* edit) : QValidator(edit), max_(max), last_(edit->text()) {
    connect(edit, &QLineEdit::textChanged, this, [this](const QString& t) { last_ = t; });
  }
  State validate(QString& input, int& pos) const override {
    // The change since the last text: one run replaced by another.
    const QString& old = last_;
    qsizetype head = 0;
    while (head < input.size() && head < old.size() && input[head] == old[head]) ++head;
    if (head > 0 && input[head - 1].isHighSurrogate()) --head;
    qsizetype tail = 0;
    while (tail < input.size() - head && tail < old.size() - head &&
           input[input.size() - 1 - tail] == old[old.size() - 1 - tail]) {
      ++tail;
    }
    if (tail > 0 && input[input.size() - tail].isLowSurrogate()) --tail;
    const QString before = input.left(head);
    const QString after = input.right(tail);
    const QString inserted = input.mid(head, input.size() - head - tail);
    const size_t limit = std::max(max_, FromQ(old).size());
    QString kept;
    for (qsizetype i = 0; i < inserted.size();) {
      const qsizetype len = inserted.at(i).isHighSurrogate() && i + 1 < inserted.size() ? 2 : 1;
      const QString ch = inserted.mid(i, len);
      i += len;
      if (!Representable(ch)) continue;  // it cannot be stored: not typed
      if (FromQ(before + kept + ch + after).size() > limit) break;
      kept += ch;
    }
    if (kept.size() != inserted.size()) {
      input = before + kept + after;
      pos = static_cast<int>(head + kept.size());
    }
    return Acceptable;
  }

 private:
  size_t max_;
  QString last_;
};

// The longest start of `s` that fits `max` bytes, whole characters only.
QString CutToBytes(const QString& s, size_t max) {
  QString out;
  size_t bytes = 0;
  for (qsizetype i = 0; i < s.size();) {
    const qsizetype len = s.at(i).isHighSurrogate() && i + 1 < s.size() ? 2 : 1;
    const QString ch = s.mid(i, len);
    bytes += FromQ(ch).size();
    if (bytes > max) break;
    out += ch;
    i += len;
  }
  return out;
}

QString Title() {
  return ToQ(ApplicationTitle());
}

bool g_display_lost = false;

int ShowBox(const char* name, QMessageBox::Icon icon, const std::string& text, QWidget* parent) {
  if (g_display_lost) return 0;
  QMessageBox box(parent);
  box.setObjectName(name);
  box.setWindowTitle(Title());
  box.setIcon(icon);
  box.setTextFormat(Qt::PlainText);  // a message is never markup
  box.setText(ToQ(text));
  QPushButton* ok = box.addButton(QMessageBox::Ok);
  ok->setObjectName(QString(name) + "Ok");
  box.setDefaultButton(ok);
  box.setEscapeButton(ok);
  return box.exec();
}

}  // namespace

void InstallHandOver() {
  if (!g_target) g_target = new HandOverTarget(QCoreApplication::instance());
  HandOverTarget* target = g_target;
  HandOver::Ui().Install(
      [target] { QCoreApplication::postEvent(target, new QEvent(HandOverTarget::WakeType())); });
}

void ProcessMessages() {
  if (!g_display_lost) QCoreApplication::processEvents(QEventLoop::AllEvents);
  HandOver::Ui().ServePending();
}

void PaintNow() {
  if (g_display_lost) return;
  MnemonicLabel::RefreshAllDue();
  // Synchronous: no event is handled, only the windows are painted.
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->isVisible()) w->repaint();
  }
}

void WaitForEvents(int timeout_ms) {
  if (timeout_ms == 0 || g_display_lost) return;
  // A timer that only has to fire: its event ends the wait.
  QTimer limit;
  limit.setSingleShot(true);
  limit.setTimerType(Qt::PreciseTimer);
  if (timeout_ms > 0) limit.start(timeout_ms);
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void ShowMessage(const std::string& text) {
  ShowBox("MessageBox", QMessageBox::NoIcon, text, qtui::MainWindow());
}

void ShowError(const std::exception& e) {
  ShowBox("ErrorBox", QMessageBox::Critical, ErrorBoxText(e.what()), qtui::MainWindow());
}

bool AskYesNo(const std::string& text) {
  if (g_display_lost) return false;
  QMessageBox box(qtui::MainWindow());
  box.setObjectName(QStringLiteral("QuestionBox"));
  box.setWindowTitle(Title());
  box.setIcon(QMessageBox::Question);
  box.setTextFormat(Qt::PlainText);
  box.setText(ToQ(text));
  // The box clicks the button whose marked key is typed, without Alt.
  QPushButton* yes = box.addButton(ToQ(Sjis(kYesCaption)), QMessageBox::YesRole);
  yes->setObjectName(QStringLiteral("QuestionBoxYes"));
  QPushButton* no = box.addButton(ToQ(Sjis(kNoCaption)), QMessageBox::NoRole);
  no->setObjectName(QStringLiteral("QuestionBoxNo"));
  box.setDefaultButton(no);
  box.setEscapeButton(no);
  box.exec();
  return box.clickedButton() == yes;
}

std::string InputBox(const std::string& title, const std::string& prompt,
                     const std::string& initial) {
  if (g_display_lost) return initial;
  QWidget* parent = qtui::MainWindow();
  QDialog dialog(parent);
  dialog.setObjectName("InputBox");
  dialog.setWindowTitle(ToQ(title));

  auto* label = new QLabel(ToQ(prompt), &dialog);
  label->setObjectName("InputBoxPrompt");
  label->setTextFormat(Qt::PlainText);
  auto* edit = new QLineEdit(&dialog);
  edit->setObjectName("InputBoxEdit");
  edit->setText(ToQ(initial));
  edit->setValidator(new ByteLimit(kInputBoxMax, edit));
  edit->selectAll();
  edit->setMinimumWidth(260);
  auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
  ok->setObjectName("InputBoxOk");
  ok->setDefault(true);
  auto* cancel = new QPushButton(ToQ(Sjis("キャンセル")), &dialog);
  cancel->setObjectName("InputBoxCancel");
  cancel->setAutoDefault(false);
  QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
  QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(label);
  layout->addWidget(edit);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  edit->setFocus();

  dialog.adjustSize();
  QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
  if (screen) {
    QRect frame = dialog.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    dialog.move(frame.topLeft());
  }

  if (dialog.exec() != QDialog::Accepted) return initial;
  // The caption as it was, when untouched, even beyond the limit; a text set
  // from outside the box (no typing) is held to the limit all the same.
  const QString text = edit->text();
  if (text == ToQ(initial)) return initial;
  return FromQ(CutToBytes(text, std::max(kInputBoxMax, initial.size())));
}

std::string SaveAsBox(const std::string& dir, const std::string& file_name) {
  if (g_display_lost) return std::string();
  QFileDialog box(qtui::MainWindow(), ToQ(Sjis("名前を付けて保存")));
  box.setObjectName(QStringLiteral("RxSaveDialog"));
  box.setOption(QFileDialog::DontUseNativeDialog);
  box.setAcceptMode(QFileDialog::AcceptSave);
  box.setFileMode(QFileDialog::AnyFile);
  const QString in = QFile::decodeName(QByteArray::fromStdString(dir));
  box.setDirectory(in);
  // A folder of that name is what stood in the file's way: selected, it
  // would turn the save button into an open button.
  const QString name = QFile::decodeName(QByteArray::fromStdString(file_name));
  if (!QFileInfo(QDir(in).filePath(name)).isDir()) box.selectFile(name);
  if (box.exec() != QDialog::Accepted || box.selectedFiles().isEmpty()) return std::string();
  return QFile::encodeName(box.selectedFiles().constFirst()).toStdString();
}

}  // namespace kelv::winsys

namespace kelv::qtui {

void LoseDisplay() {
  winsys::g_display_lost = true;
}

bool DisplayLost() {
  return winsys::g_display_lost;
}

}  // namespace kelv::qtui
