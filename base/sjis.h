// Conversion between UTF-8 and the program's 8-bit text (Shift-JIS, code page 932).
//
// The program keeps every text as code page 932 bytes, as the settings file and
// the serial line hold them. Source literals are UTF-8; they are converted once
// with Sjis(). The toolkit edge has its own pair of functions (frontend/qt/text.h).
#pragma once

#include <string>

namespace kelv {

// UTF-8 to code page 932. Characters without a code page 932 form become '?'.
std::string Utf8ToSjis(const std::string& utf8);

// Code page 932 to UTF-8. Bytes that do not form a character become U+FFFD.
std::string SjisToUtf8(const std::string& sjis);

// Converts a UTF-8 source literal. Meant for literals only: the result of each
// distinct literal is computed once and kept.
const std::string& Sjis(const char* utf8_literal);

}  // namespace kelv
