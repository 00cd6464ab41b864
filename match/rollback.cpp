#include "match/rollback.h"

#include <algorithm>

namespace palomir::match {

void Rollback::Run(int32_t tick) {
  const size_t slot = Slot(tick);
  saved_[slot] = state_;
  used_[slot] = tick < known_ ? remote_inputs_[slot] : Predicted(last_remote_);
  std::array<EndInput, 2> in;
  in[static_cast<size_t>(local_)] = local_inputs_[slot];
  in[static_cast<size_t>(Other(local_))] = used_[slot];
  scratch_.clear();
  Step(state_, in, scratch_);
  pending_.insert(pending_.end(), scratch_.begin(), scratch_.end());
}

void Rollback::Advance(const EndInput& local) {
  if (wrong_ >= 0) Settle();
  local_inputs_[Slot(next_)] = local;
  Run(next_);
  ++next_;
  Finalise();
}

bool Rollback::Remote(int32_t tick, const EndInput& input) {
  if (tick < known_ || tick >= known_ + kKept || tick > next_ + kKept - kMostAhead - 1) return false;
  const size_t slot = Slot(tick);
  if (remote_tick_[slot] == tick) return false;
  remote_tick_[slot] = tick;
  remote_inputs_[slot] = input;
  while (remote_tick_[Slot(known_)] == known_) {
    const size_t k = Slot(known_);
    if (known_ < next_ && !(used_[k] == remote_inputs_[k]) && wrong_ < 0) wrong_ = known_;
    last_remote_ = remote_inputs_[k];
    ++known_;
  }
  return true;
}

int Rollback::Settle() {
  if (wrong_ < 0) {
    Finalise();
    return 0;
  }
  const int32_t from = wrong_;
  wrong_ = -1;
  state_ = saved_[Slot(from)];
  while (!pending_.empty() && pending_.back().tick >= from) pending_.pop_back();
  // The guesses for the ticks still unknown follow the friend's latest input.
  for (int32_t t = from; t < next_; ++t) Run(t);
  Finalise();
  return next_ - from;
}

void Rollback::Finalise() {
  const int32_t upto = confirmed();
  while (!pending_.empty() && pending_.front().tick < upto) {
    finals_.push_back(pending_.front());
    pending_.pop_front();
  }
  for (; final_ < upto; ++final_) {
    std::array<EndInput, 2> in;
    in[static_cast<size_t>(local_)] = local_inputs_[Slot(final_)];
    in[static_cast<size_t>(Other(local_))] = remote_inputs_[Slot(final_)];
    final_inputs_.push_back(in);
    const int32_t t = final_ + 1;  // the state as tick t begins is final once t-1 is
    if (t % kChecksumEvery != 0) continue;
    sums_.emplace_back(t, Checksum(t < next_ ? saved_[Slot(t)] : state_));
  }
}

std::vector<Event> Rollback::TakeFinal() {
  return std::exchange(finals_, {});
}

}  // namespace palomir::match
