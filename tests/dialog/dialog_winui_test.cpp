// The receive dialog on the Win32 front end, as a real window (under Wine in
// the Windows stage): the same behaviour the Qt tests hold the Linux dialog
// to, driven with window messages as the system would send them.
// The dialog first: windows.h defines macros named like the serial
// interface's constants.
#include "UnitRx.h"
// clang-format off
#include <windows.h>
// clang-format on
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "apperror.h"
#include "sjis.h"
#include "testdlg.h"
#include "widepath.h"
#include "win32front.h"
#include "winsys.h"

namespace {

// The item a list shows as selected.
std::string Shown(const kelv::ui::TComboBox* c) {
  return c->ItemIndex() < 0 ? std::string() : c->Item(c->ItemIndex());
}

using kelv::Sjis;
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

// A window's place in its parent's client area.
RECT Place(HWND hwnd) {
  RECT r{};
  GetWindowRect(hwnd, &r);
  MapWindowPoints(nullptr, GetParent(hwnd), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

void Pump(DWORD ms = 50) {
  const DWORD end = GetTickCount() + ms;
  do {
    kelv::winsys::ProcessMessages();
    Sleep(1);
  } while (static_cast<LONG>(end - GetTickCount()) > 0);
}

// A key as the keyboard would deliver it to the focused window.
void Key(UINT vk) {
  HWND to = GetFocus();
  PostMessageW(to, WM_KEYDOWN, vk, 1);
  if (vk == VK_SPACE) PostMessageW(to, WM_CHAR, L' ', 1);
  PostMessageW(to, WM_KEYUP, vk, 0xC0000001);
  Pump();
}

// Acts on the next modal window of `cls` this thread shows, from a timer that
// the box's own message loop runs; gives up (closing it) after the deadline.
class OnModal {
 public:
  OnModal(const wchar_t* cls, std::function<void(HWND)> act) : cls_(cls), act_(std::move(act)) {
    current_ = this;
    start_ = GetTickCount();
    timer_ = SetTimer(nullptr, 0, 10, &OnModal::Tick);
  }
  ~OnModal() {
    KillTimer(nullptr, timer_);
    current_ = nullptr;
  }
  bool seen() const { return seen_; }

 private:
  static BOOL CALLBACK Find(HWND hwnd, LPARAM lp) {
    auto* self = reinterpret_cast<OnModal*>(lp);
    if (IsWindowVisible(hwnd) && ClassOf(hwnd) == self->cls_) {
      self->found_ = hwnd;
      return FALSE;
    }
    return TRUE;
  }
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    OnModal* self = current_;
    if (!self || self->seen_) return;
    self->found_ = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &OnModal::Find, reinterpret_cast<LPARAM>(self));
    if (self->found_) {
      self->seen_ = true;
      self->act_(self->found_);
    } else if (GetTickCount() - self->start_ > kDeadlineMs) {
      self->seen_ = true;
      ADD_FAILURE() << "no modal box came";
    }
  }

  static inline OnModal* current_ = nullptr;
  std::wstring cls_;
  std::function<void(HWND)> act_;
  UINT_PTR timer_ = 0;
  DWORD start_ = 0;
  bool seen_ = false;
  HWND found_ = nullptr;
};

constexpr wchar_t kMessageBox[] = L"#32770";
constexpr wchar_t kInputBox[] = L"KelvInputBox";

// The text of a system message box (its static text control).
std::string BoxText(HWND box) {
  return Text(GetDlgItem(box, 0xFFFF));
}

class WinDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    const std::filesystem::path p =
        std::filesystem::path(tmp) /
        (L"kelvwinui" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++serial_));
    std::filesystem::create_directories(p);
    dir_path_ = p;
    dir_ = kelv::fileio::Utf8FromWide(p.wstring()) + "\\";
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_path_, ec);
  }

  std::unique_ptr<TestDlg> Make(std::vector<std::string> args = {}) {
    return std::make_unique<TestDlg>(std::move(args), dir_);
  }
  void Show(TRXDlg& d) {
    d.Show();
    HWND w = HandleOf(d.Form.get());
    SetForegroundWindow(w);
    SetActiveWindow(w);
    Pump();
    if (!GetFocus()) SetFocus(HandleOf(d.CancelBtn));
  }
  std::filesystem::path Ini() const { return dir_path_ / L"Kelv.ini"; }
  void WriteIni(const std::string& content) { std::ofstream(Ini(), std::ios::binary) << content; }
  std::string ReadIni() {
    std::ifstream in(Ini(), std::ios::binary);
    if (!in) return "<missing>";
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  static inline int serial_ = 0;
  std::filesystem::path dir_path_;
  std::string dir_;
};

TEST_F(WinDialog, WindowAndLayout) {
  auto d = Make();
  HWND w = HandleOf(d->Form.get());
  ASSERT_NE(w, nullptr);
  EXPECT_FALSE(IsWindowVisible(w));
  EXPECT_EQ(Text(w), Sjis("データ受信"));
  RECT client{};
  GetClientRect(w, &client);
  EXPECT_EQ(client.right, 423);
  EXPECT_EQ(client.bottom, 223);
  const LONG style = GetWindowLongW(w, GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));

  const struct {
    kelv::ui::TControl* c;
    const wchar_t* cls;
    RECT r;  // left, top, right, bottom in the parent
  } places[] = {
      {d->Label2, L"Static", {11, 30, 293, 53}},
      {d->Label3, L"Static", {11, 50, 293, 70}},
      {d->Label4, L"Static", {11, 69, 293, 91}},
      {d->CancelBtn, L"Button", {325, 16, 406, 49}},
      {d->CheckBox1, L"Button", {325, 67, 403, 86}},
      {d->GroupBox1, L"Button", {17, 104, 408, 218}},
      {d->Label7, L"Static", {147, 26, 195, 39}},
      {d->SpeedButton1, L"Button", {156, 52, 270, 76}},
      {d->SpeedButton2, L"Button", {269, 52, 382, 76}},
      {d->SpeedButton3, L"Button", {156, 78, 270, 102}},
      {d->SpeedButton4, L"Button", {269, 78, 382, 102}},
      {d->Label8, L"Static", {9, 78, 60, 91}},
      {d->ComboComPort, L"ComboBox", {69, 17, 140, 38}},
      {d->ComboComBaudRate, L"ComboBox", {69, 43, 140, 64}},
      {d->ComboBoxStart, L"ComboBox", {208, 17, 381, 38}},
      {d->ComboBoxCodeType, L"ComboBox", {69, 69, 140, 90}},
  };
  for (const auto& p : places) {
    HWND h = HandleOf(p.c);
    ASSERT_NE(h, nullptr) << p.c->Name;
    EXPECT_EQ(_wcsicmp(ClassOf(h).c_str(), p.cls), 0) << p.c->Name;
    const RECT r = Place(h);
    EXPECT_EQ(r.left, p.r.left) << p.c->Name;
    EXPECT_EQ(r.top, p.r.top) << p.c->Name;
    EXPECT_EQ(r.right, p.r.right) << p.c->Name;
    EXPECT_EQ(r.bottom, p.r.bottom) << p.c->Name;
  }
  // The settings are children of the group, the rest of the form.
  EXPECT_EQ(GetParent(HandleOf(d->ComboComPort)), HandleOf(d->GroupBox1));
  EXPECT_EQ(GetParent(HandleOf(d->Label1)), w);
  // Label1 follows its text; the right-aligned labels keep their right edge.
  EXPECT_EQ(Place(HandleOf(d->Label1)).left, 9);
  EXPECT_GT(Place(HandleOf(d->Label1)).right, 9 + 100);
  EXPECT_EQ(Place(HandleOf(d->Label5)).right, 60);
  EXPECT_EQ(Place(HandleOf(d->Label6)).right, 61);
  EXPECT_EQ(SendMessageW(HandleOf(d->ComboComPort), CB_GETCOUNT, 0, 0), 7);
  EXPECT_EQ(SendMessageW(HandleOf(d->ComboBoxStart), CB_GETCOUNT, 0, 0), 4);
}

TEST_F(WinDialog, StartUpWithoutSettingsFile) {
  auto d = Make();
  EXPECT_EQ(d->Form->Left(), 0);
  EXPECT_EQ(d->Form->Top(), 0);
  EXPECT_EQ(Text(HandleOf(d->Label1)), Sjis("受信開始ボタンを押してください"));
  EXPECT_EQ(Text(HandleOf(d->CancelBtn)), Sjis("受信開始"));
  EXPECT_EQ(Shown(d->ComboComPort), "COM1");
  EXPECT_EQ(Shown(d->ComboComBaudRate), "600");
  EXPECT_EQ(Shown(d->ComboBoxStart), Sjis("％で開始、％で終了"));
  EXPECT_EQ(Shown(d->ComboBoxCodeType), "ISO");
  EXPECT_EQ(SendMessageW(HandleOf(d->SpeedButton1), BM_GETCHECK, 0, 0), BST_CHECKED);
  const kelv::ui::TSpeedButton* buttons[] = {d->SpeedButton1, d->SpeedButton2, d->SpeedButton3,
                                             d->SpeedButton4};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Text(HandleOf(buttons[i])), std::to_string(i + 1));
  EXPECT_EQ(ReadIni(), "<missing>");  // reading creates nothing

  Show(*d);
  EXPECT_EQ(GetFocus(), HandleOf(d->CancelBtn));
  // Tab runs through the start button, the check box and the four lists.
  HWND w = HandleOf(d->Form.get());
  const kelv::ui::TControl* chain[] = {d->CheckBox1,     d->ComboComPort,     d->ComboComBaudRate,
                                       d->ComboBoxStart, d->ComboBoxCodeType, d->CancelBtn};
  HWND at = HandleOf(d->CancelBtn);
  for (const kelv::ui::TControl* want : chain) {
    at = GetNextDlgTabItem(w, at, FALSE);
    EXPECT_EQ(at, HandleOf(want)) << want->Name;
  }
  // The Tab key itself, through the program's message pump.
  for (const kelv::ui::TControl* want : chain) {
    Key(VK_TAB);
    EXPECT_EQ(GetFocus(), HandleOf(want)) << want->Name;
  }
}

TEST_F(WinDialog, PositionArgument) {
  WriteIni("[Set]\r\nActive=1\r\n");
  const struct {
    std::vector<std::string> args;
    POINT want;
  } cases[] = {
      {{}, {0, 0}},          {{"120,80"}, {120, 80}},
      {{"300"}, {0, 300}},   {{"10,20,30"}, {10, 30}},
      {{"10,x,30"}, {0, 0}}, {{"0x64,0xC8"}, {100, 200}},
  };
  for (const auto& c : cases) {
    auto d = Make(c.args);
    const std::string arg = c.args.empty() ? "(none)" : c.args[0];
    RECT r{};
    GetWindowRect(HandleOf(d->Form.get()), &r);
    EXPECT_EQ(r.left, c.want.x) << arg;
    EXPECT_EQ(r.top, c.want.y) << arg;
    EXPECT_TRUE(d->SpeedButton2->Down()) << arg;
  }
}

TEST_F(WinDialog, KeysAtStartUp) {
  const struct {
    const char* name;
    UINT vk;
    bool focus_checkbox;
    bool starts;
  } cases[] = {
      {"Esc", VK_ESCAPE, false, true},
      {"Esc on the check box", VK_ESCAPE, true, true},
      {"Enter", VK_RETURN, false, true},
      {"Space", VK_SPACE, false, true},
      {"Enter on the check box", VK_RETURN, true, false},
  };
  for (const auto& c : cases) {
    auto d = Make();
    Show(*d);
    if (c.focus_checkbox) SetFocus(HandleOf(d->CheckBox1));
    Key(c.vk);
    EXPECT_EQ(d->runs, c.starts ? 1 : 0) << c.name;
    EXPECT_EQ(Text(HandleOf(d->CancelBtn)), c.starts ? Sjis("キャンセル") : Sjis("受信開始"))
        << c.name;
    EXPECT_EQ(IsWindowVisible(HandleOf(d->GroupBox1)) != FALSE, !c.starts) << c.name;
    if (c.starts) {
      EXPECT_EQ(Text(HandleOf(d->Label1)), Sjis("受信待機中です。NC側の送信を開始して下さい"));
    }
  }
}

TEST_F(WinDialog, EscInEachStateAndTheCloseBox) {
  auto d = Make();
  Show(*d);
  d->run = [&] {
    Key(VK_ESCAPE);  // the run handles events: this is the cancel click
    EXPECT_TRUE(d->Cancelled);
    d->CancelBtn->SetCaption(Sjis("閉じる"));
  };
  Key(VK_ESCAPE);
  EXPECT_EQ(d->runs, 1);
  EXPECT_EQ(d->quits, 0);
  Key(VK_ESCAPE);  // "閉じる": saves and ends the program
  EXPECT_EQ(d->quits, 1);
  EXPECT_EQ(ReadIni(), kFreshFile);
  EXPECT_TRUE(IsWindowVisible(HandleOf(d->Form.get())));
  // The close box does the same, and the window stays until the program ends.
  SendMessageW(HandleOf(d->Form.get()), WM_SYSCOMMAND, SC_CLOSE, 0);
  Pump();
  EXPECT_EQ(d->quits, 2);
  EXPECT_TRUE(IsWindow(HandleOf(d->Form.get())));
}

TEST_F(WinDialog, CheckBoxClearsTheDisplay) {
  auto d = Make();
  Show(*d);
  for (auto* l : {d->Label2, d->Label3, d->Label4}) l->SetCaption("N10 G00");
  SendMessageW(HandleOf(d->CheckBox1), BM_CLICK, 0, 0);
  EXPECT_TRUE(d->CheckBox1->Checked());
  for (auto* l : {d->Label2, d->Label3, d->Label4}) EXPECT_EQ(Text(HandleOf(l)), "");
  d->Label4->SetCaption("N20");
  SendMessageW(HandleOf(d->CheckBox1), BM_CLICK, 0, 0);
  EXPECT_FALSE(d->CheckBox1->Checked());
  EXPECT_EQ(Text(HandleOf(d->Label4)), "N20");
}

TEST_F(WinDialog, RenameByRightButton) {
  const struct {
    const char* name;
    const char* type;  // nullptr: cancel
    const char* want;
  } cases[] = {{"OK", "ABC", "ABC"},
               {"OK empty", "", ""},
               {"cancel", nullptr, "3"},
               {"Japanese", "荒加工", "荒加工"},
               // Set as the JIS form of the wave dash, stored as the code page's.
               {"wave dash",
                "1\xE3\x80\x9C"
                "2",
                "1～2"}};
  for (const auto& c : cases) {
    std::filesystem::remove(Ini());
    auto d = Make();
    Show(*d);
    std::string shown, title;
    OnModal box(kInputBox, [&](HWND w) {
      title = Text(w);
      HWND edit = FindWindowExW(w, nullptr, L"Edit", nullptr);
      shown = Text(edit);
      if (c.type) SetWindowTextW(edit, kelv::fileio::WideFromUtf8(c.type).c_str());
      PostMessageW(w, WM_COMMAND, c.type ? IDOK : IDCANCEL, 0);
    });
    HWND b3 = HandleOf(d->SpeedButton3);
    PostMessageW(b3, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(5, 5));
    PostMessageW(b3, WM_RBUTTONUP, 0, MAKELPARAM(5, 5));
    Pump(200);
    EXPECT_TRUE(box.seen()) << c.name;
    EXPECT_EQ(title, Sjis("ボタン名変更")) << c.name;
    EXPECT_EQ(shown, "3") << c.name;
    EXPECT_EQ(Text(b3), Sjis(c.want)) << c.name;
    EXPECT_TRUE(d->SpeedButton1->Down()) << c.name;
    EXPECT_FALSE(d->SpeedButton3->Down()) << c.name;
    EXPECT_EQ(d->ActivePreset, 0) << c.name;
    d->Form->Close();
    EXPECT_NE(ReadIni().find("\r\nName3=" + Sjis(c.want) + "\r\n"), std::string::npos) << c.name;
  }
}

// What the rename box lets through, counted in code page 932 bytes.
TEST_F(WinDialog, RenameBoxLimit) {
  auto d = Make();
  Show(*d);
  const std::string long_caption(300, 'x');
  d->SpeedButton2->SetCaption(long_caption);
  std::string shown, after_typing;
  OnModal box(kInputBox, [&](HWND w) {
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
  HWND b2 = HandleOf(d->SpeedButton2);
  PostMessageW(b2, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(5, 5));
  Pump(200);
  EXPECT_TRUE(box.seen());
  EXPECT_EQ(shown, long_caption);
  EXPECT_EQ(after_typing, std::string(254, 'a') + "b");
  EXPECT_EQ(d->SpeedButton2->Caption(), std::string(254, 'a') + "b");
}

TEST_F(WinDialog, PresetSwitchEditSwitchBack) {
  auto d = Make();
  Show(*d);
  SendMessageW(HandleOf(d->SpeedButton2), BM_CLICK, 0, 0);
  EXPECT_EQ(d->ActivePreset, 1);
  EXPECT_TRUE(d->SpeedButton2->Down());
  EXPECT_FALSE(d->SpeedButton1->Down());
  // The operator picks 1200: the list tells its parent, as a click would.
  HWND baud = HandleOf(d->ComboComBaudRate);
  SendMessageW(baud, CB_SETCURSEL, 1, 0);
  SendMessageW(GetParent(baud), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(baud), CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(baud));
  EXPECT_EQ(d->Presets[1].BaudIndex, 1);
  SendMessageW(HandleOf(d->SpeedButton1), BM_CLICK, 0, 0);
  EXPECT_EQ(Shown(d->ComboComBaudRate), "600");
  SendMessageW(HandleOf(d->SpeedButton2), BM_CLICK, 0, 0);
  EXPECT_EQ(Shown(d->ComboComBaudRate), "1200");
  SendMessageW(HandleOf(d->SpeedButton1), BM_CLICK, 0, 0);
  d->Form->Close();
  const std::string ini = ReadIni();
  EXPECT_NE(ini.find("Active=0\r\n"), std::string::npos);
  EXPECT_NE(ini.find("baudRate1=1\r\n"), std::string::npos);
}

TEST_F(WinDialog, StoredPresetTwo) {
  WriteIni("[Set]\r\nActive=2\r\nPort2=3\r\nbaudRate2=6\r\nStart2=1\r\nCoadType2=1\r\n");
  auto d = Make();
  EXPECT_TRUE(d->SpeedButton3->Down());
  EXPECT_FALSE(d->SpeedButton1->Down());
  EXPECT_EQ(Shown(d->ComboComPort), "COM4");
  EXPECT_EQ(Shown(d->ComboComBaudRate), "19200");
  EXPECT_EQ(Shown(d->ComboBoxStart), Sjis("DC2で開始、DC4で終了"));
  EXPECT_EQ(Shown(d->ComboBoxCodeType), "EIA");
}

TEST_F(WinDialog, FailedSaveKeepsTheDialogOpen) {
  std::filesystem::create_directory(Ini());  // not writable as a file
  auto d = Make();
  Show(*d);
  SendMessageW(HandleOf(d->SpeedButton4), BM_CLICK, 0, 0);
  std::string text, title;
  {
    OnModal box(kMessageBox, [&](HWND w) {
      text = BoxText(w);
      title = Text(w);
      PostMessageW(w, WM_COMMAND, IDOK, 0);
    });
    SendMessageW(HandleOf(d->Form.get()), WM_CLOSE, 0, 0);
    EXPECT_TRUE(box.seen());
  }
  EXPECT_EQ(text, kelv::winsys::ErrorBoxText(dir_ + "Kelv.ini" + Sjis(" に書き込めません")));
  EXPECT_EQ(title, "test_winui");
  EXPECT_EQ(d->quits, 0);
  EXPECT_TRUE(d->SpeedButton4->Down());

  std::filesystem::remove(Ini());
  SendMessageW(HandleOf(d->Form.get()), WM_CLOSE, 0, 0);
  EXPECT_EQ(d->quits, 1);
  EXPECT_NE(ReadIni().find("Active=3\r\n"), std::string::npos);
}

TEST_F(WinDialog, CloseDuringARunEndsTheProgramAfterIt) {
  auto d = Make();
  Show(*d);
  bool box_before_quit = false;
  d->run = [&] {
    SendMessageW(HandleOf(d->Form.get()), WM_CLOSE, 0, 0);  // nested in the run
    EXPECT_EQ(ReadIni(), kFreshFile);
    EXPECT_EQ(d->quits, 0);
    throw kelv::AppError("Rx.nc");
  };
  OnModal box(kMessageBox, [&](HWND w) {
    box_before_quit = d->quits == 0;
    PostMessageW(w, WM_COMMAND, IDOK, 0);
  });
  SendMessageW(HandleOf(d->CancelBtn), BM_CLICK, 0, 0);
  EXPECT_TRUE(box.seen());
  EXPECT_TRUE(box_before_quit);
  EXPECT_EQ(d->quits, 1);
}

}  // namespace
