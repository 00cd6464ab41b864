#include "platform/timers.h"

#include <algorithm>

namespace palomir {

Micros Timer::Period() const {
  return static_cast<Micros>(std::max(interval_ms_, kShortestTickMs)) * 1000;
}

void Timer::Restart() {
  due_ = queue_.Beat() + Period();
}

void Timer::Tell(const char* what, int32_t value) const {
  if (queue_.observer_) queue_.observer_(index_, what, value);
}

void Timer::SetInterval(int32_t ms) {
  if (ms < 0) ms = 0;
  Tell("Interval", ms);
  if (ms == interval_ms_) return;
  interval_ms_ = ms;
  if (Live()) Restart();
}

void Timer::SetEnabled(bool enabled) {
  Tell("Enabled", enabled ? -1 : 0);
  if (enabled == enabled_) return;
  enabled_ = enabled;
  if (Live()) Restart();
}

Timer& TimerQueue::Add(std::function<void()> tick) {
  // Timer's constructor is private; the queue is its only maker.
  timers_.push_back(Timer(*this, static_cast<int>(timers_.size()), std::move(tick)));
  return timers_.back();
}

void TimerQueue::Hold(bool on) {
  if (on == held()) return;
  if (on) {
    held_since_ = now_();
    return;
  }
  const Micros shift = now_() - *held_since_;
  held_since_.reset();
  held_total_ += shift;
  for (Timer& t : timers_) t.due_ += shift;
}

void TimerQueue::RunDue() {
  if (held()) return;
  for (Timer& t : timers_) {
    if (!t.Live() || t.running_) continue;
    const Micros now = now_();
    if (now < t.due_) continue;
    const Micros period = t.Period();
    t.due_ += period * ((now - t.due_) / period + 1);
    Tick(t, t.due_ - period);
  }
}

void TimerQueue::Tick(Timer& t, std::optional<Micros> beat) {
  struct Running {
    Timer& t;
    explicit Running(Timer& timer) : t(timer) { t.running_ = true; }
    ~Running() { t.running_ = false; }
  } running(t);
  const Pumping at_beat(*this, beat);
  if (tick_observer_) tick_observer_(t.index_);
  t.tick_();
}

bool TimerQueue::RunTick(int index) {
  if (index < 0 || static_cast<size_t>(index) >= timers_.size()) return false;
  Timer& t = timers_[static_cast<size_t>(index)];
  if (!t.Live() || t.running_) return false;
  Tick(t, std::nullopt);
  return true;
}

std::optional<Micros> TimerQueue::NextDue() const {
  std::optional<Micros> next = wake_;
  if (held()) return next;
  for (const Timer& t : timers_) {
    if (!t.Live() || t.running_) continue;
    if (!next || t.due_ < *next) next = t.due_;
  }
  return next;
}

}  // namespace palomir
