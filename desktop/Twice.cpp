#include "Twice.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QMessageBox>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "Common.h"
#include "dtools.h"

namespace desk {

namespace {

plat::Fd g_lock;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// One lock per display the window goes to: the runtime folder is one per
// user, shared by all of the user's sessions. The screen number is no other
// display. Only where there is no display at all does the login session
// tell. Only a plain name can come out.
std::string SessionPart() {
  std::string key = Env("WAYLAND_DISPLAY");
  if (key.empty()) {
    key = Env("DISPLAY");
    const size_t colon = key.rfind(':');
    const size_t dot = colon == std::string::npos ? std::string::npos : key.find('.', colon);
    if (dot != std::string::npos) key.resize(dot);
  }
  if (key.empty()) key = Env("XDG_SESSION_ID");
  if (key.empty()) return std::string();
  // A name stays well below NAME_MAX whatever the variable holds.
  if (key.size() > 64) key.resize(64);
  std::string part = "-";
  for (const char c : key) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-' || c == ':';
    if (plain) {
      part += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", unsigned(static_cast<unsigned char>(c)));
      part += hex;
    }
  }
  return part;
}

// A folder where no one else can put a file of theirs in our lock's place.
bool OnlyOursToWrite(const std::string& dir) {
  struct stat st {};
  return !dir.empty() && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

std::string InstanceLockPath() {
  const std::string runtime = Env("XDG_RUNTIME_DIR");
  // The program folder otherwise: the program must write there anyway.
  const std::string dir = OnlyOursToWrite(runtime) ? runtime : corvilink::AppDirectory();
  return dir + "/Corvilink" + SessionPart();
}

Instance CheckSingleInstance() {
  const std::string path = InstanceLockPath();
  // Not inherited by a browser we start, and never through a planted link.
  plat::Fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd.Get() < 0) return Instance::Unguarded;
  // A file someone else planted must not keep us from starting.
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) return Instance::Unguarded;
  int r;
  do {
    r = flock(fd.Get(), LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return errno == EWOULDBLOCK ? Instance::Second : Instance::Unguarded;
  // Held, and with it the lock, until the program ends.
  g_lock.Reset(fd.Release());
  return Instance::First;
}

void ReleaseSingleInstance() {
  g_lock.Reset();
}

void ShowAlreadyRunning() {
  QMessageBox box(QMessageBox::Information, QStringLiteral("Corvilink"),
                  QString::fromUtf8("Anwendung läuft bereits."), QMessageBox::Ok);
  box.exec();
}

}  // namespace desk
