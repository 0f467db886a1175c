#include "mnemoniclabel.h"

#include <QEvent>
#include <QPainter>
#include <QStyle>

namespace {
constexpr int kTextFlags = Qt::TextShowMnemonic | Qt::TextSingleLine;
}

MnemonicLabel::MnemonicLabel(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);  // a label never takes input
  refresh_.setSingleShot(true);
  connect(&refresh_, &QTimer::timeout, this, &MnemonicLabel::Refresh);
}

void MnemonicLabel::setText(const QString& text) {
  if (text == text_) return;
  text_ = text;
  // Laying out and painting the text costs far more than receiving a line.
  if (isVisible() && refreshed_.isValid() && refreshed_.elapsed() < kRefreshMs) {
    if (!refresh_.isActive()) {
      refresh_.start(static_cast<int>(kRefreshMs - refreshed_.elapsed()));
    }
    return;
  }
  Refresh();
}

void MnemonicLabel::Refresh() {
  refresh_.stop();
  Fit();
  update();
  refreshed_.start();
}

void MnemonicLabel::setAlignment(Qt::Alignment a) {
  alignment_ = a;
  update();
}

void MnemonicLabel::setAutoSize(bool on) {
  auto_size_ = on;
  Fit();
}

QSize MnemonicLabel::sizeHint() const {
  const QFontMetrics fm = fontMetrics();
  // An empty label keeps the height of one line, as a line of text would have.
  return QSize(fm.size(kTextFlags, text_).width(), fm.height());
}

void MnemonicLabel::Fit() {
  if (auto_size_) resize(sizeHint());
}

void MnemonicLabel::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange) Fit();
  QWidget::changeEvent(event);
}

void MnemonicLabel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  style()->drawItemText(&p, rect(), static_cast<int>(alignment_) | kTextFlags, palette(),
                        isEnabled(), text_, foregroundRole());
}
