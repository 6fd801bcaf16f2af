// One update end to end on the real loop inside the namespace: the request
// line as the update server decodes it, the reply that re-arms the cycle,
// the IP query at the server the reply named, and the IPv6 test.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/utsname.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "CorvilinkClient.h"
#include "CorvilinkFunctions.h"
#include "CorvilinkProcedures.h"
#include "RealEngine.h"

using namespace corvilink;
using corvitest::Action;
using corvitest::Event;
using corvitest::Server;

namespace {

const std::string kSuccess = "IP:198.51.100.77 DT:PA SI:60 MI:30 MIP:127.0.0.31 HIP:127.0.0.41\r\n";
// MD5 of the stored text e10adc3949ba59abbe56e057f20f883e, worked out apart from the engine.
const std::string kWirePasswd = "14e1b600b1fd579f47433b88e8d85291";

class EngineUpdateTest : public corvitest::RealEngineTest {
protected:
  // A first update answered with `reply`; the request as the service got it.
  Event FirstUpdate(const std::string& reply) {
    svc.Script(Server::Update, 1, Action::Reply(reply));
    StartResolved();
    UpdateNow();
    std::optional<Event> ev = WaitEvent(Server::Update, 1);
    EXPECT_TRUE(ev);
    EXPECT_TRUE(RunUntil([&] { return Count("Debug    ..... setIP data available", 40) == 1; }, ms(3000)));
    return ev.value_or(Event{});
  }
};

TEST_F(EngineUpdateTest, TheRequestLineCarriesEveryFieldInOrderUnderOneShift) {
  // The system's description is the one from the process's start: a system
  // file changed afterwards shows in no request.
  utsname names;
  ASSERT_EQ(uname(&names), 0);
  const std::string os = OSDescriptionOf(OSVersionRecordOf(names.release, corvitest::ReadFile("/etc/os-release")));
  corvitest::TempDir changed;
  corvitest::WriteFile(changed.path() + "/os-release", "PRETTY_NAME=\"Changed Linux 99\"\n");
  ASSERT_EQ(mount((changed.path() + "/os-release").c_str(), "/etc/os-release", nullptr, MS_BIND, nullptr), 0);
  Event ev = FirstUpdate(kSuccess);
  umount2("/etc/os-release", MNT_DETACH);
  EXPECT_EQ(ev.local, "127.0.0.21:900");
  EXPECT_EQ(ev.Keys(), (std::vector<std::string>{"AuthCode", "Session", "Account", "Domain", "ec", "ec2", "ec3",
                                                 "ec4", "DNSDiff", "DNSProblem", "RIP", "LIP", "build", "os",
                                                 "lang", "Passwd"}));
  const std::vector<std::pair<std::string, std::string>> values = {
      {"AuthCode", "CORVIL046W"}, {"Session", Values.Session}, {"Account", "kim"},  {"Domain", "dyn.example"},
      {"ec", "0"},                {"ec2", "0"},         {"ec3", "0"},       {"ec4", "0"},
      {"DNSDiff", "0"},           {"DNSProblem", "0"},  {"RIP", ""},        {"LIP", "127.0.1.1"},
      {"build", "460100"},        {"os", os},           {"lang", "D"},      {"Passwd", kWirePasswd},
  };
  for (const auto& [key, value] : values) EXPECT_EQ(ev.Field(key), value) << key;

  // One shift for every byte, a bare line feed after them, no CR anywhere.
  ASSERT_GE(ev.shift, 1);
  ASSERT_LE(ev.shift, 25);
  ASSERT_EQ(ev.raw.size(), ev.plain.size() + 1);
  EXPECT_EQ(ev.raw.back(), '\n');
  for (size_t i = 0; i < ev.plain.size(); ++i)
    ASSERT_EQ(uint8_t(ev.raw[i]), uint8_t(uint8_t(ev.plain[i]) + ev.shift)) << "byte " << i;
  EXPECT_EQ(ev.plain.find('\r'), std::string::npos);
  EXPECT_EQ(ev.raw.find('\r'), std::string::npos);
  EXPECT_EQ(ev.raw.find('\n'), ev.raw.size() - 1);

  // The log holds the body without client code, session and digest.
  const std::string prefix = "AuthCode=CORVIL046W&Session=" + Values.Session + "&";
  const size_t digest = ev.plain.rfind("&Passwd=");
  ASSERT_EQ(ev.plain.rfind(prefix, 0), 0u);
  ASSERT_NE(digest, std::string::npos);
  EXPECT_EQ(Count("Debug    setIP-Request: [" + ev.plain.substr(prefix.size(), digest - prefix.size()) + "]", 40), 1u);
}

// MI differs from the 30 s that the query's own tick sets, so the two can
// be told apart.
const std::string kSuccessMI45 = "IP:198.51.100.77 DT:PA SI:60 MI:45 MIP:127.0.0.31 HIP:127.0.0.41\r\n";

TEST_F(EngineUpdateTest, ASuccessRearmsBothTimersAndTheIPQueryGoesToTheNamedServer) {
  svc.Script(Server::Ip, 1, Action::Reply("198.51.100.77\n"));
  FirstUpdate(kSuccessMI45);
  ASSERT_TRUE(RunUntil([&] { return Count(">>>>>    Update successfully done!", 10) == 1; }, ms(3000)));
  EXPECT_TRUE(engine->TimerSetIP.Enabled());
  EXPECT_EQ(engine->TimerSetIP.Interval(), 60000u);
  EXPECT_TRUE(engine->TimerMyIP.Enabled());
  EXPECT_EQ(engine->TimerMyIP.Interval(), 45000u);
  EXPECT_EQ(Values.DetectedIP, "198.51.100.77");
  EXPECT_EQ(Values.Tariff, "PA");
  EXPECT_EQ(Values.MyIPServerAddress, "127.0.0.31");
  EXPECT_EQ(Values.HeartBeatServerAddress, "127.0.0.41");
  EXPECT_FALSE(engine->TimerHeartBeat.Enabled());

  // Not about the schedule: the query now rather than in 45 s.
  engine->TimerMyIP.SetInterval(20);
  std::optional<Event> ip = WaitEvent(Server::Ip, 1);
  ASSERT_TRUE(ip);
  EXPECT_EQ(ip->local, "127.0.0.31:901");
  EXPECT_EQ(ip->raw, "AuthCode=CORVIL046W&Session=" + Values.Session + "\r\n");
  EXPECT_EQ(ip->raw.size(), 33u);
  ASSERT_TRUE(RunUntil([&] { return Count(">>>>>    myIP detected [198.51.100.77]", 30) == 1; }, ms(3000)));
  // The address the update reply brought: no change, the query re-armed
  // with the server's period.
  EXPECT_TRUE(engine->TimerMyIP.Enabled());
  EXPECT_EQ(engine->TimerMyIP.Interval(), 45000u);
  EXPECT_EQ(engine->TimerSetIP.Interval(), 60000u);
  EXPECT_EQ(engine->SMyIP.State(), plat::SocketState::Closed);
  EXPECT_EQ(Values.ec2, 0u);
}

TEST_F(EngineUpdateTest, AnAddressChangeAtTheIPServerBringsTheNextUpdateWithinFiveSeconds) {
  svc.Script(Server::Ip, 1, Action::Reply("198.51.100.99\n"));
  FirstUpdate(kSuccessMI45);
  ASSERT_TRUE(RunUntil([&] { return Count(">>>>>    Update successfully done!", 10) == 1; }, ms(3000)));
  engine->TimerMyIP.SetInterval(20);
  std::optional<Event> ip = WaitEvent(Server::Ip, 1);
  ASSERT_TRUE(ip);
  ASSERT_TRUE(RunUntil([&] { return Count(">>>>>    myIP detected [198.51.100.99]", 30) == 1; }, ms(3000)));
  EXPECT_EQ(Count(">>>>>    IP-change detected [198.51.100.77] -> [198.51.100.99]", 10), 1u);
  EXPECT_EQ(engine->TimerSetIP.Interval(), 5000u);
  // The query keeps the period its tick set.
  EXPECT_TRUE(engine->TimerMyIP.Enabled());
  EXPECT_EQ(engine->TimerMyIP.Interval(), 30000u);
  EXPECT_EQ(Values.CurrentIP, "198.51.100.99");
  EXPECT_EQ(Values.PreviousIP, "198.51.100.77");

  std::optional<Event> next = WaitEvent(Server::Update, 2, ms(7000));
  ASSERT_TRUE(next);
  const auto gap = (next->at - ip->at).count();
  EXPECT_GE(gap, 4800);
  EXPECT_LE(gap, 5900);
}

// A log that can't be written during a reply costs its lines, not the retry or the period after it.
TEST_F(EngineUpdateTest, AnUnwritableLogDuringAReplyCostsNoUpdates) {
  WriteIni("[ACCOUNT]\r\nAccount=kim\r\nDomain=dyn.example\r\nPasswd=abc\r\n[LOGGING]\r\nLevel=30\r\n");
  svc.Script(Server::Update, corvitest::TestService::kEvery, Action::Reply("IP:198.51.100.77 SI:2\r\n"));
  StartResolved();
  const std::string log = dir.path() + "/corvilink.log";
  ASSERT_TRUE(std::filesystem::remove(log) && std::filesystem::create_directory(log));
  UpdateNow();
  ASSERT_TRUE(RunUntil([] { return Values.ec3 == 1; }, ms(3000)));
  ASSERT_TRUE(std::filesystem::remove(log));
  EXPECT_EQ(engine->TimerSetIP.Interval(), 900000u);
  UpdateNow();  // not about the retry's length
  EXPECT_TRUE(WaitEvent(Server::Update, 3, ms(5000)));
}

// The host's answer goes out as it came, an error page too; a host that
// can't be read over IPv6 leaves the field out, and a path that drops every
// packet or a resolver that drops the question still leaves time for the
// line. A reply without Dv6 ends the tests.
TEST_F(EngineUpdateTest, TheIPv6TestHostIsAskedAndWhatItAnswersTravelsInTheLine) {
  WriteIni(
      "[ACCOUNT]\r\nAccount=kim\r\nDomain=dyn.example\r\nPasswd=e10adc3949ba59abbe56e057f20f883e\r\n"
      "Language=D\r\nDv6=1\r\n[LOGGING]\r\nLevel=40\r\n");
  const std::string keepOn = "IP:198.51.100.77 DT:PA SI:60 MI:30 Dv6:1 MIP:127.0.0.31 HIP:127.0.0.41\r\n";
  // An address of this test's own, on which nothing listens.
  corvitest::NamespaceChange silent("ip -6 addr add 2001:db8::60/128 dev lo nodad",
                                    "ip -6 addr del 2001:db8::60/128 dev lo");
  ASSERT_TRUE(silent.Made());
  const std::string v4 = "127.0.0.60 ipv6.corvilink.example\n", v6 = "::1 ipv6.corvilink.example\n",
                    silentV6 = "2001:db8::60 ipv6.corvilink.example\n";
  struct Case {
    const char* name;
    std::string hostsLines;
    std::optional<std::string> local;  // where the GET arrives; none: at no server
    Action http;
    std::optional<std::string> field;
    std::string logged;
    uint8_t level;
    std::string drop{};  // "ip6tables RULE" or "iptables RULE" for this case: waited for to the time-out
  };
  const std::string none = ">>>>>    no IPv6 available";
  const std::vector<Case> cases = {
      {"address", v6, "[::1]:80", Action::Http(200, "2001:db8::77\n"), "2001:db8::77\n",
       ">>>>>    IPv6 is 2001:db8::77\n", 10},
      {"error page", v6, "[::1]:80", Action::Http(404, "no such host"), "no such host",
       ">>>>>    IPv6 is no such host", 10},
      // Over IPv6, though an IPv4 address is named first.
      {"both families", v4 + v6, "[::1]:80", Action::Http(200, "2001:db8::8"), "2001:db8::8",
       ">>>>>    IPv6 is 2001:db8::8", 10},
      // The IPv4 server would answer; it is not asked.
      {"IPv4 only", "", std::nullopt, Action(), std::nullopt, none, 20},
      {"IPv6 refuses", v4 + silentV6, std::nullopt, Action(), std::nullopt, none, 20},
      {"IPv6 drops", v4 + silentV6, std::nullopt, Action(), std::nullopt, none, 20,
       "ip6tables OUTPUT -d 2001:db8::60 -p tcp --dport 80 -j DROP"},
      {"reset", v6, "[::1]:80", Action::Reset(), std::nullopt, none, 20},
      // Its address from dnsmasq, which never hears the AAAA question; the
      // resolver's own time-outs are 5 s, twice. Last: that look-up goes on.
      {"resolver drops AAAA", "", std::nullopt, Action(), std::nullopt, none, 20,
       "iptables INPUT -p udp --dport 53 -m string --algo bm --hex-string '|00001c0001|' -j DROP"},
  };
  size_t gets = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    if (cases[i].local) svc.Script(Server::Http, int(++gets), cases[i].http);
    svc.Script(Server::Update, int(i + 1), Action::Reply(i + 1 < cases.size() ? keepOn : kSuccess));
  }

  StartResolved();
  gets = 0;
  std::map<std::string, size_t> logged;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    AddHostsLines(c.hostsLines);
    std::optional<corvitest::NamespaceChange> drop;
    if (!c.drop.empty()) {
      const size_t sp = c.drop.find(' ');
      const std::string tool = c.drop.substr(0, sp) + " -w ", rule = c.drop.substr(sp);
      drop.emplace(tool + "-I" + rule, tool + "-D" + rule);
    }
    const auto start = std::chrono::steady_clock::now();
    UpdateNow();
    // The service waits 5 s for the line, then closes without a request.
    std::optional<Event> ev = WaitEvent(Server::Update, i + 1, ms(6000));
    ASSERT_TRUE(ev);
    const auto took = std::chrono::steady_clock::now() - start;
    if (!c.drop.empty()) {
      // Waited for the time-out, not refused.
      EXPECT_GE(took, ms(2900));
      EXPECT_LT(took, ms(4000));
    } else {
      EXPECT_LT(took, ms(2000));
    }
    std::vector<Event> asked = svc.Events(Server::Http);
    if (c.local) {
      ASSERT_EQ(asked.size(), ++gets);
      EXPECT_EQ(asked.back().local, c.local);
      EXPECT_EQ(asked.back().raw.rfind("GET /?kim.dyn.example HTTP/1.1\r\n", 0), 0u) << asked.back().raw;
    } else {
      EXPECT_EQ(asked.size(), gets);
    }

    std::vector<std::string> keys = ev->Keys();
    if (c.field) {
      ASSERT_EQ(keys.size(), 17u);
      EXPECT_EQ(keys[11], "LIP");
      EXPECT_EQ(keys[12], "IPv6");
      EXPECT_EQ(keys[13], "build");
      EXPECT_EQ(ev->Field("IPv6"), c.field);
    } else {
      EXPECT_EQ(keys.size(), 16u);
      EXPECT_FALSE(ev->Field("IPv6"));
    }
    // A line end of the body stays inside the line, shifted.
    EXPECT_EQ(ev->raw.find('\n'), ev->raw.size() - 1);
    EXPECT_EQ(Count(c.logged, c.level), ++logged[c.logged]);
    ASSERT_TRUE(RunUntil([&] { return Count(">>>>>    Update successfully done!", 10) == i + 1; }, ms(3000)));
  }

  EXPECT_EQ(Count(">>>>>    Dv6 1 > 0", 10), 1u);
  EXPECT_FALSE(Values.IPv6Enabled);
  EXPECT_NE(IniText().find("Dv6=0"), std::string::npos) << IniText();
  // Off now, also after the reload before the request.
  UpdateNow();
  std::optional<Event> off = WaitEvent(Server::Update, cases.size() + 1);
  ASSERT_TRUE(off);
  EXPECT_FALSE(off->Field("IPv6"));
  EXPECT_EQ(svc.Events(Server::Http).size(), gets);
}

}  // namespace
