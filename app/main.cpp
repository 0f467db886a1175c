// Program entry: the receive dialog is the program; closing it ends it.
#include <QApplication>
#include <memory>
#include <string>
#include <vector>

#include "UnitRx.h"
#include "winsys.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);  // takes its own options out of argv
  kelv::winsys::InstallHandOver();

  std::vector<std::string> args(argv + 1, argv + argc);
  auto dialog = std::make_unique<TRXDlg>(args);
  RXDlg = dialog.get();
  dialog->show();
  const int code = app.exec();
  RXDlg = nullptr;
  return code;
}
