// The software mixer behind the sound device: every sound buffer and the speech stream
// mixed into one stereo stream of 32-bit float frames at 48 kHz.
//
// Pulled: the audio output calls mix() for each period. Game-thread calls change a
// channel under a mutex that they hold only for a few stores; mix() holds it for the
// length of one block and never allocates, frees or waits on anything else.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace palomir {

// Decoded sound: interleaved float samples at the mixer's rate, 1 or 2 channels.
struct Pcm {
  int channels = 1;
  std::vector<float> samples;
  size_t frames() const { return channels > 0 ? samples.size() / channels : 0; }
};

struct StereoGain {
  float left = 1.0f;
  float right = 1.0f;
};

// The sound card's laws: volume v (hundredths of a dB, -10000..0) scales both channels by
// 10^(v/2000), -10000 being silence; pan p < 0 takes |p|/100 dB off the right channel and
// p > 0 takes p/100 dB off the left, the other channel staying full; +-10000 silences the
// far channel. Pan and volume multiply.
StereoGain GainsFor(int32_t pan, int32_t volume);

// Speech samples (mono, mixer rate) handed from the voice's thread to the audio thread
// through a ring that neither side locks.
class SpeechStream {
 public:
  static constexpr size_t kCapacity = size_t{1} << 19;  // about 11 s of speech

  // Voice thread. Copies as much as fits and returns how many samples it took.
  size_t Write(std::span<const float> samples);
  // Samples ever written; a line has been heard once Heard() reaches its end.
  uint64_t Written() const { return written_.load(std::memory_order_acquire); }
  uint64_t Heard() const { return read_.load(std::memory_order_acquire); }
  // Voice thread: with no output running, nothing would ever be heard; drop what waits.
  void DropPending() { read_.store(written_.load(std::memory_order_acquire)); }

  // Audio thread. Adds up to out.size()/2 frames of speech, centred, at full volume.
  void MixInto(std::span<float> stereo_out);

 private:
  std::vector<float> ring_ = std::vector<float>(kCapacity);
  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> read_{0};
};

class Mixer {
 public:
  static constexpr int kRate = 48000;
  static constexpr int kChannels = 32;  // more than the game's ten sounds ever need
  using Channel = int;

  // Game thread. A new channel is stopped, at its start, centred and at full volume.
  // Returns -1 when every channel is taken.
  Channel Open(std::shared_ptr<const Pcm> pcm);
  // Game thread. Silences the channel and frees it; the samples are released here, never
  // on the audio thread.
  void Close(Channel c);
  // Game thread.
  void SetGain(Channel c, StereoGain gain);
  void Play(Channel c, bool looping);
  void Stop(Channel c);
  void Rewind(Channel c);
  bool Playing(Channel c) const;

  SpeechStream& speech() { return speech_; }

  // Any thread. How many blocks mix() has begun: a change made before a block began is heard
  // in that block.
  uint64_t blocks_begun() const { return blocks_.load(std::memory_order_acquire); }

  // Audio thread (or a test). Overwrites `stereo_out` (interleaved left, right) with the
  // next out.size()/2 frames.
  void mix(std::span<float> stereo_out);
  // Any thread but the audio thread. Moves every playing channel on by `frames` as if it
  // had been heard, rendering nothing: for a machine whose time is not real.
  void Advance(size_t frames);

 private:
  struct Slot {
    std::shared_ptr<const Pcm> pcm;
    bool used = false;
    bool playing = false;
    bool looping = false;
    size_t position = 0;  // frames
    StereoGain gain;
  };
  static void MixSlot(Slot& s, float* out, size_t frames);
  static void AdvanceSlot(Slot& s, size_t frames);

  mutable std::mutex mutex_;
  std::array<Slot, kChannels> slots_;
  std::atomic<uint64_t> blocks_{0};
  SpeechStream speech_;
};

}  // namespace palomir
