// The desktop's own voice: speech-dispatcher, with the voice, language and rate the player
// set up for their screen reader. Same contract as the embedded voice: lines queue in
// order and are never cut by the next; a waiting line returns once it has been spoken.
//
// The game speaks speech-dispatcher's protocol itself, on a thread of the voice's own,
// over a socket it never blocks on: whatever the server does (nothing, hang up, answer
// nonsense) the game thread goes on. When the server fails, at the start or later, the
// game says so once on stderr and its own voice speaks every line from then on, the one
// that failed included.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/voice.h"

namespace palomir {

struct SpeechdSetup {
  // Called on the game thread every few milliseconds while a line is waited for; it may
  // throw to abandon the wait.
  std::function<void()> while_waiting;
  // Makes the game's own voice, once speech-dispatcher has failed.
  std::function<Status(std::unique_ptr<Voice>&)> own_voice;
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

std::unique_ptr<Voice> CreateSpeechdVoice(SpeechdSetup setup);

}  // namespace palomir
