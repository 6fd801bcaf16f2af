// The window timer and the engine object on the real loop, inside the namespace.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>
#include <uv.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "CorvilinkClient.h"
#include "CorvilinkProcedures.h"
#include "EngineFixture.h"
#include "RealEngine.h"
#include "Timer.h"
#include "UvLoop.h"
#include "VersionBlock.h"
#include "Versions.h"
#include "dtools.h"

using namespace corvilink;

namespace {

class SpineTest : public ::testing::Test {
protected:
  void SetUp() override {
    const char* isolated = std::getenv("CORVILINK_NETNS");
    ASSERT_TRUE(isolated && std::string(isolated) == "1") << "run inside scripts/isolate";
  }
  // Runs the loop until done() holds or ms pass.
  void RunUntil(const std::function<bool()>& done, uint64_t ms) {
    uint64_t end = loop.Now() + ms;
    while (!done() && loop.Now() < end) uv_run(loop.Raw(), UV_RUN_ONCE);
  }
  plat::UvLoop loop;
};

TEST_F(SpineTest, ChangingTheIntervalRestartsTheCountdownTheSameValueDoesNot) {
  plat::Timer timer(loop, true, 200);
  std::vector<uint64_t> ticks;
  uint64_t start = loop.Now();
  timer.SetOnTimer([&] { ticks.push_back(loop.Now() - start); });
  // Keep the loop alive and poke the timer at 150 ms.
  plat::Timer poke(loop, true, 150);
  poke.SetOnTimer([&] {
    timer.SetInterval(200);  // same value: the countdown goes on (tick at ~200)
    poke.SetEnabled(false);
  });
  RunUntil([&] { return ticks.size() >= 1; }, 2000);
  ASSERT_EQ(ticks.size(), 1u);
  EXPECT_GE(ticks[0], 195u);
  EXPECT_LT(ticks[0], 300u);

  // A different value at 100 ms restarts from there: next tick ~100 + 300.
  start = loop.Now();
  ticks.clear();
  plat::Timer change(loop, true, 100);
  change.SetOnTimer([&] {
    timer.SetInterval(300);
    change.SetEnabled(false);
  });
  timer.SetEnabled(false);
  timer.SetInterval(200);
  timer.SetEnabled(true);
  RunUntil([&] { return ticks.size() >= 1; }, 2000);
  ASSERT_EQ(ticks.size(), 1u);
  EXPECT_GE(ticks[0], 395u);
  EXPECT_LT(ticks[0], 550u);
  timer.SetEnabled(false);
}

TEST_F(SpineTest, TheEngineStartsOnTheRealLoopWithTheNamespacesHostName) {
  corvitest::TempDir dir;
  Values = {};
  SetProgramPath(dir.path() + "/corvilink");
  plat::SetVersionBlock(&kDesktopVersion);
  corvitest::WriteFile(dir.path() + "/corvilink.ini", "[LOGGING]\r\nLevel=10\r\n");
  {
    TCorvilinkC engine(loop);
    ASSERT_EQ(Values.Session.size(), 3u);
    engine.StartEngine("W");
    EXPECT_TRUE(engine.TimerSetIP.Armed());
    auto log = corvitest::LogMessages(dir.path() + "/corvilink.log");
    std::vector<std::string> expected = {
        Values.Session + " >>>>>",
        Values.Session + " >>>>>  Corvilink-Poster 4.6 (Build:4.6.0.100) started.",
        Values.Session + " >>>>>",
        Values.Session + " >>>>>  corvibox",
        Values.Session + " >>>>>  127.0.1.1",
        Values.Session + " >>>>>",
    };
    EXPECT_EQ(log, expected);
    EXPECT_EQ(Values.LocalHostName, "corvibox");
    EXPECT_EQ(Values.ec4, 0);
    Values.IsDaemon = true;  // StopEngine is the daemon's
    engine.StopEngine();
    log = corvitest::LogMessages(dir.path() + "/corvilink.log");
    ASSERT_EQ(log.size(), 9u);
    EXPECT_EQ(log[7], Values.Session + " >>>>>  Corvilink-Poster 4.6 (Build:4.6.0.100) terminated.");
    EXPECT_FALSE(engine.TimerSetIP.Enabled());
  }
  SetProgramPath("");
  plat::SetVersionBlock(nullptr);
  Values = {};
}

// The banner lists the local addresses as the name service gives them:
// from the hosts file in its order; with no host name at all, the local host's
// own addresses, after the thirty passes that an empty name makes.
TEST_F(SpineTest, TheBannerListsTheLocalAddressesInTheNameServicesOrder) {
  struct Case {
    const char* hostName;
    const char* hostsFile;
    std::vector<std::string> banner;  // the host-name line and the address line
    int ec4;
  };
  const Case cases[] = {
      {"corvibox", "127.0.0.1 localhost\n198.51.100.9 corvibox\n127.0.1.1 corvibox\n",
       {">>>>>  corvibox", ">>>>>  198.51.100.9,127.0.1.1"}, 0},
      {"", nullptr, {">>>>>  ", ">>>>>  "}, 29},
  };
  // The namespace's own addresses, in the order the kernel keeps them.
  std::string own;
  for (const std::string& a : corvitest::InterfaceAddresses()) own += (own.empty() ? "" : ",") + a;
  ASSERT_FALSE(own.empty());
  const std::string hosts = corvitest::ReadFile("/etc/hosts");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("host name '") + c.hostName + "'");
    corvitest::TempDir dir;
    corvitest::WriteFile(dir.path() + "/corvilink.ini", "[LOGGING]\r\nLevel=10\r\n");
    if (c.hostsFile) corvitest::WriteFile("/etc/hosts", c.hostsFile);
    // The host name is the namespace's: a child gets one of its own.
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      if (unshare(CLONE_NEWUTS) != 0 || sethostname(c.hostName, std::strlen(c.hostName)) != 0) _exit(100);
      plat::UvLoop own;
      SetProgramPath(dir.path() + "/corvilink");
      plat::SetVersionBlock(&kDesktopVersion);
      TCorvilinkC engine(own);
      engine.StartEngine("W");
      _exit(Values.LocalHostName == c.hostName ? Values.ec4 : 101);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    corvitest::WriteFile("/etc/hosts", hosts);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.ec4);
    const auto log = corvitest::LogMessages(dir.path() + "/corvilink.log");
    ASSERT_EQ(log.size(), 6u);
    const std::string tag = log[0].substr(0, 4);
    EXPECT_EQ(log[3], tag + c.banner[0]);
    EXPECT_EQ(log[4], tag + c.banner[1] + (*c.hostName == '\0' ? own : ""));
  }
}

}  // namespace
