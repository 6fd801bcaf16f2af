// The window-timer rules on virtual time.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "SimLoop.h"
#include "Timer.h"

namespace {

using Ticks = std::vector<uint64_t>;

// A timer whose ticks are recorded as virtual times.
struct Recorded {
  Recorded(sim::SimLoop& loop, bool enabled, uint32_t interval)
      : loop(loop), timer(loop, enabled, interval) {}
  void Bind() {
    timer.SetOnTimer([this] { ticks.push_back(loop.Now()); });
  }
  sim::SimLoop& loop;
  plat::Timer timer;
  Ticks ticks;
};

Ticks Every(uint64_t first, uint64_t step, uint64_t last) {
  Ticks t;
  for (uint64_t at = first; at <= last; at += step) t.push_back(at);
  return t;
}

Ticks Join(Ticks a, const Ticks& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(TimerTest, FirstTickAfterTheIntervalThenEveryInterval) {
  sim::SimLoop loop;
  Recorded t(loop, true, 5000);
  t.Bind();
  loop.Advance(4999);
  EXPECT_TRUE(t.ticks.empty());
  loop.Advance(1);
  EXPECT_EQ(t.ticks, Ticks{5000});
  loop.Advance(15000);
  EXPECT_EQ(t.ticks, (Ticks{5000, 10000, 15000, 20000}));
}

// Armed at 0, changed at 12000, watched until 45000.
struct ChangeCase {
  const char* name;
  uint32_t interval;
  std::function<void(Recorded&)> change;
  Ticks ticks;
};

TEST(TimerTest, AChangedValueRestartsTheCountdownTheSameValueDoesNot) {
  const ChangeCase cases[] = {
      {"same interval keeps the countdown", 5000, [](Recorded& r) { r.timer.SetInterval(5000); },
       Every(5000, 5000, 45000)},
      {"30000 to 30000 does not delay", 30000, [](Recorded& r) { r.timer.SetInterval(30000); },
       Ticks{30000}},
      {"5000 to 30000 restarts from now", 5000, [](Recorded& r) { r.timer.SetInterval(30000); },
       Ticks{5000, 10000, 42000}},
      {"a shorter interval restarts from now", 5000,
       [](Recorded& r) { r.timer.SetInterval(2500); },
       Join({5000, 10000}, Every(14500, 2500, 45000))},
      {"enabling an enabled timer keeps the countdown", 5000,
       [](Recorded& r) { r.timer.SetEnabled(true); }, Every(5000, 5000, 45000)},
      {"off and on again restarts with the same interval", 5000,
       [](Recorded& r) {
         r.timer.SetEnabled(false);
         r.timer.SetEnabled(true);
       },
       Join({5000, 10000}, Every(17000, 5000, 45000))},
      {"interval 0 and back restarts", 5000,
       [](Recorded& r) {
         r.timer.SetInterval(0);
         r.timer.SetInterval(5000);
       },
       Join({5000, 10000}, Every(17000, 5000, 45000))},
      {"binding the handler again restarts", 5000, [](Recorded& r) { r.Bind(); },
       Join({5000, 10000}, Every(17000, 5000, 45000))},
      {"disabling stops", 5000, [](Recorded& r) { r.timer.SetEnabled(false); },
       Ticks{5000, 10000}},
      {"interval 0 stops", 5000, [](Recorded& r) { r.timer.SetInterval(0); }, Ticks{5000, 10000}},
      {"unbinding the handler stops", 5000, [](Recorded& r) { r.timer.SetOnTimer(nullptr); },
       Ticks{5000, 10000}},
  };
  for (const ChangeCase& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimLoop loop;
    Recorded r(loop, true, c.interval);
    r.Bind();
    loop.Advance(12000);
    c.change(r);
    loop.Advance(33000);
    EXPECT_EQ(r.ticks, c.ticks);
  }
}

// Values that leave the timer unarmed: no tick however long we wait.
TEST(TimerTest, AnUnarmedTimerNeverTicks) {
  struct Case {
    const char* name;
    bool enabled;
    uint32_t interval;
    bool bind;
    std::function<void(plat::Timer&)> then;
  };
  const Case cases[] = {
      {"interval 0", true, 0, true, [](plat::Timer&) {}},
      {"disabled", false, 1000, true, [](plat::Timer&) {}},
      {"no handler", true, 1000, false, [](plat::Timer&) {}},
      {"an interval set on a disabled timer", false, 1000, true,
       [](plat::Timer& t) { t.SetInterval(5000); }},
      {"an interval set on a timer with interval 0 and disabled", false, 0, true,
       [](plat::Timer& t) { t.SetInterval(300); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimLoop loop;
    Recorded r(loop, c.enabled, c.interval);
    if (c.bind) r.Bind();
    c.then(r.timer);
    loop.Advance(3600000);
    EXPECT_TRUE(r.ticks.empty());
    EXPECT_FALSE(r.timer.Armed());
    EXPECT_EQ(loop.NextDue(), -1);
  }
}

TEST(TimerTest, SettingAnIntervalKeepsADisabledTimerDisabled) {
  sim::SimLoop loop;
  Recorded r(loop, false, 5000);
  r.Bind();
  r.timer.SetInterval(30000);
  EXPECT_FALSE(r.timer.Enabled());
  EXPECT_EQ(r.timer.Interval(), 30000u);
  loop.Advance(100000);
  EXPECT_TRUE(r.ticks.empty());
  r.timer.SetEnabled(true);  // counts from here with the interval set meanwhile
  loop.Advance(30000);
  EXPECT_EQ(r.ticks, Ticks{130000});
}

TEST(TimerTest, BindingTheHandlerArmsTheTimer) {
  sim::SimLoop loop;
  Recorded r(loop, true, 1000);
  loop.Advance(5500);
  EXPECT_FALSE(r.timer.Armed());
  r.Bind();
  EXPECT_TRUE(r.timer.Armed());
  loop.Advance(2000);
  EXPECT_EQ(r.ticks, (Ticks{6500, 7500}));
}

// The form's default timer: enabled, 1000 ms.
TEST(TimerTest, DefaultsAreEnabledWithOneSecond) {
  sim::SimLoop loop;
  plat::Timer t(loop);
  EXPECT_TRUE(t.Enabled());
  EXPECT_EQ(t.Interval(), 1000u);
}

TEST(TimerTest, AHandlerCanChangeItsOwnInterval) {
  sim::SimLoop loop;
  Recorded r(loop, true, 5000);
  // Like the update tick: 30000 at the start of every tick.
  r.timer.SetOnTimer([&] {
    r.ticks.push_back(loop.Now());
    r.timer.SetInterval(30000);
  });
  loop.Advance(100000);
  EXPECT_EQ(r.ticks, (Ticks{5000, 35000, 65000, 95000}));
}

TEST(TimerTest, AHandlerCanSwitchItselfOff) {
  sim::SimLoop loop;
  Recorded r(loop, true, 1000);
  r.timer.SetOnTimer([&] {
    r.ticks.push_back(loop.Now());
    r.timer.SetEnabled(false);
  });
  loop.Advance(10000);
  EXPECT_EQ(r.ticks, Ticks{1000});
  EXPECT_EQ(loop.NextDue(), -1);
}

TEST(TimerTest, AnEscapingErrorGoesToOnErrorAndTheTimerStaysArmed) {
  sim::SimLoop loop;
  plat::Timer t(loop, true, 1000);
  std::vector<std::string> errors;
  int calls = 0;
  t.OnError = [&](const std::exception& e) { errors.push_back(e.what()); };
  t.SetOnTimer([&] {
    ++calls;
    throw std::runtime_error("tick " + std::to_string(calls));
  });
  loop.Advance(3000);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(errors, (std::vector<std::string>{"tick 1", "tick 2", "tick 3"}));
  EXPECT_TRUE(t.Armed());
}

TEST(TimerTest, AnEscapingErrorWithoutOnErrorIsDropped) {
  sim::SimLoop loop;
  plat::Timer t(loop, true, 1000);
  int calls = 0;
  t.SetOnTimer([&] {
    ++calls;
    throw std::runtime_error("x");
  });
  EXPECT_NO_THROW(loop.Advance(2000));
  EXPECT_EQ(calls, 2);
}

TEST(TimerTest, TicksOfTwoTimersComeOneAtATimeInTimeOrder) {
  sim::SimLoop loop;
  plat::Timer a(loop, true, 300);
  plat::Timer b(loop, true, 500);
  std::vector<std::pair<char, uint64_t>> seen;
  bool inside = false;
  auto handler = [&](char name) {
    return [&, name] {
      EXPECT_FALSE(inside) << "a tick ran inside another";
      inside = true;
      seen.emplace_back(name, loop.Now());
      // A long handler: the other timer's due tick must wait for it.
      if (name == 'a' && loop.Now() == 900) loop.Sleep(250);
      inside = false;
    };
  };
  a.SetOnTimer(handler('a'));
  b.SetOnTimer(handler('b'));
  loop.Advance(1500);
  const std::vector<std::pair<char, uint64_t>> expected = {
      {'a', 300},  {'b', 500},  {'a', 600},  {'a', 900},  {'b', 1150}, {'a', 1200},
      {'b', 1500}, {'a', 1500},
  };
  EXPECT_EQ(seen, expected);
}

// Equal due times: the timer started first ticks first.
TEST(TimerTest, EqualDueTimesKeepStartOrder) {
  sim::SimLoop loop;
  std::string order;
  plat::Timer b(loop, true, 1000);
  plat::Timer a(loop, true, 1000);
  b.SetOnTimer([&] { order += 'b'; });
  a.SetOnTimer([&] { order += 'a'; });
  loop.Advance(3000);
  EXPECT_EQ(order, "bababa");
}

TEST(TimerTest, ADestroyedTimerNeverTicks) {
  sim::SimLoop loop;
  int calls = 0;
  {
    plat::Timer t(loop, true, 1000);
    t.SetOnTimer([&] { ++calls; });
    loop.Advance(1000);
  }
  loop.Advance(5000);
  EXPECT_EQ(calls, 1);
}

}  // namespace
