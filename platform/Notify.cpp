#include "Notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "Common.h"

namespace plat {

bool UnderServiceManager() {
  const char* path = std::getenv("NOTIFY_SOCKET");
  return path != nullptr && *path != '\0';
}

int NotifyServiceManager(const std::string& state) {
  const char* env = std::getenv("NOTIFY_SOCKET");
  if (env == nullptr || *env == '\0') return 0;
  const std::string path = env;

  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (path[0] != '/' && path[0] != '@') return EAFNOSUPPORT;
  if (path.size() >= sizeof sa.sun_path) return ENAMETOOLONG;
  std::memcpy(sa.sun_path, path.data(), path.size());
  socklen_t len = socklen_t(offsetof(sockaddr_un, sun_path) + path.size());
  if (path[0] == '@') {
    sa.sun_path[0] = '\0';  // abstract: the name is the bytes after the NUL, no terminator
  } else {
    len += 1;
  }

  const Fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.Get() < 0) return errno;
  const ssize_t sent =
      sendto(fd.Get(), state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), len);
  return sent < 0 ? errno : 0;
}

}  // namespace plat
