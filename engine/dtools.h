// General routines: program directory, log file line, date and time texts,
// the one random generator of the process.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace corvilink {

// The program directory without a trailing "/".
std::string AppDirectory();
// The program's file name without its directory.
std::string ExeBaseName();
// Tests run the engine as if it were a program file at this path ("" = the real one).
void SetProgramPath(const std::string& path);

// The key's value from the running program's own version block, or empty.
std::string VersionInfoValue(const std::string& key);

// The locale's short date and long time ("%x", "%X" under LC_TIME) of a
// wall-clock time; the engine's callers pass its loop's.
std::string DateText(std::time_t now);
std::string TimeText(std::time_t now);
// Date, one blank, time.
std::string DateTimeText(std::time_t now);

// Appends date, time, two blanks and the line with CR LF to the program's log
// file; throws std::system_error when the file cannot be opened or written.
void AppendLogLine(const std::string& line, std::time_t now);

// The one random generator: 32-bit state, seeded once at process start.
extern uint32_t RandSeed;
void Randomize();
// A draw below n (n >= 1): 0 .. n-1.
uint32_t Random(uint32_t n);
// a + a draw below b - a: a .. b-1.
int32_t RandomRange(int32_t a, int32_t b);

}  // namespace corvilink
