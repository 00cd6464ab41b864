// The game's own voice: espeak-ng, heard through the mixer's speech stream, centred.
//
// Threads: the functions below on the game thread (the main thread, as the game starts);
// whichever comes first loads the synthesizer's data (the disk). The backend makes and plays
// its lines on the voice thread, holding the synthesizer's lock while it makes one.
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
  // Called on the game thread about every 50 ms while Speak waits; it may throw to abandon
  // the wait (the window was closed).
  std::function<void()> while_waiting;
  // The synthesizer's data folder; empty for the one it was installed with.
  std::string data_path;
  // The player's rate (the loudness is the mixer's); none: the synthesizer's usual.
  std::shared_ptr<VoiceLevels> levels;
};

// Starts the synthesizer, once for the whole program, speaking `language` ("de", "pt_BR"):
// true, with its voice's name ("German"), when it has a voice for it. False when it has
// none (it then speaks English, `voice_name` saying which voice) or cannot start at all
// (`voice_name` empty: the voice's start says why). A voice whose data has no words (its
// dictionary missing or empty: it would say nothing at all) counts as none, `no_words` then
// true. Before any other thread starts; blocks while the voice loads and says a word.
bool ChooseEspeakLanguage(const std::string& language, const std::string& data_path,
                          std::string& voice_name, bool* no_words = nullptr);

// Fails with the reason when the synthesizer or its English voice cannot be loaded. The
// voice is the one chosen above, English when none was.
Status CreateEspeakBackend(VoiceOutput output, std::unique_ptr<VoiceBackend>& backend);
// The game's own voice: the voice core with the backend above.
Status CreateEspeakVoice(VoiceOutput output, std::unique_ptr<Voice>& voice);

}  // namespace palomir
