// The marker times and the window search by which the daemon sees whether
// the desktop program runs.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace plat {
class Loop;
}

namespace corvilink {

// A local broken-down time packed the DOS way: date in the high 16 bits
// ((year - 1980) * 512 + month * 32 + day), time in the low 16 bits
// (hour * 2048 + minute * 32 + seconds / 2). -1 outside 1980..2107.
int32_t DosDateTime(const std::tm& local);

// The file's last-write time in local time, packed as above; -1 when the
// file is missing, is a directory, or its time does not pack.
int32_t MarkerTime(const std::string& path);

// The first top-level window whose title holds the text (case-insensitive),
// tooltips passed over, at most 1001 examined; false when none.
bool FindWindowByTitle(plat::Loop& loop, const std::string& text);

}  // namespace corvilink
