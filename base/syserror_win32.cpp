#include <windows.h>

#include "sjis.h"
#include "syserror.h"
#include "widepath.h"

namespace kelv {

// Through the wide function: the text reaches code page 932 whatever the
// system's own code page is.
std::string SystemErrorText(long code) {
  wchar_t buf[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), 0, buf, sizeof buf / sizeof buf[0], nullptr);
  while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n')) --n;
  if (n == 0) return "error " + std::to_string(code);
  return Utf8ToSjis(fileio::Utf8FromWide(std::wstring(buf, n)));
}

long LastSystemError() {
  return static_cast<long>(GetLastError());
}

}  // namespace kelv
