#include "platform/mixer/mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace palomir {

namespace {
// Hundredths of a decibel to an amplitude factor.
float Attenuation(int32_t centibels) {
  if (centibels <= -10000) return 0.0f;
  return static_cast<float>(std::pow(10.0, centibels / 2000.0));
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

void SpeechStream::MixInto(std::span<float> stereo_out) {
  const uint64_t r = read_.load(std::memory_order_relaxed);
  const uint64_t w = written_.load(std::memory_order_acquire);
  const size_t n = std::min(static_cast<size_t>(w - r), stereo_out.size() / 2);
  for (size_t i = 0; i < n; ++i) {
    const float s = ring_[(r + i) & (kCapacity - 1)];
    stereo_out[2 * i] += s;
    stereo_out[2 * i + 1] += s;
  }
  read_.store(r + n, std::memory_order_release);
}

Mixer::Channel Mixer::Open(std::shared_ptr<const Pcm> pcm) {
  std::lock_guard lock(mutex_);
  for (Channel c = 0; c < kChannels; ++c) {
    Slot& s = slots_[c];
    if (s.used) continue;
    s = Slot{};
    s.pcm = std::move(pcm);
    s.used = true;
    return c;
  }
  return -1;
}

void Mixer::Close(Channel c) {
  std::shared_ptr<const Pcm> released;
  {
    std::lock_guard lock(mutex_);
    released = std::move(slots_[c].pcm);
    slots_[c] = Slot{};
  }
  // `released` frees the samples here, on the game thread.
}

void Mixer::SetGain(Channel c, StereoGain gain) {
  std::lock_guard lock(mutex_);
  slots_[c].gain = gain;
}

void Mixer::Play(Channel c, bool looping) {
  std::lock_guard lock(mutex_);
  Slot& s = slots_[c];
  s.looping = looping;
  if (s.playing) return;
  if (s.position >= s.pcm->frames()) s.position = 0;
  s.playing = s.pcm->frames() > 0;
}

void Mixer::Stop(Channel c) {
  std::lock_guard lock(mutex_);
  slots_[c].playing = false;
}

void Mixer::Rewind(Channel c) {
  std::lock_guard lock(mutex_);
  slots_[c].position = 0;
}

bool Mixer::Playing(Channel c) const {
  std::lock_guard lock(mutex_);
  return slots_[c].playing;
}

void Mixer::MixSlot(Slot& s, float* out, size_t frames) {
  const Pcm& pcm = *s.pcm;
  const size_t total = pcm.frames();
  const float gl = s.gain.left;
  const float gr = s.gain.right;
  const bool silent = gl == 0.0f && gr == 0.0f;
  while (frames > 0 && s.playing) {
    const size_t n = std::min(frames, total - s.position);
    if (!silent) {
      const float* in = pcm.samples.data() + s.position * pcm.channels;
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
    s.position += n;
    if (s.position >= total) {
      if (s.looping) {
        s.position = 0;
      } else {
        s.playing = false;
      }
    }
  }
}

void Mixer::AdvanceSlot(Slot& s, size_t frames) {
  const size_t total = s.pcm->frames();
  if (s.looping) {
    s.position = (s.position + frames % total) % total;
    return;
  }
  s.position = std::min(total, s.position + frames);
  if (s.position >= total) s.playing = false;
}

void Mixer::mix(std::span<float> stereo_out) {
  std::fill(stereo_out.begin(), stereo_out.end(), 0.0f);
  const size_t frames = stereo_out.size() / 2;
  {
    std::lock_guard lock(mutex_);
    blocks_.fetch_add(1, std::memory_order_release);
    for (Slot& s : slots_) {
      if (s.used && s.playing) MixSlot(s, stereo_out.data(), frames);
    }
  }
  speech_.MixInto(stereo_out);
}

void Mixer::Advance(size_t frames) {
  std::lock_guard lock(mutex_);
  for (Slot& s : slots_) {
    if (s.used && s.playing) AdvanceSlot(s, frames);
  }
}

}  // namespace palomir
