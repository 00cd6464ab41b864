// A gamepad as the game hears it, written once for every system: the mapping that turns the
// pad's stick and buttons into the mouse's movement and the keys the rules read, and the law
// that turns what happens on the table into the pad's rumble. A backend only reads its
// device (PadState) and drives its motors (Rumble).
//
// Threads: game thread only. Nothing here blocks; nothing here calls the system.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/input.h"

namespace palomir {

// The buttons the game uses, named as on the common pads (A at the bottom of the four).
enum class PadButton { kA, kB, kX, kY, kBack, kStart, kLeftShoulder, kRightShoulder, kUp, kDown };

// The left stick as both systems give it: -32768..32767, right and toward the player (down)
// positive.
struct PadStick {
  int32_t x = 0;
  int32_t y = 0;
};

// One call to the pad's two motors: the heavy (low) and the light (high) one, 0..65535, for
// `ms` milliseconds; 0 ms lasts until the next call.
struct Rumble {
  uint16_t low = 0;
  uint16_t high = 0;
  uint32_t ms = 0;
  bool operator==(const Rumble&) const = default;
};

// What the player chose to feel: each kind on or off, and how strong all of it is (percent).
struct RumbleChoice {
  int strength = 75;
  bool hits = true;
  bool walls = true;
  bool goals = true;
  bool nearness = false;  // the puck coming close
  bool operator==(const RumbleChoice&) const = default;
};

// The paddle's place as the rules last set it (the paddle slide's pan and volume).
struct PaddlePlace {
  int32_t pan = 0;
  int32_t volume = 0;
};

class PadMapper {
 public:
  // Where the stick points: the paddle goes there (the middle of the stick is the middle of
  // the table's width and of the near half), as the mouse movement that takes it there.
  // Nothing when the stick has not moved far enough to move the paddle.
  std::optional<RawInput> Stick(PadStick stick, PaddlePlace paddle);
  // A button pressed or let go: a mouse button or a key, as the rules read them. While the
  // game asks whether to play again, A is Y and B is N. Nothing for a button with no use.
  std::optional<RawInput> Button(PadButton button, bool down, bool answering);
  // The stick is taken afresh (a pad plugged in, the focus back).
  void Forget() { last_ = std::nullopt; }
  // The pad is gone: what each button still held gave is let go, so that no key stays down.
  std::vector<RawInput> LetGo();

 private:
  std::optional<PaddlePlace> last_;  // where the stick last sent the paddle
  std::array<std::optional<RawInput>, 10> pressed_;  // what each button's press gave
};

class RumbleLaw {
 public:
  enum class Event { kPlayerHit, kComputerHit, kWall, kComputerGoal, kPlayerGoal };
  // Every call for the motors goes to `out`.
  explicit RumbleLaw(std::function<void(const Rumble&)> out) : out_(std::move(out)) {}

  void set_choice(const RumbleChoice& choice) { choice_ = choice; }
  const RumbleChoice& choice() const { return choice_; }
  // The pad is there: only then does anything rumble.
  void set_present(bool present);
  // A sound of the table played. A hit is felt as strong as the puck goes after it: at the
  // puck's next step.
  void On(Event event);
  // The puck's loudness set (its distance: -4000 far .. 0 near).
  void PuckAt(int32_t volume);
  // One beat of the game's clock (10 ms) passed.
  void Beat();
  // Everything stops (the game held, the focus lost, the end); the rumble of nearness comes
  // back at the puck's next step.
  void Stop();

  // The law itself, for one event (a hit's puck speed, 1..100).
  static Rumble Of(Event event, int32_t speed, int strength);
  static Rumble Near(int32_t volume, int strength);

 private:
  void Send(const Rumble& r);
  // A pulse of `r.ms`, the nearness held back until it is over.
  void Pulse(const Rumble& r);
  Rumble Scaled(Rumble r) const;

  std::function<void(const Rumble&)> out_;
  RumbleChoice choice_;
  bool present_ = false;
  std::optional<Event> hit_;          // a hit waiting for the puck's next step
  std::optional<int32_t> puck_;       // the puck's last loudness
  int beats_left_ = 0;                // of the pulse being felt
  int second_in_ = 0;                 // beats until the second pulse of a goal
  std::optional<Rumble> near_sent_;   // the rumble of nearness now on
  bool moving_ = false;               // something rumbles now
};

}  // namespace palomir
