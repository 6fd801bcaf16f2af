#include "IntText.h"

namespace plat {

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseInt32(const std::string& text, int32_t& out) {
  size_t i = 0, n = text.size();
  while (i < n && text[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i >= n) return false;

  bool hex = false;
  if (text[i] == '$' || text[i] == 'x' || text[i] == 'X') {
    hex = true;
    ++i;
  } else if (text[i] == '0' && i + 1 < n && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= n) return false;

  uint64_t value = 0;
  for (; i < n; ++i) {
    if (hex) {
      int d = HexDigit(text[i]);
      if (d < 0) return false;
      value = value * 16 + uint64_t(d);
      if (value > 0xFFFFFFFFull) return false;
    } else {
      if (text[i] < '0' || text[i] > '9') return false;
      value = value * 10 + uint64_t(text[i] - '0');
      if (value > 2147483648ull) return false;
    }
  }
  if (hex) {
    uint32_t bits = uint32_t(value);
    if (negative) bits = 0u - bits;
    out = int32_t(bits);
    return true;
  }
  if (!negative && value > 2147483647ull) return false;
  out = negative ? int32_t(-int64_t(value)) : int32_t(value);
  return true;
}

bool ParseProfileInt32(const std::string& text, int32_t& out) {
  const bool hex = text.compare(0, 1, "$") == 0 || text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0;
  if (!hex) {
    // Decimal digits after an optional sign, and nothing else.
    const size_t digits = text.compare(0, 1, "-") == 0 || text.compare(0, 1, "+") == 0 ? 1 : 0;
    if (text.size() == digits) return false;
    for (size_t i = digits; i < text.size(); ++i)
      if (text[i] < '0' || text[i] > '9') return false;
  }
  return ParseInt32(text, out);
}

}  // namespace plat
