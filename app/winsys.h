// Window-system services: what the dialog, the reception run and the serial
// line need of the toolkit and the operating system, in one place. Each front
// end implements the boxes and message processing (frontend/*/winsys_*.cpp);
// the rules that are the program's own, and the executable's path, are here.
// Texts passed in and out are code page 932 bytes; paths are the file
// system's own bytes (UTF-8 on both systems).
//
// The boxes are owned by the program's main window when there is one, and the
// worker hand-over (base/handover.h) is served while any of them is open.
#pragma once

#include <cstddef>
#include <exception>
#include <string>

namespace kelv::winsys {

// Makes this thread the one that serves worker hand-overs, woken through the
// front end's event loop. Call once after the application exists.
void InstallHandOver();

// Processes all pending events (input and queued hand-overs); a request to end
// the application is only noted.
void ProcessMessages();

// Puts every caption change still due on the screen and paints the windows
// now, without handling any input: before the program stops servicing its
// window (a long batch, a pause, a box, closing the line).
void PaintNow();

// Blocks until an event arrives for the user-interface thread (input, a
// hand-over, HandOver::Poke from another thread) or `timeout_ms` has passed
// (-1: no limit). What arrived may already be processed on return; the caller
// processes messages next in any case.
void WaitForEvents(int timeout_ms);

// The application's title: the executable's file name cut at its first ".",
// every character after the first in lower case ("KelvRx" gives "Kelvrx").
std::string ApplicationTitle();
// The same rule for any executable path ("/opt/KelvRx.exe" gives "Kelvrx"), as
// code page 932 text.
std::string ApplicationTitleOf(const std::string& executable_path);

// Modal message box: application title, one OK button, no icon.
void ShowMessage(const std::string& text);

// The general error box for an error that escaped a handler: error icon, OK,
// application title; the text is the message plus "." when its last byte sorts
// after ".".
void ShowError(const std::exception& e);
std::string ErrorBoxText(const std::string& message);

// Modal question box: application title, question icon, the buttons
// "はい(Y)" and "いいえ(N)" (the keys Y and N answer too), いいえ the default.
// True for はい; false for いいえ and for a box ended any other way.
bool AskYesNo(const std::string& text);
// Its buttons' captions (UTF-8, for Sjis()); "&" marks the key.
inline constexpr char kYesCaption[] = "はい(&Y)";
inline constexpr char kNoCaption[] = "いいえ(&N)";

// Modal text-input box: centred on the screen, edit field holding `initial`, all
// selected; what is typed may make the text at most kInputBoxMax bytes; "OK"
// (default) and "キャンセル" (also Esc). Returns the edited text on OK and
// `initial` otherwise.
constexpr size_t kInputBoxMax = 255;
std::string InputBox(const std::string& title, const std::string& prompt,
                     const std::string& initial);

// The save box offered after "Rx.nc" could not be written: starts in `dir`
// with `file_name`. The chosen path, or empty when the operator cancels.
std::string SaveAsBox(const std::string& dir, const std::string& file_name);

// While `reason` is not empty the program holds the system up: the system
// does not sleep, and its shutdown, restart or logoff waits where the system
// lets a program ask that, showing `reason`. "" lets go. Where the system
// offers no such hold, nothing happens. The user-interface thread only.
void HoldSystem(const std::string& reason);

// Pauses the calling thread; no event is processed meanwhile.
void Sleep(int ms);

// Full path of the running executable, and its directory with the trailing
// separator.
std::string ExecutablePath();
std::string ExecutableDir();

}  // namespace kelv::winsys
