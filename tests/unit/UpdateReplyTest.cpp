// The update reply: reading, the timers it switches, the command steps.
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

class UpdateReplyTest : public EngineTest {
protected:
  void SetUp() override {
    EngineTest::SetUp();
    StartWithAccount();
    Values.UpdateServerAddress = "127.0.0.21";
  }
  // A whole update: tick, connection, request, this reply in one piece.
  void Reply(const std::string& reply) {
    engine->TimerSetIPTimer();
    auto s = loop.LastStream();
    loop.CompleteConnect(s, 0);
    loop.RunDue();
    loop.Deliver(s, reply);
    loop.RunDue();
    EXPECT_TRUE(s->closed);
  }
  std::string Ini(const std::string& key) {
    return plat::IniFile(dir.path() + "/corvilink.ini").ReadString("ACCOUNT", key, "<none>");
  }
};

TEST_F(UpdateReplyTest, TheAddressAloneIsASuccessWithEveryDefault) {
  Values.ec = 3;
  Values.ec2 = 2;
  Values.ec3 = 1;
  Values.DNSProblem = 5;
  Values.DNSDiff = 4;
  Values.Tariff = "HA";
  Values.ServerMessage = "old";
  Reply("IP:1.2.3.4\r\n");
  EXPECT_EQ(Values.DetectedIP, "1.2.3.4");
  EXPECT_EQ(Values.CurrentIP, "1.2.3.4");
  EXPECT_EQ(Values.Tariff, "");
  EXPECT_EQ(Values.ServerMessage, "");
  EXPECT_EQ(Values.SetIPInterval, 1800000);
  EXPECT_EQ(Values.MyIPInterval, 60000);
  EXPECT_EQ(Values.ec, 0u);
  EXPECT_EQ(Values.ec2, 0u);
  EXPECT_EQ(Values.ec3, 0u);
  EXPECT_EQ(Values.DNSProblem, 0);
  EXPECT_EQ(Values.DNSDiff, 4u);
  EXPECT_TRUE(engine->TimerSetIP.Enabled());
  EXPECT_EQ(engine->TimerSetIP.Interval(), 1800000u);
  EXPECT_TRUE(engine->TimerMyIP.Enabled());
  EXPECT_EQ(engine->TimerMyIP.Interval(), 60000u);
  EXPECT_FALSE(engine->TimerHeartBeat.Enabled());
  EXPECT_FALSE(engine->TimerKill.Enabled());
  EXPECT_FALSE(Values.LastUpdateTime.empty());
  EXPECT_TRUE(Logged(">>>>>    Update successfully done!", 10));
  EXPECT_TRUE(Logged("Debug    setIP-Return: [IP:1.2.3.4\r]", 40));
}

TEST_F(UpdateReplyTest, AReplyNotStartingWithTheAddressKeyIsAnUpdateError) {
  for (const char* reply : {" IP:1.2.3.4\r\n", "ip:1.2.3.4\r\n", "garbage", "\x01\xff"}) {
    Values.ec = 0;
    engine->TimerHeartBeat.SetEnabled(true);
    engine->TimerKill.SetEnabled(true);
    engine->TimerDNSCheck.SetEnabled(true);
    engine->TimerSleep.SetEnabled(true);
    Reply(reply);
    EXPECT_EQ(Values.ec, 1u) << reply;
    EXPECT_TRUE(engine->TimerSetIP.Enabled()) << reply;
    EXPECT_EQ(engine->TimerSetIP.Interval(), 900000u) << reply;
    EXPECT_FALSE(engine->TimerMyIP.Enabled()) << reply;
    EXPECT_TRUE(engine->TimerDNS.Enabled()) << reply;
    EXPECT_FALSE(engine->TimerDNSCheck.Enabled()) << reply;
    EXPECT_FALSE(engine->TimerSleep.Enabled()) << reply;
    // A running heartbeat and a pending exit stay as they are.
    EXPECT_TRUE(engine->TimerHeartBeat.Enabled()) << reply;
    EXPECT_TRUE(engine->TimerKill.Enabled()) << reply;
  }
  EXPECT_TRUE(Logged(">>>>>    Update Error!", 30));
}

TEST_F(UpdateReplyTest, UpdateAndQueryPeriods) {
  const struct {
    const char* reply;
    int32_t setIP, myIP;
  } cases[] = {
      {"IP:1.2.3.4 SI:30 MI:45\r\n", 30000, 45000},
      {"IP:1.2.3.4 SI:1 MI:0\r\n", 1800000, 60000},
      {"IP:1.2.3.4 SI:123456 MI:99999\r\n", 1800000, 99999000},
      {"IP:1.2.3.4 SI:2 MI:$10\r\n", 2000, 16000},
      {"IP:1.2.3.4 SI: MI:-5\r\n", 1800000, 60000},
  };
  for (const auto& c : cases) {
    Reply(c.reply);
    EXPECT_EQ(Values.SetIPInterval, c.setIP) << c.reply;
    EXPECT_EQ(Values.MyIPInterval, c.myIP) << c.reply;
    EXPECT_EQ(engine->TimerSetIP.Interval(), uint32_t(c.setIP)) << c.reply;
    EXPECT_EQ(engine->TimerMyIP.Interval(), uint32_t(c.myIP)) << c.reply;
  }
}

TEST_F(UpdateReplyTest, HeartBeatNeedsAValidPeriodATwentyCharacterCodeAndItsTariff) {
  const struct {
    std::string reply;
    bool on;
    uint32_t interval;
    std::string code;
  } cases[] = {
      {std::string("IP:1.2.3.4 DT:HA HI:299 HB:") + kCode20 + "\r\n", true, 299000, kCode20},
      {std::string("IP:1.2.3.4 DT:HB HI:0 HB:") + kCode20 + "\r\n", false, 0, ""},
      {std::string("IP:1.2.3.4 DT:HC HI:300 HB:") + kCode20 + "\r\n", false, 0, ""},
      {"IP:1.2.3.4 DT:HA HI:10 HB:SHORT\r\n", false, 10000, ""},
      // Exactly 20 characters, not 19 or 21.
      {std::string("IP:1.2.3.4 DT:HA HI:10 HB:") + std::string(kCode20).substr(1) + "\r\n", false, 10000, ""},
      {std::string("IP:1.2.3.4 DT:HA HI:10 HB:") + kCode20 + "Z\r\n", false, 10000, ""},
      {std::string("IP:1.2.3.4 DT:PA HI:10 HB:") + kCode20 + "\r\n", false, 10000, kCode20},
      // HIP without HI counts as HI with the empty value: one second.
      {std::string("IP:1.2.3.4 DT:HA HIP:5.6.7.8 HB:") + kCode20 + "\r\n", true, 1000, kCode20},
  };
  for (const auto& c : cases) {
    engine->TimerHeartBeat.SetInterval(0);
    Reply(c.reply);
    EXPECT_EQ(engine->TimerHeartBeat.Enabled(), c.on) << c.reply;
    if (c.interval) {
      EXPECT_EQ(engine->TimerHeartBeat.Interval(), c.interval) << c.reply;
    }
    EXPECT_EQ(Values.HeartBeatCode, c.code) << c.reply;
  }
  EXPECT_TRUE(Logged(">>>>>    HeartBeat activ!", 20));
}

TEST_F(UpdateReplyTest, TheLettersRIAnywhereStartTheRandomLookupEverySecond) {
  Reply("IP:1.2.3.4 MESS:TRIBUTE\r\n");
  EXPECT_TRUE(engine->TimerDNSRandom.Enabled());
  EXPECT_EQ(engine->TimerDNSRandom.Interval(), 1000u);
  Reply("IP:1.2.3.4 RI:0\r\n");
  EXPECT_FALSE(engine->TimerDNSRandom.Enabled());
  Reply("IP:1.2.3.4 RI:7\r\n");
  EXPECT_EQ(engine->TimerDNSRandom.Interval(), 7000u);
}

TEST_F(UpdateReplyTest, TheOwnHostCheckNeedsAtLeastTwoSeconds) {
  Reply("IP:1.2.3.4 CI:60\r\n");
  EXPECT_TRUE(engine->TimerDNSCheck.Enabled());
  EXPECT_EQ(engine->TimerDNSCheck.Interval(), 60000u);
  Reply("IP:1.2.3.4 CI:1\r\n");
  EXPECT_FALSE(engine->TimerDNSCheck.Enabled());
}

TEST_F(UpdateReplyTest, TheMessageRunsFromTheFirstMarkerToTheEnd) {
  Reply("IP:1.2.3.4 DT:PB MESS:hello MESS: again\r\n");
  EXPECT_EQ(Values.ServerMessage, "hello MESS: again\r\n");
  EXPECT_EQ(Values.Tariff, "PB");
}

TEST_F(UpdateReplyTest, ExitStopsBothTimersAndALaterReplyCancelsIt) {
  Reply("IP:1.2.3.4 SI:30 EXIT:1\r\n");
  EXPECT_TRUE(Logged(">>>>>    KILL/EXIT Timer started!", 10));
  EXPECT_FALSE(Logged(">>>>>    Update successfully done!", 10));
  EXPECT_FALSE(engine->TimerSetIP.Enabled());
  EXPECT_FALSE(engine->TimerMyIP.Enabled());
  EXPECT_TRUE(engine->TimerKill.Enabled());
  EXPECT_EQ(engine->TimerKill.Interval(), 60000u);
  Reply("IP:1.2.3.4 EXIT:0\r\n");
  EXPECT_FALSE(engine->TimerKill.Enabled());
  EXPECT_TRUE(engine->TimerSetIP.Enabled());
}

TEST_F(UpdateReplyTest, KillInstWipesTheStoredAccountOfThisInstanceOnly) {
  Reply("IP:1.2.3.4 KillInst:zzz\r\n");
  EXPECT_EQ(Ini("Account"), "kim");
  Reply("IP:1.2.3.4 KillInst:" + Values.Session + "\r\n");
  EXPECT_EQ(Ini("Account"), "x");
  EXPECT_EQ(Ini("Domain"), "x");
  EXPECT_EQ(Ini("Passwd"), "x");
  EXPECT_EQ(Values.Account, "kim");  // memory keeps its values until the next load
  // The next tick loads the wiped account and stops at the account guard.
  size_t streams = loop.Streams().size();
  engine->TimerSetIPTimer();
  EXPECT_EQ(loop.Streams().size(), streams);
}

TEST_F(UpdateReplyTest, AccountStateCodes) {
  Reply("IP:1.2.3.4 C1:1\r\n");
  EXPECT_TRUE(Values.Deactivated);
  EXPECT_EQ(Ini("DEACTIVATED"), "1");
  EXPECT_TRUE(Logged(">>>>>    Der Account ist deaktiviert!", 10));
  EXPECT_TRUE(Logged(">>>>>    Update successfully done!", 10));
  Values.Deactivated = false;

  Reply("IP:1.2.3.4 C1:10\r\n");
  EXPECT_TRUE(Values.ConfigError);
  EXPECT_EQ(Ini("CONFIGERROR"), "1");
  EXPECT_TRUE(Logged(">>>>>    \xDC" "berpr\xFC" "fen Sie bitte Ihre Login-Daten!", 10));
  Values.ConfigError = false;
  plat::IniFile(dir.path() + "/corvilink.ini").WriteBool("ACCOUNT", "CONFIGERROR", false);

  Reply("IP:1.2.3.4 C1:99 M1:Bitte zahlen\r\n");
  EXPECT_TRUE(Logged(">>>>>    Bitte zahlen", 10));
  EXPECT_FALSE(Values.ConfigError);
  EXPECT_FALSE(Values.Deactivated);
  // Such codes keep the normal periods.
  EXPECT_EQ(engine->TimerSetIP.Interval(), 1800000u);
}

TEST_F(UpdateReplyTest, DnsOneIgnoresTheServerAddresses) {
  Reply("IP:1.2.3.4 DNS:1 SIP:9.9.9.9 MIP:8.8.8.8\r\n");
  EXPECT_EQ(Values.UpdateServerAddress, "127.0.0.21");
  EXPECT_EQ(Values.MyIPServerAddress, "0.0.0.0");
  EXPECT_TRUE(engine->TimerDNS.Enabled());
  Reply("IP:1.2.3.4 MIP:127.0.0.31 SIP:999.1.1.1 HIP:bad\r\n");
  EXPECT_EQ(Values.MyIPServerAddress, "127.0.0.31");
  EXPECT_EQ(Values.UpdateServerAddress, "999.1.1.1");
  EXPECT_EQ(Values.HeartBeatServerAddress, "0.0.0.0");
}

TEST_F(UpdateReplyTest, TheFirstOccurrenceOfAKeyWins) {
  Reply("IP:1.2.3.4 DT:PA DT:BB\r\n");
  EXPECT_EQ(Values.Tariff, "PA");
}

TEST_F(UpdateReplyTest, AReplyWithoutLineEndIsCarriedOutInFull) {
  Reply("IP:1.2.3.4 DT:BC");
  EXPECT_EQ(Values.Tariff, "BC");
  EXPECT_TRUE(Logged("Debug    setIP-Return: [IP:1.2.3.4 DT:B]", 40));
  EXPECT_TRUE(Logged(">>>>>    Update successfully done!", 10));
}

TEST_F(UpdateReplyTest, SleepPeriodsAreClampedToTheTimerMaximum) {
  const struct {
    const char* value;
    uint32_t interval;
  } cases[] = {{"5", 5000}, {"0", 0}, {"3000000", 2147483647u}, {"-5", 2147483647u}};
  for (const auto& c : cases) {
    Values.Sleeping = false;
    Reply(std::string("IP:1.2.3.4 SLEEP:") + c.value + "\r\n");
    EXPECT_TRUE(Values.Sleeping) << c.value;
    EXPECT_TRUE(engine->TimerSleep.Enabled()) << c.value;
    EXPECT_EQ(engine->TimerSleep.Interval(), c.interval) << c.value;
    EXPECT_TRUE(Logged(std::string(">>>>>    Sleep for ") + c.value + " Seconds received!", 10));
  }
}

TEST_F(UpdateReplyTest, AMalformedValueAfterTheTimersWereOffRetriesLater) {
  for (const char* reply : {"IP:1.2.3.4 SI:abc\r\n", "IP:1.2.3.4 C1:1x\r\n", "IP:1.2.3.4 SLEEP:soon\r\n"}) {
    Values.ec = Values.ec3 = 0;
    Values.Sleeping = false;
    Reply(reply);
    EXPECT_EQ(Values.ec, 1u) << reply;
    EXPECT_EQ(Values.ec3, 1u) << reply;
    EXPECT_TRUE(engine->TimerDNS.Enabled()) << reply;
    EXPECT_TRUE(engine->TimerSetIP.Enabled()) << reply;
    EXPECT_EQ(engine->TimerSetIP.Interval(), 900000u) << reply;
    EXPECT_FALSE(engine->TimerMyIP.Enabled()) << reply;
    EXPECT_FALSE(Values.Sleeping) << reply;
  }
  EXPECT_TRUE(Logged("Alert!   setIP DataAvailable Exception:", 20));
  EXPECT_TRUE(Logged("Alert!   'soon' ist kein g\xFCltiger Integerwert", 30));
}

TEST_F(UpdateReplyTest, ErrorCodeAndEmptyDataCountWithoutTouchingTimers) {
  engine->TimerSetIP.SetEnabled(true);
  engine->TimerDNS.SetEnabled(false);
  engine->SSetIPDataAvailable(10054);
  EXPECT_EQ(Values.ec, 1u);
  EXPECT_TRUE(engine->TimerDNS.Enabled());
  EXPECT_TRUE(Logged("Debug    setIP could not be done (a)", 40));
  engine->SSetIPDataAvailable(0);  // nothing received
  EXPECT_EQ(Values.ec, 2u);
  EXPECT_TRUE(Logged("Debug    setIP could not be done (b)", 40));
  EXPECT_TRUE(engine->TimerSetIP.Enabled());
}

TEST_F(UpdateReplyTest, TheIPv6SwitchFollowsTheServer) {
  const struct {
    const char* reply;
    bool before;
    bool after;
    const char* logLine;
    const char* stored;
  } cases[] = {
      {"IP:1.2.3.4\r\n", true, false, ">>>>>    Dv6 1 > 0", "0"},
      {"IP:1.2.3.4\r\n", false, false, nullptr, "<none>"},
      {"IP:1.2.3.4 Dv6:1\r\n", false, true, ">>>>>    Dv6 0 > 1", "1"},
      {"IP:1.2.3.4 Dv6:2\r\n", false, false, nullptr, "<none>"},
      {"IP:1.2.3.4 Dv6:1\r\n", true, true, nullptr, "1"},  // left as it was
      {"IP:1.2.3.4 Dv6:0\r\n", true, false, ">>>>>    Dv6 1 > 0", "0"},
  };
  for (const auto& c : cases) {
    WriteIni("[ACCOUNT]\r\nAccount=kim\r\nDomain=dyn.example\r\nPasswd=abcdef\r\n" +
             std::string(c.before ? "Dv6=1\r\n" : "") + "[LOGGING]\r\nLevel=40\r\n");
    // Dv6 is reloaded with the request, so the file decides "before".
    size_t before = Log().size();
    loop.httpOk = false;
    Reply(c.reply);
    EXPECT_EQ(Values.IPv6Enabled, c.after) << c.reply << c.before;
    EXPECT_EQ(Ini("Dv6"), c.stored) << c.reply << c.before;
    auto log = Log();
    bool switched = std::any_of(log.begin() + before, log.end(),
                                [](const std::string& l) { return l.find("Dv6 ") != std::string::npos; });
    EXPECT_EQ(switched, c.logLine != nullptr) << c.reply << c.before;
    if (c.logLine) {
      EXPECT_TRUE(Logged(c.logLine, 10));
    }
  }
}

}  // namespace
