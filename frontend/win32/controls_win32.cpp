// The control layer on plain Win32 controls: each control of the layout
// becomes the system control that draws it (STATIC, BUTTON, COMBOBOX) and
// forwards the operator's events to the control layer.
#include <windows.h>

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "frontend.h"
#include "win32front.h"

namespace kelv::win32ui {

namespace {

using namespace kelv::ui;
namespace layout = kelv::layout;

constexpr wchar_t kFormClass[] = L"KelvRxForm";
constexpr int kFirstId = 100;   // control ids; 1 and 2 are IDOK and IDCANCEL
constexpr int kListDrop = 200;  // height of a drop-down list's open list

HWND g_main_window = nullptr;

HINSTANCE Instance() {
  return GetModuleHandleW(nullptr);
}

// What every Win32 control is: the window that shows it.
class Peer {
 public:
  virtual ~Peer() = default;
  virtual HWND handle() const = 0;
  // A WM_COMMAND notification that came from this control.
  virtual void Command(int /*code*/) {}
  // Colours of a static or button control; 0 for the default.
  virtual COLORREF TextColour() const { return GetSysColor(COLOR_WINDOWTEXT); }
};

template <class Base>
class Control : public Base, public Peer {
 public:
  explicit Control(HWND hwnd) : hwnd_(hwnd) {}
  HWND handle() const override { return hwnd_; }
  // The control layer's own visibility: shown unless hidden, whatever its parent.
  bool Visible() const override { return visible_; }
  void SetVisible(bool on) override {
    visible_ = on;
    ShowWindow(hwnd_, on ? SW_SHOWNA : SW_HIDE);
  }

 protected:
  HWND hwnd_;
  bool visible_ = true;
};

// A caption kept exactly as set: the window's text is converted from it.
template <class Base>
class Captioned : public Control<Base> {
 public:
  using Control<Base>::Control;
  std::string Caption() const override { return caption_; }
  void SetCaption(const std::string& text) override {
    caption_ = text;
    SetWindowTextW(this->hwnd_, Wide(text).c_str());
    Fit();
  }

 protected:
  virtual void Fit() {}
  std::string caption_;
};

class Label;

// Labels whose caption changed within kRefreshMs of their last refresh, shown
// together by one thread timer: a line counter and the lines under it change
// with every line received, and setting, measuring and painting them cost far
// more than receiving the line.
constexpr DWORD kRefreshMs = 200;
std::vector<Label*> g_due_labels;
UINT_PTR g_refresh_timer = 0;

void CALLBACK RefreshTimer(HWND, UINT, UINT_PTR, DWORD) {
  RefreshDueCaptions();
}

class Label : public Captioned<TLabel> {
 public:
  Label(HWND hwnd, bool auto_size, int max_width, bool grows, bool right_aligned, bool black)
      : Captioned(hwnd),
        auto_size_(auto_size),
        max_width_(max_width),
        grows_(grows),
        right_aligned_(right_aligned),
        black_(black) {
    GetWindowRect(hwnd, &place_);
    MapWindowPoints(nullptr, GetParent(hwnd), reinterpret_cast<POINT*>(&place_), 2);
  }
  ~Label() override { NotDue(); }
  COLORREF TextColour() const override {
    return black_ ? RGB(0, 0, 0) : GetSysColor(COLOR_WINDOWTEXT);
  }
  void SetCaption(const std::string& text) override {
    if (text == caption_ && refreshed_) return;
    caption_ = text;
    const DWORD since = GetTickCount() - refreshed_at_;
    if (refreshed_ && since < kRefreshMs && IsWindowVisible(hwnd_)) {
      if (std::find(g_due_labels.begin(), g_due_labels.end(), this) == g_due_labels.end()) {
        g_due_labels.push_back(this);
      }
      if (!g_refresh_timer) g_refresh_timer = SetTimer(nullptr, 0, kRefreshMs - since, &RefreshTimer);
      if (g_refresh_timer) return;
    }
    Refresh();
  }
  void Refresh() {
    NotDue();
    SetWindowTextW(hwnd_, Wide(caption_).c_str());
    Fit();
    refreshed_ = true;
    refreshed_at_ = GetTickCount();
  }
  bool Fits(const std::string& text) const override {
    const int need = Need(text);
    if (auto_size_) return max_width_ <= 0 || need <= max_width_;
    RECT r{};
    GetClientRect(hwnd_, &r);  // grown, where it grows
    return need <= r.right;
  }

 protected:
  // Sized to its text: as wide as the text on one line, "&" handled as
  // shown, up to its widest. A label that grows (its stand-in face is wider
  // than the face it was drawn for) widens away from its aligned edge, so its
  // text is not cut.
  void Fit() override {
    if (!auto_size_ && !grows_) return;
    const int height = place_.bottom - place_.top;
    const int need = Need(caption_);
    if (auto_size_) {
      const int width = max_width_ > 0 ? std::min(need, max_width_) : need;
      SetWindowPos(hwnd_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    } else if (need > place_.right - place_.left) {
      const int left = right_aligned_ ? place_.right - need : place_.left;
      SetWindowPos(hwnd_, nullptr, left, place_.top, need, height, SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }

  int Need(const std::string& caption) const {
    HDC dc = GetDC(hwnd_);
    const HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0)));
    RECT r{0, 0, 0, 0};
    const std::wstring text = Wide(caption);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, DT_CALCRECT | DT_SINGLELINE);
    SelectObject(dc, old);
    ReleaseDC(hwnd_, dc);
    return r.right - r.left;
  }

 private:
  void NotDue() {
    g_due_labels.erase(std::remove(g_due_labels.begin(), g_due_labels.end(), this),
                       g_due_labels.end());
  }

  bool auto_size_;
  int max_width_;
  bool grows_;
  bool right_aligned_;
  bool black_;
  RECT place_{};  // the layout's place in the parent
  bool refreshed_ = false;
  DWORD refreshed_at_ = 0;
};

class Button : public Captioned<TButton> {
 public:
  using Captioned::Captioned;
  void Command(int code) override {
    if (code == BN_CLICKED) Click();
  }
};

class CheckBox : public Control<TCheckBox> {
 public:
  using Control::Control;
  bool Checked() const override { return SendMessageW(hwnd_, BM_GETCHECK, 0, 0) == BST_CHECKED; }
  void SetChecked(bool on) override {
    SendMessageW(hwnd_, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  void Command(int code) override {
    if (code == BN_CLICKED) Clicked();
  }
};

class GroupBox : public Control<TGroupBox> {
 public:
  using Control::Control;
};

class ComboBox : public Control<TComboBox> {
 public:
  ComboBox(HWND hwnd, std::vector<std::string> items) : Control(hwnd), items_(std::move(items)) {
    for (const std::string& item : items_) {
      SendMessageW(hwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
    }
  }
  int ItemIndex() const override {
    const LRESULT i = SendMessageW(hwnd_, CB_GETCURSEL, 0, 0);
    return i == CB_ERR ? -1 : static_cast<int>(i);
  }
  void SetItemIndex(int index) override {
    SendMessageW(hwnd_, CB_SETCURSEL, index >= 0 && index < ItemCount() ? index : -1, 0);
  }
  int ItemCount() const override { return static_cast<int>(items_.size()); }
  // A system drop-down list has no tooltips for its items.
  void SetItemHint(int, const std::string&) override {}
  std::string Item(int index) const override {
    return index >= 0 && index < ItemCount() ? items_[static_cast<size_t>(index)] : std::string();
  }
  void Command(int code) override {
    if (code == CBN_SELCHANGE) Changed();
  }

 private:
  std::vector<std::string> items_;
};

// A push-like check box whose down state the group manages: the system's
// button only reports clicks. The right button is taken before the system
// sees it, so it never pushes the button.
class SpeedButton : public Captioned<TSpeedButton> {
 public:
  SpeedButton(HWND hwnd, int group) : Captioned(hwnd), group_(group) {
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    old_proc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SpeedButton::Proc)));
  }
  ~SpeedButton() override {
    if (IsWindow(hwnd_)) {
      SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(old_proc_));
    }
  }
  int group() const { return group_; }
  bool Down() const override { return SendMessageW(hwnd_, BM_GETCHECK, 0, 0) == BST_CHECKED; }
  void SetDown(bool on) override;
  void Command(int code) override {
    if (code != BN_CLICKED) return;
    SetDown(true);
    // It takes no focus: whoever had it gets it back.
    if (GetFocus() == hwnd_ && focus_before_ && IsWindow(focus_before_)) SetFocus(focus_before_);
    Clicked();
  }
  std::vector<SpeedButton*>* members = nullptr;  // of its group, itself included

 private:
  static TShiftState Shift(WPARAM keys) {
    TShiftState s = 0;
    if (keys & MK_SHIFT) s |= ssShift;
    if (keys & MK_CONTROL) s |= ssCtrl;
    if (GetKeyState(VK_MENU) < 0) s |= ssAlt;
    if (keys & MK_LBUTTON) s |= ssLeft;
    if (keys & MK_RBUTTON) s |= ssRight;
    if (keys & MK_MBUTTON) s |= ssMiddle;
    return s;
  }

  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<SpeedButton*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    const WNDPROC old = self->old_proc_;
    const int x = static_cast<short>(LOWORD(lp));
    const int y = static_cast<short>(HIWORD(lp));
    switch (msg) {
      case WM_RBUTTONDOWN:
      case WM_RBUTTONDBLCLK:
        self->MouseDown(TMouseButton::mbRight, Shift(wp), x, y);
        return 0;
      case WM_RBUTTONUP:
        return 0;
      case WM_LBUTTONDOWN:
      case WM_LBUTTONDBLCLK:
        self->MouseDown(TMouseButton::mbLeft, Shift(wp), x, y);
        break;
      case WM_MBUTTONDOWN:
        self->MouseDown(TMouseButton::mbMiddle, Shift(wp), x, y);
        break;
      case WM_SETFOCUS:
        self->focus_before_ = reinterpret_cast<HWND>(wp);
        break;
      default:
        break;
    }
    return CallWindowProcW(old, hwnd, msg, wp, lp);
  }

  int group_;
  WNDPROC old_proc_ = nullptr;
  HWND focus_before_ = nullptr;
};

void SpeedButton::SetDown(bool on) {
  if (!on) {
    // One of the group is always down: it comes up only when another goes down.
    return;
  }
  if (members) {
    for (SpeedButton* b : *members) {
      if (b != this) SendMessageW(b->hwnd_, BM_SETCHECK, BST_UNCHECKED, 0);
    }
  }
  SendMessageW(hwnd_, BM_SETCHECK, BST_CHECKED, 0);
}

// A group box that is also the parent of its controls: their notifications
// and colour requests go on to the form.
LRESULT CALLBACK GroupProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const auto old = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_COMMAND:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      return SendMessageW(GetAncestor(hwnd, GA_ROOT), msg, wp, lp);
    case WM_ERASEBKGND: {
      // The system's group box paints only its frame and caption.
      RECT r{};
      GetClientRect(hwnd, &r);
      FillRect(reinterpret_cast<HDC>(wp), &r, GetSysColorBrush(COLOR_3DFACE));
      return 1;
    }
    default:
      return CallWindowProcW(old, hwnd, msg, wp, lp);
  }
}

class Form : public TForm {
 public:
  explicit Form(const layout::Form& l) : caption_(l.caption) {
    Name = l.name;
    RegisterClass();
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    const DWORD ex_style = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
    RECT r{0, 0, Scaled(l.client_width), Scaled(l.client_height)};
    AdjustWindowRectEx(&r, style, FALSE, ex_style);
    hwnd_ = CreateWindowExW(ex_style, kFormClass, Wide(l.caption).c_str(), style, 0, 0,
                            r.right - r.left, r.bottom - r.top, nullptr, nullptr, Instance(), this);
    font_ = DialogFont(l.font_points);
    for (const layout::Control& c : l.controls) Make(c);
    const std::vector<const layout::Control*> tabs = l.TabOrder();
    if (!tabs.empty()) first_focus_ = HandleOf(controls_.at(tabs.front()->name).get());
    // Without this the window menu still offers sizing and maximising.
    HMENU menu = GetSystemMenu(hwnd_, FALSE);
    DeleteMenu(menu, SC_SIZE, MF_BYCOMMAND);
    DeleteMenu(menu, SC_MAXIMIZE, MF_BYCOMMAND);
    DeleteMenu(menu, SC_MINIMIZE, MF_BYCOMMAND);
    DeleteMenu(menu, SC_RESTORE, MF_BYCOMMAND);
    AddDialogWindow(hwnd_);
    if (!g_main_window) g_main_window = hwnd_;
  }
  ~Form() override {
    RemoveDialogWindow(hwnd_);
    if (g_main_window == hwnd_) g_main_window = nullptr;
    controls_.clear();
    DestroyWindow(hwnd_);
    if (pgothic_) DeleteObject(pgothic_);
  }

  HWND handle() const { return hwnd_; }
  std::string Caption() const override { return caption_; }
  int Left() const override { return Outer().left; }
  int Top() const override { return Outer().top; }
  void SetLeft(int left) override { MoveTo(left, Top()); }
  void SetTop(int top) override { MoveTo(Left(), top); }
  bool Visible() const override { return IsWindowVisible(hwnd_) != FALSE; }
  void Show() override {
    ShowWindow(hwnd_, SW_SHOW);
    UpdateWindow(hwnd_);
  }
  TControl* FindControl(const std::string& name) const override {
    const auto it = controls_.find(name);
    return it == controls_.end() ? nullptr : it->second.get();
  }

 protected:
  void EndSessionBlockChanged() override {
    // Advisory only: a system without it (or Wine, which does not keep it)
    // still sends the session's end.
    if (EndSessionBlock().empty()) {
      ShutdownBlockReasonDestroy(hwnd_);
    } else {
      ShutdownBlockReasonCreate(hwnd_, Wide(EndSessionBlock()).c_str());
    }
  }

 private:
  static void RegisterClass() {
    static const bool done = [] {
      WNDCLASSEXW wc{};
      wc.cbSize = sizeof wc;
      wc.lpfnWndProc = &Form::Proc;
      wc.hInstance = Instance();
      wc.hIcon = LoadIconW(Instance(), MAKEINTRESOURCEW(1));
      wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
      wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_3DFACE + 1);
      wc.lpszClassName = kFormClass;
      RegisterClassExW(&wc);
      return true;
    }();
    (void)done;
  }

  RECT Outer() const {
    RECT r{};
    GetWindowRect(hwnd_, &r);
    return r;
  }
  void MoveTo(int left, int top) {
    SetWindowPos(hwnd_, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  Peer* PeerOf(HWND hwnd) const {
    const auto it = by_handle_.find(hwnd);
    return it == by_handle_.end() ? nullptr : it->second;
  }

  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<Form*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
    switch (msg) {
      case WM_CLOSE:
        // The window stays up: the program decides when it ends.
        self->Close();
        return 0;
      case WM_QUERYENDSESSION:
        // Idle, agreed at once: what must be kept is written at
        // WM_ENDSESSION. During a run the system is asked to wait (its
        // shutdown screen shows the block reason) unless it cannot, and the
        // lines so far are kept in case the operator ends it anyway.
        self->QueryEndSession();
        if (self->EndSessionBlock().empty() || (lp & ENDSESSION_CRITICAL)) return TRUE;
        return FALSE;
      case WM_ENDSESSION:
        if (wp) {
          self->EndSession();
          EndLoopsIfTerminated();
        }
        return 0;
      case WM_COMMAND:
        self->OnCommand(LOWORD(wp), HIWORD(wp), reinterpret_cast<HWND>(lp));
        return 0;
      case WM_CTLCOLORSTATIC:
      case WM_CTLCOLORBTN: {
        auto dc = reinterpret_cast<HDC>(wp);
        const Peer* p = self->PeerOf(reinterpret_cast<HWND>(lp));
        SetTextColor(dc, p ? p->TextColour() : GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_3DFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_3DFACE));
      }
      case WM_ACTIVATE:
        if (LOWORD(wp) == WA_INACTIVE) {
          HWND f = GetFocus();
          if (f && IsChild(hwnd, f)) self->saved_focus_ = f;
        } else {
          HWND f = self->saved_focus_ ? self->saved_focus_ : self->first_focus_;
          if (f && IsWindow(f)) SetFocus(f);
          self->Activated();
        }
        return 0;
      default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
  }

  void OnCommand(int id, int code, HWND from) {
    if (!from) {
      // From dialog navigation: Esc is the cancel role's click; Enter clicks
      // the push button that has the focus, and nothing else.
      if (id == IDCANCEL && cancel_) cancel_->Click();
      if (id == IDOK) {
        if (auto* b = dynamic_cast<Button*>(PeerOf(GetFocus()))) b->Click();
      }
      return;
    }
    if (Peer* p = PeerOf(from)) p->Command(code);
  }

  HWND ParentOf(const layout::Control& c) const {
    return c.parent.empty() ? hwnd_ : HandleOf(controls_.at(c.parent).get());
  }

  HFONT FontOf(const layout::Control& c) {
    if (c.font != layout::Font::PGothic13) return font_;
    if (!pgothic_) {
      LOGFONTW lf{};
      lf.lfHeight = -Scaled(13);
      lf.lfWeight = FW_NORMAL;
      lf.lfCharSet = SHIFTJIS_CHARSET;
      lf.lfQuality = DEFAULT_QUALITY;
      lstrcpynW(lf.lfFaceName, L"\xFF2D\xFF33 \xFF30\x30B4\x30B7\x30C3\x30AF", LF_FACESIZE);
      pgothic_ = CreateFontIndirectW(&lf);
    }
    return pgothic_;
  }

  void Make(const layout::Control& c) {
    const HWND parent = ParentOf(c);
    const auto id = static_cast<UINT_PTR>(kFirstId + static_cast<int>(by_handle_.size()));
    DWORD style = WS_CHILD | WS_VISIBLE;
    DWORD ex_style = 0;
    const wchar_t* cls = L"STATIC";
    // The layout's edges at the system's dots per inch.
    const int left = Scaled(c.left), top = Scaled(c.top);
    const int width = Scaled(c.left + c.width) - left;
    const int closed_height = Scaled(c.top + c.height) - top;
    int height = closed_height;
    switch (c.kind) {
      case layout::Kind::Label:
        style |= c.right_aligned ? SS_RIGHT : SS_LEFTNOWORDWRAP;
        break;
      case layout::Kind::Button:
        cls = L"BUTTON";
        style |= BS_PUSHBUTTON;
        break;
      case layout::Kind::CheckBox:
        cls = L"BUTTON";
        style |= BS_AUTOCHECKBOX;
        break;
      case layout::Kind::GroupBox:
        cls = L"BUTTON";
        style |= BS_GROUPBOX;
        ex_style |= WS_EX_CONTROLPARENT;
        break;
      case layout::Kind::ComboBox:
        cls = L"COMBOBOX";
        style |= CBS_DROPDOWNLIST | WS_VSCROLL;
        height += Scaled(kListDrop);
        break;
      case layout::Kind::SpeedButton:
        cls = L"BUTTON";
        style |= BS_CHECKBOX | BS_PUSHLIKE;
        break;
    }
    if (c.tab_order >= 0 && c.kind != layout::Kind::GroupBox) style |= WS_TABSTOP;
    const HWND hwnd = CreateWindowExW(ex_style, cls, L"", style, left, top, width, height, parent,
                                      reinterpret_cast<HMENU>(id), Instance(), nullptr);
    SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(FontOf(c)), FALSE);

    std::unique_ptr<TControl> control;
    Peer* peer = nullptr;
    switch (c.kind) {
      case layout::Kind::Label: {
        auto l =
            std::make_unique<Label>(hwnd, c.auto_size, c.max_width > 0 ? Scaled(c.max_width) : 0,
                                    c.grows, c.right_aligned, c.font == layout::Font::PGothic13);
        l->SetCaption(c.text);
        peer = l.get();
        control = std::move(l);
        break;
      }
      case layout::Kind::Button: {
        auto b = std::make_unique<Button>(hwnd);
        b->SetCaption(c.text);
        if (c.cancel_role) cancel_ = b.get();
        peer = b.get();
        control = std::move(b);
        break;
      }
      case layout::Kind::CheckBox: {
        SetWindowTextW(hwnd, Wide(c.text).c_str());
        auto b = std::make_unique<CheckBox>(hwnd);
        peer = b.get();
        control = std::move(b);
        break;
      }
      case layout::Kind::GroupBox: {
        SetWindowTextW(hwnd, Wide(c.text).c_str());
        SetWindowLongPtrW(
            hwnd, GWLP_USERDATA,
            SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&GroupProc)));
        auto g = std::make_unique<GroupBox>(hwnd);
        peer = g.get();
        control = std::move(g);
        break;
      }
      case layout::Kind::ComboBox: {
        auto list = std::make_unique<ComboBox>(hwnd, c.items);
        // The closed list is as high as the layout says. Its selection
        // field decides that height; how the two relate differs between
        // implementations, so the field is corrected until the height fits.
        int field =
            static_cast<int>(SendMessageW(hwnd, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0));
        for (int round = 0; round < 4 && field > 0; ++round) {
          RECT r{};
          GetWindowRect(hwnd, &r);
          const int off = closed_height - static_cast<int>(r.bottom - r.top);
          if (off == 0 || field + off <= 0) break;
          field += off;
          SendMessageW(hwnd, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
        }
        list->SetItemIndex(c.selected);
        peer = list.get();
        control = std::move(list);
        break;
      }
      case layout::Kind::SpeedButton: {
        auto b = std::make_unique<SpeedButton>(hwnd, c.group_index);
        std::vector<SpeedButton*>& group = groups_[c.group_index];
        group.push_back(b.get());
        b->members = &group;
        b->Tag = c.tag;
        b->SetCaption(c.text);
        if (c.down) b->SetDown(true);
        peer = b.get();
        control = std::move(b);
        break;
      }
    }
    control->Name = c.name;
    by_handle_[hwnd] = peer;
    controls_[c.name] = std::move(control);
  }

  HWND hwnd_ = nullptr;
  std::string caption_;
  HFONT font_ = nullptr;
  HFONT pgothic_ = nullptr;
  HWND first_focus_ = nullptr;
  HWND saved_focus_ = nullptr;
  Button* cancel_ = nullptr;
  std::map<std::string, std::unique_ptr<TControl>> controls_;
  std::map<HWND, Peer*> by_handle_;
  std::map<int, std::vector<SpeedButton*>> groups_;
};

}  // namespace

void RefreshDueCaptions() {
  if (g_refresh_timer) {
    KillTimer(nullptr, g_refresh_timer);
    g_refresh_timer = 0;
  }
  std::vector<Label*> due;
  due.swap(g_due_labels);
  for (Label* label : due) label->Refresh();
}

HWND HandleOf(const kelv::ui::TControl* control) {
  const auto* peer = dynamic_cast<const Peer*>(control);
  return peer ? peer->handle() : nullptr;
}

HWND HandleOf(const kelv::ui::TForm* form) {
  const auto* f = dynamic_cast<const Form*>(form);
  return f ? f->handle() : nullptr;
}

HWND MainWindow() {
  return g_main_window;
}

}  // namespace kelv::win32ui

namespace kelv::ui {

std::unique_ptr<TForm> CreateForm(const layout::Form& layout) {
  return std::make_unique<win32ui::Form>(layout);
}

}  // namespace kelv::ui
