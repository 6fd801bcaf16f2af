#include "dtools.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>

#include "Common.h"
#include "VersionBlock.h"
#include "Windows1252.h"

namespace corvilink {

static std::string g_programPath;

void SetProgramPath(const std::string& path) { g_programPath = path; }

// Read once: after the program file is replaced (an upgrade while the
// daemon runs) the link reads "... (deleted)".
static std::string OwnProgramFile() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string path = n > 0 ? std::string(buf, size_t(n)) : std::string();
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
    path.resize(path.size() - deleted.size());
  return path;
}

static std::string ProgramPath() {
  if (!g_programPath.empty()) return g_programPath;
  static const std::string own = OwnProgramFile();
  return own;
}

std::string AppDirectory() {
  std::string path = ProgramPath();
  while (path.size() >= 2 && path.back() != '/') path.pop_back();
  if (path.size() > 1) path.pop_back();
  return path;
}

std::string ExeBaseName() {
  std::string path = ProgramPath();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string VersionInfoValue(const std::string& key) { return plat::VersionBlockValue(key); }

static std::string TimeFormat(const char* format, time_t now) {
  struct tm local;
  localtime_r(&now, &local);
  char buf[128];
  size_t n = strftime(buf, sizeof buf, format, &local);
  // The locale's formats may hold characters of its own character set; the
  // log and the window's values are Windows-1252 throughout.
  return plat::Cp1252FromTimeText(std::string(buf, n));
}

std::string DateText(time_t now) { return TimeFormat("%x", now); }
std::string TimeText(time_t now) { return TimeFormat("%X", now); }
std::string DateTimeText(time_t now) { return DateText(now) + " " + TimeText(now); }

void AppendLogLine(const std::string& line, time_t now) {
  std::string path = AppDirectory() + "/" + ExeBaseName() + ".log";
  std::string text = DateText(now) + " " + TimeText(now) + "  " + line + "\r\n";
  // Never through a link, into a FIFO, into another account's file or into
  // one with a second name elsewhere, that someone who can write the folder
  // put in its place: that fails like a file that can't be written. Judged on
  // what was opened, not on the name.
  plat::Fd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                    0644));
  struct stat st;
  bool ok = fd.Get() >= 0 && fstat(fd.Get(), &st) == 0;
  if (ok && !plat::OwnFileAlone(st)) {
    errno = EINVAL;
    ok = false;
  }
  if (!ok || !plat::WriteAll(fd.Get(), text) || !fd.Close())
    throw std::system_error(errno, std::generic_category(), "I/O error: " + path);
}

uint32_t RandSeed = 0;

void Randomize() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  RandSeed = uint32_t(uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec));
}

uint32_t Random(uint32_t n) {
  RandSeed = RandSeed * 134775813u + 1u;
  return uint32_t((uint64_t(RandSeed) * n) >> 32);
}

int32_t RandomRange(int32_t a, int32_t b) { return a + int32_t(Random(uint32_t(b - a))); }

// Seeded once, before any object of the program exists.
[[maybe_unused]] static const bool g_seeded = (Randomize(), true);

}  // namespace corvilink
