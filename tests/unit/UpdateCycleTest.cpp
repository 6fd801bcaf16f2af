// The update and IP-query ticks, server resolution, failure counters, sleep and exit.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>

#include "CorvilinkClient.h"
#include "CorvilinkProcedures.h"
#include "EngineFixture.h"
#include "Endpoints.h"

using namespace corvilink;
using corvitest::EngineTest;

namespace {

class UpdateCycleTest : public EngineTest {
protected:
  void SetUp() override {
    EngineTest::SetUp();
    WriteIni(
        "[ACCOUNT]\r\nAccount=kim\r\nDomain=dyn.example\r\nPasswd=0123456789abcdef\r\n"
        "[LOGGING]\r\nLevel=40\r\n");
    CreateEngine();
    engine->StartEngine("W");
    bannerLines = Log().size();
  }
  // The messages logged since the start banner, without the session tag.
  std::vector<std::string> NewLog() const {
    std::vector<std::string> out;
    auto all = Log();
    for (size_t i = bannerLines; i < all.size(); ++i) out.push_back(all[i].substr(Values.Session.size() + 1));
    return out;
  }
  bool Logged(const std::string& msg, uint8_t level) const {
    levels.Expect(msg, level);
    auto log = NewLog();
    return std::find(log.begin(), log.end(), msg) != log.end();
  }
  size_t bannerLines = 0;
};

TEST_F(UpdateCycleTest, TheLookupWalksTheFourHostsByTheErrorCount) {
  const struct {
    uint32_t ec;
    const char* host;
    const char* line;
  } cases[] = {
      {0, "update1.corvilink.example", ">>>>>    DNS Lookup setIP (base)"},
      {1, "update2.corvilink.example", ">>>>>    DNS Lookup setIP (2nd)"},
      {2, "update3.corvilink.example", ">>>>>    DNS Lookup setIP (3rd)"},
      {3, "update4.corvilink.example", ">>>>>    DNS Lookup setIP (4th)"},
      {4, "update1.corvilink.example", ">>>>>    DNS Lookup setIP (base)"},
      {5, "update2.corvilink.example", ">>>>>    DNS Lookup setIP (2nd)"},
  };
  for (const auto& c : cases) {
    Values.ec = c.ec;
    engine->TimerDNS.SetEnabled(true);
    size_t before = NewLog().size();
    engine->TimerTimerDNS();
    ASSERT_NE(loop.LastLookup(), nullptr);
    EXPECT_EQ(loop.LastLookup()->name, c.host) << c.ec;
    auto log = NewLog();
    ASSERT_EQ(log.size(), before + 2);
    EXPECT_EQ(log[before], "Debug    ..... DNS ");
    EXPECT_EQ(log[before + 1], c.line);
    }
}

TEST_F(UpdateCycleTest, TheFirstLookupRunsOneSecondAfterCreationAndSetsTheAddress) {
  loop.SetDns("update1.corvilink.example", 0, {"127.0.0.21", "127.0.0.99"}, 5);
  // Created at 0; the start's pause for the local addresses took 1 ms.
  ASSERT_EQ(loop.Now(), 1u);
  loop.Advance(998);
  EXPECT_TRUE(loop.Lookups().empty());
  loop.Advance(1);
  ASSERT_EQ(loop.Lookups().size(), 1u);
  loop.Advance(5);
  EXPECT_EQ(Values.UpdateServerAddress, "127.0.0.21");
  EXPECT_TRUE(Logged(">>>>>    DNS Lookup success (SetIP)! [127.0.0.21]", 20));
  EXPECT_TRUE(Logged("Debug    ..... setIP DNS lookup done", 40));
  // One shot.
  loop.Advance(10000);
  EXPECT_EQ(loop.Lookups().size(), 1u);
}

TEST_F(UpdateCycleTest, AFailedLookupFallsBackToAddressA) {
  for (int round = 1; round <= 2; ++round) {
    engine->TimerTimerDNS();
    loop.Answer(loop.LastLookup(), 11001, {});
    loop.RunDue();
    EXPECT_EQ(Values.UpdateServerAddress, "192.0.2.10");
    EXPECT_EQ(Values.DNSProblem, round);
  }
  EXPECT_TRUE(Logged(">>>>>    DNS Lookup fail (SetIP)! Using: 192.0.2.10", 20));
}

TEST_F(UpdateCycleTest, TheUpdateTickConnectsToPort900OrTo80AtEveryFifthError) {
  const struct {
    uint32_t ec;
    uint16_t port;
  } cases[] = {{0, 900}, {4, 900}, {5, 80}, {6, 900}, {9, 900}, {10, 80}, {15, 80}, {16, 900}};
  Values.UpdateServerAddress = "127.0.0.21";
  for (const auto& c : cases) {
    Values.ec = c.ec;
    size_t before = NewLog().size();
    engine->TimerSetIPTimer();
    auto s = loop.LastStream();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->addr, "127.0.0.21") << c.ec;
    EXPECT_EQ(s->port, c.port) << c.ec;
    auto log = NewLog();
    bool port80Line = std::find(log.begin() + before, log.end(), ">>>>>    setIP using Port 80") != log.end();
    EXPECT_EQ(port80Line, c.port == 80) << c.ec;
    EXPECT_EQ(Values.ec, c.ec) << "a good attempt counts nothing";
  }
}

TEST_F(UpdateCycleTest, AnUnknownServerAddressCountsAFailureAtEveryTick) {
  // No look-up has finished: the address is still 0.0.0.0.
  loop.Advance(5000);  // first update tick (and the pending look-up stays unanswered)
  EXPECT_EQ(Values.ec, 1u);
  EXPECT_TRUE(engine->TimerDNS.Enabled());
  EXPECT_TRUE(Logged("Debug    no SetIP cause no valid socket IP", 40));
  EXPECT_EQ(engine->TimerSetIP.Interval(), 30000u);
  loop.Advance(30000);
  EXPECT_EQ(Values.ec, 2u);
  EXPECT_TRUE(loop.Streams().empty());
}

TEST_F(UpdateCycleTest, ATickClosesAConnectionStillBeingMade) {
  Values.UpdateServerAddress = "127.0.0.21";
  engine->TimerSetIPTimer();
  auto first = loop.LastStream();
  EXPECT_FALSE(first->closed);
  engine->TimerSetIPTimer();
  EXPECT_TRUE(first->closed);
  EXPECT_NE(loop.LastStream(), first);
  EXPECT_EQ(Values.ec, 0u);
}

// Behind a firewall that drops, no connect is ever answered: each is given up
// after 21 s as a connect problem, counted and retried on the failure schedule.
TEST_F(UpdateCycleTest, AConnectWithoutAnswerIsAConnectProblemAfter21Seconds) {
  loop.SetDns("update1.corvilink.example", 0, {"127.0.0.21"});
  loop.Advance(5000);  // the first tick, after the first look-up
  auto s = loop.LastStream();
  ASSERT_NE(s, nullptr);
  loop.Advance(20999);
  EXPECT_EQ(Values.ec, 0u);
  loop.Advance(1);
  EXPECT_EQ(Values.ec, 1u);
  EXPECT_TRUE(s->closed);
  EXPECT_EQ(Count(">>>>>    setIP socket connect problem [127.0.0.21]", 30), 1u);
  EXPECT_EQ(engine->TimerSetIP.Interval(), 5000u);
}

TEST_F(UpdateCycleTest, TheTickSwitchesTheOwnHostCheckOffBeforeConnecting) {
  Values.UpdateServerAddress = "127.0.0.21";
  engine->TimerDNSCheck.SetEnabled(true);
  engine->TimerSetIPTimer();
  EXPECT_FALSE(engine->TimerDNSCheck.Enabled());
}

TEST_F(UpdateCycleTest, AConnectThatCannotBeSetUpIsReportedAsSocketError) {
  Values.UpdateServerAddress = "999.1.1.1";  // the shape passes, the address doesn't
  engine->TimerDNS.SetEnabled(false);
  engine->TimerSetIPTimer();
  EXPECT_EQ(Values.ec, 1u);
  EXPECT_EQ(Values.ec3, 0u);
  EXPECT_TRUE(engine->TimerDNS.Enabled());
  EXPECT_TRUE(Logged("Alert!   setIP-Error", 20));
}

TEST_F(UpdateCycleTest, FlagsStopBothTicksSilently) {
  Values.UpdateServerAddress = Values.MyIPServerAddress = "127.0.0.21";
  for (bool* flag : {&Values.Sleeping, &Values.Deactivated, &Values.ConfigError}) {
    Values.Sleeping = Values.Deactivated = Values.ConfigError = false;
    *flag = true;
    size_t before = NewLog().size();
    engine->TimerSetIP.SetInterval(5000);
    engine->TimerMyIP.SetInterval(5000);
    engine->TimerSetIPTimer();
    engine->TimerMyIPTimer();
    EXPECT_EQ(NewLog().size(), before);
    EXPECT_TRUE(loop.Streams().empty());
    EXPECT_EQ(engine->TimerSetIP.Interval(), 30000u);
    EXPECT_EQ(engine->TimerMyIP.Interval(), 30000u);
  }
}

TEST_F(UpdateCycleTest, TheDaemonReloadsTheFileEvenWhenAFlagStopsTheTick) {
  Values.Mode = "Daemon";
  Values.ConfigError = true;
  // The flag was cleared in the file: the reload clears it and the tick goes on.
  engine->TimerSetIPTimer();
  EXPECT_FALSE(Values.ConfigError);
  EXPECT_TRUE(Logged("Debug    ..... setIP socket [0.0.0.0]", 40));

  WriteIni("[ACCOUNT]\r\nCONFIGERROR=1\r\n[LOGGING]\r\nLevel=30\r\n");
  Values.ConfigError = false;
  engine->TimerSetIPTimer();
  EXPECT_TRUE(Values.ConfigError);
  EXPECT_EQ(Values.LogLevel, 30);
}

TEST_F(UpdateCycleTest, AShortAccountStopsAfterTheSocketLineWithoutAReason) {
  const struct {
    const char* account;
    const char* domain;
    const char* passwd;
    bool goesOn;
  } cases[] = {
      {"k", "dyn.example", "abc", false},
      {"ki", "dyn.example", "abc", true},
      {"kim", "d.e", "abc", false},
      {"kim", "d.ex", "abc", true},
      {"kim", "dyn.example", "ab", false},
  };
  Values.UpdateServerAddress = Values.MyIPServerAddress = "127.0.0.21";
  for (const auto& c : cases) {
    WriteIni(std::string("[ACCOUNT]\r\nAccount=") + c.account + "\r\nDomain=" + c.domain +
             "\r\nPasswd=" + c.passwd + "\r\n[LOGGING]\r\nLevel=40\r\n");
    size_t streams = loop.Streams().size();
    size_t before = NewLog().size();
    engine->TimerSetIPTimer();
    engine->TimerMyIPTimer();
    EXPECT_EQ(loop.Streams().size(), streams + (c.goesOn ? 2 : 0)) << c.account << " " << c.domain;
    if (!c.goesOn) {
      auto log = NewLog();
      ASSERT_EQ(log.size(), before + 2);
      EXPECT_EQ(log[before], "Debug    ..... setIP socket [127.0.0.21]");
      EXPECT_EQ(log[before + 1], "Debug    ..... myIP socket [127.0.0.21]");
    }
  }
}

TEST_F(UpdateCycleTest, OfflineAndTheRunningDesktopProgramStopBothTicks) {
  Values.UpdateServerAddress = Values.MyIPServerAddress = "127.0.0.21";
  WriteIni(
      "[ACCOUNT]\r\nAccount=kim\r\nDomain=dyn.example\r\nPasswd=abc\r\nOffline=1\r\n"
      "[LOGGING]\r\nLevel=40\r\n");
  engine->TimerSetIPTimer();
  engine->TimerMyIPTimer();
  EXPECT_TRUE(Logged("Debug    no SetIP cause offline mode", 40));
  EXPECT_TRUE(Logged("Debug    no myIP cause offline mode", 40));

  Values.IsDaemon = true;
  Values.WindowsClientRunning = true;
  engine->TimerSetIPTimer();
  engine->TimerMyIPTimer();
  EXPECT_TRUE(Logged("Debug    no SetIP cause Windows Client is runnig", 40));
  EXPECT_TRUE(Logged("Debug    no myIP cause Windows Client is runnig", 40));
  EXPECT_TRUE(loop.Streams().empty());
}

TEST_F(UpdateCycleTest, TheIPQueryTickConnectsToPort901) {
  Values.MyIPServerAddress = "127.0.0.31";
  engine->TimerMyIPTimer();
  auto s = loop.LastStream();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->addr, "127.0.0.31");
  EXPECT_EQ(s->port, 901);
  EXPECT_TRUE(Logged("Debug    ..... myIP socket [127.0.0.31]", 40));
}

TEST_F(UpdateCycleTest, TheIPQueryTickWithAnUnknownServerSaysNothing) {
  engine->TimerMyIP.SetEnabled(true);
  size_t before = NewLog().size();
  engine->TimerMyIPTimer();
  EXPECT_EQ(NewLog().size(), before);
  EXPECT_TRUE(loop.Streams().empty());
  EXPECT_EQ(Values.ec2, 0u);
}

TEST_F(UpdateCycleTest, EverySecondIPQueryFailureResolvesTheUpdateServerAgain) {
  engine->TimerDNS.SetEnabled(false);
  const bool armed[] = {false, true, false, true};
  for (int i = 0; i < 4; ++i) {
    engine->SMyIPError();
    EXPECT_EQ(Values.ec2, uint32_t(i + 1));
    EXPECT_EQ(engine->TimerDNS.Enabled(), armed[i]) << "failure " << i + 1;
    engine->TimerDNS.SetEnabled(false);
  }
}

TEST_F(UpdateCycleTest, SocketEventsLogAndCount) {
  const struct {
    const char* name;
    std::function<void(TCorvilinkC&)> fire;
    std::vector<std::string> lines;
    uint32_t ec, ec2;
    bool dnsArmed;
  } cases[] = {
      {"SMyIPError", [](TCorvilinkC& c) { c.SMyIPError(); }, {"Alert!   myIP-Error"}, 0, 1, false},
      {"SSetIPError", [](TCorvilinkC& c) { c.SSetIPError(); }, {"Alert!   setIP-Error"}, 1, 0, true},
      {"SMyIPBgException",
       [](TCorvilinkC& c) {
         bool canClose = false;
         c.SMyIPBgException(std::runtime_error("x"), canClose);
         EXPECT_TRUE(canClose);
       },
       {"Alert!   myIP-BG-Error"}, 0, 1, false},
      {"SSetIPBgException",
       [](TCorvilinkC& c) {
         bool canClose = false;
         c.SSetIPBgException(std::runtime_error("x"), canClose);
         EXPECT_TRUE(canClose);
       },
       {"Alert!   setIP-BG-Error"}, 1, 0, true},
      {"SHeartBeatBgException",
       [](TCorvilinkC& c) {
         bool canClose = false;
         c.SHeartBeatBgException(std::runtime_error("x"), canClose);
         EXPECT_TRUE(canClose);
       },
       {"Alert!   HeartBeat-BG-Error"}, 0, 0, false},
      {"SHeartBeatError", [](TCorvilinkC& c) { c.SHeartBeatError(); }, {"Alert!   HeartBeat-Error"}, 0, 0, false},
      {"SMyIPSocksError", [](TCorvilinkC& c) { c.SMyIPSocksError(5, "proxy said no"); },
       {"Alert!   myIP-Socket-Error", "Alert!   proxy said no"}, 0, 1, false},
      {"SSetIPSocksError", [](TCorvilinkC& c) { c.SSetIPSocksError(5, "proxy said no"); },
       {"Alert!   setIP-Socket-Error", "Alert!   proxy said no"}, 1, 0, true},
  };
  for (const auto& c : cases) {
    Values.ec = Values.ec2 = Values.ec3 = 0;
    engine->TimerDNS.SetEnabled(false);
    size_t before = NewLog().size();
    c.fire(*engine);
    auto log = NewLog();
    std::vector<std::string> added(log.begin() + before, log.end());
    EXPECT_EQ(added, c.lines) << c.name;
    EXPECT_EQ(Values.ec, c.ec) << c.name;
    EXPECT_EQ(Values.ec2, c.ec2) << c.name;
    EXPECT_EQ(Values.ec3, 0u) << c.name;
    EXPECT_EQ(engine->TimerDNS.Enabled(), c.dnsArmed) << c.name;
  }
}

// A log that fails costs lines only: an error path still counts and re-arms
// as with a working log, and a line that only reports stops nothing after it.
TEST_F(UpdateCycleTest, AnUnwritableLogCostsErrorPathsOnlyTheirLines) {
  // An own host name that is an address is answered within the tick.
  const std::string ini = "[ACCOUNT]\r\nAccount=127\r\nDomain=0.0.1\r\nPasswd=abc\r\n";
  WriteIni(ini + "[LOGGING]\r\nLevel=30\r\n");
  Values.LogLevel = 30;
  Values.UpdateServerAddress = Values.MyIPServerAddress = Values.HeartBeatServerAddress = "127.0.0.21";
  const auto answered = [this](void (TCorvilinkC::*tick)(), int err, const char* reply) {
    (engine.get()->*tick)();
    loop.CompleteConnect(loop.LastStream(), err);
    if (reply) loop.Deliver(loop.LastStream(), reply);
  };
  // ec, ec2, ec3, TimerSetIP's interval (5000 ms before each row) and whether it runs.
  const std::pair<std::function<void()>, std::array<uint32_t, 5>> cases[] = {
      {[&] { answered(&TCorvilinkC::TimerMyIPTimer, 0, "1.2.3.4\n"); }, {0, 1, 1, 5000, 1}},
      // The look-up goes out and its answer is taken without a new one.
      {[&] {
         loop.SetDns(endpoints::kUpdateHosts[0], 0, {"127.0.0.21"}, 0);
         engine->TimerTimerDNS();
       },
       {0, 0, 0, 5000, 1}},
      // 127.0.0.1 is not the address detected: the next update comes soon.
      {[&] { engine->TimerDNSCheckTimer(); }, {0, 0, 0, 2500, 1}},
      {[&] { loop.hostAddresses.clear(); engine->TimerHeartBeatTimer(); }, {0, 0, 1, 5000, 1}},
      {[&] { Values.ec = 5; engine->TimerSetIPTimer(); }, {6, 0, 1, 30000, 1}},
      {[&] { answered(&TCorvilinkC::TimerSetIPTimer, 111, nullptr); }, {1, 0, 0, 5000, 1}},
      {[&] { answered(&TCorvilinkC::TimerSetIPTimer, 0, "IP:1.2.3.4\r\n"); }, {1, 0, 1, 900000, 1}},
      {[&] { loop.writeError = 32; answered(&TCorvilinkC::TimerSetIPTimer, 0, nullptr); }, {1, 0, 0, 5000, 1}},
      // "no IPv6 available" fails; the line still goes out.
      {[&] {
         WriteIni(ini + "Dv6=1\r\n[LOGGING]\r\nLevel=30\r\n");
         answered(&TCorvilinkC::TimerSetIPTimer, 0, nullptr);
       },
       {0, 0, 0, 300000, 1}},
  };
  ASSERT_TRUE(std::filesystem::remove(LogPath()));
  for (const auto& c : cases) {
    Values.ec = Values.ec2 = Values.ec3 = 0;
    loop.writeError = 0;
    engine->TimerSetIP.SetInterval(5000);
    ASSERT_TRUE(std::filesystem::create_directory(LogPath()));
    c.first();
    loop.RunDue();
    ASSERT_TRUE(std::filesystem::remove(LogPath()));
    const plat::Timer& t = engine->TimerSetIP;
    const std::array got = {Values.ec, Values.ec2, Values.ec3, t.Interval(), uint32_t(t.Enabled())};
    EXPECT_EQ(got, c.second) << &c - cases;
  }
  EXPECT_FALSE(loop.LastStream()->written.empty()) << "the request of the last row";
}

TEST_F(UpdateCycleTest, TheSleepEndsAtItsTickAndReArmsNothing) {
  Values.Sleeping = true;
  engine->TimerSleep.SetInterval(3000);
  engine->TimerSleep.SetEnabled(true);
  engine->TimerSetIP.SetEnabled(false);
  loop.Advance(3000);
  EXPECT_FALSE(Values.Sleeping);
  EXPECT_FALSE(engine->TimerSleep.Enabled());
  EXPECT_FALSE(engine->TimerSetIP.Enabled());
  EXPECT_TRUE(Logged("Debug    ..... Sleep Wakeup ", 40));
}

TEST_F(UpdateCycleTest, TheExitEndsTheProcessWithoutTheStopBanner) {
  engine->TimerKill.SetInterval(60000);
  engine->TimerKill.SetEnabled(true);
  loop.Advance(59999);
  EXPECT_FALSE(loop.exited);
  loop.Advance(1);
  EXPECT_TRUE(loop.exited);
  EXPECT_EQ(loop.exitCode, 0);
  auto log = NewLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), ">>>>>    Auto exit!");
  for (const auto& line : log) EXPECT_EQ(line.find("terminated"), std::string::npos);
}

}  // namespace
