// The receive dialog: the program's one window. It holds the four line presets,
// loads them from "Kelv.ini" when it is made and writes them back whenever it
// is closed, and starts the reception run from its start button.
//
// Written once for every window system: the controls are those of controls.h,
// made by the front end from the layout (layout.h).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "controls.h"
#include "linerun.h"
#include "presets.h"
#include "reception.h"
#include "rs232c.h"
#include "verdict.h"
#include "winsys.h"

namespace kelv {
class LineAnswers;
struct ReceptionLogEntry;
}  // namespace kelv

class TRXDlg : public TComponent {
 public:
  using TLabel = kelv::ui::TLabel;
  using TButton = kelv::ui::TButton;
  using TCheckBox = kelv::ui::TCheckBox;
  using TGroupBox = kelv::ui::TGroupBox;
  using TComboBox = kelv::ui::TComboBox;
  using TSpeedButton = kelv::ui::TSpeedButton;
  using TMouseButton = kelv::ui::TMouseButton;
  using TShiftState = kelv::ui::TShiftState;

  // `args`: the command-line arguments after the program name (the first one
  // may hold the window position). `dir`: the directory of "Kelv.ini", with its
  // trailing separator. The window is made, placed and loaded, but not shown.
  explicit TRXDlg(std::vector<std::string> args = {},
                  std::string dir = kelv::winsys::ExecutableDir());
  ~TRXDlg() override;

  // The window; it owns the controls below.
  std::unique_ptr<kelv::ui::TForm> Form;

  // ---- Controls and the serial component (the dialog owns all of them).
  TButton* CancelBtn = nullptr;
  Trs232c* rs232c1 = nullptr;
  TLabel* Label1 = nullptr;  // status line
  TLabel* Label2 = nullptr;  // last three lines received, oldest first
  TLabel* Label3 = nullptr;
  TLabel* Label4 = nullptr;
  TCheckBox* CheckBox1 = nullptr;  // display off
  TGroupBox* GroupBox1 = nullptr;  // the settings group
  TComboBox* ComboComPort = nullptr;
  TLabel* Label5 = nullptr;
  TComboBox* ComboComBaudRate = nullptr;
  TLabel* Label6 = nullptr;
  TComboBox* ComboBoxStart = nullptr;
  TLabel* Label7 = nullptr;
  TSpeedButton* SpeedButton1 = nullptr;
  TSpeedButton* SpeedButton2 = nullptr;
  TSpeedButton* SpeedButton3 = nullptr;
  TSpeedButton* SpeedButton4 = nullptr;
  TComboBox* ComboBoxCodeType = nullptr;
  TLabel* Label8 = nullptr;

  // ---- State.
  char StartMark = 0;  // marker selectors of the next run, set by ApplyPreset
  char EndMark = 0;
  std::array<kelv::PortPreset, kelv::kPresetCount> Presets{};
  uint8_t ActivePreset = 0;  // 0..3, the preset of the button that is down
  bool ColonAsO = false;
  bool Cancelled = false;  // set by the cancel click, read by the run; never cleared

  // Copies the active preset into rs232c1 and the marker selectors. Always true.
  bool ApplyPreset();

  // Shows the window (at its place, with the loaded settings).
  void Show();

  // The pause between the end of a run and closing the line, so the control
  // sees the line up until it has finished its side. Tests shorten it.
  int EndPauseMs = 2000;

  // A received program is held in memory only: no file took it.
  bool HoldsUnsaved() const { return unsaved_ != nullptr; }

  // The full path of the settings file.
  const std::string& SettingsPath() const { return settings_path_; }

  // Tells the application to end; the event loop ends when control is back in
  // it. The front end's Terminate unless replaced (tests count the calls).
  std::function<void()> QuitApplication;

  // ---- Handlers, named after their control and event; each takes the sender.
  void FormCreate(TObject* Sender);
  void FormActivate(TObject* Sender);
  void FormClose(TObject* Sender);  // throws kelv::AppError when the save fails
  void FormEndSession(TObject* Sender);
  void FormQueryEndSession(TObject* Sender);
  void CancelBtnClick(TObject* Sender);
  void CheckBox1Click(TObject* Sender);
  void SpeedButton1MouseDown(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
  void SpeedButton2MouseDown(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
  void SpeedButton3MouseDown(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
  void SpeedButton4MouseDown(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
  void SpeedButton1Click(TObject* Sender);  // shared by the four preset buttons
  void ComboComPortChange(TObject* Sender);
  void ComboComBaudRateChange(TObject* Sender);
  void ComboBoxStartChange(TObject* Sender);
  void ComboBoxCodeTypeChange(TObject* Sender);
  void rs232c1RXFLAG(TObject* Sender);
  void rs232c1PACKET(TObject* Sender);

 protected:
  // The reception run, inside the start click. It handles pending events itself,
  // so the cancel click, the check box and a close request run nested in it.
  virtual void RunReception();
  // The pause before the line is closed; the window is not serviced meanwhile.
  virtual void EndPause();

 private:
  struct RunState;
  struct Unsaved;

  void FindControls();
  void CreatePort();
  void LoadSettings();
  void ShowPreset();
  void RenameButton(TSpeedButton* button);
  void CloseRequested();
  void StartClicked();
  // The active preset; an index out of range (a hand-edited file) means the
  // first.
  size_t ActiveIndex() const;
  kelv::PortPreset& Active();
  // Ends the run once: saves the lines first, then shows its end and closes
  // the line. At the session's end no box and no pause, and the dialog is
  // left as it is.
  void EndRun(RunState& run, bool at_session_end);
  // Keeps the program before it as a numbered copy, writes the received one
  // (SaveReceived) and logs the reception, however it ended. No box at the
  // session's end. False when the program went to no file: it is then kept
  // in unsaved_.
  bool SaveReception(RunState& run, kelv::RunEnding ending, std::vector<std::string> content,
                     bool at_session_end);
  // Writes the received program to "Rx.nc"; when that fails, offers another
  // place, unless `boxes` is false. `content`: the file's bytes as the
  // reception keeps them, the lines with their CR LF, in blocks. The path
  // written, or empty.
  std::string SaveReceived(const std::vector<std::string>& content, bool boxes);
  // The program held in memory: saved again (with the boxes, or quietly to
  // "Rx.nc" at the session's end) and logged where it went.
  void SaveUnsaved(bool boxes);
  // Whether the dialog may close: true when no program is held in memory or
  // the operator lets it go; いいえ offers the save again and keeps the dialog.
  bool MayDropUnsaved();
  // One line of "Rx.log" beside the settings file, and the file a line names.
  void Log(const kelv::ReceptionLogEntry& e) const;
  std::string LogFileField(const std::string& written) const;
  // Where the received program goes: "Rx.nc" beside the settings file.
  std::string RxPath() const;

  std::vector<std::string> args_;
  std::string settings_path_;
  std::array<TSpeedButton*, kelv::kPresetCount> preset_buttons_{};
  bool running_ = false;            // RunReception is on the stack
  RunState* run_ = nullptr;         // the run after its line was opened
  bool quit_after_run_ = false;     // a close succeeded during the run
  bool settings_given_up_ = false;  // the operator chose to leave without them
  bool settings_loaded_ = true;     // false: the file could not be read, so no save
  bool unsaved_told_ = false;       // the operator was told that they are not saved
  bool session_ended_ = false;      // the session's end has been handled
  int backups_ = 5;  // numbered copies of earlier programs kept (Kelv.ini)
  // The line's answers of the run under way (kelv::LineAnswers) and what its
  // passes need of the window; none outside a run.
  std::unique_ptr<kelv::LineAnswers> answers_;
  kelv::PassHooks hooks_;
  std::unique_ptr<Unsaved> unsaved_;
};

// The program's dialog, made by the program entry.
extern TRXDlg* RXDlg;
