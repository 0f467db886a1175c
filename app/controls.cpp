#include "controls.h"

#include "winsys.h"

namespace kelv::ui {

void Fire(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    winsys::ShowError(e);
  }
}

namespace {

// Calls a handler when one is assigned, showing what it throws.
template <class Handler, class... Args>
void Notify(const Handler& handler, Args... args) {
  if (handler) Fire([&] { handler(args...); });
}

}  // namespace

void TButton::Click() {
  Notify(OnClick, this);
}

void TCheckBox::Clicked() {
  Notify(OnClick, this);
}

void TComboBox::Changed() {
  Notify(OnChange, this);
}

void TSpeedButton::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  Notify(OnMouseDown, this, button, shift, x, y);
}

void TSpeedButton::Clicked() {
  Notify(OnClick, this);
}

void TForm::Activated() {
  Notify(OnActivate, this);
}

void TForm::Close() {
  Notify(OnClose, this);
}

void TForm::EndSession() {
  if (OnEndSession) OnEndSession(this);
}

void TForm::QueryEndSession() {
  if (OnQueryEndSession) OnQueryEndSession(this);
}

void TForm::SetEndSessionBlock(const std::string& reason) {
  if (reason == end_session_block_) return;
  end_session_block_ = reason;
  EndSessionBlockChanged();
  winsys::HoldSystem(reason);
}

}  // namespace kelv::ui
