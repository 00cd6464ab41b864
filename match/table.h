// The table of a match between two players, each at their own end: the rules of the game
// against the computer with a player at both ends, run a tick (10 ms of the game's clock) at a
// time from both ends' inputs. Pure and deterministic: the same inputs give the same state and
// the same events on every machine, which is what lets each end run ahead on a guess of its
// friend's input and run the ticks again when the real input comes.
//
// The state is kept as the host hears it: volume 0 at the host's end, -4000 at the joiner's,
// pan positive to the host's right. The joiner hears it mirrored (Seen).
//
// Threads: any; nothing here blocks.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/arith.h"

namespace palomir::match {

enum End : int { kHost = 0, kJoiner = 1 };
inline constexpr int Other(int end) { return 1 - end; }

inline constexpr int32_t kTickMs = 10;
inline constexpr int32_t kWelcomeTicks = 200;  // the welcome, then two seconds to the puck
inline constexpr int32_t kFirstLevel = 10;

// What one end did during one tick.
struct EndInput {
  int16_t dx = 0;      // the mouse's sideways movement, positive right
  int16_t dy = 0;      // forward-back, negative pushed away
  uint8_t runs = 0;    // times the input handler read the keys (each run acts on what is down)
  uint8_t serves = 0;  // presses of the left button
  uint64_t keys = 0;   // kGridKeys bits (row by row, left to right), then the keys below
  uint8_t flags = 0;   // kListening
  bool operator==(const EndInput&) const = default;
};
inline constexpr int kGridKeys = 36;
inline constexpr uint64_t kKeyUp = uint64_t{1} << 36;
inline constexpr uint64_t kKeyDown = uint64_t{1} << 37;
inline constexpr uint64_t kKeyYes = uint64_t{1} << 38;
inline constexpr uint64_t kKeyNo = uint64_t{1} << 39;
inline constexpr uint64_t kAllKeys = (uint64_t{1} << 40) - 1;
inline constexpr uint8_t kListening = 1;  // the help or the tour plays at this end
inline constexpr uint8_t kAllFlags = 1;
inline constexpr uint8_t kMostRuns = 15;
inline constexpr uint8_t kMostServes = 3;
// The friend's input for a tick not heard yet: what they did last, but no new press.
EndInput Predicted(const EndInput& last);

enum class Phase : uint8_t { kWelcome, kPlay, kOver, kEnded };

struct Paddle {
  int32_t pan = 0;  // seen from its own end, as a player's paddle in the game
  int32_t volume = -2000;
  int32_t speed_x = 0;  // the last mouse movement, as MouseSpeedX and MouseSpeedY
  int32_t speed_y = 0;
  bool listening = false;
  bool answered = false;  // Y after a match
  bool operator==(const Paddle&) const = default;
};

struct State {
  int32_t tick = 0;
  Phase phase = Phase::kWelcome;
  int32_t countdown = kWelcomeTicks;  // ticks left of the welcome
  int32_t puck_pan = 0;
  int32_t puck_volume = -4000;
  bool right = true;        // the puck goes to the host's right
  bool toward_host = true;  // the puck comes toward the host
  int32_t lateral_speed = 0;
  int32_t depth_speed = 0;
  int32_t level = kFirstLevel;  // the speed level: the host's
  std::array<Paddle, 2> paddles{};
  std::array<int32_t, 2> scores{};
  int32_t matches = 1;  // the number of this match since the two games met
  bool operator==(const State&) const = default;
};

// What a tick did, for the sounds and the voice. Positions as the host hears them.
struct Event {
  enum class Kind : uint8_t {
    kSlide,       // `end` moved its paddle sideways
    kHit,         // `end` hit the puck
    kSideBounce,  // off a side wall
    kRebound,     // off `end`'s end wall
    kGoal,        // `end` scored
    kPuckIn,      // the puck is on the table: its loop starts
    kWelcome,     // a new match begins
    kLevel,       // the host changed the speed level to `value`
    kListening,   // `end` listens to the help or the tour (value 1) or no longer (0)
    kOver,        // the match is over
    kAnswered,    // `end` wants to play again
    kQuit,        // `end` answered N: the match ends for both
  };
  int32_t tick = 0;
  Kind kind = Kind::kSlide;
  int8_t end = 0;
  int32_t pan = 0;
  int32_t volume = 0;
  int32_t value = 0;
  bool operator==(const Event&) const = default;
};

// Runs one tick. A run-time error (an overflow) is thrown as in the game.
void Step(State& s, const std::array<EndInput, 2>& in, std::vector<Event>& out);

// The state as `end` hears it: pan and volume of the puck and of the friend's paddle.
struct Seen {
  int32_t puck_pan;
  int32_t puck_volume;
  int32_t friend_pan;
  int32_t friend_volume;
};
Seen SeenFrom(const State& s, int end);
// A position the host hears at (pan, volume), as `end` hears it.
int32_t PanFrom(int end, int32_t pan);
int32_t VolumeFrom(int end, int32_t volume);

// A checksum of the whole state (FNV-1a over its fields).
uint64_t Checksum(const State& s);

}  // namespace palomir::match
