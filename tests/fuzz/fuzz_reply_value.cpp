// ReplyValue and TextToIntOrOne on arbitrary bytes: key and reply are split at
// the first zero byte (no zero byte: key "IP", the whole input as the reply).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CorvilinkFunctions.h"

using corvilink::ConvertError;
using corvilink::IntToText;
using corvilink::ReplyValue;
using corvilink::TextToIntOrOne;

namespace {

[[noreturn]] void Fail(const char* what, const std::string& a, const std::string& b) {
  std::fprintf(stderr, "invariant broken: %s [%zu bytes] [%zu bytes]\n", what, a.size(), b.size());
  std::abort();
}

void CheckReplyValue(const std::string& key, const std::string& reply) {
  const std::string value = ReplyValue(key, reply);
  const size_t at = reply.find(key + ":");
  if (at == std::string::npos) {
    if (!value.empty()) Fail("value without its key", key, value);
    return;
  }
  const std::string rest = reply.substr(at + key.size() + 1);
  // Taken from the first occurrence, never beyond the reply.
  if (rest.compare(0, value.size(), value) != 0) Fail("value is not where the key is", rest, value);
  if (value != ":" && value.find(':') != std::string::npos) Fail("colon inside the value", rest, value);
  if (!value.empty() && uint8_t(value.back()) <= 0x20) Fail("trailing blank or control byte", rest, value);
  const size_t colon = rest.find(':');
  if (colon == std::string::npos) {
    // Without a later colon the value runs to the end of the reply.
    size_t end = rest.size();
    while (end > 0 && uint8_t(rest[end - 1]) <= 0x20) --end;
    if (value.size() != end) Fail("value cut short without a colon", rest, value);
  } else {
    // With one, the next key starts after the last blank ahead of that colon:
    // the value stays before that blank.
    if (value.size() > colon + 1) Fail("value reaches past the next colon", rest, value);
    if (colon > 0 && value.size() > 1) {
      size_t lastBlank = rest.rfind(' ', colon);
      if (lastBlank == std::string::npos || value.size() > lastBlank) Fail("value reaches the next key", rest, value);
    }
  }
}

// Leading blanks, an optional sign, then decimal digits only: the value it
// names, or false for any other shape. fits: within the signed 32-bit range.
bool DecimalValue(const std::string& text, bool& fits, int64_t& value) {
  size_t i = text.find_first_not_of(' ');
  if (i == std::string::npos) return false;
  bool negative = false;
  if (text[i] == '-' || text[i] == '+') negative = text[i++] == '-';
  if (i == text.size()) return false;
  value = 0;
  fits = true;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    if (fits) value = value * 10 + (text[i] - '0');
    if (value > 2147483648LL) fits = false;
  }
  if (negative) value = -value;
  fits = fits && value >= -2147483648LL && value <= 2147483647LL;
  return true;
}

void CheckTextToInt(const std::string& text) {
  bool fits = false;
  int64_t expected = 0;
  const bool decimal = DecimalValue(text, fits, expected);
  // Bytes that belong to no number shape: never a number.
  const bool foreign = text.find_first_not_of(" +-$xX0123456789abcdefABCDEF") != std::string::npos;
  int32_t n = 0;
  try {
    n = TextToIntOrOne(text);
  } catch (const ConvertError&) {
    if (text.empty()) Fail("empty text refused", text, text);
    if (decimal && fits) Fail("decimal text in range refused", text, text);
    return;
  }
  if (text.empty() && n != 1) Fail("empty text is not 1", text, text);
  if (foreign) Fail("text with a foreign byte converted", text, text);
  if (decimal && !fits) Fail("decimal text out of range converted", text, text);
  if (decimal && n != expected) Fail("decimal text read wrongly", text, text);
  // What was read, written back in decimal, reads the same.
  const std::string back = IntToText(n);
  int32_t again = 0;
  try {
    again = TextToIntOrOne(back);
  } catch (const ConvertError&) {
    Fail("own decimal text refused", text, back);
  }
  if (again != n) Fail("decimal round trip changed the value", text, back);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t zero = input.find('\0');
  const std::string key = zero == std::string::npos ? std::string("IP") : input.substr(0, zero);
  const std::string reply = zero == std::string::npos ? input : input.substr(zero + 1);

  CheckReplyValue(key, reply);
  CheckTextToInt(reply);
  CheckTextToInt(ReplyValue(key, reply));
  return 0;
}
