// The control layer on Qt Widgets: each control of the layout becomes the
// widget that draws it, named after the control, and forwards the operator's
// events to the control layer.
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFont>
#include <QFontInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>
#include <map>

#include "frontend.h"
#include "mnemoniclabel.h"
#include "qtfront.h"
#include "text.h"

namespace kelv::qtui {

namespace {

using namespace kelv::ui;
namespace layout = kelv::layout;

QPointer<QWidget> g_main_window;
kelv::ui::TForm* g_main_form = nullptr;

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

// The default UI face at the layout's size; Japanese text from a proportional
// Japanese face rather than whatever the system falls back to. The default is
// named by what it resolves to: a generic alias such as "Sans Serif" is no
// family of its own, so with it first in the list the Japanese face would take
// every character.
QFont DialogFont(int points) {
  QFont f = QApplication::font();
  QStringList families{QFontInfo(f).family()};
  families << kJapaneseFaces;
  f.setFamilies(families);
  f.setPointSize(points);
  return f;
}

QFont PGothicFont() {
  QFont f(kPGothic);
  f.setPixelSize(13);
  return f;
}

// What every Qt control is: the widget that shows it.
class Peer {
 public:
  virtual ~Peer() = default;
  virtual QWidget* widget() const = 0;
};

template <class Base, class W>
class Control : public Base, public Peer {
 public:
  explicit Control(W* w) : w_(w) {}
  QWidget* widget() const override { return w_; }
  bool Visible() const override { return !w_->isHidden(); }
  void SetVisible(bool on) override {
    if (!qtui::DisplayLost()) w_->setVisible(on);
  }

 protected:
  W* w_;
};

// A control with a caption, kept exactly as set: the display is converted
// from it. A display that has gone is not drawn on.
template <class Base, class W>
class Captioned : public Control<Base, W> {
 public:
  using Control<Base, W>::Control;
  std::string Caption() const override { return caption_; }
  void SetCaption(const std::string& text) override {
    caption_ = text;
    if (!qtui::DisplayLost()) this->w_->setText(ToQ(text));
  }

 private:
  std::string caption_;
};

class Label : public Captioned<TLabel, MnemonicLabel> {
 public:
  using Captioned::Captioned;
  bool Fits(const std::string& text) const override { return w_->fits(ToQ(text)); }
};

class Button : public Captioned<TButton, QPushButton> {
 public:
  explicit Button(QPushButton* w) : Captioned(w) {
    QObject::connect(w, &QPushButton::clicked, [this] { Click(); });
  }
};

class CheckBox : public Control<TCheckBox, QCheckBox> {
 public:
  explicit CheckBox(QCheckBox* w) : Control(w) {
    QObject::connect(w, &QCheckBox::clicked, [this] { Clicked(); });
  }
  bool Checked() const override { return w_->isChecked(); }
  void SetChecked(bool on) override {
    const QSignalBlocker block(w_);
    w_->setChecked(on);
  }
};

// A group box drawn as the layout was drawn: the frame line runs through the
// middle of the caption, so the controls placed below it lie inside. Qt's own
// styles put the whole caption above the frame, under the top row of lists.
class GroupFrame : public QGroupBox {
 public:
  using QGroupBox::QGroupBox;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    const QFontMetrics fm(font());
    const QRect frame = rect().adjusted(0, fm.height() / 2, -1, -1);
    // Etched, as the system draws it: a shadow line and a light one.
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(frame.adjusted(0, 0, -1, -1));
    p.setPen(palette().color(QPalette::Light));
    p.drawRect(frame.adjusted(1, 1, 0, 0));
    const QString caption = title();
    if (caption.isEmpty()) return;
    const QRect text(8, 0, fm.horizontalAdvance(caption) + 4, fm.height());
    p.fillRect(text, palette().color(QPalette::Window));
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(text, Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, caption);
  }
};

class GroupBox : public Control<TGroupBox, QGroupBox> {
 public:
  using Control::Control;
};

class ComboBox : public Control<TComboBox, QComboBox> {
 public:
  ComboBox(QComboBox* w, std::vector<std::string> items) : Control(w), items_(std::move(items)) {
    for (const std::string& item : items_) w->addItem(ToQ(item));
    QObject::connect(w, &QComboBox::activated, [this] { Changed(); });
  }
  int ItemIndex() const override { return w_->currentIndex(); }
  void SetItemIndex(int index) override {
    const QSignalBlocker block(w_);
    w_->setCurrentIndex(index >= 0 && index < w_->count() ? index : -1);
  }
  int ItemCount() const override { return w_->count(); }
  void SetItemHint(int index, const std::string& hint) override {
    w_->setItemData(index, ToQ(hint), Qt::ToolTipRole);
  }
  std::string Item(int index) const override {
    return index >= 0 && index < ItemCount() ? items_[static_cast<size_t>(index)] : std::string();
  }

 private:
  std::vector<std::string> items_;
};

class SpeedButton : public Captioned<TSpeedButton, QToolButton>, public QObject {
 public:
  explicit SpeedButton(QToolButton* w) : Captioned(w) {
    w->setCheckable(true);
    w->setFocusPolicy(Qt::NoFocus);
    w->installEventFilter(this);
    QObject::connect(w, &QToolButton::clicked, [this] { Clicked(); });
  }
  bool Down() const override { return w_->isChecked(); }
  void SetDown(bool on) override {
    QButtonGroup* group = w_->group();
    const QSignalBlocker block_group(group);
    const QSignalBlocker block(w_);
    w_->setChecked(on);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonDblClick) {
      return QObject::eventFilter(watched, event);
    }
    auto* me = static_cast<QMouseEvent*>(event);
    const QPoint at = me->position().toPoint();
    TMouseButton button = TMouseButton::mbLeft;
    if (me->button() == Qt::RightButton) button = TMouseButton::mbRight;
    if (me->button() == Qt::MiddleButton) button = TMouseButton::mbMiddle;
    MouseDown(button, Shift(me), at.x(), at.y());
    // The right button only reports: it must not push the button down.
    return me->button() == Qt::RightButton;
  }

 private:
  static TShiftState Shift(const QMouseEvent* me) {
    TShiftState s = 0;
    const Qt::KeyboardModifiers m = me->modifiers();
    if (m & Qt::ShiftModifier) s |= ssShift;
    if (m & Qt::AltModifier) s |= ssAlt;
    if (m & Qt::ControlModifier) s |= ssCtrl;
    const Qt::MouseButtons b = me->buttons();
    if (b & Qt::LeftButton) s |= ssLeft;
    if (b & Qt::RightButton) s |= ssRight;
    if (b & Qt::MiddleButton) s |= ssMiddle;
    return s;
  }
};

class Form;

// The window: a fixed dialog frame whose close box asks the form, and Esc
// clicks the cancel button.
class FormWidget : public QWidget {
 public:
  explicit FormWidget(Form* form)
      : QWidget(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                             Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                             Qt::MSWindowsFixedSizeDialogHint),
        form_(form) {}
  TButton* cancel = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  Form* form_;
};

class Form : public TForm {
 public:
  explicit Form(const layout::Form& l) : w_(new FormWidget(this)) {
    RegisterFontStandIns();
    Name = l.name;
    caption_ = l.caption;
    w_->setObjectName(QString::fromStdString(l.name));
    w_->setWindowTitle(ToQ(l.caption));
    w_->setFixedSize(l.client_width, l.client_height);
    w_->setBackgroundRole(QPalette::Window);
    w_->setAutoFillBackground(true);
    w_->setFont(DialogFont(l.font_points));
    w_->move(0, 0);
    for (const layout::Control& c : l.controls) Make(c);
    QWidget* previous = nullptr;
    for (const layout::Control* c : l.TabOrder()) {
      QWidget* w = WidgetOf(controls_.at(c->name).get());
      if (previous) {
        QWidget::setTabOrder(previous, w);
      } else {
        w->setFocus();  // becomes the focus at the first activation
      }
      previous = w;
    }
    if (!g_main_window) {
      g_main_window = w_;
      g_main_form = this;
    }
  }
  ~Form() override {
    if (g_main_form == this) g_main_form = nullptr;
    delete w_;
  }

  QWidget* widget() const { return w_; }
  std::string Caption() const override { return caption_; }
  int Left() const override { return w_->pos().x(); }
  int Top() const override { return w_->pos().y(); }
  void SetLeft(int left) override { w_->move(left, w_->pos().y()); }
  void SetTop(int top) override { w_->move(w_->pos().x(), top); }
  bool Visible() const override { return w_->isVisible(); }
  void Show() override { w_->show(); }
  TControl* FindControl(const std::string& name) const override {
    const auto it = controls_.find(name);
    return it == controls_.end() ? nullptr : it->second.get();
  }

 private:
  QWidget* ParentOf(const layout::Control& c) {
    if (c.parent.empty()) return w_;
    return WidgetOf(controls_.at(c.parent).get());
  }

  void Make(const layout::Control& c) {
    QWidget* parent = ParentOf(c);
    std::unique_ptr<TControl> control;
    QWidget* w = nullptr;
    MnemonicLabel* grows = nullptr;
    switch (c.kind) {
      case layout::Kind::Label: {
        auto* l = new MnemonicLabel(parent);
        auto label = std::make_unique<Label>(l);
        l->setAutoSize(c.auto_size);
        l->setMaxWidth(c.max_width);
        if (c.grows) grows = l;
        if (c.font == layout::Font::PGothic13) {
          l->setFont(PGothicFont());
          QPalette pal = l->palette();
          pal.setColor(QPalette::WindowText, Qt::black);
          l->setPalette(pal);
        }
        if (c.right_aligned) l->setAlignment(Qt::AlignRight | Qt::AlignTop);
        w = l;
        l->setGeometry(c.left, c.top, c.width, c.height);
        label->SetCaption(c.text);
        control = std::move(label);
        break;
      }
      case layout::Kind::Button: {
        auto* b = new QPushButton(parent);
        // Enter clicks it while it has the focus (Esc is handled by the form).
        b->setAutoDefault(true);
        auto button = std::make_unique<Button>(b);
        button->SetCaption(c.text);
        if (c.cancel_role) w_->cancel = button.get();
        w = b;
        control = std::move(button);
        break;
      }
      case layout::Kind::CheckBox: {
        auto* b = new QCheckBox(ToQ(c.text), parent);
        w = b;
        control = std::make_unique<CheckBox>(b);
        break;
      }
      case layout::Kind::GroupBox: {
        auto* g = new GroupFrame(ToQ(c.text), parent);
        w = g;
        control = std::make_unique<GroupBox>(g);
        break;
      }
      case layout::Kind::ComboBox: {
        auto* b = new QComboBox(parent);
        auto list = std::make_unique<ComboBox>(b, c.items);
        list->SetItemIndex(c.selected);
        w = b;
        control = std::move(list);
        break;
      }
      case layout::Kind::SpeedButton: {
        auto* b = new QToolButton(parent);
        QButtonGroup*& group = groups_[c.group_index];
        if (!group) {
          group = new QButtonGroup(w_);
          group->setExclusive(true);
        }
        group->addButton(b);
        auto button = std::make_unique<SpeedButton>(b);
        button->Tag = c.tag;
        button->SetCaption(c.text);
        if (c.down) button->SetDown(true);
        w = b;
        control = std::move(button);
        break;
      }
    }
    w->setObjectName(QString::fromStdString(c.name));
    w->setGeometry(c.left, c.top, c.width, c.height);
    if (grows) grows->setGrows(true);  // from the layout's place
    if (c.tab_order < 0 && c.kind != layout::Kind::SpeedButton) w->setFocusPolicy(Qt::NoFocus);
    control->Name = c.name;
    controls_[c.name] = std::move(control);
  }

  FormWidget* w_;  // owns the widgets; deleted after the controls that point to them
  std::string caption_;
  std::map<std::string, std::unique_ptr<TControl>> controls_;
  std::map<int, QButtonGroup*> groups_;
};

void FormWidget::closeEvent(QCloseEvent* event) {
  // The window stays on the screen in every case: the program ends when the
  // event loop does, and a run may still be on the stack below us.
  event->ignore();
  form_->Close();
}

void FormWidget::keyPressEvent(QKeyEvent* event) {
  // The cancel role: Esc anywhere, unless a control used it (an open list
  // closes instead and never lets it through to here).
  const Qt::KeyboardModifiers held =
      event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
  if (event->key() == Qt::Key_Escape && held == Qt::NoModifier && cancel) {
    cancel->Click();
    return;
  }
  QWidget::keyPressEvent(event);
}

void FormWidget::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) form_->Activated();
  QWidget::changeEvent(event);
}

}  // namespace

QWidget* WidgetOf(const kelv::ui::TControl* control) {
  const auto* peer = dynamic_cast<const Peer*>(control);
  return peer ? peer->widget() : nullptr;
}

QWidget* WindowOf(const kelv::ui::TForm* form) {
  const auto* f = dynamic_cast<const Form*>(form);
  return f ? f->widget() : nullptr;
}

QWidget* MainWindow() {
  return g_main_window;
}

kelv::ui::TForm* MainForm() {
  return g_main_form;
}

}  // namespace kelv::qtui

namespace kelv::ui {

std::unique_ptr<TForm> CreateForm(const layout::Form& layout) {
  return std::make_unique<qtui::Form>(layout);
}

}  // namespace kelv::ui
