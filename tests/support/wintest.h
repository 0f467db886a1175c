// Helpers of the Windows-only tests. Free of <windows.h>, whose macros clash
// with the names of the serial interface.
#pragma once

#include <string>

namespace wintest {

// True when running under Wine rather than Windows.
bool UnderWine();

}  // namespace wintest
