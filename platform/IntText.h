// The integer text conversion of the profile functions and of the update
// replies: leading blanks, an optional sign, then decimal digits or a
// hexadecimal number after "$", "x", "X", "0x" or "0X"; nothing may follow.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

// False when the text does not convert; decimal must fit a signed 32-bit value,
// hexadecimal may use all 32 bits ("$FFFFFFFF" is -1).
bool ParseInt32(const std::string& text, int32_t& out);

}  // namespace plat
