#include "platform/mixer/resample.h"

#include <soxr.h>

#include <algorithm>
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
  const size_t made =
      (frames * Mixer::kRate + static_cast<size_t>(rate) / 2) / static_cast<size_t>(rate);
  const size_t skip = pad_steps * out_step;
  // The sound's end, the sound, its start: only the two pads are copied, and the result is
  // written straight to where it stays, so that a long sound is held about twice at most.
  auto padding = [&](size_t first) {
    std::vector<float> p(pad * ch);
    for (size_t i = 0; i < pad; ++i) {
      const size_t from = (first + i) % frames;
      for (size_t c = 0; c < ch; ++c) p[i * ch + c] = interleaved[from * ch + c];
    }
    return p;
  };
  const std::vector<float> before = padding(frames - pad % frames);
  const std::vector<float> after = padding(0);
  std::vector<float> out(made * ch, 0.0f);
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_error_t error = nullptr;
  soxr_t soxr = soxr_create(rate, Mixer::kRate, static_cast<unsigned>(channels), &error, &io,
                            &quality, nullptr);
  if (error) return out;
  std::vector<float> piece(8192 * ch);
  size_t produced = 0;  // output frames so far, the skipped ones included
  auto take = [&](const float* in, size_t in_frames, bool last) {
    for (;;) {
      size_t used = 0;
      size_t got = 0;
      soxr_process(soxr, in, in_frames, last ? nullptr : &used, piece.data(), piece.size() / ch,
                   &got);
      for (size_t i = 0; i < got; ++i, ++produced) {
        if (produced < skip || produced >= skip + made) continue;
        for (size_t c = 0; c < ch; ++c) out[(produced - skip) * ch + c] = piece[i * ch + c];
      }
      if (last) {
        if (got == 0 || produced >= skip + made) return;
        continue;
      }
      in += used * ch;
      in_frames -= used;
      if (in_frames == 0 && got < piece.size() / ch) return;
    }
  };
  take(before.data(), pad, false);
  for (size_t at = 0; at < frames; at += 65536) {
    take(interleaved.data() + at * ch, std::min<size_t>(65536, frames - at), false);
  }
  take(after.data(), pad, false);
  take(nullptr, 0, true);
  soxr_delete(soxr);
  return out;
}

std::vector<float> ResampleLine(std::span<const float> mono, int rate) {
  if (mono.empty() || rate == Mixer::kRate) return std::vector<float>(mono.begin(), mono.end());
  const size_t made =
      (mono.size() * Mixer::kRate + static_cast<size_t>(rate) / 2) / static_cast<size_t>(rate);
  return Oneshot(mono, 1, rate, made);
}

}  // namespace palomir
