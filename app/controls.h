// The dialog's controls as its logic sees them: a label, a push button, a check
// box, a group box, a drop-down list, exclusive toggle buttons and the form,
// with only the properties and events the dialog uses. Each window system's
// front end implements them (frontend/qt, frontend/win32); the dialog never
// sees a toolkit type. Texts are code page 932 bytes.
//
// Setting a property from the program fires no event: a selection or a down
// state set here runs no change or click handler. Events come only from the
// operator (or from Click(), which acts as the operator's click). Every event
// handler runs guarded: an error escaping it is shown in the general error box
// and the program goes on (Fire).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "component.h"

namespace kelv::ui {

enum class TMouseButton { mbLeft, mbRight, mbMiddle };

// Modifier keys and mouse buttons held when a mouse event came.
enum : unsigned { ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16, ssMiddle = 32 };
using TShiftState = unsigned;

using TMouseEvent =
    std::function<void(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;

// Runs an event handler; an error escaping it is shown in the general error box
// and the event ends there.
void Fire(const std::function<void()>& handler);

class TControl : public TObject {
 public:
  std::string Name;
  virtual bool Visible() const = 0;
  virtual void SetVisible(bool on) = 0;
  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }
};

// A text that treats "&" as a mnemonic marker ("&&" shows one "&"); the
// caption itself is kept as set.
class TLabel : public TControl {
 public:
  virtual std::string Caption() const = 0;
  virtual void SetCaption(const std::string& text) = 0;
  // Whether `text` would show whole on one line in the label's place (a
  // label sized to its text: within its widest).
  virtual bool Fits(const std::string& text) const = 0;
};

class TButton : public TControl {
 public:
  virtual std::string Caption() const = 0;
  virtual void SetCaption(const std::string& text) = 0;
  // As the operator's click: runs OnClick. Front ends call it for the
  // operator's clicks too.
  void Click();
  TNotifyEvent OnClick;
};

class TCheckBox : public TControl {
 public:
  virtual bool Checked() const = 0;
  virtual void SetChecked(bool on) = 0;
  TNotifyEvent OnClick;  // the operator changed the box
  void Clicked();        // front ends: the operator changed the box
};

class TGroupBox : public TControl {};

class TComboBox : public TControl {
 public:
  // -1: no item selected.
  virtual int ItemIndex() const = 0;
  // An index beyond the items leaves the list without a selection.
  virtual void SetItemIndex(int index) = 0;
  virtual int ItemCount() const = 0;
  virtual std::string Item(int index) const = 0;
  // A hint the operator sees at the item (a tooltip where the system has them).
  virtual void SetItemHint(int index, const std::string& hint) = 0;
  TNotifyEvent OnChange;  // the operator picked an item
  void Changed();         // front ends: the operator picked an item
};

// One of a group of exclusive toggle buttons: pushing one down releases the
// others of its group. A right-button press reports OnMouseDown and leaves the
// button as it was; only the left button pushes it down and clicks it.
class TSpeedButton : public TControl {
 public:
  virtual std::string Caption() const = 0;
  virtual void SetCaption(const std::string& text) = 0;
  virtual bool Down() const = 0;
  virtual void SetDown(bool on) = 0;
  int Tag = 0;
  TNotifyEvent OnClick;
  TMouseEvent OnMouseDown;
  // Front ends: a mouse button went down over it; the left button's click
  // after it has pushed the button down.
  void MouseDown(TMouseButton button, TShiftState shift, int x, int y);
  void Clicked();
};

// The dialog window. Closing it from the close box, the window menu or the
// system's close key runs OnClose; the window stays up, whatever the handler
// does: the program decides when it ends.
//
// The end of the system's session (shutdown, logoff, restart) runs
// OnEndSession, unguarded: no box may hold the session up, so the handler
// deals with its own failures. When it has told the application to end, the
// front end ends every modal box and event loop still open.
class TForm : public TObject {
 public:
  std::string Name;
  virtual std::string Caption() const = 0;
  // The outer top-left corner, screen coordinates.
  virtual int Left() const = 0;
  virtual int Top() const = 0;
  virtual void SetLeft(int left) = 0;
  virtual void SetTop(int top) = 0;
  virtual bool Visible() const = 0;
  virtual void Show() = 0;
  // As the close box: runs OnClose.
  void Close();

  virtual TControl* FindControl(const std::string& name) const = 0;
  template <class T>
  T* Find(const std::string& name) const {
    return dynamic_cast<T*>(FindControl(name));
  }

  TNotifyEvent OnClose;
  TNotifyEvent OnActivate;
  void Activated();  // front ends: the window became the active one
  TNotifyEvent OnEndSession;
  void EndSession();  // front ends: the session is ending
  // The system asks whether its session may end, and it may end soon after
  // by force: the handler keeps what it can now, without a box, and nothing
  // ends. Unguarded, as OnEndSession. The answer is the front end's: no while
  // a block reason is set, where the system lets a program refuse.
  TNotifyEvent OnQueryEndSession;
  void QueryEndSession();  // front ends: the system asks

  // Why the program holds the session's end for now ("" for no reason):
  // shown by the system on its shutdown screen where it has one. While it is
  // set the system is held up as winsys::HoldSystem says.
  void SetEndSessionBlock(const std::string& reason);
  const std::string& EndSessionBlock() const { return end_session_block_; }

 protected:
  virtual void EndSessionBlockChanged() {}

 private:
  std::string end_session_block_;
};

}  // namespace kelv::ui
