// MD5 (RFC 1321) of a byte string as 32 lower-case hexadecimal digits.
#pragma once

#include <string>

namespace plat {

std::string Md5Hex(const std::string& bytes);

}  // namespace plat
