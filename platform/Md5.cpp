#include "Md5.h"

#include <sys/types.h>

#include <md5.h>

namespace plat {

std::string Md5Hex(const std::string& bytes) {
  MD5_CTX ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  uint8_t digest[MD5_DIGEST_LENGTH];
  MD5Final(digest, &ctx);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : digest) {
    text += kHex[b >> 4];
    text += kHex[b & 15];
  }
  return text;
}

}  // namespace plat
