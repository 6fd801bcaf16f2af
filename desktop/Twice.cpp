#include "Twice.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QMessageBox>

#include <cerrno>
#include <cstdlib>

namespace desk {

namespace {
int g_lockFd = -1;
}

std::string InstanceLockPath() {
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  if (dir != nullptr && *dir != '\0') return std::string(dir) + "/Corvilink";
  return "/tmp/Corvilink-" + std::to_string(getuid());
}

Instance CheckSingleInstance() {
  const std::string path = InstanceLockPath();
  // Not inherited by a browser we start, and never through a planted link in /tmp.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Instance::Unguarded;
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
