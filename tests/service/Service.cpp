#include "Service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>

namespace tsvc {

namespace {

constexpr auto kReadLimit = std::chrono::seconds(5);
constexpr auto kDrainLimit = std::chrono::seconds(5);
constexpr size_t kMaxRequest = 64 * 1024;
constexpr size_t kIpRequestLength = 33;
constexpr const char* kDefaultHttpBody = "2001:db8::1";
// Chunked bodies go out in pieces this long, so a reader must join them.
constexpr size_t kChunk = 8;

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < line.size()) {
    size_t end = line.find(' ', at);
    if (end == std::string_view::npos) end = line.size();
    if (end > at) words.push_back(line.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

template <typename T>
bool Number(std::string_view text, T& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

std::string WallClock() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  char text[32];
  snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec,
           ts.tv_nsec / 1000000);
  return text;
}

}  // namespace

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::Update: return "update";
    case Kind::Ip: return "ip";
    case Kind::HeartBeat: return "heartbeat";
    case Kind::Notice: return "notice";
    case Kind::Broadcast: return "broadcast";
    case Kind::Http: return "http";
  }
  return "?";
}

std::optional<Kind> KindFromName(std::string_view name) {
  for (Kind k : {Kind::Update, Kind::Ip, Kind::HeartBeat, Kind::Notice, Kind::Broadcast, Kind::Http})
    if (name == KindName(k)) return k;
  return std::nullopt;
}

struct Service::Conn {
  enum class State { Reading, Waiting, Sending, Gap, Holding, Draining, Dead };
  int fd = -1;
  Kind kind = Kind::Update;
  std::string local, peer, peerHost;
  State state = State::Reading;
  Clock::time_point deadline;
  std::string in;
  int number = 0;
  Action action;
  std::string out;     // what is left of the segment being sent
  std::string second;  // the segment after the gap
  bool hasSecond = false;

  ~Conn() {
    if (fd >= 0) close(fd);
  }
  short Wanted() const {
    switch (state) {
      case State::Reading:
      case State::Holding:
      case State::Draining: return POLLIN;
      case State::Sending: return POLLOUT;
      default: return 0;
    }
  }
  bool Timed() const {
    return state == State::Reading || state == State::Waiting || state == State::Gap ||
           state == State::Draining;
  }
};

Service::Service(Options options) : options_(options), started_(Clock::now()) {}

Service::~Service() {
  conns_.clear();
  for (const Listener& l : listeners_) close(l.fd);
}

bool Service::AddListener(Kind kind, bool udp, const char* addr, uint16_t port, std::string& error) {
  const bool v6 = std::strchr(addr, ':') != nullptr;
  int fd = socket(v6 ? AF_INET6 : AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = std::string("socket: ") + strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // The listeners on 0.0.0.0 want to know which address a datagram was sent to.
  if (udp) setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, addr, &sa.sin_addr);
  sockaddr_in6 sa6{};
  sa6.sin6_family = AF_INET6;
  sa6.sin6_port = htons(port);
  inet_pton(AF_INET6, addr, &sa6.sin6_addr);
  const std::string local = (v6 ? std::string("[") + addr + "]" : std::string(addr)) + ":" + std::to_string(port);
  std::string where = std::string(udp ? "udp " : "tcp ") + local;
  const int bound = v6 ? bind(fd, reinterpret_cast<sockaddr*>(&sa6), sizeof sa6)
                       : bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (bound != 0 || (!udp && listen(fd, 64) != 0)) {
    error = where + ": " + strerror(errno);
    close(fd);
    return false;
  }
  listeners_.push_back({fd, kind, udp, local});
  return true;
}

bool Service::Listen(std::string& error) {
  for (const char* addr : {"127.0.0.21", "127.0.0.22", "127.0.0.23", "127.0.0.24", "192.0.2.10"})
    for (uint16_t port : {900, 80})
      if (!AddListener(Kind::Update, false, addr, port, error)) return false;
  for (const char* addr : {"127.0.0.31", "198.51.100.10", "203.0.113.10"})
    if (!AddListener(Kind::Ip, false, addr, 901, error)) return false;
  return AddListener(Kind::HeartBeat, true, "127.0.0.41", 910, error) &&
         AddListener(Kind::Notice, true, "0.0.0.0", 900, error) &&
         AddListener(Kind::Broadcast, true, "0.0.0.0", 899, error) &&
         AddListener(Kind::Http, false, "127.0.0.60", 80, error) &&
         AddListener(Kind::Http, false, "::1", 80, error);
}

void Service::LogLine(const std::string& line) {
  if (!options_.log) return;
  fprintf(options_.log, "%s %s\n", WallClock().c_str(), line.c_str());
  fflush(options_.log);
}

Event& Service::Record(Kind kind, std::string local, std::string peer, std::string raw) {
  Event e;
  e.seq = events_.size() + 1;
  e.kind = kind;
  e.number = ++counts_[kind];
  e.ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
  e.local = std::move(local);
  e.peer = std::move(peer);
  e.raw = std::move(raw);
  events_.push_back(std::move(e));
  return events_.back();
}

const Action* Service::ScriptFor(Kind kind, int number) const {
  auto it = scripts_.find({kind, number});
  if (it == scripts_.end()) it = scripts_.find({kind, 0});
  return it == scripts_.end() ? nullptr : &it->second;
}

void Service::Accept(const Listener& l) {
  for (;;) {
    sockaddr_in6 peer{};  // room for either family
    socklen_t len = sizeof peer;
    int fd = accept4(l.fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    int one = 1;
    // A split reply must leave as two segments, not wait for the first's ack.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<Conn>();
    c->fd = fd;
    c->kind = l.kind;
    c->local = l.local;
    if (peer.sin6_family == AF_INET6) {
      // Only the IPv6 test host listens there, and its replies name no address.
      c->peer = AddrText(peer);
    } else {
      c->peer = AddrText(reinterpret_cast<const sockaddr_in&>(peer));
      c->peerHost = HostText(reinterpret_cast<const sockaddr_in&>(peer));
    }
    c->deadline = Clock::now() + kReadLimit;
    conns_.push_back(std::move(c));
  }
}

void Service::ReceiveDatagrams(const Listener& l) {
  for (;;) {
    static char buf[65536];
    sockaddr_in peer{};
    iovec iov{buf, sizeof buf};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = &peer;
    msg.msg_namelen = sizeof peer;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(l.fd, &msg, MSG_DONTWAIT);
    if (n < 0) return;
    std::string local = l.local;
    for (cmsghdr* cm = CMSG_FIRSTHDR(&msg); cm; cm = CMSG_NXTHDR(&msg, cm)) {
      if (cm->cmsg_level == IPPROTO_IP && cm->cmsg_type == IP_PKTINFO) {
        in_pktinfo info;
        memcpy(&info, CMSG_DATA(cm), sizeof info);
        sockaddr_in dst{};
        dst.sin_addr = info.ipi_addr;
        local = HostText(dst) + local.substr(local.find(':'));
      }
    }
    Event& e = Record(l.kind, local, AddrText(peer), std::string(buf, size_t(n)));
    LogLine(std::string(KindName(l.kind)) + " " + e.local + " from " + e.peer + " #" +
            std::to_string(e.number) + ": " + Printable(e.raw));
  }
}

void Service::Complete(Conn& c, Clock::time_point now) {
  if (c.in.empty()) {
    LogLine(std::string(KindName(c.kind)) + " " + c.local + " from " + c.peer + ": closed without a request");
    c.state = Conn::State::Dead;
    return;
  }
  std::string raw = c.in;
  if (c.kind == Kind::Http) {
    size_t end = raw.find("\r\n\r\n");
    if (end != std::string::npos) raw.resize(end + 4);
  }
  Event& e = Record(c.kind, c.local, c.peer, std::move(raw));
  c.number = e.number;
  std::string head = std::string(KindName(c.kind)) + " " + e.local + " from " + e.peer + " #" +
                     std::to_string(e.number);
  if (c.kind == Kind::Update) {
    e.shift = ShiftOf(e.raw);
    std::string_view line = e.raw;
    if (EndsWith(line, "\n")) line.remove_suffix(1);
    if (e.shift != 0) {
      e.plain = Unscramble(line, e.shift);
      e.fields = SplitFields(e.plain);
      LogLine(head + " shift " + std::to_string(e.shift) + ": " + Printable(e.plain));
    } else {
      LogLine(head + " no shift: " + Printable(e.raw));
    }
  } else {
    LogLine(head + ": " + Printable(e.raw));
  }

  const Action* scripted = ScriptFor(c.kind, c.number);
  c.action = scripted ? *scripted : Action();
  std::string what = std::string(KindName(c.kind)) + " #" + std::to_string(c.number) + " ->";
  switch (c.action.mode) {
    case Action::Mode::NoReply: what += " no reply"; break;
    case Action::Mode::Close: what += " close"; break;
    case Action::Mode::Reset: what += " reset"; break;
    case Action::Mode::Reply: what += " reply"; break;
  }
  if (c.action.delayMs > 0) what += " after " + std::to_string(c.action.delayMs) + " ms";
  if (c.action.mode == Action::Mode::Reply) {
    if (c.action.splitAt > 0)
      what += " split at " + std::to_string(c.action.splitAt) + ", " + std::to_string(c.action.gapMs) +
              " ms between";
    what += ": " + Printable(Response(c));
  }
  LogLine(what);

  if (c.action.delayMs > 0) {
    c.state = Conn::State::Waiting;
    c.deadline = now + std::chrono::milliseconds(c.action.delayMs);
  } else {
    Act(c, now);
  }
}

std::string Service::Response(const Conn& c) const {
  const Action& a = c.action;
  switch (c.kind) {
    case Kind::Update:
      if (a.bytes) return *a.bytes;
      return "IP:" + c.peerHost + " DT:PA SI:60 MI:30 MIP:127.0.0.31 HIP:127.0.0.41\r\n";
    case Kind::Ip:
      if (a.bytes) return *a.bytes;
      return c.peerHost + "\n";
    case Kind::Http: {
      if (a.raw && a.bytes) return *a.bytes;
      std::string body = a.bytes ? *a.bytes : kDefaultHttpBody;
      std::string r = "HTTP/1.1 " + std::to_string(a.status) + " " + Reason(a.status) +
                      "\r\nContent-Type: text/plain\r\n";
      if (a.chunked) {
        r += "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
        for (size_t at = 0; at < body.size(); at += kChunk) {
          std::string piece = body.substr(at, kChunk);
          char size[16];
          snprintf(size, sizeof size, "%zx\r\n", piece.size());
          r += size + piece + "\r\n";
        }
        r += "0\r\n\r\n";
      } else {
        r += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
      }
      return r;
    }
    default: return std::string();
  }
}

void Service::Act(Conn& c, Clock::time_point now) {
  switch (c.action.mode) {
    case Action::Mode::Reply: {
      std::string r = Response(c);
      size_t at = c.action.splitAt;
      if (at > 0 && at < r.size()) {
        c.out = r.substr(0, at);
        c.second = r.substr(at);
        c.hasSecond = true;
      } else {
        c.out = std::move(r);
      }
      c.state = Conn::State::Sending;
      Send(c, now);
      return;
    }
    case Action::Mode::NoReply:
      c.state = Conn::State::Holding;
      return;
    case Action::Mode::Close:
      Finish(c, now);
      return;
    case Action::Mode::Reset: {
      linger lg{1, 0};
      setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
      c.state = Conn::State::Dead;
      return;
    }
  }
}

void Service::Send(Conn& c, Clock::time_point now) {
  while (!c.out.empty()) {
    ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      c.state = Conn::State::Dead;
      return;
    }
    c.out.erase(0, size_t(n));
  }
  if (c.hasSecond) {
    c.hasSecond = false;
    c.out = std::move(c.second);
    c.state = Conn::State::Gap;
    c.deadline = now + std::chrono::milliseconds(c.action.gapMs);
    return;
  }
  Finish(c, now);
}

// Half-closes and waits for the client's end: closing with its bytes still
// unread would reset the connection and could cost it the reply.
void Service::Finish(Conn& c, Clock::time_point now) {
  shutdown(c.fd, SHUT_WR);
  c.state = Conn::State::Draining;
  c.deadline = now + kDrainLimit;
}

void Service::Step(Conn& c, short revents, Clock::time_point now) {
  using S = Conn::State;
  if (c.state == S::Reading || c.state == S::Holding || c.state == S::Draining) {
    if (!(revents & (POLLIN | POLLERR | POLLHUP))) return;
    char buf[4096];
    ssize_t n = recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (c.state != S::Reading) {
      if (n <= 0) c.state = S::Dead;
      return;
    }
    if (n < 0) {
      // Reset by the client: keep what came, there is no one to answer.
      if (!c.in.empty()) Complete(c, now);
      c.state = S::Dead;
      return;
    }
    if (n == 0) {
      Complete(c, now);
      return;
    }
    c.in.append(buf, size_t(n));
    // The scrambled line may hold a line feed of its own; the request's is
    // the last byte the client sends before it waits.
    bool done = c.in.size() >= kMaxRequest;
    switch (c.kind) {
      case Kind::Update: done = done || EndsWith(c.in, "\n"); break;
      case Kind::Ip: done = done || EndsWith(c.in, "\r\n") || c.in.size() >= kIpRequestLength; break;
      case Kind::Http:
        done = done || c.in.find("\r\n\r\n") != std::string::npos;
        break;
      default: break;
    }
    if (done) Complete(c, now);
    return;
  }
  if (revents & (POLLERR | POLLHUP)) {
    c.state = S::Dead;
    return;
  }
  if (c.state == S::Sending && (revents & POLLOUT)) Send(c, now);
}

void Service::Expire(Conn& c, Clock::time_point now) {
  using S = Conn::State;
  switch (c.state) {
    case S::Reading: Complete(c, now); break;
    case S::Waiting: Act(c, now); break;
    case S::Gap:
      c.state = S::Sending;
      Send(c, now);
      break;
    case S::Draining: c.state = S::Dead; break;
    default: break;
  }
}

void Service::Run(int stopFd) {
  for (;;) {
    std::vector<pollfd> fds;
    for (const Listener& l : listeners_) fds.push_back({l.fd, POLLIN, 0});
    fds.push_back({stopFd, POLLIN, 0});
    if (options_.controlIn >= 0) fds.push_back({options_.controlIn, POLLIN, 0});
    size_t firstConn = fds.size();
    Clock::time_point now = Clock::now();
    int timeout = -1;
    for (const auto& c : conns_) {
      fds.push_back({c->fd, c->Wanted(), 0});
      if (c->Timed()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(c->deadline - now).count();
        left = left < 0 ? 0 : left;
        if (timeout < 0 || left < timeout) timeout = int(left);
      }
    }
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;
    now = Clock::now();

    size_t i = 0;
    for (; i < listeners_.size(); ++i) {
      if (!fds[i].revents) continue;
      if (listeners_[i].udp)
        ReceiveDatagrams(listeners_[i]);
      else
        Accept(listeners_[i]);
    }
    if (fds[i++].revents) return;
    if (options_.controlIn >= 0 && fds[i++].revents && !ReadControl()) return;

    // Accept above may have appended connections; they are polled next round.
    for (size_t k = 0; firstConn + k < fds.size(); ++k) {
      Conn& c = *conns_[k];
      if (fds[firstConn + k].revents) Step(c, fds[firstConn + k].revents, now);
      if (c.Timed() && c.deadline <= now) Expire(c, now);
    }
    std::erase_if(conns_, [](const auto& c) { return c->state == Conn::State::Dead; });
  }
}

bool Service::ReadControl() {
  char buf[4096];
  ssize_t n = read(options_.controlIn, buf, sizeof buf);
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  if (n == 0) return false;
  controlBuffer_.append(buf, size_t(n));
  size_t nl;
  while ((nl = controlBuffer_.find('\n')) != std::string::npos) {
    std::string line = controlBuffer_.substr(0, nl);
    controlBuffer_.erase(0, nl + 1);
    bool quit = false;
    std::string answer = Command(line, quit);
    for (size_t at = 0; at < answer.size();) {
      ssize_t w = write(options_.controlOut, answer.data() + at, answer.size() - at);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      at += size_t(w);
    }
    if (quit) return false;
  }
  return true;
}

std::string Service::Command(std::string_view line, bool& quit) {
  std::vector<std::string_view> words = Words(line);
  if (words.empty()) return "err empty command\n";
  if (words[0] == "ping") return "ok\n";
  if (words[0] == "quit") {
    quit = true;
    return "ok\n";
  }
  if (words[0] == "script") return ScriptCommand(words);
  if (words[0] == "events") return EventsCommand(words);
  return "err unknown command\n";
}

// script <update|ip|http> <n|every> [mode=reply|noreply|close|reset] [reply=HEX]
//        [delay=MS] [split=N] [gap=MS] [status=N] [chunked=0|1] [raw=0|1]
std::string Service::ScriptCommand(const std::vector<std::string_view>& words) {
  if (words.size() < 3) return "err script needs a server and a request number\n";
  std::optional<Kind> kind = KindFromName(words[1]);
  if (!kind || !(*kind == Kind::Update || *kind == Kind::Ip || *kind == Kind::Http))
    return "err no such TCP server\n";
  int number = 0;
  if (words[2] != "every" && (!Number(words[2], number) || number < 1)) return "err bad request number\n";
  Action a;
  for (size_t i = 3; i < words.size(); ++i) {
    std::string_view w = words[i];
    size_t eq = w.find('=');
    if (eq == std::string_view::npos) return "err option without value\n";
    std::string_view key = w.substr(0, eq), value = w.substr(eq + 1);
    bool ok = true;
    if (key == "mode") {
      if (value == "reply") a.mode = Action::Mode::Reply;
      else if (value == "noreply") a.mode = Action::Mode::NoReply;
      else if (value == "close") a.mode = Action::Mode::Close;
      else if (value == "reset") a.mode = Action::Mode::Reset;
      else ok = false;
    } else if (key == "reply") {
      a.bytes = HexDecode(value);
      ok = a.bytes.has_value();
    } else if (key == "delay") {
      ok = Number(value, a.delayMs) && a.delayMs >= 0;
    } else if (key == "split") {
      ok = Number(value, a.splitAt);
    } else if (key == "gap") {
      ok = Number(value, a.gapMs) && a.gapMs >= 0;
    } else if (key == "status") {
      ok = Number(value, a.status) && a.status >= 100 && a.status <= 999;
    } else if (key == "chunked") {
      ok = value == "0" || value == "1";
      a.chunked = value == "1";
    } else if (key == "raw") {
      ok = value == "0" || value == "1";
      a.raw = value == "1";
    } else {
      ok = false;
    }
    if (!ok) return "err bad option " + std::string(key) + "\n";
  }
  scripts_[{*kind, number}] = a;
  return "ok\n";
}

// events <from seq> -> one "ev" line per event from there on, then "end".
std::string Service::EventsCommand(const std::vector<std::string_view>& words) {
  uint64_t from = 1;
  if (words.size() > 1 && !Number(words[1], from)) return "err bad sequence number\n";
  std::string out;
  for (const Event& e : events_) {
    if (e.seq < from) continue;
    out += "ev seq=" + std::to_string(e.seq) + " server=" + KindName(e.kind) +
           " n=" + std::to_string(e.number) + " ms=" + std::to_string(e.ms) + " local=" + e.local +
           " peer=" + e.peer + " shift=" + std::to_string(e.shift) + " raw=" + HexEncode(e.raw) +
           " plain=" + HexEncode(e.plain) + " fields=";
    for (size_t i = 0; i < e.fields.size(); ++i) {
      if (i) out += ",";
      out += HexEncode(e.fields[i].first) + "=" + HexEncode(e.fields[i].second);
    }
    out += "\n";
  }
  return out + "end\n";
}

}  // namespace tsvc
