#include "text.h"

#include <algorithm>

#include "sjis.h"

namespace kelv {

namespace {

// Printable ASCII is the same in code page 932 and Latin-1, and it is what NC
// lines are made of: it needs no converter at all.
bool PrintableAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x20 && b < 0x7F;
  });
}

}  // namespace

QString ToQ(const std::string& sjis) {
  if (PrintableAscii(sjis)) {
    return QString::fromLatin1(sjis.data(), static_cast<qsizetype>(sjis.size()));
  }
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
