// The desktop's own voice: speech-dispatcher, with the voice, language and rate the player
// set up for their screen reader. Same contract as the embedded voice: lines queue in
// order and are never cut by the next; a waiting line returns once it has been spoken.
#pragma once

#include <functional>
#include <memory>

#include "platform/voice.h"

namespace palomir {

// `while_waiting` is called on the game thread every few milliseconds while a line is
// waited for; it may throw to abandon the wait. Fails with the reason when
// speech-dispatcher cannot be reached.
Status CreateSpeechdVoice(std::function<void()> while_waiting, std::unique_ptr<Voice>& voice);

}  // namespace palomir
