#include "platform/sdl/wav.h"

#include <SDL.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/mixer/resample.h"

namespace palomir {

namespace {

uint32_t Le32(const uint8_t* p) {
  return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Every chunk must fit inside the file. SDL allocates whatever a data chunk claims before it
// reads a byte, so a file of a hundred bytes claiming four gigabytes would have it try.
Status CheckChunks(const uint8_t* data, size_t size) {
  if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0) {
    return Status::Fail("not a RIFF WAVE file");
  }
  size_t at = 12;
  while (size - at >= 8) {
    const uint32_t length = Le32(data + at + 4);
    if (length > size - at - 8) return Status::Fail("a chunk claims more than the file holds");
    at += 8 + length + (length & 1);
    if (at > size) break;  // only a final pad byte was missing
  }
  return Status::Ok();
}

}  // namespace

Status DecodeWav(const uint8_t* data, size_t size, Pcm& pcm) {
  // Without this SDL accepts a file cut short, and a data chunk claiming more than is there.
  SDL_SetHint(SDL_HINT_WAVE_TRUNCATION, "verystrict");
  SDL_SetHint(SDL_HINT_WAVE_RIFF_CHUNK_SIZE, "force");
  if (size == 0) return Status::Fail("empty file");
  if (size > (size_t{1} << 30)) return Status::Fail("file too large");
  if (Status s = CheckChunks(data, size); !s.ok()) return s;
  SDL_RWops* rw = SDL_RWFromConstMem(data, static_cast<int>(size));
  if (!rw) return Status::Fail(SDL_GetError());
  SDL_AudioSpec got;
  Uint8* buf = nullptr;
  Uint32 len = 0;
  if (!SDL_LoadWAV_RW(rw, 1, &got, &buf, &len)) {
    return Status::Fail(std::string("not a readable WAV file: ") + SDL_GetError());
  }
  struct Free {
    Uint8* p;
    ~Free() { SDL_FreeWAV(p); }
  } free_buf{buf};

  if (got.format != AUDIO_U8 && got.format != AUDIO_S16LSB) {
    return Status::Fail("only 8- and 16-bit PCM sound is supported");
  }
  if (got.channels != 1 && got.channels != 2) {
    return Status::Fail("only mono and stereo sound is supported");
  }
  if (got.freq < 4000 || got.freq > 192000) return Status::Fail("unsupported sample rate");
  const Uint32 frame = SDL_AUDIO_BITSIZE(got.format) / 8 * got.channels;
  if (len == 0 || len % frame != 0) return Status::Fail("no whole sound frames in the file");

  // SDL turns the samples into floats at their own rate; the rate is changed here, treating
  // the sound as a ring so that a loop stays seamless (SDL's converter pads the ends with
  // silence, which would put a dip at the loop point).
  SDL_AudioCVT cvt;
  if (SDL_BuildAudioCVT(&cvt, got.format, got.channels, got.freq, AUDIO_F32SYS, got.channels,
                        got.freq) < 0) {
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
  const auto* in = reinterpret_cast<const float*>(work.data());
  Pcm out;
  out.channels = got.channels;
  out.samples =
      ResampleRing(std::span<const float>(in, bytes / sizeof(float)), got.channels, got.freq);
  if (out.frames() == 0) return Status::Fail("no sound in the file");
  pcm = std::move(out);
  return Status::Ok();
}

Status LoadWavFile(const std::string& path, Pcm& pcm) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const int why = errno;
    if (why == ENOENT) return Status::Fail("is missing");
    return Status::Fail(std::string("could not be read (") + std::strerror(why) + ")");
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  Status s = DecodeWav(bytes.data(), bytes.size(), pcm);
  if (!s.ok()) return Status::Fail("is not a sound the game can play (" + s.reason() + ")");
  return s;
}

}  // namespace palomir
