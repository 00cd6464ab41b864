// Speech on Windows, as backends of the voice core, which owns the lines and hands them over
// one at a time. The game's own voice is the system's SAPI 5 voice of the game's language,
// rendered to memory on the core's thread and mixed with the sounds, centred, as the
// embedded voice is on Linux (so the player's rate and loudness keys work the same). With
// `system`, the lines go to the player's screen reader instead (readers.h): to NVDA through
// its controller interface, to JAWS through its automation object, else as UI Automation
// notifications raised on the game's window. Where none of them runs (no UI Automation
// client listening, or none at all, as under Wine), the game says so once and speaks with
// its own voice.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/mixer/mixer.h"
#include "platform/voice.h"

struct IRawElementProviderSimple;

namespace palomir {

struct SapiSetup {
  std::shared_ptr<Mixer> mixer;
  // True while a sound output pulls the mixer; without one, speech is dropped as it is made.
  std::function<bool()> running;
  // Game thread, about every 50 ms while Speak waits; may throw (the window closed).
  std::function<void()> while_waiting;
  std::shared_ptr<VoiceLevels> levels;
  bool system = false;
  // The game's language ("de", "pt_BR"; "" is English): the voice that speaks it is chosen.
  std::string language;
  // The window's UI Automation element (win32/uia_provider.h), on which the screen reader's
  // notifications are raised; null where there is no UI Automation.
  IRawElementProviderSimple* provider = nullptr;
  // The machine's look at every pump (VoiceCoreSetup::poll): a screen reader that goes
  // while the game says nothing (NVDA closed) is noticed there, not at the next line.
  std::shared_ptr<std::function<void()>> poll;
};

// Whether an installed SAPI voice speaks the game's language ("de"; "" is English); the name
// of that voice, else of the English one the game then speaks with ("sapi" where the voices
// say no name or language), "" when the system has no voice at all. True also where the
// English one cannot speak either: no voice speaks, and the text keeps the language. Main thread, as the game
// starts; blocks while SAPI lists its voices (on a thread of its own, with COM set up there).
bool ChooseSapiLanguage(const std::string& language, std::string& voice_name);

// Fails with the reason when neither the screen reader nor the system's voice can speak.
// Game thread. Blocks while the system's voice starts and says a first word on a thread of
// its own; for the screen reader it returns at once, and that wait comes with the fallback,
// on the game thread, once the screen reader fails.
Status CreateSapiVoice(SapiSetup setup, std::unique_ptr<Voice>& voice);

}  // namespace palomir
