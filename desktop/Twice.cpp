#include "Twice.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QMessageBox>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace desk {

namespace {

int g_lockFd = -1;

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
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Instance::Unguarded;
  // A file someone else planted in /tmp must not keep us from starting.
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    close(fd);
    return Instance::Unguarded;
  }
  int r;
  do {
    r = flock(fd, LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r == 0) {
    g_lockFd = fd;
    return Instance::First;
  }
  const int err = errno;
  close(fd);
  return err == EWOULDBLOCK ? Instance::Second : Instance::Unguarded;
}

void ReleaseSingleInstance() {
  if (g_lockFd < 0) return;
  close(g_lockFd);
  g_lockFd = -1;
}

void ShowAlreadyRunning() {
  QMessageBox box(QMessageBox::Information, QStringLiteral("Corvilink"),
                  QString::fromUtf8("Anwendung läuft bereits."), QMessageBox::Ok);
  box.exec();
}

}  // namespace desk
