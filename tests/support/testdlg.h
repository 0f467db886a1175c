// What the dialog tests of both front ends share: the dialog with its run
// replaced and its quit requests counted.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "UnitRx.h"
#include "fresh_settings.h"

class TestDlg : public TRXDlg {
 public:
  TestDlg(std::vector<std::string> args, std::string dir) : TRXDlg(std::move(args), dir) {
    QuitApplication = [this] { ++quits; };
  }
  std::function<void()> run;
  int runs = 0;
  int quits = 0;

 protected:
  void RunReception() override {
    ++runs;
    if (run) run();
  }
};
