// The lines a voice has still to say, and what it leaves out to keep up with play. A line
// queued behind more than about three seconds of speech would be heard long after the
// moment it belongs to: the lines that a newer line of the same kind has made stale (an
// old speed level, an old readout) go first, then the oldest of the others. A line the game
// waits for (the end of a game, the reason it cannot start) is never left out.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace palomir {

struct QueuedLine {
  uint64_t id = 0;
  std::string text;
  bool wait = false;   // the game waits until it has been heard
  double at = 0;       // seconds, when it was queued
  uint64_t group = 0;  // the lines one handler's run queued together
};

class SpeechQueue {
 public:
  static constexpr double kMostBehind = 3.0;  // seconds of speech
  // Lines queued closer together than this come from one run of the game's code.
  static constexpr double kSameRun = 0.002;

  // How long a line takes to say, near enough: 60 ms a character, 0.3 s at least.
  static double Length(const std::string& text);

  // Queues a line; returns the lines that were left out to make room, oldest first.
  std::vector<QueuedLine> Push(QueuedLine line);
  // The next line to say.
  bool Pop(QueuedLine& line);
  bool empty() const { return lines_.empty(); }
  double seconds() const;
  const std::deque<QueuedLine>& lines() const { return lines_; }
  // Takes every line still queued, in order.
  std::deque<QueuedLine> TakeAll();

 private:
  std::deque<QueuedLine> lines_;
  double last_at_ = -1;
  bool last_wait_ = true;
  uint64_t groups_ = 0;
};

}  // namespace palomir
