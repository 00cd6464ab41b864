// Everything the game asks of the machine it runs on. Two machines implement it: the real
// one (a window, a sound card, a mouse, a keyboard and a speech synthesizer) and the
// virtual one that tests drive.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/input.h"
#include "platform/sound.h"
#include "platform/status.h"
#include "platform/voice.h"
#include "platform/window.h"

namespace palomir {

// The root object that makes the sound device, the input root and the input event.
class DxRoot {
 public:
  virtual ~DxRoot() = default;
  // "" is the default sound device. Fails with the system's reason when no output opens.
  virtual Status DirectSoundCreate(const std::string& device,
                                   std::unique_ptr<SoundDevice>& sound) = 0;
  virtual Status DirectInputCreate(std::unique_ptr<InputRoot>& input) = 0;
  // An input event: each signal of it calls `sink` with the event's handle, from the
  // event pump, on the game thread.
  virtual Status CreateEvent(std::function<void(int32_t)> sink, int32_t& handle) = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;
  virtual Window& window() = 0;
  virtual Status CreateVoice(std::unique_ptr<Voice>& voice) = 0;
  virtual Status CreateDxRoot(std::unique_ptr<DxRoot>& root) = 0;
};

}  // namespace palomir
