// The window-system services and the application on Win32: the message pump
// with dialog navigation, the worker hand-over through a message-only window,
// the message boxes, the rename box and the save box.
#include <windows.h>
// After windows.h, which they need.
#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <vector>

#include "frontend.h"
#include "handover.h"
#include "sjis.h"
#include "widepath.h"
#include "win32front.h"
#include "winsys.h"

namespace kelv::win32ui {

namespace {

constexpr UINT kServeHandOver = WM_APP;
constexpr UINT kWake = WM_APP + 1;

HWND g_handover_window = nullptr;
bool g_terminated = false;
std::vector<HWND> g_dialog_windows;

HINSTANCE Instance() {
  return GetModuleHandleW(nullptr);
}

LRESULT CALLBACK HandOverProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == kServeHandOver) {
    HandOver::Ui().ServePending();
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

// Through the program's one converter, so the window and the files agree on
// every system (the second Unicode forms of "～", "－" ... included).
std::wstring Wide(const std::string& sjis) {
  return fileio::WideFromUtf8(SjisToUtf8(sjis));
}
std::string Narrow(const std::wstring& wide) {
  return Utf8ToSjis(fileio::Utf8FromWide(wide));
}

void AddDialogWindow(HWND hwnd) {
  g_dialog_windows.push_back(hwnd);
}

void RemoveDialogWindow(HWND hwnd) {
  g_dialog_windows.erase(std::remove(g_dialog_windows.begin(), g_dialog_windows.end(), hwnd),
                         g_dialog_windows.end());
}

void Dispatch(MSG& msg) {
  const HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
  const bool dialog = root && std::find(g_dialog_windows.begin(), g_dialog_windows.end(), root) !=
                                  g_dialog_windows.end();
  // Esc with Shift or Ctrl held is no cancel: the key goes to its control.
  const bool plain_key = !(msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE &&
                           (GetKeyState(VK_SHIFT) < 0 || GetKeyState(VK_CONTROL) < 0));
  if (dialog && plain_key && IsDialogMessageW(root, &msg)) return;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

namespace {

int ScreenDpi() {
  static const int dpi = [] {
    const HDC dc = GetDC(nullptr);
    if (!dc) return USER_DEFAULT_SCREEN_DPI;
    const int d = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(nullptr, dc);
    return d > 0 ? d : USER_DEFAULT_SCREEN_DPI;
  }();
  return dpi;
}

int CALLBACK FaceFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

// Whether the system has `face` with the Japanese character set.
bool HasJapaneseFace(const wchar_t* face) {
  LOGFONTW lf{};
  lf.lfCharSet = SHIFTJIS_CHARSET;
  lstrcpynW(lf.lfFaceName, face, LF_FACESIZE);
  bool found = false;
  const HDC dc = GetDC(nullptr);
  if (!dc) return false;
  EnumFontFamiliesExW(dc, &lf, &FaceFound, reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, dc);
  return found;
}

}  // namespace

int Scaled(int pixels_at_96) {
  return MulDiv(pixels_at_96, ScreenDpi(), USER_DEFAULT_SCREEN_DPI);
}

void EndLoopsIfTerminated() {
  // WM_QUIT ends a message box's loop and is posted again for the loop around
  // it, down to the event loop.
  if (g_terminated) PostQuitMessage(0);
}

HFONT DialogFont(int points) {
  static HFONT font = nullptr;
  if (!font) {
    NONCLIENTMETRICSW ncm{};
    ncm.cbSize = sizeof ncm;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0);
    LOGFONTW lf = ncm.lfMessageFont;
    lf.lfHeight = -MulDiv(points, ScreenDpi(), 72);
    lf.lfWidth = 0;
    // The texts are Japanese: on a Windows of another language this face
    // lacks them and would leave their look to the system's fallback. A
    // Japanese face of the system instead; failing all, the character set
    // alone makes the system pick a face that has them.
    lf.lfCharSet = SHIFTJIS_CHARSET;
    if (!HasJapaneseFace(lf.lfFaceName)) {
      lf.lfFaceName[0] = L'\0';
      for (const wchar_t* face : {L"MS UI Gothic", L"Meiryo UI", L"Yu Gothic UI"}) {
        if (HasJapaneseFace(face)) {
          lstrcpynW(lf.lfFaceName, face, LF_FACESIZE);
          break;
        }
      }
    }
    font = CreateFontIndirectW(&lf);
  }
  return font;
}

}  // namespace kelv::win32ui

namespace kelv::winsys {

using namespace kelv::win32ui;

void InstallHandOver() {
  if (!g_handover_window) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &HandOverProc;
    wc.hInstance = Instance();
    wc.lpszClassName = L"KelvHandOver";
    RegisterClassExW(&wc);
    g_handover_window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, Instance(), nullptr);
  }
  const HWND target = g_handover_window;
  // A posted message reaches the window from any message loop of this
  // thread, a modal box's included.
  HandOver::Ui().Install([target] { PostMessageW(target, kServeHandOver, 0, 0); });
}

void ProcessMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // Only noted: the event loop sees it again when control is back there.
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    Dispatch(msg);
  }
  HandOver::Ui().ServePending();
}

void PaintNow() {
  RefreshDueCaptions();
  // WM_PAINT sent at once to the windows with something to paint; no input
  // is taken from the queue.
  if (const HWND w = MainWindow()) {
    RedrawWindow(w, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  }
}

void WaitForEvents(int timeout_ms) {
  if (timeout_ms == 0) return;
  // Input already in the queue but seen by an earlier peek counts as well.
  MsgWaitForMultipleObjectsEx(0, nullptr, timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms),
                              QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

namespace {

int Box(const std::string& text, UINT type) {
  return MessageBoxW(MainWindow(), Wide(text).c_str(), Wide(ApplicationTitle()).c_str(), type);
}

// The question box's buttons get the program's captions, whatever language
// the system's own are in: set as the box is first activated.
HHOOK g_caption_hook = nullptr;

LRESULT CALLBACK CaptionHook(int code, WPARAM wp, LPARAM lp) {
  const auto box = reinterpret_cast<HWND>(wp);
  if (code == HCBT_ACTIVATE && g_caption_hook && GetDlgItem(box, IDYES)) {
    SetDlgItemTextW(box, IDYES, Wide(Sjis(kYesCaption)).c_str());
    SetDlgItemTextW(box, IDNO, Wide(Sjis(kNoCaption)).c_str());
    UnhookWindowsHookEx(g_caption_hook);
    g_caption_hook = nullptr;
  }
  return CallNextHookEx(nullptr, code, wp, lp);
}

// ---- The rename box ---------------------------------------------------------

constexpr wchar_t kInputClass[] = L"KelvInputBox";
constexpr int kEditId = 100;

struct InputState {
  HWND edit = nullptr;
  wchar_t high_surrogate = 0;  // the first half of a character being typed
  WNDPROC edit_proc = nullptr;
  bool done = false;
  bool ok = false;
  std::wstring text;
};

size_t Bytes(const std::wstring& s) {
  return Narrow(s).size();
}

// The edit's text with the selection replaced by `insert`.
std::wstring AfterInsert(HWND edit, const std::wstring& insert) {
  const int n = GetWindowTextLengthW(edit);
  std::wstring s(static_cast<size_t>(n) + 1, L'\0');
  GetWindowTextW(edit, s.data(), n + 1);
  s.resize(static_cast<size_t>(n));
  DWORD from = 0, to = 0;
  SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
  from = std::min<DWORD>(from, static_cast<DWORD>(s.size()));
  to = std::min<DWORD>(std::max(from, to), static_cast<DWORD>(s.size()));
  return s.substr(0, from) + insert + s.substr(to);
}

// Whole characters of `s` from its start, as many as keep the edit within the
// byte limit.
std::wstring Fitting(HWND edit, const std::wstring& s) {
  std::wstring fits;
  for (size_t i = 0; i < s.size();) {
    const size_t len = IS_HIGH_SURROGATE(s[i]) && i + 1 < s.size() ? 2 : 1;
    const std::wstring more = fits + s.substr(i, len);
    if (Bytes(AfterInsert(edit, more)) > kInputBoxMax) break;
    fits = more;
    i += len;
  }
  return fits;
}

// The limit holds for what is typed or pasted, counted in code page 932 bytes
// as the settings file stores the text.
LRESULT CALLBACK EditProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* st = reinterpret_cast<InputState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_CHAR: {
      const auto c = static_cast<wchar_t>(wp);
      if (c < 0x20) break;
      if (IS_HIGH_SURROGATE(c)) {
        st->high_surrogate = c;
        return 0;
      }
      std::wstring ch(1, c);
      if (IS_LOW_SURROGATE(c) && st->high_surrogate) ch.insert(ch.begin(), st->high_surrogate);
      st->high_surrogate = 0;
      // A character the code page lacks cannot be stored: it is not typed.
      if (!Representable(fileio::Utf8FromWide(ch)) || Bytes(AfterInsert(hwnd, ch)) > kInputBoxMax) {
        MessageBeep(MB_OK);
        return 0;
      }
      for (wchar_t half : ch) CallWindowProcW(st->edit_proc, hwnd, msg, half, lp);
      return 0;
    }
    case WM_PASTE: {
      std::wstring clip;
      if (OpenClipboard(hwnd)) {
        if (HANDLE h = GetClipboardData(CF_UNICODETEXT)) {
          if (const auto* p = static_cast<const wchar_t*>(GlobalLock(h))) {
            clip = p;
            GlobalUnlock(h);
          }
        }
        CloseClipboard();
      }
      // One line only, without what the code page lacks, as much as fits.
      clip = clip.substr(0, clip.find_first_of(L"\r\n"));
      std::wstring storable;
      for (size_t i = 0; i < clip.size();) {
        const size_t len = IS_HIGH_SURROGATE(clip[i]) && i + 1 < clip.size() ? 2 : 1;
        const std::wstring ch = clip.substr(i, len);
        if (Representable(fileio::Utf8FromWide(ch))) storable += ch;
        i += len;
      }
      clip = storable;
      const std::wstring fits = Fitting(hwnd, clip);
      if (fits.size() < clip.size()) MessageBeep(MB_OK);
      SendMessageW(hwnd, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(fits.c_str()));
      return 0;
    }
    default:
      break;
  }
  return CallWindowProcW(st->edit_proc, hwnd, msg, wp, lp);
}

LRESULT CALLBACK InputProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    SetWindowLongPtrW(
        hwnd, GWLP_USERDATA,
        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
  }
  auto* st = reinterpret_cast<InputState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_COMMAND:
      if (LOWORD(wp) == IDOK) {
        const int n = GetWindowTextLengthW(st->edit);
        st->text.assign(static_cast<size_t>(n) + 1, L'\0');
        GetWindowTextW(st->edit, st->text.data(), n + 1);
        st->text.resize(static_cast<size_t>(n));
        st->ok = true;
        st->done = true;
      } else if (LOWORD(wp) == IDCANCEL) {
        st->done = true;
      }
      return 0;
    case DM_GETDEFID:
      return MAKELRESULT(IDOK, DC_HASDEFID);
    case WM_CLOSE:
      st->done = true;
      return 0;
    case WM_CTLCOLORSTATIC:
      SetBkColor(reinterpret_cast<HDC>(wp), GetSysColor(COLOR_3DFACE));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_3DFACE));
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

}  // namespace

void ShowMessage(const std::string& text) {
  Box(text, MB_OK);
}

void ShowError(const std::exception& e) {
  Box(ErrorBoxText(e.what()), MB_OK | MB_ICONERROR);
}

bool AskYesNo(const std::string& text) {
  g_caption_hook = SetWindowsHookExW(WH_CBT, &CaptionHook, nullptr, GetCurrentThreadId());
  const int answer = Box(text, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
  if (g_caption_hook) UnhookWindowsHookEx(g_caption_hook);
  g_caption_hook = nullptr;
  return answer == IDYES;
}

std::string InputBox(const std::string& title, const std::string& prompt,
                     const std::string& initial) {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &InputProc;
    wc.hInstance = Instance();
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_3DFACE + 1);
    wc.lpszClassName = kInputClass;
    return RegisterClassExW(&wc) != 0;
  }();
  (void)registered;

  InputState st;
  const HWND owner = MainWindow();
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  const DWORD ex_style = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
  RECT r{0, 0, Scaled(300), Scaled(96)};
  AdjustWindowRectEx(&r, style, FALSE, ex_style);
  const int w = r.right - r.left, h = r.bottom - r.top;
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  const HWND box = CreateWindowExW(ex_style, kInputClass, Wide(title).c_str(), style,
                                   work.left + (work.right - work.left - w) / 2,
                                   work.top + (work.bottom - work.top - h) / 2, w, h, owner,
                                   nullptr, Instance(), &st);
  const HFONT font = DialogFont(8);
  const auto child = [&](const wchar_t* cls, const std::wstring& text, DWORD s, int x, int y,
                         int cx, int cy, int id, DWORD ex = 0) {
    const HWND c =
        CreateWindowExW(ex, cls, text.c_str(), WS_CHILD | WS_VISIBLE | s, Scaled(x), Scaled(y),
                        Scaled(x + cx) - Scaled(x), Scaled(y + cy) - Scaled(y), box,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Instance(), nullptr);
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return c;
  };
  child(L"STATIC", Wide(prompt), SS_LEFTNOWORDWRAP | SS_NOPREFIX, 10, 10, 280, 16, -1);
  st.edit = child(L"EDIT", Wide(initial), ES_AUTOHSCROLL | WS_TABSTOP, 10, 30, 280, 22, kEditId,
                  WS_EX_CLIENTEDGE);
  child(L"BUTTON", L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 134, 62, 75, 25, IDOK);
  child(L"BUTTON", Wide(Sjis("キャンセル")), BS_PUSHBUTTON | WS_TABSTOP, 215, 62, 75, 25, IDCANCEL);
  SetWindowLongPtrW(st.edit, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&st));
  st.edit_proc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(st.edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&EditProc)));

  AddDialogWindow(box);
  if (owner) EnableWindow(owner, FALSE);
  ShowWindow(box, SW_SHOW);
  SetFocus(st.edit);
  SendMessageW(st.edit, EM_SETSEL, 0, -1);
  MSG msg;
  while (!st.done) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) {
      if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    Dispatch(msg);
  }
  // The owner first, so that it, not another program, becomes active again.
  if (owner) EnableWindow(owner, TRUE);
  RemoveDialogWindow(box);
  DestroyWindow(box);
  if (owner) SetActiveWindow(owner);
  return st.ok ? Narrow(st.text) : initial;
}

std::string SaveAsBox(const std::string& dir, const std::string& file_name) {
  std::wstring file(32768, L'\0');
  const std::wstring name = fileio::WideFromUtf8(file_name);
  std::copy(name.begin(), name.end(), file.begin());
  const std::wstring initial_dir = fileio::WideFromUtf8(dir);
  const std::wstring title = Wide(Sjis("名前を付けて保存"));
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = MainWindow();
  ofn.lpstrFilter = L"NC (*.nc)\0*.nc\0*.*\0*.*\0";
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrInitialDir = initial_dir.c_str();
  ofn.lpstrTitle = title.c_str();
  ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_EXPLORER;
  if (!GetSaveFileNameW(&ofn)) return std::string();
  file.resize(file.find(L'\0'));
  return fileio::Utf8FromWide(file);
}

void HoldSystem(const std::string& reason) {
  // Serial traffic does not count as use: a long program would otherwise be
  // cut by the idle sleep. The shutdown's block reason is the form's.
  SetThreadExecutionState(reason.empty() ? ES_CONTINUOUS : ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
}

}  // namespace kelv::winsys

namespace kelv::ui {

struct Application::Impl {
  std::vector<std::string> args;
};

Application::Application(int&, char**) : impl_(std::make_unique<Impl>()) {
  // The wide command line: the narrow one went through the system's code page.
  int argc = 0;
  if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
    for (int i = 1; i < argc; ++i) impl_->args.push_back(win32ui::Narrow(argv[i]));
    LocalFree(argv);
  }
  winsys::InstallHandOver();
}

Application::~Application() = default;

std::vector<std::string> Application::Arguments() const {
  return impl_->args;
}

int Application::Run() {
  MSG msg;
  while (!win32ui::g_terminated) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) break;
    win32ui::Dispatch(msg);
  }
  return 0;
}

void Application::Terminate() {
  // A flag rather than WM_QUIT, which would end any modal box still open.
  win32ui::g_terminated = true;
  if (win32ui::g_handover_window) PostMessageW(win32ui::g_handover_window, win32ui::kWake, 0, 0);
}

}  // namespace kelv::ui
