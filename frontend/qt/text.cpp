#include "text.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace kelv {

// Qt's ICU-backed "Shift_JIS" codec maps like Windows code page 932.
QString ToQ(const std::string& sjis) {
  QStringDecoder dec("Shift_JIS");
  return dec.decode(QByteArrayView(sjis.data(), static_cast<qsizetype>(sjis.size())));
}

std::string FromQ(const QString& s) {
  QStringEncoder enc("Shift_JIS");
  QByteArray b = enc.encode(s);
  return std::string(b.constData(), static_cast<size_t>(b.size()));
}

}  // namespace kelv
