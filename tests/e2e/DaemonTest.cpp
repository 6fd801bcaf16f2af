// corvilinkd as built, run the way systemd runs it: a notification socket of
// the test's own, signals for stop, pause and continue, the test service as
// the update server. Its system-log entries are caught in a private /dev of
// its own, its unit directory is a private one too (mount namespaces).
// Runs only inside the private namespace: scripts/isolate build/tests/e2e_tests --gtest_filter='Daemon*'
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "EngineFixture.h"
#include "TestService.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ms = std::chrono::milliseconds;
using corvitest::Server;
using corvitest::TempDir;

const std::string kBuiltDaemon = std::string(CORVILINK_BUILD_DIR) + "/daemon/corvilinkd";
const char* const kIni =
    "[ACCOUNT]\r\nAccount=kim\r\nDomain=dyn.example\r\nPasswd=0123456789abcdef\r\n[LOGGING]\r\nLevel=40\r\n";
const char* const kBanner = ">>>>>  Corvilink-Poster-Daemon 4.6 (Build:4.6.0.100) started.";

class Fd {
public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

private:
  int fd_;
};

std::optional<std::string> Receive(int fd, ms timeout) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, int(timeout.count())) <= 0) return std::nullopt;
  char buf[8192];
  const ssize_t n = recv(fd, buf, sizeof buf, 0);
  if (n < 0) return std::nullopt;
  return std::string(buf, size_t(n));
}

// The service manager's end of the notification protocol.
class NotifySocket {
public:
  NotifySocket() {
    static int count = 0;
    name_ = "@corvilink-e2e-notify-" + std::to_string(getpid()) + "-" + std::to_string(++count);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path + 1, name_.data() + 1, name_.size() - 1);
    const int rc = bind(fd_.get(), reinterpret_cast<sockaddr*>(&sa),
                        socklen_t(offsetof(sockaddr_un, sun_path) + name_.size()));
    EXPECT_EQ(rc, 0) << std::strerror(errno);
  }
  const std::string& Name() const { return name_; }

  // Reads reports until one holds the line; every line is kept in order.
  bool WaitFor(const std::string& line, ms timeout) {
    const auto end = Clock::now() + timeout;
    if (std::find(lines.begin(), lines.end(), line) != lines.end()) return true;
    while (Clock::now() < end) {
      auto left = std::chrono::duration_cast<ms>(end - Clock::now());
      auto got = Receive(fd_.get(), std::max(left, ms(1)));
      if (!got) continue;
      size_t start = 0;
      bool seen = false;
      while (start < got->size()) {
        size_t stop = got->find('\n', start);
        if (stop == std::string::npos) stop = got->size();
        lines.push_back(got->substr(start, stop - start));
        seen = seen || lines.back() == line;
        start = stop + 1;
      }
      if (seen) return true;
    }
    return false;
  }

  std::vector<std::string> lines;

private:
  Fd fd_{socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  std::string name_;
};

struct LogEntry {
  int priority = -1;
  std::string ident;
  std::string text;
};

// A /dev for the daemon: the usual character devices and, as /dev/log, a
// datagram socket of ours, so that its syslog entries come here.
class PrivateDev {
public:
  explicit PrivateDev(const std::string& under) : dir_(under + "/dev"), socket_(under + "/syslog") {
    std::filesystem::create_directory(dir_);
    for (const char* dev : {"null", "zero", "full", "random", "urandom", "log"})
      corvitest::WriteFile(dir_ + "/" + dev, "");
    std::filesystem::create_directory(dir_ + "/shm");
    std::filesystem::create_directory_symlink("/proc/self/fd", dir_ + "/fd");
    // Bound through a descriptor of the directory: the path stays short
    // however deep the temporary directory is (sun_path has 108 bytes).
    const Fd underFd(open(under.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const std::string shortPath = "/proc/self/fd/" + std::to_string(underFd.get()) + "/syslog";
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, shortPath.c_str(), shortPath.size() + 1);
    EXPECT_EQ(bind(fd_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0)
        << socket_ << ": " << std::strerror(errno);
    struct stat st {};
    EXPECT_EQ(stat(socket_.c_str(), &st), 0) << socket_;
    EXPECT_TRUE(S_ISSOCK(st.st_mode)) << socket_;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
  }
  const std::string& Dir() const { return dir_; }
  const std::string& Socket() const { return socket_; }
  // Whether a stat result is this socket, seen through any mount.
  bool IsTheSocket(const struct stat& st) const {
    return S_ISSOCK(st.st_mode) && st.st_dev == dev_ && st.st_ino == ino_;
  }

  // The entries that have arrived within the wait.
  std::vector<LogEntry> Entries(ms wait) {
    std::vector<LogEntry> out;
    const auto end = Clock::now() + wait;
    for (;;) {
      auto left = std::chrono::duration_cast<ms>(end - Clock::now());
      auto got = Receive(fd_.get(), std::max(left, ms(0)));
      if (!got) break;
      out.push_back(Parse(*got));
    }
    return out;
  }

private:
  // "<PRI>Mmm dd hh:mm:ss ident[pid]: text"
  static LogEntry Parse(const std::string& d) {
    LogEntry e;
    const size_t close = d.find('>');
    if (d.empty() || d[0] != '<' || close == std::string::npos) return e;
    e.priority = std::atoi(d.substr(1, close - 1).c_str());
    const size_t identAt = close + 1 + 16;
    const size_t bracket = d.find('[', identAt);
    const size_t colon = d.find("]: ", identAt);
    if (bracket == std::string::npos || colon == std::string::npos) return e;
    e.ident = d.substr(identAt, bracket - identAt);
    e.text = d.substr(colon + 3);
    return e;
  }

  std::string dir_, socket_;
  Fd fd_{socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

struct Sandbox {
  const PrivateDev* dev = nullptr;
  std::string unitDir;  // bound over /etc/systemd/system when set
  bool unitDirReadOnly = false;
  // Bound at kSafeProgramDir, where only root can write the way: the
  // installer refuses a program that others could replace.
  std::string programDir;
  // Its passwd and group bound over the system's, when set; its
  // nsswitch.conf too, where it has one.
  std::string accounts;
  // When set, the program runs from a descriptor opened before its name was
  // swapped for a link to this: as the owner of its folder could, racing
  // the start.
  std::string swapFor;
};

const char* const kSafeProgramDir = "/mnt/corvilink";

Sandbox OnlyDev(const PrivateDev& dev) {
  Sandbox box;
  box.dev = &dev;
  return box;
}

struct Child {
  pid_t pid = -1;
  std::string out, err;  // filled by Wait
  int outFd = -1, errFd = -1;
};

// The daemon in a mount namespace of its own, as the sandbox says.
Child Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, const Sandbox& box) {
  std::vector<std::string> envText;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string v = *e;
    if (v.rfind("NOTIFY_SOCKET=", 0) == 0 || v.rfind("DISPLAY=", 0) == 0) continue;
    envText.push_back(v);
  }
  envText.insert(envText.end(), env.begin(), env.end());
  std::vector<std::string> argText = args;
  std::vector<char*> argv, envp;
  for (auto& a : argText) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  struct Bind {
    std::string from, to;
  };
  std::vector<Bind> binds;
  if (box.dev != nullptr) {
    for (const char* dev : {"null", "zero", "full", "random", "urandom"})
      binds.push_back({std::string("/dev/") + dev, box.dev->Dir() + "/" + dev});
    binds.push_back({box.dev->Socket(), box.dev->Dir() + "/log"});
    // Kept, so that a temporary directory there stays within reach.
    struct stat shm;
    if (stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode)) binds.push_back({"/dev/shm", box.dev->Dir() + "/shm"});
    binds.push_back({box.dev->Dir(), "/dev"});
  }
  if (!box.unitDir.empty()) binds.push_back({box.unitDir, "/etc/systemd/system"});
  if (!box.accounts.empty())
    for (const char* f : {"passwd", "group", "nsswitch.conf"})
      if (f[0] != 'n' || std::filesystem::exists(box.accounts + "/" + f))
        binds.push_back({box.accounts + "/" + f, std::string("/etc/") + f});
  struct stat st;
  const bool hideSystemd = stat("/run/systemd", &st) == 0;

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(120);
    for (const Bind& b : binds)
      if (mount(b.from.c_str(), b.to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) _exit(121);
    if (box.unitDirReadOnly &&
        mount(nullptr, "/etc/systemd/system", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
      _exit(122);
    if (!box.programDir.empty() &&
        (mount("tmpfs", "/mnt", "tmpfs", 0, "mode=0755,size=64k") != 0 || mkdir(kSafeProgramDir, 0700) != 0 ||
         mount(box.programDir.c_str(), kSafeProgramDir, nullptr, MS_BIND, nullptr) != 0))
      _exit(125);
    // A systemd that runs out there must not be told to reload.
    if (hideSystemd && mount("tmpfs", "/run/systemd", "tmpfs", 0, "size=64k") != 0) _exit(123);
    // Entries sent anywhere else would be lost without a word.
    struct stat log;
    if (box.dev != nullptr && (stat("/dev/log", &log) != 0 || !box.dev->IsTheSocket(log))) _exit(124);
    int program = -1;
    if (!box.swapFor.empty()) {
      const std::string next = std::string(argv[0]) + ".swap";
      program = open(argv[0], O_RDONLY | O_CLOEXEC);
      if (program < 0 || symlink(box.swapFor.c_str(), next.c_str()) != 0 || rename(next.c_str(), argv[0]) != 0)
        _exit(126);
    }
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    if (program >= 0)
      fexecve(program, argv.data(), envp.data());
    else
      execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  Child c;
  c.pid = pid;
  c.outFd = out[0];
  c.errFd = err[0];
  return c;
}

// The exit status, or nullopt when it is still running after the limit
// (it is then killed).
std::optional<int> Wait(Child& c, ms limit) {
  const auto end = Clock::now() + limit;
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(c.pid, &status, WNOHANG)) == 0 && Clock::now() < end) std::this_thread::sleep_for(20ms);
  if (done == 0) {
    kill(c.pid, SIGKILL);
    waitpid(c.pid, &status, 0);
  }
  for (auto [fd, text] : {std::make_pair(c.outFd, &c.out), std::make_pair(c.errFd, &c.err)}) {
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text->append(buf, size_t(n));
    close(fd);
  }
  if (done == 0) return std::nullopt;
  // Codes of Spawn's child: the program never ran.
  static const std::pair<int, const char*> kSetup[] = {
      {120, "no mount namespace of its own"}, {121, "a bind mount failed"},
      {122, "the unit directory stayed writable"}, {123, "/run/systemd could not be hidden"},
      {124, "/dev/log is not the test's socket"}, {125, "no program folder only root can write"},
      {126, "the program's name could not be swapped"},
      {127, "the program could not be started"}};
  for (const auto& [code, what] : kSetup)
    if (WIFEXITED(status) && WEXITSTATUS(status) == code) ADD_FAILURE() << "sandbox: " << what;
  return status;
}

std::vector<std::string> Messages(const std::string& logPath) {
  std::vector<std::string> out;
  for (const std::string& line : corvitest::LogMessages(logPath)) {
    // The session tag and its blank.
    out.push_back(line.size() > 4 ? line.substr(4) : line);
  }
  return out;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class DaemonE2ETest : public ::testing::Test {
protected:
  void SetUp() override {
    const char* ns = std::getenv("CORVILINK_NETNS");
    if (ns == nullptr || std::string(ns) != "1")
      FAIL() << "runs the daemon on real sockets: only inside the private namespace (scripts/isolate)";
    // The log, the configuration and the markers live beside the program file.
    program = dir.path() + "/corvilinkd";
    std::filesystem::copy_file(kBuiltDaemon, program);
    corvitest::WriteFile(dir.path() + "/corvilink.ini", kIni);
  }
  std::string LogPath() const { return dir.path() + "/corvilinkd.log"; }
  std::string DaemonMarker() const { return dir.path() + "/CorvilinkD.run"; }

  TempDir dir;
  TempDir aside;  // the private /dev and unit directory, away from the program
  std::string program;
};

class DaemonServiceTest : public DaemonE2ETest {
protected:
  void SetUp() override {
    DaemonE2ETest::SetUp();
    if (HasFatalFailure()) return;
    svc.Start();
  }
  corvitest::TestService svc;
  NotifySocket manager;
  PrivateDev dev{aside.path()};
};

TEST_F(DaemonServiceTest, ReadyAfterTheStartAnUpdateThenPauseContinueAndStop) {
  Child c = Spawn({program}, {"NOTIFY_SOCKET=" + manager.Name()}, OnlyDev(dev));
  ASSERT_TRUE(manager.WaitFor("READY=1", 10s)) << ::testing::PrintToString(manager.lines);
  // Ready follows the start: the banner is written by then.
  auto log = Messages(LogPath());
  EXPECT_TRUE(Has(log, kBanner)) << ::testing::PrintToString(log);
  EXPECT_EQ(manager.lines, (std::vector<std::string>{"STATUS=start pending", "READY=1", "STATUS=running"}));

  auto ev = svc.WaitForEvent(Server::Update, 15s);
  ASSERT_TRUE(ev) << "no update reached the test service";
  EXPECT_EQ(ev->Field("Account"), "kim");
  const auto done = Clock::now() + 5s;
  while (!Has(Messages(LogPath()), ">>>>>    Update successfully done!") && Clock::now() < done)
    std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(Has(Messages(LogPath()), ">>>>>    Update successfully done!"));

  // Pause and continue reach only the reports; the process is not stopped.
  kill(c.pid, SIGTSTP);
  ASSERT_TRUE(manager.WaitFor("STATUS=paused", 5s));
  std::this_thread::sleep_for(200ms);
  const std::string stat = corvitest::ReadFile("/proc/" + std::to_string(c.pid) + "/stat");
  EXPECT_EQ(stat.substr(stat.rfind(')') + 2, 1), "S") << stat;
  kill(c.pid, SIGCONT);
  ASSERT_TRUE(manager.WaitFor("STATUS=continue pending", 5s));
  ASSERT_TRUE(manager.WaitFor("STATUS=running", 5s));

  const size_t before = Messages(LogPath()).size();
  kill(c.pid, SIGTERM);
  ASSERT_TRUE(manager.WaitFor("STOPPING=1", 5s));
  auto status = Wait(c, 10s);
  ASSERT_TRUE(status) << "still running after the stop request";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << c.err;
  manager.WaitFor("STATUS=stopped", 1s);
  EXPECT_EQ(manager.lines, (std::vector<std::string>{
                               "STATUS=start pending", "READY=1", "STATUS=running", "STATUS=pause pending",
                               "STATUS=paused", "STATUS=continue pending", "STATUS=running", "STOPPING=1",
                               "STATUS=stop pending", "STATUS=stopped"}));
  log = Messages(LogPath());
  ASSERT_GE(log.size(), before + 3);
  const std::vector<std::string> tail(log.end() - 3, log.end());
  EXPECT_EQ(tail, (std::vector<std::string>{">>>>>", ">>>>>  Corvilink-Poster-Daemon 4.6 (Build:4.6.0.100) terminated.",
                                            ">>>>>"}));
  EXPECT_TRUE(dev.Entries(100ms).empty()) << "no event-log entry in a good run";
}

TEST_F(DaemonServiceTest, AFailedStartIsAnEntryUnderTheServiceSourceAndNoReady) {
  // The first banner line cannot be written.
  std::filesystem::create_directory(LogPath());
  Child c = Spawn({program}, {"NOTIFY_SOCKET=" + manager.Name()}, OnlyDev(dev));
  auto status = Wait(c, 10s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << c.err;
  manager.WaitFor("STATUS=stopped", 2s);
  EXPECT_EQ(manager.lines, (std::vector<std::string>{"STATUS=start pending", "STATUS=stopped"}));
  auto entries = dev.Entries(500ms);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].ident, "CorvilinkDaemon");
  EXPECT_EQ(entries[0].priority, 3 * 8 + 3) << "daemon facility, priority error";
  EXPECT_EQ(entries[0].text.rfind("Service fehlgeschlagen bei start:", 0), 0u) << entries[0].text;
  EXPECT_NE(entries[0].text.find(LogPath()), std::string::npos) << entries[0].text;
  EXPECT_TRUE(svc.Events(Server::Update).empty());
}

// systemd never takes a stop back: a stop that fails must not leave the
// process running until systemd's stop time-out kills it.
TEST_F(DaemonServiceTest, AFailedStopIsAnEntryUnderTheServiceSourceAndEndsTheProcessWithAFailure) {
  Child c = Spawn({program}, {"NOTIFY_SOCKET=" + manager.Name()}, OnlyDev(dev));
  ASSERT_TRUE(manager.WaitFor("READY=1", 10s)) << ::testing::PrintToString(manager.lines);
  // The first stop banner line cannot be written.
  std::filesystem::rename(LogPath(), LogPath() + ".old");
  std::filesystem::create_directory(LogPath());
  const auto asked = Clock::now();
  kill(c.pid, SIGTERM);
  auto status = Wait(c, 10s);
  ASSERT_TRUE(status) << "still running after a failed stop";
  EXPECT_LT(Clock::now() - asked, 2s);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status << c.err;
  // Takes every report there is: neither running again nor stopped may follow.
  EXPECT_FALSE(manager.WaitFor("STATUS=stopped", 500ms));
  EXPECT_EQ(manager.lines, (std::vector<std::string>{"STATUS=start pending", "READY=1", "STATUS=running",
                                                     "STOPPING=1", "STATUS=stop pending"}));
  std::vector<LogEntry> service;
  for (LogEntry& e : dev.Entries(500ms))
    if (e.ident == "CorvilinkDaemon") service.push_back(e);
  ASSERT_EQ(service.size(), 1u);
  EXPECT_EQ(service[0].priority, 3 * 8 + 3) << "daemon facility, priority error";
  EXPECT_EQ(service[0].text.rfind("Service fehlgeschlagen bei stop:", 0), 0u) << service[0].text;
  EXPECT_NE(service[0].text.find(LogPath()), std::string::npos) << service[0].text;
}

TEST_F(DaemonServiceTest, AReportThatCannotBeSentIsAnEntryAndTheServiceGoesOn) {
  const std::string unbound = "@corvilink-e2e-nobody-" + std::to_string(getpid());
  Child c = Spawn({program}, {"NOTIFY_SOCKET=" + unbound}, OnlyDev(dev));
  auto ev = svc.WaitForEvent(Server::Update, 15s);
  EXPECT_TRUE(ev) << "the engine runs although no report arrives";
  kill(c.pid, SIGTERM);
  auto status = Wait(c, 10s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  auto entries = dev.Entries(500ms);
  // start pending, running, stop pending, stopped
  ASSERT_EQ(entries.size(), 4u);
  for (const LogEntry& e : entries) {
    EXPECT_EQ(e.ident, "CorvilinkDaemon");
    EXPECT_EQ(e.text, std::strerror(ECONNREFUSED));
  }
  EXPECT_EQ(Messages(LogPath()).back(), ">>>>>");
}

TEST_F(DaemonServiceTest, StartedByHandItWritesOneEntryAndEndsWithoutTheEngine) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{program}, std::vector<std::string>{program, "install", "silent"}}) {
    Child c = Spawn(args, {}, OnlyDev(dev));
    auto status = Wait(c, 10s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "");
    auto entries = dev.Entries(500ms);
    ASSERT_EQ(entries.size(), 1u) << args.size();
    EXPECT_EQ(entries[0].ident, "corvilinkd") << "the program source";
    EXPECT_EQ(entries[0].priority, 27);
    EXPECT_EQ(entries[0].text, "Der Dienstprozess konnte keine Verbindung zum Dienstcontroller herstellen");
  }
  EXPECT_FALSE(corvitest::FileExists(LogPath()));
  EXPECT_FALSE(corvitest::FileExists(DaemonMarker()));
  EXPECT_TRUE(svc.Events(Server::Update).empty());
}

// The markers say the desktop program runs; once its marker is old the
// daemon takes over.
TEST_F(DaemonServiceTest, StandsAsideWhileTheDesktopProgramRunsAndTakesOverAfterItEnds) {
  const std::string desktopMarker = dir.path() + "/Corvilink.run";
  corvitest::WriteFile(DaemonMarker(), "[ACCOUNT]\r\nrun=1\r\n");  // left by an earlier run
  corvitest::WriteFile(desktopMarker, "[ACCOUNT]\r\nrun=1\r\n");
  // The desktop program's marker follows the daemon's within 20 ms, so the
  // two never lie an hour's end apart when the daemon compares them, a second
  // or more after its own write (that case has a test on virtual time).
  std::atomic<bool> desktopRuns{true};
  std::thread desktop([&] {
    while (desktopRuns) {
      struct stat daemonMarker;
      if (stat(DaemonMarker().c_str(), &daemonMarker) == 0) {
        const timespec times[2] = {daemonMarker.st_mtim, daemonMarker.st_mtim};
        utimensat(AT_FDCWD, desktopMarker.c_str(), times, 0);
      }
      std::this_thread::sleep_for(20ms);
    }
  });

  Child c = Spawn({program}, {"NOTIFY_SOCKET=" + manager.Name()}, OnlyDev(dev));
  ASSERT_TRUE(manager.WaitFor("READY=1", 10s));
  // The first decision at 1 s, the update ticks at 11 s and 26 s: all silent.
  std::this_thread::sleep_for(28s);
  EXPECT_TRUE(svc.Events(Server::Update).empty()) << "the daemon sent while the desktop program ran";
  EXPECT_TRUE(Has(Messages(LogPath()), "Debug    no SetIP cause Windows Client is runnig"));

  // The desktop program has ended long ago.
  desktopRuns = false;
  desktop.join();
  const time_t past = time(nullptr) - 600;
  const timespec times[2] = {{past, 0}, {past, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, desktopMarker.c_str(), times, 0), 0);
  auto ev = svc.WaitForEvent(Server::Update, 50s);
  EXPECT_TRUE(ev) << "the daemon did not take over";

  kill(c.pid, SIGTERM);
  auto status = Wait(c, 10s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

class DaemonInstallE2ETest : public DaemonE2ETest {
protected:
  void SetUp() override {
    DaemonE2ETest::SetUp();
    if (HasFatalFailure()) return;
    struct stat st;
    if (stat("/etc/systemd/system", &st) != 0)
      GTEST_SKIP() << "no /etc/systemd/system to stand in for (is systemd installed?)";
    unitDir = aside.path() + "/system";
    std::filesystem::create_directory(unitDir);
  }
  struct Result {
    int code = -1;
    std::string out, err;
  };
  // From the test's own folder, or from one where only root can write the way;
  // started by the loader, where one is given.
  Result Run(const std::vector<std::string>& switches, bool readOnly = false, bool safe = true,
             const std::string& swapFor = "", const std::string& loader = "") {
    std::vector<std::string> args{safe ? kSafeProgramDir + std::string("/corvilinkd") : program};
    if (!loader.empty()) args.insert(args.begin(), loader);
    args.insert(args.end(), switches.begin(), switches.end());
    Child c = Spawn(args, {},
                    Sandbox{.dev = &dev, .unitDir = unitDir, .unitDirReadOnly = readOnly,
                            .programDir = safe ? dir.path() : std::string(), .accounts = accounts,
                            .swapFor = swapFor});
    auto status = Wait(c, 10s);
    Result r;
    if (status && WIFEXITED(*status)) r.code = WEXITSTATUS(*status);
    r.out = c.out;
    r.err = c.err;
    return r;
  }
  std::string Unit() const { return unitDir + "/CorvilinkDaemon.service"; }
  std::string Link() const { return unitDir + "/multi-user.target.wants/CorvilinkDaemon.service"; }
  bool Enabled() const {
    char target[4096] = {};
    return readlink(Link().c_str(), target, sizeof target - 1) > 0 &&
           std::string(target) == "/etc/systemd/system/CorvilinkDaemon.service";
  }

  PrivateDev dev{aside.path()};
  std::string unitDir;
  std::string accounts;
};

TEST_F(DaemonInstallE2ETest, InstallAlreadyThereUninstallAndNotThere) {
  const std::string exists = "Service \"Corvilink Daemon\" konnte nicht installiert werden; Fehler: \"Systemfehler.  Code: 17.\r\n" +
                             std::string(std::strerror(EEXIST)) + "\"\n";
  const std::string missing = "Service \"Corvilink Daemon\" konnte nicht deinstalliert werden; Fehler: \"Systemfehler.  Code: 2.\r\n" +
                              std::string(std::strerror(ENOENT)) + "\"\n";
  const struct {
    std::vector<std::string> switches;
    std::string out, err;
    bool installed;
    int code;  // a script hears of a failure from it alone
  } steps[] = {
      {{"/install"}, "Service erfolgreich installiert\n", "", true, 0},
      {{"-INSTALL"}, "", exists, true, 1},
      {{"/Install", "/SILENT"}, "", exists, true, 1},
      {{"-uninstall"}, "Service erfolgreich deinstalliert\n", "", false, 0},
      {{"/UNINSTALL"}, "", missing, false, 1},
      {{"/UNINSTALL", "/INSTALL"}, "Service erfolgreich installiert\n", "", true, 0},
      {{"/silent", "/uninstall"}, "", "", false, 0},
      {{"/INSTALL", "/UNINSTALL", "-Silent"}, "", "", true, 0},
  };
  for (const auto& s : steps) {
    const std::string label = ::testing::PrintToString(s.switches);
    Result r = Run(s.switches);
    EXPECT_EQ(r.code, s.code) << label;
    EXPECT_EQ(r.out, s.out) << label;
    EXPECT_EQ(r.err, s.err) << label;
    EXPECT_EQ(corvitest::FileExists(Unit()), s.installed) << label;
    EXPECT_EQ(Enabled(), s.installed) << label;
  }
  const std::string unit = corvitest::ReadFile(Unit());
  EXPECT_NE(unit.find("\nExecStart=" + std::string(kSafeProgramDir) + "/corvilinkd\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nBindPaths=" + std::string(kSafeProgramDir) + "\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;

  // From a folder anyone can write: refused, nothing written.
  ASSERT_EQ(Run({"/uninstall", "/silent"}).code, 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  Result r = Run({"/install"}, false, /*safe=*/false);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Service \"Corvilink Daemon\" wird nicht installiert: Andere Konten als root haben Schreibrechte auf \"" +
                       dir.path() + "\"\n");
  EXPECT_FALSE(corvitest::FileExists(Unit()));
  // Shared through a file system of user space, as by a network one: who may
  // write there only the program serving it knows.
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(std::system(("bindfs " + dir.path() + " " + dir.path()).c_str()), 0) << "bindfs (scripts/install-deps)";
  r = Run({"/install"});
  umount(dir.path().c_str());
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Service \"Corvilink Daemon\" wird nicht installiert: Wer \"" + std::string(kSafeProgramDir) +
                       "/corvilinkd\" ändern darf, lässt sich nicht prüfen\n");
  EXPECT_FALSE(corvitest::FileExists(Unit()));
  // Installing and removing never start the engine.
  EXPECT_FALSE(corvitest::FileExists(LogPath()));
  EXPECT_FALSE(corvitest::FileExists(DaemonMarker()));
  EXPECT_TRUE(dev.Entries(100ms).empty());
}

// The folder's owner renames a link to a program of root's over the name
// while root's -install starts: the unit must not run whatever the name
// will lead to as root.
TEST_F(DaemonInstallE2ETest, ANameSwappedAfterTheStartIsRefused) {
  accounts = aside.path();
  corvitest::WriteFile(accounts + "/passwd", "root:x:0:0:root:/root:/bin/sh\nkim:x:4711:4711::/home/kim:/bin/sh\n");
  corvitest::WriteFile(accounts + "/group", "root:x:0:\nkim:x:4711:\n");
  ASSERT_EQ(chown(dir.path().c_str(), 4711, 4711), 0);
  ASSERT_EQ(chown(program.c_str(), 4711, 4711), 0);
  // Started by the loader, the program that runs is the loader: a root unit
  // that would never start.
  const std::string loader = "/lib64/ld-linux-x86-64.so.2";
  Result r = Run({"/install"}, false, true, "", loader);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "Service \"Corvilink Daemon\" wird nicht installiert: \"" +
                       std::filesystem::canonical(loader).string() + "\" ist nicht mehr das laufende Programm\n");
  r = Run({"/install"}, false, true, "/bin/true");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Service \"Corvilink Daemon\" wird nicht installiert: \"" + std::string(kSafeProgramDir) +
                       "/corvilinkd\" ist nicht mehr das laufende Programm\n");
  EXPECT_FALSE(corvitest::FileExists(Unit()));
}

// Who the unit runs as, where the user database has its say.
TEST_F(DaemonInstallE2ETest, TheOwnerAsTheUserDatabaseKnowsIt) {
  const std::string installed = "Service erfolgreich installiert\n";
  const std::string refused = "Service \"Corvilink Daemon\" wird nicht installiert: ";
  const std::string open = refused + "Andere Konten als kim und root haben Schreibrechte auf \"" + kSafeProgramDir + "\"\n";
  const struct {
    const char* name;
    std::string passwd, group;  // beside root's
    uid_t uid;
    gid_t gid;
    mode_t folder;
    int code;
    std::string out, err, account;
    std::string nsswitch = "passwd: files\ngroup: files\n";
    mode_t file = 0755;
    const char* planted = "";  // a file of root's in the folder
  } cases[] = {
      {"a group of kim's own", "kim:x:4711:4711::/home/kim:/bin/sh\n", "kim:x:4711:\n", 4711, 4711, 0775, 0,
       installed, "", "User=kim\nGroup=kim\n"},
      {"kim listed in it", "kim:x:4711:4711::/home/kim:/bin/sh\n", "kim:x:4711:kim\n", 4711, 4711, 0775, 0,
       installed, "", "User=kim\nGroup=kim\n"},
      {"lee listed in it", "kim:x:4711:4711::/home/kim:/bin/sh\nlee:x:4712:4712::/home/lee:/bin/sh\n",
       "kim:x:4711:lee\nlee:x:4712:\n", 4711, 4711, 0775, 1, "", open, ""},
      {"lee's own group too", "kim:x:4711:4711::/home/kim:/bin/sh\nlee:x:4712:4711::/home/lee:/bin/sh\n",
       "kim:x:4711:\n", 4711, 4711, 0775, 1, "", open, ""},
      {"a group not kim's own", "kim:x:4711:4711::/home/kim:/bin/sh\n", "kim:x:4711:\nstaff:x:4800:\n", 4711,
       4800, 0775, 1, "", open, ""},
      {"no account", "", "", 4711, 4711, 0755, 1, "",
       refused + "Der Besitzer von \"" + kSafeProgramDir + "/corvilinkd\", Konto 4711, ist dem System unbekannt\n", ""},
      {"a name an earlier account has", "kim:x:4711:4711::/home/kim:/bin/sh\nkim:x:4713:4713::/home/k:/bin/sh\n",
       "kim:x:4711:\nkim:x:4713:\n", 4713, 4713, 0755, 0, installed, "", "User=4713\nGroup=4713\n"},
      // initgroups gives 4713 the group that lists its name.
      {"kim listed, and a later account kim", "kim:x:4711:4711::/home/kim:/bin/sh\nkim:x:4713:4713::/home/k:/bin/sh\n",
       "kim:x:4711:kim\nkim:x:4713:\n", 4711, 4711, 0775, 1, "", open, ""},
      {"an account too long to read", "kim:x:4711:4711::/home/kim:/bin/sh\nbig:x:4800:4800:" +
       std::string(20000, 'x') + ":/:/bin/sh\n", "kim:x:4711:\n", 4711, 4711, 0775, 1, "", open, ""},
      {"a folder kim may not write", "kim:x:4711:4711::/home/kim:/bin/sh\n", "kim:x:4711:\n", 4711, 4711, 0555, 1,
       "", refused + "kim hat keine Schreibrechte auf \"" + kSafeProgramDir + "\"\n", ""},
      {"kim's home a folder of the system", "kim:x:4711:4711::/mnt:/bin/sh\n", "kim:x:4711:\n", 4711, 4711, 0755, 1,
       "", refused + "Der Home-Ordner \"/mnt\" ist \"/mnt\", ein Ordner des Systems\n", ""},
      {"kim's home /, which is none", "kim:x:4711:4711::/:/bin/sh\n", "kim:x:4711:\n", 4711, 4711, 0755, 0, installed,
       "", "User=kim\nGroup=kim\n"},
      // initgroups gives lee every entry of 4711 that lists lee.
      {"a second entry of kim's number", "kim:x:4711:4711::/home/kim:/bin/sh\nlee:x:4712:4712::/home/lee:/bin/sh\n",
       "kim:x:4711:\nlee:x:4712:\nkimshare:x:4711:lee\n", 4711, 4711, 0775, 1, "", open, ""},
      {"accounts from a source that may leave some out", "kim:x:4711:4711::/home/kim:/bin/sh\n", "kim:x:4711:\n", 4711,
       4711, 0775, 1, "", open, "", "passwd: files sss\ngroup: files sss\n"},
      {"a file kim may not run", "kim:x:4711:4711::/home/kim:/bin/sh\n", "kim:x:4711:\n", 4711, 4711, 0755, 1, "",
       refused + "kim hat keinen Zugriff auf \"" + kSafeProgramDir + "/corvilinkd\"\n", "",
       "passwd: files\ngroup: files\n", 0655},
      {"a log of root's", "kim:x:4711:4711::/home/kim:/bin/sh\n", "kim:x:4711:\n", 4711, 4711, 0755, 1, "",
       refused + "\"" + kSafeProgramDir + "/corvilinkd.log\" gehört nicht kim allein\n", "",
       "passwd: files\ngroup: files\n", 0755, "corvilinkd.log"},
  };
  accounts = aside.path() + "/accounts";
  ASSERT_TRUE(std::filesystem::create_directory(accounts));
  for (const auto& c : cases) {
    corvitest::WriteFile(accounts + "/passwd", "root:x:0:0:root:/root:/bin/sh\n" + c.passwd);
    corvitest::WriteFile(accounts + "/group", "root:x:0:\n" + c.group);
    corvitest::WriteFile(accounts + "/nsswitch.conf", c.nsswitch);
    ASSERT_EQ(chown(dir.path().c_str(), c.uid, c.gid), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), c.folder), 0);
    ASSERT_EQ(chown(program.c_str(), c.uid, c.gid), 0);
    ASSERT_EQ(chmod(program.c_str(), c.file), 0);
    if (*c.planted != '\0') corvitest::WriteFile(dir.path() + "/" + c.planted, "");
    Result r = Run({"/install"});
    if (*c.planted != '\0') std::filesystem::remove(dir.path() + "/" + c.planted);
    EXPECT_EQ(r.code, c.code) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    std::string account;
    std::istringstream unit(corvitest::FileExists(Unit()) ? corvitest::ReadFile(Unit()) : "");
    for (std::string line; std::getline(unit, line);)
      if (line.rfind("User=", 0) == 0 || line.rfind("Group=", 0) == 0) account += line + "\n";
    EXPECT_EQ(account, c.account) << c.name;
    Run({"/uninstall", "/silent"});
  }
}

TEST_F(DaemonInstallE2ETest, AnUnwritableUnitDirectoryEndsTheRunWithExitCode1) {
  const std::string expected =
      "Anwendungsfehler: Systemfehler.  Code: 30.\r\n" + std::string(std::strerror(EROFS)) + "\n";
  for (const auto& switches : {std::vector<std::string>{"/INSTALL"}, std::vector<std::string>{"/INSTALL", "/SILENT"},
                               std::vector<std::string>{"-uninstall", "-silent"}}) {
    Result r = Run(switches, /*readOnly=*/true);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, expected);
  }
  EXPECT_FALSE(corvitest::FileExists(Unit()));
}

}  // namespace
