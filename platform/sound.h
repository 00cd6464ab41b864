// Sound device and sound buffers: one buffer per sound file, each with its own pan,
// volume and play position. Every call is made from the game thread. A buffer's calls never
// block; CreateSoundBufferFromFile reads the file (the disk), and letting the device go
// closes the sound output (50 ms at most).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/status.h"

namespace palomir {

// Pan: -10000 full left .. 0 centre .. 10000 full right.
inline constexpr int32_t kPanLeft = -10000;
inline constexpr int32_t kPanRight = 10000;
// Volume in hundredths of a decibel: -10000 silent .. 0 full.
inline constexpr int32_t kVolumeMin = -10000;
inline constexpr int32_t kVolumeMax = 0;

// Play flags.
inline constexpr int32_t kPlayOnce = 0;
inline constexpr int32_t kPlayLooping = 1;  // DSBPLAY_LOOPING

// How buffers are made. Only the flags are used: 224 asks for frequency, pan and volume
// control; every other property of a buffer comes from its file.
struct BufferDesc {
  int32_t flags = 0;
};

class SoundBuffer {
 public:
  virtual ~SoundBuffer() = default;

  // Moves the sound; a value outside -10000..10000 fails and changes nothing.
  // GetPan returns exactly the value last set, 0 on a fresh buffer.
  virtual Status SetPan(int32_t pan) = 0;
  virtual Status GetPan(int32_t& pan) const = 0;
  // Distance; a value outside -10000..0 fails and changes nothing. Read back exactly.
  virtual Status SetVolume(int32_t volume) = 0;
  virtual Status GetVolume(int32_t& volume) const = 0;
  // kPlayOnce plays from the current position to the end; kPlayLooping loops until Stop.
  // Play on a playing buffer lets it continue; a buffer that played to its end starts over.
  virtual Status Play(int32_t flags) = 0;
  // Only 0 is accepted: the next sound starts from the beginning, playing or not.
  virtual Status SetCurrentPosition(int32_t position) = 0;
  // Halts at once; the position stays where it was.
  virtual Status Stop() = 0;
};

class SoundDevice {
 public:
  virtual ~SoundDevice() = default;
  // Levels 1 (normal) to 3 (write-primary) are accepted; the game asks for 2 (priority).
  virtual Status SetCooperativeLevel(int32_t window, int32_t level) = 0;
  // Reads a PCM WAV file (8 or 16 bits, mono or stereo). A missing, truncated or
  // unsupported file fails with a reason and leaves `buffer` untouched.
  virtual Status CreateSoundBufferFromFile(const std::string& path, const BufferDesc& desc,
                                           std::unique_ptr<SoundBuffer>& buffer) = 0;
};

}  // namespace palomir
