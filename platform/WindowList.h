// The top-level windows of the X display, in the manner of walking a Windows
// desktop's window list from the top.
#pragma once

#include <string>
#include <vector>

#include "Loop.h"

namespace plat {

// The windows of the display named by $DISPLAY (its default screen), from the
// top of the stacking order down. Hidden windows count too, as they do on a
// Windows desktop: a program that keeps its window in the notification area
// is still found. A window manager's frame stands for the client inside it.
// Titles come as Windows-1252 bytes. No display reachable, or no libxcb to
// reach it with: none.
std::vector<TopWindow> ListTopLevelWindows();

}  // namespace plat
