// The update request on the wire, its log form and the retry schedule.
#include <gtest/gtest.h>

#include <algorithm>

#include "CorvilinkClient.h"
#include "CorvilinkFunctions.h"
#include "CorvilinkProcedures.h"
#include "EngineFixture.h"
#include "Md5.h"

using namespace corvilink;
using corvitest::EngineTest;

namespace {

// Undoes the scrambling: the shift follows from the first byte ("A" + shift).
std::string Unscramble(const std::string& wire, int* shiftOut = nullptr) {
  int shift = uint8_t(wire.at(0)) - 'A';
  if (shiftOut) *shiftOut = shift;
  std::string plain;
  for (size_t i = 0; i + 1 < wire.size(); ++i) plain += char(uint8_t(wire[i]) - shift);
  return plain;
}

class UpdateRequestTest : public EngineTest {
protected:
  void SetUp() override {
    EngineTest::SetUp();
    WriteAccount("");
    CreateEngine();
    engine->StartEngine("W");
    Values.UpdateServerAddress = "127.0.0.21";
  }
  void WriteAccount(const std::string& extra) {
    WriteIni("[ACCOUNT]\r\nAccount=kim\r\nDomain=dyn.example\r\nPasswd=0123456789abcdef\r\n" + extra +
             "[LOGGING]\r\nLevel=40\r\n");
  }
  // One update tick and a connection that stands: returns the bytes sent.
  std::string Connect(int err = 0) {
    engine->TimerSetIPTimer();
    auto s = loop.LastStream();
    loop.CompleteConnect(s, err);
    loop.RunDue();
    return s->written;
  }
  std::string Fields() const {
    return "Account=kim&Domain=dyn.example&ec=0&ec2=0&ec3=0&ec4=0&DNSDiff=0&DNSProblem=0&RIP=&LIP=10.1.2.3,"
           "192.168.7.8&build=460100&os=" +
           OSDescription() + "&lang=E";
  }
};

TEST_F(UpdateRequestTest, TheLineCarriesEveryFieldInOrderWithTheDigestLast) {
  std::string wire = Connect();
  ASSERT_GE(wire.size(), 2u);
  EXPECT_EQ(wire.back(), '\n');
  int shift = 0;
  std::string plain = Unscramble(wire, &shift);
  EXPECT_GE(shift, 1);
  EXPECT_LE(shift, 25);
  EXPECT_EQ(plain, "AuthCode=CORVIL046W&Session=" + Values.Session + "&" + Fields() +
                       "&Passwd=" + plat::Md5Hex("0123456789abcdef"));
  EXPECT_EQ(plain.find('\r'), std::string::npos);
  EXPECT_TRUE(Logged("Debug    setIP-Request: [" + Fields() + "]", 40));
}

TEST_F(UpdateRequestTest, EveryByteIsShiftedAlikeAndOnlyTheLineFeedIsNot) {
  for (int round = 0; round < 30; ++round) {
    std::string wire = Connect();
    int shift = uint8_t(wire[0]) - 'A';
    std::string plain = "AuthCode=CORVIL046W&Session=" + Values.Session + "&" + Fields() +
                        "&Passwd=" + plat::Md5Hex("0123456789abcdef");
    ASSERT_EQ(wire.size(), plain.size() + 1);
    for (size_t i = 0; i < plain.size(); ++i)
      ASSERT_EQ(uint8_t(wire[i]), uint8_t(uint8_t(plain[i]) + shift)) << "byte " << i;
    ASSERT_EQ(wire.back(), '\n');
  }
}

TEST_F(UpdateRequestTest, CountersAndAddressesAreSentAsTheyStand) {
  Values.ec = 7;
  Values.ec2 = 3;
  Values.ec3 = 2;
  Values.ec4 = -1;
  Values.DNSDiff = 999;
  Values.DNSProblem = 4;
  Values.ResolvedOwnIP = "1.2.3.4, 5.6.7.8";
  std::string plain = Unscramble(Connect());
  EXPECT_NE(plain.find("&ec=7&ec2=3&ec3=2&ec4=-1&DNSDiff=999&DNSProblem=4&RIP=1.2.3.4, 5.6.7.8&LIP="),
            std::string::npos)
      << plain;
}

TEST_F(UpdateRequestTest, AccountTextsGoOutUnescaped) {
  WriteIni("[ACCOUNT]\r\nAccount=a&b c=d\r\nDomain=dyn.example\r\nPasswd=abc\r\n[LOGGING]\r\nLevel=40\r\n");
  std::string plain = Unscramble(Connect());
  EXPECT_NE(plain.find("&Account=a&b c=d&Domain=dyn.example&"), std::string::npos) << plain;
}

TEST_F(UpdateRequestTest, TheIPv6TestAddsItsBodyAsItCame) {
  WriteAccount("Dv6=1\r\n");
  loop.httpOk = true;
  loop.httpBody = "2001:db8::1\r\n";
  std::string plain = Unscramble(Connect());
  ASSERT_EQ(loop.httpRequests.size(), 1u);
  EXPECT_EQ(loop.httpRequests[0], "http://ipv6.corvilink.example/?kim.dyn.example");
  EXPECT_NE(plain.find("&LIP=10.1.2.3,192.168.7.8&IPv6=2001:db8::1\r\n&build=460100&"), std::string::npos);
  EXPECT_NE(corvitest::ReadFile(LogPath()).find(Values.Session + " >>>>>    IPv6 is 2001:db8::1\r\n\r\n"),
            std::string::npos);
}

TEST_F(UpdateRequestTest, AFailedIPv6TestAddsNothing) {
  WriteAccount("Dv6=1\r\n");
  loop.httpOk = false;
  std::string plain = Unscramble(Connect());
  EXPECT_EQ(plain.find("&IPv6="), std::string::npos);
  EXPECT_TRUE(Logged(">>>>>    no IPv6 available", 20));
}

TEST_F(UpdateRequestTest, WithoutIPv6ThereIsNoRequest) {
  std::string plain = Unscramble(Connect());
  EXPECT_TRUE(loop.httpRequests.empty());
  EXPECT_EQ(plain.find("IPv6"), std::string::npos);
}

TEST_F(UpdateRequestTest, OfflineSwitchedOnWhileConnectingGoesOutBeforeTheDigest) {
  engine->TimerSetIPTimer();
  WriteAccount("Offline=1\r\n");
  auto s = loop.LastStream();
  loop.CompleteConnect(s, 0);
  loop.RunDue();
  std::string plain = Unscramble(s->written);
  EXPECT_NE(plain.find("&lang=E&offline=1&Passwd="), std::string::npos) << plain;
  EXPECT_TRUE(Logged(">>>>>    activating offline mode", 10));
  EXPECT_TRUE(Logged("Debug    setIP-Request: [" + Fields() + "&offline=1]", 40));
}

TEST_F(UpdateRequestTest, TheRetryIntervalFollowsTheErrorCount) {
  const struct {
    uint32_t ec;
    uint32_t interval;
  } cases[] = {{0, 300000}, {1, 5000},  {3, 5000},   {5, 5000},   {6, 10000},
               {10, 10000}, {11, 60000}, {15, 60000}, {16, 300000}, {1000, 300000}};
  for (const auto& c : cases) {
    Values.ec = c.ec;
    Values.ServerMessage = "old";
    Connect();
    EXPECT_EQ(engine->TimerSetIP.Interval(), c.interval) << c.ec;
    EXPECT_EQ(Values.ServerMessage, "") << c.ec;
  }
}

TEST_F(UpdateRequestTest, AFailedConnectionCountsAndRetriesByTheNewCount) {
  Values.ec = 4;
  engine->TimerDNS.SetEnabled(false);
  Values.ServerMessage = "old";
  std::string wire = Connect(111);
  EXPECT_EQ(wire, "");
  EXPECT_EQ(Values.ec, 5u);
  EXPECT_TRUE(engine->TimerDNS.Enabled());
  EXPECT_EQ(engine->TimerSetIP.Interval(), 5000u);
  EXPECT_EQ(Values.ServerMessage, "");
  EXPECT_TRUE(Logged(">>>>>    setIP socket connect problem [127.0.0.21]", 30));
}

TEST_F(UpdateRequestTest, AFailedSendIsASocketErrorAndTheScheduleStillRuns) {
  loop.writeError = 32;
  Connect();
  EXPECT_EQ(Values.ec, 1u);
  EXPECT_TRUE(Logged("Alert!   setIP-Error", 20));
  EXPECT_EQ(engine->TimerSetIP.Interval(), 5000u);
}

}  // namespace
