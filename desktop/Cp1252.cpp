#include "Cp1252.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace desk {

namespace {

// Opened once; the program has one thread.
iconv_t Converter(const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == iconv_t(-1)) throw std::runtime_error(std::string("iconv_open ") + from + " -> " + to);
  return cd;
}

// Length of the UTF-8 sequence that starts with this byte (1 for a stray byte).
size_t Utf8Length(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

// Converts all of `in`; on a sequence the target can't take, `substitute`
// writes a stand-in and says how many input bytes it stood in for.
template <typename Substitute>
std::string Convert(iconv_t cd, const std::string& in, Substitute substitute) {
  std::string out;
  out.reserve(in.size() * 2);
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char buf[1024];
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  while (srcLeft > 0) {
    char* dst = buf;
    size_t dstLeft = sizeof buf;
    const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    const int err = errno;
    out.append(buf, size_t(dst - buf));
    if (r != size_t(-1)) continue;
    if (err == E2BIG) continue;
    // EILSEQ, or EINVAL for a sequence cut off at the end.
    size_t skip = substitute(out, reinterpret_cast<const unsigned char*>(src), srcLeft);
    if (skip > srcLeft) skip = srcLeft;
    src += skip;
    srcLeft -= skip;
  }
  return out;
}

}  // namespace

QString FromEngine(const std::string& bytes) {
  static iconv_t cd = Converter("UTF-8", "CP1252");
  const std::string utf8 = Convert(cd, bytes, [](std::string& out, const unsigned char* at, size_t) {
    out += char(0xC2);
    out += char(*at);
    return size_t(1);
  });
  return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

std::string ToEngine(const QString& text) {
  static iconv_t cd = Converter("CP1252", "UTF-8");
  const QByteArray utf8 = text.toUtf8();
  return Convert(cd, std::string(utf8.constData(), size_t(utf8.size())),
                 [](std::string& out, const unsigned char* at, size_t left) {
                   // The C1 controls go back to the bytes they came from.
                   if (at[0] == 0xC2 && left >= 2 && at[1] >= 0x80 && at[1] <= 0x9F) {
                     out += char(at[1]);
                     return size_t(2);
                   }
                   out += '?';
                   return Utf8Length(at[0]);
                 });
}

}  // namespace desk
