// The software mixer behind the sound device: every sound buffer and the speech stream
// mixed into one stereo stream of 32-bit float frames at 48 kHz, then limited so that it
// never leaves full scale.
//
// Threads. Two threads meet here and neither ever waits for the other:
// - the game thread opens, changes and closes channels (Open, Close, SetGain, Play, Stop,
//   Rewind, Playing);
// - the audio thread pulls mix() once per period.
// Each channel's wishes are a few atomic words that the game thread overwrites and the
// audio thread reads at the start of every block: no lock, no queue to fill up, no system
// call. Samples stay alive until the audio thread is known to be done with them and are
// freed on the game thread. With no audio thread at all (a machine whose time is not real),
// the game thread may call Advance() instead of mix().
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
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
// far channel. Pan and volume multiply. Any thread; pure.
StereoGain GainsFor(int32_t pan, int32_t volume);

// Speech samples (mono, mixer rate) handed from the voice's thread to the audio thread
// through a ring that neither side locks.
class SpeechStream {
 public:
  static constexpr size_t kCapacity = size_t{1} << 19;  // about 11 s of speech

  // Voice thread. Copies as much as fits and returns how many samples it took.
  size_t Write(std::span<const float> samples);
  // Any thread. Samples ever written; a line has been heard once Heard() reaches its end.
  uint64_t Written() const { return written_.load(std::memory_order_acquire); }
  uint64_t Heard() const { return read_.load(std::memory_order_acquire); }
  // Voice thread: what has been written stops being heard at the next block (a line cut
  // short, or one no output would ever play); the audio thread skips it. Only the audio
  // thread moves what has been heard on, so an output coming back meanwhile never hears the
  // skipped part again.
  void Cut() { cut_to_.store(written_.load(std::memory_order_relaxed), std::memory_order_release); }

  // Audio thread. Adds up to out.size()/2 frames of speech, centred, scaled by `gain`.
  void MixInto(std::span<float> stereo_out, float gain = 1.0f);

 private:
  std::vector<float> ring_ = std::vector<float>(kCapacity);
  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> read_{0};
  std::atomic<uint64_t> cut_to_{0};
};

// The master limiter. A mix whose frames all stay below kThreshold passes untouched, bit
// for bit. A louder frame lowers the gain at once, just enough to bring it to the
// threshold; the gain then recovers smoothly over about kReleaseSeconds, slow enough not to
// be heard breathing. Both channels share one gain, so the stereo image holds.
class Limiter {
 public:
  static constexpr float kThreshold = 0.944f;  // -0.5 dBFS
  static constexpr double kReleaseSeconds = 0.15;

  // Audio thread. Limits interleaved stereo frames in place.
  void Process(std::span<float> stereo);

 private:
  float gain_ = 1.0f;
};

class Mixer {
 public:
  static constexpr int kRate = 48000;
  static constexpr int kChannels = 32;  // more than the game's ten sounds ever need
  // The voice stands 3 dB above the sounds, so that a number read out is clear over the
  // puck resting in front of the player (the limiter keeps the sum inside full scale).
  static constexpr float kSpeechGain = 1.41f;
  using Channel = int;

  Mixer() = default;
  // Only once nothing pulls mix() any more.
  ~Mixer();
  Mixer(const Mixer&) = delete;
  Mixer& operator=(const Mixer&) = delete;

  // Game thread. A new channel is stopped, at its start, centred and at full volume.
  // Returns -1 when every channel is taken.
  Channel Open(std::shared_ptr<const Pcm> pcm);
  // Game thread. Silences the channel and frees it; its samples are released later, on the
  // game thread, once the audio thread can no longer be reading them.
  void Close(Channel c);
  // Game thread. Heard from the next block on.
  void SetGain(Channel c, StereoGain gain);
  // Game thread. Play on a playing channel only changes whether it loops; a channel that
  // played to its end starts over. Stop keeps the position; Rewind goes back to the start,
  // playing or not.
  void Play(Channel c, bool looping);
  void Stop(Channel c);
  void Rewind(Channel c);
  // Game thread. Whether the channel plays, as far as the game can know: what the audio
  // thread last reported, or what was asked since.
  bool Playing(Channel c) const;

  // Any thread: the stream the mixed voices write (SpeechStream says which thread does what).
  SpeechStream& speech() { return speech_; }

  // Any thread. How many blocks mix() has begun: a change made before a block began is heard
  // in that block.
  uint64_t blocks_begun() const { return begun_.load(std::memory_order_acquire); }

  // Audio thread (or a test). Overwrites `stereo_out` (interleaved left, right) with the
  // next out.size()/2 frames. Wait-free: no lock, allocation, free or system call.
  void mix(std::span<float> stereo_out);
  // Game thread, only while no audio thread pulls mix(). Moves every playing channel on by
  // `frames` as if it had been heard, rendering nothing.
  void Advance(size_t frames);
  // Game thread, only while no audio thread pulls mix(): where a channel stands, in frames.
  size_t Position(Channel c) const { return voices_[c].position; }

  // The player's levels, as plain gains (1 is the level the game always had): the game's
  // sounds, the background's channel and the voice. Any thread; heard from the next block.
  enum class Group { kSound, kBackground };
  void SetGroup(Channel c, Group g) {
    shared_[c].background.store(g == Group::kBackground, std::memory_order_relaxed);
  }
  void SetLevels(float sound, float background, float speech) {
    sound_gain_.store(sound, std::memory_order_relaxed);
    background_gain_.store(background, std::memory_order_relaxed);
    speech_level_.store(speech, std::memory_order_relaxed);
  }
  float sound_gain() const { return sound_gain_.load(std::memory_order_relaxed); }
  float background_gain() const { return background_gain_.load(std::memory_order_relaxed); }
  float speech_level() const { return speech_level_.load(std::memory_order_relaxed); }
  // Game thread. Holds every channel open now still and silent, its position kept, until
  // Hold(false); channels opened while held play as usual.
  void Hold(bool on);
  bool held() const { return held_.load(std::memory_order_relaxed) != 0; }

  // Game thread, before any output pulls mix(). False: the limiter is left out and the mix
  // is the plain sum (tests of the laws at any level).
  void set_limited(bool on) { limited_ = on; }

 private:
  // What the game thread asks of one channel.
  struct Shared {
    std::atomic<const Pcm*> pcm{nullptr};
    std::atomic<uint64_t> gain{0};
    std::atomic<uint64_t> control{0};  // see the bit layout in mixer.cpp
    std::atomic<uint64_t> heard{0};    // the control word last acted on, and whether it plays
    std::atomic<bool> background{false};
  };
  // The audio thread's own view of one channel.
  struct Voice {
    uint64_t control = 0;
    const Pcm* pcm = nullptr;
    size_t position = 0;  // frames
    bool playing = false;
    bool looping = false;
  };
  // The game thread's own view of one channel.
  struct Owned {
    std::shared_ptr<const Pcm> pcm;
    uint64_t control = 0;
  };
  struct Retired {
    std::shared_ptr<const Pcm> pcm;
    uint64_t last_block;  // the audio thread may read it until this block is done
  };

  void Ask(Channel c, uint64_t control);
  void FreeRetired();
  // Audio thread: takes the channel's latest wishes; false when it has nothing to play.
  bool Catch(int c);
  static void MixVoice(Voice& v, StereoGain gain, float* out, size_t frames);
  static void AdvanceVoice(Voice& v, size_t frames);

  std::array<Shared, kChannels> shared_;
  std::array<Voice, kChannels> voices_;
  std::array<Owned, kChannels> owned_;
  std::vector<Retired> retired_;
  std::atomic<uint64_t> begun_{0};
  std::atomic<uint64_t> done_{0};
  bool limited_ = true;
  std::atomic<uint32_t> held_{0};  // one bit a channel
  std::atomic<float> sound_gain_{1.0f};
  std::atomic<float> background_gain_{1.0f};
  std::atomic<float> speech_level_{1.0f};
  Limiter limiter_;
  SpeechStream speech_;
};

}  // namespace palomir
