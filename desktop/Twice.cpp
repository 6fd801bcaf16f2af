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

namespace desk {

namespace {

plat::Fd g_lock;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// The runtime directory is one per user, shared by all of the user's
// sessions: the session goes into the name. Only a plain name can come out.
std::string SessionPart() {
  std::string session = Env("XDG_SESSION_ID");
  if (session.empty()) session = Env("DISPLAY");
  if (session.empty()) return std::string();
  // A name stays well below NAME_MAX whatever the variable holds.
  if (session.size() > 64) session.resize(64);
  std::string part = "-";
  for (const char c : session) {
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

}  // namespace

std::string InstanceLockPath() {
  const std::string dir = Env("XDG_RUNTIME_DIR");
  if (!dir.empty()) return dir + "/Corvilink" + SessionPart();
  return "/tmp/Corvilink-" + std::to_string(getuid()) + SessionPart();
}

Instance CheckSingleInstance() {
  const std::string path = InstanceLockPath();
  // Not inherited by a browser we start, and never through a planted link in /tmp.
  plat::Fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd.Get() < 0) return Instance::Unguarded;
  // A file someone else planted in /tmp must not keep us from starting.
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
