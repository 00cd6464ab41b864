// The window's periodic timers. Ticks come from the event pump, on the game thread.
// Game thread only; nothing here blocks but the ticks RunDue and RunTick run.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <utility>

namespace palomir {

// Microseconds on a clock that only moves forward.
using Micros = int64_t;

// The shortest time between two ticks of one timer: the window system never ticks faster,
// so a 1 ms timer ticks every 10 ms, like a 10 ms one.
inline constexpr int32_t kShortestTickMs = 10;

class TimerQueue;

class Timer {
 public:
  // Milliseconds between ticks; 0 means no ticks at all. A new interval starts counting
  // afresh from now.
  void SetInterval(int32_t ms);
  int32_t Interval() const { return interval_ms_; }
  // A timer switched on counts a whole period from now before its first tick; switched on
  // from inside a tick, from that tick's own moment on its schedule, however late the tick
  // ran: timers switched on by ticks keep the beat of the timers that switched them, so the
  // game thread wakes once a beat for all of them. Switching it off, even from inside its
  // own tick, stops every further tick.
  void SetEnabled(bool enabled);
  bool Enabled() const { return enabled_; }

 private:
  friend class TimerQueue;
  Timer(const TimerQueue& queue, int index, std::function<void()> tick)
      : queue_(queue), index_(index), tick_(std::move(tick)) {}
  Micros Period() const;
  bool Live() const { return enabled_ && interval_ms_ > 0; }
  void Restart();

  void Tell(const char* what, int32_t value) const;

  const TimerQueue& queue_;
  int index_;
  std::function<void()> tick_;
  int32_t interval_ms_ = 0;
  bool enabled_ = false;
  bool running_ = false;  // inside its own tick: never started again there
  Micros due_ = 0;
};

class TimerQueue {
 public:
  // Told of every change a caller makes: timer index (in order of Add), "Interval" or
  // "Enabled", the new value. For a machine that records what the game does.
  using Observer = std::function<void(int, const char*, int32_t)>;

  explicit TimerQueue(std::function<Micros()> now) : now_(std::move(now)) {}
  void set_observer(Observer observer) { observer_ = std::move(observer); }
  // Told of every tick as it begins, with the timer's index: for a machine that records
  // what reached the game.
  void set_tick_observer(std::function<void(int)> observer) {
    tick_observer_ = std::move(observer);
  }
  TimerQueue(const TimerQueue&) = delete;
  TimerQueue& operator=(const TimerQueue&) = delete;

  // Timers tick in the order they were added when several fall due together.
  Timer& Add(std::function<void()> tick);
  // Runs the tick of every timer that is due now, once each. A tick that fell behind by
  // more than a period is not repeated: the timer keeps its fixed schedule and ticks at the
  // next point of it, so nothing drifts and nothing bursts.
  void RunDue();
  // For the event pump: while `pumping` lives, timers switched on count from now, not from
  // the moment of a tick the pump runs inside (a tick that pumps, then takes an input that
  // switches a timer on).
  class Pumping {
   public:
    explicit Pumping(TimerQueue& queue) : Pumping(queue, std::nullopt) {}
    ~Pumping() { queue_.beat_ = beat_; }
    Pumping(const Pumping&) = delete;
    Pumping& operator=(const Pumping&) = delete;

   private:
    friend class TimerQueue;
    // The queue's own: the beat of the tick it runs, for as long as the tick runs.
    Pumping(TimerQueue& queue, std::optional<Micros> beat)
        : queue_(queue), beat_(std::exchange(queue.beat_, beat)) {}
    TimerQueue& queue_;
    std::optional<Micros> beat_;  // the one it stood in for, given back at the end
  };
  // When the next tick falls due; nothing when no timer can tick.
  std::optional<Micros> NextDue() const;
  // Runs one timer's tick now, as RunDue would when it falls due (a tick that is running
  // is never started again inside itself): for replaying a recorded game. False when that
  // timer cannot tick now.
  bool RunTick(int index);

  // Holds every timer still (the game holds still while the player listens to the help):
  // nothing ticks, and on release each timer goes on from exactly where it stood, its next
  // tick as far away as it was when the hold began.
  void Hold(bool on);
  bool held() const { return held_since_.has_value(); }
  // How long the timers have been held, in all, this hold included: the game's own clock
  // stands still as long.
  Micros HeldFor() const { return held_total_ + (held_since_ ? now_() - *held_since_ : 0); }
  // Something beside the timers wants the game thread woken at `at` (nothing: not any more).
  // NextDue counts it, so the machine's wait ends then.
  void WakeAt(std::optional<Micros> at) { wake_ = at; }

 private:
  friend class Timer;
  void Tick(Timer& t, std::optional<Micros> beat);
  // Now, or inside a tick RunDue runs, that tick's point on its schedule.
  Micros Beat() const { return beat_ ? *beat_ : now_(); }
  std::function<Micros()> now_;
  std::optional<Micros> beat_;
  Observer observer_;
  std::function<void(int)> tick_observer_;
  std::optional<Micros> held_since_;
  Micros held_total_ = 0;
  std::optional<Micros> wake_;
  std::deque<Timer> timers_;  // a deque keeps every Timer& stable
};

}  // namespace palomir
