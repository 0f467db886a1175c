// The system's code page 932 converter behind sjis.h (one file per system:
// sjis_iconv.cpp, sjis_win32.cpp). Internal to base/.
#pragma once

#include <string>

namespace kelv::sjis_backend {

// UTF-8 to code page 932 without any best-fit guessing: a character outside
// the code page (or a byte that is no UTF-8) becomes '?', and the result is
// false when that happened.
bool Encode(const std::string& utf8, std::string& out);

// Code page 932 to UTF-8; bytes that form no character become U+FFFD.
std::string Decode(const std::string& sjis);

}  // namespace kelv::sjis_backend
