#include "QtLoop.h"

#include <QSocketNotifier>
#include <QTimer>

namespace desk {

QtLoop::QtLoop(uv_loop_t* loop, QObject* parent) : QObject(parent), loop_(loop) {
  notifier_ = new QSocketNotifier(uv_backend_fd(loop_), QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &QtLoop::Pump);
  timer_ = new QTimer(this);
  timer_->setSingleShot(true);
  timer_->setTimerType(Qt::PreciseTimer);
  connect(timer_, &QTimer::timeout, this, &QtLoop::Pump);
}

QtLoop::~QtLoop() { Close(); }

void QtLoop::Pump() {
  if (loop_ == nullptr || pumping_) return;
  pumping_ = true;
  // The descriptor stays readable until libuv has read it: without this a
  // nested event loop would spin on it.
  notifier_->setEnabled(false);
  uv_run(loop_, UV_RUN_NOWAIT);
  ++pumps_;
  pumping_ = false;
  // A callback may have ended it all (Close from a handler).
  if (loop_ == nullptr) return;
  notifier_->setEnabled(true);
  Rearm();
}

void QtLoop::Rearm() {
  if (loop_ == nullptr || pumping_) return;
  // An empty loop answers 0, which would pump without end.
  if (!uv_loop_alive(loop_)) {
    timer_->stop();
    return;
  }
  // The cached loop time is that of the last pump.
  uv_update_time(loop_);
  const int ms = uv_backend_timeout(loop_);
  if (ms < 0) {
    timer_->stop();
  } else {
    timer_->start(ms);
  }
}

void QtLoop::Close() {
  if (loop_ == nullptr) return;
  loop_ = nullptr;
  notifier_->setEnabled(false);
  timer_->stop();
  if (pumping_) {
    // Called from a callback that one of the two started.
    notifier_->deleteLater();
    timer_->deleteLater();
  } else {
    delete notifier_;
    delete timer_;
  }
  notifier_ = nullptr;
  timer_ = nullptr;
}

bool QtLoop::TimerArmed() const { return timer_ != nullptr && timer_->isActive(); }

}  // namespace desk
