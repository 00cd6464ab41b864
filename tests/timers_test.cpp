#include "platform/timers.h"

#include <gtest/gtest.h>

#include <vector>

namespace palomir {
namespace {

struct Clock {
  Micros now = 0;
  TimerQueue queue{[this] { return now; }};
  // Runs the queue at every millisecond up to `until`.
  void RunTo(Micros until) {
    for (; now <= until; now += 1000) queue.RunDue();
    now = until;
  }
};

TEST(Timers, IntervalZeroNeverTicksEvenWhenEnabled) {
  Clock c;
  int ticks = 0;
  Timer& t = c.queue.Add([&] { ++ticks; });
  t.SetEnabled(true);
  c.RunTo(1'000'000);
  EXPECT_EQ(ticks, 0);
  EXPECT_FALSE(c.queue.NextDue().has_value());
  t.SetInterval(-5);  // a negative interval is no interval
  EXPECT_EQ(t.Interval(), 0);
  c.RunTo(2'000'000);
  EXPECT_EQ(ticks, 0);
}

TEST(Timers, OneMillisecondTicksEveryTenLikeTen) {
  Clock c;
  int fast = 0, slow = 0;
  Timer& a = c.queue.Add([&] { ++fast; });
  Timer& b = c.queue.Add([&] { ++slow; });
  a.SetInterval(1);
  b.SetInterval(10);
  a.SetEnabled(true);
  b.SetEnabled(true);
  c.RunTo(1'000'000);
  EXPECT_EQ(fast, 100);
  EXPECT_EQ(slow, 100);
}

TEST(Timers, DisabledInsideItsOwnTickTicksNoMore) {
  Clock c;
  int ticks = 0;
  Timer* self = nullptr;
  Timer& t = c.queue.Add([&] {
    ++ticks;
    self->SetEnabled(false);
  });
  self = &t;
  t.SetInterval(10);
  t.SetEnabled(true);
  c.RunTo(200'000);
  EXPECT_EQ(ticks, 1);
}

TEST(Timers, ATickIsNeverStartedInsideItself) {
  Clock c;
  int depth = 0, deepest = 0, other = 0;
  Timer& t = c.queue.Add([&] {
    ++depth;
    deepest = std::max(deepest, depth);
    c.now += 50'000;   // the tick takes long enough to fall due again...
    c.queue.RunDue();  // ...and pumps: the other timer may run, this one may not
    --depth;
  });
  Timer& u = c.queue.Add([&] { ++other; });
  t.SetInterval(10);
  u.SetInterval(10);
  t.SetEnabled(true);
  u.SetEnabled(true);
  c.now = 10'000;
  c.queue.RunDue();
  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(other, 1);

  // A replayed tick goes the same way: run when asked, never inside itself, never for a
  // timer that is off or not there.
  int replayed = 0;
  Timer& r = c.queue.Add([&] {
    ++replayed;
    EXPECT_FALSE(c.queue.RunTick(2));
  });
  r.SetInterval(10);
  EXPECT_FALSE(c.queue.RunTick(2));  // off
  r.SetEnabled(true);
  EXPECT_TRUE(c.queue.RunTick(2));
  EXPECT_EQ(replayed, 1);
  EXPECT_FALSE(c.queue.RunTick(3));
  EXPECT_FALSE(c.queue.RunTick(-1));
  EXPECT_TRUE(c.queue.RunTick(0));  // the first timer is one too
  EXPECT_EQ(deepest, 1);
}

TEST(Timers, FixedScheduleWithoutDriftOrBursts) {
  Clock c;
  std::vector<Micros> at;
  Timer& t = c.queue.Add([&] { at.push_back(c.now); });
  t.SetInterval(10);
  t.SetEnabled(true);
  // Pumps that come a little late do not push the schedule back.
  for (Micros when : {10'300, 20'900, 30'100}) {
    c.now = when;
    c.queue.RunDue();
  }
  EXPECT_EQ(*c.queue.NextDue(), 40'000);
  // A stall of 95 ms gives one tick, not nine, and the schedule keeps its phase.
  c.now = 125'000;
  c.queue.RunDue();
  c.queue.RunDue();
  EXPECT_EQ(at.size(), 4u);
  EXPECT_EQ(*c.queue.NextDue(), 130'000);
}

TEST(Timers, EnablingAndNewIntervalsCountAFullPeriodFromNow) {
  Clock c;
  int ticks = 0;
  Timer& t = c.queue.Add([&] { ++ticks; });
  t.SetInterval(10);
  c.now = 5'000;
  t.SetEnabled(true);
  EXPECT_EQ(*c.queue.NextDue(), 15'000);
  t.SetEnabled(true);  // already on: the schedule stays
  c.now = 7'000;
  t.SetEnabled(true);
  EXPECT_EQ(*c.queue.NextDue(), 15'000);
  t.SetInterval(20);
  EXPECT_EQ(*c.queue.NextDue(), 27'000);
  EXPECT_EQ(ticks, 0);
}

TEST(Timers, ATimerSwitchedOnByATickKeepsThatTicksBeatHoweverLateItRan) {
  Clock c;
  Timer* other = nullptr;
  Timer* pumped = nullptr;
  Timer& a = c.queue.Add([&] {
    other->SetEnabled(true);
    // An input taken by a pump inside the tick counts from now, as any input does.
    TimerQueue::Pumping pump(c.queue);
    pumped->SetEnabled(true);
  });
  other = &c.queue.Add([] {});
  pumped = &c.queue.Add([] {});
  for (Timer* t : {&a, other, pumped}) t->SetInterval(10);
  a.SetEnabled(true);
  c.now = 10'700;  // the tick due at 10 ms runs 0.7 ms late
  c.queue.RunDue();
  a.SetEnabled(false);
  EXPECT_EQ(*c.queue.NextDue(), 20'000);  // `other`, on a's beat: one wake-up for both
  other->SetEnabled(false);
  EXPECT_EQ(*c.queue.NextDue(), 20'700);  // `pumped`
  // Outside a tick, from now again.
  pumped->SetEnabled(false);
  c.now = 12'300;
  pumped->SetEnabled(true);
  EXPECT_EQ(*c.queue.NextDue(), 22'300);
}

TEST(Timers, SimultaneousTicksRunInTheOrderTheTimersWereMade) {
  Clock c;
  std::vector<int> order;
  Timer& a = c.queue.Add([&] { order.push_back(0); });
  Timer& b = c.queue.Add([&] { order.push_back(1); });
  b.SetInterval(10);
  a.SetInterval(10);
  b.SetEnabled(true);
  a.SetEnabled(true);
  c.now = 10'000;
  c.queue.RunDue();
  EXPECT_EQ(order, (std::vector<int>{0, 1}));
}

}  // namespace
}  // namespace palomir
