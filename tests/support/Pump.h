#pragma once
// Driving a test through the event loop with a manual clock: window timers
// and the link's reply timer follow the clock, everything else (socket
// notifications, the poll thread's hand-offs) arrives through the event loop.

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <functional>

#include "core/MessagePump.h"
#include "core/Timer.h"

namespace zelvo::test {

// Processes events and moves the clock in steps of stepMs until pred() holds;
// false when maxVirtualMs of clock time or 20 s of wall time went by first.
inline bool RunUntil(ManualClock& clock, const std::function<bool()>& pred, qint64 maxVirtualMs = 600000,
                     int stepMs = 10) {
  QElapsedTimer wall;
  wall.start();
  const qint64 end = clock.Now() + maxVirtualMs;
  while (!pred()) {
    if (clock.Now() >= end || wall.elapsed() > 20000) return pred();
    WaitForMessages(1);
    ProcessMessages();
    if (pred()) return true;
    clock.Advance(stepMs);
  }
  return true;
}

// Handles messages until pred() holds (true) or ms of wall time have passed
// (false): a bound that only catches a hang. Threads that change state
// without posting anything are looked at again every few milliseconds.
inline bool Eventually(const std::function<bool()>& pred, int ms = 3000) {
  QDeadlineTimer deadline(ms);
  while (!pred()) {
    if (deadline.hasExpired()) return pred();
    WaitForMessages(5);
  }
  return true;
}

// Lets everything pending run without moving the clock.
inline void Settle(int wallMs = 20) {
  QElapsedTimer wall;
  wall.start();
  while (wall.elapsed() < wallMs) WaitForMessages(2);
  ProcessMessages();
}

}  // namespace zelvo::test
