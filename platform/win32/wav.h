// The game's sound files on Windows: PCM WAV (8 or 16 bits, mono or stereo, 4000 to 192000
// Hz), read whole from a wide-character path and converted once to float at the mixer's
// rate. A missing, truncated or unsupported file fails with the reason.
#pragma once

#include <string>

#include "platform/mixer/mixer.h"
#include "platform/status.h"

namespace palomir::win32 {

Status LoadWav(const std::string& path, Pcm& pcm);

}  // namespace palomir::win32
