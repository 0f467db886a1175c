// Pure translations of the serial component's settings (lineprops.h):
// property texts to device values, the line properties to the device control
// block and time-outs, the assigned handlers to the event mask, and port names. Nothing here touches a device. (The termios side
// is in termios_tables.h, beside the POSIX backend.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lineprops.h"
#include "serialdev.h"

namespace serialtables {

// "1" -> ONESTOPBIT, "1.5" -> ONE5STOPBITS, "2" -> TWOSTOPBITS; any other text
// (compared byte for byte) has no value and leaves the device's setting alone.
std::optional<uint8_t> StopBitsFromText(const std::string& text);

// The parity texts (code page 932 bytes, compared byte for byte) to the device's
// parity value; any other text has no value.
std::optional<uint8_t> ParityFromText(const std::string& text);

// The line events enabled by the assigned handlers, in event-table order.
uint32_t EventMaskFor(const LineEvents& events);

// Changes the device control block read from the device by the line
// properties: baud rate, stop bits and parity by their tables, byte size,
// flag word, limits and characters (those two kept where the property is 0).
void ChangeDeviceControl(const LineProperties& line, serialdev::DeviceControl& dcb);

// The five time-outs from the line properties.
serialdev::CommTimeouts TimeoutsFor(const LineProperties& line);

// The device path for a port name on a system without "COMn" devices: a name
// holding "/" is a path already; otherwise the map entry whose key equals the
// name ignoring ASCII case; otherwise "COMn" (any case, n >= 1) names
// "/dev/ttyS" + (n - 1). Any other name resolves to "" (no device).
std::string ResolvePortName(const std::string& name, const PortMap& map);

// The path CreateFile takes for a port name on Windows. The map entry whose
// key names the same port (ASCII case ignored, and "COM3", "COM3:" and
// "\\.\COM3" all name one port) replaces the name, unless the entry is a POSIX
// path (a map written for Linux); then one trailing ':' (the old "COM1:" form)
// is dropped, and a name not in a device namespace yet (beginning with "\\" or
// "//") gets the prefix "\\.\", without which COM10 and above do not open.
// An empty name resolves to "" (no device).
std::string WindowsDevicePath(const std::string& name, const PortMap& map);

// Whether a Windows system error code with which a queue query
// (ClearCommError) fails says that the device has gone or stopped answering:
// an adapter pulled out, a driver that fails every query. Some of them also
// follow a passing glitch (5 after a USB power-management wake-up, the generic
// 31), so the caller gives the device up only when the failure lasts.
bool DeviceLostCode(unsigned long code);

}  // namespace serialtables
