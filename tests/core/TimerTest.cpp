#include <gtest/gtest.h>

#include "core/MessagePump.h"
#include "core/Timer.h"

using namespace zelvo;

TEST(TTimer, FiresEveryIntervalWhileEnabled) {
  ManualClock clock;
  TTimer timer;
  int fired = 0;
  timer.OnTimer = [&](QObject* sender) {
    EXPECT_EQ(sender, &timer);
    ++fired;
  };
  timer.SetInterval(100);
  timer.SetEnabled(true);
  clock.Advance(99);
  EXPECT_EQ(fired, 0);
  clock.Advance(1);
  EXPECT_EQ(fired, 1);
  clock.Advance(250);
  EXPECT_EQ(fired, 3);
  timer.SetEnabled(false);
  clock.Advance(1000);
  EXPECT_EQ(fired, 3);
}

TEST(TTimer, EnablingARunningTimerKeepsItsSchedule) {
  ManualClock clock;
  TTimer timer;
  int fired = 0;
  timer.OnTimer = [&](QObject*) { ++fired; };
  timer.SetInterval(5000);
  timer.SetEnabled(true);
  clock.Advance(4000);
  timer.SetEnabled(true);  // no restart
  clock.Advance(1000);
  EXPECT_EQ(fired, 1);
}

TEST(TTimer, ReEnablingAStoppedTimerStartsAFullInterval) {
  ManualClock clock;
  TTimer timer;
  int fired = 0;
  timer.OnTimer = [&](QObject* sender) {
    ++fired;
    static_cast<TTimer*>(sender)->SetEnabled(false);  // one-shot use
  };
  timer.SetInterval(7000);
  timer.SetEnabled(true);
  clock.Advance(7000);
  EXPECT_EQ(fired, 1);
  clock.Advance(3000);
  timer.SetEnabled(true);
  clock.Advance(6999);
  EXPECT_EQ(fired, 1);
  clock.Advance(1);
  EXPECT_EQ(fired, 2);
}

TEST(TTimer, ZeroIntervalNeverFiresAndChangingIntervalRestarts) {
  ManualClock clock;
  TTimer timer;
  int fired = 0;
  timer.OnTimer = [&](QObject*) { ++fired; };
  timer.SetInterval(0);
  timer.SetEnabled(true);
  clock.Advance(100000);
  EXPECT_EQ(fired, 0);
  EXPECT_EQ(clock.ArmedCount(), 0);
  timer.SetInterval(250);
  clock.Advance(200);
  timer.SetInterval(300);  // new full interval from now
  clock.Advance(299);
  EXPECT_EQ(fired, 0);
  clock.Advance(1);
  EXPECT_EQ(fired, 1);
}

TEST(TTimer, DestroyedTimerLeavesTheClock) {
  ManualClock clock;
  {
    TTimer timer;
    timer.SetInterval(10);
    timer.SetEnabled(true);
    EXPECT_EQ(clock.ArmedCount(), 1);
  }
  EXPECT_EQ(clock.ArmedCount(), 0);
  clock.Advance(100);
}

TEST(TTimer, RealClockFiresThroughTheEventLoop) {
  TTimer timer;
  int fired = 0;
  timer.OnTimer = [&](QObject*) { ++fired; };
  timer.SetInterval(5);
  timer.SetEnabled(true);
  EXPECT_TRUE(WaitUntil([&] { return fired >= 2; }, 5000));
}
