// Runs the engine's libuv loop inside Qt's event loop: the backend descriptor
// wakes a QSocketNotifier, the next libuv timer a single-shot QTimer, and
// both pump the loop once without waiting.
#pragma once

#include <QObject>

#include <uv.h>

class QSocketNotifier;
class QTimer;

namespace desk {

class QtLoop : public QObject {
public:
  explicit QtLoop(uv_loop_t* loop, QObject* parent = nullptr);
  ~QtLoop() override;
  QtLoop(const QtLoop&) = delete;
  QtLoop& operator=(const QtLoop&) = delete;

  // One uv_run(UV_RUN_NOWAIT), then Rearm. Does nothing from inside a pump.
  void Pump();
  // Arms the timer for libuv's next due timer, or stops it when nothing is
  // due. Call it after starting or changing libuv work outside a pump.
  void Rearm();
  // True while libuv callbacks run: a modal dialog must not be opened then.
  bool Pumping() const { return pumping_; }
  // Stops the notifier and the timer for good; the loop itself is closed by
  // its owner afterwards.
  void Close();

  // Pumps so far, for tests.
  uint64_t Pumps() const { return pumps_; }
  bool TimerArmed() const;

private:
  uv_loop_t* loop_;
  QSocketNotifier* notifier_ = nullptr;
  QTimer* timer_ = nullptr;
  bool pumping_ = false;
  uint64_t pumps_ = 0;
};

}  // namespace desk
