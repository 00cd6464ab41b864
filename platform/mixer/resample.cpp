#include "platform/mixer/resample.h"

#include <soxr.h>

#include <numeric>

#include "platform/mixer/mixer.h"

namespace palomir {

namespace {

std::vector<float> Oneshot(std::span<const float> in, int channels, int rate, size_t out_frames) {
  std::vector<float> out(out_frames * static_cast<size_t>(channels));
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  size_t done = 0;
  soxr_oneshot(rate, Mixer::kRate, static_cast<unsigned>(channels), in.data(),
               in.size() / static_cast<size_t>(channels), nullptr, out.data(), out_frames, &done,
               &io, &quality, nullptr);
  out.resize(done * static_cast<size_t>(channels));
  return out;
}

}  // namespace

std::vector<float> ResampleRing(std::span<const float> interleaved, int channels, int rate) {
  const size_t ch = static_cast<size_t>(channels);
  const size_t frames = interleaved.size() / ch;
  if (frames == 0 || rate == Mixer::kRate) {
    return std::vector<float>(interleaved.begin(), interleaved.end());
  }
  // Input frames that map to a whole number of output frames, so that the part cut out of
  // the padded result starts exactly on the sound's first frame.
  const size_t step = static_cast<size_t>(rate / std::gcd(rate, Mixer::kRate));
  const size_t out_step = static_cast<size_t>(Mixer::kRate / std::gcd(rate, Mixer::kRate));
  const size_t pad_steps = (4096 + step - 1) / step;  // longer than the filter reaches
  const size_t pad = pad_steps * step;
  std::vector<float> ring((frames + 2 * pad) * ch);
  for (size_t i = 0; i < frames + 2 * pad; ++i) {
    const size_t from = (i + frames * (pad / frames + 1) - pad) % frames;
    for (size_t c = 0; c < ch; ++c) ring[i * ch + c] = interleaved[from * ch + c];
  }
  const size_t made =
      (frames * Mixer::kRate + static_cast<size_t>(rate) / 2) / static_cast<size_t>(rate);
  const size_t skip = pad_steps * out_step;
  std::vector<float> all = Oneshot(ring, channels, rate, made + 2 * skip + 64);
  std::vector<float> out(made * ch, 0.0f);
  for (size_t i = 0; i < out.size() && skip * ch + i < all.size(); ++i) out[i] = all[skip * ch + i];
  return out;
}

std::vector<float> ResampleLine(std::span<const float> mono, int rate) {
  if (mono.empty() || rate == Mixer::kRate) return std::vector<float>(mono.begin(), mono.end());
  const size_t made =
      (mono.size() * Mixer::kRate + static_cast<size_t>(rate) / 2) / static_cast<size_t>(rate);
  return Oneshot(mono, 1, rate, made);
}

}  // namespace palomir
