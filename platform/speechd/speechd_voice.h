// The desktop's own voice: speech-dispatcher, with the voice, language and rate the player
// set up for their screen reader. Same contract as the embedded voice: lines queue in
// order and are never cut by the next; a waiting line returns once it has been spoken.
//
// A backend of the voice core: the game speaks speech-dispatcher's protocol itself, on the
// core's thread, over a socket it never blocks on: whatever the server does (nothing, hang
// up, answer nonsense) the game thread goes on. When the server fails, at the start or
// later, the player is told once and the game's own voice speaks every line from then on,
// the one that failed included (cancelled at the server first).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/voice_core.h"

namespace palomir {

struct SpeechdSetup {
  // Called on the game thread about every 50 ms while a line is waited for; it may throw to
  // abandon the wait.
  std::function<void()> while_waiting;
  // Game thread: makes the game's own voice, once speech-dispatcher has failed (blocking
  // while it loads).
  std::function<Status(std::unique_ptr<VoiceBackend>&)> own_voice;
  // Game thread: a message for the player; stderr when empty.
  std::function<void(const std::string&)> tell;
  // The voice sets it: a check the game thread runs at every pump, so that a server that
  // fails while the game says nothing is noticed and what was queued still said. Cleared
  // when the voice goes.
  std::shared_ptr<std::function<void()>> poll;
  // The player's rate and loudness: told to the server before a line once they differ from
  // the usual (until then the screen reader's own settings stand).
  std::shared_ptr<VoiceLevels> levels;
  // The language the game's lines are in, as speech-dispatcher names it ("de", "pt-br");
  // empty for English, where the screen reader's own language stands.
  std::string language;
};

// Game thread; returns at once (the server is reached on the voice's thread).
std::unique_ptr<Voice> CreateSpeechdVoice(SpeechdSetup setup);

// speech-dispatcher's volume (-100..100) for a level in decibels (0 the loudest): each step
// of the level is heard as that many decibels. Any thread; pure.
int SpeechdVolume(int db);

}  // namespace palomir
