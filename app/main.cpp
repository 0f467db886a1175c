// Program entry: the receive dialog is the program; closing it ends it.
#include <memory>

#include "UnitRx.h"
#include "frontend.h"

int main(int argc, char** argv) {
  kelv::ui::Application app(argc, argv);
  auto dialog = std::make_unique<TRXDlg>(app.Arguments());
  RXDlg = dialog.get();
  dialog->Show();
  const int code = app.Run();
  RXDlg = nullptr;
  return code;
}
