// Windows only: a program path (UTF-8) as the wide path the system's W
// functions take. Absolute paths are made full and get the "\\?\" prefix, so
// they may be longer than MAX_PATH.
#pragma once

#include <string>

namespace kelv::fileio {

std::wstring WidePath(const std::string& utf8);
std::string Utf8FromWide(const std::wstring& wide);

}  // namespace kelv::fileio
