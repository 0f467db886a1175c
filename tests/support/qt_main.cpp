// Test entry for the dialog tests: one QApplication for the whole binary.
#include <gtest/gtest.h>

#include <QApplication>

#include "qtfront.h"
#include "winsys.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM",
          qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  kelv::qtui::UseJapanese();
  kelv::winsys::InstallHandOver();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
