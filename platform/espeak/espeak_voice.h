// The game's own voice: espeak-ng, heard through the mixer's speech stream, centred.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/mixer/mixer.h"
#include "platform/voice_core.h"

namespace palomir {

struct VoiceOutput {
  std::shared_ptr<Mixer> mixer;
  // True while a sound output pulls the mixer; without one, speech is dropped as it is
  // made, so that a waiting Speak does not wait for ever.
  std::function<bool()> running;
  // Called on the game thread every few milliseconds while Speak waits; it may throw to
  // abandon the wait (the window was closed).
  std::function<void()> while_waiting;
  // The synthesizer's data folder; empty for the one it was installed with.
  std::string data_path;
  // The player's rate (the loudness is the mixer's); none: the synthesizer's usual.
  std::shared_ptr<VoiceLevels> levels;
};

// Fail with the reason when the synthesizer or its English voice cannot be loaded.
Status CreateEspeakBackend(VoiceOutput output, std::unique_ptr<VoiceBackend>& backend);
// The game's own voice: the voice core with the backend above.
Status CreateEspeakVoice(VoiceOutput output, std::unique_ptr<Voice>& voice);

}  // namespace palomir
