#pragma once
// Window timer.
//
// Enabled, Interval and OnTimer, with the semantics of a window timer: it fires
// every Interval ms while enabled; enabling a running timer changes nothing;
// enabling a stopped one starts a full interval; changing the interval of a
// running timer starts a new full interval; an interval of 0 never fires.
//
// Time can be driven by a test: while a ManualClock exists, timers started
// (or re-armed) from then on follow it instead of the wall clock, and fire only
// when the test advances it.

#include <QObject>
#include <QTimer>

#include "core/Events.h"

namespace zelvo {

class ManualClock;

class TTimer : public QObject {
 public:
  explicit TTimer(QObject* owner = nullptr);
  ~TTimer() override;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  int Interval() const { return interval_; }
  void SetInterval(int ms);

  TNotifyEvent OnTimer;

 private:
  friend class ManualClock;
  void Arm();
  void Disarm();
  void Fire();

  QTimer timer_;
  bool enabled_ = false;
  int interval_ = 1000;
  ManualClock* clock_ = nullptr;  // set while following a manual clock
  qint64 due_ = 0;                // manual clock time of the next firing
};

// Milliseconds on the clock the timers follow: the manual clock's time while
// one exists, a monotonic clock's otherwise. Waits that are measured rather
// than timed (a limit counted from the latest progress) read it.
qint64 TimerClockMs();

// Test clock. One may exist at a time; timers armed while it exists follow it.
class ManualClock {
 public:
  ManualClock();
  ~ManualClock();
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  static ManualClock* Active();

  qint64 Now() const { return now_; }
  // Moves time forward by ms, firing every timer that falls due, in order of
  // due time. Qt events are processed after each firing.
  void Advance(qint64 ms);
  // Number of armed timers (enabled, non-zero interval).
  int ArmedCount() const;

 private:
  friend class TTimer;
  void Add(TTimer* timer);
  void Remove(TTimer* timer);

  qint64 now_ = 0;
  QList<TTimer*> timers_;
};

}  // namespace zelvo
