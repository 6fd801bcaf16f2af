// The engine on the real libuv loop, talking to the test service inside the
// private namespace: a fresh program directory, fresh engine values, the
// service started, and ways to run the loop until something has happened.
// Every test of it fails at once outside the namespace (scripts/isolate).
#pragma once

#include <gtest/gtest.h>
#include <uv.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CorvilinkClient.h"
#include "EngineFixture.h"
#include "TestService.h"
#include "UvLoop.h"

namespace corvitest {

// An account that passes the guards, and the debug level.
extern const char* const kRealEngineIni;

// The IPv4 addresses of a name as the name service gives them, in its
// order; nullopt when it doesn't resolve.
std::optional<std::vector<std::string>> ResolveV4(const std::string& name);
// The IPv4 addresses of the interfaces that are up, as `ip` lists them,
// loopback (127/8) left out: what a look-up of the empty name gives.
std::vector<std::string> InterfaceAddresses();
// The order the next look-up of a name of one or two addresses will get.
// dnsmasq rotates such an answer with every query, so it takes two queries to
// tell; any other look-up of the name meanwhile changes the answer.
std::optional<std::vector<std::string>> NextAnswerV4(const std::string& name);

// A change to the namespace for as long as this lives: `undo` runs at the
// end, also when the test fails. For what only one test uses, as tests run
// side by side in the namespace: an address of its own, a rule for it.
class NamespaceChange {
public:
  NamespaceChange(const std::string& command, std::string undo);
  ~NamespaceChange();
  NamespaceChange(const NamespaceChange&) = delete;
  NamespaceChange& operator=(const NamespaceChange&) = delete;
  bool Made() const { return !undo_.empty(); }

private:
  std::string undo_;
};

// An OUTPUT rule that drops TCP to these addresses (a comma-separated list)
// and port, as a firewall that drops does: the connect gets no answer at all.
NamespaceChange DropTcp(const std::string& addrs, uint16_t port);

class RealEngineTest : public ::testing::Test {
protected:
  using ms = std::chrono::milliseconds;

  void SetUp() override;
  void TearDown() override;

  void WriteIni(const std::string& text);
  std::string IniText() const;

  // The engine object on the loop. quickLookup: the first update-server
  // look-up 20 ms after creation instead of 1 s, and every later one too.
  void CreateEngine(bool quickLookup = true);
  // The desktop program's start: Mode "GUI", StartEngine("W").
  void StartEngine();
  // Both, then the loop run until the first update-server look-up is done.
  void StartResolved();
  // The next update tick in 20 ms.
  void UpdateNow();

  // Runs the loop until done() holds or the limit has passed; false then.
  bool RunUntil(const std::function<bool()>& done, ms limit);
  void RunFor(ms span);
  // Runs the loop until the service has recorded the n-th event of the server.
  std::optional<Event> WaitEvent(Server server, size_t n, ms limit = ms(3000));

  // The log's messages without date, time and session tag.
  std::vector<std::string> Log() const;
  // How often the message stands in the log; it must have been written at that level.
  size_t Count(const std::string& message, uint8_t level) const;

  // dnsmasq's extra hosts file, as the namespace made it.
  static std::string OriginalDnsHosts();
  // Rewrites that file, makes dnsmasq reread it and waits until each probe
  // name resolves to exactly its addresses, in any order (empty: not at
  // all). TearDown puts the original back.
  void SetDnsHosts(const std::string& content,
                   const std::vector<std::pair<std::string, std::vector<std::string>>>& probes);

  // The namespace's /etc/hosts with these lines after its own, which the
  // name service reads before it asks dnsmasq. TearDown puts it back.
  void AddHostsLines(const std::string& lines);

  LogLevels levels;
  TempDir dir;
  std::unique_ptr<plat::UvLoop> loop;
  std::unique_ptr<corvilink::TCorvilinkC> engine;
  TestService svc;

private:
  uv_timer_t wake_{};
  bool started_ = false;
  bool dnsChanged_ = false;
  std::optional<std::string> savedHosts_;
  std::function<void(const std::exception&)> savedHandler_;
  std::vector<std::pair<std::string, std::string>> savedProxies_;
};

}  // namespace corvitest
