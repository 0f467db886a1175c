// What the dialog needs of a window system beyond its controls: making the
// form from the layout, and the application with its event loop. One
// implementation per front end (frontend/qt on Linux, frontend/win32 on
// Windows); the build picks it. The window-system services are in winsys.h.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "controls.h"
#include "layout.h"

namespace kelv::ui {

// Makes the window and its controls from the layout: hidden, its outer
// top-left corner at the screen's top-left corner, every control at its place
// with its text, items, selection and font, the tab order and the first focus
// set, Esc clicking the control with the cancel role.
std::unique_ptr<TForm> CreateForm(const layout::Form& layout);

// The window system's application: one per program, made first.
class Application {
 public:
  Application(int& argc, char** argv);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // The command-line arguments after the program's name, the toolkit's own
  // options taken out: code page 932 on Windows (from the wide command line),
  // the bytes as given on Linux. The window position is ASCII either way.
  std::vector<std::string> Arguments() const;

  // Runs the event loop until Terminate; the exit code.
  int Run();

  // Tells the event loop to end; returns at once, and the loop ends when
  // control is back in it.
  static void Terminate();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kelv::ui
