// The Qt widgets behind the dialog's controls, for tests that drive the
// dialog as an operator would: W(d.CancelBtn) is the QPushButton on screen.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QPushButton>
#include <QToolButton>
#include <memory>

#include "UnitRx.h"
#include "mnemoniclabel.h"
#include "qtfront.h"
#include "text.h"

inline QPushButton* W(const kelv::ui::TButton* c) {
  return kelv::qtui::As<QPushButton>(c);
}
inline QCheckBox* W(const kelv::ui::TCheckBox* c) {
  return kelv::qtui::As<QCheckBox>(c);
}
inline MnemonicLabel* W(const kelv::ui::TLabel* c) {
  return kelv::qtui::As<MnemonicLabel>(c);
}
inline QComboBox* W(const kelv::ui::TComboBox* c) {
  return kelv::qtui::As<QComboBox>(c);
}
inline QToolButton* W(const kelv::ui::TSpeedButton* c) {
  return kelv::qtui::As<QToolButton>(c);
}
inline QGroupBox* W(const kelv::ui::TGroupBox* c) {
  return kelv::qtui::As<QGroupBox>(c);
}
inline QWidget* W(const std::unique_ptr<kelv::ui::TForm>& f) {
  return kelv::qtui::WindowOf(f.get());
}
// The dialog's window.
inline QWidget* W(const TRXDlg& d) {
  return kelv::qtui::WindowOf(d.Form.get());
}

// What a label or button shows, as code page 932 text.
inline std::string Text(const kelv::ui::TLabel* l) {
  return kelv::FromQ(W(l)->text());
}
inline std::string Text(const kelv::ui::TButton* b) {
  return kelv::FromQ(W(b)->text());
}
