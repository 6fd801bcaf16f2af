// The libuv loop on real sockets, timers and look-ups. Runs only inside the
// private namespace: scripts/isolate build/tests/e2e_tests --gtest_filter='UvLoop*'
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "RealEngine.h"
#include "UvLoop.h"

namespace {

using plat::UvLoop;
using Addrs = std::vector<std::string>;

class UvLoopTest : public ::testing::Test {
protected:
  void SetUp() override {
    const char* ns = std::getenv("CORVILINK_NETNS");
    if (ns == nullptr || std::string(ns) != "1")
      FAIL() << "real sockets only inside the private namespace: run under scripts/isolate";
  }

  // Turns the loop until pred holds or ms have passed; pred's last answer.
  bool RunUntil(const std::function<bool()>& pred, uint32_t ms) {
    bool late = false;
    auto guard = loop.NewTimer([&] { late = true; });
    guard->Start(ms);
    while (!pred() && !late) uv_run(loop.Raw(), UV_RUN_ONCE);
    return pred();
  }
  void RunFor(uint32_t ms) {
    RunUntil([] { return false; }, ms);
  }

  UvLoop loop;
};

// Every event of one stream, in order; consecutive OnData calls make one "data".
struct Events : plat::StreamEvents {
  std::vector<std::string> log;
  std::string data;
  int dataCalls = 0;
  std::function<void()> onConnected;
  std::function<void()> onData;

  void OnConnected(int err) override {
    log.push_back("connected " + std::to_string(err));
    if (onConnected) onConnected();
  }
  void OnData(const char* d, size_t n) override {
    data.append(d, n);
    ++dataCalls;
    if (log.empty() || log.back() != "data") log.push_back("data");
    if (onData) onData();
  }
  void OnClosedByPeer(int err) override { log.push_back("closed " + std::to_string(err)); }
  bool Has(const std::string& event) const {
    for (const auto& e : log)
      if (e == event) return true;
    return false;
  }
};

bool WaitReadable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

void SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;  // the client may have gone: that is what some tests do
    done += size_t(n);
  }
}

std::string ReadExactly(int fd, size_t want) {
  std::string got;
  char buf[4096];
  while (got.size() < want && WaitReadable(fd, 3000)) {
    const ssize_t n = recv(fd, buf, std::min(sizeof buf, want - got.size()), 0);
    if (n <= 0) break;
    got.append(buf, size_t(n));
  }
  return got;
}

void DrainToEnd(int fd) {
  char buf[65536];
  while (WaitReadable(fd, 3000) && recv(fd, buf, sizeof buf, 0) > 0) {
  }
}

sockaddr_in Ipv4(const char* addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, addr, &sa.sin_addr);
  return sa;
}

// A listener on 127.0.0.1 whose one connection a thread serves with blocking calls.
class Peer {
public:
  explicit Peer(std::function<void(int fd)> serve) {
    lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = Ipv4("127.0.0.1", 0);
    socklen_t len = sizeof sa;
    if (bind(lfd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(lfd_, 4) != 0 ||
        getsockname(lfd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
      throw std::runtime_error("test listener");
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this, serve] {
      if (!WaitReadable(lfd_, 3000)) return;
      const int fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      serve(fd);
      close(fd);
    });
  }
  ~Peer() {
    thread_.join();
    close(lfd_);
  }
  uint16_t Port() const { return port_; }

private:
  int lfd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// A UDP socket on 0.0.0.0:port; the log broadcast's listener does the same.
class DatagramListener {
public:
  explicit DatagramListener(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa = Ipv4("0.0.0.0", port);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
      throw std::runtime_error("bind 0.0.0.0:" + std::to_string(port));
  }
  ~DatagramListener() { close(fd_); }
  // One datagram, or "<none>" after a second.
  std::string Next() {
    if (!WaitReadable(fd_, 1000)) return "<none>";
    char buf[2048];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n < 0 ? "<error>" : std::string(buf, size_t(n));
  }

private:
  int fd_ = -1;
};

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Rewrites a file in place: /etc/hosts here is a bind mount, not renamable.
void WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// --- clock and timers ---

TEST_F(UvLoopTest, NowAdvancesOverSleepAndEventsWaitForIt) {
  int ticks = 0;
  auto timer = loop.NewTimer([&] { ++ticks; });
  timer->Start(10);
  const uint64_t t0 = loop.Now();
  loop.Sleep(60);
  const uint64_t t1 = loop.Now();
  EXPECT_GE(t1 - t0, 60u);
  EXPECT_LT(t1 - t0, 300u);
  EXPECT_EQ(ticks, 0) << "a tick ran during the blocking pause";
  EXPECT_TRUE(RunUntil([&] { return ticks >= 1; }, 1000));
}

TEST_F(UvLoopTest, TimerTicksAtItsIntervalUntilStopped) {
  std::vector<uint64_t> at;
  auto timer = loop.NewTimer([&] { at.push_back(loop.Now()); });
  const uint64_t t0 = loop.Now();
  timer->Start(40);
  ASSERT_TRUE(RunUntil([&] { return at.size() >= 5; }, 3000));
  timer->Stop();
  for (size_t i = 0; i < at.size(); ++i) {
    const uint64_t since = at[i] - (i == 0 ? t0 : at[i - 1]);
    EXPECT_GE(since, 38u) << "tick " << i;
    EXPECT_LT(since, 140u) << "tick " << i;
  }
  RunFor(150);
  EXPECT_EQ(at.size(), 5u);
}

TEST_F(UvLoopTest, StartAgainRestartsTheCountdownFromNow) {
  uint64_t firedAt = 0;
  auto timer = loop.NewTimer([&] {
    if (firedAt == 0) firedAt = loop.Now();
  });
  plat::LoopTimer* restarter = nullptr;
  auto restart = loop.NewTimer([&] {
    timer->Start(100);
    restarter->Stop();
  });
  restarter = restart.get();
  const uint64_t t0 = loop.Now();
  timer->Start(100);
  restart->Start(60);
  ASSERT_TRUE(RunUntil([&] { return firedAt != 0; }, 2000));
  EXPECT_GE(firedAt - t0, 158u) << "the first countdown was not restarted";
  EXPECT_LT(firedAt - t0, 400u);
}

TEST_F(UvLoopTest, StoppedTimerStaysQuietUntilStartedAgain) {
  int ticks = 0;
  auto timer = loop.NewTimer([&] { ++ticks; });
  timer->Start(20);
  timer->Stop();
  RunFor(120);
  EXPECT_EQ(ticks, 0);
  timer->Start(20);
  EXPECT_TRUE(RunUntil([&] { return ticks >= 2; }, 1000));
}

TEST_F(UvLoopTest, TimerMayStopOrDestroyItselfInItsTick) {
  for (const bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroyed" : "stopped");
    int ticks = 0;
    std::unique_ptr<plat::LoopTimer> timer;
    timer = loop.NewTimer([&] {
      ++ticks;
      if (destroy)
        timer.reset();
      else
        timer->Stop();
    });
    timer->Start(10);
    RunFor(150);
    EXPECT_EQ(ticks, 1);
  }
}

TEST_F(UvLoopTest, RunReturnsOnceNothingIsLeftToWaitFor) {
  int ticks = 0;
  plat::LoopTimer* self = nullptr;
  auto timer = loop.NewTimer([&] {
    if (++ticks == 3) self->Stop();
  });
  self = timer.get();
  timer->Start(5);
  loop.Run();
  EXPECT_EQ(ticks, 3);
}

// --- TCP ---

TEST_F(UvLoopTest, ConnectedStreamCarriesBytesBothWaysInOrder) {
  const std::string request("GET one\r\n\0\x80\xff", 12);
  std::string received;
  Peer peer([&](int fd) {
    received = ReadExactly(fd, request.size());
    SendAll(fd, "first|");
    usleep(50 * 1000);
    SendAll(fd, std::string("second\0\xe9", 8));
  });
  Events ev;
  auto stream = loop.NewStream(ev);
  ev.onConnected = [&] {
    // Two writes: the peer must get them in the order they were queued.
    EXPECT_EQ(stream->Write(request.substr(0, 5)), 0);
    EXPECT_EQ(stream->Write(request.substr(5)), 0);
  };
  ASSERT_EQ(stream->Connect("127.0.0.1", peer.Port()), 0);
  EXPECT_TRUE(ev.log.empty()) << "an event within Connect";
  ASSERT_TRUE(RunUntil([&] { return ev.Has("closed 0"); }, 5000));
  EXPECT_EQ(ev.log, (std::vector<std::string>{"connected 0", "data", "closed 0"}));
  EXPECT_EQ(ev.data, std::string("first|second\0\xe9", 14));
  RunFor(50);
  EXPECT_EQ(ev.log.size(), 3u) << "an event after the peer's close";
  stream.reset();
  // Joins the peer before checking what it read.
  EXPECT_EQ(received, request);
}

TEST_F(UvLoopTest, LargeReplyArrivesWholeAndInOrder) {
  std::string reply(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < reply.size(); ++i) reply[i] = char((i * 7 + i / 251) & 0xff);
  Peer peer([&](int fd) { SendAll(fd, reply); });
  Events ev;
  auto stream = loop.NewStream(ev);
  ASSERT_EQ(stream->Connect("127.0.0.1", peer.Port()), 0);
  ASSERT_TRUE(RunUntil([&] { return ev.Has("closed 0"); }, 10000));
  EXPECT_GT(ev.dataCalls, 1);
  EXPECT_EQ(ev.data.size(), reply.size());
  EXPECT_TRUE(ev.data == reply) << "bytes differ";
}

TEST_F(UvLoopTest, PeerEndReportsOrderlyCloseOrReset) {
  struct Case {
    const char* name;
    bool reset;
    std::string want;
  };
  for (const Case& c : {Case{"orderly", false, "closed 0"},
                        Case{"reset", true, "closed " + std::to_string(ECONNRESET)}}) {
    SCOPED_TRACE(c.name);
    Peer peer([&](int fd) {
      if (c.reset) {
        const linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      }
    });
    Events ev;
    auto stream = loop.NewStream(ev);
    ASSERT_EQ(stream->Connect("127.0.0.1", peer.Port()), 0);
    ASSERT_TRUE(RunUntil([&] { return ev.log.size() >= 2; }, 5000));
    EXPECT_EQ(ev.log, (std::vector<std::string>{"connected 0", c.want}));
    EXPECT_NE(stream->Write("after the end"), 0);
  }
}

// A handler that blocked (Sleep, a blocking send) leaves libuv's cached time
// behind; a countdown started then must still run its full length.
TEST_F(UvLoopTest, TimerStartedAfterABlockingHandlerRunsItsFullLength) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point startedAt, firedAt;
  bool fired = false;
  auto timer = loop.NewTimer([&] {
    firedAt = Clock::now();
    fired = true;
  });
  Peer peer([](int fd) { DrainToEnd(fd); });
  Events ev;
  ev.onConnected = [&] {
    loop.Sleep(80);
    startedAt = Clock::now();
    timer->Start(50);
  };
  auto stream = loop.NewStream(ev);
  ASSERT_EQ(stream->Connect("127.0.0.1", peer.Port()), 0);
  ASSERT_TRUE(RunUntil([&] { return fired; }, 2000));
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(firedAt - startedAt).count(), 48);
  stream.reset();
}

// Whether the system reports it within connect(2) (no route) or later
// (refused), a failure on the way to the peer is one connected event after the call.
TEST_F(UvLoopTest, ConnectFailuresOnTheWayComeAfterTheCall) {
  // Bound but not listening: the port stays ours and refuses.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = Ipv4("127.0.0.1", 0);
  socklen_t len = sizeof sa;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  struct Case {
    const char* addr;
    uint16_t port;
    int err;
  };
  // The namespace routes nothing but its own addresses, and local policy
  // refuses what a "prohibit" route names.
  ASSERT_EQ(std::system("ip route add prohibit 192.0.2.98/32"), 0);
  for (const Case& c : {Case{"127.0.0.1", ntohs(sa.sin_port), ECONNREFUSED}, Case{"192.0.2.99", 900, ENETUNREACH},
                        Case{"8.8.8.8", 53, ENETUNREACH}, Case{"192.0.2.98", 900, EACCES}}) {
    SCOPED_TRACE(c.addr);
    Events ev;
    auto stream = loop.NewStream(ev);
    ASSERT_EQ(stream->Connect(c.addr, c.port), 0);
    EXPECT_TRUE(ev.log.empty()) << "an event within Connect";
    EXPECT_EQ(stream->Connect(c.addr, c.port), EALREADY) << "a second connect while the first is pending";
    ASSERT_TRUE(RunUntil([&] { return !ev.log.empty(); }, 5000));
    RunFor(30);
    EXPECT_EQ(ev.log, (std::vector<std::string>{"connected " + std::to_string(c.err)}));
  }
  // Closed before the failure was told: never told.
  Events quiet;
  auto stream = loop.NewStream(quiet);
  ASSERT_EQ(stream->Connect("192.0.2.99", 900), 0);
  stream->Close();
  RunFor(30);
  EXPECT_TRUE(quiet.log.empty());
  close(fd);
  EXPECT_EQ(std::system("ip route del prohibit 192.0.2.98/32"), 0);
}

// An owner that connects again from the failure event hears of the next
// failure on a later pass, one a pass; a pass doesn't wait for it, and the
// handles of the attempts before are gone.
TEST_F(UvLoopTest, AConnectFromTheFailureEventIsToldOnTheNextPass) {
  Events ev;
  auto stream = loop.NewStream(ev);
  ev.onConnected = [&] {
    if (ev.log.size() < 100) stream->Connect("192.0.2.99", 900);
  };
  auto handles = [&] {
    int n = 0;
    uv_walk(loop.Raw(), [](uv_handle_t*, void* count) { ++*static_cast<int*>(count); }, &n);
    return n;
  };
  auto guard = loop.NewTimer([] {});
  guard->Start(2000);  // ends a poll that would wait
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(stream->Connect("192.0.2.99", 900), 0);
  uv_run(loop.Raw(), UV_RUN_ONCE);
  const int first = handles();
  for (size_t pass = 2; pass <= 50; ++pass) {
    uv_run(loop.Raw(), UV_RUN_ONCE);
    ASSERT_EQ(ev.log.size(), pass);
  }
  EXPECT_EQ(handles(), first);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

TEST_F(UvLoopTest, ConnectRefusesWhatIsNotAnAddress) {
  for (const char* addr : {"", "localhost", "update1.corvilink.example", "256.1.1.1", "999.1.1.1",
                           " 127.0.0.1", "1.2.3.4.5", "::1"}) {
    SCOPED_TRACE(std::string("'") + addr + "'");
    Events ev;
    auto stream = loop.NewStream(ev);
    EXPECT_EQ(stream->Connect(addr, 80), EINVAL);
    RunFor(20);
    EXPECT_TRUE(ev.log.empty());
  }
}

// The classic forms of the socket library: leading zeros are octal.
TEST_F(UvLoopTest, ConnectTakesTheClassicAddressForms) {
  for (const char* addr : {"0177.0.0.1", "127.000.000.001", "127.1"}) {
    SCOPED_TRACE(addr);
    Peer peer([](int) {});
    Events ev;
    auto stream = loop.NewStream(ev);
    ASSERT_EQ(stream->Connect(addr, peer.Port()), 0);
    ASSERT_TRUE(RunUntil([&] { return !ev.log.empty(); }, 3000));
    EXPECT_EQ(ev.log.front(), "connected 0");
    stream.reset();
  }
}

TEST_F(UvLoopTest, WriteBeforeTheConnectionIsUpIsRefused) {
  Peer peer([](int fd) { DrainToEnd(fd); });
  Events ev;
  auto stream = loop.NewStream(ev);
  EXPECT_NE(stream->Write("early"), 0);
  ASSERT_EQ(stream->Connect("127.0.0.1", peer.Port()), 0);
  EXPECT_NE(stream->Write("still connecting"), 0);
  EXPECT_NE(stream->Connect("127.0.0.1", peer.Port()), 0) << "a second connect on a busy stream";
  ASSERT_TRUE(RunUntil([&] { return !ev.log.empty(); }, 5000));
  EXPECT_EQ(stream->Write("now"), 0);
}

// Close or destroy at every awkward moment: nothing may be delivered after
// it, late libuv callbacks included, and ASan sees no use after free.
TEST_F(UvLoopTest, NoEventAfterCloseOrDestructionWhenever) {
  enum When { AfterConnect, InOnConnected, WithWritesPending, InOnData };
  const char* names[] = {"right after Connect", "inside OnConnected", "with writes pending",
                         "inside OnData"};
  for (const When when : {AfterConnect, InOnConnected, WithWritesPending, InOnData}) {
    for (const bool destroy : {false, true}) {
      SCOPED_TRACE(std::string(names[when]) + (destroy ? ", destroyed" : ", closed"));
      Peer peer([](int fd) {
        SendAll(fd, std::string(256 * 1024, 'x'));
        DrainToEnd(fd);
      });
      Events ev;
      auto stream = loop.NewStream(ev);
      size_t eventsAtClose = 0;
      bool closed = false;
      auto end = [&] {
        eventsAtClose = ev.log.size();
        closed = true;
        if (destroy)
          stream.reset();
        else
          stream->Close();
      };
      if (when == InOnConnected) ev.onConnected = end;
      if (when == InOnData) ev.onData = end;
      ASSERT_EQ(stream->Connect("127.0.0.1", peer.Port()), 0);
      if (when == AfterConnect) end();
      if (when == WithWritesPending) {
        ASSERT_TRUE(RunUntil([&] { return !ev.log.empty(); }, 5000));
        // More than the socket buffers take: most of it is still queued.
        EXPECT_EQ(stream->Write(std::string(16 * 1024 * 1024, 'y')), 0);
        EXPECT_EQ(stream->Write("tail"), 0);
        end();
      }
      RunUntil([&] { return closed; }, 5000);
      ASSERT_TRUE(closed);
      RunFor(100);
      EXPECT_EQ(ev.log.size(), eventsAtClose);
      if (when == InOnData) {
        EXPECT_EQ(ev.dataCalls, 1);
      }
    }
  }
}

TEST_F(UvLoopTest, ClosedStreamConnectsAgain) {
  Events ev;
  auto stream = loop.NewStream(ev);
  for (const char* greeting : {"hi", "again"}) {
    SCOPED_TRACE(greeting);
    ev = Events();
    Peer peer([&](int fd) { SendAll(fd, greeting); });
    ASSERT_EQ(stream->Connect("127.0.0.1", peer.Port()), 0);
    ASSERT_TRUE(RunUntil([&] { return ev.Has("closed 0"); }, 5000));
    EXPECT_EQ(ev.data, greeting);
    stream->Close();
  }
}

// --- look-ups ---

TEST_F(UvLoopTest, ResolveAnswersThroughTheNamespaceDnsAfterTheCall) {
  struct Case {
    std::string name;
    bool fails;
    Addrs want;
  };
  const Case cases[] = {
      {"update1.corvilink.example", false, {"127.0.0.21"}},
      {"update4.corvilink.example", false, {"127.0.0.24"}},
      {"ipv6.corvilink.example", false, {"127.0.0.60"}},
      {"corvibox", false, {"127.0.1.1"}},
      {"127.0.0.5", false, {"127.0.0.5"}},
      {"nothere.corvilink.example", true, {}},
      {"not-listed-anywhere.com", true, {}},
      // The local host: its interfaces' addresses, loopback only where there is nothing else.
      {"", false, corvitest::InterfaceAddresses()},
      // Not UTF-8: no name service knows it; the answer still comes after the call.
      {"caf\xe9.corvilink.example", true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool returned = false, called = false;
    int err = -1;
    Addrs got{"untouched"};
    auto lookup = loop.Resolve(c.name, [&](int e, const Addrs& a) {
      EXPECT_TRUE(returned) << "called back within Resolve";
      EXPECT_FALSE(called) << "called back twice";
      called = true;
      err = e;
      got = a;
    });
    returned = true;
    ASSERT_TRUE(RunUntil([&] { return called; }, 8000));
    if (c.fails) {
      EXPECT_GT(err, 0);
      EXPECT_TRUE(got.empty());
    } else {
      EXPECT_EQ(err, 0);
      EXPECT_EQ(got, c.want);
    }
  }
}

// The hosts file's order, which getaddrinfo's sorting would change
// (loopback first), and each address once.
TEST_F(UvLoopTest, ResolveKeepsResolverOrderWithoutDuplicates) {
  const std::string hosts = FileText("/etc/hosts");
  WriteFileText("/etc/hosts", hosts +
                                  "127.0.0.52 dup.corvilink.example\n"
                                  "127.0.0.51 dup.corvilink.example\n"
                                  "127.0.0.52 dup.corvilink.example\n"
                                  "198.51.100.77 own.corvilink.example\n"
                                  "127.0.0.9 own.corvilink.example\n"
                                  "10.0.0.3 own.corvilink.example\n");
  struct Case {
    const char* name;
    Addrs want;
  };
  for (const Case& c : {Case{"dup.corvilink.example", {"127.0.0.52", "127.0.0.51"}},
                        Case{"own.corvilink.example", {"198.51.100.77", "127.0.0.9", "10.0.0.3"}}}) {
    SCOPED_TRACE(c.name);
    bool called = false;
    int err = -1;
    Addrs got;
    auto lookup = loop.Resolve(c.name, [&](int e, const Addrs& a) {
      called = true;
      err = e;
      got = a;
    });
    RunUntil([&] { return called; }, 5000);
    Addrs blocking;
    const bool found = loop.HostAddresses(c.name, blocking);
    EXPECT_TRUE(called);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(got, c.want);
    EXPECT_TRUE(found);
    EXPECT_EQ(blocking, c.want);
  }
  WriteFileText("/etc/hosts", hosts);
}

TEST_F(UvLoopTest, DestroyedLookupNeverCallsBack) {
  int calls = 0;
  std::vector<std::unique_ptr<plat::Lookup>> lookups;
  for (int i = 0; i < 16; ++i)
    lookups.push_back(loop.Resolve(i % 2 ? "update2.corvilink.example" : "nothere.corvilink.example",
                                   [&](int, const Addrs&) { ++calls; }));
  // Half before libuv saw them at all, half while the workers may be on them.
  for (int i = 0; i < 8; ++i) lookups[size_t(i)].reset();
  uv_run(loop.Raw(), UV_RUN_NOWAIT);
  lookups.clear();
  RunFor(500);
  EXPECT_EQ(calls, 0);
}

TEST_F(UvLoopTest, LookupMayBeDestroyedInsideItsCallback) {
  int calls = 0;
  std::unique_ptr<plat::Lookup> lookup;
  lookup = loop.Resolve("update3.corvilink.example", [&](int err, const Addrs& a) {
    ++calls;
    EXPECT_EQ(err, 0);
    EXPECT_EQ(a, Addrs{"127.0.0.23"});
    lookup.reset();
  });
  RunUntil([&] { return calls > 0; }, 5000);
  RunFor(50);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(lookup, nullptr);
}

// The tests of the update cycle change the namespace's DNS this way.
TEST_F(UvLoopTest, RewrittenDnsHostsTakeEffectOnSighup) {
  const char* path = std::getenv("CORVILINK_DNS_HOSTS");
  const char* pid = std::getenv("CORVILINK_DNSMASQ_PID");
  ASSERT_NE(path, nullptr);
  ASSERT_NE(pid, nullptr);
  const std::string before = FileText(path);
  auto resolve = [&](const std::string& name, int& err) {
    bool called = false;
    Addrs got;
    auto lookup = loop.Resolve(name, [&](int e, const Addrs& a) {
      called = true;
      err = e;
      got = a;
    });
    RunUntil([&] { return called; }, 5000);
    return got;
  };
  // Without update1, with a name of two addresses.
  std::string after;
  std::istringstream lines(before);
  for (std::string line; std::getline(lines, line);)
    if (line.find("update1.") == std::string::npos) after += line + "\n";
  after += "127.0.0.41 pair.corvilink.example\n127.0.0.42 pair.corvilink.example\n";
  WriteFileText(path, after);
  ASSERT_EQ(kill(atoi(pid), SIGHUP), 0);
  int err = 0;
  Addrs pair;
  for (int i = 0; i < 40 && pair.empty(); ++i) {
    pair = resolve("pair.corvilink.example", err);
    if (pair.empty()) usleep(50 * 1000);
  }
  std::sort(pair.begin(), pair.end());
  EXPECT_EQ(pair, (Addrs{"127.0.0.41", "127.0.0.42"}));
  EXPECT_TRUE(resolve("update1.corvilink.example", err).empty());
  EXPECT_GT(err, 0);

  WriteFileText(path, before);
  ASSERT_EQ(kill(atoi(pid), SIGHUP), 0);
  Addrs back;
  for (int i = 0; i < 40 && back.empty(); ++i) {
    back = resolve("update1.corvilink.example", err);
    if (back.empty()) usleep(50 * 1000);
  }
  EXPECT_EQ(back, Addrs{"127.0.0.21"});
}

// --- blocking calls ---

TEST_F(UvLoopTest, DatagramReachesAListenerOnAnyAddress) {
  struct Case {
    const char* to;
    bool broadcast;
  };
  DatagramListener listener(899);
  const std::string bytes("12:00:00 log line\0\xe9\xff", 21);
  for (const Case& c : {Case{"255.255.255.255", true}, Case{"127.0.0.1", false},
                        Case{"192.0.2.10", false}, Case{"127.0.1.1", true}}) {
    SCOPED_TRACE(c.to);
    EXPECT_NO_THROW(loop.SendDatagram(c.to, 899, bytes, c.broadcast));
    EXPECT_EQ(listener.Next(), bytes);
  }
}

TEST_F(UvLoopTest, DatagramThatCannotBeSentThrowsNamingTheTarget) {
  struct Case {
    const char* to;
    bool broadcast;
  };
  for (const Case& c : {Case{"255.255.255.255", false}, Case{"not.an.address", true},
                        Case{"", false}}) {
    SCOPED_TRACE(c.to);
    try {
      loop.SendDatagram(c.to, 899, "x", c.broadcast);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(std::string(c.to) + ":899"), std::string::npos) << e.what();
    }
  }
}

TEST_F(UvLoopTest, HostNameAndAddressesAreTheNamespaceOnes) {
  std::string name;
  ASSERT_TRUE(loop.HostName(name));
  EXPECT_EQ(name, "corvibox");

  struct Case {
    const char* name;
    bool found;
    Addrs want;
  };
  for (const Case& c : {Case{"corvibox", true, {"127.0.1.1"}}, Case{"localhost", true, {"127.0.0.1"}},
                        Case{"", true, corvitest::InterfaceAddresses()},
                        Case{"update2.corvilink.example", true, {"127.0.0.22"}},
                        Case{"nothere.corvilink.example", false, {}}}) {
    SCOPED_TRACE(c.name);
    Addrs got{"untouched"};
    EXPECT_EQ(loop.HostAddresses(c.name, got), c.found);
    EXPECT_EQ(got, c.want);
  }
}

TEST_F(UvLoopTest, HttpGetOfAnUnknownHostFails) {
  std::string body = "stale";
  EXPECT_FALSE(loop.HttpGet("http://nothere.corvilink.example/", body));
  EXPECT_EQ(body, "");
}

TEST_F(UvLoopTest, ExitProcessEndsAtOnceWithoutFlushing) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    FILE* out = fdopen(fds[1], "w");
    setvbuf(out, nullptr, _IOFBF, 4096);
    fputs("buffered, never flushed", out);
    loop.ExitProcess(7);
  }
  close(fds[1]);
  char buf[64];
  const ssize_t n = read(fds[0], buf, sizeof buf);
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
  EXPECT_EQ(n, 0);
}

// --- shutdown ---

TEST_F(UvLoopTest, ObjectsOutliveShutdownAndTheLoopItself) {
  Peer peer([](int fd) { DrainToEnd(fd); });
  auto own = std::make_unique<UvLoop>();
  int ticks = 0, answers = 0;
  Events ev;
  auto timer = own->NewTimer([&] { ++ticks; });
  timer->Start(5);
  auto stream = own->NewStream(ev);
  ASSERT_EQ(stream->Connect("127.0.0.1", peer.Port()), 0);
  auto lookup = own->Resolve("update1.corvilink.example", [&](int, const Addrs&) { ++answers; });
  own->Shutdown();
  EXPECT_EQ(ticks, 0);
  EXPECT_EQ(answers, 0);
  EXPECT_TRUE(ev.log.empty());

  // Usable and quiet afterwards, made before or after.
  timer->Start(5);
  timer->Stop();
  EXPECT_NE(stream->Connect("127.0.0.1", peer.Port()), 0);
  EXPECT_NE(stream->Write("x"), 0);
  auto late = own->NewTimer([&] { ++ticks; });
  late->Start(5);
  auto lateLookup = own->Resolve("update1.corvilink.example", [&](int, const Addrs&) { ++answers; });
  own.reset();
  timer.reset();
  stream.reset();
  lookup.reset();
  late.reset();
  lateLookup.reset();
  EXPECT_EQ(ticks, 0);
  EXPECT_EQ(answers, 0);
}

TEST_F(UvLoopTest, WrapsALoopOwnedElsewhere) {
  // Shutdown closes the loop; the desktop program calls it at exit.
  uv_loop_t raw;
  ASSERT_EQ(uv_loop_init(&raw), 0);
  int ticks = 0;
  {
    UvLoop wrapped(&raw);
    EXPECT_EQ(wrapped.Raw(), &raw);
    auto timer = wrapped.NewTimer([&] { ++ticks; });
    timer->Start(5);
    // Pumped by its owner, as the desktop program does from Qt.
    for (int i = 0; i < 200 && ticks < 2; ++i) uv_run(&raw, UV_RUN_ONCE);
    EXPECT_GE(ticks, 2);
    wrapped.Shutdown();
  }
}

}  // namespace
