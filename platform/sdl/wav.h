// WAV files into the mixer's format. Game thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/mixer/mixer.h"
#include "platform/status.h"

namespace palomir {

// Reads PCM WAV bytes (8 or 16 bits, 1 or 2 channels, 4000..192000 Hz) and converts them
// once to float at the mixer's rate. A truncated file, a chunk whose size lies, an empty
// sound or any other encoding fails with the reason; `pcm` is then left as it was.
Status DecodeWav(const uint8_t* data, size_t size, Pcm& pcm);
Status LoadWavFile(const std::string& path, Pcm& pcm);

}  // namespace palomir
