#include "UnitRx.h"

#include <optional>

#include "apperror.h"
#include "fileio.h"
#include "frontend.h"
#include "handover.h"
#include "layout.h"
#include "linerun.h"
#include "linechars.h"
#include "posarg.h"
#include "reception.h"
#include "rxfile.h"
#include "rxline.h"
#include "rxlog.h"
#include "sjis.h"

using kelv::Sjis;
using kelv::ui::Fire;

TRXDlg* RXDlg = nullptr;

TRXDlg::TRXDlg(std::vector<std::string> args, std::string dir)
    : TComponent(nullptr),
      QuitApplication([] { kelv::ui::Application::Terminate(); }),
      args_(std::move(args)),
      settings_path_(kelv::SettingsPath(dir)) {
  Name = "RXDlg";
  Form = kelv::ui::CreateForm(kelv::layout::RXDlg());
  FindControls();
  CreatePort();
  FormCreate(this);
}

TRXDlg::~TRXDlg() = default;

void TRXDlg::FindControls() {
  kelv::ui::TForm& f = *Form;
  const auto find = [&f](auto*& member, const char* name) {
    member = f.Find<std::remove_pointer_t<std::remove_reference_t<decltype(member)>>>(name);
    if (!member) throw kelv::AppError(std::string("layout: no control ") + name);
  };
  find(CancelBtn, "CancelBtn");
  find(Label1, "Label1");
  find(Label2, "Label2");
  find(Label3, "Label3");
  find(Label4, "Label4");
  find(CheckBox1, "CheckBox1");
  find(GroupBox1, "GroupBox1");
  find(ComboComPort, "ComboComPort");
  find(Label5, "Label5");
  find(ComboComBaudRate, "ComboComBaudRate");
  find(Label6, "Label6");
  find(ComboBoxStart, "ComboBoxStart");
  find(Label7, "Label7");
  find(SpeedButton1, "SpeedButton1");
  find(SpeedButton2, "SpeedButton2");
  find(SpeedButton3, "SpeedButton3");
  find(SpeedButton4, "SpeedButton4");
  find(ComboBoxCodeType, "ComboBoxCodeType");
  find(Label8, "Label8");
  preset_buttons_ = {SpeedButton1, SpeedButton2, SpeedButton3, SpeedButton4};

  // The handlers the form assigns.
  f.OnActivate = [this](TObject* s) { FormActivate(s); };
  f.OnClose = [this](TObject*) { CloseRequested(); };
  f.OnEndSession = [this](TObject* s) { FormEndSession(s); };
  f.OnQueryEndSession = [this](TObject* s) { FormQueryEndSession(s); };
  CancelBtn->OnClick = [this](TObject*) { StartClicked(); };
  CheckBox1->OnClick = [this](TObject* s) { CheckBox1Click(s); };
  ComboComPort->OnChange = [this](TObject* s) { ComboComPortChange(s); };
  ComboComBaudRate->OnChange = [this](TObject* s) { ComboComBaudRateChange(s); };
  ComboBoxStart->OnChange = [this](TObject* s) { ComboBoxStartChange(s); };
  ComboBoxCodeType->OnChange = [this](TObject* s) { ComboBoxCodeTypeChange(s); };
  for (TSpeedButton* b : preset_buttons_) {
    b->OnClick = [this](TObject* s) { SpeedButton1Click(s); };
  }
  using namespace std::placeholders;
  SpeedButton1->OnMouseDown = std::bind(&TRXDlg::SpeedButton1MouseDown, this, _1, _2, _3, _4, _5);
  SpeedButton2->OnMouseDown = std::bind(&TRXDlg::SpeedButton2MouseDown, this, _1, _2, _3, _4, _5);
  SpeedButton3->OnMouseDown = std::bind(&TRXDlg::SpeedButton3MouseDown, this, _1, _2, _3, _4, _5);
  SpeedButton4->OnMouseDown = std::bind(&TRXDlg::SpeedButton4MouseDown, this, _1, _2, _3, _4, _5);
}

void TRXDlg::CreatePort() {
  rs232c1 = new Trs232c(this);
  rs232c1->Name = "rs232c1";
  kelv::SetRxLine(*rs232c1);
  rs232c1->OnRXFLAG = [this](TObject* Sender) { rs232c1RXFLAG(Sender); };
  rs232c1->OnPACKET = [this](TObject* Sender) { rs232c1PACKET(Sender); };
}

void TRXDlg::Show() {
  Form->Show();
}

size_t TRXDlg::ActiveIndex() const {
  return ActivePreset < Presets.size() ? ActivePreset : 0;
}

kelv::PortPreset& TRXDlg::Active() {
  return Presets[ActiveIndex()];
}

// ---- Start-up and the settings file ----------------------------------------

void TRXDlg::FormCreate(TObject*) {
  if (!args_.empty()) {
    if (auto pos = kelv::ParsePositionArgument(args_[0])) {
      Form->SetLeft(pos->left);
      Form->SetTop(pos->top);
    }
  }
  Label1->SetCaption(Sjis("受信開始ボタンを押してください"));
  LoadSettings();
}

void TRXDlg::FormActivate(TObject*) {}

void TRXDlg::LoadSettings() {
  ColonAsO = false;
  const kelv::Settings s = kelv::LoadSettings(settings_path_);
  ActivePreset = s.ActivePreset;
  Presets = s.Presets;
  // Another index would address no preset; SpeedButton1 stays down, so its
  // preset is the one shown, edited and saved.
  if (ActivePreset >= Presets.size()) ActivePreset = 0;
  preset_buttons_[ActivePreset]->SetDown(true);
  ShowPreset();
  for (size_t i = 0; i < preset_buttons_.size(); ++i) preset_buttons_[i]->SetCaption(s.Names[i]);
  ColonAsO = s.ColonAsO;
  settings_loaded_ = s.Loaded;
  backups_ = s.Backups;
  rs232c1->portmap = s.Ports;
  // Read again at every opening: a map fixed after a failed opening holds
  // at the next start without restarting the program.
  kelv::ReadPortMapAtOpen(*rs232c1, settings_path_);
  for (int i = 0; i < ComboComPort->ItemCount(); ++i) {
    ComboComPort->SetItemHint(i, kelv::PortHint(ComboComPort->Item(i), rs232c1->portmap));
  }
}

void TRXDlg::ShowPreset() {
  const kelv::PortPreset& p = Active();
  ComboComPort->SetItemIndex(p.PortIndex);
  ComboComBaudRate->SetItemIndex(p.BaudIndex);
  ComboBoxStart->SetItemIndex(p.StartMode);
  ComboBoxCodeType->SetItemIndex(p.CodeType);
}

void TRXDlg::FormClose(TObject*) {
  // What was shown are defaults, not the operator's presets: the file keeps
  // those.
  if (!settings_loaded_) return;
  kelv::Settings s;
  s.ActivePreset = ActivePreset;
  s.Presets = Presets;
  for (size_t i = 0; i < preset_buttons_.size(); ++i) s.Names[i] = preset_buttons_[i]->Caption();
  s.ColonAsO = ColonAsO;
  kelv::SaveSettings(s, settings_path_);
}

void TRXDlg::CloseRequested() {
  // During a run the question waits for its end (StartClicked).
  if (!running_ && !MayDropUnsaved()) return;
  if (!settings_loaded_ && !unsaved_told_) {
    unsaved_told_ = true;
    std::string text = Sjis("%s を読み込めなかったため、設定を保存しません");
    text.replace(text.find("%s"), 2, kelv::Utf8ToSjis(settings_path_));
    kelv::winsys::ShowMessage(text);
  }
  // The window stays on the screen in every case: the program ends when the
  // event loop does, and a run may still be on the stack below us.
  try {
    FormClose(this);
  } catch (const std::exception& e) {
    kelv::winsys::ShowError(e);
    // Settings that cannot be written must not keep the operator from
    // leaving; the safe answer, the default, keeps the dialog open.
    if (!kelv::winsys::AskYesNo(Sjis("設定を保存せずに終了しますか？"))) return;
    settings_given_up_ = true;
  }
  if (running_) {
    quit_after_run_ = true;
  } else {
    QuitApplication();
  }
}

void TRXDlg::FormEndSession(TObject*) {
  if (session_ended_) return;
  session_ended_ = true;
  if (run_) {
    EndRun(*run_, true);
  } else if (unsaved_) {
    SaveUnsaved(false);
  }
  if (!settings_given_up_) {
    try {
      FormClose(this);
    } catch (const std::exception&) {
      // No box: nobody may be there to answer it, and the session ends anyway.
    }
  }
  QuitApplication();
}

// ---- Presets ----------------------------------------------------------------

void TRXDlg::SpeedButton1Click(TObject* Sender) {
  ActivePreset = static_cast<uint8_t>(static_cast<TSpeedButton*>(Sender)->Tag);
  ShowPreset();
}

namespace {
uint8_t Selected(const kelv::ui::TComboBox* c) {
  return static_cast<uint8_t>(c->ItemIndex());
}
}  // namespace

void TRXDlg::ComboComPortChange(TObject*) {
  Active().PortIndex = Selected(ComboComPort);
}
void TRXDlg::ComboComBaudRateChange(TObject*) {
  Active().BaudIndex = Selected(ComboComBaudRate);
}
void TRXDlg::ComboBoxStartChange(TObject*) {
  Active().StartMode = Selected(ComboBoxStart);
}
void TRXDlg::ComboBoxCodeTypeChange(TObject*) {
  Active().CodeType = Selected(ComboBoxCodeType);
}

bool TRXDlg::ApplyPreset() {
  kelv::Marks marks{StartMark, EndMark};
  kelv::ApplyPreset(Active(), *rs232c1, marks);
  StartMark = marks.start;
  EndMark = marks.end;
  return true;
}

// ---- Renaming the preset buttons ----------------------------------------------

void TRXDlg::SpeedButton1MouseDown(TObject*, TMouseButton Button, TShiftState, int, int) {
  if (Button == TMouseButton::mbRight) RenameButton(SpeedButton1);
}
void TRXDlg::SpeedButton2MouseDown(TObject*, TMouseButton Button, TShiftState, int, int) {
  if (Button == TMouseButton::mbRight) RenameButton(SpeedButton2);
}
void TRXDlg::SpeedButton3MouseDown(TObject*, TMouseButton Button, TShiftState, int, int) {
  if (Button == TMouseButton::mbRight) RenameButton(SpeedButton3);
}
void TRXDlg::SpeedButton4MouseDown(TObject*, TMouseButton Button, TShiftState, int, int) {
  if (Button == TMouseButton::mbRight) RenameButton(SpeedButton4);
}

void TRXDlg::RenameButton(TSpeedButton* button) {
  // On cancel the box hands back the caption it was given.
  button->SetCaption(kelv::winsys::InputBox(
      Sjis("ボタン名変更"), Sjis("表示する名前を入力してください"), button->Caption()));
}

// ---- Start, cancel, close -------------------------------------------------------

void TRXDlg::StartClicked() {
  Fire([this] { CancelBtnClick(CancelBtn); });
  // A close during the run was saved already; the program ends now that the
  // run is over (after any error box of the run has been seen).
  if (!running_ && quit_after_run_) {
    quit_after_run_ = false;
    if (MayDropUnsaved()) QuitApplication();
  }
}

void TRXDlg::CancelBtnClick(TObject*) {
  const std::string caption = CancelBtn->Caption();
  if (caption == Sjis("受信開始")) {
    CancelBtn->SetCaption(Sjis("キャンセル"));
    Label1->SetCaption(Sjis("受信待機中です。NC側の送信を開始して下さい"));
    GroupBox1->Hide();
    // While it runs, the system's shutdown screen says why the program
    // holds it up.
    struct Running {
      TRXDlg& d;
      explicit Running(TRXDlg& dlg) : d(dlg) {
        d.running_ = true;
        d.Form->SetEndSessionBlock(Sjis("受信中"));
      }
      ~Running() {
        d.running_ = false;
        d.Form->SetEndSessionBlock(std::string());
      }
    } running(*this);
    RunReception();
  } else if (caption == Sjis("キャンセル")) {
    Cancelled = true;
  } else if (caption == Sjis("閉じる")) {
    Form->Close();
  }
}

void TRXDlg::CheckBox1Click(TObject*) {
  if (CheckBox1->Checked()) {
    Label2->SetCaption(std::string());
    Label3->SetCaption(std::string());
    Label4->SetCaption(std::string());
  }
}

// ==== Reception run ===============================================================
// Runs inside the start click. The window is serviced once per polling pass and
// nowhere else, so the cancel click, the check box, a close request and the
// watcher's DC1/DC3 answers all happen between two passes, never inside a
// batch. The passes and the answers are kelv::PollLine and kelv::LineAnswers.

struct TRXDlg::RunState {
  explicit RunState(const kelv::ReceptionSettings& settings) : rx(settings) {}
  kelv::Reception rx;
  bool read_failed = false;
  bool ended = false;  // the line is closed and the lines are saved
  bool hinted = false;  // the status line says to check the settings
  // The previous Rx.nc is kept once per run: a snapshot written when the
  // session's end was asked for must not push it out of the backups.
  std::optional<kelv::BackupResult> kept;
  const kelv::BackupResult& KeepPrevious(const std::string& path, int keep) {
    if (!kept) kept = kelv::KeepPrevious(path, keep);
    return *kept;
  }
};

struct TRXDlg::Unsaved {
  std::vector<std::string> content;
  kelv::ReceptionLogEntry entry;  // as logged once it is saved
  std::string status;             // the run's end text, shown once it is saved
};

std::string TRXDlg::RxPath() const {
  return kelv::fileio::DirectoryOf(settings_path_) + kelv::kRxFileName;
}

void TRXDlg::FormQueryEndSession(TObject*) {
  // The run goes on: the session may yet be cancelled, or ended by force
  // without another word. The settings and the lines so far go to the disk
  // now, without a box; the run's end writes the file again.
  if (!running_) {
    // A program only in memory goes to the disk now, as the session's end
    // would write it.
    if (unsaved_) SaveUnsaved(false);
    return;
  }
  try {
    if (!settings_given_up_) FormClose(this);
  } catch (const std::exception&) {
  }
  if (!run_ || run_->ended) return;
  try {
    const std::vector<std::string>& so_far = run_->rx.FileBlocks();
    if (!so_far.empty()) {
      run_->KeepPrevious(RxPath(), backups_);
      kelv::WriteRxFileBlocks(RxPath(), so_far);
    }
  } catch (const std::exception&) {
  }
}

void TRXDlg::RunReception() {
  ApplyPreset();
  if (!rs232c1->Open()) {
    // The system's reason, where it gave one, on a line of its own.
    const std::string& why = rs232c1->LastFailure().text;
    kelv::winsys::ShowMessage(Sjis("回線が開けません！設定又は接続を確認してください。") +
                              (why.empty() ? std::string() : "\n" + why));
    Label1->SetCaption(Sjis("受信開始ボタンを押してください"));
    CancelBtn->SetCaption(Sjis("受信開始"));
    return;
  }
  rs232c1->SetDTR(true);
  rs232c1->SetRTS(true);
  // A control that sends at once may fill the first pass: the start of the
  // run is on the screen before it.
  kelv::winsys::PaintNow();

  kelv::ReceptionSettings settings;
  settings.StartMark = StartMark;
  settings.EndMark = EndMark;
  settings.ColonAsO = ColonAsO;
  settings.Eia = Active().CodeType == 1;
  RunState run(settings);
  run_ = &run;
  answers_ = std::make_unique<kelv::LineAnswers>(*rs232c1);
  struct Forget {
    TRXDlg& d;
    ~Forget() {
      d.run_ = nullptr;
      d.answers_.reset();
      d.hooks_ = kelv::PassHooks();
    }
  } forget{*this};

  // The session's end may end the run from inside the message processing.
  hooks_.process_messages = [this, &run] {
    // Bytes no program holds while waiting: the settings are likely wrong.
    // The run goes on waiting; the first line received replaces the hint.
    if (!run.hinted && run.rx.WaitingLooksWrong()) {
      run.hinted = true;
      Label1->SetCaption(kelv::WaitingHintText());
    }
    kelv::winsys::ProcessMessages();
  };
  hooks_.cancelled = [this, &run] { return Cancelled || run.ended; };
  hooks_.wait = [](int ms) { kelv::winsys::WaitForEvents(ms); };
  hooks_.wake = [] { HandOver::Ui().Poke(); };
  hooks_.paint = [] { kelv::winsys::PaintNow(); };
  hooks_.line_completed = [this](const kelv::Reception& r, const kelv::Reception::StepResult& s) {
    Label1->SetCaption(kelv::ReceivingText(r.LineCount()));
    if (!CheckBox1->Checked()) {
      Label2->SetCaption(Label3->Caption());
      Label3->SetCaption(Label4->Caption());
      Label4->SetCaption(s.display);
    }
  };
  run.read_failed = kelv::PollLine(*rs232c1, run.rx, *answers_, hooks_) == kelv::RunEnd::ReadFailed;
  EndRun(run, false);
}

void TRXDlg::EndRun(RunState& run, bool at_session_end) {
  if (run.ended) return;
  run.ended = true;
  if (at_session_end && !run.read_failed && !run.rx.Finished()) {
    // What has already arrived is kept too; nothing more is waited for.
    const int32_t n = rs232c1->InQueueCount();
    if (n > 0) run.read_failed = !kelv::ReadBatch(*rs232c1, run.rx, *answers_, hooks_, n);
  }
  // After a failed read the unfinished line is dropped.
  if (!run.read_failed) run.rx.FinishRun();
  answers_->Release();
  kelv::TakeLineErrors(*rs232c1, run.rx);
  // A device that has gone answers no count any more.
  const bool lost = run.read_failed && rs232c1->InQueueCount() < 0;
  const kelv::RunEnding ending = kelv::DecideEnding(run.rx, run.read_failed, lost, at_session_end);
  // Every label shows its latest text before the window goes unserviced (a
  // box, the pause, the close).
  if (!at_session_end) kelv::winsys::PaintNow();
  // To the disk before anything waits: a box nobody answers, the pause or a
  // slow driver's close may outlast the program (an ended task, a forced
  // shutdown, the session's end).
  const bool saved = SaveReception(run, ending, run.rx.TakeFileBlocks(), at_session_end);
  if (at_session_end) {
    rs232c1->Close();
    return;
  }
  if (run.read_failed) {
    kelv::winsys::ShowMessage(Sjis("データ読込みエラー"));
  } else {
    EndPause();
  }
  rs232c1->Close();
  CheckBox1->Hide();
  const std::string status = kelv::EndStatusText(ending, run.rx);
  if (unsaved_) unsaved_->status = status;
  Label1->SetCaption(saved ? status : kelv::UnsavedText(run.rx.LineCount()));
  // Which errors, in the top line of the display, with as many of their
  // lines as it shows whole (the log names them all).
  std::string errors;
  for (const size_t lines : {3, 1, 0}) {
    errors = kelv::LineErrorText(run.rx.Errors(), lines);
    if (Label2->Fits(errors)) break;
  }
  if (!errors.empty()) Label2->SetCaption(errors);
  CancelBtn->SetCaption(Sjis("閉じる"));
}

void TRXDlg::EndPause() {
  kelv::winsys::Sleep(EndPauseMs);
}

void TRXDlg::Log(const kelv::ReceptionLogEntry& e) const {
  // A log that cannot be written stops nothing.
  kelv::AppendReceptionLog(kelv::fileio::DirectoryOf(settings_path_) + kelv::kRxLogName,
                           kelv::ReceptionLogLine(e));
}

std::string TRXDlg::LogFileField(const std::string& written) const {
  const std::string dir = kelv::fileio::DirectoryOf(settings_path_);
  return kelv::Utf8ToSjis(
      kelv::fileio::DirectoryOf(written) == dir ? kelv::fileio::FileNameOf(written) : written);
}

bool TRXDlg::SaveReception(RunState& run, kelv::RunEnding ending, std::vector<std::string> content,
                           bool at_session_end) {
  const kelv::Reception& rx = run.rx;
  kelv::ReceptionLogEntry e;
  e.when = kelv::LocalTimeText();
  std::string written;
  if (!content.empty()) {
    // Nothing is kept when nothing replaces it; the new program matters more
    // than the copy of the old one.
    const kelv::BackupResult& backup = run.KeepPrevious(RxPath(), backups_);
    written = SaveReceived(content, !at_session_end);
    e.file = LogFileField(written);
    if (!backup.made.empty()) {
      e.backup = kelv::Utf8ToSjis(kelv::fileio::FileNameOf(backup.made));
    } else if (!backup.failure.empty()) {
      e.backup = Sjis("失敗 ") + backup.failure;
      // Told where the end of the run is read, without a box to wait for;
      // only when the old program has really been replaced.
      if (!at_session_end && written == RxPath()) {
        Label3->SetCaption(Sjis("前のRx.ncを残せませんでした: ") + backup.failure);
      }
    }
  }
  const kelv::PortPreset& p = Active();
  e.preset = static_cast<int>(ActiveIndex()) + 1;
  e.button = preset_buttons_[ActiveIndex()]->Caption();
  e.port = rs232c1->portname;
  e.baud = rs232c1->bps;
  const auto& codes = kelv::CodeTypeItems();
  e.code = p.CodeType < codes.size() ? codes[p.CodeType] : std::to_string(p.CodeType);
  const auto& modes = kelv::StartModeItems();
  e.start_mode = p.StartMode < modes.size() ? modes[p.StartMode] : std::to_string(p.StartMode);
  for (const std::string& b : content) e.bytes += b.size();
  e.lines = rx.LineTotal();
  e.program = kelv::FirstProgramNumber(content);
  e.ending = kelv::EndingName(ending);
  e.errors = kelv::LineErrorText(rx.Errors(), kelv::Reception::kMaxErrorLines);
  const bool saved = content.empty() || !written.empty();
  kelv::ReceptionLogEntry logged = e;
  if (!saved) logged.ending = Sjis("未保存・") + e.ending;
  Log(logged);
  if (!saved) {
    // Kept until it is saved, let go at the close, or written at the
    // session's end.
    unsaved_ = std::make_unique<Unsaved>();
    unsaved_->content = std::move(content);
    unsaved_->entry = std::move(e);
  }
  return saved;
}

std::string TRXDlg::SaveReceived(const std::vector<std::string>& content, bool boxes) {
  const std::string dir = kelv::fileio::DirectoryOf(settings_path_);
  std::string path = RxPath();
  // The program exists only in memory now: after a failed save the operator
  // may keep it elsewhere.
  for (;;) {
    try {
      kelv::WriteRxFileBlocks(path, content);
      return path;
    } catch (const kelv::AppError& e) {
      if (!boxes) return std::string();
      kelv::winsys::ShowError(e);
    }
    path = kelv::winsys::SaveAsBox(dir, kelv::kRxFileName);
    if (path.empty()) return path;
  }
}

void TRXDlg::SaveUnsaved(bool boxes) {
  Unsaved& u = *unsaved_;
  const std::string written = SaveReceived(u.content, boxes);
  if (written.empty()) return;
  u.entry.when = kelv::LocalTimeText();
  u.entry.file = LogFileField(written);
  Log(u.entry);
  if (!u.status.empty()) Label1->SetCaption(u.status);
  unsaved_.reset();
}

bool TRXDlg::MayDropUnsaved() {
  if (!unsaved_) return true;
  if (kelv::winsys::AskYesNo(
          Sjis("受信したプログラムは保存されていません。保存せずに終了しますか？"))) {
    return true;
  }
  SaveUnsaved(true);
  return false;
}

// The watcher's answers go through the run's: one DC1 per DC2 and one DC3 per
// hold, whichever side sees it first. Outside a run no line is open.
void TRXDlg::rs232c1RXFLAG(TObject*) {
  if (answers_) {
    answers_->WatcherSawEventChar();
  } else {
    rs232c1->WriteByte(linechars::kDC1);
  }
}

void TRXDlg::rs232c1PACKET(TObject*) {
  if (answers_) {
    answers_->WatcherQueueFull();
  } else {
    rs232c1->WriteByte(linechars::kDC3);
  }
}
