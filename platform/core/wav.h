// The game's sound files read into the mixer's format, the same on every system: the file
// is read through platform/files.h and decoded here. Game thread (nothing here is shared).
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
// Reads the file at `path` (UTF-8) and decodes it. Only a plain file is read, opened without
// waiting (a pipe with no writer never holds the game) and never past the size it had when
// it was opened. Blocks for as long as the disk takes to give up to 64 MB.
Status LoadWavFile(const std::string& path, Pcm& pcm);

}  // namespace palomir
