#include "mnemoniclabel.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPainter>
#include <QPointer>
#include <QStyle>
#include <QTimer>
#include <utility>

namespace {
constexpr int kTextFlags = Qt::TextShowMnemonic | Qt::TextSingleLine;
}

// One timer for every label with a refresh due: labels that change together
// (a line counter and the lines under it) are refreshed in one wake-up and
// painted in one pass.
class MnemonicLabel::RefreshTick : public QObject {
 public:
  // Lives as long as the application (null before and after it).
  static RefreshTick* Get() {
    static QPointer<RefreshTick> tick;
    if (!tick && QCoreApplication::instance()) tick = new RefreshTick(QCoreApplication::instance());
    return tick;
  }
  void Add(MnemonicLabel* label, int delay_ms) {
    if (!due_.contains(label)) due_.append(label);
    if (!timer_.isActive()) timer_.start(delay_ms);
  }
  void Remove(MnemonicLabel* label) { due_.removeAll(label); }
  void RefreshAll() {
    timer_.stop();
    const QList<MnemonicLabel*> due = std::exchange(due_, {});
    for (MnemonicLabel* label : due) label->Refresh();
  }

 private:
  explicit RefreshTick(QObject* parent) : QObject(parent) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { RefreshAll(); });
  }
  QTimer timer_;
  QList<MnemonicLabel*> due_;
};

MnemonicLabel::MnemonicLabel(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);  // a label never takes input
}

MnemonicLabel::~MnemonicLabel() {
  if (RefreshTick* tick = RefreshTick::Get()) tick->Remove(this);
}

void MnemonicLabel::setText(const QString& text) {
  if (text == text_) return;
  text_ = text;
  laid_out_valid_ = false;
  // Laying out and painting the text costs far more than receiving a line.
  if (isVisible() && refreshed_.isValid() && refreshed_.elapsed() < kRefreshMs) {
    if (RefreshTick* tick = RefreshTick::Get()) {
      tick->Add(this, static_cast<int>(kRefreshMs - refreshed_.elapsed()));
      return;
    }
  }
  Refresh();
}

void MnemonicLabel::RefreshAllDue() {
  if (RefreshTick* tick = RefreshTick::Get()) tick->RefreshAll();
}

void MnemonicLabel::Refresh() {
  if (RefreshTick* tick = RefreshTick::Get()) tick->Remove(this);
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

QFont MnemonicLabel::TextFont() const {
  QFont f = font();
  f.setStyleStrategy(static_cast<QFont::StyleStrategy>(f.styleStrategy() | QFont::PreferNoShaping));
  return f;
}

QSize MnemonicLabel::sizeHint() const {
  const QFontMetrics fm(TextFont());
  // An empty label keeps the height of one line, as a line of text would have.
  return QSize(fm.size(kTextFlags, text_).width(), fm.height());
}

void MnemonicLabel::setMaxWidth(int width) {
  max_width_ = width;
  Fit();
}

void MnemonicLabel::setGrows(bool on) {
  grows_ = on;
  place_ = geometry();
  Fit();
}

bool MnemonicLabel::fits(const QString& text) const {
  const int need = QFontMetrics(TextFont()).size(kTextFlags, text).width();
  if (auto_size_) return max_width_ <= 0 || need <= max_width_;
  return need <= width();
}

void MnemonicLabel::Fit() {
  if (auto_size_) {
    QSize s = sizeHint();
    if (max_width_ > 0 && s.width() > max_width_) s.setWidth(max_width_);
    resize(s);
    return;
  }
  if (!grows_) return;
  QRect r = place_;
  const int need = sizeHint().width();
  if (need > r.width()) {
    if (alignment_ & Qt::AlignRight) {
      r.setLeft(r.right() + 1 - need);
    } else {
      r.setWidth(need);
    }
  }
  setGeometry(r);
}

void MnemonicLabel::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange) {
    laid_out_valid_ = false;
    Fit();
  }
  QWidget::changeEvent(event);
}

void MnemonicLabel::paintEvent(QPaintEvent*) {
  painted_ = text_;
  QPainter p(this);
  const QFont f = TextFont();
  p.setFont(f);
  if (text_.contains(QLatin1Char('&'))) {
    style()->drawItemText(&p, rect(), static_cast<int>(alignment_) | kTextFlags, palette(),
                          isEnabled(), text_, foregroundRole());
    return;
  }
  if (!laid_out_valid_) {
    laid_out_.setTextFormat(Qt::PlainText);
    laid_out_.setPerformanceHint(QStaticText::AggressiveCaching);
    laid_out_.setText(text_);
    laid_out_.prepare(QTransform(), f);
    laid_out_valid_ = true;
  }
  // Placed as the style places a single line in the rectangle.
  const QSizeF size = laid_out_.size();
  const QRect r = rect();
  qreal x = r.left();
  if (alignment_ & Qt::AlignRight) x = r.right() + 1 - size.width();
  if (alignment_ & Qt::AlignHCenter) x = r.left() + (r.width() - size.width()) / 2;
  qreal y = r.top();
  if (alignment_ & Qt::AlignBottom) y = r.bottom() + 1 - size.height();
  if (alignment_ & Qt::AlignVCenter) y = r.top() + (r.height() - size.height()) / 2;
  p.setClipRect(r);
  p.setPen(palette().color(foregroundRole()));  // its group follows the enabled state
  p.drawStaticText(QPointF(x, y), laid_out_);
}
