// The game's side of a sound buffer: positions are read back at the moment of use, and a
// buffer that did not load, or a call that fails, is a run-time error.
// Game thread only; nothing here blocks (a buffer's calls only tell the mixer).
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

#include "platform/arith.h"
#include "platform/sound.h"

namespace palomir {

using BufferRef = std::unique_ptr<SoundBuffer>;

inline SoundBuffer& Loaded(const BufferRef& b) {
  if (!b) throw RuntimeError("a sound that did not load was used");
  return *b;
}
inline int32_t PanOf(const BufferRef& b) {
  int32_t pan = 0;
  Check(Loaded(b).GetPan(pan));
  return pan;
}
inline int32_t VolumeOf(const BufferRef& b) {
  int32_t volume = 0;
  Check(Loaded(b).GetVolume(volume));
  return volume;
}
inline void SetPan(const BufferRef& b, int32_t pan) {
  Check(Loaded(b).SetPan(pan));
}
inline void SetVolume(const BufferRef& b, int32_t volume) {
  Check(Loaded(b).SetVolume(volume));
}
inline void Play(const BufferRef& b, int32_t flags) {
  Check(Loaded(b).Play(flags));
}
inline void Rewind(const BufferRef& b) {
  Check(Loaded(b).SetCurrentPosition(0));
}
inline void Stop(const BufferRef& b) {
  Check(Loaded(b).Stop());
}

// A puck step never leaves the sound card's ranges: it stops at the edge.
inline int32_t ClampPan(int32_t pan) {
  return std::clamp(pan, kPanLeft, kPanRight);
}
inline int32_t ClampVolume(int32_t volume) {
  return std::clamp(volume, kVolumeMin, kVolumeMax);
}

}  // namespace palomir
