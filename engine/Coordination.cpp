// The two programs' sign of life, the daemon's look for the desktop program,
// and the broadcast listener that nothing switches on.
#include "Coordination.h"

#include <sys/stat.h>

#include <string>
#include <vector>

#include "CorvilinkClient.h"
#include "CorvilinkFunctions.h"
#include "CorvilinkProcedures.h"
#include "Common.h"
#include "IniFile.h"
#include "dtools.h"

namespace corvilink {

int32_t DosDateTime(const std::tm& local) {
  const int year = local.tm_year + 1900;
  if (year < 1980 || year > 2107) return -1;
  const uint32_t date = uint32_t(year - 1980) << 9 | uint32_t(local.tm_mon + 1) << 5 | uint32_t(local.tm_mday);
  const uint32_t time = uint32_t(local.tm_hour) << 11 | uint32_t(local.tm_min) << 5 | uint32_t(local.tm_sec / 2);
  // From 2044 on the date reaches the sign bit: the value is negative then.
  return int32_t(date << 16 | time);
}

int32_t MarkerTime(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  std::tm local;
  const time_t written = st.st_mtim.tv_sec;
  if (localtime_r(&written, &local) == nullptr) return -1;
  return DosDateTime(local);
}

void TCorvilinkC::TimerRunTimer() {
  const std::string path = AppDirectory() + (Values.IsDaemon == 1 ? "/CorvilinkD.run" : "/Corvilink.run");
  // The content never changes; a write that changes nothing still renews the
  // last-write time, which is all the reader looks at, and the tick's time is
  // the loop's. It matters only while the program runs: no flush to the disk.
  // Never through a link that someone who can write the folder put there.
  plat::IniFile(path, plat::IniFile::Flush::Cached, plat::IniFile::Links::Refuse, loop.WallClock())
      .WriteBool("ACCOUNT", "run", true);
}

void TCorvilinkC::TimerProcListTimer() {
  WriteLog("Debug    ..... ProcList ", 40);
  TimerProcList.SetInterval(15000);
  if (Values.IsDaemon != 1) {
    Values.WindowsClientRunning = false;
    return;
  }
  if (FindWindowByTitle(loop, "Corvilink-Poster ")) {
    Values.WindowsClientRunning = true;
    TimerSetIP.SetInterval(10000);
    return;
  }
  Values.WindowsClientRunning = false;

  const std::string daemonMarker = AppDirectory() + "/CorvilinkD.run";
  const std::string desktopMarker = AppDirectory() + "/Corvilink.run";
  if (MarkerTime(daemonMarker) == -1) return;
  if (MarkerTime(desktopMarker) == -1) return;
  const int32_t a = MarkerTime(daemonMarker);
  const int32_t b = MarkerTime(desktopMarker);
  // The packed values' difference, not seconds: 32 bit, wrapping like the
  // integers they are.
  const int32_t aMinusB = int32_t(uint32_t(a) - uint32_t(b));
  const int32_t bMinusA = int32_t(uint32_t(b) - uint32_t(a));
  if (aMinusB >= 0 && aMinusB < 30) Values.WindowsClientRunning = true;
  if (bMinusA >= 0 && bMinusA < 30) Values.WindowsClientRunning = true;
  WriteLog("Debug    ..... CorvilinkRun [" + IntToText(b) + "]", 40);
  WriteLog("Debug    ..... CorvilinkDRun [" + IntToText(a) + "]", 40);
}

bool FindWindowByTitle(plat::Loop& loop, const std::string& text) {
  const std::string wanted = plat::UpperAscii(text);
  const std::vector<plat::TopWindow> windows = loop.TopLevelWindows();
  int examined = 0;
  for (const plat::TopWindow& w : windows) {
    examined += 1;
    // What a 256-byte title buffer holds: 255 bytes, up to the first NUL.
    std::string title = w.title.substr(0, 255);
    title = title.substr(0, title.find('\0'));
    if (!title.empty() && !wanted.empty()) {
      const std::string upper = plat::UpperAscii(title);
      if ((upper == wanted || upper.find(wanted) != std::string::npos) && !w.tooltip) return true;
    }
    if (examined > 1000) break;
  }
  return false;
}

void TCorvilinkC::UDPBroadCastServerUDPRead(const std::string& data) { WriteLog(data, 10); }

}  // namespace corvilink
