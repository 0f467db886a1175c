// The toolkit edge of the program's text: code page 932 bytes <-> QString.
#pragma once

#include <QString>
#include <string>

namespace kelv {

QString ToQ(const std::string& sjis);
std::string FromQ(const QString& s);

}  // namespace kelv
