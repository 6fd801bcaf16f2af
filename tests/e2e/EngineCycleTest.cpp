// The update cycle on the real loop inside the namespace: the update server
// found through dnsmasq or its fallback, the walk over the four host names
// and port 80 after failures, and what the engine makes of broken replies.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "CorvilinkClient.h"
#include "CorvilinkProcedures.h"
#include "RealEngine.h"

using namespace corvilink;
using corvitest::Action;
using corvitest::Event;
using corvitest::Server;

namespace {

class EngineCycleTest : public corvitest::RealEngineTest {};

// The namespace's hosts file less the lines that name `host`.
std::string WithoutHost(const std::string& hosts, const std::string& host) {
  std::string out;
  size_t at = 0;
  while (at < hosts.size()) {
    size_t end = hosts.find('\n', at);
    end = end == std::string::npos ? hosts.size() : end + 1;
    std::string line = hosts.substr(at, end - at);
    if (line.find(host) == std::string::npos) out += line;
    at = end;
  }
  return out;
}

TEST_F(EngineCycleTest, TheFirstHostNameIsResolvedThroughDnsmasqASecondAfterCreation) {
  const uint64_t created = loop->Now();
  CreateEngine(/*quickLookup=*/false);
  StartEngine();
  ASSERT_TRUE(RunUntil([] { return Values.UpdateServerAddress != "0.0.0.0"; }, ms(3000)));
  EXPECT_GE(loop->Now() - created, 900u);
  EXPECT_EQ(Values.UpdateServerAddress, "127.0.0.21");
  EXPECT_EQ(Count(">>>>>    DNS Lookup setIP (base)", 30), 1u);
  EXPECT_EQ(Count(">>>>>    DNS Lookup success (SetIP)! [127.0.0.21]", 20), 1u);
  EXPECT_EQ(Values.DNSProblem, 0);
  EXPECT_FALSE(engine->TimerDNS.Enabled());

  UpdateNow();
  std::optional<Event> ev = WaitEvent(Server::Update, 1);
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->local, "127.0.0.21:900");
  EXPECT_TRUE(RunUntil([&] { return Count(">>>>>    Update successfully done!", 10) == 1; }, ms(3000)));
}

TEST_F(EngineCycleTest, AFailedLookupFallsBackToAddressA) {
  SetDnsHosts(WithoutHost(OriginalDnsHosts(), "update1.corvilink.example"),
              {{"update1.corvilink.example", {}}, {"update2.corvilink.example", {"127.0.0.22"}}});
  CreateEngine();
  StartEngine();
  ASSERT_TRUE(RunUntil([] { return Values.UpdateServerAddress != "0.0.0.0"; }, ms(3000)));
  EXPECT_EQ(Values.UpdateServerAddress, "192.0.2.10");
  EXPECT_EQ(Count(">>>>>    DNS Lookup fail (SetIP)! Using: 192.0.2.10", 20), 1u);
  EXPECT_EQ(Values.DNSProblem, 1);

  UpdateNow();
  std::optional<Event> ev = WaitEvent(Server::Update, 1);
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->local, "192.0.2.10:900");
  EXPECT_EQ(ev->Field("DNSProblem"), "1");
  ASSERT_TRUE(RunUntil([&] { return Count(">>>>>    Update successfully done!", 10) == 1; }, ms(3000)));
  EXPECT_EQ(Values.DNSProblem, 0);
}

// The update server is the first address in the name service's order, not
// the one getaddrinfo's sorting would put first (loopback).
TEST_F(EngineCycleTest, TheUpdateServerIsTheFirstAddressTheNameServiceGives) {
  StartResolved();
  const std::string done = "Debug    ..... setIP DNS lookup done";
  struct Case {
    bool hostsFile;
    std::vector<std::string> addrs;
  };
  const Case cases[] = {{true, {"192.0.2.10", "127.0.0.21"}}, {true, {"127.0.0.21", "192.0.2.10"}},
                        {false, {"192.0.2.10", "127.0.0.21"}}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    std::string lines;
    for (const std::string& a : c.addrs) lines += a + " update1.corvilink.example\n";
    if (c.hostsFile) {
      AddHostsLines(lines);
    } else {
      AddHostsLines("");
      SetDnsHosts(WithoutHost(OriginalDnsHosts(), "update1.corvilink.example") + lines,
                  {{"update1.corvilink.example", c.addrs}});
    }
    // dnsmasq has an order of its own; the hosts file keeps its lines'.
    std::optional<std::vector<std::string>> order = corvitest::NextAnswerV4("update1.corvilink.example");
    ASSERT_TRUE(order);
    if (c.hostsFile) {
      EXPECT_EQ(*order, c.addrs);
    }
    const std::string success = ">>>>>    DNS Lookup success (SetIP)! [" + order->front() + "]";
    const size_t before = Count(done, 40), successes = Count(success, 20);
    engine->TimerTimerDNS();
    ASSERT_TRUE(RunUntil([&] { return Count(done, 40) == before + 1; }, ms(3000)));
    EXPECT_EQ(Values.UpdateServerAddress, order->front());
    EXPECT_EQ(Count(success, 20), successes + 1);
    UpdateNow();
    std::optional<Event> ev = WaitEvent(Server::Update, i + 1);
    ASSERT_TRUE(ev);
    EXPECT_EQ(ev->local, order->front() + ":900");
    ASSERT_TRUE(RunUntil([&] { return Count(">>>>>    Update successfully done!", 10) == i + 1; }, ms(3000)));
  }
}

// Broken replies in a row: each counts, re-resolves the next host name
// through dnsmasq and goes there; the fifth failure sends the next attempt
// to port 80, the sixth back to 900.
TEST_F(EngineCycleTest, FailuresWalkTheHostNamesAndTheFifthSwitchesToPort80) {
  enum class Outcome { UpdateError, Exception, Success };
  struct Step {
    std::string reply;   // empty: the service's default reply
    Outcome outcome;
    std::string logged;  // the return line
    const char* local;
  };
  const std::vector<Step> steps = {
      {"Update refused\r\n", Outcome::UpdateError, "Debug    setIP-Return: [Update refused\r]", "127.0.0.21:900"},
      {" IP:198.51.100.77\r\n", Outcome::UpdateError, "Debug    setIP-Return: [ IP:198.51.100.77\r]",
       "127.0.0.22:900"},
      {"ip:198.51.100.77\r\n", Outcome::UpdateError, "Debug    setIP-Return: [ip:198.51.100.77\r]",
       "127.0.0.23:900"},
      // Read up to the first NUL: an empty reply.
      {std::string("\0IP:198.51.100.77\r\n", 19), Outcome::UpdateError, "Debug    setIP-Return: []",
       "127.0.0.24:900"},
      {"\xff\xfe\x01", Outcome::UpdateError, "Debug    setIP-Return: [\xff\xfe]", "127.0.0.21:900"},
      {"IP:198.51.100.77 SI:abc\r\n", Outcome::Exception, "Debug    setIP-Return: [IP:198.51.100.77 SI:abc\r]",
       "127.0.0.22:80"},
      {"", Outcome::Success, "", "127.0.0.23:900"},
  };
  for (size_t i = 0; i < steps.size(); ++i)
    if (!steps[i].reply.empty()) svc.Script(Server::Update, int(i + 1), Action::Reply(steps[i].reply));

  StartResolved();
  size_t updateErrors = 0;
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE("attempt " + std::to_string(i + 1));
    const Step& s = steps[i];
    const std::string host = std::string(s.local).substr(0, std::string(s.local).find(':'));
    // The look-up armed by the last failure has to be done first.
    ASSERT_TRUE(RunUntil([&] { return Values.UpdateServerAddress == host; }, ms(3000))) << Values.UpdateServerAddress;
    UpdateNow();
    std::optional<Event> ev = WaitEvent(Server::Update, i + 1);
    ASSERT_TRUE(ev);
    EXPECT_EQ(ev->local, s.local);
    EXPECT_EQ(ev->Field("ec"), std::to_string(i));
    if (s.outcome == Outcome::Success) {
      ASSERT_TRUE(RunUntil([&] { return Count(">>>>>    Update successfully done!", 10) == 1; }, ms(3000)));
      EXPECT_EQ(Values.ec, 0u);
      EXPECT_EQ(Values.ec3, 0u);
      continue;
    }
    ASSERT_TRUE(RunUntil([&] { return Values.ec == i + 1; }, ms(3000)));
    EXPECT_EQ(Count(s.logged, 40), 1u);
    if (s.outcome == Outcome::UpdateError) ++updateErrors;
    EXPECT_EQ(Count(">>>>>    Update Error!", 30), updateErrors);
    if (s.outcome == Outcome::Exception) {
      EXPECT_EQ(Count("Alert!   setIP DataAvailable Exception:", 20), 1u);
      EXPECT_EQ(Count("Alert!   'abc' ist kein g\xFCltiger Integerwert", 30), 1u);
      EXPECT_EQ(Values.ec3, 1u);
    }
    // Either way the update comes again, later.
    EXPECT_TRUE(engine->TimerSetIP.Enabled());
    EXPECT_EQ(engine->TimerSetIP.Interval(), 900000u);
    EXPECT_FALSE(engine->TimerMyIP.Enabled());
  }
  EXPECT_EQ(Count(">>>>>    setIP using Port 80", 30), 1u);
  std::vector<std::string> walk;
  for (const std::string& line : Log())
    if (line.rfind(">>>>>    DNS Lookup setIP (", 0) == 0) walk.push_back(line.substr(27));
  EXPECT_EQ(walk, (std::vector<std::string>{"base)", "2nd)", "3rd)", "4th)", "base)", "2nd)", "3rd)"}));
}

// Only what the first read finds counts; the rest is lost with the
// connection the engine closes at once.
TEST_F(EngineCycleTest, AReplySplitOverTwoSegmentsIsTakenFromTheFirstOnly) {
  svc.Script(Server::Update, 1,
             Action::Split("IP:198.51.100.77 DT:PA SI:60 MI:30 MIP:127.0.0.31 HIP:127.0.0.41\r\n", 17, 500));
  StartResolved();
  UpdateNow();
  ASSERT_TRUE(WaitEvent(Server::Update, 1));
  ASSERT_TRUE(RunUntil([&] { return Count(">>>>>    Update successfully done!", 10) == 1; }, ms(3000)));
  EXPECT_EQ(Count("Debug    setIP-Return: [IP:198.51.100.77]", 40), 1u);
  EXPECT_EQ(engine->SSetIP.State(), plat::SocketState::Closed);
  EXPECT_EQ(Values.DetectedIP, "198.51.100.77");
  EXPECT_EQ(Values.Tariff, "");
  EXPECT_EQ(Values.SetIPInterval, 1800000);
  EXPECT_EQ(engine->TimerSetIP.Interval(), 1800000u);
  EXPECT_EQ(Values.MyIPInterval, 60000);
  EXPECT_EQ(Values.MyIPServerAddress, "0.0.0.0");
  EXPECT_EQ(Values.HeartBeatServerAddress, "0.0.0.0");
  // The second segment must not turn into another data event.
  RunFor(ms(700));
  EXPECT_EQ(Count("Debug    ..... setIP data available", 40), 1u);
}

// A connection that ends without a reply counts nothing; the next tick
// (closing the connection first where it is still open) starts over.
TEST_F(EngineCycleTest, WithoutAReplyTheNextTickConnectsAgain) {
  struct Case {
    const char* name;
    Action action;
    plat::SocketState left;
  };
  const std::vector<Case> cases = {
      {"no reply", Action::NoReply(), plat::SocketState::Connected},
      {"closed", Action::Close(), plat::SocketState::Closed},
      {"reset", Action::Reset(), plat::SocketState::Closed},
  };
  for (size_t i = 0; i < cases.size(); ++i) svc.Script(Server::Update, int(2 * i + 1), cases[i].action);

  StartResolved();
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    UpdateNow();
    std::optional<Event> first = WaitEvent(Server::Update, 2 * i + 1);
    ASSERT_TRUE(first);
    ASSERT_TRUE(RunUntil([&] { return engine->SSetIP.State() == cases[i].left; }, ms(3000)));
    RunFor(ms(200));
    EXPECT_EQ(engine->SSetIP.State(), cases[i].left);
    EXPECT_EQ(Values.ec, 0u);
    // The retry interval for no failure so far.
    EXPECT_EQ(engine->TimerSetIP.Interval(), 300000u);
    EXPECT_EQ(Count("Debug    ..... setIP data available", 40), i);

    UpdateNow();
    std::optional<Event> second = WaitEvent(Server::Update, 2 * i + 2);
    ASSERT_TRUE(second);
    EXPECT_NE(second->peer, first->peer);
    EXPECT_EQ(second->Field("ec"), "0");
    EXPECT_TRUE(RunUntil([&] { return Count(">>>>>    Update successfully done!", 10) == i + 1; }, ms(3000)));
  }
}

// Anyone who can read the configuration can lock it. While another process
// does, the write a reply orders still goes through at once, and the
// updates go on: the own-host check finds another address and brings the next.
TEST_F(EngineCycleTest, UpdatesGoOnWhileAnotherProcessHoldsALockOnTheConfiguration) {
  AddHostsLines("198.51.100.99 kim.dyn.example\n");
  svc.Script(Server::Update, corvitest::TestService::kEvery, Action::Reply("IP:198.51.100.77 CI:2 Dv6:1\r\n"));
  FILE* holder = popen(("exec flock -s " + ConfigPath() + " sh -c 'echo $$; exec sleep 20'").c_str(), "r");
  int pid = 0;
  ASSERT_EQ(fscanf(holder, "%d", &pid), 1);
  StartResolved();
  UpdateNow();
  EXPECT_TRUE(RunUntil([&] { return svc.Events(Server::Update).size() == 3; }, ms(12000)));
  kill(pid, SIGKILL);
  pclose(holder);
  EXPECT_EQ(Count(">>>>>    Dv6 0 > 1", 10), 1u);
  EXPECT_EQ(Count("Alert!   In " + ConfigPath() + " kann nicht geschrieben werden", 30), 0u);
  std::string ini = corvitest::kRealEngineIni;
  EXPECT_EQ(IniText(), ini.insert(ini.find("[LOGGING]"), "Dv6=1\r\n"));
}

TEST_F(EngineCycleTest, ARefusedConnectionCountsAndTheNextHostIsTried) {
  StartResolved();
  // Nothing listens there.
  Values.UpdateServerAddress = "127.0.0.99";
  UpdateNow();
  ASSERT_TRUE(RunUntil([] { return Values.ec == 1; }, ms(3000)));
  EXPECT_EQ(Count(">>>>>    setIP socket connect problem [127.0.0.99]", 30), 1u);
  EXPECT_EQ(engine->TimerSetIP.Interval(), 5000u);
  ASSERT_TRUE(RunUntil([] { return Values.UpdateServerAddress == "127.0.0.22"; }, ms(3000)));
  EXPECT_TRUE(svc.Events(Server::Update).empty());

  UpdateNow();
  std::optional<Event> ev = WaitEvent(Server::Update, 1);
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->local, "127.0.0.22:900");
  EXPECT_EQ(ev->Field("ec"), "1");
}

// A machine without a network: the update hosts don't resolve and fallback
// address A has no route, then a "prohibit" route as behind a VPN's kill
// switch. Linux says so within connect(2); the engine still sees a failed
// connection, so the retries follow the failure schedule, walk the host names
// and go to port 80 on the fifth failure.
TEST_F(EngineCycleTest, WithoutARouteTheRetriesFollowTheFailureSchedule) {
  std::string hosts = OriginalDnsHosts();
  for (const char* host : {"update1.", "update2.", "update3.", "update4."}) hosts = WithoutHost(hosts, host);
  SetDnsHosts(hosts, {{"update1.corvilink.example", {}}, {"update4.corvilink.example", {}}});
  ASSERT_EQ(std::system("ip addr del 192.0.2.10/32 dev lo"), 0);
  // Back in the namespace's order, which a look-up of the empty name shows.
  struct RouteBack {
    ~RouteBack() {
      EXPECT_EQ(std::system("ip route del prohibit 192.0.2.10/32 2>/dev/null; "
                            "ip addr del 198.51.100.10/32 dev lo && ip addr del 203.0.113.10/32 dev lo && "
                            "ip addr add 192.0.2.10/32 dev lo && ip addr add 198.51.100.10/32 dev lo && "
                            "ip addr add 203.0.113.10/32 dev lo"),
                0);
    }
  } routeBack;

  StartResolved();
  ASSERT_EQ(Values.UpdateServerAddress, "192.0.2.10");
  const char* const kLookups[] = {"base", "2nd", "3rd", "4th"};
  for (uint32_t n = 1; n <= 6; ++n) {
    SCOPED_TRACE("failure " + std::to_string(n));
    if (n == 4) {
      ASSERT_EQ(std::system("ip route add prohibit 192.0.2.10/32"), 0);
    }
    UpdateNow();
    ASSERT_TRUE(RunUntil([&] { return Values.ec == n; }, ms(3000)));
    EXPECT_EQ(Count(">>>>>    setIP socket connect problem [192.0.2.10]", 30), n);
    EXPECT_EQ(engine->TimerSetIP.Interval(), n <= 5 ? 5000u : 10000u);
    EXPECT_EQ(Count(">>>>>    setIP using Port 80", 30), n == 6 ? 1u : 0u);
    // Each failure looks the next host name up, which fails again.
    ASSERT_TRUE(RunUntil([&] { return Count(">>>>>    DNS Lookup fail (SetIP)! Using: 192.0.2.10", 20) == n + 1; },
                         ms(3000)));
    EXPECT_EQ(Count(std::string(">>>>>    DNS Lookup setIP (") + kLookups[n % 4] + ")", 30), n >= 4 ? 2u : 1u);
  }
  EXPECT_EQ(Count("Alert!   setIP-Error", 20), 0u);
  EXPECT_EQ(Values.ec3, 0u);
  EXPECT_TRUE(svc.Events(Server::Update).empty());
}

// Behind a firewall that drops, the connect gets neither an answer nor an
// error; the socket gives it up after 21 s, and the engine counts a connect
// problem.
TEST_F(EngineCycleTest, ADroppedConnectIsAConnectProblemAfter21Seconds) {
  const auto drop = corvitest::DropTcp("127.0.0.95", 900);
  ASSERT_TRUE(drop.Made());
  StartResolved();
  Values.UpdateServerAddress = "127.0.0.95";
  UpdateNow();
  ASSERT_TRUE(RunUntil([&] { return engine->SSetIP.State() == plat::SocketState::Connecting; }, ms(3000)));
  const uint64_t connecting = loop->Now();
  ASSERT_TRUE(RunUntil([] { return Values.ec == 1; }, ms(25000)));
  const uint64_t took = loop->Now() - connecting;
  EXPECT_GE(took, 20900u);
  EXPECT_LT(took, 21500u);
  EXPECT_EQ(Count("Debug    ..... setIP session connected [127.0.0.95]", 40), 1u);
  EXPECT_EQ(Count(">>>>>    setIP socket connect problem [127.0.0.95]", 30), 1u);
  EXPECT_EQ(engine->SSetIP.State(), plat::SocketState::Closed);
  EXPECT_EQ(engine->TimerSetIP.Interval(), 5000u);
  EXPECT_EQ(Values.ec3, 0u);
  EXPECT_TRUE(svc.Events(Server::Update).empty());
}

// Dropped connects, given up after a shortened time-out, walk the host names;
// the fifth failure sends the next attempt to port 80, which the rule does not
// drop, so nothing listening there refuses it at once.
TEST_F(EngineCycleTest, DroppedConnectsWalkTheHostNamesAndTheFifthFailureGoesToPort80) {
  const corvitest::ConnectTimeout shortened(ms(400));
  std::string hosts = OriginalDnsHosts();
  std::vector<std::pair<std::string, std::vector<std::string>>> probes;
  for (int i = 1; i <= 4; ++i) {
    const std::string host = "update" + std::to_string(i) + ".corvilink.example";
    const std::string addr = "127.0.0.9" + std::to_string(i);
    hosts = WithoutHost(hosts, host) + addr + " " + host + "\n";
    probes.push_back({host, {addr}});
  }
  SetDnsHosts(hosts, probes);
  const auto drop = corvitest::DropTcp("127.0.0.91,127.0.0.92,127.0.0.93,127.0.0.94", 900);
  ASSERT_TRUE(drop.Made());

  StartResolved();
  for (uint32_t n = 1; n <= 6; ++n) {
    SCOPED_TRACE("failure " + std::to_string(n));
    const std::string addr = "127.0.0.9" + std::to_string((n - 1) % 4 + 1);
    ASSERT_TRUE(RunUntil([&] { return Values.UpdateServerAddress == addr; }, ms(3000))) << Values.UpdateServerAddress;
    UpdateNow();
    const uint64_t start = loop->Now();
    ASSERT_TRUE(RunUntil([&] { return Values.ec == n; }, ms(3000)));
    const uint64_t took = loop->Now() - start;
    if (n <= 5) {
      EXPECT_GE(took, 400u);
    } else {
      EXPECT_LT(took, 400u);
    }
    EXPECT_EQ(Count(">>>>>    setIP socket connect problem [" + addr + "]", 30), n <= 4 ? 1u : 2u);
    EXPECT_EQ(Count(">>>>>    setIP using Port 80", 30), n == 6 ? 1u : 0u);
    EXPECT_EQ(engine->TimerSetIP.Interval(), n <= 5 ? 5000u : 10000u);
  }
  EXPECT_EQ(Values.ec3, 0u);
  EXPECT_TRUE(svc.Events(Server::Update).empty());
}

// Every second failed IP query re-resolves the update server, whether the
// server refused, could not be reached at all or never answered.
TEST_F(EngineCycleTest, AFailedIPQueryConnectionCountsAndEverySecondOneArmsTheLookup) {
  const corvitest::ConnectTimeout shortened(ms(400));
  const auto drop = corvitest::DropTcp("127.0.0.96", 901);
  ASSERT_TRUE(drop.Made());
  StartResolved();
  // Refused, then no route, then dropped.
  const char* const servers[] = {"127.0.0.99", "127.0.0.99", "192.0.2.99", "192.0.2.99", "127.0.0.96", "127.0.0.96"};
  for (uint32_t n = 1; n <= 6; ++n) {
    SCOPED_TRACE(n);
    Values.MyIPServerAddress = servers[n - 1];
    engine->TimerMyIP.SetEnabled(true);
    engine->TimerMyIP.SetInterval(20);
    const uint64_t start = loop->Now();
    ASSERT_TRUE(RunUntil([&] { return Values.ec2 == n; }, ms(3000)));
    EXPECT_EQ(loop->Now() - start >= 400, n >= 5);
    EXPECT_EQ(Count("Debug    myIP could not be detected (socket connect)", 40), n);
    EXPECT_EQ(engine->TimerDNS.Enabled(), n % 2 == 0);
    engine->TimerMyIP.SetEnabled(false);
    engine->TimerDNS.SetEnabled(false);
  }
  EXPECT_EQ(Count("Alert!   myIP-Error", 20), 0u);
  EXPECT_TRUE(svc.Events(Server::Ip).empty());
}

// Only what the first read of the IP query finds counts: here a piece too
// short for an address.
TEST_F(EngineCycleTest, AnIPReplySplitOverTwoSegmentsIsJudgedByItsFirstPart) {
  svc.Script(Server::Ip, 1, Action::Split("198.51.100.77\n", 6, 500));
  StartResolved();
  Values.MyIPServerAddress = "127.0.0.31";
  engine->TimerMyIP.SetInterval(20);
  engine->TimerMyIP.SetEnabled(true);
  ASSERT_TRUE(WaitEvent(Server::Ip, 1));
  ASSERT_TRUE(RunUntil([] { return Values.ec2 == 1; }, ms(3000)));
  EXPECT_EQ(Count("Debug    myIP could not be detected (c)", 40), 1u);
  EXPECT_EQ(engine->SMyIP.State(), plat::SocketState::Closed);
  EXPECT_EQ(Values.DetectedIP, "");
  engine->TimerMyIP.SetEnabled(false);
  RunFor(ms(700));
  EXPECT_EQ(Count("Debug    ..... myIP data available [127.0.0.31]", 40), 1u);
  EXPECT_EQ(Values.ec2, 1u);
}

// A look-up started while another is pending on the same socket replaces
// it: the worker may have answered the first already, yet that answer must
// never reach the handler.
TEST_F(EngineCycleTest, ALookupStartedAnewReplacesThePendingOne) {
  StartResolved();
  engine->TimerDNSRandom.SetInterval(0);
  const std::string randomDone = "Debug    ..... resolve random domain done";
  const std::string checkDone = "Debug    ..... resolve my own IP";
  const std::string serverDone = "Debug    ..... setIP DNS lookup done";
  const size_t serverBefore = Count(serverDone, 40);
  for (int i = 0; i < 3; ++i) {
    engine->TimerDNSRandomTimer();
    engine->TimerDNSCheckTimer();
    engine->TimerTimerDNS();
  }
  ASSERT_TRUE(RunUntil([&] { return Count(randomDone, 40) == 1 && Count(checkDone, 40) == 1 &&
                                    Count(serverDone, 40) == serverBefore + 1; },
                       ms(3000)));
  RunFor(ms(500));
  EXPECT_EQ(Count(randomDone, 40), 1u);
  EXPECT_EQ(Count(checkDone, 40), 1u);
  EXPECT_EQ(Count(serverDone, 40), serverBefore + 1);
  // The own host name is not in dnsmasq: counted once, not three times.
  EXPECT_EQ(Values.DNSProblem, 1);
}

}  // namespace
