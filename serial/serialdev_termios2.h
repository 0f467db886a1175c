// The termios2 ioctls of Linux, which set any baud rate. Kept in a file of
// their own because the kernel's termios headers cannot meet <termios.h>.
#pragma once

#include <cstdint>

#include "termios_tables.h"

namespace serialdev {

// Reads the device's settings: mode words without baud bits, output speed,
// XON and XOFF characters. The modem-line fields are left alone.
bool ReadTermios2(int fd, serialtables::LineTermios& t);

// Applies t with its speed as an arbitrary rate (input speed the same), reads
// the settings back into `applied`. Non-blocking reads: VMIN and VTIME are 0.
bool WriteTermios2(int fd, const serialtables::LineTermios& t, serialtables::LineTermios& applied);

}  // namespace serialdev
