#include "TestService.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace corvitest {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A sanitized build starts slowly.
constexpr milliseconds kStartLimit{20000};
constexpr milliseconds kCommandLimit{10000};

std::string Hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex.push_back(digits[c >> 4]);
    hex.push_back(digits[c & 15]);
  }
  return hex;
}

std::string Unhex(std::string_view hex) {
  auto nibble = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    throw std::runtime_error("test service: bad hex in its answer");
  };
  if (hex.size() % 2) throw std::runtime_error("test service: odd hex in its answer");
  std::string bytes;
  for (size_t i = 0; i < hex.size(); i += 2) bytes.push_back(char(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  return bytes;
}

template <typename T>
T ToNumber(std::string_view text) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size())
    throw std::runtime_error("test service: bad number in its answer: " + std::string(text));
  return value;
}

std::vector<std::string_view> Split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  size_t at = 0;
  for (;;) {
    size_t end = text.find(sep, at);
    parts.push_back(text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
    if (end == std::string_view::npos) return parts;
    at = end + 1;
  }
}

Server ServerFromName(std::string_view name) {
  for (Server s : {Server::Update, Server::Ip, Server::HeartBeat, Server::Notice, Server::Broadcast, Server::Http})
    if (name == ServerName(s)) return s;
  throw std::runtime_error("test service: unknown server " + std::string(name));
}

// "ev seq=1 server=update n=1 ms=5 local=.. peer=.. shift=7 raw=HEX plain=HEX fields=K=V,K=V"
Event ParseEvent(std::string_view line) {
  Event e;
  for (std::string_view word : Split(line.substr(3), ' ')) {
    size_t eq = word.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view key = word.substr(0, eq), value = word.substr(eq + 1);
    if (key == "server") e.server = ServerFromName(value);
    else if (key == "n") e.number = ToNumber<int>(value);
    else if (key == "ms") e.at = milliseconds(ToNumber<long long>(value));
    else if (key == "local") e.local = value;
    else if (key == "peer") e.peer = value;
    else if (key == "shift") e.shift = ToNumber<int>(value);
    else if (key == "raw") e.raw = Unhex(value);
    else if (key == "plain") e.plain = Unhex(value);
    else if (key == "fields" && !value.empty()) {
      for (std::string_view f : Split(value, ',')) {
        size_t feq = f.find('=');
        if (feq == std::string_view::npos) throw std::runtime_error("test service: bad field in its answer");
        e.fields.emplace_back(Unhex(f.substr(0, feq)), Unhex(f.substr(feq + 1)));
      }
    }
  }
  return e;
}

}  // namespace

const char* ServerName(Server server) {
  switch (server) {
    case Server::Update: return "update";
    case Server::Ip: return "ip";
    case Server::HeartBeat: return "heartbeat";
    case Server::Notice: return "notice";
    case Server::Broadcast: return "broadcast";
    case Server::Http: return "http";
  }
  return "?";
}

Action Action::Reply(std::string bytes) {
  Action a;
  a.bytes = std::move(bytes);
  return a;
}

Action Action::Split(std::optional<std::string> bytes, size_t at, int gapMs) {
  Action a;
  a.bytes = std::move(bytes);
  a.splitAt = at;
  a.gapMs = gapMs;
  return a;
}

Action Action::NoReply() {
  Action a;
  a.mode = Mode::NoReply;
  return a;
}

Action Action::Close() {
  Action a;
  a.mode = Mode::Close;
  return a;
}

Action Action::Reset() {
  Action a;
  a.mode = Mode::Reset;
  return a;
}

Action Action::Http(int status, std::string body, bool chunked) {
  Action a;
  a.status = status;
  a.bytes = std::move(body);
  a.chunked = chunked;
  return a;
}

Action Action::HttpRaw(std::string response) {
  Action a;
  a.bytes = std::move(response);
  a.raw = true;
  return a;
}

std::optional<std::string> Event::Field(std::string_view key) const {
  for (const auto& [k, v] : fields)
    if (k == key) return v;
  return std::nullopt;
}

std::vector<std::string> Event::Keys() const {
  std::vector<std::string> keys;
  for (const auto& f : fields) keys.push_back(f.first);
  return keys;
}

TestService::TestService(std::string binary, std::string log)
    : binary_(std::move(binary)), log_(std::move(log)) {}

TestService::~TestService() { Stop(); }

std::string TestService::BinaryPath(const std::string& given) {
  if (const char* env = getenv("CORVILINK_TESTSERVICE"); env && *env) return env;
  if (!given.empty()) return given;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "corvilink-testservice";
  std::string dir(self, size_t(n));
  dir.erase(dir.rfind('/') + 1);
  return dir + "service/corvilink-testservice";
}

void TestService::Start() {
  std::lock_guard lock(mutex_);
  if (pid_ > 0) throw std::runtime_error("test service: already started");
  std::string path = BinaryPath(binary_);
  if (access(path.c_str(), X_OK) != 0)
    throw std::runtime_error("test service: no program at " + path + " (set CORVILINK_TESTSERVICE)");
  std::string log = log_;
  if (const char* env = getenv("CORVILINK_TESTSERVICE_LOG"); env && *env) log = env;

  // One socket is the service's stdin and stdout: commands in, answers out,
  // and a write to a service that died fails instead of raising SIGPIPE.
  // Close-on-exec, so no other child holds it and the service sees it close
  // when we go.
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
    throw std::runtime_error(std::string("test service: socketpair: ") + strerror(errno));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, sv[1], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, sv[1], STDOUT_FILENO);
  std::vector<std::string> args = {path, "--control-stdio"};
  if (!log.empty()) {
    args.push_back("--log");
    args.push_back(log);
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(sv[1]);
  if (rc != 0) {
    close(sv[0]);
    throw std::runtime_error("test service: cannot start " + path + ": " + strerror(rc));
  }
  pid_ = pid;
  control_ = sv[0];
  pending_.clear();
  events_.clear();
  taken_.clear();

  std::string line;
  try {
    line = ReadLine(kStartLimit);
  } catch (const std::exception&) {
    Stop();
    throw std::runtime_error("test service: did not come up (see its message above)");
  }
  if (line != "ready") {
    Stop();
    throw std::runtime_error("test service: said \"" + line + "\" instead of ready");
  }
}

void TestService::CloseControl() {
  if (control_ >= 0) close(control_);
  control_ = -1;
}

int TestService::Stop() {
  std::lock_guard lock(mutex_);
  if (pid_ <= 0) return -1;
  if (control_ >= 0) {
    // Closing its stdin ends it as well; quit is only the polite way.
    [[maybe_unused]] ssize_t n = send(control_, "quit\n", 5, MSG_NOSIGNAL);
  }
  CloseControl();
  int status = 0;
  Clock::time_point until = Clock::now() + milliseconds(5000);
  pid_t done = 0;
  while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < until)
    std::this_thread::sleep_for(milliseconds(10));
  int result = -1;
  if (done == pid_) {
    result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  } else if (done == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  return result;
}

std::string TestService::ReadLine(milliseconds timeout) {
  Clock::time_point until = Clock::now() + timeout;
  for (;;) {
    if (size_t nl = pending_.find('\n'); nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return line;
    }
    if (control_ < 0) throw std::runtime_error("test service: not running");
    auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
    if (left <= 0) throw std::runtime_error("test service: no answer in time");
    pollfd p{control_, POLLIN, 0};
    if (poll(&p, 1, int(left)) <= 0) continue;
    char buf[8192];
    ssize_t n = recv(control_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("test service: ended unexpectedly");
    pending_.append(buf, size_t(n));
  }
}

std::vector<std::string> TestService::Command(const std::string& line) {
  if (control_ < 0) throw std::runtime_error("test service: not running");
  std::string cmd = line + "\n";
  for (size_t at = 0; at < cmd.size();) {
    ssize_t n = send(control_, cmd.data() + at, cmd.size() - at, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("test service: ended unexpectedly");
    at += size_t(n);
  }
  std::vector<std::string> lines;
  for (;;) {
    std::string answer = ReadLine(kCommandLimit);
    if (answer == "ok" || answer == "end") return lines;
    if (answer.rfind("err", 0) == 0) throw std::runtime_error("test service: " + line + ": " + answer);
    lines.push_back(std::move(answer));
  }
}

void TestService::Script(Server server, int request, const Action& action) {
  std::lock_guard lock(mutex_);
  if (request < 0) throw std::invalid_argument("test service: request number below 0");
  std::string line = std::string("script ") + ServerName(server) + " " +
                     (request == kEvery ? std::string("every") : std::to_string(request));
  switch (action.mode) {
    case Action::Mode::Reply: line += " mode=reply"; break;
    case Action::Mode::NoReply: line += " mode=noreply"; break;
    case Action::Mode::Close: line += " mode=close"; break;
    case Action::Mode::Reset: line += " mode=reset"; break;
  }
  if (action.bytes) line += " reply=" + Hex(*action.bytes);
  line += " delay=" + std::to_string(action.delayMs) + " split=" + std::to_string(action.splitAt) +
          " gap=" + std::to_string(action.gapMs) + " status=" + std::to_string(action.status) +
          " chunked=" + (action.chunked ? "1" : "0") + " raw=" + (action.raw ? "1" : "0");
  Command(line);
}

void TestService::Fetch() {
  for (const std::string& line : Command("events " + std::to_string(events_.size() + 1))) {
    if (line.rfind("ev ", 0) != 0) throw std::runtime_error("test service: unexpected answer " + line);
    events_.push_back(ParseEvent(line));
  }
}

std::vector<Event> TestService::Events() {
  std::lock_guard lock(mutex_);
  Fetch();
  return events_;
}

std::vector<Event> TestService::Events(Server server) {
  std::lock_guard lock(mutex_);
  Fetch();
  std::vector<Event> some;
  for (const Event& e : events_)
    if (e.server == server) some.push_back(e);
  return some;
}

std::optional<Event> TestService::WaitForEvent(Server server, milliseconds timeout) {
  Clock::time_point until = Clock::now() + timeout;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      Fetch();
      size_t seen = 0;
      for (const Event& e : events_) {
        if (e.server != server) continue;
        if (seen++ == taken_[server]) {
          ++taken_[server];
          return e;
        }
      }
    }
    if (Clock::now() >= until) return std::nullopt;
    std::this_thread::sleep_for(milliseconds(10));
  }
}

}  // namespace corvitest
