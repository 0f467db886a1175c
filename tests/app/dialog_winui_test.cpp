// The receive dialog on the Win32 front end, as a real window (under Wine in
// the Windows stage), driven with window messages as the system would send
// them: the Win32 driver of the scenarios both front ends share
// (dialog_scenarios.cpp), and what only Win32 shows.
// The dialog first: windows.h defines macros named like the serial
// interface's constants.
#include "UnitRx.h"
// clang-format off
#include <windows.h>
// clang-format on
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dialog_driver.h"
#include "layout.h"
#include "sjis.h"
#include "widepath.h"
#include "win32front.h"
#include "winsys.h"

namespace {

using kelv::win32ui::HandleOf;
using kelv::win32ui::Narrow;
using kelv::win32ui::Wide;

constexpr DWORD kDeadlineMs = 10000;

std::string Text(HWND hwnd) {
  const int n = GetWindowTextLengthW(hwnd);
  std::wstring s(static_cast<size_t>(n) + 1, L'\0');
  GetWindowTextW(hwnd, s.data(), n + 1);
  s.resize(static_cast<size_t>(n));
  return Narrow(s);
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  return name;
}

// The system's dots per inch.
int Dpi() {
  const HDC dc = GetDC(nullptr);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(nullptr, dc);
  return dpi;
}

void Pump(DWORD ms = 50) {
  const DWORD end = GetTickCount() + ms;
  do {
    kelv::winsys::ProcessMessages();
    Sleep(1);
  } while (static_cast<LONG>(end - GetTickCount()) > 0);
}

constexpr wchar_t kMessageBox[] = L"#32770";
constexpr wchar_t kInputBox[] = L"KelvInputBox";

// Acts on the next modal window of one of `classes` this thread shows, from
// a timer that the box's own message loop runs. An expected box that has not
// come by the deadline fails the test.
class OnModal : public DialogDriver::BoxWatch {
 public:
  using Act = std::function<void(HWND, BoxWatch&)>;
  OnModal(std::vector<std::wstring> classes, Act act, bool expected = true)
      : classes_(std::move(classes)), act_(std::move(act)), expected_(expected) {
    current_ = this;
    start_ = GetTickCount();
    timer_ = SetTimer(nullptr, 0, 10, &OnModal::Tick);
  }
  ~OnModal() override {
    KillTimer(nullptr, timer_);
    current_ = nullptr;
  }

 private:
  static BOOL CALLBACK Find(HWND hwnd, LPARAM lp) {
    auto* self = reinterpret_cast<OnModal*>(lp);
    if (!IsWindowVisible(hwnd)) return TRUE;
    for (const std::wstring& cls : self->classes_) {
      if (ClassOf(hwnd) == cls) {
        self->found_ = hwnd;
        return FALSE;
      }
    }
    return TRUE;
  }
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    OnModal* self = current_;
    if (!self || self->seen || self->gave_up_) return;
    self->found_ = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &OnModal::Find, reinterpret_cast<LPARAM>(self));
    if (self->found_) {
      self->seen = true;
      self->title = Text(self->found_);
      self->act_(self->found_, *self);
    } else if (self->expected_ && GetTickCount() - self->start_ > kDeadlineMs) {
      self->gave_up_ = true;
      ADD_FAILURE() << "no modal box came";
    }
  }

  static inline OnModal* current_ = nullptr;
  std::vector<std::wstring> classes_;
  Act act_;
  bool expected_;
  UINT_PTR timer_ = 0;
  DWORD start_ = 0;
  bool gave_up_ = false;
  HWND found_ = nullptr;
};

// The text of a system message box (its static text control).
std::string BoxText(HWND box) {
  return Text(GetDlgItem(box, 0xFFFF));
}

class WinDriver : public DialogDriver {
 public:
  void Show(TRXDlg& d) override {
    d.Show();
    HWND w = HandleOf(d.Form.get());
    SetForegroundWindow(w);
    SetActiveWindow(w);
    Pump();
    if (!GetFocus()) SetFocus(HandleOf(d.CancelBtn));
  }
  void Focus(const kelv::ui::TControl* c) override { SetFocus(HandleOf(c)); }
  bool HasFocus(const kelv::ui::TControl* c) const override { return GetFocus() == HandleOf(c); }
  void Click(const kelv::ui::TControl* c) override { SendMessageW(HandleOf(c), BM_CLICK, 0, 0); }
  void RightClick(const kelv::ui::TSpeedButton* b) override {
    PostMessageW(HandleOf(b), WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(5, 5));
    PostMessageW(HandleOf(b), WM_RBUTTONUP, 0, MAKELPARAM(5, 5));
    Pump(200);
  }
  void CloseBox(TRXDlg& d) override {
    SendMessageW(HandleOf(d.Form.get()), WM_SYSCOMMAND, SC_CLOSE, 0);
  }

  std::unique_ptr<BoxWatch> OnMessageBox(std::function<void()> when_up) override {
    return std::make_unique<OnModal>(std::vector<std::wstring>{kMessageBox},
                                     [when_up](HWND w, BoxWatch& box) {
                                       box.text = BoxText(w);
                                       if (when_up) when_up();
                                       PostMessageW(w, WM_COMMAND, IDOK, 0);
                                     });
  }
  std::unique_ptr<BoxWatch> OnRenameBox(const char* type) override {
    return std::make_unique<OnModal>(
        std::vector<std::wstring>{kInputBox}, [type](HWND w, BoxWatch& box) {
          HWND edit = FindWindowExW(w, nullptr, L"Edit", nullptr);
          box.text = Text(edit);
          if (type) SetWindowTextW(edit, kelv::fileio::WideFromUtf8(type).c_str());
          PostMessageW(w, WM_COMMAND, type ? IDOK : IDCANCEL, 0);
        });
  }
  std::unique_ptr<BoxWatch> OnAnyBox() override {
    return std::make_unique<OnModal>(
        std::vector<std::wstring>{kMessageBox, kInputBox},
        [](HWND w, BoxWatch&) { PostMessageW(w, WM_COMMAND, IDCANCEL, 0); }, false);
  }
  std::unique_ptr<BoxWatch> OnQuestionBox(char key, std::function<void()> when_up) override {
    return std::make_unique<OnModal>(
        std::vector<std::wstring>{kMessageBox}, [key, when_up](HWND w, BoxWatch& box) {
          box.text = BoxText(w);
          for (const int id : {IDYES, IDNO}) {
            const HWND b = GetDlgItem(w, id);
            box.buttons.push_back(Text(b));
            // Drawn as the default, and what Enter presses.
            if ((GetWindowLongW(b, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
              box.default_button = Text(b);
            }
          }
          if (when_up) when_up();
          // To the box's focused button, as the keyboard delivers it.
          HWND to = GetFocus();
          if (!to || GetAncestor(to, GA_ROOT) != w) to = w;
          PostMessageW(to, WM_KEYDOWN, static_cast<WPARAM>(key), 1);
          PostMessageW(to, WM_CHAR, static_cast<WPARAM>(key | 0x20), 1);
          PostMessageW(to, WM_KEYUP, static_cast<WPARAM>(key), static_cast<LPARAM>(0xC0000001));
        });
  }
  void EndSession(TestDlg& d) override {
    const HWND w = HandleOf(d.Form.get());
    EXPECT_EQ(SendMessageW(w, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
    SendMessageW(w, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
  }
  bool QueryEndSession(TestDlg& d) override {
    return SendMessageW(HandleOf(d.Form.get()), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF) != FALSE;
  }
  bool SleepHeld() override {
    // No flag without ES_CONTINUOUS changes nothing that lasts: a query.
    const EXECUTION_STATE s = SetThreadExecutionState(0);
    return (s & ES_CONTINUOUS) && (s & ES_SYSTEM_REQUIRED);
  }
  std::string ProgramTitle() const override { return "test_winui"; }

  std::string Title(const TRXDlg& d) const override { return Text(HandleOf(d.Form.get())); }
  bool Showing(const TRXDlg& d) const override {
    return IsWindowVisible(HandleOf(d.Form.get())) != FALSE;
  }
  std::pair<int, int> Corner(const TRXDlg& d) const override {
    RECT r{};
    GetWindowRect(HandleOf(d.Form.get()), &r);
    return {r.left, r.top};
  }
  std::pair<int, int> ClientSize(const TRXDlg& d) const override {
    RECT r{};
    GetClientRect(HandleOf(d.Form.get()), &r);
    return {r.right, r.bottom};
  }
  Frame FrameOf(const TRXDlg& d) const override {
    const LONG style = GetWindowLongW(HandleOf(d.Form.get()), GWL_STYLE);
    return {(style & WS_SYSMENU) != 0, (style & WS_MINIMIZEBOX) != 0, (style & WS_MAXIMIZEBOX) != 0,
            (style & WS_THICKFRAME) != 0};
  }
  WindowId Id(const TRXDlg& d) const override { return HandleOf(d.Form.get()); }
  WindowId Id(const kelv::ui::TControl* c) const override { return HandleOf(c); }
  // In the order of the windows, which is the order they were made in.
  std::vector<WindowId> Children(WindowId parent) const override {
    std::vector<WindowId> out;
    for (HWND h = GetWindow(static_cast<HWND>(const_cast<void*>(parent)), GW_CHILD); h;
         h = GetWindow(h, GW_HWNDNEXT)) {
      out.push_back(h);
    }
    return out;
  }
  Rect Place(const kelv::ui::TControl* c) const override {
    kelv::win32ui::RefreshDueCaptions();
    const HWND h = HandleOf(c);
    RECT r{};
    GetWindowRect(h, &r);
    MapWindowPoints(nullptr, GetParent(h), reinterpret_cast<POINT*>(&r), 2);
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
  }
  int Scaled(int pixels_at_96) const override { return MulDiv(pixels_at_96, Dpi(), 96); }
  // A drop-down list's window text is its selected item.
  // What the window shows once a caption refresh that is due has come.
  std::string Shown(const kelv::ui::TControl* c) const override {
    kelv::win32ui::RefreshDueCaptions();
    return Text(HandleOf(c));
  }
  // The text is the window's once its refresh came; drawn once no paint of
  // it is pending.
  std::string OnScreen(const kelv::ui::TLabel* l) const override {
    const HWND h = HandleOf(l);
    if (Text(h) != l->Caption() || GetUpdateRect(h, nullptr, FALSE)) return "<paint pending>";
    return Text(h);
  }
  // The control's face at the height the system gives it at `dpi`.
  int TextWidth(const kelv::ui::TControl* c, const std::string& text, int dpi) const override {
    LOGFONTW lf{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(HandleOf(c), WM_GETFONT, 0, 0)), sizeof lf,
               &lf);
    lf.lfHeight = MulDiv(lf.lfHeight, dpi, Dpi());
    const HFONT font = CreateFontIndirectW(&lf);
    const HDC dc = GetDC(nullptr);
    const HGDIOBJ old = SelectObject(dc, font);
    RECT r{0, 0, 0, 0};
    const std::wstring w = Wide(text);
    DrawTextW(dc, w.c_str(), static_cast<int>(w.size()), &r, DT_CALCRECT | DT_SINGLELINE);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    DeleteObject(font);
    return r.right - r.left;
  }
  std::vector<std::string> Items(const kelv::ui::TComboBox* c) const override {
    const HWND h = HandleOf(c);
    std::vector<std::string> out;
    const auto n = static_cast<int>(SendMessageW(h, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
      std::wstring item(static_cast<size_t>(SendMessageW(h, CB_GETLBTEXTLEN, i, 0)) + 1, L'\0');
      SendMessageW(h, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()));
      item.resize(item.size() - 1);
      out.push_back(Narrow(item));
    }
    return out;
  }
  bool Down(const kelv::ui::TControl* c) const override {
    return SendMessageW(HandleOf(c), BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  bool Showing(const kelv::ui::TControl* c) const override {
    return IsWindowVisible(HandleOf(c)) != FALSE;
  }

 protected:
  // Posted as the keyboard would post it; a modifier is held in the thread's
  // key state, where the pump looks for it.
  void PressKey(Key key, Held held) override {
    // In the order of DialogDriver::Key; the keypad's Enter is the extended one.
    static const UINT kKeys[] = {VK_ESCAPE, VK_RETURN, VK_RETURN, VK_SPACE, VK_TAB, VK_DOWN};
    const UINT vk = kKeys[static_cast<int>(key)];
    const LPARAM extended = key == Key::KeypadEnter ? 1 << 24 : 0;
    const int modifier = held == Held::Shift ? VK_SHIFT : held == Held::Ctrl ? VK_CONTROL : 0;
    BYTE keys[256] = {};
    if (modifier) {
      GetKeyboardState(keys);
      keys[modifier] |= 0x80;
      SetKeyboardState(keys);
    }
    HWND to = GetFocus();
    PostMessageW(to, WM_KEYDOWN, vk, 1 | extended);
    if (vk == VK_SPACE) PostMessageW(to, WM_CHAR, L' ', 1);
    PostMessageW(to, WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001) | extended);
    Pump();
    if (modifier) {
      keys[modifier] &= 0x7F;
      SetKeyboardState(keys);
    }
  }
};

class WinDialog : public ::testing::Test {
 protected:
  WinDriver ui;
};

// Each control is the system control that draws it, in its parent.
TEST_F(WinDialog, SystemControls) {
  auto d = ui.Make();
  ASSERT_NE(HandleOf(d->Form.get()), nullptr);
  const struct {
    kelv::ui::TControl* c;
    const wchar_t* cls;
  } controls[] = {
      {d->Label2, L"Static"},          {d->Label3, L"Static"},
      {d->Label4, L"Static"},          {d->CancelBtn, L"Button"},
      {d->CheckBox1, L"Button"},       {d->GroupBox1, L"Button"},
      {d->Label7, L"Static"},          {d->SpeedButton1, L"Button"},
      {d->SpeedButton2, L"Button"},    {d->SpeedButton3, L"Button"},
      {d->SpeedButton4, L"Button"},    {d->Label8, L"Static"},
      {d->ComboComPort, L"ComboBox"},  {d->ComboComBaudRate, L"ComboBox"},
      {d->ComboBoxStart, L"ComboBox"}, {d->ComboBoxCodeType, L"ComboBox"},
  };
  for (const auto& c : controls) {
    HWND h = HandleOf(c.c);
    ASSERT_NE(h, nullptr) << c.c->Name;
    EXPECT_EQ(_wcsicmp(ClassOf(h).c_str(), c.cls), 0) << c.c->Name;
  }
  // The settings are children of the group, the rest of the form.
  EXPECT_EQ(GetParent(HandleOf(d->ComboComPort)), HandleOf(d->GroupBox1));
  EXPECT_EQ(GetParent(HandleOf(d->Label1)), HandleOf(d->Form.get()));
}

// A session's end that the system will not wait for is not refused, even
// during a run.
TEST_F(WinDialog, CriticalSessionEndDuringARun) {
  auto d = ui.Make();
  d->run = [&] {
    const LPARAM critical = ENDSESSION_CRITICAL | ENDSESSION_LOGOFF;
    EXPECT_EQ(SendMessageW(HandleOf(d->Form.get()), WM_QUERYENDSESSION, 0, critical), TRUE);
  };
  ui.Click(d->CancelBtn);
  EXPECT_EQ(d->runs, 1);
}

// A label that changes with every line received is set, measured and
// painted at most every 200 ms; the last caption comes with the next refresh.
TEST_F(WinDialog, LabelRefreshedAtMostEvery200Ms) {
  auto d = ui.Make();
  ui.Show(*d);
  static int set_texts = 0;
  static WNDPROC original = nullptr;
  const HWND h = HandleOf(d->Label1);
  original = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
      h, GWLP_WNDPROC,
      reinterpret_cast<LONG_PTR>(+[](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
        if (m == WM_SETTEXT) ++set_texts;
        return CallWindowProcW(original, w, m, wp, lp);
      })));
  const DWORD start = GetTickCount();
  for (int i = 1; i <= 200; ++i) d->Label1->SetCaption(std::to_string(i));
  const DWORD took = GetTickCount() - start;
  EXPECT_LE(set_texts, static_cast<int>(took / 200) + 2) << "in " << took << " ms";
  EXPECT_EQ(d->Label1->Caption(), "200");
  const DWORD deadline = GetTickCount() + kDeadlineMs;
  while (Text(h) != "200" && GetTickCount() < deadline) Pump(10);
  EXPECT_EQ(Text(h), "200");
  SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
}

// The system's own dialog navigation runs the tab order the Tab key does.
TEST_F(WinDialog, TabOrderOfTheSystem) {
  auto d = ui.Make();
  ui.Show(*d);
  HWND w = HandleOf(d->Form.get());
  const kelv::ui::TControl* chain[] = {d->CheckBox1,     d->ComboComPort,     d->ComboComBaudRate,
                                       d->ComboBoxStart, d->ComboBoxCodeType, d->CancelBtn};
  HWND at = HandleOf(d->CancelBtn);
  for (const kelv::ui::TControl* want : chain) {
    at = GetNextDlgTabItem(w, at, FALSE);
    EXPECT_EQ(at, HandleOf(want)) << want->Name;
  }
}

// Every caption of the layout, and each state of the start button, shown
// whole in a face of the Japanese character set, at the system's dots per inch
// (the Windows stage runs this again at 120 with a Latin message font).
TEST_F(WinDialog, CaptionsFitInAJapaneseFace) {
  if (const char* want = std::getenv("KELV_TEST_DPI")) {
    ASSERT_EQ(Dpi(), std::atoi(want)) << "the dots per inch the stage set";
  }
  auto d = ui.Make();
  const int edge = GetSystemMetrics(SM_CXEDGE);
  const auto room = [&](const kelv::layout::Control& c, HWND h) -> LONG {
    RECT r{};
    GetClientRect(h, &r);
    switch (c.kind) {
      case kelv::layout::Kind::Label:
        return r.right;
      case kelv::layout::Kind::Button:
      case kelv::layout::Kind::SpeedButton:
        return r.right - 4 * edge;
      case kelv::layout::Kind::CheckBox:
        return r.right - GetSystemMetrics(SM_CXMENUCHECK) - ui.Scaled(4);
      case kelv::layout::Kind::GroupBox:
        return r.right - 2 * ui.Scaled(8);
      case kelv::layout::Kind::ComboBox: {
        COMBOBOXINFO info{};
        info.cbSize = sizeof info;
        GetComboBoxInfo(h, &info);
        return info.rcItem.right - info.rcItem.left;
      }
    }
    return 0;
  };
  std::vector<std::pair<const kelv::layout::Control*, std::string>> captions;
  for (const kelv::layout::Control& c : kelv::layout::RXDlg().controls) {
    if (!c.text.empty()) captions.emplace_back(&c, c.text);
    for (const std::string& item : c.items) captions.emplace_back(&c, item);
  }
  const kelv::layout::Control* cancel = kelv::layout::RXDlg().Find("CancelBtn");
  captions.emplace_back(cancel, kelv::Sjis("キャンセル"));
  captions.emplace_back(cancel, kelv::Sjis("閉じる"));
  for (const auto& [c, text] : captions) {
    SCOPED_TRACE(c->name + " " + kelv::SjisToUtf8(text));
    HWND h = HandleOf(d->Form->FindControl(c->name));
    ASSERT_NE(h, nullptr);
    const HDC dc = GetDC(h);
    const HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(h, WM_GETFONT, 0, 0)));
    const std::wstring wide = Wide(text);
    RECT need{};
    DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &need, DT_CALCRECT | DT_SINGLELINE);
    EXPECT_EQ(GetTextCharset(dc), SHIFTJIS_CHARSET);
    SelectObject(dc, old);
    ReleaseDC(h, dc);
    EXPECT_LE(need.right, room(*c, h));
  }
}

// What the rename box lets through, counted in code page 932 bytes.
TEST_F(WinDialog, RenameBoxLimit) {
  auto d = ui.Make();
  ui.Show(*d);
  const std::string long_caption(300, 'x');
  d->SpeedButton2->SetCaption(long_caption);
  std::string shown, after_typing;
  OnModal box({kInputBox}, [&](HWND w, DialogDriver::BoxWatch&) {
    HWND edit = FindWindowExW(w, nullptr, L"Edit", nullptr);
    shown = Text(edit);  // the whole caption, even beyond the limit
    SetWindowTextW(edit, Wide(std::string(254, 'a')).c_str());
    SendMessageW(edit, EM_SETSEL, 254, 254);
    // A double-byte character no longer fits after 254 bytes; a single one
    // does; one the code page lacks is never taken.
    SendMessageW(edit, WM_CHAR, 0x8868 /* 表 */, 1);
    SendMessageW(edit, WM_CHAR, 0xAC00 /* hangul */, 1);
    SendMessageW(edit, WM_CHAR, L'b', 1);
    SendMessageW(edit, WM_CHAR, L'c', 1);
    after_typing = Text(edit);
    PostMessageW(w, WM_COMMAND, IDOK, 0);
  });
  ui.RightClick(d->SpeedButton2);
  EXPECT_TRUE(box.seen);
  EXPECT_EQ(shown, long_caption);
  EXPECT_EQ(after_typing, std::string(254, 'a') + "b");
  EXPECT_EQ(d->SpeedButton2->Caption(), std::string(254, 'a') + "b");
}

}  // namespace

std::unique_ptr<DialogDriver> MakeDialogDriver() {
  return std::make_unique<WinDriver>();
}
