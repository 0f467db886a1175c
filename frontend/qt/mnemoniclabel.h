// A text label that treats "&" as a mnemonic marker: a single "&" is hidden and
// underlines the next character, "&&" shows one "&". QLabel does this only when
// it has a buddy; our labels have none. The text itself is kept as set.
#pragma once

#include <QString>
#include <QWidget>

class MnemonicLabel : public QWidget {
  Q_OBJECT

 public:
  explicit MnemonicLabel(QWidget* parent = nullptr);

  QString text() const { return text_; }
  void setText(const QString& text);

  Qt::Alignment alignment() const { return alignment_; }
  void setAlignment(Qt::Alignment a);

  // Sized to its text: every setText resizes the label to fit the text on one
  // line. Otherwise the size is fixed and the text is cut at the right edge.
  bool autoSize() const { return auto_size_; }
  void setAutoSize(bool on);

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void Fit();

  QString text_;
  Qt::Alignment alignment_ = Qt::AlignLeft | Qt::AlignTop;
  bool auto_size_ = false;
};
