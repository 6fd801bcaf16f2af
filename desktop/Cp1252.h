// The window's side of the text boundary: the engine keeps Windows-1252
// bytes, Qt keeps Unicode.
#pragma once

#include <QString>

#include <string>

namespace desk {

// The five bytes Windows-1252 leaves undefined come back as the C1 controls
// of the same number, as Windows itself maps them.
QString FromEngine(const std::string& bytes);
// A character Windows-1252 can't hold becomes "?", one byte per character.
std::string ToEngine(const QString& text);

}  // namespace desk
