// The simulated loop's own clock and process-end rules, which the engine tests lean on.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "SimLoop.h"

namespace {

using Runs = std::vector<std::pair<std::string, uint64_t>>;

TEST(SimLoopTest, EventsRunAtTheirDueTimeAndMayScheduleMoreWithinTheWindow) {
  sim::SimLoop loop;
  Runs runs;
  loop.Post(30, [&] {
    runs.emplace_back("b", loop.Now());
    loop.Post(10, [&] { runs.emplace_back("c", loop.Now()); });   // due 40: inside
    loop.Post(80, [&] { runs.emplace_back("d", loop.Now()); });   // due 110: outside
  });
  loop.Post(10, [&] { runs.emplace_back("a", loop.Now()); });
  loop.Advance(100);
  EXPECT_EQ(runs, (Runs{{"a", 10}, {"b", 30}, {"c", 40}}));
  EXPECT_EQ(loop.Now(), 100u);
  EXPECT_EQ(loop.NextDue(), 10);
  loop.Advance(10);
  EXPECT_EQ(runs.back(), (std::pair<std::string, uint64_t>{"d", 110}));
  EXPECT_EQ(loop.NextDue(), -1);
}

TEST(SimLoopTest, SleepMovesTheClockAndLeavesOverdueEventsForTheNextRunInOrder) {
  sim::SimLoop loop;
  Runs runs;
  loop.Post(5, [&] { runs.emplace_back("a", loop.Now()); });
  loop.Post(8, [&] { runs.emplace_back("b", loop.Now()); });
  loop.Sleep(10);
  EXPECT_TRUE(runs.empty());
  EXPECT_EQ(loop.Now(), 10u);
  EXPECT_EQ(loop.NextDue(), 0);
  loop.RunDue();
  // Overdue events run at the current time: the clock never goes back.
  EXPECT_EQ(runs, (Runs{{"a", 10}, {"b", 10}}));
}

TEST(SimLoopTest, ExitProcessStopsTheRunWhereItWas) {
  sim::SimLoop loop;
  Runs runs;
  loop.Post(10, [&] { runs.emplace_back("a", loop.Now()); });
  loop.Post(20, [&] {
    runs.emplace_back("exit", loop.Now());
    loop.ExitProcess(0);
  });
  loop.Post(20, [&] { runs.emplace_back("after", loop.Now()); });
  loop.Advance(1000);
  EXPECT_EQ(runs, (Runs{{"a", 10}, {"exit", 20}}));
  EXPECT_TRUE(loop.exited);
  EXPECT_EQ(loop.exitCode, 0);
  EXPECT_EQ(loop.Now(), 20u);
  loop.Advance(1000);
  EXPECT_EQ(runs.size(), 2u);
}

TEST(SimLoopTest, ScriptedSystemAnswers) {
  sim::SimLoop loop;
  std::string name;
  EXPECT_TRUE(loop.HostName(name));
  EXPECT_EQ(name, "simbox");
  loop.hostNameFails = true;
  name = "kept";
  EXPECT_FALSE(loop.HostName(name));
  EXPECT_EQ(name, "kept");
  EXPECT_EQ(loop.hostNameCalls, 2);

  std::vector<std::string> addrs;
  EXPECT_FALSE(loop.HostAddresses("simbox", addrs));
  loop.hostAddresses["simbox"] = {"10.0.0.5", "10.0.0.6"};
  EXPECT_TRUE(loop.HostAddresses("simbox", addrs));
  EXPECT_EQ(addrs, (std::vector<std::string>{"10.0.0.5", "10.0.0.6"}));

  std::string body = "stale";
  EXPECT_FALSE(loop.HttpGet("http://a.example/x", body));
  EXPECT_EQ(body, "");
  loop.httpOk = true;
  loop.httpBody = "1.2.3.4";
  EXPECT_TRUE(loop.HttpGet("http://b.example/y", body));
  EXPECT_EQ(body, "1.2.3.4");
  EXPECT_EQ(loop.httpRequests,
            (std::vector<std::string>{"http://a.example/x", "http://b.example/y"}));
}

TEST(SimLoopTest, ALookupIsNeverAnsweredWithinResolveNorAfterItsHandleIsGone) {
  sim::SimLoop loop;
  loop.SetDns("a.example", 0, {"192.0.2.1"}, 0);
  std::vector<std::string> got;
  auto keep = loop.Resolve("a.example",
                           [&](int, const std::vector<std::string>& a) { got.push_back(a.at(0)); });
  EXPECT_TRUE(got.empty());
  loop.Resolve("a.example",
               [&](int, const std::vector<std::string>&) { got.push_back("dropped"); });
  EXPECT_TRUE(loop.LastLookup()->cancelled);
  loop.RunDue();
  EXPECT_EQ(got, std::vector<std::string>{"192.0.2.1"});
  EXPECT_TRUE(loop.Lookups().front()->answered);
}

}  // namespace
