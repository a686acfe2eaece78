#include "core/Timer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>

namespace zelvo {

namespace {
ManualClock* g_clock = nullptr;
}

TTimer::TTimer(QObject* owner) : QObject(owner) {
  timer_.setSingleShot(false);
  // A coarse timer may fire up to 5 % early: a limit of 120 s would end the
  // wait 6 s before its time.
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, this, [this] { Fire(); });
}

TTimer::~TTimer() { Disarm(); }

void TTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  if (enabled_)
    Arm();
  else
    Disarm();
}

void TTimer::SetInterval(int ms) {
  if (ms == interval_) return;
  interval_ = ms;
  if (enabled_) {
    Disarm();
    Arm();
  }
}

void TTimer::Arm() {
  if (interval_ <= 0) return;  // a zero interval never fires
  if (ManualClock* clock = ManualClock::Active()) {
    clock_ = clock;
    due_ = clock->Now() + interval_;
    clock->Add(this);
    return;
  }
  timer_.start(interval_);
}

void TTimer::Disarm() {
  timer_.stop();
  if (clock_) {
    clock_->Remove(this);
    clock_ = nullptr;
  }
}

void TTimer::Fire() {
  if (!enabled_) return;
  Raise(OnTimer, this);
}

qint64 TimerClockMs() {
  if (const ManualClock* clock = ManualClock::Active()) return clock->Now();
  static const QElapsedTimer since = [] {
    QElapsedTimer started;
    started.start();
    return started;
  }();
  return since.elapsed();
}

ManualClock::ManualClock() {
  Q_ASSERT(!g_clock);
  g_clock = this;
}

ManualClock::~ManualClock() {
  for (TTimer* timer : timers_) timer->clock_ = nullptr;
  g_clock = nullptr;
}

ManualClock* ManualClock::Active() { return g_clock; }

void ManualClock::Add(TTimer* timer) {
  if (!timers_.contains(timer)) timers_.append(timer);
}

void ManualClock::Remove(TTimer* timer) { timers_.removeAll(timer); }

int ManualClock::ArmedCount() const { return static_cast<int>(timers_.size()); }

void ManualClock::Advance(qint64 ms) {
  const qint64 target = now_ + ms;
  for (;;) {
    auto next = std::min_element(timers_.begin(), timers_.end(),
                                 [](TTimer* a, TTimer* b) { return a->due_ < b->due_; });
    if (next == timers_.end() || (*next)->due_ > target) break;
    TTimer* timer = *next;
    // A timer's handler may advance the clock itself (a nested wait driven
    // by the test): time never goes back.
    now_ = std::max(now_, timer->due_);
    timer->due_ += timer->interval_;  // periodic, like a window timer
    timer->Fire();
    QCoreApplication::processEvents();
  }
  now_ = std::max(now_, target);
}

}  // namespace zelvo
