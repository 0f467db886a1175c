// The operator's hands and eyes on the receive dialog, for the scenarios that
// both front ends run (dialog_scenarios.cpp). Each front end's dialog test
// implements it on its own windows and defines MakeDialogDriver(); the
// scenarios see no toolkit type. Texts are code page 932, as the dialog's own.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "controls.h"
#include "tempdir.h"
#include "testdlg.h"

class DialogDriver {
 public:
  enum class Key { Esc, Enter, KeypadEnter, Space, Tab, Down };
  enum class Held { None, Shift, Ctrl };
  struct Rect {
    int left, top, width, height;
    int right() const { return left + width; }
  };
  struct Frame {
    bool close_box, minimize_box, maximize_box, sizable;
  };
  // A modal box answered as soon as it is up: what it showed. Answering stops
  // with the watch.
  struct BoxWatch {
    virtual ~BoxWatch() = default;
    bool seen = false;
    std::string title;
    std::string text;                  // a message box's message; the rename box's edit field
    std::vector<std::string> buttons;  // a question box's, left to right
    std::string default_button;
  };
  // What the system calls the window behind a control or the form, for
  // comparing the window hierarchy.
  using WindowId = const void*;

  virtual ~DialogDriver() = default;

  // ---- The folder of "Kelv.ini", fresh for each driver: its path (UTF-8,
  // with the trailing separator) and the file in it.
  const std::string& Dir() const { return dir_; }
  std::unique_ptr<TestDlg> Make(std::vector<std::string> args = {}) const {
    return std::make_unique<TestDlg>(std::move(args), dir_);
  }
  std::string Ini() const { return folder_.File("Kelv.ini"); }
  void WriteIni(const std::string& content) const { testfs::Spit(Ini(), content); }
  std::string ReadIni() const {
    if (!std::filesystem::exists(std::filesystem::u8path(Ini()))) return "<missing>";
    return testfs::Slurp(Ini());
  }
  bool RemoveIni() const {
    std::error_code ec;
    return std::filesystem::remove(std::filesystem::u8path(Ini()), ec);
  }
  // A folder where the file should be: not writable as a file, even by root.
  bool BlockIni() const {
    std::error_code ec;
    return std::filesystem::create_directory(std::filesystem::u8path(Ini()), ec);
  }

  // ---- The operator.
  // Shown, made the active window, the focus where the window puts it.
  virtual void Show(TRXDlg& d) = 0;
  // To the control that has the focus, as the keyboard delivers it.
  void Press(Key key, Held held = Held::None) { PressKey(key, held); }
  virtual void Focus(const kelv::ui::TControl* c) = 0;
  virtual bool HasFocus(const kelv::ui::TControl* c) const = 0;
  virtual void Click(const kelv::ui::TControl* c) = 0;  // the left button
  virtual void RightClick(const kelv::ui::TSpeedButton* b) = 0;
  virtual void CloseBox(TRXDlg& d) = 0;  // the window's close box

  // Answer the next box the dialog opens: a message box with OK, after
  // `when_up` has run; the rename box by typing `type` (UTF-8, as the
  // keyboard gives it) and OK, or with its cancel button when `type` is null;
  // any box, which no step should open, dismissed.
  virtual std::unique_ptr<BoxWatch> OnMessageBox(std::function<void()> when_up) = 0;
  virtual std::unique_ptr<BoxWatch> OnRenameBox(const char* type) = 0;
  virtual std::unique_ptr<BoxWatch> OnAnyBox() = 0;
  // Answer the next question box by typing its key, 'Y' or 'N', after
  // `when_up` has run.
  virtual std::unique_ptr<BoxWatch> OnQuestionBox(char key,
                                                  std::function<void()> when_up = nullptr) = 0;
  // The session ends as the system ends it: a signal on Linux, the session
  // messages on Windows. Returns once the dialog has dealt with it.
  virtual void EndSession(TestDlg& d) = 0;
  // The system asks whether its session may end (Windows asks every window;
  // on Linux the session manager asks to save, and logind's inhibitors
  // answer): whether the program lets it. Returns once the dialog has dealt
  // with it.
  virtual bool QueryEndSession(TestDlg& d) = 0;
  // Whether the program keeps the system from sleeping, as the system sees it.
  virtual bool SleepHeld() = 0;
  // The boxes' title: the test program's name.
  virtual std::string ProgramTitle() const = 0;

  // ---- What the windows show.
  virtual std::string Title(const TRXDlg& d) const = 0;
  virtual bool Showing(const TRXDlg& d) const = 0;
  // The outer top-left corner on the screen, and the inner size.
  virtual std::pair<int, int> Corner(const TRXDlg& d) const = 0;
  virtual std::pair<int, int> ClientSize(const TRXDlg& d) const = 0;
  virtual Frame FrameOf(const TRXDlg& d) const = 0;
  virtual WindowId Id(const TRXDlg& d) const = 0;
  virtual WindowId Id(const kelv::ui::TControl* c) const = 0;
  // The children that belong to the layout, in the order they were made.
  virtual std::vector<WindowId> Children(WindowId parent) const = 0;
  // In the parent's client area.
  virtual Rect Place(const kelv::ui::TControl* c) const = 0;
  // A length of the layout (pixels at 96 dots per inch) where the front end
  // places it: the same where the toolkit scales by itself.
  virtual int Scaled(int pixels_at_96) const { return pixels_at_96; }
  // A caption, or a list's selected item.
  virtual std::string Shown(const kelv::ui::TControl* c) const = 0;
  // What the screen shows of a label now, with no refresh or paint let
  // through: "<paint pending>" while its last text still waits to be drawn.
  virtual std::string OnScreen(const kelv::ui::TLabel* l) const = 0;
  // How wide `text` is drawn in the control's font with the system at `dpi`
  // dots per inch, in pixels at that dpi ("&" as a label shows it).
  virtual int TextWidth(const kelv::ui::TControl* c, const std::string& text, int dpi) const = 0;
  virtual std::vector<std::string> Items(const kelv::ui::TComboBox* c) const = 0;
  // A preset button pushed, a check box ticked.
  virtual bool Down(const kelv::ui::TControl* c) const = 0;
  virtual bool Showing(const kelv::ui::TControl* c) const = 0;

 protected:
  virtual void PressKey(Key key, Held held) = 0;

 private:
  testfs::TempDir folder_{"kelv-dialog-"};
  std::string dir_ = folder_.File("");
};

// Each front end's dialog test defines it.
std::unique_ptr<DialogDriver> MakeDialogDriver();
