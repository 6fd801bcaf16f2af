// One desktop program per login session: an exclusive lock on a file of the
// session, held for the life of the process.
#pragma once

#include <string>

namespace desk {

// "$XDG_RUNTIME_DIR/Corvilink-<display>", or in the program folder where
// there is no runtime folder that only the user can write. The display is
// $WAYLAND_DISPLAY, else $DISPLAY without its screen number, else (none at
// all) $XDG_SESSION_ID; bytes that could make a path are written as %XX.
std::string InstanceLockPath();

enum class Instance {
  First,    // the lock is ours
  Second,   // another process holds it
  Unguarded // the lock file couldn't be opened, or isn't ours: start without a guard
};

// Takes the lock; the descriptor stays open until ReleaseSingleInstance.
Instance CheckSingleInstance();
void ReleaseSingleInstance();

// The modal box of a second start; needs the application object.
void ShowAlreadyRunning();

}  // namespace desk
