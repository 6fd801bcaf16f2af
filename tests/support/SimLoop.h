// The simulated loop: virtual time, scripted connections, look-ups,
// datagrams and system answers. Nothing touches the real network.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Loop.h"

namespace sim {

class SimStreamHandle;
class SimLookupHandle;

// One connection the code under test opened.
struct SimStream {
  std::string addr;       // as passed to Connect
  uint16_t port = 0;
  bool connectCalled = false;
  bool closed = false;    // closed or destroyed by its owner (events is then null)
  std::string written;    // every byte written, in order
  plat::StreamEvents* events = nullptr;
  // The owner's handle while it lives; events pass through it, as with a real
  // stream, so freeing it inside its own callback shows up under ASan.
  SimStreamHandle* handle = nullptr;
};

struct SimLookup {
  std::string name;
  bool cancelled = false;
  bool answered = false;
  plat::LookupDone done;
  SimLookupHandle* handle = nullptr;  // while the owner's handle lives
};

struct Datagram {
  std::string addr;
  uint16_t port;
  std::string bytes;
  bool broadcast;
};

class SimLoop : public plat::Loop {
public:
  SimLoop();
  ~SimLoop() override;

  // --- plat::Loop ---
  uint64_t Now() override { return now_; }
  // Goes with virtual time from wallStart, which a test may set.
  std::time_t WallClock() override { return wallStart + std::time_t(now_ / 1000); }
  std::time_t wallStart = std::time(nullptr);
  void Sleep(uint32_t ms) override;  // advances virtual time, runs nothing
  std::unique_ptr<plat::LoopTimer> NewTimer(std::function<void()> fire) override;
  std::unique_ptr<plat::Stream> NewStream(plat::StreamEvents& events) override;
  std::unique_ptr<plat::Lookup> Resolve(const std::string& name, plat::LookupDone done) override;
  void SendDatagram(const std::string& ipv4, uint16_t port, const std::string& bytes,
                    bool broadcast) override;
  bool HostName(std::string& name) override;
  bool HostAddresses(const std::string& name, std::vector<std::string>& out) override;
  bool HttpGet(const std::string& url, std::string& body) override;
  void ExitProcess(int code) override;

  // --- driving time ---
  // Runs every event due up to now + ms, one at a time in time order, then
  // leaves the clock at now + ms. Stops early once ExitProcess was called.
  void Advance(uint64_t ms);
  // Runs the events due now (a zero-length advance).
  void RunDue() { Advance(0); }
  // Schedules fn at now + ms as a loop event (scripted socket events use it).
  void Post(uint64_t ms, std::function<void()> fn);
  // Milliseconds until the next pending event, or -1 when none is pending.
  int64_t NextDue() const;

  // --- connections ---
  // All streams ever created, oldest first (entries stay after close).
  const std::vector<std::shared_ptr<SimStream>>& Streams() const { return streams_; }
  std::shared_ptr<SimStream> LastStream() const;
  // Events delivered as loop events after `ms` (default: at once, on the next run).
  void CompleteConnect(const std::shared_ptr<SimStream>& s, int err, uint64_t ms = 0);
  void Deliver(const std::shared_ptr<SimStream>& s, const std::string& bytes, uint64_t ms = 0);
  void PeerClose(const std::shared_ptr<SimStream>& s, int err = 0, uint64_t ms = 0);
  // When set, Stream::Connect returns this errno at once: a socket that cannot
  // be made (0 = accept). A failure on the way to the peer is CompleteConnect.
  int connectSetupError = 0;
  // When set, Stream::Write returns this errno (0 = accept).
  int writeError = 0;

  // --- look-ups ---
  const std::vector<std::shared_ptr<SimLookup>>& Lookups() const { return lookups_; }
  std::shared_ptr<SimLookup> LastLookup() const;
  // Answers a pending look-up as a loop event (ignored when cancelled).
  void Answer(const std::shared_ptr<SimLookup>& l, int err, std::vector<std::string> addrs,
              uint64_t ms = 0);
  // Answers every later look-up of a name automatically after `ms`; err 0 with
  // addrs, or err != 0. A name without an entry stays pending until Answer().
  void SetDns(const std::string& name, int err, std::vector<std::string> addrs, uint64_t ms = 1);

  // --- datagrams ---
  std::vector<Datagram> datagrams;
  bool datagramFails = false;  // SendDatagram throws

  // --- system answers ---
  std::string hostName = "simbox";
  bool hostNameFails = false;
  std::map<std::string, std::vector<std::string>> hostAddresses;  // missing name = failure
  int hostNameCalls = 0;
  // HttpGet: the URLs asked for, and the answer given (ok, body).
  std::vector<std::string> httpRequests;
  bool httpOk = false;
  std::string httpBody;

  // --- desktop windows, from the top ---
  std::vector<plat::TopWindow> windows;
  std::vector<plat::TopWindow> TopLevelWindows() override { return windows; }

  // --- process end ---
  bool exited = false;
  int exitCode = -1;

private:
  struct Event {
    uint64_t due;
    uint64_t seq;
    std::function<void()> fn;
    std::shared_ptr<bool> alive;  // cleared when cancelled
  };
  friend class SimTimer;
  std::shared_ptr<bool> Schedule(uint64_t due, std::function<void()> fn);

  uint64_t now_ = 0;
  uint64_t seq_ = 0;
  std::deque<Event> events_;  // kept ordered by (due, seq)
  std::vector<std::shared_ptr<SimStream>> streams_;
  std::vector<std::shared_ptr<SimLookup>> lookups_;
  struct DnsEntry {
    int err;
    std::vector<std::string> addrs;
    uint64_t ms;
  };
  std::map<std::string, DnsEntry> dns_;
};

}  // namespace sim
