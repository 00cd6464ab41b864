// The program-wide objects: made once at start-up, released once at quit, children before
// parents. One instance per program; a test makes a fresh one for each game it plays.
// Game thread only: made, used and released there (what blocks is in each object's header).
#pragma once

#include <memory>

#include "platform/input.h"
#include "platform/platform.h"
#include "platform/sound.h"

namespace palomir {

class MainForm;

struct ProgramObjects {
  std::unique_ptr<::palomir::DxRoot> DxRoot;
  std::unique_ptr<::palomir::SoundDevice> SoundDevice;
  ::palomir::BufferDesc BufferDesc;

  // The input objects.
  std::unique_ptr<::palomir::InputRoot> InputRoot;
  std::unique_ptr<InputDevice> KeyboardDevice;
  std::unique_ptr<InputDevice> MouseDevice;
  KeyboardState KeyState{};

  // The ten sounds, in load order.
  std::unique_ptr<SoundBuffer> SoundBuzz;
  std::unique_ptr<SoundBuffer> SoundGoal;
  std::unique_ptr<SoundBuffer> SoundPuck;
  std::unique_ptr<SoundBuffer> SoundSideBounce;
  std::unique_ptr<SoundBuffer> SoundRebound;
  std::unique_ptr<SoundBuffer> SoundPaddle;
  std::unique_ptr<SoundBuffer> SoundOpponentHit;
  std::unique_ptr<SoundBuffer> SoundOpponentPaddleSlide;
  std::unique_ptr<SoundBuffer> SoundPaddleSlide;
  std::unique_ptr<SoundBuffer> SoundBackground;

  // The one window; cleared when it unloads.
  MainForm* Form = nullptr;
};

}  // namespace palomir
