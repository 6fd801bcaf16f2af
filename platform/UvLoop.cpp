#include "UvLoop.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <unordered_set>
#include <utility>
#include <vector>

#include "Common.h"
#include "HttpGet.h"
#include "Resolver.h"

namespace plat {

// libuv lets go of a handle only in its close callback and of a request only
// in its completion callback, both after the object that asked for it may be
// gone. So each handle or request lives in a Node on the heap, freed by
// whichever lets go last: its owner (Drop) or libuv (LetGo).
struct UvLoop::Home {
  uv_loop_t* loop = nullptr;
  bool shut = false;
  std::unordered_set<Node*> withLibuv;  // what Shutdown has to stop
};

struct UvLoop::Node {
  explicit Node(std::shared_ptr<Home> h) : home(std::move(h)) {}
  virtual ~Node() = default;
  // Closes the handle or cancels the request; libuv calls back later.
  virtual void Stop() = 0;

  std::shared_ptr<Home> home;
  bool held = false;      // libuv still has it
  bool ownerGone = false;
  bool stopping = false;  // no event is delivered any more
};

namespace {

using Home = UvLoop::Home;
using Node = UvLoop::Node;

void Hold(Node* n) {
  n->held = true;
  n->home->withLibuv.insert(n);
}

void LetGo(Node* n) {
  n->held = false;
  n->home->withLibuv.erase(n);
  if (n->ownerGone) delete n;
}

void Drop(Node* n) {
  n->ownerGone = true;
  if (!n->held) {
    delete n;
  } else if (!n->stopping) {
    n->stopping = true;
    n->Stop();
  }
}

void OnHandleClosed(uv_handle_t* h) { LetGo(static_cast<Node*>(h->data)); }

// --- timers ---

struct TimerNode : Node {
  TimerNode(std::shared_ptr<Home> h, std::function<void()> f) : Node(std::move(h)), fire(std::move(f)) {}
  void Stop() override { uv_close(reinterpret_cast<uv_handle_t*>(&timer), OnHandleClosed); }

  uv_timer_t timer{};
  std::function<void()> fire;
};

void OnTimerTick(uv_timer_t* t) {
  auto* n = static_cast<TimerNode*>(t->data);
  // The handler may destroy its timer: the node outlives this call anyway,
  // as it is freed in the close callback.
  if (!n->stopping && n->fire) n->fire();
}

class UvTimer : public LoopTimer {
public:
  explicit UvTimer(TimerNode* n) : n_(n) {}
  ~UvTimer() override { Drop(n_); }

  void Start(uint32_t ms) override {
    if (n_->stopping || !n_->held) return;
    // The cached loop time may be old after a long handler or Sleep.
    uv_update_time(n_->home->loop);
    uv_timer_start(&n_->timer, OnTimerTick, ms, ms);
  }
  void Stop() override {
    if (n_->stopping || !n_->held) return;
    uv_timer_stop(&n_->timer);
  }

private:
  TimerNode* n_;
};

// --- streams ---

struct StreamNode : Node {
  StreamNode(std::shared_ptr<Home> h, StreamEvents* e) : Node(std::move(h)), events(e) {}
  void Stop() override {
    events = nullptr;
    // Pending connect and write requests are called back with UV_ECANCELED
    // before the last close callback frees us.
    uv_close(reinterpret_cast<uv_handle_t*>(&tcp), OnStreamHandleClosed);
    if (failureDue) {
      uv_close(reinterpret_cast<uv_handle_t*>(&failure), OnStreamHandleClosed);
      uv_close(reinterpret_cast<uv_handle_t*>(&awake), OnStreamHandleClosed);
    }
  }
  bool Live() const { return !stopping && events != nullptr && !ended; }
  static void OnStreamHandleClosed(uv_handle_t* h) {
    auto* n = static_cast<StreamNode*>(h->data);
    if (--n->openHandles == 0) LetGo(n);
  }

  uv_tcp_t tcp{};
  uv_connect_t connect{};
  // A connect failure the system reported within connect(2), told on a later
  // turn (DeferFailure).
  uv_check_t failure{};
  uv_idle_t awake{};
  bool failureDue = false;
  int failureErr = 0;
  int openHandles = 0;
  StreamEvents* events;
  bool connected = false;
  bool ended = false;  // connect failed, or the peer closed: nothing more comes
  char rbuf[64 * 1024];
};

// Failures on the way to the peer. Linux reports most of them within
// connect(2) and libuv passes all but "refused" straight back; the owner
// hears of every one as a failed connection, as of "refused". A connect that
// local policy refuses is one of them: a "prohibit" route (EACCES), as behind
// a VPN's kill switch, or a cgroup's connect filter (EPERM). A firewall rule
// that drops is not: the SYN is sent again and the connect stays pending.
bool FailsOnTheWay(int err) {
  switch (err) {
    case ECONNREFUSED:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
    case ETIMEDOUT:
    case EACCES:
    case EPERM:
      return true;
    default:
      return false;
  }
}

void OnConnectFailureDue(uv_check_t* c) {
  auto* n = static_cast<StreamNode*>(c->data);
  uv_check_stop(&n->failure);
  uv_idle_stop(&n->awake);
  if (!n->Live()) return;
  n->ended = true;
  n->events->OnConnected(n->failureErr);
}

// The failure is told after the loop's next poll: check handles run right
// after the poll phase, and one started inside a check callback waits for the
// next pass's. So an owner that connects again from the event lets the loop
// reach its poll in between (a 0 ms timer started inside a timer callback
// runs in the same pass, again and again). The idle handle keeps that poll
// from waiting meanwhile.
void DeferFailure(StreamNode* n, int err) {
  uv_check_init(n->home->loop, &n->failure);
  uv_idle_init(n->home->loop, &n->awake);
  n->failure.data = n;
  n->awake.data = n;
  n->failureDue = true;
  n->failureErr = err;
  n->openHandles += 2;
  uv_check_start(&n->failure, OnConnectFailureDue);
  uv_idle_start(&n->awake, [](uv_idle_t*) {});
}

struct WriteReq {
  uv_write_t req{};
  std::string bytes;
};

void OnAlloc(uv_handle_t* h, size_t, uv_buf_t* buf) {
  auto* n = static_cast<StreamNode*>(h->data);
  *buf = uv_buf_init(n->rbuf, sizeof n->rbuf);
}

// The peer is gone (orderly: err 0); tell the owner once.
void PeerEnded(StreamNode* n, int err) {
  n->ended = true;
  uv_read_stop(reinterpret_cast<uv_stream_t*>(&n->tcp));
  n->events->OnClosedByPeer(err);
}

void OnRead(uv_stream_t* s, ssize_t nread, const uv_buf_t* buf) {
  auto* n = static_cast<StreamNode*>(s->data);
  if (!n->Live()) return;
  if (nread > 0) {
    n->events->OnData(buf->base, size_t(nread));
  } else if (nread < 0) {
    PeerEnded(n, nread == UV_EOF ? 0 : int(-nread));
  }
}

void OnConnect(uv_connect_t* req, int status) {
  auto* n = static_cast<StreamNode*>(req->handle->data);
  if (!n->Live()) return;
  if (status == 0) status = uv_read_start(reinterpret_cast<uv_stream_t*>(&n->tcp), OnAlloc, OnRead);
  if (status < 0) {
    n->ended = true;
    n->events->OnConnected(-status);
    return;
  }
  n->connected = true;
  n->events->OnConnected(0);
}

void OnWritten(uv_write_t* req, int status) {
  auto* n = static_cast<StreamNode*>(req->handle->data);
  delete static_cast<WriteReq*>(req->data);
  if (status < 0 && n->Live()) PeerEnded(n, -status);
}

class UvStream : public Stream {
public:
  UvStream(std::shared_ptr<Home> home, StreamEvents& events) : home_(std::move(home)), events_(events) {}
  ~UvStream() override { Close(); }

  int Connect(const std::string& ipv4, uint16_t port) override {
    sockaddr_in sa{};
    if (inet_aton(ipv4.c_str(), &sa.sin_addr) == 0) return EINVAL;
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (n_ != nullptr && !n_->ended) return n_->connected ? EISCONN : EALREADY;
    Close();
    if (home_->shut) return ECANCELED;

    auto* n = new StreamNode(home_, &events_);
    int r = uv_tcp_init(home_->loop, &n->tcp);
    if (r < 0) {
      delete n;
      return -r;
    }
    n->tcp.data = n;
    n->openHandles = 1;
    Hold(n);
    n_ = n;
    r = uv_tcp_connect(&n->connect, &n->tcp, reinterpret_cast<const sockaddr*>(&sa), OnConnect);
    if (r < 0 && FailsOnTheWay(-r)) {
      DeferFailure(n, -r);
      return 0;
    }
    if (r < 0) {
      Close();
      return -r;
    }
    return 0;
  }

  int Write(const std::string& bytes) override {
    if (n_ == nullptr || !n_->Live() || !n_->connected) return ENOTCONN;
    auto* w = new WriteReq;
    w->bytes = bytes;
    w->req.data = w;
    uv_buf_t buf = uv_buf_init(w->bytes.data(), unsigned(w->bytes.size()));
    const int r = uv_write(&w->req, reinterpret_cast<uv_stream_t*>(&n_->tcp), &buf, 1, OnWritten);
    if (r < 0) {
      delete w;
      return -r;
    }
    return 0;
  }

  void Close() override {
    if (n_ == nullptr) return;
    Drop(n_);
    n_ = nullptr;
  }

private:
  std::shared_ptr<Home> home_;
  StreamEvents& events_;
  StreamNode* n_ = nullptr;
};

// --- look-ups ---

// The blocking look-up runs on libuv's worker threads; it touches only name,
// err and addrs there, and the loop thread reads them once it is done.
struct LookupNode : Node {
  LookupNode(std::shared_ptr<Home> h, std::string n, LookupDone d)
      : Node(std::move(h)), name(std::move(n)), done(std::move(d)) {}
  // Fails once a worker runs the request; the answer is then dropped in
  // OnResolved, which sees `stopping`.
  void Stop() override { uv_cancel(reinterpret_cast<uv_req_t*>(&work)); }

  uv_work_t work{};
  std::string name;
  int err = 0;
  std::vector<std::string> addrs;
  LookupDone done;
};

void ResolveOnWorker(uv_work_t* w) {
  auto* n = static_cast<LookupNode*>(w->data);
  n->err = ResolveIPv4(n->name, n->addrs);
}

void OnResolved(uv_work_t* w, int status) {
  auto* n = static_cast<LookupNode*>(w->data);
  const bool deliver = status == 0 && !n->stopping;
  const int err = n->err;
  const std::vector<std::string> addrs = std::move(n->addrs);
  // The callback may destroy the Lookup, and the node with it.
  LookupDone done = std::move(n->done);
  LetGo(n);
  if (deliver && done) done(err, addrs);
}

class UvLookup : public Lookup {
public:
  explicit UvLookup(LookupNode* n) : n_(n) {}
  ~UvLookup() override { Drop(n_); }

private:
  LookupNode* n_;
};

}  // namespace

// --- the loop ---

namespace {

// libuv writes to sockets with write(2): a peer that reset the connection
// would end the process with SIGPIPE instead of failing the write.
void IgnoreSigpipe() {
  struct sigaction old {};
  if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) signal(SIGPIPE, SIG_IGN);
}

}  // namespace

UvLoop::UvLoop() : own_(std::make_unique<uv_loop_t>()), loop_(own_.get()), home_(std::make_shared<Home>()) {
  const int r = uv_loop_init(loop_);
  if (r < 0) throw std::runtime_error(std::string("uv_loop_init: ") + uv_strerror(r));
  home_->loop = loop_;
  IgnoreSigpipe();
}

UvLoop::UvLoop(uv_loop_t* loop) : loop_(loop), home_(std::make_shared<Home>()) {
  home_->loop = loop_;
  IgnoreSigpipe();
}

UvLoop::~UvLoop() {
  if (own_) Shutdown();
}

void UvLoop::Run() {
  if (!home_->shut) uv_run(loop_, UV_RUN_DEFAULT);
}

void UvLoop::Shutdown() {
  if (home_->shut) return;
  home_->shut = true;
  const std::vector<Node*> held(home_->withLibuv.begin(), home_->withLibuv.end());
  for (Node* n : held) {
    if (n->stopping) continue;
    n->stopping = true;
    n->Stop();
  }
  // Handles of others on the same loop.
  uv_walk(
      loop_,
      [](uv_handle_t* h, void*) {
        if (!uv_is_closing(h)) uv_close(h, nullptr);
      },
      nullptr);
  uv_run(loop_, UV_RUN_DEFAULT);
  uv_loop_close(loop_);
}

uint64_t UvLoop::Now() {
  if (!home_->shut) uv_update_time(loop_);
  return uv_now(loop_);
}

std::time_t UvLoop::WallClock() { return std::time(nullptr); }

void UvLoop::Sleep(uint32_t ms) {
  timespec left{time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::unique_ptr<LoopTimer> UvLoop::NewTimer(std::function<void()> fire) {
  auto* n = new TimerNode(home_, std::move(fire));
  if (!home_->shut) {
    uv_timer_init(loop_, &n->timer);
    n->timer.data = n;
    Hold(n);
  }
  return std::make_unique<UvTimer>(n);
}

std::unique_ptr<Stream> UvLoop::NewStream(StreamEvents& events) {
  return std::make_unique<UvStream>(home_, events);
}

std::unique_ptr<Lookup> UvLoop::Resolve(const std::string& name, LookupDone done) {
  auto* n = new LookupNode(home_, name, std::move(done));
  if (home_->shut) return std::make_unique<UvLookup>(n);
  n->work.data = n;
  // Only a missing work callback makes libuv refuse.
  uv_queue_work(loop_, &n->work, ResolveOnWorker, OnResolved);
  Hold(n);
  return std::make_unique<UvLookup>(n);
}

void UvLoop::SendDatagram(const std::string& ipv4, uint16_t port, const std::string& bytes,
                          bool broadcast) {
  const std::string to = ipv4 + ":" + std::to_string(port);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (inet_aton(ipv4.c_str(), &sa.sin_addr) == 0)
    throw std::runtime_error("Datagram to " + to + ": not an IPv4 address");
  const Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.Get() < 0) throw std::runtime_error(std::string("Datagram socket: ") + std::strerror(errno));
  const int on = 1;
  if (broadcast && setsockopt(fd.Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    const int e = errno;
    throw std::runtime_error("Datagram to " + to + ": SO_BROADCAST: " + std::strerror(e));
  }
  const ssize_t sent =
      sendto(fd.Get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  const int e = errno;
  if (sent < 0) throw std::runtime_error("Datagram to " + to + ": " + std::strerror(e));
  if (size_t(sent) != bytes.size())
    throw std::runtime_error("Datagram to " + to + ": sent " + std::to_string(sent) + " of " +
                             std::to_string(bytes.size()) + " bytes");
}

bool UvLoop::HostName(std::string& name) {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return false;
  name = buf;
  return true;
}

bool UvLoop::HostAddresses(const std::string& name, std::vector<std::string>& out) {
  return ResolveIPv4(name, out) == 0;
}

bool UvLoop::HttpGet(const std::string& url, std::string& body) { return HttpGetText(url, body); }

void UvLoop::ExitProcess(int code) { _exit(code); }

}  // namespace plat
