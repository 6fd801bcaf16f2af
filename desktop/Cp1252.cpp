#include "Cp1252.h"

#include "Windows1252.h"

namespace desk {

QString FromEngine(const std::string& bytes) {
  const std::string utf8 = plat::Utf8FromCp1252(bytes);
  return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

std::string ToEngine(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  return plat::Cp1252FromUtf8(std::string(utf8.constData(), size_t(utf8.size())));
}

}  // namespace desk
