// corvilink-servicemanager: plays systemd for one run of a Type=notify
// service. It binds the notification socket, starts the program with
// NOTIFY_SOCKET naming it, prints every report, sends the stop request
// (SIGTERM) when the time is up or it is itself interrupted, and waits for
// the program to end.
//
//   corvilink-servicemanager [--seconds N] -- PROGRAM [ARGS...]
//
// The exit code is the program's (128 + the signal that ended it).
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

volatile sig_atomic_t interrupted = 0;

void OnInterrupt(int) { interrupted = 1; }

double Seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

int Usage() {
  std::fprintf(stderr, "usage: corvilink-servicemanager [--seconds N] -- PROGRAM [ARGS...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 20;
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else {
      return Usage();
    }
  }
  if (i + 1 >= argc) return Usage();
  char** program = argv + i + 1;

  // An abstract name: nothing to clean up, gone with the process.
  const std::string name = "@corvilink-servicemanager-" + std::to_string(getpid());
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path + 1, name.data() + 1, name.size() - 1);
  const socklen_t len = socklen_t(offsetof(sockaddr_un, sun_path) + name.size());
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0) {
    std::perror("corvilink-servicemanager: notification socket");
    return 1;
  }

  struct sigaction act {};
  act.sa_handler = OnInterrupt;
  sigaction(SIGINT, &act, nullptr);
  sigaction(SIGTERM, &act, nullptr);

  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("corvilink-servicemanager: fork");
    return 1;
  }
  if (pid == 0) {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    execv(program[0], program);
    std::perror("corvilink-servicemanager: exec");
    _exit(127);
  }
  std::printf("servicemanager: started %s (pid %d), NOTIFY_SOCKET=%s\n", program[0], int(pid), name.c_str());
  std::fflush(stdout);

  const double deadline = Seconds() + seconds;
  bool stopSent = false;
  double killAt = 0;
  int status = 0;
  for (;;) {
    if (!stopSent && (interrupted || Seconds() >= deadline)) {
      std::printf("servicemanager: stop request (SIGTERM)\n");
      std::fflush(stdout);
      kill(pid, SIGTERM);
      stopSent = true;
      killAt = Seconds() + 30;
    }
    if (stopSent && Seconds() >= killAt) kill(pid, SIGKILL);

    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buf[4096];
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        std::string report(buf, size_t(n));
        size_t start = 0;
        while (start <= report.size()) {
          size_t end = report.find('\n', start);
          if (end == std::string::npos) end = report.size();
          if (end > start) std::printf("servicemanager: %s\n", report.substr(start, end - start).c_str());
          start = end + 1;
        }
        std::fflush(stdout);
      }
      continue;  // reports first: the exit may follow right behind them
    }
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return 1;
  }

  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::printf("servicemanager: %s ended, exit code %d\n", program[0], code);
  return code;
}
