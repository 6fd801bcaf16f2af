// The Windows-1252 boundary shared by the log, the window and the window list.
#include <gtest/gtest.h>

#include <string>

#include "Windows1252.h"

namespace {

TEST(Windows1252Test, EachSourceComesOutAsSingleBytes) {
  struct Case {
    std::string (*convert)(const std::string&);
    std::string in, out;
  };
  const Case cases[] = {
      {plat::Cp1252FromUtf8, "Gr\xC3\xB6\xC3\x9F" "e \xE2\x82\xAC", "Gr\xF6\xDF" "e \x80"},
      {plat::Cp1252FromUtf8, "\xED\x95\x9C" "A", "?A"},  // no place for it: one "?" for the character
      {plat::Cp1252FromUtf8, "\xC3" "A", "?A"},          // a broken sequence loses only its stray byte
      {plat::Cp1252FromUtf8, "\xC2\x81", "\x81"},        // a C1 control goes back to its byte
      {plat::Cp1252FromLatin1, "caf\xE9 \x85\x81\x9D\x9F", "caf\xE9 ?\x81\x9D?"},
      {plat::Utf8FromCp1252, "\x80\x81\xE9", "\xE2\x82\xAC\xC2\x81\xC3\xA9"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.convert(c.in), c.out) << c.in;
}

}  // namespace
