#include "SimLoop.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace sim {

// A repeating countdown on virtual time. The next tick is scheduled before the
// current one runs, so a handler that stops or restarts its timer wins.
class SimTimer : public plat::LoopTimer {
public:
  SimTimer(SimLoop& loop, std::function<void()> fire) : loop_(loop), fire_(std::move(fire)) {}
  // Only the token is touched here: the timer may outlive its loop.
  ~SimTimer() override { Cancel(); }

  void Start(uint32_t ms) override {
    Cancel();
    ms_ = ms;
    ScheduleAt(loop_.Now() + ms);
  }
  void Stop() override { Cancel(); }

private:
  void ScheduleAt(uint64_t due) {
    token_ = loop_.Schedule(due, [this, due] {
      // Like libuv, 0 means once: a zero repeat would never let time move on.
      if (ms_ != 0) ScheduleAt(due + ms_);
      else token_.reset();
      auto fire = fire_;
      fire();
    });
  }
  void Cancel() {
    if (token_) *token_ = false;
    token_.reset();
  }

  SimLoop& loop_;
  std::function<void()> fire_;
  uint32_t ms_ = 0;
  std::shared_ptr<bool> token_;
};

// The owner's side of a connection. Every event runs through Dispatch, which
// touches the handle again after the callback, as a real stream's read loop does.
class SimStreamHandle : public plat::Stream {
public:
  SimStreamHandle(SimLoop& loop, std::shared_ptr<SimStream> s) : loop_(loop), s_(std::move(s)) {
    s_->handle = this;
  }
  ~SimStreamHandle() override {
    Close();
    s_->handle = nullptr;
  }

  int Connect(const std::string& ipv4, uint16_t port) override {
    s_->addr = ipv4;
    s_->port = port;
    s_->connectCalled = true;
    return loop_.connectSetupError;
  }
  int Write(const std::string& bytes) override {
    if (loop_.writeError != 0) return loop_.writeError;
    s_->written += bytes;
    return 0;
  }
  void Close() override {
    s_->closed = true;
    s_->events = nullptr;
  }

  void Dispatch(const std::function<void(plat::StreamEvents&)>& fn) {
    if (s_->closed || !s_->events) return;
    ++dispatching_;
    fn(*s_->events);
    --dispatching_;
  }

private:
  SimLoop& loop_;
  std::shared_ptr<SimStream> s_;
  int dispatching_ = 0;
};

class SimLookupHandle : public plat::Lookup {
public:
  explicit SimLookupHandle(std::shared_ptr<SimLookup> l) : l_(std::move(l)) { l_->handle = this; }
  ~SimLookupHandle() override {
    if (!l_->answered) l_->cancelled = true;
    l_->done = nullptr;
    l_->handle = nullptr;
  }

  void Dispatch(int err, const std::vector<std::string>& addrs) {
    if (l_->cancelled || l_->answered || !l_->done) return;
    l_->answered = true;
    ++dispatching_;
    // done may destroy this handle, which clears l_->done: call a copy.
    auto done = l_->done;
    done(err, addrs);
    --dispatching_;
  }

private:
  std::shared_ptr<SimLookup> l_;
  int dispatching_ = 0;
};

SimLoop::SimLoop() = default;
SimLoop::~SimLoop() = default;

std::shared_ptr<bool> SimLoop::Schedule(uint64_t due, std::function<void()> fn) {
  auto alive = std::make_shared<bool>(true);
  Event ev{due, seq_++, std::move(fn), alive};
  // Equal due times keep insertion order: the new one goes after them.
  auto at = std::upper_bound(events_.begin(), events_.end(), due,
                             [](uint64_t d, const Event& e) { return d < e.due; });
  events_.insert(at, std::move(ev));
  return alive;
}

void SimLoop::Post(uint64_t ms, std::function<void()> fn) { Schedule(now_ + ms, std::move(fn)); }

void SimLoop::Advance(uint64_t ms) {
  const uint64_t end = now_ + ms;
  while (!exited) {
    while (!events_.empty() && !*events_.front().alive) events_.pop_front();
    if (events_.empty() || events_.front().due > end) break;
    Event ev = std::move(events_.front());
    events_.pop_front();
    // After a Sleep an event may be overdue; the clock never runs backwards.
    now_ = std::max(now_, ev.due);
    *ev.alive = false;
    ev.fn();
  }
  if (!exited) now_ = std::max(now_, end);
}

int64_t SimLoop::NextDue() const {
  for (const Event& e : events_) {
    if (!*e.alive) continue;
    return e.due > now_ ? int64_t(e.due - now_) : 0;
  }
  return -1;
}

void SimLoop::Sleep(uint32_t ms) { now_ += ms; }

std::unique_ptr<plat::LoopTimer> SimLoop::NewTimer(std::function<void()> fire) {
  return std::make_unique<SimTimer>(*this, std::move(fire));
}

std::unique_ptr<plat::Stream> SimLoop::NewStream(plat::StreamEvents& events) {
  auto s = std::make_shared<SimStream>();
  s->events = &events;
  streams_.push_back(s);
  return std::make_unique<SimStreamHandle>(*this, s);
}

std::shared_ptr<SimStream> SimLoop::LastStream() const {
  return streams_.empty() ? nullptr : streams_.back();
}

void SimLoop::CompleteConnect(const std::shared_ptr<SimStream>& s, int err, uint64_t ms) {
  Post(ms, [s, err] {
    if (s->handle) s->handle->Dispatch([&](plat::StreamEvents& ev) { ev.OnConnected(err); });
  });
}

void SimLoop::Deliver(const std::shared_ptr<SimStream>& s, const std::string& bytes, uint64_t ms) {
  Post(ms, [s, bytes] {
    if (s->handle) {
      s->handle->Dispatch([&](plat::StreamEvents& ev) { ev.OnData(bytes.data(), bytes.size()); });
    }
  });
}

void SimLoop::PeerClose(const std::shared_ptr<SimStream>& s, int err, uint64_t ms) {
  Post(ms, [s, err] {
    if (s->handle) s->handle->Dispatch([&](plat::StreamEvents& ev) { ev.OnClosedByPeer(err); });
  });
}

std::unique_ptr<plat::Lookup> SimLoop::Resolve(const std::string& name, plat::LookupDone done) {
  auto l = std::make_shared<SimLookup>();
  l->name = name;
  l->done = std::move(done);
  lookups_.push_back(l);
  auto it = dns_.find(name);
  if (it != dns_.end()) Answer(l, it->second.err, it->second.addrs, it->second.ms);
  return std::make_unique<SimLookupHandle>(l);
}

std::shared_ptr<SimLookup> SimLoop::LastLookup() const {
  return lookups_.empty() ? nullptr : lookups_.back();
}

void SimLoop::Answer(const std::shared_ptr<SimLookup>& l, int err, std::vector<std::string> addrs,
                     uint64_t ms) {
  Post(ms, [l, err, addrs = std::move(addrs)] {
    if (l->handle) l->handle->Dispatch(err, addrs);
  });
}

void SimLoop::SetDns(const std::string& name, int err, std::vector<std::string> addrs,
                     uint64_t ms) {
  dns_[name] = DnsEntry{err, std::move(addrs), ms};
}

void SimLoop::SendDatagram(const std::string& ipv4, uint16_t port, const std::string& bytes,
                           bool broadcast) {
  if (datagramFails) throw std::runtime_error("sendto failed");
  datagrams.push_back(Datagram{ipv4, port, bytes, broadcast});
}

bool SimLoop::HostName(std::string& name) {
  ++hostNameCalls;
  if (hostNameFails) return false;
  name = hostName;
  return true;
}

bool SimLoop::HostAddresses(const std::string& name, std::vector<std::string>& out) {
  auto it = hostAddresses.find(name);
  if (it == hostAddresses.end()) return false;
  out = it->second;
  return true;
}

bool SimLoop::HttpGet(const std::string& url, std::string& body) {
  httpRequests.push_back(url);
  body = httpOk ? httpBody : std::string();
  return httpOk;
}

void SimLoop::ExitProcess(int code) {
  exited = true;
  exitCode = code;
}

}  // namespace sim
