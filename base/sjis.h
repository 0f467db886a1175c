// Conversion between UTF-8 and the program's 8-bit text (Shift-JIS, code page 932).
//
// The program keeps every text as code page 932 bytes, as the settings file and
// the serial line hold them. Source literals are UTF-8; they are converted once
// with Sjis(). The toolkit's edge (frontend/qt/text.h) converts through the
// same functions, so a
// text typed into the window becomes the same bytes on every system.
//
// Several characters have two Unicode forms in common use: the one Windows
// gives for code page 932 and the one of the JIS tables, which Linux input
// methods and fonts often produce ("〜" U+301C for "～" U+FF5E, "−" U+2212 for
// "－" U+FF0D, and a few more). Both forms convert to the same code page 932
// character here; converting back gives the Windows form.
#pragma once

#include <string>
#include <string_view>

namespace kelv {

// UTF-8 to code page 932. Characters without a code page 932 form (and bytes
// that are no UTF-8) become '?'; the second form reports whether any did.
std::string Utf8ToSjis(const std::string& utf8);
bool Utf8ToSjis(const std::string& utf8, std::string& out);

// Whether every character of the UTF-8 text has a code page 932 form, so that
// it reaches a caption or the settings file as what was typed.
bool Representable(const std::string& utf8);

// Code page 932 to UTF-8. Bytes that do not form a character become U+FFFD.
std::string SjisToUtf8(const std::string& sjis);

// Whether `c` begins a double-byte character of code page 932.
inline bool IsLeadByte(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Whether two code page 932 texts are the same but for the case of ASCII
// letters. The second byte of a double-byte character may look like an ASCII
// letter and is compared exactly, so two different Japanese names never
// match; a lead byte at the very end matches itself.
bool SameIgnoringAsciiCase(std::string_view a, std::string_view b);

// Converts a UTF-8 source literal. Meant for literals only: the result of each
// distinct literal is computed once and kept.
const std::string& Sjis(const char* utf8_literal);

}  // namespace kelv
