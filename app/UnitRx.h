// The receive dialog: the program's one window. It holds the four line presets,
// loads them from "Kelv.ini" when it is made and writes them back whenever it
// is closed, and starts the reception run from its start button.
#pragma once

#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mnemoniclabel.h"
#include "presets.h"
#include "rs232c.h"
#include "winsys.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QPushButton;
class QToolButton;

class TRXDlg : public QWidget, public TComponent {
  Q_OBJECT

 public:
  // `args`: the command-line arguments after the program name (the first one
  // may hold the window position). `dir`: the directory of "Kelv.ini", with its
  // trailing separator. The window is made, placed and loaded, but not shown.
  explicit TRXDlg(std::vector<std::string> args = {},
                  std::string dir = kelv::winsys::ExecutableDir());
  ~TRXDlg() override;

  // ---- Controls and the serial component (the dialog owns all of them).
  QPushButton* CancelBtn = nullptr;
  Trs232c* rs232c1 = nullptr;
  MnemonicLabel* Label1 = nullptr;  // status line
  MnemonicLabel* Label2 = nullptr;  // last three lines received, oldest first
  MnemonicLabel* Label3 = nullptr;
  MnemonicLabel* Label4 = nullptr;
  QCheckBox* CheckBox1 = nullptr;  // display off
  QGroupBox* GroupBox1 = nullptr;  // the settings group
  QComboBox* ComboComPort = nullptr;
  MnemonicLabel* Label5 = nullptr;
  QComboBox* ComboComBaudRate = nullptr;
  MnemonicLabel* Label6 = nullptr;
  QComboBox* ComboBoxStart = nullptr;
  MnemonicLabel* Label7 = nullptr;
  QToolButton* SpeedButton1 = nullptr;
  QToolButton* SpeedButton2 = nullptr;
  QToolButton* SpeedButton3 = nullptr;
  QToolButton* SpeedButton4 = nullptr;
  QComboBox* ComboBoxCodeType = nullptr;
  MnemonicLabel* Label8 = nullptr;

  // ---- State.
  char StartMark = 0;  // marker selectors of the next run, set by ApplyPreset
  char EndMark = 0;
  std::array<kelv::PortPreset, kelv::kPresetCount> Presets{};
  uint8_t ActivePreset = 0;  // 0..3, the preset of the button that is down
  bool ColonAsO = false;
  bool Cancelled = false;  // set by the cancel click, read by the run; never cleared

  // Copies the active preset into rs232c1 and the marker selectors. Always true.
  bool ApplyPreset();

  // The pause between the end of a run and closing the line, so the control
  // sees the line up until it has finished its side. Tests shorten it.
  int EndPauseMs = 2000;

  // The full path of the settings file.
  const std::string& SettingsPath() const { return settings_path_; }

  // Tells the application to end; the event loop ends when control is back in
  // it. QCoreApplication::quit unless replaced (tests count the calls).
  std::function<void()> QuitApplication;

  // ---- Handlers, named after their control and event; each takes the sender.
  void FormCreate(QObject* Sender);
  void FormActivate(QObject* Sender);
  void FormClose(QObject* Sender);  // throws kelv::AppError when the save fails
  void CancelBtnClick(QObject* Sender);
  void CheckBox1Click(QObject* Sender);
  void SpeedButton1MouseDown(QObject* Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift,
                             int X, int Y);
  void SpeedButton2MouseDown(QObject* Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift,
                             int X, int Y);
  void SpeedButton3MouseDown(QObject* Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift,
                             int X, int Y);
  void SpeedButton4MouseDown(QObject* Sender, Qt::MouseButton Button, Qt::KeyboardModifiers Shift,
                             int X, int Y);
  void SpeedButton1Click(QObject* Sender);  // shared by the four preset buttons
  void ComboComPortChange(QObject* Sender);
  void ComboComBaudRateChange(QObject* Sender);
  void ComboBoxStartChange(QObject* Sender);
  void ComboBoxCodeTypeChange(QObject* Sender);
  void rs232c1RXFLAG(TObject* Sender);
  void rs232c1PACKET(TObject* Sender);

 protected:
  // The reception run, inside the start click. It handles pending events itself,
  // so the cancel click, the check box and a close request run nested in it.
  virtual void RunReception();

  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void CreatePort();
  void LoadSettings();
  void ShowPreset();
  void RenameButton(QToolButton* button);
  kelv::PortPreset& Active();
  // Runs a handler; an error escaping it is shown and the dialog goes on.
  void Guarded(const std::function<void()>& handler);
  void StartClicked();

  std::vector<std::string> args_;
  std::string settings_path_;
  QButtonGroup* preset_group_ = nullptr;
  std::array<QToolButton*, kelv::kPresetCount> preset_buttons_{};
  bool running_ = false;         // RunReception is on the stack
  bool quit_after_run_ = false;  // a close succeeded during the run
  bool held_off_ = false;        // a DC3 went out and no DC1 has followed yet

  // Writes the received lines to "Rx.nc"; when that fails, offers another place.
  void SaveReceived(const std::vector<std::string>& lines);
};

// The program's dialog, made by the program entry.
extern TRXDlg* RXDlg;

// A preset button's caption as code page 932 bytes, exactly as loaded or
// entered (the button's display text is converted from it).
std::string ButtonCaption(const QToolButton* button);
void SetButtonCaption(QToolButton* button, const std::string& caption);
