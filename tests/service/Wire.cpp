#include "Wire.h"

#include <arpa/inet.h>

namespace tsvc {

int ShiftOf(std::string_view raw) {
  if (raw.empty()) return 0;
  int shift = static_cast<unsigned char>(raw[0]) - 'A';
  return shift >= 1 && shift <= 25 ? shift : 0;
}

std::string Unscramble(std::string_view scrambled, int shift) {
  std::string plain(scrambled);
  for (char& c : plain) c = static_cast<char>((static_cast<unsigned char>(c) - shift) & 0xFF);
  return plain;
}

Fields SplitFields(std::string_view plain) {
  Fields fields;
  if (plain.empty()) return fields;
  size_t at = 0;
  for (;;) {
    size_t amp = plain.find('&', at);
    std::string_view piece = plain.substr(at, amp == std::string_view::npos ? std::string_view::npos : amp - at);
    size_t eq = piece.find('=');
    if (eq == std::string_view::npos)
      fields.emplace_back(std::string(piece), std::string());
    else
      fields.emplace_back(std::string(piece.substr(0, eq)), std::string(piece.substr(eq + 1)));
    if (amp == std::string_view::npos) break;
    at = amp + 1;
  }
  return fields;
}

std::string HexEncode(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    hex.push_back(digits[c >> 4]);
    hex.push_back(digits[c & 15]);
  }
  return hex;
}

namespace {
int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::optional<std::string> HexDecode(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = Nibble(hex[i]), lo = Nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(hi << 4 | lo));
  }
  return bytes;
}

std::string Printable(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\t') {
      text += "\\t";
    } else if (c == '\\') {
      text += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      text.push_back(static_cast<char>(c));
    } else {
      text += "\\x";
      text.push_back(digits[c >> 4]);
      text.push_back(digits[c & 15]);
    }
  }
  return text;
}

std::string HostText(const sockaddr_in& addr) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return text;
}

std::string AddrText(const sockaddr_in& addr) {
  return HostText(addr) + ":" + std::to_string(ntohs(addr.sin_port));
}

std::string AddrText(const sockaddr_in6& addr) {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(AF_INET6, &addr.sin6_addr, text, sizeof text);
  return std::string("[") + text + "]:" + std::to_string(ntohs(addr.sin6_port));
}

}  // namespace tsvc
