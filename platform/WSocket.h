// The asynchronous client socket the engine talks through: TCP connections,
// UDP sends and host look-ups, with events delivered on the loop thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Loop.h"

namespace plat {

// A socket failure raised to the caller when no OnError handler is bound.
class SocketError : public std::runtime_error {
public:
  SocketError(int code, const std::string& msg) : std::runtime_error(msg), code(code) {}
  int code;
};

enum class SocketState { Closed, Connecting, Connected };

// A TCP connect that gets no answer at all (a firewall that drops) is given up
// after 21 s, as the platform the engine was written for does (three SYNs,
// 3 + 6 + 12 s), and told as a timed-out connect; Linux alone would retry for
// about two minutes. Tests shorten it (the one before is returned); not for
// the programs.
std::chrono::milliseconds SetConnectTimeout(std::chrono::milliseconds timeout);

class WSocket : private StreamEvents {
public:
  explicit WSocket(Loop& loop);
  ~WSocket() override;
  WSocket(const WSocket&) = delete;
  WSocket& operator=(const WSocket&) = delete;

  // Form values.
  uint32_t FlushTimeout = 60;

  // Protocol "tcp" or "udp", dotted IPv4 address, decimal port. Changing one
  // while the socket is not closed is refused (reported as a socket error).
  const std::string& Proto() const { return proto_; }
  const std::string& Addr() const { return addr_; }
  const std::string& Port() const { return port_; }
  void SetProto(const std::string& proto);
  void SetAddr(const std::string& addr);
  void SetPort(const std::string& port);

  SocketState State() const { return state_; }

  // TCP: starts the connection, completed later by OnSessionConnected, at the
  // latest when the connect time-out has passed.
  // UDP: sets the destination; the socket counts as connected at once.
  void Connect();
  // Drops the connection at once; no event of it is delivered afterwards.
  void Close();
  // Sends the bytes; the count sent or -1 (after the socket error).
  int SendStr(const std::string& bytes);

  // Bytes received and not read yet, and one read of at most n of them.
  int RcvdCount() const { return int(rx_.size()); }
  int Receive(char* buf, int n);

  // Starts a host look-up; a pending one is cancelled, so its answer never
  // arrives. A numeric name answers within the call.
  void DnsLookup(const std::string& name);
  const std::vector<std::string>& DnsResultList() const { return dnsResult_; }

  int LastError() const { return lastError_; }

  // Events. An exception that escapes a handler goes to OnBgException (or is
  // dropped), then the connection is aborted unless the handler cleared canClose.
  std::function<void(uint16_t errCode)> OnSessionConnected;
  std::function<void(uint16_t errCode)> OnDataAvailable;
  std::function<void(uint16_t errCode)> OnDnsLookupDone;
  // When bound, the socket's own failures are reported here and the call
  // returns normally; otherwise they are raised as SocketError.
  std::function<void()> OnError;
  std::function<void(const std::exception& error, bool& canClose)> OnBgException;
  std::function<void(int errCode, const std::string& msg)> OnSocksError;

private:
  void OnConnected(int err) override;
  void OnData(const char* data, size_t n) override;
  void OnClosedByPeer(int err) override;

  void ConnectTimedOut();
  void StopConnectTimer();
  void ReportError(int code, const std::string& msg);
  void Fire(const std::function<void()>& call);
  void Abort();
  void Retire();
  void RetireLookup();
  void Enter();
  void Leave();
  void FlushRetired();

  Loop& loop_;
  std::string proto_ = "tcp";
  std::string addr_ = "0.0.0.0";
  std::string port_ = "0";
  SocketState state_ = SocketState::Closed;
  std::unique_ptr<Stream> stream_;
  std::unique_ptr<LoopTimer> connectTimer_;  // runs only while a connect is pending
  std::unique_ptr<Lookup> lookup_;
  std::vector<std::unique_ptr<Stream>> retiredStreams_;
  std::vector<std::unique_ptr<Lookup>> retiredLookups_;
  int depth_ = 0;  // > 0 while an event of ours runs
  uint32_t lookupSeq_ = 0;  // a retired look-up may still answer: its answer is ignored
  std::string rx_;
  std::vector<std::string> dnsResult_;
  int lastError_ = 0;
};

// A UDP sender with broadcast, in the manner of a connectionless client
// component: Send goes to Host:Port, an empty Host meaning the first address
// of the local host name. Failures throw.
class UdpSender {
public:
  explicit UdpSender(Loop& loop) : loop_(loop) {}
  std::string Host;
  uint16_t Port = 0;
  bool Active = true;
  bool BroadcastEnabled = false;

  void Send(const std::string& bytes);
  // To 255.255.255.255 at the given port; needs BroadcastEnabled.
  void Broadcast(const std::string& bytes, uint16_t port);

private:
  Loop& loop_;
};

// The configured UDP listener that nothing ever activates.
struct UdpListener {
  uint16_t DefaultPort = 0;
  bool Active = false;
};

}  // namespace plat
