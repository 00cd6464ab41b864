// The speech voice: espeak-ng on a thread of its own, heard through the mixer's speech
// stream, centred and at full volume.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/mixer/mixer.h"
#include "platform/voice.h"

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

// Starts the synthesizer, once for the whole program, speaking `language` ("de", "pt_BR"):
// true, with its voice's name ("German"), when it has a voice for it. False when it has
// none (it then speaks English, `voice_name` saying which voice) or cannot start at all
// (`voice_name` empty: the voice's start says why).
bool ChooseEspeakLanguage(const std::string& language, const std::string& data_path,
                          std::string& voice_name);

// Fails with the reason when the synthesizer or its English voice cannot be loaded.
Status CreateEspeakVoice(VoiceOutput output, std::unique_ptr<Voice>& voice);

}  // namespace palomir
