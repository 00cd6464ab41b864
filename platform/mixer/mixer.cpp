#include "platform/mixer/mixer.h"
#include "platform/platform.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace palomir {

namespace {
// Hundredths of a decibel to an amplitude factor.
float Attenuation(int32_t centibels) {
  if (centibels <= -10000) return 0.0f;
  return static_cast<float>(std::pow(10.0, centibels / 2000.0));
}

// A channel's control word, written whole by the game thread:
//   bit 0 open, bit 1 asked to play, bit 2 looping, bit 3 (heard only) playing,
//   bits 8-23 how many Plays, bits 24-39 how many Rewinds, bits 40-63 which opening.
// The audio thread compares it with the last word it acted on: a new opening starts the
// channel afresh, a new Play or Rewind count is a Play or Rewind to carry out.
constexpr uint64_t kOpen = 1;
constexpr uint64_t kWantPlay = 2;
constexpr uint64_t kLooping = 4;
constexpr uint64_t kPlaying = 8;
constexpr int kPlayShift = 8;
constexpr int kRewindShift = 24;
constexpr int kOpeningShift = 40;
constexpr uint64_t kCountMask = 0xFFFF;

uint64_t Plays(uint64_t w) {
  return (w >> kPlayShift) & kCountMask;
}
uint64_t Rewinds(uint64_t w) {
  return (w >> kRewindShift) & kCountMask;
}
uint64_t Opening(uint64_t w) {
  return w >> kOpeningShift;
}
uint64_t WithCount(uint64_t w, int shift) {
  const uint64_t next = (((w >> shift) & kCountMask) + 1) & kCountMask;
  return (w & ~(kCountMask << shift)) | (next << shift);
}

uint64_t PackGain(StereoGain g) {
  return (uint64_t{std::bit_cast<uint32_t>(g.left)} << 32) | std::bit_cast<uint32_t>(g.right);
}
StereoGain UnpackGain(uint64_t w) {
  return {std::bit_cast<float>(static_cast<uint32_t>(w >> 32)),
          std::bit_cast<float>(static_cast<uint32_t>(w))};
}
}  // namespace

StereoGain GainsFor(int32_t pan, int32_t volume) {
  const float v = Attenuation(volume);
  StereoGain g{v, v};
  if (pan < 0) g.right *= Attenuation(pan);
  if (pan > 0) g.left *= Attenuation(-pan);
  return g;
}

size_t SpeechStream::Write(std::span<const float> samples) {
  const uint64_t w = written_.load(std::memory_order_relaxed);
  const uint64_t r = read_.load(std::memory_order_acquire);
  const size_t room = kCapacity - static_cast<size_t>(w - r);
  const size_t n = std::min(room, samples.size());
  for (size_t i = 0; i < n; ++i) ring_[(w + i) & (kCapacity - 1)] = samples[i];
  written_.store(w + n, std::memory_order_release);
  return n;
}

// Audio thread.
void SpeechStream::MixInto(std::span<float> stereo_out, float gain) {
  const uint64_t r = std::max(read_.load(std::memory_order_relaxed),
                              cut_to_.load(std::memory_order_acquire));
  const uint64_t w = written_.load(std::memory_order_acquire);
  const size_t n = std::min(static_cast<size_t>(w - r), stereo_out.size() / 2);
  for (size_t i = 0; i < n; ++i) {
    const float s = ring_[(r + i) & (kCapacity - 1)] * gain;
    stereo_out[2 * i] += s;
    stereo_out[2 * i + 1] += s;
  }
  read_.store(r + n, std::memory_order_release);
}

namespace {
// Per frame, the share of the gain's shortfall the limiter keeps. Worked out as the program
// starts, so that the audio thread never meets a function's first-use guard (a lock).
const float kReleaseKeep =
    static_cast<float>(std::exp(-1.0 / (Limiter::kReleaseSeconds * Mixer::kRate)));
}  // namespace

// Audio thread.
void Limiter::Process(std::span<float> stereo) {
  const size_t frames = stereo.size() / 2;
  float* s = stereo.data();
  if (gain_ == 1.0f) {
    // Idle: nothing to do unless a frame reaches the threshold.
    size_t i = 0;
    for (; i < frames; ++i) {
      if (std::max(std::fabs(s[2 * i]), std::fabs(s[2 * i + 1])) >= kThreshold) break;
    }
    if (i == frames) return;
    s += 2 * i;
    stereo = stereo.subspan(2 * i);
  }
  // Per frame, what the gain lacks of 1 shrinks by a fixed share (kept as the shortfall, so
  // that the last steps are not lost to rounding near 1).
  float shortfall = 1.0f - gain_;
  for (size_t i = 0; i < stereo.size() / 2; ++i) {
    const float peak = std::max(std::fabs(s[2 * i]), std::fabs(s[2 * i + 1]));
    float g = 1.0f - shortfall;
    if (peak * g > kThreshold) {
      g = kThreshold / peak;
      shortfall = 1.0f - g;
    }
    s[2 * i] *= g;
    s[2 * i + 1] *= g;
    shortfall *= kReleaseKeep;
    if (shortfall < 1e-4f) shortfall = 0.0f;  // within a thousandth of a decibel: untouched
  }
  gain_ = 1.0f - shortfall;
}

Mixer::~Mixer() = default;

void Mixer::Ask(Channel c, uint64_t control) {
  owned_[c].control = control;
  shared_[c].control.store(control, std::memory_order_release);
}

void Mixer::FreeRetired() {
  if (retired_.empty()) return;
  const uint64_t done = done_.load(std::memory_order_seq_cst);
  std::erase_if(retired_, [done](const Retired& r) { return r.last_block <= done; });
}

Mixer::Channel Mixer::Open(std::shared_ptr<const Pcm> pcm) {
  FreeRetired();
  for (Channel c = 0; c < kChannels; ++c) {
    Owned& o = owned_[c];
    if (o.pcm) continue;
    o.pcm = std::move(pcm);
    shared_[c].gain.store(PackGain(StereoGain{}), std::memory_order_relaxed);
    shared_[c].background.store(false, std::memory_order_relaxed);
    shared_[c].pcm.store(o.pcm.get(), std::memory_order_seq_cst);
    const uint64_t opening = (Opening(o.control) + 1) << kOpeningShift;
    Ask(c, opening | kOpen);
    return c;
  }
  return -1;
}

void Mixer::Close(Channel c) {
  Owned& o = owned_[c];
  if (!o.pcm) return;
  Ask(c, (Opening(o.control) + 1) << kOpeningShift);
  shared_[c].pcm.store(nullptr, std::memory_order_seq_cst);
  // A block already begun may still read the samples: keep them until it is done.
  retired_.push_back({std::move(o.pcm), begun_.load(std::memory_order_seq_cst)});
  FreeRetired();
}

void Mixer::Hold(bool on) {
  uint32_t mask = 0;
  if (on) {
    for (Channel c = 0; c < kChannels; ++c) {
      if (owned_[c].pcm) mask |= 1u << c;
    }
  }
  held_.store(mask, std::memory_order_release);
}

void Mixer::SetGain(Channel c, StereoGain gain) {
  shared_[c].gain.store(PackGain(gain), std::memory_order_relaxed);
}

void Mixer::Play(Channel c, bool looping) {
  uint64_t w = WithCount(owned_[c].control, kPlayShift) | kWantPlay;
  w = looping ? (w | kLooping) : (w & ~kLooping);
  Ask(c, w);
}

void Mixer::Stop(Channel c) {
  Ask(c, owned_[c].control & ~kWantPlay);
}

void Mixer::Rewind(Channel c) {
  Ask(c, WithCount(owned_[c].control, kRewindShift));
}

bool Mixer::Playing(Channel c) const {
  const uint64_t asked = owned_[c].control;
  const uint64_t heard = shared_[c].heard.load(std::memory_order_acquire);
  if ((heard & ~kPlaying) == asked) return (heard & kPlaying) != 0;
  return (asked & kWantPlay) != 0 && owned_[c].pcm && owned_[c].pcm->frames() > 0;
}

// Audio thread.
bool Mixer::Catch(int c) {
  Shared& sh = shared_[c];
  Voice& v = voices_[c];
  const uint64_t w = sh.control.load(std::memory_order_acquire);
  if (w != v.control) {
    if (Opening(w) != Opening(v.control)) {
      // Opened or closed since the last block: start from nothing.
      v = Voice{};
      v.control = w & (~uint64_t{0} << kOpeningShift | kOpen);
      v.pcm = (w & kOpen) ? sh.pcm.load(std::memory_order_seq_cst) : nullptr;
    }
    const size_t total = v.pcm ? v.pcm->frames() : 0;
    if (Rewinds(w) != Rewinds(v.control)) v.position = 0;
    if ((w & kWantPlay) == 0) {
      v.playing = false;
    } else if (Plays(w) != Plays(v.control) && !v.playing) {
      if (v.position >= total) v.position = 0;
      v.playing = total > 0;
    }
    v.looping = (w & kLooping) != 0;
    v.control = w;
    sh.heard.store(w | (v.playing ? kPlaying : 0), std::memory_order_release);
  }
  if (!v.playing || !(w & kOpen)) return false;
  // A close and a new opening may have slipped in between the two reads: the samples read
  // now must be the very ones this voice started with.
  return sh.pcm.load(std::memory_order_seq_cst) == v.pcm && v.pcm != nullptr;
}

// Audio thread.
void Mixer::MixVoice(Voice& v, StereoGain gain, float* out, size_t frames) {
  const Pcm& pcm = *v.pcm;
  const size_t total = pcm.frames();
  const float gl = gain.left;
  const float gr = gain.right;
  const bool silent = gl == 0.0f && gr == 0.0f;
  while (frames > 0 && v.playing) {
    const size_t n = std::min(frames, total - v.position);
    if (!silent) {
      const float* in = pcm.samples.data() + v.position * pcm.channels;
      if (pcm.channels == 1) {
        for (size_t i = 0; i < n; ++i) {
          out[2 * i] += in[i] * gl;
          out[2 * i + 1] += in[i] * gr;
        }
      } else {
        for (size_t i = 0; i < n; ++i) {
          out[2 * i] += in[2 * i] * gl;
          out[2 * i + 1] += in[2 * i + 1] * gr;
        }
      }
    }
    out += 2 * n;
    frames -= n;
    v.position += n;
    if (v.position >= total) {
      if (v.looping) {
        v.position = 0;
      } else {
        v.playing = false;
      }
    }
  }
}

void Mixer::AdvanceVoice(Voice& v, size_t frames) {
  const size_t total = v.pcm->frames();
  if (v.looping) {
    v.position = (v.position + frames % total) % total;
    return;
  }
  v.position = std::min(total, v.position + frames);
  if (v.position >= total) v.playing = false;
}

// Audio thread.
void Mixer::mix(std::span<float> stereo_out) {
  const uint64_t block = begun_.fetch_add(1, std::memory_order_seq_cst) + 1;
  std::fill(stereo_out.begin(), stereo_out.end(), 0.0f);
  const size_t frames = stereo_out.size() / 2;
  const uint32_t held = held_.load(std::memory_order_acquire);
  const float sound = sound_gain_.load(std::memory_order_relaxed);
  const float background = background_gain_.load(std::memory_order_relaxed);
  for (int c = 0; c < kChannels; ++c) {
    if (!Catch(c)) continue;
    if (held & (1u << c)) continue;  // held: silent, and its position stays
    Voice& v = voices_[c];
    StereoGain g = UnpackGain(shared_[c].gain.load(std::memory_order_relaxed));
    const float level = shared_[c].background.load(std::memory_order_relaxed) ? background : sound;
    g.left *= level;
    g.right *= level;
    MixVoice(v, g, stereo_out.data(), frames);
    if (!v.playing) shared_[c].heard.store(v.control, std::memory_order_release);
  }
  done_.store(block, std::memory_order_seq_cst);
  speech_.MixInto(stereo_out, kSpeechGain * speech_level_.load(std::memory_order_relaxed));
  if (limited_) limiter_.Process(stereo_out);
}

void Mixer::Advance(size_t frames) {
  const uint64_t block = begun_.fetch_add(1, std::memory_order_seq_cst) + 1;
  const uint32_t held = held_.load(std::memory_order_acquire);
  for (int c = 0; c < kChannels; ++c) {
    if (!Catch(c)) continue;
    if (held & (1u << c)) continue;
    Voice& v = voices_[c];
    AdvanceVoice(v, frames);
    if (!v.playing) shared_[c].heard.store(v.control, std::memory_order_release);
  }
  done_.store(block, std::memory_order_seq_cst);
  FreeRetired();
}

float GainOf(int db) {
  if (db <= Levels::kOff) return 0.0f;
  return static_cast<float>(std::pow(10.0, db / 20.0));
}

}  // namespace palomir
