// Texts on the wire and in files are single-byte Windows-1252; the desktop
// and the locale speak other character sets. These convert at the boundary.
#pragma once

#include <string>

namespace plat {

// The five bytes Windows-1252 leaves undefined come back as the C1 controls
// of the same number, as Windows itself maps them.
std::string Utf8FromCp1252(const std::string& bytes);
// A character Windows-1252 can't hold becomes "?", one byte per character;
// the C1 controls go back to the bytes they stand for.
std::string Cp1252FromUtf8(const std::string& utf8);
// Latin-1 (ISO 8859-1) text, "?" for what Windows-1252 can't hold.
std::string Cp1252FromLatin1(const std::string& latin1);
// A date or time text as the locale's formats (LC_TIME) write it, with "?"
// for what Windows-1252 can't hold.
std::string Cp1252FromTimeText(const std::string& text);

}  // namespace plat
