// A window timer: Enabled, Interval, OnTimer. Changing a value restarts the
// countdown; assigning the value it already has changes nothing; interval 0
// never ticks; a timer without a handler never ticks.
#pragma once

#include "Loop.h"

namespace plat {

class Timer {
public:
  Timer(Loop& loop, bool enabled = true, uint32_t interval = 1000);

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool on);
  uint32_t Interval() const { return interval_; }
  void SetInterval(uint32_t ms);
  void SetOnTimer(std::function<void()> handler);
  bool Armed() const { return enabled_ && interval_ != 0 && handler_ != nullptr; }

  // Whatever escapes a tick handler goes here; the timer stays armed.
  std::function<void(const std::exception&)> OnError;

private:
  void Rearm();
  void Tick();

  bool enabled_;
  uint32_t interval_;
  std::function<void()> handler_;
  std::unique_ptr<LoopTimer> countdown_;
};

}  // namespace plat
