#include "platform/sdl/wav.h"

#include <SDL.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "language/tr.h"
#include "platform/mixer/resample.h"

namespace palomir {

namespace {

// The largest sound file the game reads.
constexpr uint64_t kLargestFile = uint64_t{1} << 30;

uint32_t Le32(const uint8_t* p) {
  return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Every chunk must fit inside the file. SDL allocates whatever a data chunk claims before it
// reads a byte, so a file of a hundred bytes claiming four gigabytes would have it try.
// Only the chunks' headers are read.
Status CheckChunks(SDL_RWops* rw, uint64_t size) {
  uint8_t head[12];
  if (size < 12 || SDL_RWseek(rw, 0, RW_SEEK_SET) != 0 || SDL_RWread(rw, head, 12, 1) != 1 ||
      std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) {
    return Status::Fail("not a RIFF WAVE file");
  }
  uint64_t at = 12;
  while (size - at >= 8) {
    if (SDL_RWseek(rw, static_cast<Sint64>(at), RW_SEEK_SET) < 0 ||
        SDL_RWread(rw, head, 8, 1) != 1) {
      return Status::Fail("the file could not be read");
    }
    const uint32_t length = Le32(head + 4);
    if (length > size - at - 8) return Status::Fail("a chunk claims more than the file holds");
    at += 8 + uint64_t{length} + (length & 1);
    if (at > size) break;  // only a final pad byte was missing
  }
  return SDL_RWseek(rw, 0, RW_SEEK_SET) == 0 ? Status::Ok()
                                             : Status::Fail("the file could not be read");
}

// A plain file read through its descriptor, never past the size it had when it was opened:
// a file that grows while it is read is read as it was.
struct FileReader {
  int fd;
  Sint64 size;
  Sint64 at = 0;
};
FileReader& ReaderOf(SDL_RWops* rw) {
  return *static_cast<FileReader*>(rw->hidden.unknown.data1);
}
Sint64 SDLCALL FileSize(SDL_RWops* rw) {
  return ReaderOf(rw).size;
}
Sint64 SDLCALL FileSeek(SDL_RWops* rw, Sint64 offset, int whence) {
  FileReader& f = ReaderOf(rw);
  const Sint64 base = whence == RW_SEEK_SET ? 0 : whence == RW_SEEK_CUR ? f.at : f.size;
  if (offset < -base || base + offset > f.size) return SDL_SetError("seek outside the file");
  f.at = base + offset;
  return f.at;
}
size_t SDLCALL FileRead(SDL_RWops* rw, void* to, size_t size, size_t count) {
  FileReader& f = ReaderOf(rw);
  if (size == 0) return 0;
  const size_t want =
      static_cast<size_t>(std::min<Sint64>(static_cast<Sint64>(size * count), f.size - f.at) /
                          static_cast<Sint64>(size) * static_cast<Sint64>(size));
  size_t done = 0;
  while (done < want) {
    const ssize_t n = pread(f.fd, static_cast<char*>(to) + done, want - done, f.at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
    f.at += n;
  }
  return done / size;
}
size_t SDLCALL FileWrite(SDL_RWops*, const void*, size_t, size_t) {
  return 0;
}
int SDLCALL FileClose(SDL_RWops* rw) {
  SDL_FreeRW(rw);
  return 0;
}

Status Decode(SDL_RWops* rw, uint64_t size, Pcm& pcm) {
  // Without this SDL accepts a file cut short, and a data chunk claiming more than is there.
  SDL_SetHint(SDL_HINT_WAVE_TRUNCATION, "verystrict");
  SDL_SetHint(SDL_HINT_WAVE_RIFF_CHUNK_SIZE, "force");
  struct Close {
    SDL_RWops* rw;
    ~Close() { SDL_RWclose(rw); }
  } close_rw{rw};
  if (size == 0) return Status::Fail("empty file");
  if (size > kLargestFile) return Status::Fail("file too large");
  if (Status s = CheckChunks(rw, size); !s.ok()) return s;
  SDL_AudioSpec got;
  Uint8* buf = nullptr;
  Uint32 len = 0;
  if (!SDL_LoadWAV_RW(rw, 0, &got, &buf, &len)) {
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

  // The samples as floats at their own rate, made straight from the file's data (held once);
  // the rate is changed after, treating the sound as a ring so that a loop stays seamless
  // (SDL's converter pads the ends with silence, which would put a dip at the loop point).
  std::vector<float> floats(got.format == AUDIO_U8 ? len : len / 2);
  if (got.format == AUDIO_U8) {
    for (size_t i = 0; i < floats.size(); ++i)
      floats[i] = static_cast<float>(buf[i]) / 128.0f - 1.0f;
  } else {
    for (size_t i = 0; i < floats.size(); ++i) {
      const auto v = static_cast<int16_t>(buf[2 * i] | (buf[2 * i + 1] << 8));
      floats[i] = static_cast<float>(v) / 32768.0f;
    }
  }
  SDL_FreeWAV(free_buf.p);
  free_buf.p = nullptr;
  Pcm out;
  out.channels = got.channels;
  if (got.freq == Mixer::kRate) {
    out.samples = std::move(floats);
  } else {
    out.samples = ResampleRing(floats, got.channels, got.freq);
  }
  if (out.frames() == 0) return Status::Fail("no sound in the file");
  pcm = std::move(out);
  return Status::Ok();
}

}  // namespace

Status DecodeWav(const uint8_t* data, size_t size, Pcm& pcm) {
  if (size == 0) return Status::Fail("empty file");
  if (size > kLargestFile) return Status::Fail("file too large");
  SDL_RWops* rw = SDL_RWFromConstMem(data, static_cast<int>(size));
  if (!rw) return Status::Fail(SDL_GetError());
  return Decode(rw, size, pcm);
}

Status LoadWavFile(const std::string& path, Pcm& pcm) {
  // Opened without waiting (a FIFO with no writer would hold the game), then only a plain
  // file of a sound's size is read, and never past its size.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const int why = errno;
    // TRANSLATORS: follows "the sound file PATH".
    if (why == ENOENT) return Status::Fail(Tr("is missing"));
    return Status::Fail(Fill(Tr("could not be read (%s)"), std::strerror(why)));
  }
  struct CloseFd {
    int fd;
    ~CloseFd() { close(fd); }
  } close_fd{fd};
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    return Status::Fail(std::string("could not be read (") + std::strerror(errno) + ")");
  }
  if (!S_ISREG(st.st_mode)) {
    return Status::Fail(std::string("is ") +
                        (S_ISDIR(st.st_mode)    ? "a folder"
                         : S_ISFIFO(st.st_mode) ? "a pipe"
                         : S_ISSOCK(st.st_mode) ? "a socket"
                                                : "a device") +
                        ", not a sound file");
  }
  if (static_cast<uint64_t>(st.st_size) > kLargestFile) {
    return Status::Fail("is too large for a sound (" +
                        std::to_string(static_cast<uint64_t>(st.st_size) >> 20) +
                        " MB; the game reads up to " + std::to_string(kLargestFile >> 20) + " MB)");
  }
  FileReader reader{fd, static_cast<Sint64>(st.st_size)};
  SDL_RWops* rw = SDL_AllocRW();
  if (!rw) return Status::Fail(SDL_GetError());
  rw->type = SDL_RWOPS_UNKNOWN;
  rw->size = FileSize;
  rw->seek = FileSeek;
  rw->read = FileRead;
  rw->write = FileWrite;
  rw->close = FileClose;
  rw->hidden.unknown.data1 = &reader;
  Status s = Decode(rw, static_cast<uint64_t>(st.st_size), pcm);
  if (!s.ok()) return Status::Fail(Fill(Tr("is not a sound the game can play (%s)"), s.reason()));
  return s;
}

}  // namespace palomir
