// What the dialog tests of both front ends share: the dialog with its run
// replaced and its quit requests counted, and the settings file a first close
// writes.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "UnitRx.h"

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

// "Kelv.ini" after the first close of a dialog nobody changed.
inline const char kFreshFile[] =
    "[Set]\r\nActive=0\r\n"
    "Port0=0\r\nbaudRate0=0\r\nStart0=0\r\nCoadType0=0\r\n"
    "Port1=0\r\nbaudRate1=0\r\nStart1=0\r\nCoadType1=0\r\n"
    "Port2=0\r\nbaudRate2=0\r\nStart2=0\r\nCoadType2=0\r\n"
    "Port3=0\r\nbaudRate3=0\r\nStart3=0\r\nCoadType3=0\r\n"
    "Name1=1\r\nName2=2\r\nName3=3\r\nName4=4\r\n";
