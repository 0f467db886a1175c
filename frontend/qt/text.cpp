#include "text.h"

#include <QStringDecoder>
#include <QStringEncoder>
#include <algorithm>

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

// Qt's ICU-backed "Shift_JIS" codec maps like Windows code page 932. Opening
// it costs far more than a short conversion, so each thread keeps one and
// clears its state between texts.
QString ToQ(const std::string& sjis) {
  if (PrintableAscii(sjis)) {
    return QString::fromLatin1(sjis.data(), static_cast<qsizetype>(sjis.size()));
  }
  thread_local QStringDecoder dec("Shift_JIS");
  dec.resetState();
  return dec.decode(QByteArrayView(sjis.data(), static_cast<qsizetype>(sjis.size())));
}

std::string FromQ(const QString& s) {
  thread_local QStringEncoder enc("Shift_JIS");
  enc.resetState();
  QByteArray b = enc.encode(s);
  return std::string(b.constData(), static_cast<size_t>(b.size()));
}

}  // namespace kelv
