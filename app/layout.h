// The receive dialog's layout as data: the window, and each control with its
// kind, parent, place, text or items, font and tab order. Both front ends make
// the window from this table, so it is written once. Texts are code page 932.
// Places are pixels at 96 dots per inch, from the top-left corner of the
// parent's client area.
#pragma once

#include <string>
#include <vector>

namespace kelv::layout {

enum class Kind { Label, Button, CheckBox, GroupBox, ComboBox, SpeedButton };

enum class Font {
  Default,    // the system's user-interface font at 8 points
  PGothic13,  // "ＭＳ Ｐゴシック", 13 pixels
};

struct Control {
  std::string name;
  Kind kind = Kind::Label;
  std::string parent;  // empty: the form itself
  int left = 0, top = 0, width = 0, height = 0;
  std::string text;                // caption (labels, buttons, boxes)
  std::vector<std::string> items;  // drop-down lists
  int selected = -1;               // drop-down lists: the form's selection
  int tab_order = -1;              // -1: takes no focus
  bool auto_size = false;          // labels: as wide as their text
  int max_width = 0;               // ... up to this (0: no limit)
  bool grows = false;  // fixed labels: wider to show the whole text, away from the aligned edge
  bool right_aligned = false;  // labels
  Font font = Font::Default;
  bool cancel_role = false;  // buttons: Esc clicks it
  bool down = false;         // speed buttons: down in the form
  int tag = 0;               // speed buttons
  int group_index = 0;       // speed buttons: exclusive group
};

struct Form {
  std::string name;
  std::string caption;
  int client_width = 0, client_height = 0;
  int font_points = 8;
  std::vector<Control> controls;  // in creation order; parents before children

  const Control* Find(const std::string& control_name) const;
  // Controls that take the focus, in tab order.
  std::vector<const Control*> TabOrder() const;
};

// The receive dialog "RXDlg".
const Form& RXDlg();

}  // namespace kelv::layout
