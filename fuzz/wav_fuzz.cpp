// Any bytes as a sound file: rejected with a reason, or decoded into whole frames.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/core/wav.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  palomir::Pcm pcm;
  const palomir::Status s = palomir::DecodeWav(data, size, pcm);
  if (s.ok()) {
    if (pcm.channels < 1 || pcm.channels > 2 || pcm.frames() == 0 ||
        pcm.samples.size() % static_cast<size_t>(pcm.channels) != 0) {
      std::abort();
    }
  } else if (s.reason().empty()) {
    std::abort();  // a failure always says why
  }
  return 0;
}
