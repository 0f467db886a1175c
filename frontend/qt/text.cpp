#include "text.h"

#include "sjis.h"

namespace kelv {

QString ToQ(const std::string& sjis) {
  return QString::fromStdString(SjisToUtf8(sjis));
}

bool FromQ(const QString& s, std::string& out) {
  // A lone surrogate becomes U+FFFD here, which the code page lacks.
  return Utf8ToSjis(s.toStdString(), out);
}

std::string FromQ(const QString& s) {
  std::string out;
  FromQ(s, out);
  return out;
}

bool Representable(const QString& s) {
  return kelv::Representable(s.toStdString());
}

}  // namespace kelv
