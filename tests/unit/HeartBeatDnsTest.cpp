// The heartbeat tick and the two DNS checks.
#include <gtest/gtest.h>

#include <algorithm>

#include "CorvilinkClient.h"
#include "CorvilinkProcedures.h"
#include "EngineFixture.h"
#include "IniFile.h"

using namespace corvilink;
using corvitest::EngineTest;

namespace {

const char kCode20[] = "ABCDEFGHIJ0123456789";

class CheckTest : public EngineTest {
protected:
  void SetUp() override {
    EngineTest::SetUp();
    StartWithAccount();
    Values.Session = "abc";
  }
  // One own-host check answered with these addresses (empty: no answer).
  void Check(std::vector<std::string> answer, int err = 0) {
    engine->TimerDNSCheckTimer();
    ASSERT_EQ(loop.LastLookup()->name, "kim.dyn.example");
    loop.Answer(loop.LastLookup(), err, std::move(answer));
    loop.RunDue();
  }
  std::string Ini(const std::string& key) {
    return plat::IniFile(dir.path() + "/corvilink.ini").ReadString("ACCOUNT", key, "<none>");
  }
};

TEST_F(CheckTest, TheHeartBeatSendsTheCodeAndTheLocalNotice) {
  Values.HeartBeatServerAddress = "127.0.0.41";
  Values.HeartBeatCode = kCode20;
  engine->TimerHeartBeatTimer();
  ASSERT_EQ(loop.datagrams.size(), 2u);
  EXPECT_EQ(loop.datagrams[0].addr, "127.0.0.41");
  EXPECT_EQ(loop.datagrams[0].port, 910);
  EXPECT_EQ(loop.datagrams[0].bytes, kCode20);
  EXPECT_FALSE(loop.datagrams[0].broadcast);
  EXPECT_EQ(loop.datagrams[1].addr, "10.1.2.3");  // first address of the host name
  EXPECT_EQ(loop.datagrams[1].port, 900);
  EXPECT_EQ(loop.datagrams[1].bytes, std::string("Corvilink;abc;") + kCode20);
  EXPECT_EQ(loop.datagrams[1].bytes.size(), 34u);
  EXPECT_TRUE(Logged("Debug    ..... HeartBeat socket [127.0.0.41]", 40));
  EXPECT_TRUE(Logged(std::string("Debug    HeartBeat: [") + kCode20 + "]", 40));
  EXPECT_EQ(engine->SHeartBeat.State(), plat::SocketState::Closed);
}

TEST_F(CheckTest, TheHeartBeatGuards) {
  Values.HeartBeatCode = kCode20;
  // Unknown server: only the socket line.
  engine->TimerHeartBeatTimer();
  EXPECT_TRUE(loop.datagrams.empty());
  EXPECT_TRUE(Logged("Debug    ..... HeartBeat socket [0.0.0.0]", 40));

  Values.HeartBeatServerAddress = "127.0.0.41";
  for (bool* flag : {&Values.Sleeping, &Values.Deactivated, &Values.ConfigError}) {
    *flag = true;
    size_t lines = Log().size();
    engine->TimerHeartBeatTimer();
    EXPECT_TRUE(loop.datagrams.empty());
    EXPECT_EQ(Log().size(), lines);
    *flag = false;
  }

  // Offline doesn't matter.
  Values.Offline = true;
  engine->TimerHeartBeatTimer();
  EXPECT_EQ(loop.datagrams.size(), 2u);

  // The daemon while the desktop program runs: off, nothing sent.
  loop.datagrams.clear();
  Values.IsDaemon = Values.WindowsClientRunning = true;
  engine->TimerHeartBeat.SetEnabled(true);
  engine->TimerHeartBeatTimer();
  EXPECT_FALSE(engine->TimerHeartBeat.Enabled());
  EXPECT_TRUE(loop.datagrams.empty());
}

TEST_F(CheckTest, ALocalHostWithoutAddressCostsOnlyTheNotice) {
  Values.HeartBeatServerAddress = "127.0.0.41";
  Values.HeartBeatCode = kCode20;
  loop.hostAddresses.clear();
  engine->TimerHeartBeatTimer();
  ASSERT_EQ(loop.datagrams.size(), 1u);
  EXPECT_EQ(loop.datagrams[0].port, 910);
  EXPECT_EQ(Values.ec3, 1u);
  EXPECT_TRUE(Logged("Alert!   HeartBeatTimer Exception", 20));
  EXPECT_EQ(Values.ec, 0u);
}

TEST_F(CheckTest, AMatchingAnswerResetsTheCountAndReArms) {
  Values.DetectedIP = "5.6.7.8";
  Values.DNSDiff = 3;
  engine->TimerDNSCheck.SetInterval(60000);
  Check({"1.1.1.1", "2.2.2.2", "5.6.7.8", "9.9.9.9"});
  EXPECT_EQ(Values.ResolvedOwnIP, "1.1.1.1, 2.2.2.2, 5.6.7.8");
  EXPECT_EQ(Values.DNSDiff, 0u);
  EXPECT_TRUE(engine->TimerDNSCheck.Enabled());
  EXPECT_EQ(engine->TimerDNSCheck.Interval(), 60000u);
  EXPECT_TRUE(Logged("Debug    resolved my own IP: [1.1.1.1, 2.2.2.2, 5.6.7.8]", 40));
}

TEST_F(CheckTest, SevenMismatchesReactSixTimes) {
  Values.DetectedIP = "5.6.7.8";
  engine->TimerSetIP.SetInterval(30000);
  for (int i = 1; i <= 7; ++i) {
    engine->TimerSetIP.SetInterval(30000);
    Check({"1.1.1.1"});
    EXPECT_EQ(Values.DNSDiff, uint32_t(i));
    EXPECT_EQ(engine->TimerSetIP.Interval(), i <= 6 ? 2500u : 30000u) << i;
    EXPECT_FALSE(engine->TimerDNSCheck.Enabled());
  }
  EXPECT_EQ(Count(">>>>>    IP difference detected!", 20), 6u);
}

TEST_F(CheckTest, TheMarkerFirstDeactivates) {
  Values.DetectedIP = "5.6.7.8";
  engine->TimerDNSRandom.SetInterval(5000);
  engine->TimerDNSRandom.SetEnabled(true);
  Check({"127.0.0.9", "5.6.7.8"});
  EXPECT_TRUE(Values.Deactivated);
  EXPECT_EQ(Ini("DEACTIVATED"), "1");
  EXPECT_EQ(Values.ResolvedOwnIP, "127.0.0.9, 5.6.7.8");
  EXPECT_TRUE(Logged(">>>>>    Der Account ist deaktiviert!  (DNS)", 10));
  EXPECT_TRUE(engine->TimerDNSCheck.Enabled());
  EXPECT_EQ(engine->TimerDNSCheck.Interval(), 900000u);
  EXPECT_TRUE(engine->TimerSetIP.Enabled());
  EXPECT_EQ(engine->TimerSetIP.Interval(), 21600000u);
  EXPECT_FALSE(engine->TimerMyIP.Enabled());
  EXPECT_EQ(engine->TimerMyIP.Interval(), 0u);
  EXPECT_FALSE(engine->TimerDNSRandom.Enabled());
  EXPECT_EQ(engine->TimerDNSRandom.Interval(), 0u);

  // A private answer keeps the flag; a public matching one clears it.
  Check({"192.168.1.1"});
  EXPECT_TRUE(Values.Deactivated);
  EXPECT_EQ(Values.DNSDiff, 999u);
  engine->TimerSetIP.SetInterval(30000);
  Check({"5.6.7.8"});
  EXPECT_FALSE(Values.Deactivated);
  EXPECT_EQ(Ini("DEACTIVATED"), "0");
  EXPECT_EQ(engine->TimerSetIP.Interval(), 21600000u);
  EXPECT_EQ(Values.DNSDiff, 0u);
  EXPECT_EQ(engine->TimerDNSCheck.Interval(), 900000u);
  EXPECT_TRUE(engine->TimerDNSCheck.Enabled());
}

TEST_F(CheckTest, TheMarkerSecondIsAnOrdinaryAddress) {
  Values.DetectedIP = "127.0.0.9";
  Check({"5.6.7.8", "127.0.0.9"});
  EXPECT_FALSE(Values.Deactivated);
  EXPECT_EQ(Values.DNSDiff, 0u);
}

TEST_F(CheckTest, PrivateAnswersAreReportedAndMismatchesThenSilent) {
  Values.DetectedIP = "5.6.7.8";
  Check({"10.0.0.1"});
  EXPECT_EQ(Values.DNSDiff, 999u);
  EXPECT_TRUE(Logged(">>>>>    resolved own IP is private!", 20));
  EXPECT_TRUE(Logged(">>>>>    Please check your local DNS configuration!", 20));
  Check({"1.1.1.1"});
  EXPECT_EQ(Values.DNSDiff, 1000u);
  EXPECT_EQ(Count(">>>>>    IP difference detected!", 20), 0u);
  // Loopback is neither private nor the marker.
  Check({"127.0.0.1"});
  EXPECT_EQ(Values.DNSDiff, 1001u);
}

TEST_F(CheckTest, NoAnswerCountsAndKeepsTheLastResult) {
  Values.ResolvedOwnIP = "1.2.3.4";
  Check({}, 3);
  Check({}, 0);
  EXPECT_EQ(Values.DNSProblem, 2);
  EXPECT_EQ(Values.ResolvedOwnIP, "1.2.3.4");
  EXPECT_EQ(Count(">>>>>    Can`t resolve my own IP!", 20), 2u);
  EXPECT_FALSE(engine->TimerDNSCheck.Enabled());
}

TEST_F(CheckTest, TheCheckRunsWithEmptyAccountDataAndEveryFlag) {
  WriteIni("[ACCOUNT]\r\nAccount=\r\nDomain=\r\n[LOGGING]\r\nLevel=40\r\n");
  Values.Sleeping = Values.Deactivated = true;
  engine->TimerDNSCheckTimer();
  EXPECT_EQ(loop.LastLookup()->name, ".");
}

TEST_F(CheckTest, ANewLookupCancelsThePendingOne) {
  Values.DetectedIP = "5.6.7.8";
  engine->TimerDNSCheckTimer();
  auto first = loop.LastLookup();
  engine->TimerDNSCheckTimer();
  loop.Answer(first, 0, {"1.1.1.1"});
  loop.RunDue();
  EXPECT_EQ(Values.DNSDiff, 0u);
  EXPECT_EQ(Values.ResolvedOwnIP, "");
}

TEST_F(CheckTest, TheRandomLookupReArmsItselfWhileItHasAnInterval) {
  engine->TimerDNSRandom.SetInterval(3000);
  engine->TimerDNSRandom.SetEnabled(true);
  loop.Advance(3000);
  ASSERT_FALSE(loop.Lookups().empty());
  std::string name = loop.LastLookup()->name;
  ASSERT_EQ(name.size(), 10u);
  EXPECT_EQ(name.substr(6), ".com");
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(name[i] >= 'a' && name[i] <= 'y') << name;
  EXPECT_FALSE(engine->TimerDNSRandom.Enabled());
  loop.Answer(loop.LastLookup(), 3, {});  // a failure re-arms too
  loop.RunDue();
  EXPECT_TRUE(engine->TimerDNSRandom.Enabled());
  EXPECT_TRUE(Logged("Debug    ..... resolve random domain done", 40));

  // Interval 0 (deactivation meanwhile): a late answer doesn't re-arm.
  engine->TimerDNSRandomTimer();
  engine->TimerDNSRandom.SetInterval(0);
  loop.Answer(loop.LastLookup(), 0, {"1.2.3.4"});
  loop.RunDue();
  EXPECT_FALSE(engine->TimerDNSRandom.Enabled());
}

}  // namespace
