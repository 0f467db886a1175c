#include <cerrno>
#include <cstring>

#include "sjis.h"
#include "syserror.h"

namespace kelv {

std::string SystemErrorText(long code) {
  char buf[256];
  // The GNU form may return a static string instead of filling buf.
  const char* text = strerror_r(static_cast<int>(code), buf, sizeof buf);
  if (!text || !*text) return "error " + std::to_string(code);
  // In a UTF-8 locale the text may be translated: it is UTF-8 then.
  return Utf8ToSjis(text);
}

long LastSystemError() {
  return errno;
}

}  // namespace kelv
