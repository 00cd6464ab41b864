// Rate conversion to the mixer's 48 kHz by libsoxr, at its high quality: flat to well past
// 10 kHz for a 22.05 kHz source, images far below hearing. Game thread or voice thread,
// never the audio thread (it allocates). It does not block, but takes time in proportion to
// the sound.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace palomir {

// A whole sound, interleaved, treated as a ring: what comes after its end is its start, so a
// loop stays seamless and a one-shot, silent at both ends, loses nothing. Gives
// round(frames * 48000 / rate) frames.
std::vector<float> ResampleRing(std::span<const float> interleaved, int channels, int rate);

// A mono line of speech, silent before and after.
std::vector<float> ResampleLine(std::span<const float> mono, int rate);

}  // namespace palomir
