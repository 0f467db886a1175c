// The toolkit edge of the program's text: code page 932 bytes <-> QString.
// Both directions go through the program's one converter (sjis.h), so what
// the window shows and what the file keeps agree on every system, and the
// second Unicode forms of code page 932 characters ("〜" U+301C, "−" U+2212,
// ...) become the code page's characters.
#pragma once

#include <QString>
#include <string>

namespace kelv {

QString ToQ(const std::string& sjis);
// Characters without a code page 932 form become '?'.
std::string FromQ(const QString& s);
// As FromQ; false when some character had no code page 932 form.
bool FromQ(const QString& s, std::string& out);
// Whether every character of `s` has a code page 932 form: an edit field whose
// text ends up in a caption or the settings file refuses the others.
bool Representable(const QString& s);

}  // namespace kelv
