#include "Timer.h"

#include <exception>
#include <stdexcept>

namespace plat {

Timer::Timer(Loop& loop, bool enabled, uint32_t interval)
    : enabled_(enabled), interval_(interval), countdown_(loop.NewTimer([this] { Tick(); })) {}

void Timer::SetEnabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  Rearm();
}

void Timer::SetInterval(uint32_t ms) {
  if (ms == interval_) return;
  interval_ = ms;
  Rearm();
}

void Timer::SetOnTimer(std::function<void()> handler) {
  handler_ = std::move(handler);
  Rearm();
}

void Timer::Rearm() {
  countdown_->Stop();
  if (Armed()) countdown_->Start(interval_);
}

void Timer::Tick() {
  if (!Armed()) return;
  // Copy: the handler may rebind or destroy nothing, but it may change our values.
  auto handler = handler_;
  try {
    handler();
  } catch (const std::exception& e) {
    if (OnError) OnError(e);
  } catch (...) {
    if (OnError) OnError(std::runtime_error("unknown error"));
  }
}

}  // namespace plat
