#include "HttpGet.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Common.h"
#include "HttpAnswer.h"

namespace plat {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// It runs inside the update connection, which the server closes when the
// line takes 5 s: the engine's thread must be free again well before that.
static milliseconds g_timeout = kHttpGetTimeout;

void SetHttpGetTimeout(milliseconds whole) { g_timeout = whole; }

namespace {

struct Url {
  std::string host;      // as written, without brackets
  uint16_t port = 80;
  std::string hostPort;  // the Host header's value
  std::string target;    // path and query
};

// host[:port] after any user info; false when it makes no sense.
bool ParseAuthority(std::string authority, Url& url) {
  size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  std::string port;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    url.host = authority.substr(1, close - 1);
    std::string rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return false;
      port = rest.substr(1);
    }
  } else {
    size_t colon = authority.find(':');
    url.host = authority.substr(0, colon);
    if (colon != std::string::npos) port = authority.substr(colon + 1);
  }
  if (url.host.empty()) return false;
  url.port = 80;
  if (!port.empty() && !ParsePort(port, url.port)) return false;
  std::string shown = url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host;
  url.hostPort = url.port == 80 ? shown : shown + ":" + std::to_string(url.port);
  return true;
}

// Bytes that can't stand in a request line are sent escaped.
std::string EscapeTarget(const std::string& s) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (c <= 0x20 || c >= 0x7F) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += char(c);
    }
  }
  return out;
}

bool ParseUrl(const std::string& text, Url& url) {
  if (!StartsWithAscii(text, "http://")) return false;
  std::string rest = text.substr(7);
  size_t hash = rest.find('#');
  if (hash != std::string::npos) rest.erase(hash);
  size_t end = rest.find_first_of("/?");
  if (!ParseAuthority(rest.substr(0, end), url)) return false;
  std::string target = end == std::string::npos ? std::string() : rest.substr(end);
  if (target.empty() || target[0] != '/') target = "/" + target;
  url.target = EscapeTarget(target);
  return true;
}

bool ParseIPv4(const std::string& s, uint32_t& addr) {
  in_addr a;
  if (inet_pton(AF_INET, s.c_str(), &a) != 1) return false;
  addr = ntohl(a.s_addr);
  return true;
}

// One no_proxy entry: "*", a name (its subdomains too, a leading dot
// ignored), an address or an IPv4 network "a.b.c.d/bits".
bool NoProxyEntryMatches(std::string entry, const std::string& host) {
  if (entry == "*") return true;
  size_t slash = entry.find('/');
  if (slash != std::string::npos) {
    uint32_t net, addr;
    std::string digits = entry.substr(slash + 1);
    if (digits.empty() || digits.size() > 2 || digits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    int bits = std::stoi(digits);
    if (bits > 32 || !ParseIPv4(entry.substr(0, slash), net) || !ParseIPv4(host, addr)) return false;
    uint32_t mask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
    return (net & mask) == (addr & mask);
  }
  if (entry.size() >= 2 && entry.front() == '[' && entry.back() == ']')
    entry = entry.substr(1, entry.size() - 2);
  size_t colon = entry.rfind(':');
  if (colon != std::string::npos && entry.find(':') == colon) entry.erase(colon);
  while (!entry.empty() && entry[0] == '.') entry.erase(0, 1);
  if (entry.empty()) return false;
  if (host == entry) return true;
  return host.size() > entry.size() && host.compare(host.size() - entry.size(), entry.size(), entry) == 0 &&
         host[host.size() - entry.size() - 1] == '.';
}

bool Bypassed(const std::string& host) {
  const char* list = std::getenv("no_proxy");
  if (list == nullptr || *list == 0) list = std::getenv("NO_PROXY");
  if (list == nullptr) return false;
  std::string all = list, name = LowerAscii(host);
  size_t start = 0;
  while (start <= all.size()) {
    size_t comma = all.find(',', start);
    if (comma == std::string::npos) comma = all.size();
    if (NoProxyEntryMatches(LowerAscii(TrimBlanks(all.substr(start, comma - start))), name)) return true;
    start = comma + 1;
  }
  return false;
}

// The proxy for this host from the environment, if any.
bool ProxyFor(const Url& url, Url& proxy) {
  const char* value = std::getenv("http_proxy");
  if (value == nullptr || *value == 0) value = std::getenv("HTTP_PROXY");
  if (value == nullptr || *value == 0) return false;
  std::string text = TrimBlanks(value);
  if (text.find("://") != std::string::npos) {
    if (!StartsWithAscii(text, "http://")) return false;  // only plain HTTP proxies
    text.erase(0, 7);
  }
  text = text.substr(0, text.find('/'));
  if (!ParseAuthority(text, proxy)) return false;
  return !Bypassed(url.host);
}

// Milliseconds until then, rounded up; 0 once it has come.
int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : int(left);
}

// Waits for one event on fd until the deadline; false on time-out or error.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    int ms = RemainingMs(deadline);
    if (ms == 0) return false;
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, ms);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

struct Address {
  sockaddr_storage addr;
  socklen_t len;
};

// The resolver's own time-outs (5 s, twice, for a query that gets no
// answer) are longer than the whole request may take, so the look-up runs
// on a thread of its own that the request stops waiting for at its
// deadline. One look-up at a time: a resolver that never answers holds one
// thread, however often the request is made.
struct Lookups {
  std::mutex mutex;
  std::condition_variable changed;
  bool running = false;
};

// Never destroyed: a look-up may still be running when the process ends.
Lookups& TheLookups() {
  static Lookups* lookups = new Lookups;
  return *lookups;
}

struct Lookup {
  bool done = false;
  std::vector<Address> found;
};

void RunLookup(const std::string& host, const std::string& port, int family, const std::shared_ptr<Lookup>& into) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  std::vector<Address> found;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &list) == 0) {
    // Out of memory here is a failed look-up: it must still end.
    try {
      for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        Address& to = found.emplace_back();
        std::memcpy(&to.addr, a->ai_addr, a->ai_addrlen);
        to.len = a->ai_addrlen;
      }
    } catch (const std::bad_alloc&) {
      found.clear();
    }
    freeaddrinfo(list);
  }
  Lookups& lookups = TheLookups();
  {
    std::lock_guard<std::mutex> lock(lookups.mutex);
    into->found = std::move(found);
    into->done = true;
    lookups.running = false;
  }
  lookups.changed.notify_all();
}

// The host's addresses of one family (AF_UNSPEC: both) in the system's
// order; none when the look-up fails or ends after the deadline.
std::vector<Address> Resolve(const Url& where, int family, Clock::time_point deadline) {
  Lookups& lookups = TheLookups();
  std::unique_lock<std::mutex> lock(lookups.mutex);
  if (!lookups.changed.wait_until(lock, deadline, [&] { return !lookups.running; })) return {};
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread(RunLookup, where.host, std::to_string(where.port), family, lookup).detach();
  } catch (const std::system_error&) {
    return {};
  }
  lookups.running = true;
  if (!lookups.changed.wait_until(lock, deadline, [&] { return lookup->done; })) return {};
  return std::move(lookup->found);
}

// An attempt that has not connected by then lets the next address have its
// turn, while it goes on.
constexpr milliseconds kNextAttempt{250};

// Connects to the addresses in turn as above, the next at once when one
// fails; the first to connect wins and the others are closed. -1 when none
// connects by the deadline.
int ConnectTo(const std::vector<Address>& addresses, Clock::time_point deadline) {
  std::vector<pollfd> trying;
  size_t next = 0;
  Clock::time_point nextAt = Clock::now();
  int won = -1;
  while (won < 0 && RemainingMs(deadline) > 0) {
    if (next < addresses.size() && (trying.empty() || Clock::now() >= nextAt)) {
      const Address& to = addresses[next++];
      int fd = socket(to.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&to.addr), to.len) == 0) {
        won = fd;
      } else if (fd >= 0 && errno == EINPROGRESS) {
        trying.push_back({fd, POLLOUT, 0});
        nextAt = Clock::now() + kNextAttempt;
      } else {
        if (fd >= 0) close(fd);
        nextAt = Clock::now();
      }
      continue;
    }
    if (trying.empty()) break;
    const Clock::time_point until = next < addresses.size() ? std::min(nextAt, deadline) : deadline;
    int r = poll(trying.data(), trying.size(), RemainingMs(until));
    if (r < 0 && errno != EINTR) break;
    for (auto it = trying.begin(); r > 0 && it != trying.end();) {
      if (it->revents == 0) {
        ++it;
        continue;
      }
      int err = 0;
      socklen_t len = sizeof err;
      if (won < 0 && getsockopt(it->fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
        won = it->fd;
      } else {
        close(it->fd);
        nextAt = Clock::now();
      }
      it = trying.erase(it);
    }
  }
  for (const pollfd& p : trying) close(p.fd);
  return won;
}

bool SendAll(int fd, const std::string& data, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += size_t(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

// The connection until its end, an error or the deadline, which is looked
// at before every read: a host that never lets the socket run empty must
// not hold the request past it.
class SocketSource : public AnswerSource {
public:
  SocketSource(int fd, Clock::time_point deadline) : fd_(fd), deadline_(deadline) {}

  ssize_t Read(char* to, size_t room) override {
    for (;;) {
      if (RemainingMs(deadline_) == 0) return -1;
      ssize_t n = recv(fd_, to, room, 0);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return 0;
      if (!WaitFor(fd_, POLLIN, deadline_)) return -1;
    }
  }

private:
  int fd_;
  Clock::time_point deadline_;
};

// The body as it was read 1024 bytes at a time, each piece taken up to its
// first zero byte.
void AppendInPieces(const std::string& data, std::string& body) {
  for (size_t at = 0; at < data.size(); at += 1024) {
    size_t n = std::min<size_t>(1024, data.size() - at);
    const char* piece = data.data() + at;
    const void* zero = std::memchr(piece, 0, n);
    body.append(piece, zero != nullptr ? size_t(static_cast<const char*>(zero) - piece) : n);
  }
}

}  // namespace

bool HttpGetText(const std::string& url, std::string& body) {
  body.clear();
  Url target;
  if (!ParseUrl(url, target)) return false;
  const Clock::time_point deadline = Clock::now() + g_timeout;

  Url proxy;
  bool viaProxy = ProxyFor(target, proxy);
  std::string request = "GET ";
  if (viaProxy) request += "http://" + target.hostPort;
  request += target.target + " HTTP/1.1\r\n";
  request += "Host: " + target.hostPort + "\r\n";
  request += "User-Agent: KELVAR440\r\n";
  request += "Cache-Control: no-cache\r\n";
  request += "Pragma: no-cache\r\n";
  request += "Connection: close\r\n\r\n";

  // Only an answer that came over IPv6 tells the IPv6 address; a proxy is
  // reached however it can be.
  Fd fd(ConnectTo(viaProxy ? Resolve(proxy, AF_UNSPEC, deadline) : Resolve(target, AF_INET6, deadline), deadline));
  if (fd.Get() < 0 || !SendAll(fd.Get(), request, deadline)) return false;
  SocketSource in(fd.Get(), deadline);
  std::string data;
  if (!ReadAnswer(in, data)) return false;
  AppendInPieces(data, body);
  return true;
}

}  // namespace plat
