// corvilink-testservice: plays every server of the dynamic-DNS service inside
// the private network namespace (scripts/isolate).
//
//   corvilink-testservice [--log FILE|-] [--control-stdio]
//
// Prints "ready" on stdout once every listener is bound. With --control-stdio
// it takes line commands on stdin and answers on stdout (see Service.cpp),
// and ends when stdin closes. SIGTERM and SIGINT end it too.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Service.h"

namespace {

int stopPipe[2] = {-1, -1};

void OnSignal(int) {
  int saved = errno;
  [[maybe_unused]] ssize_t n = write(stopPipe[1], "x", 1);
  errno = saved;
}

int Usage() {
  fprintf(stderr, "usage: corvilink-testservice [--log FILE|-] [--control-stdio]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string logPath;
  bool controlStdio = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--log" && i + 1 < argc) {
      logPath = argv[++i];
    } else if (arg == "--control-stdio") {
      controlStdio = true;
    } else {
      return Usage();
    }
  }
  // It listens on 0.0.0.0 and on ports of the real service's plan: only
  // inside the namespace, where nothing leaves the machine.
  const char* ns = getenv("CORVILINK_NETNS");
  if (!ns || std::string(ns) != "1") {
    fprintf(stderr, "corvilink-testservice: runs only inside the private namespace (scripts/isolate)\n");
    return 1;
  }

  FILE* log = nullptr;
  if (logPath == "-") {
    log = stderr;
  } else if (!logPath.empty()) {
    log = fopen(logPath.c_str(), "ae");
    if (!log) {
      fprintf(stderr, "corvilink-testservice: %s: %s\n", logPath.c_str(), strerror(errno));
      return 1;
    }
  }

  if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  tsvc::Options options;
  options.log = log;
  if (controlStdio) {
    options.controlIn = STDIN_FILENO;
    options.controlOut = STDOUT_FILENO;
  }
  tsvc::Service service(options);
  std::string error;
  if (!service.Listen(error)) {
    fprintf(stderr, "corvilink-testservice: %s\n", error.c_str());
    return 1;
  }
  if (write(STDOUT_FILENO, "ready\n", 6) != 6) return 1;
  if (log) {
    fprintf(log, "corvilink-testservice ready\n");
    fflush(log);
  }
  service.Run(stopPipe[0]);
  if (log && log != stderr) fclose(log);
  return 0;
}
