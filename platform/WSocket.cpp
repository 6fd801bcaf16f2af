#include "WSocket.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "Common.h"

namespace plat {

static std::chrono::milliseconds g_connectTimeout{21000};

std::chrono::milliseconds SetConnectTimeout(std::chrono::milliseconds timeout) {
  return std::exchange(g_connectTimeout, timeout);
}

namespace {

// Winsock's numbers, so that codes read like the ones the engine was written for.
constexpr int kWsaEAcces = 10013;
constexpr int kWsaEInval = 10022;
constexpr int kWsaEProtoNoSupport = 10043;
constexpr int kWsaEAddrNotAvail = 10049;
constexpr int kWsaENetDown = 10050;
constexpr int kWsaENetUnreach = 10051;
constexpr int kWsaEConnAborted = 10053;
constexpr int kWsaEConnReset = 10054;
constexpr int kWsaEIsConn = 10056;
constexpr int kWsaENotConn = 10057;
constexpr int kWsaETimedOut = 10060;
constexpr int kWsaEConnRefused = 10061;
constexpr int kWsaEHostDown = 10064;
constexpr int kWsaEHostUnreach = 10065;
constexpr int kWsaEWouldBlock = 10035;
constexpr int kWsaHostNotFound = 11001;

// A connection failure as a non-zero 16-bit code.
uint16_t SocketCode(int err) {
  const int e = err < 0 ? -err : err;
  switch (e) {
    case ECONNREFUSED: return kWsaEConnRefused;
    case ETIMEDOUT: return kWsaETimedOut;
    case ENETUNREACH: return kWsaENetUnreach;
    case EHOSTUNREACH: return kWsaEHostUnreach;
    case ECONNRESET: return kWsaEConnReset;
    case ECONNABORTED: return kWsaEConnAborted;
    case EADDRNOTAVAIL: return kWsaEAddrNotAvail;
    case ENETDOWN: return kWsaENetDown;
    case EHOSTDOWN: return kWsaEHostDown;
    // Refused by local policy: a "prohibit" route or a cgroup's connect filter.
    case EACCES:
    case EPERM: return kWsaEAcces;
    default: break;
  }
  const uint16_t code = uint16_t(e);
  return code != 0 ? code : uint16_t(0xFFFF);
}

// The classic address forms the socket library takes, leading zeros included.
bool IsDottedIPv4(const std::string& text) {
  in_addr a;
  return inet_aton(text.c_str(), &a) != 0;
}

}  // namespace

WSocket::WSocket(Loop& loop) : loop_(loop) {}

// Owned streams and look-ups close on destruction, so nothing reaches us later.
// A socket must not be destroyed inside one of its own events.
WSocket::~WSocket() = default;

void WSocket::ReportError(int code, const std::string& msg) {
  lastError_ = code;
  if (OnError) {
    auto handler = OnError;
    handler();
    return;
  }
  throw SocketError(code, msg);
}

void WSocket::SetProto(const std::string& proto) {
  if (state_ != SocketState::Closed) {
    ReportError(kWsaEIsConn, "Cannot change Proto if not closed");
    return;
  }
  if (proto != "tcp" && proto != "udp") {
    ReportError(kWsaEProtoNoSupport, "Unsupported protocol '" + proto + "'");
    return;
  }
  proto_ = proto;
}

void WSocket::SetAddr(const std::string& addr) {
  if (state_ != SocketState::Closed) {
    ReportError(kWsaEIsConn, "Cannot change Addr if not closed");
    return;
  }
  addr_ = addr;
}

void WSocket::SetPort(const std::string& port) {
  if (state_ != SocketState::Closed) {
    ReportError(kWsaEIsConn, "Cannot change Port if not closed");
    return;
  }
  port_ = port;
}

void WSocket::Connect() {
  FlushRetired();
  if (state_ != SocketState::Closed) {
    ReportError(kWsaEIsConn, "Connect: socket already in use");
    return;
  }
  if (!IsDottedIPv4(addr_)) {
    ReportError(kWsaEAddrNotAvail, "Connect: invalid address '" + addr_ + "'");
    return;
  }
  uint16_t port = 0;
  if (!ParsePort(port_, port)) {
    ReportError(kWsaEInval, "Connect: invalid port '" + port_ + "'");
    return;
  }
  rx_.clear();
  if (proto_ == "udp") {
    state_ = SocketState::Connected;
    return;
  }
  stream_ = loop_.NewStream(*this);
  const int err = stream_->Connect(addr_, port);
  if (err != 0) {
    Retire();
    state_ = SocketState::Closed;
    ReportError(SocketCode(err), std::string("Connect: ") + std::strerror(err < 0 ? -err : err));
    return;
  }
  state_ = SocketState::Connecting;
  if (!connectTimer_) connectTimer_ = loop_.NewTimer([this] { ConnectTimedOut(); });
  connectTimer_->Start(uint32_t(g_connectTimeout.count()));
}

// The stream is still connecting: it is dropped with its pending connect,
// and the owner hears of it as of any other failed connect.
void WSocket::ConnectTimedOut() {
  StopConnectTimer();
  if (state_ != SocketState::Connecting) return;
  OnConnected(ETIMEDOUT);
}

void WSocket::StopConnectTimer() {
  if (connectTimer_) connectTimer_->Stop();
}

void WSocket::Close() {
  if (state_ == SocketState::Closed) return;
  state_ = SocketState::Closed;
  rx_.clear();
  Retire();
}

int WSocket::SendStr(const std::string& bytes) {
  // Not an error event: a send on a socket that is not connected just fails.
  if (state_ != SocketState::Connected) {
    lastError_ = kWsaENotConn;
    return -1;
  }
  if (proto_ == "udp") {
    uint16_t port = 0;
    ParsePort(port_, port);  // checked by Connect, unchangeable since
    try {
      loop_.SendDatagram(addr_, port, bytes, false);
    } catch (const std::exception& e) {
      ReportError(kWsaENetUnreach, e.what());
      return -1;
    }
    return int(bytes.size());
  }
  const int err = stream_->Write(bytes);
  if (err != 0) {
    ReportError(SocketCode(err), std::string("Send: ") + std::strerror(err < 0 ? -err : err));
    return -1;
  }
  return int(bytes.size());
}

int WSocket::Receive(char* buf, int n) {
  if (n <= 0) return 0;
  if (rx_.empty()) {
    lastError_ = kWsaEWouldBlock;
    return -1;
  }
  const size_t count = std::min(size_t(n), rx_.size());
  std::memcpy(buf, rx_.data(), count);
  rx_.erase(0, count);
  return int(count);
}

void WSocket::DnsLookup(const std::string& name) {
  RetireLookup();
  dnsResult_.clear();
  if (IsDottedIPv4(name)) {
    // Answered on the caller's stack: what escapes the handler reaches the caller.
    dnsResult_.push_back(name);
    if (OnDnsLookupDone) {
      auto handler = OnDnsLookupDone;
      handler(0);
    }
    return;
  }
  const uint32_t seq = ++lookupSeq_;
  lookup_ = loop_.Resolve(name, [this, seq](int err, const std::vector<std::string>& addrs) {
    if (seq != lookupSeq_) return;
    Enter();
    // We are inside the look-up's own callback: it is freed once we are out.
    RetireLookup();
    if (err == 0) dnsResult_ = addrs;
    const uint16_t code = err == 0 ? 0 : uint16_t(kWsaHostNotFound);
    if (OnDnsLookupDone) {
      auto handler = OnDnsLookupDone;
      Fire([&] { handler(code); });
    }
    Leave();
  });
}

void WSocket::OnConnected(int err) {
  StopConnectTimer();
  Enter();
  if (err == 0) {
    state_ = SocketState::Connected;
  } else {
    state_ = SocketState::Closed;
    lastError_ = SocketCode(err);
    Retire();
  }
  if (OnSessionConnected) {
    auto handler = OnSessionConnected;
    const uint16_t code = err == 0 ? 0 : SocketCode(err);
    Fire([&] { handler(code); });
  }
  Leave();
}

void WSocket::OnData(const char* data, size_t n) {
  Enter();
  rx_.append(data, n);
  if (OnDataAvailable) {
    auto handler = OnDataAvailable;
    Fire([&] { handler(0); });
  }
  Leave();
}

void WSocket::OnClosedByPeer(int err) {
  Enter();
  // Unread bytes stay readable, as on a socket whose peer has gone.
  state_ = SocketState::Closed;
  if (err != 0) lastError_ = SocketCode(err);
  Retire();
  Leave();
}

void WSocket::Fire(const std::function<void()>& call) {
  Enter();
  bool canClose = false;
  auto background = [&](const std::exception& e) {
    canClose = true;
    if (!OnBgException) return;
    auto handler = OnBgException;
    try {
      handler(e, canClose);
    } catch (...) {
      // An error inside the background handler is dropped.
    }
  };
  try {
    call();
  } catch (const std::exception& e) {
    background(e);
  } catch (...) {
    background(std::runtime_error("unknown error"));
  }
  if (canClose) Abort();
  Leave();
}

void WSocket::Abort() {
  state_ = SocketState::Closed;
  rx_.clear();
  Retire();
  RetireLookup();
}

void WSocket::Retire() {
  StopConnectTimer();
  if (stream_) {
    stream_->Close();
    retiredStreams_.push_back(std::move(stream_));
  }
  FlushRetired();
}

// Streams and look-ups call us from their own callbacks and may still use
// themselves after we return: what we retire there is freed only when the next
// event or call reaches us from outside any of our callbacks.
void WSocket::Enter() {
  FlushRetired();
  ++depth_;
}

void WSocket::RetireLookup() {
  ++lookupSeq_;
  if (lookup_) retiredLookups_.push_back(std::move(lookup_));
  FlushRetired();
}

void WSocket::Leave() { --depth_; }

void WSocket::FlushRetired() {
  if (depth_ != 0) return;
  retiredStreams_.clear();
  retiredLookups_.clear();
}

void UdpSender::Send(const std::string& bytes) {
  if (!Active) throw std::runtime_error("UDP sender not active");
  std::string addr = Host;
  if (!IsDottedIPv4(addr)) {
    std::string name = Host;
    if (name.empty() && !loop_.HostName(name)) throw std::runtime_error("gethostname failed");
    std::vector<std::string> addrs;
    if (!loop_.HostAddresses(name, addrs) || addrs.empty())
      throw std::runtime_error("Cannot resolve host '" + name + "'");
    addr = addrs.front();
  }
  loop_.SendDatagram(addr, Port, bytes, BroadcastEnabled);
}

void UdpSender::Broadcast(const std::string& bytes, uint16_t port) {
  if (!Active) throw std::runtime_error("UDP sender not active");
  if (!BroadcastEnabled) throw std::runtime_error("Broadcast not enabled");
  loop_.SendDatagram("255.255.255.255", port, bytes, true);
}

}  // namespace plat
