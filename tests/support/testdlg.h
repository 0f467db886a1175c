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
  // The real run instead of `run`, on the line the test gives rs232c1.
  bool real_run = false;
  // Called in the pause before the line closes (which then takes no time).
  std::function<void()> at_pause;

 protected:
  void RunReception() override {
    ++runs;
    if (real_run) {
      TRXDlg::RunReception();
    } else if (run) {
      run();
    }
  }
  void EndPause() override {
    if (at_pause) at_pause();
  }
};
