#include "Windows1252.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <stdexcept>

namespace plat {

namespace {

// Opened once per pair and kept; the program has one thread.
iconv_t Converter(const std::string& to, const std::string& from) {
  struct Handle {
    explicit Handle(iconv_t h) : cd(h) {}
    Handle(const Handle&) = delete;
    ~Handle() { iconv_close(cd); }
    iconv_t cd;
  };
  static std::map<std::pair<std::string, std::string>, Handle> open;
  auto found = open.find({to, from});
  if (found != open.end()) return found->second.cd;
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == iconv_t(-1)) throw std::runtime_error("iconv_open " + from + " -> " + to);
  return open.try_emplace(std::make_pair(to, from), cd).first->second.cd;
}

// How many bytes a character the target can't take stands in: its whole
// UTF-8 sequence where that is well formed, else the one stray byte, so that
// what follows a broken sequence is kept.
size_t Utf8Length(const unsigned char* at, size_t left) {
  const unsigned char lead = at[0];
  size_t n = 1;
  if (lead >= 0xC2 && lead <= 0xDF) n = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) n = 3;
  else if (lead >= 0xF0 && lead <= 0xF4) n = 4;
  if (n > left) return 1;
  for (size_t i = 1; i < n; ++i)
    if (at[i] < 0x80 || at[i] > 0xBF) return 1;
  return n;
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

// The stand-in for a character Windows-1252 has no place for.
size_t Question(std::string& out, const unsigned char*, size_t) {
  out += '?';
  return 1;
}

bool IsAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return uint8_t(c) < 0x80; });
}

}  // namespace

std::string Utf8FromCp1252(const std::string& bytes) {
  return Convert(Converter("UTF-8", "CP1252"), bytes, [](std::string& out, const unsigned char* at, size_t) {
    out += char(0xC2);
    out += char(*at);
    return size_t(1);
  });
}

std::string Cp1252FromUtf8(const std::string& utf8) {
  return Convert(Converter("CP1252", "UTF-8"), utf8, [](std::string& out, const unsigned char* at, size_t left) {
    // The C1 controls go back to the bytes they came from.
    if (at[0] == 0xC2 && left >= 2 && at[1] >= 0x80 && at[1] <= 0x9F) {
      out += char(at[1]);
      return size_t(2);
    }
    out += '?';
    return Utf8Length(at, left);
  });
}

std::string Cp1252FromLatin1(const std::string& latin1) {
  // The two agree but for 0x80..0x9F, Latin-1's C1 controls; the five of
  // them that Windows-1252 leaves undefined stay, as Windows keeps them.
  std::string out = latin1;
  for (char& c : out) {
    const uint8_t b = uint8_t(c);
    if (b >= 0x80 && b <= 0x9F && b != 0x81 && b != 0x8D && b != 0x8F && b != 0x90 && b != 0x9D) c = '?';
  }
  return out;
}

std::string Cp1252FromTimeText(const std::string& text) {
  // Every character set a locale can have keeps ASCII as it is.
  if (IsAscii(text)) return text;
  // The character set is LC_CTYPE's: finding LC_TIME's own would load that
  // locale anew for every line, and the two part only where set apart by hand.
  const std::string charset = nl_langinfo(CODESET);
  if (charset == "UTF-8") return Cp1252FromUtf8(text);
  try {
    return Convert(Converter("CP1252", charset), text, Question);
  } catch (const std::runtime_error&) {
    std::string out = text;
    for (char& c : out)
      if (uint8_t(c) >= 0x80) c = '?';
    return out;
  }
}

}  // namespace plat
