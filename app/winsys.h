// Window-system services: what the dialog, the reception run and the serial
// line need of the toolkit and the operating system, in one place.
// Texts passed in and out are code page 932 bytes; paths are the file system's
// own bytes, as open() takes them.
//
// Object names of the modal boxes, for tests that find them through
// QApplication::activeModalWidget() and close them:
//   ShowMessage  QMessageBox "MessageBox", its button "MessageBoxOk"
//   ShowError    QMessageBox "ErrorBox", its button "ErrorBoxOk"
//   InputBox     QDialog "InputBox" with QLabel "InputBoxPrompt", QLineEdit
//                "InputBoxEdit", QPushButton "InputBoxOk" and "InputBoxCancel"
#pragma once

#include <cstddef>
#include <exception>
#include <string>

class QWidget;

namespace kelv::winsys {

// Installs the hand-over of worker calls to this (the user-interface) thread:
// queued calls are then run whenever Qt processes events, modal boxes included.
// Call once after the QApplication exists.
void InstallHandOver();

// Processes all pending events (input and queued hand-overs); a request to end
// the application is only noted.
void ProcessMessages();

// The application's title: the executable's file name cut at its first ".",
// every character after the first in lower case ("KelvRx" gives "Kelvrx").
std::string ApplicationTitle();
// The same rule for any executable path ("/opt/KelvRx.exe" gives "Kelvrx").
std::string ApplicationTitleOf(const std::string& executable_path);

// Modal message box: application title, one OK button, no icon.
void ShowMessage(const std::string& text, QWidget* parent = nullptr);

// The general error box for an error that escaped a handler: error icon, OK,
// application title; the text is the message plus "." when its last byte sorts
// after ".".
void ShowError(const std::exception& e, QWidget* parent = nullptr);
std::string ErrorBoxText(const std::string& message);

// Modal text-input box: centred on the screen, edit field holding `initial`, all
// selected, at most kInputBoxMax bytes; "OK" (default) and "キャンセル" (also
// Esc). Returns the edited text on OK and `initial` otherwise.
constexpr size_t kInputBoxMax = 255;
std::string InputBox(const std::string& title, const std::string& prompt,
                     const std::string& initial, QWidget* parent = nullptr);

// Pauses the calling thread; no event is processed meanwhile.
void Sleep(int ms);

// Full path of the running executable, and its directory with the trailing
// separator.
std::string ExecutablePath();
std::string ExecutableDir();

}  // namespace kelv::winsys
