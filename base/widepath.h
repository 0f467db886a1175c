// Windows only: UTF-8, the program's path encoding, and the system's UTF-16.
#pragma once

#include <string>

namespace kelv::fileio {

// Plain conversions, for any text.
std::wstring WideFromUtf8(const std::string& utf8);
std::string Utf8FromWide(const std::wstring& wide);

// A program path as the wide path the system's W file functions take:
// absolute paths are made full and get the "\\?\" prefix, so they may be
// longer than MAX_PATH.
std::wstring WidePath(const std::string& utf8);

}  // namespace kelv::fileio
