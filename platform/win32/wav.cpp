#include "platform/win32/wav.h"

#include <windows.h>

#include <cstring>
#include <span>
#include <vector>

#include "platform/mixer/resample.h"
#include "platform/win32/wide.h"

namespace palomir {

using win32::ErrnoOf;
using win32::Wide;

namespace {

constexpr DWORD kLargestFile = 64u << 20;

uint32_t U32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
}
uint16_t U16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

Status Decode(const std::span<const uint8_t> f, Pcm& pcm) {
  if (f.size() < 12 || std::memcmp(f.data(), "RIFF", 4) != 0 ||
      std::memcmp(f.data() + 8, "WAVE", 4) != 0) {
    return Status::Fail("not a WAV file");
  }
  const uint8_t* fmt = nullptr;
  const uint8_t* data = nullptr;
  size_t data_size = 0;
  for (size_t at = 12; at + 8 <= f.size();) {
    const uint32_t size = U32(f.data() + at + 4);
    if (size > f.size() - at - 8) return Status::Fail("a chunk runs past the end of the file");
    if (std::memcmp(f.data() + at, "fmt ", 4) == 0 && size >= 16) fmt = f.data() + at + 8;
    if (std::memcmp(f.data() + at, "data", 4) == 0) {
      data = f.data() + at + 8;
      data_size = size;
    }
    at += 8 + size + (size & 1);
  }
  if (!fmt || !data) return Status::Fail("no sound format or no sound in the file");
  const uint16_t tag = U16(fmt), channels = U16(fmt + 2), bits = U16(fmt + 14);
  const uint32_t rate = U32(fmt + 4);
  if (tag != 1 && tag != 0xFFFE) return Status::Fail("only PCM sound is supported");
  if (bits != 8 && bits != 16) return Status::Fail("only 8- and 16-bit PCM sound is supported");
  if (channels != 1 && channels != 2) return Status::Fail("only mono and stereo sound is supported");
  if (rate < 4000 || rate > 192000) return Status::Fail("unsupported sample rate");
  const size_t frame = bits / 8u * channels;
  if (data_size == 0 || data_size % frame != 0)
    return Status::Fail("no whole sound frames in the file");
  std::vector<float> floats(bits == 8 ? data_size : data_size / 2);
  for (size_t i = 0; i < floats.size(); ++i) {
    floats[i] = bits == 8 ? static_cast<float>(data[i]) / 128.0f - 1.0f
                          : static_cast<float>(static_cast<int16_t>(U16(data + 2 * i))) / 32768.0f;
  }
  Pcm out;
  out.channels = channels;
  out.samples = static_cast<int>(rate) == Mixer::kRate
                    ? std::move(floats)
                    : ResampleRing(floats, channels, static_cast<int>(rate));
  if (out.frames() == 0) return Status::Fail("no sound in the file");
  pcm = std::move(out);
  return Status::Ok();
}

}  // namespace

Status DecodeWav(const uint8_t* data, size_t size, Pcm& pcm) {
  if (size == 0) return Status::Fail("empty file");
  if (size > kLargestFile) return Status::Fail("file too large");
  return Decode(std::span<const uint8_t>(data, size), pcm);
}

Status LoadWavFile(const std::string& path, Pcm& pcm) {
  const HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD why = GetLastError();
    if (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND) return Status::Fail("is missing");
    return Status::Fail(std::string("could not be read (") + std::strerror(ErrnoOf(why)) + ")");
  }
  std::vector<uint8_t> bytes;
  LARGE_INTEGER size{};
  bool read = GetFileType(h) == FILE_TYPE_DISK && GetFileSizeEx(h, &size);
  if (read && size.QuadPart > kLargestFile) {
    CloseHandle(h);
    return Status::Fail("is too large for a sound (the game reads up to 64 MB)");
  }
  if (read) {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    read = bytes.empty() || (ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got,
                                      nullptr) &&
                             got == bytes.size());
  }
  CloseHandle(h);
  if (!read) return Status::Fail("could not be read");
  if (bytes.empty()) return Status::Fail("is not a sound the game can play (empty file)");
  Status s = Decode(bytes, pcm);
  if (!s.ok()) return Status::Fail("is not a sound the game can play (" + s.reason() + ")");
  return s;
}

}  // namespace palomir
