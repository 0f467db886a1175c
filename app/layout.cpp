#include "layout.h"

#include <algorithm>

#include "presets.h"
#include "sjis.h"

namespace kelv::layout {

namespace {

// A control with its place; the rest is the kind's own.
Control Placed(const std::string& name, Kind kind, const char* parent, int l, int t, int w, int h) {
  Control c;
  c.name = name;
  c.kind = kind;
  c.parent = parent;
  c.left = l, c.top = t, c.width = w, c.height = h;
  return c;
}

Control Label(const char* name, const char* parent, int l, int t, int w, int h,
              const char* text = "") {
  Control c = Placed(name, Kind::Label, parent, l, t, w, h);
  c.text = Sjis(text);
  return c;
}

// A control of the window itself, in the tab order.
Control Top(const char* name, Kind kind, int l, int t, int w, int h, const char* text, int tab) {
  Control c = Placed(name, kind, "", l, t, w, h);
  c.text = Sjis(text);
  c.tab_order = tab;
  return c;
}

Control List(const char* name, int l, int t, int w, int h, const std::vector<std::string>& items,
             int selected, int tab) {
  Control c = Placed(name, Kind::ComboBox, "GroupBox1", l, t, w, h);
  c.items = items;
  c.selected = selected;
  c.tab_order = tab;
  return c;
}

Control Preset(int number, int l, int t, int w, int h) {
  Control c = Placed("SpeedButton" + std::to_string(number), Kind::SpeedButton, "GroupBox1", l, t,
                     w, h);
  c.text = std::to_string(number);
  c.tag = number - 1;
  c.group_index = 1;
  c.down = number == 1;
  return c;
}

Form MakeRXDlg() {
  Form f;
  f.name = "RXDlg";
  f.caption = Sjis("データ受信");
  f.client_width = 423;
  f.client_height = 223;
  f.font_points = 8;

  Control label1 = Label("Label1", "", 9, 8, 0, 13);
  label1.auto_size = true;
  label1.max_width = 325 - 9 - 4;  // up to the start button
  f.controls.push_back(label1);
  f.controls.push_back(Label("Label2", "", 11, 30, 282, 23));
  f.controls.push_back(Label("Label3", "", 11, 50, 282, 20));
  f.controls.push_back(Label("Label4", "", 11, 69, 282, 22));

  Control cancel = Top("CancelBtn", Kind::Button, 325, 16, 81, 33, "受信開始", 0);
  cancel.cancel_role = true;
  f.controls.push_back(cancel);
  f.controls.push_back(Top("CheckBox1", Kind::CheckBox, 325, 67, 78, 19, "表示OFF", 1));
  f.controls.push_back(Top("GroupBox1", Kind::GroupBox, 17, 104, 391, 114, "設定", 2));

  for (Control c : {Label("Label5", "GroupBox1", 28, 26, 32, 13, "ポート"),
                    Label("Label6", "GroupBox1", 21, 52, 40, 13, "ﾎﾞｰﾚｰﾄ")}) {
    c.right_aligned = true;
    c.grows = true;
    c.font = Font::PGothic13;
    f.controls.push_back(c);
  }
  // The captions of the settings are shown whole whatever the face; the
  // lists beside them leave room.
  Control label7 = Label("Label7", "GroupBox1", 147, 26, 48, 13, "送信方法");
  label7.grows = true;
  f.controls.push_back(label7);
  f.controls.push_back(Preset(1, 156, 52, 114, 24));
  f.controls.push_back(Preset(2, 269, 52, 113, 24));
  f.controls.push_back(Preset(3, 156, 78, 114, 24));
  f.controls.push_back(Preset(4, 269, 78, 113, 24));
  Control label8 = Label("Label8", "GroupBox1", 9, 78, 51, 13, "送信コード");
  label8.grows = true;
  f.controls.push_back(label8);
  f.controls.push_back(List("ComboComPort", 69, 17, 71, 21, PortItems(), 0, 0));
  f.controls.push_back(List("ComboComBaudRate", 69, 43, 71, 21, BaudItems(), 4, 1));
  f.controls.push_back(List("ComboBoxStart", 208, 17, 173, 21, StartModeItems(), 1, 2));
  f.controls.push_back(List("ComboBoxCodeType", 69, 69, 71, 21, CodeTypeItems(), 0, 3));
  return f;
}

}  // namespace

const Control* Form::Find(const std::string& control_name) const {
  for (const Control& c : controls) {
    if (c.name == control_name) return &c;
  }
  return nullptr;
}

std::vector<const Control*> Form::TabOrder() const {
  // Within each parent by tab_order; a group's children take its place.
  std::vector<const Control*> out;
  const auto walk = [&](const auto& self, const std::string& parent) -> void {
    std::vector<const Control*> level;
    for (const Control& c : controls) {
      if (c.parent == parent && c.tab_order >= 0) level.push_back(&c);
    }
    std::stable_sort(level.begin(), level.end(), [](const Control* a, const Control* b) {
      return a->tab_order < b->tab_order;
    });
    for (const Control* c : level) {
      if (c->kind == Kind::GroupBox) {
        self(self, c->name);
      } else {
        out.push_back(c);
      }
    }
  };
  walk(walk, "");
  return out;
}

const Form& RXDlg() {
  static const Form form = MakeRXDlg();
  return form;
}

}  // namespace kelv::layout
