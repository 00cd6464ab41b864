// The lines a voice has still to say, and what it leaves out to keep up with play. A line
// queued behind more than about three seconds of speech would be heard long after the
// moment it belongs to: the oldest of them go. Lines that a newer line of the same kind has
// made stale (an old speed level, an old rate or volume, an old score) go at once, however
// little is queued: the newest is enough. A line the game
// waits for (the end of a game, the reason it cannot start) is never left out, nor is a line
// of the help or the tour: the newest the player asked for. "Behind" counts what is really
// still to be heard: the rest of the line being said, then the queue. Not locked: its owner
// calls it from one thread at a time (the voice core under its lock). Nothing here blocks.
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
  bool guide = false;  // the help's or the tour's: never left out, gone at the next F1/Escape
};

class SpeechQueue {
 public:
  static constexpr double kMostBehind = 3.0;  // seconds of speech
  // Lines queued closer together than this come from one run of the game's code.
  static constexpr double kSameRun = 0.002;

  // Any thread. How long a line (UTF-8) takes to say, near enough: 60 ms a character,
  // 0.3 s at least.
  static double Length(const std::string& text);
  // Any thread. Whether `newer` makes the readout being said stale at once: both are lines
  // of the game's own (not waited for, not the guide's) that say what a value now is in
  // words and a number ("Rate 325", "Rate 350"; "Speech -6 dB"), of one thing. The voice
  // then cuts `saying` short: the newest is enough. Bare numbers (a score, a speed, read in
  // groups) are not cut.
  static bool Replaces(const QueuedLine& newer, const QueuedLine& saying);
  // Any thread. Whether `newer` is such a readout with the very words being said ("Rate
  // 450, the highest" again, at the end of a burst): the line being said carries it, and
  // the newer one is left out rather than heard twice.
  static bool Repeats(const QueuedLine& newer, const QueuedLine& saying) {
    return newer.text == saying.text && Replaces(newer, saying);
  }

  // Queues a line; returns the lines that were left out to make room, oldest first.
  // `saying`: seconds still to be heard of the line being said.
  std::vector<QueuedLine> Push(QueuedLine line, double saying = 0);
  // How much slower than usual the voice speaks (2: twice as slow).
  void set_pace(double pace) { pace_ = pace > 0 ? pace : 1; }
  double pace() const { return pace_; }
  // Takes the help's and the tour's lines out; returns how many.
  size_t DropGuide();
  // The next line to say.
  bool Pop(QueuedLine& line);
  // Puts a line that was taken but not said back in front.
  void Return(QueuedLine line) { lines_.push_front(std::move(line)); }
  bool empty() const { return lines_.empty(); }
  // Seconds of speech queued, at the voice's pace.
  double seconds() const;
  const std::deque<QueuedLine>& lines() const { return lines_; }
  // Takes every line still queued, in order.
  std::deque<QueuedLine> TakeAll();

 private:
  std::deque<QueuedLine> lines_;
  double last_at_ = -1;
  bool last_wait_ = true;
  double pace_ = 1;
  uint64_t popped_group_ = 0;  // the group of the line taken last: begun, so said whole
  uint64_t groups_ = 0;
};

}  // namespace palomir
