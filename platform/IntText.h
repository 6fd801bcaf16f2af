// The two integer text conversions: the configuration file's, and the
// update reply's, which takes more.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

// The update reply's: leading blanks, an optional sign, then decimal digits or
// a hexadecimal number after "$", "x", "X", "0x" or "0X"; nothing may follow.
// False when the text does not convert; decimal must fit a signed 32-bit
// value, hexadecimal may use all 32 bits ("$FFFFFFFF" is -1).
bool ParseInt32(const std::string& text, int32_t& out);

// The configuration file's: decimal with an optional sign, or hexadecimal
// after "$", "0x" or "0X" with all 32 bits; nothing else ("x1E", "-$1E" and
// blanks are no integers there).
bool ParseProfileInt32(const std::string& text, int32_t& out);

}  // namespace plat
