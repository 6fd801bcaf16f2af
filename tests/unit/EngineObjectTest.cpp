// The engine object: its components, creation, start and stop.
#include <gtest/gtest.h>

#include "CorvilinkClient.h"
#include "CorvilinkProcedures.h"
#include "EngineFixture.h"
#include "dtools.h"
#include "VersionBlock.h"
#include "Versions.h"

using namespace corvilink;
using corvitest::EngineTest;

namespace {

class EngineObjectTest : public EngineTest {
protected:
  void SetUp() override {
    EngineTest::SetUp();
    WriteIni("[ACCOUNT]\r\nAccount=kim\r\n[LOGGING]\r\nLevel=40\r\n");
  }
};

struct TimerForm {
  const char* name;
  plat::Timer TCorvilinkC::*timer;
  bool enabled;
  uint32_t interval;
};

TEST_F(EngineObjectTest, TimersCarryTheirFormValues) {
  CreateEngine();
  const TimerForm forms[] = {
      {"TimerMyIP", &TCorvilinkC::TimerMyIP, false, 5000},
      {"TimerSetIP", &TCorvilinkC::TimerSetIP, false, 5000},
      {"TimerHeartBeat", &TCorvilinkC::TimerHeartBeat, false, 100},
      {"TimerDNS", &TCorvilinkC::TimerDNS, true, 1000},
      {"TimerProcList", &TCorvilinkC::TimerProcList, false, 1000},
      {"TimerSleep", &TCorvilinkC::TimerSleep, false, 1000},
      {"TimerKill", &TCorvilinkC::TimerKill, false, 300000},
      {"TimerDNSCheck", &TCorvilinkC::TimerDNSCheck, false, 120000},
      {"TimerDNSRandom", &TCorvilinkC::TimerDNSRandom, false, 1000},
      {"TimerRun", &TCorvilinkC::TimerRun, false, 10000},
  };
  for (const auto& f : forms) {
    EXPECT_EQ((engine.get()->*f.timer).Enabled(), f.enabled) << f.name;
    EXPECT_EQ((engine.get()->*f.timer).Interval(), f.interval) << f.name;
  }
}

TEST_F(EngineObjectTest, SocketsAndUdpComponentsCarryTheirFormValues) {
  CreateEngine();
  const struct {
    const char* name;
    plat::WSocket TCorvilinkC::*socket;
    uint32_t flush;
  } sockets[] = {{"SHeartBeat", &TCorvilinkC::SHeartBeat, 60}, {"SMyIP", &TCorvilinkC::SMyIP, 10},
                 {"SSetIP", &TCorvilinkC::SSetIP, 10},         {"DNSCheck", &TCorvilinkC::DNSCheck, 60},
                 {"DNSRandom", &TCorvilinkC::DNSRandom, 60}};
  for (const auto& s : sockets) {
    const plat::WSocket& sock = engine.get()->*s.socket;
    EXPECT_EQ(sock.FlushTimeout, s.flush) << s.name;
    EXPECT_EQ(sock.Proto(), "tcp") << s.name;
    EXPECT_EQ(sock.Addr(), "0.0.0.0") << s.name;
    EXPECT_EQ(sock.Port(), "0") << s.name;
    EXPECT_EQ(sock.State(), plat::SocketState::Closed) << s.name;
  }
  EXPECT_TRUE(engine->UDPBroadCastClient.Active);
  EXPECT_EQ(engine->UDPBroadCastClient.Port, 900);
  EXPECT_EQ(engine->UDPBroadCastClient.Host, "");
  EXPECT_TRUE(engine->UDPBroadCastClient.BroadcastEnabled);
  EXPECT_EQ(engine->UDPBroadCastServer.DefaultPort, 900);
  EXPECT_FALSE(engine->UDPBroadCastServer.Active);
}

TEST_F(EngineObjectTest, CreationDrawsTheSessionAndSetsTheVersionText) {
  EXPECT_EQ(Values.Session, "xxx");
  Values.LastLogMessage = Values.LastDetectTime = Values.LastUpdateTime = "stale";
  CreateEngine();
  ASSERT_EQ(Values.Session.size(), 3u);
  for (char c : Values.Session) EXPECT_TRUE(c >= 'a' && c <= 'y') << Values.Session;
  EXPECT_EQ(Values.VersionText, "Corvilink-Poster 4.6 (Build:4.6.0.100)");
  EXPECT_EQ(Values.ProductName, "Corvilink-Poster");
  EXPECT_EQ(Values.ProductVersion, "4.6");
  EXPECT_EQ(Values.FileVersion, "4.6.0.100");
  EXPECT_EQ(Values.LastLogMessage, "");
  EXPECT_EQ(Values.LastDetectTime, "");
  EXPECT_EQ(Values.LastUpdateTime, "");
  // Nothing is logged before the configuration is loaded.
  EXPECT_FALSE(corvitest::FileExists(LogPath()));
}

TEST_F(EngineObjectTest, DaemonAndMissingVersionBlocks) {
  plat::SetVersionBlock(&kDaemonVersion);
  CreateEngine();
  EXPECT_EQ(Values.VersionText, "Corvilink-Poster-Daemon 4.6 (Build:4.6.0.100)");
  engine.reset();
  plat::SetVersionBlock(nullptr);
  CreateEngine();
  EXPECT_EQ(Values.VersionText, "  (Build:)");
}

TEST_F(EngineObjectTest, StartEngineWritesTheSixLineBannerAndArmsTheUpdateTimer) {
  CreateEngine();
  std::string s = Values.Session;
  engine->StartEngine("W");
  EXPECT_EQ(Values.AuthCode, "CORVIL046W");
  EXPECT_EQ(Values.Account, "kim");  // configuration loaded
  std::vector<std::string> expected = {
      s + " >>>>>",
      s + " >>>>>  Corvilink-Poster 4.6 (Build:4.6.0.100) started.",
      s + " >>>>>",
      s + " >>>>>  simbox",
      s + " >>>>>  10.1.2.3,192.168.7.8",
      s + " >>>>>",
  };
  EXPECT_EQ(Log(), expected);
  EXPECT_FALSE(engine->TimerMyIP.Enabled());
  EXPECT_TRUE(engine->TimerSetIP.Enabled());
  EXPECT_EQ(engine->TimerSetIP.Interval(), 5000u);
  EXPECT_TRUE(engine->TimerRun.Enabled());
  EXPECT_FALSE(engine->TimerProcList.Enabled());
}

TEST_F(EngineObjectTest, TheDaemonAlsoArmsTheCoordinationTimer) {
  plat::SetVersionBlock(&kDaemonVersion);
  CreateEngine();
  Values.IsDaemon = true;
  uint64_t before = loop.Now();
  engine->StartEngine("D");
  EXPECT_EQ(Values.AuthCode, "CORVIL046D");
  EXPECT_TRUE(engine->TimerProcList.Enabled());
  // The 2 ms pause and the 1 ms pause of the address pass.
  EXPECT_EQ(loop.Now() - before, 3u);
}

TEST_F(EngineObjectTest, WithoutAHostNameOnlyTheFirstThreeBannerLinesAppear) {
  CreateEngine();
  loop.hostNameFails = true;
  try {
    engine->StartEngine("W");
    FAIL() << "StartEngine must raise";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Winsock.GetHostName failed");
  }
  EXPECT_EQ(Log().size(), 3u);
  EXPECT_FALSE(engine->TimerSetIP.Enabled());
  EXPECT_FALSE(engine->TimerRun.Enabled());
}

TEST_F(EngineObjectTest, StopEngineLogsTheStopBannerAndStopsOnlyThreeTimers) {
  CreateEngine();
  engine->StartEngine("D");
  engine->TimerHeartBeat.SetEnabled(true);
  engine->TimerSleep.SetEnabled(true);
  engine->TimerDNSCheck.SetEnabled(true);
  engine->TimerMyIP.SetEnabled(true);
  size_t lines = Log().size();
  engine->StopEngine();
  auto log = Log();
  ASSERT_EQ(log.size(), lines + 3);
  EXPECT_EQ(log[lines], Values.Session + " >>>>>");
  EXPECT_EQ(log[lines + 1], Values.Session + " >>>>>  Corvilink-Poster 4.6 (Build:4.6.0.100) terminated.");
  EXPECT_EQ(log[lines + 2], Values.Session + " >>>>>");
  EXPECT_FALSE(engine->TimerMyIP.Enabled());
  EXPECT_FALSE(engine->TimerSetIP.Enabled());
  EXPECT_FALSE(engine->TimerHeartBeat.Enabled());
  EXPECT_TRUE(engine->TimerSleep.Enabled());
  EXPECT_TRUE(engine->TimerDNSCheck.Enabled());
  EXPECT_TRUE(engine->TimerRun.Enabled());
  EXPECT_TRUE(engine->TimerDNS.Enabled());
}

TEST_F(EngineObjectTest, EverySessionTagIsDrawnFromTheGenerator) {
  RandSeed = 1;
  CreateEngine();
  std::string first = Values.Session;
  engine.reset();
  RandSeed = 987654321;
  CreateEngine();
  EXPECT_NE(Values.Session, first);
}

}  // namespace
