#include "platform/pad.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/keycodes.h"

namespace palomir {

namespace {

constexpr int32_t kDeadZone = 4000;     // of the stick's 32767: its middle, felt as the middle
constexpr int32_t kPanReach = 4800;     // the paddle's pan at the stick's side
constexpr int32_t kNearMiddle = -950;  // the middle of where the paddle hits: at rest
constexpr int32_t kNearReach = 950;    // to the end wall and to the farthest it hits (-1900)
constexpr int32_t kUnitsPerMove = 4;    // pan or volume units per unit of mouse movement
constexpr int32_t kLeastMove = 4;       // mouse units: less is the stick trembling
constexpr int kBeatMs = 10;

// -1..1 beyond the dead zone.
double Lean(int32_t v) {
  const double off = std::max(0, std::abs(v) - kDeadZone) / double(32767 - kDeadZone);
  return std::copysign(std::min(1.0, off), double(v));
}

int32_t Round(double v) {
  return static_cast<int32_t>(std::lround(v));
}

uint16_t Motor(double fraction) {
  return static_cast<uint16_t>(std::lround(std::clamp(fraction, 0.0, 1.0) * 65535.0));
}

}  // namespace

std::optional<RawInput> PadMapper::Stick(PadStick stick, PaddlePlace paddle) {
  const PaddlePlace target{Round(Lean(stick.x) * kPanReach),
                           Round(kNearMiddle + Lean(stick.y) * kNearReach)};
  // The first reading only says where the stick rests: the paddle stays where it is.
  if (!last_) {
    last_ = target;
    return std::nullopt;
  }
  const int32_t least = kLeastMove * kUnitsPerMove;
  if (std::abs(target.pan - last_->pan) < least && std::abs(target.volume - last_->volume) < least)
    return std::nullopt;
  last_ = target;
  const int32_t dx = Round(double(target.pan - paddle.pan) / kUnitsPerMove);
  const int32_t dy = Round(double(target.volume - paddle.volume) / kUnitsPerMove);
  if (dx == 0 && dy == 0) return std::nullopt;
  return RawInput::MouseMove(dx, dy);
}

std::optional<RawInput> PadMapper::Button(PadButton button, bool down, bool answering) {
  const auto i = static_cast<size_t>(button);
  if (!down) {
    // A button let go lets go what its press gave, whatever the game asks now.
    std::optional<RawInput> press = std::exchange(pressed_[i], std::nullopt);
    if (!press) return std::nullopt;
    if (press->kind == RawInput::Kind::kMouseButton) return RawInput::Button(press->a, false);
    return RawInput::KeyUp(press->a);
  }
  std::optional<RawInput> in;
  switch (button) {
    case PadButton::kA:
      in = answering ? RawInput::KeyDown(dik::kY) : RawInput::Button(0, true);
      break;
    case PadButton::kB:
      if (answering) in = RawInput::KeyDown(dik::kN);
      break;
    case PadButton::kX: in = RawInput::Button(1, true); break;
    case PadButton::kY: in = RawInput::Button(2, true); break;
    case PadButton::kStart: in = RawInput::KeyDown(dik::kF1); break;
    case PadButton::kBack: in = RawInput::KeyDown(dik::kF2); break;
    case PadButton::kLeftShoulder: in = RawInput::KeyDown(dik::kF5); break;
    case PadButton::kRightShoulder: in = RawInput::KeyDown(dik::kF6); break;
    case PadButton::kUp: in = RawInput::KeyDown(dik::kUp); break;
    case PadButton::kDown: in = RawInput::KeyDown(dik::kDown); break;
  }
  pressed_[i] = in;
  return in;
}

std::vector<RawInput> PadMapper::LetGo() {
  std::vector<RawInput> ups;
  for (size_t i = 0; i < pressed_.size(); ++i) {
    if (auto up = Button(static_cast<PadButton>(i), false, false)) ups.push_back(*up);
  }
  return ups;
}

Rumble RumbleLaw::Of(Event event, int32_t speed, int strength) {
  const double s = std::clamp(speed, 10, 100) / 100.0;
  Rumble r;
  switch (event) {
    case Event::kPlayerHit:  // sharp: mostly the light motor, longer for a harder hit
      r = {Motor(0.45 * s), Motor(s), static_cast<uint32_t>(60 + Round(40 * s))};
      break;
    case Event::kComputerHit:  // heavier, felt from farther away
      r = {Motor(s), Motor(0.35 * s), 120};
      break;
    case Event::kWall:  // a short knock
      r = {0, Motor(0.5), 40};
      break;
    case Event::kComputerGoal:  // a long buzz
      r = {Motor(1.0), Motor(0.6), 700};
      break;
    case Event::kPlayerGoal:  // each of the two pulses
      r = {Motor(0.8), Motor(0.8), 150};
      break;
  }
  const double k = std::clamp(strength, 0, 100) / 100.0;
  r.low = Motor(r.low / 65535.0 * k);
  r.high = Motor(r.high / 65535.0 * k);
  return r;
}

Rumble RumbleLaw::Near(int32_t volume, int strength) {
  // Eight soft steps, growing as the puck's loudness does.
  const double p = std::clamp((volume + 4000) / 4000.0, 0.0, 1.0);
  const int step = Round(p * p * 8);
  return {Motor(0.3 * step / 8.0 * std::clamp(strength, 0, 100) / 100.0), 0, 0};
}

void RumbleLaw::set_present(bool present) {
  present_ = present;
  hit_.reset();
  beats_left_ = second_in_ = 0;
  near_sent_.reset();
  moving_ = false;
}

void RumbleLaw::Send(const Rumble& r) {
  if (!present_) return;
  moving_ = r.low != 0 || r.high != 0;
  out_(r);
}

void RumbleLaw::Pulse(const Rumble& r) {
  Send(r);
  beats_left_ = static_cast<int>((r.ms + kBeatMs - 1) / kBeatMs);
  near_sent_.reset();  // felt again once the pulse is over
}

void RumbleLaw::On(Event event) {
  const bool wanted = event == Event::kWall                                         ? choice_.walls
                      : event == Event::kPlayerHit || event == Event::kComputerHit ? choice_.hits
                                                                                   : choice_.goals;
  if (!present_ || !wanted || choice_.strength <= 0) return;
  if (event == Event::kPlayerHit || event == Event::kComputerHit) {
    hit_ = event;
    return;
  }
  const Rumble r = Of(event, 0, choice_.strength);
  Pulse(r);
  if (event == Event::kPlayerGoal) second_in_ = beats_left_ + 10;
}

void RumbleLaw::PuckAt(int32_t volume) {
  const std::optional<int32_t> before = std::exchange(puck_, volume);
  if (!present_) return;
  if (hit_ && before && *before != volume) {
    Pulse(Of(*hit_, std::abs(volume - *before), choice_.strength));
    hit_.reset();
    return;
  }
  if (beats_left_ > 0) return;
  const Rumble felt = choice_.nearness ? Near(volume, choice_.strength) : Rumble{};
  if (near_sent_ ? *near_sent_ == felt : felt == Rumble{}) return;
  near_sent_ = felt;
  Send(felt);
}

void RumbleLaw::Beat() {
  if (second_in_ > 0 && --second_in_ == 0) {
    Pulse(Of(Event::kPlayerGoal, 0, choice_.strength));
    return;
  }
  if (beats_left_ > 0 && --beats_left_ == 0) {
    // The motors stopped by themselves; nearness is felt again from the puck's next step.
    moving_ = false;
  }
}

void RumbleLaw::Stop() {
  hit_.reset();
  beats_left_ = second_in_ = 0;
  near_sent_.reset();
  if (moving_) Send({});
}

}  // namespace palomir
