// Byte-level helpers of the test service: the scramble shift, the fields of
// an update line, hex for the control channel, readable log text.
#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tsvc {

using Fields = std::vector<std::pair<std::string, std::string>>;

// The shift of a scrambled update line: its first byte less 'A', 1..25;
// 0 when the first byte gives no such shift.
int ShiftOf(std::string_view raw);

// Takes the shift back off every byte, modulo 256.
std::string Unscramble(std::string_view scrambled, int shift);

// "a=1&b&c=" -> (a,1) (b,"") (c,""); empty pieces are kept as fields too.
Fields SplitFields(std::string_view plain);

std::string HexEncode(std::string_view bytes);
std::optional<std::string> HexDecode(std::string_view hex);

// Printable ASCII as is, everything else as \r, \n, \t or \xNN.
std::string Printable(std::string_view bytes);

std::string AddrText(const sockaddr_in& addr);             // "a.b.c.d:port"
std::string HostText(const sockaddr_in& addr);             // "a.b.c.d"
std::string AddrText(const sockaddr_in6& addr);            // "[v6]:port"

}  // namespace tsvc
