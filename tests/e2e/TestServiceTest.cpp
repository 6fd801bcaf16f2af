// The test service itself, driven through its library, with plain sockets as
// the client: what it decodes and records, and what each scripted action
// looks like from the client's side.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestService.h"

using namespace std::string_literals;
using std::chrono::milliseconds;
using corvitest::Action;
using corvitest::Event;
using corvitest::Server;
using corvitest::TestService;

namespace {

using Clock = std::chrono::steady_clock;
constexpr milliseconds kWait{5000};
const std::string kDefaultUpdateReply = "IP:127.0.0.1 DT:PA SI:60 MI:30 MIP:127.0.0.31 HIP:127.0.0.41\r\n";

class Fd {
public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    Reset();
    fd_ = std::exchange(o.fd_, -1);
    return *this;
  }
  int get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

private:
  int fd_;
};

sockaddr_in Addr(const std::string& host, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, host.c_str(), &sa.sin_addr);
  return sa;
}

std::string Text(const sockaddr_in& sa) {
  char host[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &sa.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(sa.sin_port));
}

std::string LocalOf(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return Text(sa);
}

std::string HostOf(const std::string& addrPort) { return addrPort.substr(0, addrPort.find(':')); }

Fd Connect(const std::string& host, uint16_t port) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa = Addr(host, port);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    ADD_FAILURE() << "connect " << host << ":" << port << ": " << strerror(errno);
    fd.Reset();
  }
  return fd;
}

void SendAll(int fd, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) {
      ADD_FAILURE() << "send: " << strerror(errno);
      return;
    }
    at += size_t(n);
  }
}

// What the client sees after its request: each read apart, then the end.
struct Received {
  std::vector<std::string> reads;
  std::vector<milliseconds> at;  // of each read, since Read began
  bool eof = false;
  int error = 0;                 // errno of a failed read
  milliseconds endAt{0};

  std::string All() const {
    std::string all;
    for (const auto& r : reads) all += r;
    return all;
  }
};

Received Read(int fd, milliseconds limit) {
  Received r;
  Clock::time_point start = Clock::now();
  Clock::time_point until = start + limit;
  for (;;) {
    auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
    if (left <= 0) return r;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, int(left)) <= 0) continue;
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    auto now = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    if (n > 0) {
      r.reads.emplace_back(buf, size_t(n));
      r.at.push_back(now);
      continue;
    }
    r.eof = n == 0;
    r.error = n < 0 ? errno : 0;
    r.endAt = now;
    return r;
  }
}

std::string Scramble(const std::string& plain, int shift) {
  std::string wire = plain;
  for (char& c : wire) c = char((static_cast<unsigned char>(c) + shift) & 0xFF);
  return wire + "\n";
}

using FieldList = std::vector<std::pair<std::string, std::string>>;

class TestServiceTest : public ::testing::Test {
protected:
  void SetUp() override {
    const char* ns = std::getenv("CORVILINK_NETNS");
    ASSERT_TRUE(ns != nullptr && std::string(ns) == "1")
        << "opens real sockets: run only inside the private network namespace (scripts/isolate)";
    ASSERT_NO_THROW(svc_.Start());
    started_ = true;
  }

  void TearDown() override {
    if (started_) {
      EXPECT_EQ(svc_.Stop(), 0) << "the test service failed (see its report above)";
    }
  }

  // One update request: connect, send the wire bytes, read to the end.
  Received Update(const std::string& host, uint16_t port, const std::string& wire,
                  milliseconds limit = kWait) {
    Fd fd = Connect(host, port);
    if (fd.get() < 0) return {};
    SendAll(fd.get(), wire);
    return Read(fd.get(), limit);
  }

  Event Next(Server server) {
    std::optional<Event> ev = svc_.WaitForEvent(server, kWait);
    if (!ev) {
      ADD_FAILURE() << "no " << corvitest::ServerName(server) << " event";
      return {};
    }
    return *ev;
  }

  TestService svc_{CORVILINK_BUILD_DIR "/tests/service/corvilink-testservice"};
  bool started_ = false;
};

// Every update address and port, each line with its own shift: the shift
// comes back from the first byte, every byte before the final LF loses it
// (wrapping below 0), and the fields keep their order.
TEST_F(TestServiceTest, UpdateLineIsUnscrambledAndSplitIntoFields) {
  struct Case {
    const char* host;
    uint16_t port;
    int shift;
    std::string plain;
    FieldList fields;
  };
  const std::string base = "AuthCode=CORVIL046D&Session=abc&Account=me&Domain=corvilink.example";
  const std::vector<Case> cases = {
      {"127.0.0.21", 900, 7, base + "&ec=0&RIP=&offline=1&Passwd=0cc175b9c0f1b6a831c399e269772661",
       {{"AuthCode", "CORVIL046D"}, {"Session", "abc"}, {"Account", "me"}, {"Domain", "corvilink.example"},
        {"ec", "0"}, {"RIP", ""}, {"offline", "1"}, {"Passwd", "0cc175b9c0f1b6a831c399e269772661"}}},
      // 0xFF + 1 wraps to a NUL on the wire.
      {"127.0.0.21", 80, 1, base + "&x=\xff\x01",
       {{"AuthCode", "CORVIL046D"}, {"Session", "abc"}, {"Account", "me"}, {"Domain", "corvilink.example"},
        {"x", "\xff\x01"}}},
      // 0xF3 + 23 is a line feed inside the line; only the last one ends it.
      {"127.0.0.22", 900, 23, base + "&x=\xf3y&IPv6=2001:db8::1\n",
       {{"AuthCode", "CORVIL046D"}, {"Session", "abc"}, {"Account", "me"}, {"Domain", "corvilink.example"},
        {"x", "\xf3y"}, {"IPv6", "2001:db8::1\n"}}},
      {"127.0.0.22", 80, 25, "AuthCode=A&&b=c=d&e",
       {{"AuthCode", "A"}, {"", ""}, {"b", "c=d"}, {"e", ""}}},
      {"127.0.0.23", 900, 2, "AuthCode=Z", {{"AuthCode", "Z"}}},
      {"127.0.0.23", 80, 3, "AuthCode=Z", {{"AuthCode", "Z"}}},
      {"127.0.0.24", 900, 4, "AuthCode=Z", {{"AuthCode", "Z"}}},
      {"127.0.0.24", 80, 5, "AuthCode=Z", {{"AuthCode", "Z"}}},
      {"192.0.2.10", 900, 6, "AuthCode=Z", {{"AuthCode", "Z"}}},
      {"192.0.2.10", 80, 8, "AuthCode=Z", {{"AuthCode", "Z"}}},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + ":" + std::to_string(c.port));
    const std::string wire = Scramble(c.plain, c.shift);
    Fd fd = Connect(c.host, c.port);
    ASSERT_GE(fd.get(), 0);
    SendAll(fd.get(), wire);
    Received r = Read(fd.get(), kWait);
    EXPECT_EQ(r.All(), "IP:" + HostOf(LocalOf(fd.get())) + " DT:PA SI:60 MI:30 MIP:127.0.0.31 HIP:127.0.0.41\r\n");
    EXPECT_TRUE(r.eof);

    Event ev = Next(Server::Update);
    EXPECT_EQ(ev.number, ++number);
    EXPECT_EQ(ev.local, std::string(c.host) + ":" + std::to_string(c.port));
    EXPECT_EQ(ev.peer, LocalOf(fd.get()));
    EXPECT_EQ(ev.raw, wire);
    EXPECT_EQ(ev.shift, c.shift);
    EXPECT_EQ(ev.plain, c.plain);
    EXPECT_EQ(ev.fields, c.fields);
  }
  EXPECT_EQ(svc_.Events(Server::Update).size(), cases.size());
}

// The request may come in pieces, lack its LF or its shift; what arrived is
// recorded and answered, and a connection that sends nothing is no request.
TEST_F(TestServiceTest, UpdateRequestInPiecesWithoutLineFeedOrShift) {
  {
    Fd silent = Connect("127.0.0.22", 900);
  }
  struct Case {
    const char* name;
    std::vector<std::string> pieces;  // sent 150 ms apart
    bool halfClose;                   // then shut the sending side
    std::string raw;
    int shift;
    std::string plain;
  };
  const std::string line = "AuthCode=CORVIL046D&Session=abc";
  const std::string wire = Scramble(line, 7);
  const std::vector<Case> cases = {
      {"in two pieces", {wire.substr(0, 10), wire.substr(10)}, false, wire, 7, line},
      {"no line feed", {wire.substr(0, wire.size() - 1)}, true, wire.substr(0, wire.size() - 1), 7, line},
      {"first byte A", {"AuthCode=x\n"}, false, "AuthCode=x\n", 0, ""},
      {"first byte beyond Z", {"\x5b" "bc\n"}, false, "\x5b" "bc\n", 0, ""},
      {"garbage", {"\x00\xff\r\n"s}, false, "\x00\xff\r\n"s, 0, ""},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fd fd = Connect("127.0.0.22", 900);
    ASSERT_GE(fd.get(), 0);
    for (size_t i = 0; i < c.pieces.size(); ++i) {
      if (i) std::this_thread::sleep_for(milliseconds(150));
      SendAll(fd.get(), c.pieces[i]);
    }
    if (c.halfClose) shutdown(fd.get(), SHUT_WR);
    Received r = Read(fd.get(), kWait);
    EXPECT_EQ(r.All(), kDefaultUpdateReply);
    EXPECT_TRUE(r.eof);
    Event ev = Next(Server::Update);
    EXPECT_EQ(ev.number, ++number);
    EXPECT_EQ(ev.raw, c.raw);
    EXPECT_EQ(ev.shift, c.shift);
    EXPECT_EQ(ev.plain, c.plain);
    EXPECT_EQ(ev.fields.empty(), c.plain.empty());
  }
}

// Each action as the client sees it: the bytes of each read, how the
// connection ends and when.
TEST_F(TestServiceTest, ScriptedActionsAsTheClientSeesThem) {
  struct Case {
    const char* name;
    Action action;
    std::vector<std::string> reads;
    bool eof;
    int error;
    milliseconds notBefore;  // the first read, or the end when nothing is read
    milliseconds gapAtLeast;  // between the two reads of a split reply
  };
  const std::string garbage = "IP:\x00\x01\xff\r\nzz"s;
  const std::vector<Case> cases = {
      {"bytes with NUL and garbage", Action::Reply(garbage), {garbage}, true, 0, milliseconds(0), milliseconds(0)},
      {"empty reply", Action::Reply(""), {}, true, 0, milliseconds(0), milliseconds(0)},
      {"split", Action::Split("IP:10.1.2.3 DT:PA SI:60\r\n", 15, 300), {"IP:10.1.2.3 DT:", "PA SI:60\r\n"}, true, 0,
       milliseconds(0), milliseconds(250)},
      {"default reply split", Action::Split(std::nullopt, 3, 200), {"IP:", kDefaultUpdateReply.substr(3)}, true, 0,
       milliseconds(0), milliseconds(150)},
      {"default reply late", Action().After(600), {kDefaultUpdateReply}, true, 0, milliseconds(550),
       milliseconds(0)},
      {"bytes late", Action::Reply("IP:1.2.3.4\r\n").After(400), {"IP:1.2.3.4\r\n"}, true, 0, milliseconds(350),
       milliseconds(0)},
      {"close at once", Action::Close(), {}, true, 0, milliseconds(0), milliseconds(0)},
      {"close late", Action::Close().After(400), {}, true, 0, milliseconds(350), milliseconds(0)},
      {"reset", Action::Reset(), {}, false, ECONNRESET, milliseconds(0), milliseconds(0)},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    ASSERT_NO_THROW(svc_.Script(Server::Update, int(i) + 1, c.action));
    Received r = Update("127.0.0.23", 900, Scramble("AuthCode=X", 3));
    EXPECT_EQ(r.reads, c.reads);
    EXPECT_EQ(r.eof, c.eof);
    EXPECT_EQ(r.error, c.error);
    milliseconds first = r.at.empty() ? r.endAt : r.at.front();
    EXPECT_GE(first, c.notBefore);
    EXPECT_LT(first, c.notBefore + milliseconds(2000));
    if (r.at.size() == 2) {
      EXPECT_GE(r.at[1] - r.at[0], c.gapAtLeast);
    }
    EXPECT_EQ(Next(Server::Update).number, int(i) + 1);
  }
}

// No reply: the connection stays open and silent until the client closes it.
TEST_F(TestServiceTest, NoReplyHoldsTheConnectionOpen) {
  svc_.Script(Server::Update, 1, Action::NoReply());
  Fd fd = Connect("127.0.0.24", 80);
  ASSERT_GE(fd.get(), 0);
  SendAll(fd.get(), Scramble("AuthCode=X", 9));
  Received r = Read(fd.get(), milliseconds(800));
  EXPECT_TRUE(r.reads.empty());
  EXPECT_FALSE(r.eof);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(Next(Server::Update).plain, "AuthCode=X");
  fd.Reset();
  // The next request gets the default again.
  EXPECT_EQ(Update("127.0.0.24", 80, Scramble("AuthCode=X", 9)).All(), kDefaultUpdateReply);
}

// A script for a request number wins over the one for every request; the
// rest get the default, and numbers count across addresses and ports.
TEST_F(TestServiceTest, ScriptsByRequestNumberAndForEvery) {
  svc_.Script(Server::Update, 2, Action::Reply("IP:2.2.2.2\r\n"));
  svc_.Script(Server::Update, 4, Action::Reply("IP:4.4.4.4\r\n"));
  svc_.Script(Server::Update, 4, Action::Reply("IP:4.4.4.5\r\n"));
  struct Step {
    const char* host;
    uint16_t port;
    std::string reply;
  };
  const std::vector<Step> steps = {
      {"127.0.0.21", 900, kDefaultUpdateReply},
      {"127.0.0.21", 80, "IP:2.2.2.2\r\n"},
      {"127.0.0.22", 900, kDefaultUpdateReply},
      {"192.0.2.10", 80, "IP:4.4.4.5\r\n"},
  };
  for (const Step& s : steps) EXPECT_EQ(Update(s.host, s.port, Scramble("AuthCode=X", 1)).All(), s.reply);

  svc_.Script(Server::Update, TestService::kEvery, Action::Reply("IP:9.9.9.9\r\n"));
  svc_.Script(Server::Update, 6, Action::Close());
  EXPECT_EQ(Update("127.0.0.23", 80, Scramble("AuthCode=X", 1)).All(), "IP:9.9.9.9\r\n");
  EXPECT_EQ(Update("127.0.0.23", 80, Scramble("AuthCode=X", 1)).All(), "");
  EXPECT_EQ(Update("127.0.0.23", 80, Scramble("AuthCode=X", 1)).All(), "IP:9.9.9.9\r\n");

  std::vector<Event> events = svc_.Events(Server::Update);
  ASSERT_EQ(events.size(), 7u);
  for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i].number, int(i) + 1);
}

TEST_F(TestServiceTest, IpQueryRequestAndReply) {
  const std::string request = "AuthCode=CORVIL046D&Session=abc\r\n";
  ASSERT_EQ(request.size(), 33u);
  // Default reply on each address: the client's address and LF.
  int number = 0;
  for (const char* host : {"127.0.0.31", "198.51.100.10", "203.0.113.10"}) {
    SCOPED_TRACE(host);
    Fd fd = Connect(host, 901);
    ASSERT_GE(fd.get(), 0);
    SendAll(fd.get(), request.substr(0, 12));
    std::this_thread::sleep_for(milliseconds(150));
    SendAll(fd.get(), request.substr(12));
    Received r = Read(fd.get(), kWait);
    EXPECT_EQ(r.reads, std::vector<std::string>{HostOf(LocalOf(fd.get())) + "\n"});
    EXPECT_TRUE(r.eof);
    Event ev = Next(Server::Ip);
    EXPECT_EQ(ev.number, ++number);
    EXPECT_EQ(ev.local, std::string(host) + ":901");
    EXPECT_EQ(ev.peer, LocalOf(fd.get()));
    EXPECT_EQ(ev.raw, request);
    EXPECT_TRUE(ev.plain.empty());
  }

  // 33 bytes without CR LF are a whole request too.
  const std::string noEnd(33, 'Q');
  Fd fd = Connect("127.0.0.31", 901);
  SendAll(fd.get(), noEnd);
  EXPECT_EQ(Read(fd.get(), kWait).All(), "127.0.0.1\n");
  EXPECT_EQ(Next(Server::Ip).raw, noEnd);

  svc_.Script(Server::Ip, 5, Action::Split("10.0.0.25\n", 7, 300));
  fd = Connect("127.0.0.31", 901);
  SendAll(fd.get(), request);
  Received r = Read(fd.get(), kWait);
  EXPECT_EQ(r.reads, (std::vector<std::string>{"10.0.0.", "25\n"}));
  ASSERT_EQ(r.at.size(), 2u);
  EXPECT_GE(r.at[1] - r.at[0], milliseconds(250));
  EXPECT_EQ(Next(Server::Ip).number, 5);
}

TEST_F(TestServiceTest, DatagramsAreRecordedByteForByte) {
  struct Case {
    const char* name;
    const char* to;
    uint16_t port;
    bool broadcast;
    Server server;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"heartbeat", "127.0.0.41", 910, false, Server::HeartBeat, "ABCDEFGHIJ0123456789"},
      {"heartbeat with NUL and high bytes", "127.0.0.41", 910, false, Server::HeartBeat, "\x00\xff\x80x"s},
      {"local notice", "127.0.1.1", 900, false, Server::Notice, "Corvilink;abc;ABCDEFGHIJ0123456789"},
      {"local notice on loopback", "127.0.0.1", 900, false, Server::Notice, "x"},
      {"log broadcast", "255.255.255.255", 899, true, Server::Broadcast, "Corvilink log line\r\n\xe4"},
      {"empty datagram", "127.0.0.41", 910, false, Server::HeartBeat, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in from = Addr("127.0.0.1", 0);
    ASSERT_EQ(bind(fd.get(), reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    int one = 1;
    if (c.broadcast) setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in to = Addr(c.to, c.port);
    ASSERT_EQ(sendto(fd.get(), c.bytes.data(), c.bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              ssize_t(c.bytes.size()))
        << strerror(errno);
    Event ev = Next(c.server);
    EXPECT_EQ(ev.raw, c.bytes);
    EXPECT_EQ(ev.local, std::string(c.to) + ":" + std::to_string(c.port));
    EXPECT_EQ(ev.peer, LocalOf(fd.get()));
  }
  EXPECT_EQ(svc_.Events(Server::HeartBeat).size(), 3u);
  EXPECT_EQ(svc_.Events(Server::Notice).size(), 2u);
  EXPECT_EQ(svc_.Events(Server::Broadcast).size(), 1u);
  EXPECT_TRUE(svc_.Events(Server::Update).empty());
}

TEST_F(TestServiceTest, Ipv6HostAnswersGetWithScriptedBody) {
  const std::string head =
      "GET /?me.corvilink.example HTTP/1.1\r\nHost: ipv6.corvilink.example\r\nConnection: close\r\n\r\n";
  const std::string top = "Content-Type: text/plain\r\n";
  struct Case {
    const char* name;
    std::optional<Action> action;
    std::string response;
  };
  const std::vector<Case> cases = {
      {"default", std::nullopt,
       "HTTP/1.1 200 OK\r\n" + top + "Content-Length: 11\r\nConnection: close\r\n\r\n2001:db8::1"},
      {"body with line end", Action::Http(200, "2001:db8::5\r\n"),
       "HTTP/1.1 200 OK\r\n" + top + "Content-Length: 13\r\nConnection: close\r\n\r\n2001:db8::5\r\n"},
      {"error page", Action::Http(404, "nope"),
       "HTTP/1.1 404 Not Found\r\n" + top + "Content-Length: 4\r\nConnection: close\r\n\r\nnope"},
      {"chunked", Action::Http(200, "2001:db8::5", true),
       "HTTP/1.1 200 OK\r\n" + top +
           "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n8\r\n2001:db8\r\n3\r\n::5\r\n0\r\n\r\n"},
      {"raw", Action::HttpRaw("HTTP/1.0 200 OK\r\n\r\n::1"), "HTTP/1.0 200 OK\r\n\r\n::1"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    if (c.action) svc_.Script(Server::Http, int(i) + 1, *c.action);
    Fd fd = Connect("127.0.0.60", 80);
    ASSERT_GE(fd.get(), 0);
    SendAll(fd.get(), head);
    Received r = Read(fd.get(), kWait);
    EXPECT_EQ(r.All(), c.response);
    EXPECT_TRUE(r.eof);
    Event ev = Next(Server::Http);
    EXPECT_EQ(ev.raw, head);
    EXPECT_EQ(ev.local, "127.0.0.60:80");
    EXPECT_EQ(ev.peer, LocalOf(fd.get()));
  }
  EXPECT_TRUE(svc_.Events(Server::Update).empty());
}

// Garbage, floods, resets and silence on every TCP server: the service keeps
// answering, and ends cleanly (TearDown checks its exit status).
TEST_F(TestServiceTest, BadInputDoesNotHurtIt) {
  struct Target {
    const char* host;
    uint16_t port;
  };
  const std::vector<Target> targets = {{"127.0.0.21", 900}, {"192.0.2.10", 80}, {"127.0.0.31", 901},
                                       {"127.0.0.60", 80}};
  std::string flood(100000, '\x01');
  for (const Target& t : targets) {
    SCOPED_TRACE(std::string(t.host) + ":" + std::to_string(t.port));
    // A flood without any end gets an answer once the limit is reached.
    Fd fd = Connect(t.host, t.port);
    ASSERT_GE(fd.get(), 0);
    SendAll(fd.get(), flood);
    Received r = Read(fd.get(), kWait);
    EXPECT_FALSE(r.All().empty());
    // Reset right after a partial request.
    fd = Connect(t.host, t.port);
    SendAll(fd.get(), "\xff\xfe\x00garbage"s);
    linger lg{1, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    fd.Reset();
    // Connect and go.
    fd = Connect(t.host, t.port);
    fd.Reset();
  }
  Fd empty(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in to = Addr("127.0.0.41", 910);
  std::string big(60000, '\xee');
  sendto(empty.get(), big.data(), big.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);

  EXPECT_EQ(Update("127.0.0.21", 900, Scramble("AuthCode=X", 4)).All(), kDefaultUpdateReply);
  std::optional<Event> hb = svc_.WaitForEvent(Server::HeartBeat, kWait);
  ASSERT_TRUE(hb);
  EXPECT_EQ(hb->raw, big);
}

// The control channel refuses what the service can't do; a wait with
// nothing to wait for ends at its time-out.
TEST_F(TestServiceTest, ControlRefusalsAndWaitTimeout) {
  EXPECT_THROW(svc_.Script(Server::HeartBeat, 1, Action::Reply("x")), std::runtime_error);
  EXPECT_THROW(svc_.Script(Server::Update, -1, Action::Close()), std::invalid_argument);
  EXPECT_THROW(svc_.Script(Server::Http, 1, Action::Http(42, "x")), std::runtime_error);
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(svc_.WaitForEvent(Server::Notice, milliseconds(300)));
  EXPECT_GE(Clock::now() - start, milliseconds(300));
  EXPECT_TRUE(svc_.Events().empty());
}

}  // namespace
