// The IP query: request line, reply checks, address history, timers.
#include <gtest/gtest.h>

#include <algorithm>

#include "CorvilinkClient.h"
#include "CorvilinkProcedures.h"
#include "EngineFixture.h"

using namespace corvilink;
using corvitest::EngineTest;

namespace {

class IPQueryTest : public EngineTest {
protected:
  void SetUp() override {
    EngineTest::SetUp();
    StartWithAccount();
    Values.MyIPServerAddress = "127.0.0.31";
    Values.MyIPInterval = 60000;
    engine->TimerMyIP.SetEnabled(true);
    engine->TimerSetIP.SetInterval(30000);
  }
  // One IP-query tick answered with these segments (each its own data event).
  std::shared_ptr<sim::SimStream> Query(const std::vector<std::string>& segments) {
    engine->TimerMyIPTimer();
    auto s = loop.LastStream();
    loop.CompleteConnect(s, 0);
    loop.RunDue();
    for (const auto& seg : segments) {
      loop.Deliver(s, seg);
      loop.RunDue();
    }
    return s;
  }
};

TEST_F(IPQueryTest, TheRequestIsThirtyThreeBytes) {
  auto s = Query({});
  EXPECT_EQ(s->written, "AuthCode=CORVIL046W&Session=" + Values.Session + "\r\n");
  EXPECT_EQ(s->written.size(), 33u);
  EXPECT_EQ(s->port, 901);
  EXPECT_TRUE(Logged("Debug    myIP socket connect", 40));
}

TEST_F(IPQueryTest, ReplyChecks) {
  const struct {
    std::string reply;
    const char* detected;  // nullptr: rejected
    const char* check;
  } cases[] = {
      {"192.168.1.10\n", "192.168.1.10", nullptr},
      {"10.0.0.25", "10.0.0.2", nullptr},
      {"1.2.3.4\r\n", nullptr, "(d)"},
      {"1.2.3\n", nullptr, "(c)"},          // 5 after the drop
      {"1.2.3.4x", "1.2.3.4", nullptr},     // 7
      {"1.2.3.45", "1.2.3.4", nullptr},     // 7 after dropping the 5
      {"999.999.999.9999\n", nullptr, "(d)"},  // 16: length passes, shape doesn't
      {"999.999.999.999\n", "999.999.999.999", nullptr},
      {"1234567890123456\n", nullptr, "(d)"},
      {"12345678901234567\n", nullptr, "(d)"},   // 17
      {"123456789012345678\n", nullptr, "(c)"},  // 18
      {"abcdef\n", nullptr, "(c)"},              // 6
      {std::string("1.2.3.4\0junk", 12), nullptr, "(c)"},
  };
  for (const auto& c : cases) {
    Values.DetectedIP = "";
    Values.ec2 = 0;
    auto s = Query({c.reply});
    EXPECT_TRUE(s->closed);
    if (c.detected) {
      EXPECT_EQ(Values.DetectedIP, c.detected) << c.reply;
      EXPECT_EQ(Values.ec2, 0u) << c.reply;
      EXPECT_TRUE(Logged(std::string(">>>>>    myIP detected [") + c.detected + "]", 30));
    } else {
      EXPECT_EQ(Values.DetectedIP, "") << c.reply;
      EXPECT_EQ(Values.ec2, 1u) << c.reply;
      EXPECT_TRUE(Logged(std::string("Debug    myIP could not be detected ") + c.check, 40)) << c.reply;
    }
  }
}

TEST_F(IPQueryTest, OnlyTheFirstSegmentIsRead) {
  auto s = Query({"1.2.3", ".4\n"});
  EXPECT_TRUE(s->closed);
  EXPECT_EQ(Values.DetectedIP, "");
  EXPECT_EQ(Values.ec2, 1u);
  EXPECT_TRUE(Logged("Debug    myIP could not be detected (c)", 40));
}

TEST_F(IPQueryTest, TheFirstAddressIsAChangeWithoutAChangeLine) {
  Query({"1.2.3.4\n"});
  EXPECT_EQ(Values.CurrentIP, "1.2.3.4");
  EXPECT_EQ(Values.PreviousIP, "");
  EXPECT_EQ(Values.PrePreviousIP, "");
  EXPECT_EQ(engine->TimerSetIP.Interval(), 5000u);
  EXPECT_EQ(engine->TimerMyIP.Interval(), 30000u);
  auto log = Log();
  EXPECT_FALSE(std::any_of(log.begin(), log.end(),
                           [](const std::string& l) { return l.find("IP-change") != std::string::npos; }));
  EXPECT_FALSE(Values.LastDetectTime.empty());
}

TEST_F(IPQueryTest, AnAddressSeenAmongTheLastThreeIsNoChange) {
  Query({"1.1.1.1\n"});  // A
  Query({"2.2.2.2\n"});  // B
  EXPECT_TRUE(Logged(">>>>>    IP-change detected [1.1.1.1] -> [2.2.2.2]", 10));
  engine->TimerSetIP.SetInterval(30000);
  Query({"1.1.1.1\n"});  // A again
  EXPECT_EQ(Values.CurrentIP, "2.2.2.2");
  EXPECT_EQ(Values.DetectedIP, "1.1.1.1");
  EXPECT_EQ(engine->TimerSetIP.Interval(), 30000u);
  EXPECT_TRUE(engine->TimerMyIP.Enabled());
  EXPECT_EQ(engine->TimerMyIP.Interval(), 60000u);
  Query({"3.3.3.3\n"});  // C
  EXPECT_EQ(Values.CurrentIP, "3.3.3.3");
  EXPECT_EQ(Values.PreviousIP, "2.2.2.2");
  EXPECT_EQ(Values.PrePreviousIP, "1.1.1.1");
  EXPECT_TRUE(Logged(">>>>>    IP-change detected [2.2.2.2] -> [3.3.3.3]", 10));
}

TEST_F(IPQueryTest, NoChangeRestartsTheQueryCountdown) {
  Query({"1.1.1.1\n"});
  uint64_t t = loop.Now();
  loop.Advance(20000);
  Query({"1.1.1.1\n"});
  // Off and on again: the next tick comes a full interval after this reply.
  loop.Advance(59999);
  size_t streams = loop.Streams().size();
  loop.Advance(1);
  EXPECT_EQ(loop.Now() - t, 80000u);
  EXPECT_GT(loop.Streams().size(), streams);
}

TEST_F(IPQueryTest, FailuresFollowTheTwoStepRule) {
  engine->TimerDNS.SetEnabled(false);
  engine->TimerMyIPTimer();
  loop.CompleteConnect(loop.LastStream(), 111);
  loop.RunDue();
  EXPECT_EQ(Values.ec2, 1u);
  EXPECT_FALSE(engine->TimerDNS.Enabled());
  EXPECT_TRUE(Logged("Debug    myIP could not be detected (socket connect)", 40));
  engine->SMyIPDataAvailable(10054);
  EXPECT_EQ(Values.ec2, 2u);
  EXPECT_TRUE(engine->TimerDNS.Enabled());
  EXPECT_TRUE(Logged("Debug    myIP could not be detected (a)", 40));
  engine->SMyIPDataAvailable(0);
  EXPECT_EQ(Values.ec2, 3u);
  EXPECT_TRUE(Logged("Debug    myIP could not be detected (b)", 40));
  // A connect that gets no answer fails when the socket gives it up, at 21 s.
  engine->TimerDNS.SetEnabled(false);
  engine->TimerMyIPTimer();
  loop.Advance(20999);
  EXPECT_EQ(Values.ec2, 3u);
  loop.Advance(1);
  EXPECT_EQ(Values.ec2, 4u);
  EXPECT_TRUE(engine->TimerDNS.Enabled());
  EXPECT_EQ(Count("Debug    myIP could not be detected (socket connect)", 40), 2u);
  EXPECT_TRUE(loop.LastStream()->closed);
}

TEST_F(IPQueryTest, TheUpdateReplyAppliesTheSameHistory) {
  Query({"1.1.1.1\n"});
  Values.UpdateServerAddress = "127.0.0.21";
  engine->TimerSetIPTimer();
  auto s = loop.LastStream();
  loop.CompleteConnect(s, 0);
  loop.RunDue();
  loop.Deliver(s, "IP:5.5.5.5\r\n");
  loop.RunDue();
  EXPECT_EQ(Values.CurrentIP, "5.5.5.5");
  EXPECT_EQ(Values.PreviousIP, "1.1.1.1");
  EXPECT_TRUE(Logged(">>>>>    IP-change detected [1.1.1.1] -> [5.5.5.5]", 10));
}

}  // namespace
