// The base of the tests' stand-in devices: every configuration call is
// accepted, so a stand-in writes only the behaviour it plays.
#pragma once

#include <string>

#include "serialdev.h"

struct AcceptingDevice : serialdev::SerialDevice {
  bool Open(const std::string&) override { return true; }
  bool SetupQueues(uint32_t, uint32_t) override { return true; }
  bool GetState(serialdev::DeviceControl&) override { return true; }
  bool SetState(const serialdev::DeviceControl&) override { return true; }
  bool GetTimeouts(serialdev::CommTimeouts&) override { return true; }
  bool SetTimeouts(const serialdev::CommTimeouts&) override { return true; }
};
