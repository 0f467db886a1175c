// The Qt front end's own view of the control layer, for the program entry and
// for tests that drive the dialog as a real Qt window.
#pragma once

#include <QWidget>

#include "controls.h"

namespace kelv::qtui {

// The widget that shows a control or a form (nullptr for another front end's).
QWidget* WidgetOf(const kelv::ui::TControl* control);
QWidget* WindowOf(const kelv::ui::TForm* form);

template <class W>
W* As(const kelv::ui::TControl* control) {
  return qobject_cast<W*>(WidgetOf(control));
}

// The window that owns the modal boxes: the program's form once it exists.
QWidget* MainWindow();

// The toolkit's own texts in Japanese (Qt's translations, qtbase_ja), and the
// Japanese locale for what it formats. Once the application exists.
void UseJapanese();
// That form; nullptr before it exists.
kelv::ui::TForm* MainForm();

// From now on SIGTERM and SIGHUP (what shutdown and logout send) and the
// session manager's request to save end the session of the main form
// (TForm::EndSession), from the event loop; so does the process's exit()
// while the form is still there (the display has gone). Once per application.
void WatchSessionEnd();
// The session manager's request to save: idle, the session's end; during a
// run the form keeps what it can (TForm::QueryEndSession) and the run goes on.
void CommitData();

// The display has gone and the process is ending under us: from now on no
// box is shown (each returns as if dismissed), message processing serves
// only the worker hand-overs, and telling the application to end does
// nothing. Touching the toolkit's event loop now could end the process again
// from inside its own exit.
void LoseDisplay();
bool DisplayLost();

}  // namespace kelv::qtui
