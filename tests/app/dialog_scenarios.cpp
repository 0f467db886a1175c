// The receive dialog's scenarios, once for both front ends: each row runs in
// test_ui on Qt and in test_winui on Win32, through that front end's driver
// (dialog_driver.h). What only one front end can show stays in its own file.
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "apperror.h"
#include "dialog_driver.h"
#include "named_rows.h"
#include "presets.h"
#include "reception.h"
#include "serialdev.h"
#include "sjis.h"
#include "standin_device.h"
#include "verdict.h"
#include "winsys.h"

namespace {

using testrows::operator<<;

using kelv::Sjis;
using kelv::ui::TControl;
using Key = DialogDriver::Key;
using Held = DialogDriver::Held;

// A list's selected item as the window shows it; the dialog reads the same
// one through the control layer.
std::string Picked(const DialogDriver& ui, const kelv::ui::TComboBox* c) {
  const std::string shown = ui.Shown(c);
  EXPECT_EQ(c->Item(c->ItemIndex()), shown) << c->Name;
  return shown;
}

void WindowAndLayout(DialogDriver& ui) {
  auto d = ui.Make();
  EXPECT_FALSE(ui.Showing(*d));
  EXPECT_EQ(ui.Title(*d), Sjis("データ受信"));
  EXPECT_EQ(ui.ClientSize(*d), std::make_pair(ui.Scaled(423), ui.Scaled(223)));
  const DialogDriver::Frame frame = ui.FrameOf(*d);
  EXPECT_TRUE(frame.close_box);
  EXPECT_FALSE(frame.minimize_box);
  EXPECT_FALSE(frame.maximize_box);
  EXPECT_FALSE(frame.sizable);

  // Creation order within each parent, and every place. A label sized to its
  // text keeps the edge it grows from: Label1 its left, the right-aligned
  // Label5 and Label6 their right (a wider stand-in face grows them leftwards).
  enum Fit { kWhole, kLeftEdge, kRightEdge };
  const struct {
    const TControl* c;
    bool in_group;  // a child of the settings group, else of the form
    DialogDriver::Rect r;
    Fit fit;
  } places[] = {
      {d->Label1, false, {9, 8, 0, 0}, kLeftEdge},
      {d->Label2, false, {11, 30, 282, 23}, kWhole},
      {d->Label3, false, {11, 50, 282, 20}, kWhole},
      {d->Label4, false, {11, 69, 282, 22}, kWhole},
      {d->CancelBtn, false, {325, 16, 81, 33}, kWhole},
      {d->CheckBox1, false, {325, 67, 78, 19}, kWhole},
      {d->GroupBox1, false, {17, 104, 391, 114}, kWhole},
      {d->Label5, true, {28, 26, 32, 13}, kRightEdge},
      {d->Label6, true, {21, 52, 40, 13}, kRightEdge},
      {d->Label7, true, {147, 26, 48, 13}, kLeftEdge},
      {d->SpeedButton1, true, {156, 52, 114, 24}, kWhole},
      {d->SpeedButton2, true, {269, 52, 113, 24}, kWhole},
      {d->SpeedButton3, true, {156, 78, 114, 24}, kWhole},
      {d->SpeedButton4, true, {269, 78, 113, 24}, kWhole},
      {d->Label8, true, {9, 78, 51, 13}, kLeftEdge},
      {d->ComboComPort, true, {69, 17, 71, 21}, kWhole},
      {d->ComboComBaudRate, true, {69, 43, 71, 21}, kWhole},
      {d->ComboBoxStart, true, {208, 17, 173, 21}, kWhole},
      {d->ComboBoxCodeType, true, {69, 69, 71, 21}, kWhole},
  };
  for (const bool in_group : {false, true}) {
    std::vector<DialogDriver::WindowId> order;
    for (const auto& p : places) {
      if (p.in_group == in_group) order.push_back(ui.Id(p.c));
    }
    EXPECT_EQ(ui.Children(in_group ? ui.Id(d->GroupBox1) : ui.Id(*d)), order)
        << (in_group ? "in the group" : "on the form");
  }
  // Places at the system's dots per inch: each edge of the layout scaled.
  for (const auto& p : places) {
    const DialogDriver::Rect got = ui.Place(p.c);
    EXPECT_EQ(got.top, ui.Scaled(p.r.top)) << p.c->Name;
    if (p.fit != kRightEdge) {
      EXPECT_EQ(got.left, ui.Scaled(p.r.left)) << p.c->Name;
    }
    if (p.fit != kLeftEdge) {
      EXPECT_EQ(got.right(), ui.Scaled(p.r.right())) << p.c->Name;
      EXPECT_EQ(got.height, ui.Scaled(p.r.top + p.r.height) - ui.Scaled(p.r.top)) << p.c->Name;
    }
  }
  EXPECT_GT(ui.Place(d->Label1).right(), ui.Scaled(9 + 100));

  // The item lists are complete.
  const std::vector<std::string> ports = ui.Items(d->ComboComPort);
  const std::vector<std::string> bauds = ui.Items(d->ComboComBaudRate);
  const std::vector<std::string> starts = ui.Items(d->ComboBoxStart);
  const std::vector<std::string> codes = ui.Items(d->ComboBoxCodeType);
  EXPECT_EQ(ports.size(), 7u);
  ASSERT_GT(bauds.size(), 7u);
  EXPECT_EQ(bauds[7], "38400");
  ASSERT_EQ(starts.size(), 4u);
  EXPECT_EQ(starts[3], Sjis("％で開始、、DC4で終了"));
  ASSERT_GT(codes.size(), 1u);
  EXPECT_EQ(codes[1], "EIA");
}

void StartUpWithoutSettingsFile(DialogDriver& ui) {
  auto d = ui.Make();
  EXPECT_EQ(ui.Corner(*d), std::make_pair(0, 0));
  EXPECT_EQ(d->Form->Left(), 0);
  EXPECT_EQ(d->Form->Top(), 0);
  EXPECT_EQ(ui.Shown(d->Label1), Sjis("受信開始ボタンを押してください"));
  EXPECT_EQ(ui.Shown(d->CancelBtn), Sjis("受信開始"));
  // The load replaced the layout's 9600 and DC2 start mode.
  EXPECT_EQ(Picked(ui, d->ComboComPort), "COM1");
  EXPECT_EQ(Picked(ui, d->ComboComBaudRate), "600");
  EXPECT_EQ(Picked(ui, d->ComboBoxStart), Sjis("％で開始、％で終了"));
  EXPECT_EQ(Picked(ui, d->ComboBoxCodeType), "ISO");
  EXPECT_TRUE(ui.Down(d->SpeedButton1));
  const TControl* buttons[] = {d->SpeedButton1, d->SpeedButton2, d->SpeedButton3, d->SpeedButton4};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ui.Shown(buttons[i]), std::to_string(i + 1));
  EXPECT_FALSE(d->ColonAsO);
  EXPECT_EQ(d->StartMark, 0);
  EXPECT_EQ(d->EndMark, 0);
  EXPECT_EQ(ui.ReadIni(), "<missing>");  // reading creates nothing

  const Trs232c& p = *d->rs232c1;
  EXPECT_EQ(p.flowflag, 3);
  EXPECT_EQ(p.packetsize, 900);
  EXPECT_EQ(p.XonChar, 0x13);
  EXPECT_EQ(p.XoffChar, 0x11);
  EXPECT_EQ(p.EvtChar, 0);
  EXPECT_EQ(p.paritymode, Sjis("無し"));
  EXPECT_EQ(p.bps, 9600);
  EXPECT_TRUE(p.OnRXFLAG && p.OnPACKET);
  EXPECT_FALSE(p.OnRXCHAR || p.OnCreate || p.OnOpen || p.OnClose || p.OnERR);

  ui.Show(*d);
  EXPECT_TRUE(ui.HasFocus(d->CancelBtn));
  // Tab runs through the start button, the check box and the four lists.
  const TControl* chain[] = {d->CheckBox1,     d->ComboComPort,     d->ComboComBaudRate,
                             d->ComboBoxStart, d->ComboBoxCodeType, d->CancelBtn};
  for (const TControl* want : chain) {
    ui.Press(Key::Tab);
    EXPECT_TRUE(ui.HasFocus(want)) << want->Name;
  }
}

void PositionArgument(DialogDriver& ui) {
  ui.WriteIni("[Set]\r\nActive=1\r\n");
  const struct {
    std::vector<std::string> args;
    std::pair<int, int> want;
  } cases[] = {
      {{}, {0, 0}},          {{"120,80"}, {120, 80}}, {{"120,80", "9,9"}, {120, 80}},
      {{"-4,0"}, {-4, 0}},   {{"300"}, {0, 300}},     {{"10,20,30"}, {10, 30}},
      {{"10,x,30"}, {0, 0}}, {{"100 ,200"}, {0, 0}},  {{"0x64,0xC8"}, {100, 200}},
      {{"1,2,3,4"}, {0, 0}},
  };
  for (const auto& c : cases) {
    auto d = ui.Make(c.args);
    const std::string arg = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(ui.Corner(*d), c.want) << arg;
    // The rest of the start-up happens whatever the argument.
    EXPECT_EQ(ui.Shown(d->Label1), Sjis("受信開始ボタンを押してください")) << arg;
    EXPECT_TRUE(ui.Down(d->SpeedButton2)) << arg;
  }
  auto d = ui.Make({"120,80"});
  ui.Show(*d);
  EXPECT_EQ(ui.Corner(*d), std::make_pair(120, 80));
}

// A key press at start-up, sent where the focus is.
void KeysAtStartUp(DialogDriver& ui) {
  const struct {
    const char* name;
    Key key;
    Held held;
    bool focus_checkbox;
    bool starts;
  } cases[] = {
      {"Esc", Key::Esc, Held::None, false, true},
      {"Esc on the check box", Key::Esc, Held::None, true, true},
      {"Enter", Key::Enter, Held::None, false, true},
      {"keypad Enter", Key::KeypadEnter, Held::None, false, true},
      {"Space", Key::Space, Held::None, false, true},
      {"Enter on the check box", Key::Enter, Held::None, true, false},
      {"Shift+Esc", Key::Esc, Held::Shift, false, false},
      {"Ctrl+Esc", Key::Esc, Held::Ctrl, false, false},
  };
  for (const auto& c : cases) {
    auto d = ui.Make();
    ui.Show(*d);
    if (c.focus_checkbox) ui.Focus(d->CheckBox1);
    ui.Press(c.key, c.held);
    EXPECT_EQ(d->runs, c.starts ? 1 : 0) << c.name;
    EXPECT_EQ(ui.Shown(d->CancelBtn), c.starts ? Sjis("キャンセル") : Sjis("受信開始")) << c.name;
    EXPECT_EQ(ui.Showing(d->GroupBox1), !c.starts) << c.name;
    if (c.starts) {
      EXPECT_EQ(ui.Shown(d->Label1), Sjis("受信待機中です。NC側の送信を開始して下さい")) << c.name;
    }
  }
}

void EscInEachStateAndTheCloseBox(DialogDriver& ui) {
  auto d = ui.Make();
  ui.Show(*d);
  d->run = [&] {
    ui.Press(Key::Esc);  // the run handles events: this is the cancel click
    EXPECT_TRUE(d->Cancelled);
    d->CancelBtn->SetCaption(Sjis("閉じる"));
  };
  ui.Press(Key::Esc);
  EXPECT_EQ(d->runs, 1);
  EXPECT_EQ(d->quits, 0);
  ui.Press(Key::Esc);  // "閉じる": saves and ends the program
  EXPECT_EQ(d->quits, 1);
  EXPECT_EQ(ui.ReadIni(), kFreshFile);
  EXPECT_TRUE(ui.Showing(*d));
  // The close box does the same, and the window stays until the program ends.
  ui.CloseBox(*d);
  EXPECT_EQ(d->quits, 2);
  EXPECT_TRUE(ui.Showing(*d));
}

void CheckBoxClearsTheDisplay(DialogDriver& ui) {
  auto d = ui.Make();
  ui.Show(*d);
  for (auto* l : {d->Label2, d->Label3, d->Label4}) l->SetCaption("N10 G00");
  ui.Click(d->CheckBox1);
  EXPECT_TRUE(d->CheckBox1->Checked());
  EXPECT_TRUE(ui.Down(d->CheckBox1));
  for (auto* l : {d->Label2, d->Label3, d->Label4}) EXPECT_EQ(ui.Shown(l), "") << l->Name;
  d->Label4->SetCaption("N20");
  ui.Click(d->CheckBox1);
  EXPECT_FALSE(d->CheckBox1->Checked());
  EXPECT_EQ(ui.Shown(d->Label4), "N20");
}

void RenameByRightButton(DialogDriver& ui) {
  const struct {
    const char* name;
    const char* type;  // nullptr: cancel
    const char* want;
  } cases[] = {{"OK", "ABC", "ABC"},
               {"OK empty", "", ""},
               {"cancel", nullptr, "3"},
               {"Japanese", "荒加工", "荒加工"},
               // Typed as the JIS form of the wave dash, stored as the code page's.
               {"wave dash",
                "1\xE3\x80\x9C"
                "2",
                "1～2"}};
  for (const auto& c : cases) {
    ui.RemoveIni();
    auto d = ui.Make();
    ui.Show(*d);
    auto box = ui.OnRenameBox(c.type);
    ui.RightClick(d->SpeedButton3);
    EXPECT_TRUE(box->seen) << c.name;
    EXPECT_EQ(box->title, Sjis("ボタン名変更")) << c.name;
    EXPECT_EQ(box->text, "3") << c.name;
    EXPECT_EQ(ui.Shown(d->SpeedButton3), Sjis(c.want)) << c.name;
    EXPECT_TRUE(ui.Down(d->SpeedButton1)) << c.name;
    EXPECT_FALSE(ui.Down(d->SpeedButton3)) << c.name;
    EXPECT_EQ(d->ActivePreset, 0) << c.name;
    d->Form->Close();
    EXPECT_NE(ui.ReadIni().find("\r\nName3=" + Sjis(c.want) + "\r\n"), std::string::npos) << c.name;
  }
}

void PresetSwitchEditSwitchBack(DialogDriver& ui) {
  auto d = ui.Make();
  ui.Show(*d);
  auto unexpected = ui.OnAnyBox();  // a left click must open no rename box
  ui.Click(d->SpeedButton2);
  EXPECT_EQ(d->ActivePreset, 1);
  EXPECT_TRUE(ui.Down(d->SpeedButton2));
  EXPECT_FALSE(ui.Down(d->SpeedButton1));
  // The operator picks 1200 from the keyboard.
  ui.Focus(d->ComboComBaudRate);
  ui.Press(Key::Down);
  EXPECT_EQ(Picked(ui, d->ComboComBaudRate), "1200");
  EXPECT_EQ(d->Presets[1].BaudIndex, 1);
  ui.Click(d->SpeedButton1);
  EXPECT_EQ(Picked(ui, d->ComboComBaudRate), "600");
  ui.Click(d->SpeedButton2);
  EXPECT_EQ(Picked(ui, d->ComboComBaudRate), "1200");
  ui.Click(d->SpeedButton1);
  EXPECT_FALSE(unexpected->seen);
  d->Form->Close();
  const std::string ini = ui.ReadIni();
  EXPECT_NE(ini.find("Active=0\r\n"), std::string::npos);
  EXPECT_NE(ini.find("baudRate0=0\r\n"), std::string::npos);
  EXPECT_NE(ini.find("baudRate1=1\r\n"), std::string::npos);
}

void StoredPresetTwo(DialogDriver& ui) {
  ui.WriteIni("[Set]\r\nActive=2\r\nPort2=3\r\nbaudRate2=6\r\nStart2=1\r\nCoadType2=1\r\n");
  auto d = ui.Make();
  EXPECT_TRUE(ui.Down(d->SpeedButton3));
  EXPECT_FALSE(ui.Down(d->SpeedButton1));
  EXPECT_EQ(Picked(ui, d->ComboComPort), "COM4");
  EXPECT_EQ(Picked(ui, d->ComboComBaudRate), "19200");
  EXPECT_EQ(Picked(ui, d->ComboBoxStart), Sjis("DC2で開始、DC4で終了"));
  EXPECT_EQ(Picked(ui, d->ComboBoxCodeType), "EIA");
  EXPECT_TRUE(d->ApplyPreset());
  EXPECT_EQ(d->rs232c1->portname, "COM4");
  EXPECT_EQ(d->rs232c1->bps, 19200);
  EXPECT_EQ(d->rs232c1->charbit, 8);
  EXPECT_EQ(d->rs232c1->paritymode, "ODD");
  EXPECT_EQ(d->StartMark, 'D');
  EXPECT_EQ(d->EndMark, 'D');
}

void FailedSaveKeepsTheDialogOpen(DialogDriver& ui) {
  auto d = ui.Make();
  ASSERT_TRUE(ui.BlockIni());  // after the start-up read, which found no file
  ui.Show(*d);
  ui.Click(d->SpeedButton4);
  {
    // After the error, whether to leave without the settings: いいえ.
    std::unique_ptr<DialogDriver::BoxWatch> question;
    auto box = ui.OnMessageBox([&] { question = ui.OnQuestionBox('N'); });
    ui.CloseBox(*d);
    EXPECT_TRUE(box->seen);
    const std::string message = ui.Dir() + "Kelv.ini" + Sjis(" に書き込めません");
    EXPECT_EQ(box->text, kelv::winsys::ErrorBoxText(message));
    EXPECT_EQ(box->text, message + ".");
    EXPECT_EQ(box->title, ui.ProgramTitle());
    ASSERT_TRUE(question);
    EXPECT_TRUE(question->seen);
    EXPECT_EQ(question->title, ui.ProgramTitle());
    EXPECT_EQ(question->text, Sjis("設定を保存せずに終了しますか？"));
    EXPECT_EQ(question->buttons, (std::vector<std::string>{Sjis("はい(&Y)"), Sjis("いいえ(&N)")}));
    EXPECT_EQ(question->default_button, Sjis("いいえ(&N)"));
  }
  EXPECT_EQ(d->quits, 0);
  EXPECT_TRUE(ui.Showing(*d));
  EXPECT_TRUE(ui.Down(d->SpeedButton4));

  ASSERT_TRUE(ui.RemoveIni());
  ui.CloseBox(*d);
  EXPECT_EQ(d->quits, 1);
  EXPECT_NE(ui.ReadIni().find("Active=3\r\n"), std::string::npos);
}

// Settings that cannot be written do not keep the operator in: はい ends the
// program without them, at once or when the run is over.
void LeaveWithoutTheSettings(DialogDriver& ui) {
  for (const bool in_run : {false, true}) {
    SCOPED_TRACE(in_run ? "during a run" : "before a run");
    ui.RemoveIni();
    auto d = ui.Make();
    ASSERT_TRUE(ui.BlockIni());
    ui.Show(*d);
    std::unique_ptr<DialogDriver::BoxWatch> question;
    auto box = ui.OnMessageBox([&] { question = ui.OnQuestionBox('Y'); });
    if (in_run) {
      d->run = [&] {
        ui.CloseBox(*d);
        EXPECT_EQ(d->quits, 0);
      };
      ui.Click(d->CancelBtn);
    } else {
      ui.CloseBox(*d);
    }
    EXPECT_TRUE(box->seen);
    EXPECT_TRUE(question && question->seen);
    EXPECT_EQ(d->quits, 1);
  }
  EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::u8path(ui.Ini())));
}

// The system's session ends: the settings are saved without a box, since
// nobody may be there to answer it, and the program ends.
void SessionEndSavesTheSettings(DialogDriver& ui) {
  auto d = ui.Make();
  ui.Show(*d);
  ui.Click(d->SpeedButton2);
  auto box = ui.OnAnyBox();
  ui.EndSession(*d);
  EXPECT_FALSE(box->seen);
  EXPECT_EQ(d->quits, 1);
  EXPECT_NE(ui.ReadIni().find("Active=1\r\n"), std::string::npos);
}

// While a run is on the system is held up: it does not sleep, and the end of
// its session is refused (the settings are kept meanwhile, without a box) and
// the run goes on. All is let go after the run.
void SessionHeldDuringARun(DialogDriver& ui) {
  auto d = ui.Make();
  ui.Show(*d);
  EXPECT_FALSE(ui.SleepHeld());
  auto box = ui.OnAnyBox();
  d->run = [&] {
    EXPECT_TRUE(ui.SleepHeld());
    EXPECT_FALSE(ui.QueryEndSession(*d));
    EXPECT_EQ(d->quits, 0);
    EXPECT_EQ(ui.ReadIni(), kFreshFile);
  };
  ui.Click(d->CancelBtn);
  EXPECT_EQ(d->runs, 1);
  EXPECT_FALSE(box->seen);
  EXPECT_FALSE(ui.SleepHeld());
  EXPECT_EQ(d->quits, 0);
}

void CloseDuringARunEndsTheProgramAfterIt(DialogDriver& ui) {
  auto d = ui.Make();
  ui.Show(*d);
  bool box_before_quit = false;
  d->run = [&] {
    ui.CloseBox(*d);  // nested in the run
    EXPECT_EQ(ui.ReadIni(), kFreshFile);
    EXPECT_EQ(d->quits, 0);
    EXPECT_TRUE(ui.Showing(*d));
    // An error at the end of the run is still shown before the program ends.
    throw kelv::AppError("Rx.nc");
  };
  auto box = ui.OnMessageBox([&] { box_before_quit = d->quits == 0; });
  ui.Click(d->CancelBtn);
  EXPECT_TRUE(box->seen);
  EXPECT_TRUE(box_before_quit);
  EXPECT_EQ(d->quits, 1);
}

// ---- Whole runs on the stand-in line (standin_device.h) ------------------------

// The dialog with its real run, on a stand-in line that behaves as `habits`
// say, preset 1 as the first start has it (ISO, "%" to "%"). The line goes
// with the driver.
std::unique_ptr<TestDlg> OnStandInLine(DialogDriver& ui, standin::Habits habits) {
  standin::g_driver = std::make_shared<standin::Driver>();
  standin::g_driver->habits = std::move(habits);
  auto d = ui.Make();
  d->rs232c1->SetDeviceFactory(&standin::MakeStandIn);
  d->real_run = true;
  ui.Show(*d);
  return d;
}

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::string ReadOr(const std::string& path) {
  return std::filesystem::is_regular_file(std::filesystem::u8path(path)) ? testfs::Slurp(path)
                                                                         : "<no file>";
}

// A field of the reception log's last line.
enum LogField { kProgram = 9, kEnding = 10, kFile = 12 };
std::string Logged(const DialogDriver& ui, LogField field) {
  std::string line = ReadOr(ui.Dir() + "Rx.log");
  line.resize(line.size() - std::min<size_t>(line.size(), 2));  // its CR LF
  line.erase(0, line.rfind('\n') + 1);
  for (int i = 0; i < field; ++i) line.erase(0, line.find('\t') + 1);
  return line.substr(0, line.find('\t'));
}

// The control sends a short program the moment the line is open: the whole
// of it comes in the first pass. Before the pause every label shows its
// latest text (the count, the last line), never the text of the start.
void BurstAtTheFirstPass(DialogDriver& ui) {
  std::string program = std::string(8, '\0') + "%\nGOTO10\nO1004\n";
  for (int i = 1; i <= 30; ++i)
    program += "N" + std::to_string(i * 10) + " G01 X" + std::to_string(i) + ".\n";
  program += "M30\n%\n";
  standin::Habits line;
  line.at_open = Bytes(program);
  auto d = OnStandInLine(ui, line);
  bool paused = false;
  d->at_pause = [&] {
    paused = true;
    EXPECT_EQ(ui.OnScreen(d->Label1), kelv::ReceivingText(34));
    EXPECT_EQ(ui.OnScreen(d->Label3), "N300 G01 X30.");
    EXPECT_EQ(ui.OnScreen(d->Label4), "M30");
  };
  ui.Click(d->CancelBtn);
  EXPECT_TRUE(paused);
  EXPECT_EQ(ui.Shown(d->Label1), Sjis("受信完了"));
  EXPECT_EQ(ui.Shown(d->CancelBtn), Sjis("閉じる"));
  // The program number is the O word that begins a block, not a word's tail.
  EXPECT_EQ(Logged(ui, kProgram), "O1004");
  EXPECT_EQ(Logged(ui, kEnding), Sjis("完了"));
}

// A read fails, or the line's device goes, mid-program: the box comes over
// the latest count, and once it is gone the status line says how the run
// ended, with the lines received; the partial line is dropped.
void ReadFailureEndText(DialogDriver& ui) {
  const struct {
    const char* name;
    int reads_before_failing;  // -1: the device goes instead
    std::string status;
  } cases[] = {
      {"read fails", 12, Sjis("データ読込みエラーで終了 3行受信済")},
      {"device goes", -1, Sjis("回線喪失で終了 3行受信済")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin::Habits line;
    line.at_open = Bytes("%\nO1\nG1 X1.\nG2 Y");  // its first 12 bytes hold three lines
    line.reads_before_short = c.reads_before_failing;
    if (c.reads_before_failing < 0) line.status_fails_from = 2;
    auto d = OnStandInLine(ui, line);
    std::string at_box;
    auto box = ui.OnMessageBox([&] { at_box = ui.OnScreen(d->Label1); });
    ui.Click(d->CancelBtn);
    EXPECT_TRUE(box->seen);
    EXPECT_EQ(box->text, Sjis("データ読込みエラー"));
    EXPECT_EQ(at_box, kelv::ReceivingText(3));
    EXPECT_EQ(ui.Shown(d->Label1), c.status);
    EXPECT_EQ(ui.Shown(d->CancelBtn), Sjis("閉じる"));
    EXPECT_EQ(ReadOr(ui.Dir() + "Rx.nc"), "%\r\nO1\r\nG1 X1.\r\n");
  }
}

// "Rx.nc" cannot be made (a folder in its place) and the save box is
// cancelled: the status line and the log say the program is not saved, and
// it is not dropped without a word. The close (閉じる, Esc, the close box)
// asks; いいえ, the default, tries the save again and keeps the dialog; はい
// ends the program; the session's end writes it to "Rx.nc".
void UnsavedProgramIsKept(DialogDriver& ui) {
  namespace fs = std::filesystem;
  const std::string program = "%\r\nO1\r\nG1 X1.\r\n%\r\n";
  enum Close { kNoThenSaved, kYesByEsc, kYesByCloseBox, kSessionEnd };
  for (const Close how : {kNoThenSaved, kYesByEsc, kYesByCloseBox, kSessionEnd}) {
    SCOPED_TRACE(how);
    const std::string rx = ui.Dir() + "Rx.nc";
    fs::remove_all(fs::u8path(rx));
    ASSERT_TRUE(fs::create_directory(fs::u8path(rx)));
    standin::Habits line;
    line.at_open = Bytes("%\nO1\nG1 X1.\n%\n");
    auto d = OnStandInLine(ui, line);
    {
      std::unique_ptr<DialogDriver::BoxWatch> save;
      auto error = ui.OnMessageBox([&] { save = ui.OnAnyBox(); });
      ui.Click(d->CancelBtn);
      EXPECT_TRUE(error->seen);
      EXPECT_TRUE(save && save->seen) << "the save box was offered";
    }
    EXPECT_TRUE(d->HoldsUnsaved());
    EXPECT_EQ(ui.Shown(d->Label1), kelv::UnsavedText(3));
    EXPECT_EQ(Logged(ui, kEnding), Sjis("未保存・完了"));
    EXPECT_EQ(Logged(ui, kFile), "-");

    if (how == kSessionEnd) {
      fs::remove_all(fs::u8path(rx));
      auto none = ui.OnAnyBox();
      ui.EndSession(*d);
      EXPECT_FALSE(none->seen);
    } else {
      std::unique_ptr<DialogDriver::BoxWatch> question;
      auto settings_kept = ui.ReadIni();
      if (how == kNoThenSaved) {
        question = ui.OnQuestionBox('N', [&] { fs::remove_all(fs::u8path(rx)); });
        ui.Click(d->CancelBtn);
      } else {
        question = ui.OnQuestionBox('Y');
        if (how == kYesByEsc) {
          ui.Show(*d);  // active again after the boxes, the focus on 閉じる
          ui.Press(Key::Esc);
        } else {
          ui.CloseBox(*d);
        }
      }
      EXPECT_TRUE(question->seen);
      EXPECT_EQ(question->text,
                Sjis("受信したプログラムは保存されていません。保存せずに終了しますか？"));
      EXPECT_EQ(question->default_button, Sjis("いいえ(&N)"));
      if (how == kNoThenSaved) {
        EXPECT_EQ(d->quits, 0);
        EXPECT_EQ(ui.ReadIni(), settings_kept) << "the dialog stays, unsaved";
        EXPECT_EQ(ui.Shown(d->Label1), Sjis("受信完了"));
        auto none = ui.OnAnyBox();
        ui.Click(d->CancelBtn);
        EXPECT_FALSE(none->seen) << "asked again after the save";
      }
    }
    EXPECT_EQ(d->quits, 1);
    const bool written = how == kNoThenSaved || how == kSessionEnd;
    EXPECT_EQ(ReadOr(rx), written ? program : "<no file>");
    EXPECT_EQ(Logged(ui, kFile), written ? "Rx.nc" : "-");
  }
}

// Wrong line settings turned characters into "%": garbage starts and ends a
// run. It is not called complete: the end text is the hint, the log says so,
// and Rx.nc is written as ever, the program before it kept.
void GarbageEndsARun(DialogDriver& ui) {
  testfs::Spit(ui.Dir() + "Rx.nc", "OLD\r\n");
  standin::Habits line;
  line.at_open = Bytes(
      "\x05\x7f%\x01G\x02\x1e"
      "1\x05\nX\x06\x1c%\n");
  auto d = OnStandInLine(ui, line);
  ui.Click(d->CancelBtn);
  EXPECT_EQ(ui.Shown(d->Label1), kelv::WaitingHintText());
  EXPECT_EQ(ReadOr(ui.Dir() + "Rx.nc"),
            "%\x01G\x02\x1e"
            "1\r\nX\x06\x1c%\r\n");
  EXPECT_EQ(ReadOr(ui.Dir() + "Rx.1.nc"), "OLD\r\n");
  EXPECT_EQ(Logged(ui, kEnding), Sjis("文字化け"));
}

// Every caption, item and text the program can show fits its place, with
// the faces of a Japanese desktop, at 96 and at 120 dots per inch. A place's
// room is in pixels at 96 dpi: its width less the frame, arrow or box the
// system draws beside the text; a label that grows has up to the control
// beside it, the status line up to the start button.
void EveryTextFits(DialogDriver& ui) {
  auto d = ui.Make();
  const std::string many = "9999999";  // lines: a program of some hundred megabytes
  kelv::Reception::ErrorTally tally;
  tally.kinds = serialdev::CE_RXPARITY | serialdev::CE_FRAME;
  tally.marked = 99999;
  tally.lines = {9999997, 9999998, 9999999};
  struct Place {
    const TControl* c;
    int room;
    std::vector<std::string> texts;
  };
  const Place places[] = {
      {d->Label1,
       312,
       {Sjis("受信開始ボタンを押してください"), Sjis("受信待機中です。NC側の送信を開始して下さい"),
        kelv::ReceivingText(9999999), kelv::WaitingHintText(), kelv::EndText(true, 0),
        kelv::EndText(false, 0), kelv::EndText(false, 9999999), Sjis("受信終了・回線エラーあり"),
        Sjis("受信途中で終了（終わりの％なし）") + many + Sjis("行受信済"),
        Sjis("データ読込みエラーで終了 ") + many + Sjis("行受信済"),
        Sjis("回線喪失で終了 ") + many + Sjis("行受信済"), kelv::UnsavedText(9999999)}},
      // The most the display gives up to: the lines named in the log.
      {d->Label2, 282, {kelv::LineErrorText(tally, 0)}},
      {d->CancelBtn, 81 - 10, {Sjis("受信開始"), Sjis("キャンセル"), Sjis("閉じる")}},
      {d->CheckBox1, 78 - 20, {Sjis("表示OFF")}},
      {d->Label5, 60 - 4, {Sjis("ポート")}},
      {d->Label6, 61 - 4, {Sjis("ﾎﾞｰﾚｰﾄ")}},
      {d->Label7, 208 - 147 - 2, {Sjis("送信方法")}},
      {d->Label8, 69 - 9 - 2, {Sjis("送信コード")}},
      {d->ComboComPort, 71 - 22, kelv::PortItems()},
      {d->ComboComBaudRate, 71 - 22, kelv::BaudItems()},
      {d->ComboBoxStart, 173 - 22, kelv::StartModeItems()},
      {d->ComboBoxCodeType, 71 - 22, kelv::CodeTypeItems()},
      {d->SpeedButton1, 114 - 8, {"1"}},
  };
  for (const int dpi : {96, 120}) {
    for (const Place& p : places) {
      for (const std::string& text : p.texts) {
        EXPECT_LE(ui.TextWidth(p.c, text, dpi), p.room * dpi / 96)
            << p.c->Name << " at " << dpi << " dpi: " << kelv::SjisToUtf8(text);
      }
    }
  }
  // The labels grew to show their whole caption, clear of the lists.
  for (const kelv::ui::TLabel* c : {d->Label5, d->Label6, d->Label7, d->Label8}) {
    EXPECT_TRUE(c->Fits(c->Caption())) << c->Name;
  }
  EXPECT_LT(ui.Place(d->Label8).right(), ui.Place(d->ComboBoxCodeType).left);
  EXPECT_LT(ui.Place(d->Label7).right(), ui.Place(d->ComboBoxStart).left);
}

struct Scenario {
  const char* name;
  void (*run)(DialogDriver&);
};

// Failures name the row.
const Scenario kScenarios[] = {
    {"WindowAndLayout", WindowAndLayout},
    {"StartUpWithoutSettingsFile", StartUpWithoutSettingsFile},
    {"PositionArgument", PositionArgument},
    {"KeysAtStartUp", KeysAtStartUp},
    {"EscInEachStateAndTheCloseBox", EscInEachStateAndTheCloseBox},
    {"CheckBoxClearsTheDisplay", CheckBoxClearsTheDisplay},
    {"RenameByRightButton", RenameByRightButton},
    {"PresetSwitchEditSwitchBack", PresetSwitchEditSwitchBack},
    {"StoredPresetTwo", StoredPresetTwo},
    {"FailedSaveKeepsTheDialogOpen", FailedSaveKeepsTheDialogOpen},
    {"CloseDuringARunEndsTheProgramAfterIt", CloseDuringARunEndsTheProgramAfterIt},
    {"LeaveWithoutTheSettings", LeaveWithoutTheSettings},
    {"SessionEndSavesTheSettings", SessionEndSavesTheSettings},
    {"SessionHeldDuringARun", SessionHeldDuringARun},
    {"BurstAtTheFirstPass", BurstAtTheFirstPass},
    {"ReadFailureEndText", ReadFailureEndText},
    {"UnsavedProgramIsKept", UnsavedProgramIsKept},
    {"GarbageEndsARun", GarbageEndsARun},
    {"EveryTextFits", EveryTextFits},
};

class DialogScenario : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override { ui_ = MakeDialogDriver(); }
  void TearDown() override {
    ui_.reset();
    standin::g_driver.reset();
  }
  std::unique_ptr<DialogDriver> ui_;
};

TEST_P(DialogScenario, Run) {
  GetParam().run(*ui_);
}

std::string RowName(const ::testing::TestParamInfo<Scenario>& row) {
  return row.param.name;
}

INSTANTIATE_TEST_SUITE_P(BothFrontEnds, DialogScenario, ::testing::ValuesIn(kScenarios), RowName);

}  // namespace
