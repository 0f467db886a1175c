// A text label that treats "&" as a mnemonic marker: a single "&" is hidden and
// underlines the next character, "&&" shows one "&". QLabel does this only when
// it has a buddy; our labels have none. The text itself is kept as set.
#pragma once

#include <QElapsedTimer>
#include <QStaticText>
#include <QString>
#include <QWidget>

class MnemonicLabel : public QWidget {
  Q_OBJECT

 public:
  explicit MnemonicLabel(QWidget* parent = nullptr);
  ~MnemonicLabel() override;

  QString text() const { return text_; }
  void setText(const QString& text);

  Qt::Alignment alignment() const { return alignment_; }
  void setAlignment(Qt::Alignment a);

  // Sized to its text: every setText resizes the label to fit the text on one
  // line. Otherwise the size is fixed and the text is cut at the right edge.
  // A label on screen whose text changes faster than anyone can read it (a
  // line counter during a transfer) is measured and repainted at most every
  // kRefreshMs, with the latest text; text() is always the text last set.
  bool autoSize() const { return auto_size_; }
  void setAutoSize(bool on);
  // Sized to its text, but never wider than this (0: no limit).
  void setMaxWidth(int width);
  // A fixed label that grows from its present place to show its whole text,
  // away from its aligned edge.
  void setGrows(bool on);
  // Whether `text` would show whole on one line.
  bool fits(const QString& text) const;

  QSize sizeHint() const override;

  static constexpr int kRefreshMs = 200;
  // Refreshes every label whose refresh is due, at once.
  static void RefreshAllDue();
  // The text at the last paint: what the screen shows.
  QString paintedText() const { return painted_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void Fit();
  void Refresh();
  // The widget's font without the shaping that neither Latin nor Japanese
  // text needs: shaping took a third of the paint of a changing label.
  QFont TextFont() const;

  QString text_;
  QString painted_;
  // The laid-out text, for a text without "&": laying out (shaping) costs
  // more than drawing, and a label is painted more often than it changes.
  QStaticText laid_out_;
  bool laid_out_valid_ = false;
  Qt::Alignment alignment_ = Qt::AlignLeft | Qt::AlignTop;
  bool auto_size_ = false;
  int max_width_ = 0;
  bool grows_ = false;
  QRect place_;              // of a label that grows
  QElapsedTimer refreshed_;  // since the last measure and repaint
  class RefreshTick;         // the coalesced refreshes that are due
};
