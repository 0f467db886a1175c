#include <QApplication>

#include "winsys.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  kelv::winsys::InstallHandOver();
  return 0;
}
