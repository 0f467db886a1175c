// The Win32 front end's own view: text at the system's edge, the window
// handles behind the control layer (for the program and for tests), and the
// message pump shared by the event loop, message processing and modal boxes.
#pragma once

#include <windows.h>

#include <string>

#include "controls.h"

namespace kelv::win32ui {

// The program's text (code page 932) and the system's UTF-16, whatever the
// system's own code page is. Paths (UTF-8) convert through base/widepath.h.
std::wstring Wide(const std::string& sjis);
std::string Narrow(const std::wstring& wide);

// The window of a control or a form (nullptr for another front end's).
HWND HandleOf(const kelv::ui::TControl* control);
HWND HandleOf(const kelv::ui::TForm* form);

// The window that owns the modal boxes: the program's form once it exists.
HWND MainWindow();

// Windows that take dialog navigation (Tab, Enter, Esc) in the message pump.
void AddDialogWindow(HWND hwnd);
void RemoveDialogWindow(HWND hwnd);

// Hands one message to its window: dialog navigation first, then the
// window's own procedure.
void Dispatch(MSG& msg);

// A length of the layout (pixels at 96 dots per inch) at the system's dots
// per inch.
int Scaled(int pixels_at_96);

// After the session's end was handled: when the program was told to end, every
// modal box and message loop still open ends too (the system may not wait).
void EndLoopsIfTerminated();

// Labels that change often are refreshed at most every 200 ms: this shows
// every caption still due now.
void RefreshDueCaptions();

// The font of the layout's controls: the system's user-interface face at
// `points`, where it has the Japanese character set; otherwise a Japanese
// face of the system.
HFONT DialogFont(int points);

}  // namespace kelv::win32ui
