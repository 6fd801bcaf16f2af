// The one-thread event loop and the system services the engine reaches through it.
// Two backends implement it: UvLoop (libuv, real) and SimLoop (virtual time, tests).
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace plat {

// A countdown primitive. Timer (Timer.h) builds the window-timer rules on top.
class LoopTimer {
public:
  virtual ~LoopTimer() = default;
  // Fires fire() after `ms`, then every `ms` until Stop(); Start restarts from now.
  virtual void Start(uint32_t ms) = 0;
  virtual void Stop() = 0;
};

// Events of one outgoing TCP connection, delivered on the loop thread.
class StreamEvents {
public:
  virtual ~StreamEvents() = default;
  virtual void OnConnected(int err) = 0;               // 0 = connected
  virtual void OnData(const char* data, size_t n) = 0;
  virtual void OnClosedByPeer(int err) = 0;            // 0 = orderly end
};

// One outgoing TCP connection. Destroying it closes it at once; no event
// reaches StreamEvents after Close() or destruction.
class Stream {
public:
  virtual ~Stream() = default;
  // ipv4 is an address text that inet_aton accepts (leading zeros included). Returns 0 or an errno value
  // when the attempt cannot even be set up. A failure on the way to the peer (refused, no route,
  // unreachable, network down, timed out, refused by local policy) comes as OnConnected(err) on a
  // later turn, also where the system reports it at once. A connect that gets no answer stays
  // pending as long as the system retries (about two minutes); WSocket gives up sooner.
  virtual int Connect(const std::string& ipv4, uint16_t port) = 0;
  // Queues bytes; returns 0 or an errno value.
  virtual int Write(const std::string& bytes) = 0;
  virtual void Close() = 0;
};

// A pending asynchronous name look-up. Destroying it cancels it: the callback
// is never called afterwards.
class Lookup {
public:
  virtual ~Lookup() = default;
};
// err 0 and the IPv4 addresses in the resolver's order, or err != 0.
using LookupDone = std::function<void(int err, const std::vector<std::string>& addrs)>;

// A top-level window of the desktop, as the search for the desktop program sees it.
struct TopWindow {
  std::string title;
  bool tooltip = false;  // hint and tooltip windows are passed over
};

class Loop {
public:
  virtual ~Loop() = default;

  // Monotonic milliseconds.
  virtual uint64_t Now() = 0;
  // The wall clock, in seconds since the epoch: what dates in the log and
  // the marker files' times are told in.
  virtual std::time_t WallClock() = 0;
  // A short blocking pause of the loop thread (events wait meanwhile).
  virtual void Sleep(uint32_t ms) = 0;

  virtual std::unique_ptr<LoopTimer> NewTimer(std::function<void()> fire) = 0;
  virtual std::unique_ptr<Stream> NewStream(StreamEvents& events) = 0;
  // Never calls done within the call. The addresses come in the name service's
  // order; the empty name is the local host.
  virtual std::unique_ptr<Lookup> Resolve(const std::string& name, LookupDone done) = 0;

  // Blocking calls of the loop thread.
  // One datagram; throws std::runtime_error when it cannot be sent.
  virtual void SendDatagram(const std::string& ipv4, uint16_t port, const std::string& bytes,
                            bool broadcast) = 0;
  // gethostname; false on failure.
  virtual bool HostName(std::string& name) = 0;
  // The IPv4 addresses of a name in the resolver's order; false on failure.
  virtual bool HostAddresses(const std::string& name, std::vector<std::string>& out) = 0;
  // One HTTP GET; false when the URL could not be opened.
  virtual bool HttpGet(const std::string& url, std::string& body) = 0;
  // The desktop's top-level windows in stacking order from the top; none
  // when no display can be reached.
  virtual std::vector<TopWindow> TopLevelWindows() { return {}; }
  // Ends the process at once, nothing flushed. The simulated loop only records it.
  virtual void ExitProcess(int code) = 0;
};

}  // namespace plat
