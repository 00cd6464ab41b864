#include "platform/sdl/wav.h"

#include <SDL.h>

#include <fstream>
#include <iterator>
#include <vector>

namespace palomir {

Status DecodeWav(const uint8_t* data, size_t size, Pcm& pcm) {
  // Without this SDL accepts a file cut short, and a data chunk claiming more than is there.
  SDL_SetHint(SDL_HINT_WAVE_TRUNCATION, "verystrict");
  SDL_SetHint(SDL_HINT_WAVE_RIFF_CHUNK_SIZE, "force");
  if (size == 0) return Status::Fail("empty file");
  if (size > (size_t{1} << 30)) return Status::Fail("file too large");
  SDL_RWops* rw = SDL_RWFromConstMem(data, static_cast<int>(size));
  if (!rw) return Status::Fail(SDL_GetError());
  SDL_AudioSpec spec;
  Uint8* buf = nullptr;
  Uint32 len = 0;
  if (!SDL_LoadWAV_RW(rw, 1, &spec, &buf, &len)) {
    return Status::Fail(std::string("not a readable WAV file: ") + SDL_GetError());
  }
  struct Free {
    Uint8* p;
    ~Free() { SDL_FreeWAV(p); }
  } free_buf{buf};

  if (spec.format != AUDIO_U8 && spec.format != AUDIO_S16LSB) {
    return Status::Fail("only 8- and 16-bit PCM sound is supported");
  }
  if (spec.channels != 1 && spec.channels != 2) {
    return Status::Fail("only mono and stereo sound is supported");
  }
  if (spec.freq < 4000 || spec.freq > 192000) return Status::Fail("unsupported sample rate");
  const Uint32 frame = SDL_AUDIO_BITSIZE(spec.format) / 8 * spec.channels;
  if (len == 0 || len % frame != 0) return Status::Fail("no whole sound frames in the file");

  SDL_AudioCVT cvt;
  if (SDL_BuildAudioCVT(&cvt, spec.format, spec.channels, spec.freq, AUDIO_F32SYS, spec.channels,
                        Mixer::kRate) < 0) {
    return Status::Fail(std::string("cannot convert: ") + SDL_GetError());
  }
  std::vector<Uint8> work(static_cast<size_t>(len) * static_cast<size_t>(cvt.len_mult) + 64);
  SDL_memcpy(work.data(), buf, len);
  cvt.buf = work.data();
  cvt.len = static_cast<int>(len);
  if (cvt.needed && SDL_ConvertAudio(&cvt) < 0) {
    return Status::Fail(std::string("cannot convert: ") + SDL_GetError());
  }
  const size_t bytes = cvt.needed ? static_cast<size_t>(cvt.len_cvt) : len;
  Pcm out;
  out.channels = spec.channels;
  out.samples.resize(bytes / sizeof(float) / spec.channels * spec.channels);
  SDL_memcpy(out.samples.data(), work.data(), out.samples.size() * sizeof(float));
  if (out.frames() == 0) return Status::Fail("no sound in the file");
  pcm = std::move(out);
  return Status::Ok();
}

Status LoadWavFile(const std::string& path, Pcm& pcm) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Status::Fail(path + ": cannot open the file");
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Status s = DecodeWav(bytes.data(), bytes.size(), pcm);
  if (!s.ok()) return Status::Fail(path + ": " + s.reason());
  return s;
}

}  // namespace palomir
