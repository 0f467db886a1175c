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

void TButton::Click() {
  if (OnClick) Fire([this] { OnClick(this); });
}

void TCheckBox::Clicked() {
  if (OnClick) Fire([this] { OnClick(this); });
}

void TComboBox::Changed() {
  if (OnChange) Fire([this] { OnChange(this); });
}

void TSpeedButton::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  if (OnMouseDown) Fire([&] { OnMouseDown(this, button, shift, x, y); });
}

void TSpeedButton::Clicked() {
  if (OnClick) Fire([this] { OnClick(this); });
}

void TForm::Activated() {
  if (OnActivate) Fire([this] { OnActivate(this); });
}

void TForm::Close() {
  if (OnClose) Fire([this] { OnClose(this); });
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
