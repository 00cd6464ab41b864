// The game's sound files on Windows: PCM WAV (8 or 16 bits, mono or stereo, 4000 to 192000
// Hz), read whole from a wide-character path and converted once to float at the mixer's
// rate. A missing, truncated or unsupported file fails with the reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/mixer/mixer.h"
#include "platform/status.h"

namespace palomir {

// The same two calls as the Linux layer's (platform/sdl/wav.h).
Status DecodeWav(const uint8_t* data, size_t size, Pcm& pcm);
Status LoadWavFile(const std::string& path, Pcm& pcm);

}  // namespace palomir
