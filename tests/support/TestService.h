// Drives corvilink-testservice, the stand-in for every server of the
// dynamic-DNS service inside the private namespace: starts it, scripts its
// replies and reads back what it received.
//
//   TestService svc;                       // binary found as BinaryPath() says
//   svc.Start();                           // all listeners bound on return
//   svc.Script(Server::Update, 1, Action::Reply("IP:1.2.3.4\r\n").After(200));
//   svc.Script(Server::Ip, TestService::kEvery, Action::NoReply());
//   auto ev = svc.WaitForEvent(Server::Update, std::chrono::seconds(10));
//   ASSERT_TRUE(ev);  EXPECT_EQ(ev->Field("Session"), "abc");
//
// Servers (all inside the namespace):
//   Update    TCP 900 and 80 on 127.0.0.21-24 (update1-4.corvilink.example)
//             and 192.0.2.10. Default reply: "IP:" + the client's address +
//             " DT:PA SI:60 MI:30 MIP:127.0.0.31 HIP:127.0.0.41" CR LF.
//   Ip        TCP 901 on 127.0.0.31, 198.51.100.10, 203.0.113.10.
//             Default reply: the client's address + LF.
//   HeartBeat UDP 910 on 127.0.0.41.
//   Notice    UDP 900 on 0.0.0.0 (the local notice, sent to 127.0.1.1).
//   Broadcast UDP 899 on 0.0.0.0 (the log broadcast to 255.255.255.255).
//   Http      TCP 80 on 127.0.0.60 (ipv6.corvilink.example) and on [::1].
//             Default: 200 with the body "2001:db8::1".
// A TCP request ends when the bytes so far end in its terminator (update: LF;
// ip: CR LF, or 33 bytes; http: the blank line), at EOF, after 5 s or 64 KiB;
// a connection that sends nothing is no request and gets no number. Every
// TCP server half-closes after its reply. Events of different servers that
// arrive within a millisecond or so may be recorded in either order.
// Errors of the service itself (not starting, dying, a refused command)
// throw std::runtime_error.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvitest {

enum class Server { Update, Ip, HeartBeat, Notice, Broadcast, Http };

const char* ServerName(Server server);

// What a TCP server does with one request, once it has read it.
// Action() is the default reply; Action().After(3000) the same, 3 s late.
struct Action {
  enum class Mode { Reply, NoReply, Close, Reset };
  Mode mode = Mode::Reply;
  std::optional<std::string> bytes;  // the reply (Http: the body); unset: the default
  int delayMs = 0;                   // before replying, closing or resetting
  size_t splitAt = 0;                // > 0: first splitAt bytes, gapMs pause, the rest
  int gapMs = 0;
  int status = 200;                  // Http only
  bool chunked = false;              // Http only: chunks of at most 8 bytes
  bool raw = false;                  // Http only: bytes are the whole response

  // Exactly these bytes, NUL and garbage included.
  static Action Reply(std::string bytes);
  // These bytes (unset: the default reply) as two segments, gapMs apart.
  static Action Split(std::optional<std::string> bytes, size_t at, int gapMs);
  // Nothing is sent; the connection stays open until the client closes it.
  static Action NoReply();
  // The connection is closed (FIN) without a reply.
  static Action Close();
  // The connection is reset (RST) without a reply.
  static Action Reset();
  // Http: a response with this status and body.
  static Action Http(int status, std::string body, bool chunked = false);
  // Http: exactly these bytes as the whole response.
  static Action HttpRaw(std::string response);

  Action& After(int ms) {
    delayMs = ms;
    return *this;
  }
};

// One request or datagram as the service received it.
struct Event {
  Server server = Server::Update;
  int number = 0;                 // n-th of its server, from 1
  std::chrono::milliseconds at{};  // since the service started
  std::string local;              // "127.0.0.21:900"; datagrams: the address sent to
  std::string peer;               // "127.0.0.1:40000"
  std::string raw;                // the bytes; TCP: the request up to its terminator
  // Update only: the shift taken from the first byte (0 when it gave none),
  // the line unscrambled without its final LF, and its "&" fields in order.
  int shift = 0;
  std::string plain;
  std::vector<std::pair<std::string, std::string>> fields;

  // The value of the first field with this key.
  std::optional<std::string> Field(std::string_view key) const;
  std::vector<std::string> Keys() const;
};

class TestService {
public:
  static constexpr int kEvery = 0;

  // binary: used when CORVILINK_TESTSERVICE is not set (see BinaryPath).
  // log: "" none, "-" stderr, else a file appended to; CORVILINK_TESTSERVICE_LOG
  // overrides it.
  explicit TestService(std::string binary = {}, std::string log = {});
  ~TestService();
  TestService(const TestService&) = delete;
  TestService& operator=(const TestService&) = delete;

  // Returns once every listener is bound.
  void Start();
  // Ends the service; its exit status (0 unless it failed, e.g. a sanitizer
  // report), or -1 when it was not running or had to be killed.
  int Stop();

  // request: the n-th request of that server from 1, or kEvery for all that
  // have no script of their own (below 0: std::invalid_argument). A later
  // script replaces an earlier one. Only Update, Ip and Http take scripts.
  void Script(Server server, int request, const Action& action);

  std::vector<Event> Events();
  std::vector<Event> Events(Server server);
  // The next event of the server not yet returned by WaitForEvent.
  std::optional<Event> WaitForEvent(Server server, std::chrono::milliseconds timeout);

  // CORVILINK_TESTSERVICE if set; else `given` if not empty; else
  // service/corvilink-testservice beside the running test program.
  static std::string BinaryPath(const std::string& given);

private:
  std::vector<std::string> Command(const std::string& line);
  std::string ReadLine(std::chrono::milliseconds timeout);
  void Fetch();
  void CloseControl();

  std::string binary_, log_;
  pid_t pid_ = -1;
  int control_ = -1;  // the service's stdin and stdout
  std::string pending_;
  std::vector<Event> events_;
  std::map<Server, size_t> taken_;
  std::recursive_mutex mutex_;
};

}  // namespace corvitest
