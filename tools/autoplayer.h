// A scripted player for the virtual machine: it hits the puck from the keyboard grid when
// the puck comes within reach (missing some on purpose), serves after a computer goal,
// answers Y when a game ends, and adds random mouse movement, clicks and arrow presses.
// Used by the long-run tests, the benchmarks and the fuzzers.
#pragma once

#include <array>
#include <cstdint>
#include <random>

#include "game/main_form.h"
#include "game/sound_ops.h"
#include "platform/keycodes.h"
#include "platform/virtual/virtual_platform.h"

namespace palomir {

class Autoplayer {
 public:
  Autoplayer(VirtualPlatform& vp, ProgramObjects& o, MainForm& f, uint32_t seed, double skill = 0.7)
      : vp_(vp), o_(o), f_(f), rng_(seed), skill_(skill) {}

  // Decides this moment's input, then lets `seconds` of play go by.
  void Step(double seconds = 0.01) {
    if (held_) {
      vp_.KeyUp(held_);
      held_ = 0;
    }
    if (f_.GameOver == kTrue) {
      Hold(dik::kY);
    } else {
      Play();
    }
    vp_.RunFor(seconds);
  }

 private:
  void Hold(uint8_t key) {
    vp_.KeyDown(key);
    held_ = key;
  }

  double Chance() { return std::uniform_real_distribution<double>(0, 1)(rng_); }

  void Play() {
    const int32_t pan = PanOf(o_.SoundPuck);
    const int32_t volume = VolumeOf(o_.SoundPuck);
    const bool resting = f_.DepthSpeed == 0;
    if (volume > -1500 && (f_.ToTimer.Enabled() || resting) && pan > -4000 && pan < 4000) {
      if (!decided_) {
        decided_ = true;
        swing_ = resting || Chance() < skill_;
      }
      if (swing_) {
        static constexpr std::array<std::array<uint8_t, 9>, 4> kRows = {{
            {dik::k1, dik::k2, dik::k3, dik::k4, dik::k5, dik::k6, dik::k7, dik::k8, dik::k9},
            {dik::kQ, dik::kW, dik::kE, dik::kR, dik::kT, dik::kY, dik::kU, dik::kI, dik::kO},
            {dik::kA, dik::kS, dik::kD, dik::kF, dik::kG, dik::kH, dik::kJ, dik::kK, dik::kL},
            {dik::kZ, dik::kX, dik::kC, dik::kV, dik::kB, dik::kN, dik::kM, dik::kComma,
             dik::kPeriod},
        }};
        const int column = std::clamp((pan + 4000 + 400) / 800 - 1, 0, 8);
        const auto row = static_cast<size_t>(rng_() % 4);
        Hold(kRows[row][static_cast<size_t>(column)]);
        return;
      }
    } else {
      decided_ = false;
    }
    // Whatever else a restless player does.
    const double c = Chance();
    if (c < 0.05) {
      std::uniform_int_distribution<int32_t> d(-30, 30);
      vp_.MouseMove(d(rng_), d(rng_));
    } else if (c < 0.055) {
      const int32_t button = static_cast<int32_t>(rng_() % 3);
      vp_.Button(button, true);
      vp_.Button(button, false);
    } else if (c < 0.06) {
      Hold(f_.SpeedLevel < 6 ? dik::kUp : dik::kDown);
    }
  }

  VirtualPlatform& vp_;
  ProgramObjects& o_;
  MainForm& f_;
  std::mt19937 rng_;
  double skill_;
  uint8_t held_ = 0;
  bool decided_ = false;
  bool swing_ = false;
};

}  // namespace palomir
