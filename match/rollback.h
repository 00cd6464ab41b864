// Rollback: each end runs its own input at once and guesses its friend's (what they did
// last); when the friend's real input for a tick arrives and differs from the guess, the
// state saved before that tick is taken back and the ticks since are run again. A tick is
// final once both ends' inputs for it are known and it has run with them.
//
// Threads: the game thread (any one thread); nothing here blocks.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "match/table.h"

namespace palomir::match {

class Rollback {
 public:
  // Ticks run ahead on guesses at most: 150 ms. Past that the end waits for its friend.
  static constexpr int32_t kMostAhead = 15;
  // Ticks of inputs and saved states kept; the friend's input is taken this far ahead.
  static constexpr int32_t kKept = 64;
  // A checksum of the final state every second.
  static constexpr int32_t kChecksumEvery = 100;

  explicit Rollback(int local_end) : local_(local_end) { remote_tick_.fill(-1); }

  int local_end() const { return local_; }
  // Whether the next tick may run: not while kMostAhead ticks already run on guesses.
  bool CanAdvance() const { return next_ - known_ < kMostAhead; }
  // Runs the next tick with this end's input and the friend's, known or guessed (settling
  // first what the friend's inputs since proved wrong).
  void Advance(const EndInput& local);
  // The friend's input for `tick`. False when it is not taken: already known (a repeat),
  // or too far ahead to be the friend's.
  bool Remote(int32_t tick, const EndInput& input);
  // Runs again from the first tick whose guess proved wrong. Returns the ticks run again.
  int Settle();

  const State& state() const { return state_; }
  int32_t next_tick() const { return next_; }
  // Ticks before this are final.
  int32_t confirmed() const { return std::min(known_, next_); }
  // The friend's inputs are known before this tick.
  int32_t known() const { return known_; }
  // This end's input for a tick run, of the last kKept (to send it again).
  const EndInput& LocalInput(int32_t tick) const { return local_inputs_[Slot(tick)]; }

  // The events of ticks not yet final, as the latest run has them (a run again replaces
  // those of the ticks it ran), and those made final since the last call, taken.
  const std::deque<Event>& pending() const { return pending_; }
  std::vector<Event> TakeFinal();
  // The final state's checksums (tick, checksum of the state as that tick begins) made
  // since the last call.
  std::vector<std::pair<int32_t, uint64_t>> TakeChecksums() { return std::exchange(sums_, {}); }
  // Both ends' inputs of each tick made final since the last call, in order (to record them).
  std::vector<std::array<EndInput, 2>> TakeFinalInputs() { return std::exchange(final_inputs_, {}); }

 private:
  static size_t Slot(int32_t tick) { return static_cast<size_t>(tick % kKept); }
  void Run(int32_t tick);
  void Finalise();

  int local_;
  State state_;
  int32_t next_ = 0;   // ticks run
  int32_t known_ = 0;  // the friend's inputs known, without a gap, before this tick
  int32_t wrong_ = -1;  // the first tick whose guess proved wrong, -1 for none
  int32_t final_ = 0;  // ticks whose events and checksums were made final
  EndInput last_remote_;
  std::array<State, kKept> saved_{};  // the state as each tick begins
  std::array<EndInput, kKept> local_inputs_{};
  std::array<EndInput, kKept> remote_inputs_{};
  std::array<int32_t, kKept> remote_tick_{};  // which tick each remote slot holds, -1: none
  std::array<EndInput, kKept> used_{};        // the friend's input each tick ran with
  std::deque<Event> pending_;
  std::vector<Event> finals_;
  std::vector<std::array<EndInput, 2>> final_inputs_;
  std::vector<std::pair<int32_t, uint64_t>> sums_;
  std::vector<Event> scratch_;

 public:
  Rollback(const Rollback&) = delete;
  Rollback& operator=(const Rollback&) = delete;
};

}  // namespace palomir::match
