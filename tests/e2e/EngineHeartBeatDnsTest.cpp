// Heartbeat, DNS checks and the log broadcast on the real loop inside the
// namespace, with dnsmasq answering for the subscriber's host name.
#include <gtest/gtest.h>

#include <algorithm>
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

const std::string kHostName = "kim.dyn.example";

class EngineHeartBeatDnsTest : public corvitest::RealEngineTest {
protected:
  // The first update, answered with `reply`, carried out in full.
  void Updated(const std::string& reply) {
    svc.Script(Server::Update, 1, Action::Reply(reply));
    StartResolved();
    UpdateNow();
    ASSERT_TRUE(WaitEvent(Server::Update, 1));
    ASSERT_TRUE(RunUntil([&] { return Count(">>>>>    Update successfully done!", 10) == 1; }, ms(3000)));
  }

  // dnsmasq answers for the host name with these addresses (none: NXDOMAIN),
  // in an order of its own.
  void HostAnswers(const std::vector<std::string>& lines) {
    std::string hosts = OriginalDnsHosts();
    for (const std::string& a : lines) hosts += a + " " + kHostName + "\n";
    SetDnsHosts(hosts, {{kHostName, lines}});
  }
};

TEST_F(EngineHeartBeatDnsTest, AHeartBeatTariffSendsTheCodeAndTheLocalNotice) {
  const std::string code = "Hb0123456789-abcdefZ";
  ASSERT_EQ(code.size(), 20u);
  Updated("IP:198.51.100.77 DT:HA SI:60 MI:30 HI:1 HB:" + code + " MIP:127.0.0.31 HIP:127.0.0.41\r\n");
  EXPECT_EQ(Count(">>>>>    HeartBeat activ!", 20), 1u);
  EXPECT_TRUE(engine->TimerHeartBeat.Enabled());
  EXPECT_EQ(engine->TimerHeartBeat.Interval(), 1000u);

  std::optional<Event> beat = WaitEvent(Server::HeartBeat, 1);
  ASSERT_TRUE(beat);
  EXPECT_EQ(beat->local, "127.0.0.41:910");
  EXPECT_EQ(beat->raw, code);
  std::optional<Event> notice = WaitEvent(Server::Notice, 1);
  ASSERT_TRUE(notice);
  // To the first address of the host name corvibox.
  EXPECT_EQ(notice->local, "127.0.1.1:900");
  EXPECT_EQ(notice->raw, "Corvilink;" + Values.Session + ";" + code);
  EXPECT_EQ(notice->raw.size(), 34u);
  EXPECT_EQ(Count("Debug    HeartBeat: [" + code + "]", 40), 1u);

  // Again a period later, by itself.
  std::optional<Event> again = WaitEvent(Server::HeartBeat, 2);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->raw, code);
  EXPECT_GE((again->at - beat->at).count(), 900);
  EXPECT_EQ(Values.ec3, 0u);
}

// One own-host check after another, each on the state the previous one
// left, with the answer from dnsmasq or from the hosts file. The engine must
// see the addresses in the name service's order: the marker counts only in
// first place. dnsmasq answers in an order of its own, so the answers whose
// order matters come from the hosts file, whose order stands.
TEST_F(EngineHeartBeatDnsTest, TheOwnHostCheckAgainstRealAnswers) {
  // A query that strays must not change the detected address meanwhile.
  svc.Script(Server::Ip, corvitest::TestService::kEvery, Action::Reply("198.51.100.77\n"));
  Updated("IP:198.51.100.77 DT:PA SI:60 MI:30 CI:2 MIP:127.0.0.31 HIP:127.0.0.41\r\n");
  EXPECT_TRUE(engine->TimerDNSCheck.Enabled());
  EXPECT_EQ(engine->TimerDNSCheck.Interval(), 2000u);
  engine->TimerDNSCheck.SetEnabled(false);

  const std::string done = "Debug    ..... resolve my own IP";
  const std::string differs = ">>>>>    IP difference detected!";
  const std::string marker = ">>>>>    Der Account ist deaktiviert!  (DNS)";
  enum class From { Dnsmasq, HostsFile };
  size_t checks = 0;
  auto prepare = [&](From from, const std::vector<std::string>& answer) {
    if (from == From::Dnsmasq) {
      AddHostsLines("");
      HostAnswers(answer);
    } else {
      std::string lines;
      for (const std::string& a : answer) lines += a + " " + kHostName + "\n";
      AddHostsLines(lines);
      EXPECT_EQ(corvitest::ResolveV4(kHostName), answer);
    }
  };
  auto run = [&] {
    // Not about the period: now rather than in CI seconds.
    engine->TimerDNSCheck.SetInterval(20);
    engine->TimerDNSCheck.SetEnabled(true);
    ++checks;
    bool answered = RunUntil([&] { return Count(done, 40) == checks; }, ms(3000));
    // A check that matched re-arms itself; the next one comes when we say so.
    bool rearmed = engine->TimerDNSCheck.Enabled();
    engine->TimerDNSCheck.SetEnabled(false);
    return std::make_pair(answered, rearmed);
  };
  auto check = [&](From from, const std::vector<std::string>& answer) {
    prepare(from, answer);
    return run();
  };

  {
    SCOPED_TRACE("match");
    auto [answered, rearmed] = check(From::Dnsmasq, {"198.51.100.77"});
    ASSERT_TRUE(answered);
    EXPECT_TRUE(rearmed);
    EXPECT_EQ(Values.ResolvedOwnIP, "198.51.100.77");
    EXPECT_EQ(Values.DNSDiff, 0u);
    EXPECT_EQ(Count(differs, 20), 0u);
  }
  {
    SCOPED_TRACE("mismatch");
    auto [answered, rearmed] = check(From::Dnsmasq, {"203.0.113.5"});
    ASSERT_TRUE(answered);
    EXPECT_FALSE(rearmed);
    EXPECT_EQ(Values.ResolvedOwnIP, "203.0.113.5");
    EXPECT_EQ(Count(differs, 20), 1u);
    EXPECT_EQ(engine->TimerSetIP.Interval(), 2500u);
    EXPECT_EQ(Values.DNSDiff, 1u);
    // Keep the brought-forward update from interfering with what follows.
    engine->TimerSetIP.SetInterval(60000);
  }
  {
    SCOPED_TRACE("marker first");
    auto [answered, rearmed] = check(From::HostsFile, {"127.0.0.9", "198.51.100.77"});
    ASSERT_TRUE(answered);
    EXPECT_TRUE(rearmed);
    EXPECT_EQ(Values.ResolvedOwnIP, "127.0.0.9, 198.51.100.77");
    EXPECT_TRUE(Values.Deactivated);
    EXPECT_EQ(Count(marker, 10), 1u);
    EXPECT_NE(IniText().find("DEACTIVATED=1"), std::string::npos) << IniText();
    EXPECT_EQ(engine->TimerDNSCheck.Interval(), 900000u);
    EXPECT_TRUE(engine->TimerSetIP.Enabled());
    EXPECT_EQ(engine->TimerSetIP.Interval(), 21600000u);
    EXPECT_FALSE(engine->TimerMyIP.Enabled());
    EXPECT_EQ(engine->TimerMyIP.Interval(), 0u);
    EXPECT_FALSE(engine->TimerDNSRandom.Enabled());
    EXPECT_EQ(engine->TimerDNSRandom.Interval(), 0u);
    EXPECT_EQ(Values.DNSDiff, 1u);
  }
  {
    SCOPED_TRACE("private while deactivated");
    auto [answered, rearmed] = check(From::Dnsmasq, {"10.1.2.3"});
    ASSERT_TRUE(answered);
    EXPECT_FALSE(rearmed);
    EXPECT_TRUE(Values.Deactivated);
    EXPECT_EQ(Values.DNSDiff, 999u);
    EXPECT_EQ(Count(">>>>>    resolved own IP is private!", 20), 1u);
    EXPECT_EQ(Count(">>>>>    Please check your local DNS configuration!", 20), 1u);
    EXPECT_NE(IniText().find("DEACTIVATED=1"), std::string::npos);
  }
  {
    SCOPED_TRACE("marker second");
    auto [answered, rearmed] = check(From::HostsFile, {"127.0.0.1", "127.0.0.9"});
    ASSERT_TRUE(answered);
    EXPECT_EQ(Values.ResolvedOwnIP, "127.0.0.1, 127.0.0.9");
    EXPECT_EQ(Count(marker, 10), 1u);
    // An ordinary answer: reactivated, then a mismatch that stays silent
    // after the private answer.
    EXPECT_FALSE(Values.Deactivated);
    EXPECT_NE(IniText().find("DEACTIVATED=0"), std::string::npos) << IniText();
    EXPECT_TRUE(engine->TimerSetIP.Enabled());
    EXPECT_EQ(engine->TimerSetIP.Interval(), 21600000u);
    EXPECT_EQ(Count(differs, 20), 1u);
    EXPECT_EQ(Values.DNSDiff, 1000u);
    EXPECT_FALSE(rearmed);
  }
  {
    SCOPED_TRACE("hosts file: ordinary, then the marker");
    auto [answered, rearmed] = check(From::HostsFile, {"198.51.100.77", "127.0.0.9"});
    ASSERT_TRUE(answered);
    EXPECT_TRUE(rearmed);
    EXPECT_EQ(Values.ResolvedOwnIP, "198.51.100.77, 127.0.0.9");
    EXPECT_FALSE(Values.Deactivated);
    EXPECT_EQ(Count(marker, 10), 1u);
    EXPECT_EQ(Values.DNSDiff, 0u);
  }
  {
    SCOPED_TRACE("dnsmasq: two addresses in its own order");
    prepare(From::Dnsmasq, {"127.0.0.1", "198.51.100.77"});
    // Whatever order dnsmasq gives the name service, the engine has the same.
    std::optional<std::vector<std::string>> order = corvitest::NextAnswerV4(kHostName);
    ASSERT_TRUE(order);
    auto [answered, rearmed] = run();
    ASSERT_TRUE(answered);
    EXPECT_EQ(Values.ResolvedOwnIP, (*order)[0] + ", " + (*order)[1]);
    EXPECT_TRUE(rearmed);
    EXPECT_EQ(Values.DNSDiff, 0u);
  }
  {
    SCOPED_TRACE("hosts file: three addresses, the detected one third");
    auto [answered, rearmed] = check(From::HostsFile, {"127.0.0.1", "192.0.2.10", "198.51.100.77"});
    ASSERT_TRUE(answered);
    EXPECT_TRUE(rearmed);
    EXPECT_EQ(Values.ResolvedOwnIP, "127.0.0.1, 192.0.2.10, 198.51.100.77");
    EXPECT_EQ(Values.DNSDiff, 0u);
    EXPECT_EQ(Count(differs, 20), 1u);
  }
  {
    SCOPED_TRACE("hosts file: four addresses, the detected one fourth");
    auto [answered, rearmed] =
        check(From::HostsFile, {"127.0.0.1", "192.0.2.10", "203.0.113.5", "198.51.100.77"});
    ASSERT_TRUE(answered);
    EXPECT_FALSE(rearmed);
    EXPECT_EQ(Values.ResolvedOwnIP, "127.0.0.1, 192.0.2.10, 203.0.113.5");
    EXPECT_EQ(Count(differs, 20), 2u);
    EXPECT_EQ(Values.DNSDiff, 1u);
  }
  {
    SCOPED_TRACE("no answer");
    auto [answered, rearmed] = check(From::Dnsmasq, {});
    ASSERT_TRUE(answered);
    EXPECT_FALSE(rearmed);
    EXPECT_EQ(Values.DNSProblem, 1);
    EXPECT_EQ(Count(">>>>>    Can`t resolve my own IP!", 20), 1u);
    EXPECT_EQ(Values.ResolvedOwnIP, "127.0.0.1, 192.0.2.10, 203.0.113.5");
  }
  EXPECT_EQ(Values.ec3, 0u);
}

// Random ".com" names get dnsmasq's local NXDOMAIN; each answer re-arms the
// timer for the next, and none of them counts as a problem.
TEST_F(EngineHeartBeatDnsTest, RandomLookupsAreAnsweredLocallyAndKeepGoing) {
  Updated("IP:198.51.100.77 DT:PA SI:60 MI:30 RI:1 MIP:127.0.0.31 HIP:127.0.0.41\r\n");
  EXPECT_TRUE(engine->TimerDNSRandom.Enabled());
  EXPECT_EQ(engine->TimerDNSRandom.Interval(), 1000u);
  // Not about the period.
  engine->TimerDNSRandom.SetInterval(20);
  const std::string tick = "Debug    ..... resolve random domain";
  const std::string done = "Debug    ..... resolve random domain done";
  ASSERT_TRUE(RunUntil([&] { return Count(done, 40) >= 5; }, ms(3000)));
  EXPECT_TRUE(engine->TimerDNSRandom.Enabled());
  EXPECT_EQ(Values.DNSProblem, 0);
  EXPECT_EQ(Values.ec3, 0u);
  // One look-up at a time: every tick is answered before the next.
  std::vector<std::string> seq;
  for (const std::string& line : Log())
    if (line == tick || line == done) seq.push_back(line);
  ASSERT_GE(seq.size(), 10u);
  for (size_t i = 0; i + 1 < seq.size(); i += 2) {
    EXPECT_EQ(seq[i], tick) << i;
    EXPECT_EQ(seq[i + 1], done) << i;
  }
}

// Every message goes out to port 899 as it is, the ones the file's level
// leaves out too; the file keeps its level.
TEST_F(EngineHeartBeatDnsTest, TheLogBroadcastCarriesEveryMessageByteForByte) {
  WriteIni(
      "[ACCOUNT]\r\nAccount=kim\r\nDomain=dyn.example\r\nPasswd=e10adc3949ba59abbe56e057f20f883e\r\n"
      "[LOGGING]\r\nLevel=20\r\n[OPTIONS]\r\nBroadcast=1\r\n");
  const std::string german = ">>>>>    \xDC" "berpr\xFC" "fen Sie bitte Ihre Login-Daten!";
  Updated("IP:198.51.100.77 C1:3\r\n");
  std::vector<std::string> sent;
  ASSERT_TRUE(RunUntil(
      [&] {
        sent.clear();
        for (const Event& e : svc.Events(Server::Broadcast)) sent.push_back(e.raw);
        return !sent.empty() && sent.back() == ">>>>>    Update successfully done!";
      },
      ms(3000)));
  for (const Event& e : svc.Events(Server::Broadcast)) EXPECT_EQ(e.local, "255.255.255.255:899");

  const std::vector<std::string> banner = {
      ">>>>>", ">>>>>  Corvilink-Poster 4.6 (Build:4.6.0.100) started.", ">>>>>", ">>>>>  corvibox",
      ">>>>>  127.0.1.1", ">>>>>"};
  ASSERT_GE(sent.size(), banner.size());
  EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + banner.size()), banner);
  auto has = [&](const std::string& m) { return std::find(sent.begin(), sent.end(), m) != sent.end(); };
  EXPECT_TRUE(has(german));
  EXPECT_TRUE(has(">>>>>    DNS Lookup setIP (base)"));  // level 30
  EXPECT_TRUE(has("Debug    setIP-Return: [IP:198.51.100.77 C1:3\r]"));  // level 40
  for (const std::string& m : sent) {
    EXPECT_EQ(m.find("Passwd"), std::string::npos) << m;
    EXPECT_EQ(m.find("AuthCode"), std::string::npos) << m;
  }

  // The file: exactly the messages of level 20 and below, in the same order.
  std::vector<std::string> file = Log();
  EXPECT_EQ(std::count(file.begin(), file.end(), german), 1);
  EXPECT_EQ(std::count(file.begin(), file.end(), ">>>>>    DNS Lookup setIP (base)"), 0);
  size_t at = 0;
  for (const std::string& m : file) {
    while (at < sent.size() && sent[at] != m) ++at;
    ASSERT_LT(at, sent.size()) << "not broadcast in order: " << m;
  }

  // Level 99 silences it.
  const size_t before = svc.Events(Server::Broadcast).size();
  WriteIni(
      "[ACCOUNT]\r\nAccount=kim\r\nDomain=dyn.example\r\nPasswd=e10adc3949ba59abbe56e057f20f883e\r\n"
      "[LOGGING]\r\nLevel=99\r\n[OPTIONS]\r\nBroadcast=1\r\n");
  LoadConfig();
  WriteLog(">>>>>    not broadcast", 10);
  RunFor(ms(200));
  EXPECT_EQ(svc.Events(Server::Broadcast).size(), before);
  EXPECT_EQ(Count(">>>>>    not broadcast", 10), 1u);
}

}  // namespace
