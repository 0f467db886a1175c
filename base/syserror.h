// The system's own words for an error code, as the program's 8-bit text.
#pragma once

#include <string>

namespace kelv {

// The text the system gives for `code` (errno on POSIX, a GetLastError code on
// Windows) in code page 932, without a trailing line end; "error <code>" where
// the system has none.
std::string SystemErrorText(long code);

// The calling thread's last system error code (errno, or GetLastError()).
long LastSystemError();

}  // namespace kelv
