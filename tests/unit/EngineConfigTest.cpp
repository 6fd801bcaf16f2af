// Loading corvilink.ini into the engine values.
#include <gtest/gtest.h>

#include "CorvilinkClient.h"
#include "CorvilinkProcedures.h"
#include "EngineFixture.h"

using namespace corvilink;
using corvitest::EngineTest;

namespace {

struct LevelCase {
  const char* text;
  int expected;
};

class ConfigTest : public EngineTest {};

TEST_F(ConfigTest, LogLevelKeepsTheLowEightBitsOrTheDefault) {
  const LevelCase cases[] = {
      {"300", 44}, {"-1", 255}, {"abc", 20}, {"0x28", 40}, {"$1E", 30},
      {"0X1f", 31}, {"", 20},   {"40", 40},  {"0", 0},     {"256", 0},
      {"x28", 20},  {"X1E", 20}, {"-$1E", 20},
  };
  for (const auto& c : cases) {
    WriteIni(std::string("[LOGGING]\r\nLevel=") + c.text + "\r\n");
    LoadConfig();
    EXPECT_EQ(Values.LogLevel, c.expected) << "Level=" << c.text;
  }
}

TEST_F(ConfigTest, BooleansAreAnyNonZeroInteger) {
  const struct {
    const char* text;
    bool expected;
  } cases[] = {{"2", true}, {"1", true}, {"-7", true}, {"yes", false}, {"0", false}, {"", false}};
  for (const auto& c : cases) {
    WriteIni(std::string("[ACCOUNT]\r\nOffline=") + c.text + "\r\nDv6=" + c.text +
             "\r\nCONFIGERROR=" + c.text + "\r\n[OPTIONS]\r\nBroadcast=" + c.text + "\r\n");
    LoadConfig();
    EXPECT_EQ(Values.Offline, c.expected) << c.text;
    EXPECT_EQ(Values.IPv6Enabled, c.expected) << c.text;
    EXPECT_EQ(Values.ConfigError, c.expected) << c.text;
    EXPECT_EQ(Values.Broadcast, c.expected) << c.text;
  }
}

TEST_F(ConfigTest, MissingFileGivesEveryDefault) {
  Values.Account = "old";
  Values.Language = std::string("D");  // plain "D" trips a false -Wrestrict of GCC 12
  Values.LogLevel = 0;
  Values.Offline = true;
  Values.ConfigError = true;
  LoadConfig();
  EXPECT_EQ(Values.Account, "");
  EXPECT_EQ(Values.Domain, "corvilink.example");
  EXPECT_EQ(Values.Passwd, "");
  EXPECT_EQ(Values.Language, "E");
  EXPECT_EQ(Values.LogLevel, 20);
  EXPECT_FALSE(Values.Offline);
  EXPECT_FALSE(Values.ConfigError);
  EXPECT_FALSE(Values.IPv6Enabled);
  EXPECT_FALSE(Values.Broadcast);
  EXPECT_EQ(Values.StartDelay, 0);
}

TEST_F(ConfigTest, MissingDomainIsTheServiceDomainButEmptyStaysEmpty) {
  WriteIni("[ACCOUNT]\r\nAccount=kim\r\n");
  LoadConfig();
  EXPECT_EQ(Values.Domain, "corvilink.example");
  WriteIni("[ACCOUNT]\r\nAccount=kim\r\nDomain=\r\n");
  LoadConfig();
  EXPECT_EQ(Values.Domain, "");
}

TEST_F(ConfigTest, EveryKeyReachesItsValue) {
  WriteIni(
      "[ACCOUNT]\r\nAccount=kim\r\nDomain=dyn.example\r\nPasswd=0123456789abcdef\r\n"
      "Language=D\r\nDv6=1\r\nOffline=1\r\nCONFIGERROR=1\r\nDEACTIVATED=1\r\n"
      "[LOGGING]\r\nLevel=40\r\n[DAEMON]\r\nStartDelay=17\r\n[OPTIONS]\r\nBroadcast=1\r\n");
  LoadConfig();
  EXPECT_EQ(Values.Account, "kim");
  EXPECT_EQ(Values.Domain, "dyn.example");
  EXPECT_EQ(Values.Passwd, "0123456789abcdef");
  EXPECT_EQ(Values.Language, "D");
  EXPECT_TRUE(Values.IPv6Enabled);
  EXPECT_TRUE(Values.Offline);
  EXPECT_TRUE(Values.ConfigError);
  EXPECT_EQ(Values.LogLevel, 40);
  EXPECT_EQ(Values.StartDelay, 17);
  EXPECT_TRUE(Values.Broadcast);
  // The stored deactivation is never read back.
  EXPECT_FALSE(Values.Deactivated);
}

TEST_F(ConfigTest, LanguageIsGermanOnlyBeforeTheFirstLoad) {
  EXPECT_EQ(Values.Language, "D");
  LoadConfig();
  EXPECT_EQ(Values.Language, "E");
}

TEST_F(ConfigTest, TriggersBringTheTimersForwardWithoutEnablingThem) {
  CreateEngine();
  engine->TimerSetIP.SetEnabled(false);
  engine->UpdateSoon();
  engine->CheckIPSoon();
  EXPECT_EQ(engine->TimerSetIP.Interval(), 2500u);
  EXPECT_EQ(engine->TimerMyIP.Interval(), 2500u);
  EXPECT_FALSE(engine->TimerSetIP.Enabled());
  EXPECT_FALSE(engine->TimerMyIP.Enabled());
}

TEST_F(ConfigTest, DetectLocalAddressesJoinsTheResolverOrder) {
  CreateEngine();
  std::string list = "stale";
  DetectLocalAddresses(loop, list);
  EXPECT_EQ(list, "10.1.2.3,192.168.7.8");
  EXPECT_EQ(Values.LocalIPs, "10.1.2.3,192.168.7.8");
  EXPECT_EQ(Values.LocalHostName, "simbox");
  EXPECT_EQ(Values.ec4, 0);

  // Both already known: nothing asked, output untouched, -1.
  int calls = loop.hostNameCalls;
  list = "untouched";
  DetectLocalAddresses(loop, list);
  EXPECT_EQ(list, "untouched");
  EXPECT_EQ(Values.ec4, -1);
  EXPECT_EQ(loop.hostNameCalls, calls);
}

TEST_F(ConfigTest, DetectLocalAddressesGivesUpAtTheFirstFailure) {
  CreateEngine();
  loop.hostAddresses.clear();
  std::string list;
  DetectLocalAddresses(loop, list);
  EXPECT_EQ(list, "");
  EXPECT_EQ(Values.LocalIPs, "");
  EXPECT_EQ(Values.LocalHostName, "");
  EXPECT_EQ(Values.ec4, 0);
  EXPECT_EQ(loop.hostNameCalls, 1);
}

}  // namespace
