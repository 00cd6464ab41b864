#include "platform/core/wav.h"

#include <cerrno>
#include <cstring>
#include <span>
#include <vector>

#include "language/tr.h"
#include "platform/files.h"
#include "platform/mixer/resample.h"

namespace palomir {

namespace {

// The largest sound file the game reads: minutes of any of its sounds.
constexpr uint64_t kLargestFile = uint64_t{64} << 20;

uint32_t U32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
}
uint16_t U16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

Status Decode(const std::span<const uint8_t> f, Pcm& pcm) {
  if (f.size() < 12 || std::memcmp(f.data(), "RIFF", 4) != 0 ||
      std::memcmp(f.data() + 8, "WAVE", 4) != 0) {
    return Status::Fail("not a RIFF WAVE file");
  }
  // Every chunk must fit inside the file (only a final pad byte may be missing); the RIFF
  // header's own size is not trusted.
  const uint8_t* fmt = nullptr;
  const uint8_t* data = nullptr;
  size_t fmt_size = 0;
  size_t data_size = 0;
  for (size_t at = 12; f.size() - at >= 8;) {
    const uint32_t size = U32(f.data() + at + 4);
    if (size > f.size() - at - 8) return Status::Fail("a chunk claims more than the file holds");
    if (std::memcmp(f.data() + at, "fmt ", 4) == 0 && !fmt) {
      fmt = f.data() + at + 8;
      fmt_size = size;
    }
    if (std::memcmp(f.data() + at, "data", 4) == 0 && !data) {
      data = f.data() + at + 8;
      data_size = size;
    }
    at += 8 + uint64_t{size} + (size & 1);
    if (at > f.size()) break;
  }
  if (!fmt || fmt_size < 16) return Status::Fail("no sound format in the file");
  if (!data) return Status::Fail("no sound in the file");
  uint16_t tag = U16(fmt);
  const uint16_t channels = U16(fmt + 2), bits = U16(fmt + 14);
  const uint32_t rate = U32(fmt + 4);
  // The extensible format names its encoding in the first two bytes of its sub-format.
  if (tag == 0xFFFE) tag = fmt_size >= 26 ? U16(fmt + 24) : 0;
  if (tag != 1) return Status::Fail("only PCM sound is supported");
  if (bits != 8 && bits != 16) return Status::Fail("only 8- and 16-bit PCM sound is supported");
  if (channels != 1 && channels != 2) return Status::Fail("only mono and stereo sound is supported");
  if (rate < 4000 || rate > 192000) return Status::Fail("unsupported sample rate");
  const size_t frame = bits / 8u * channels;
  if (data_size == 0 || data_size % frame != 0) {
    return Status::Fail("no whole sound frames in the file");
  }
  // The samples as floats at their own rate; the rate is changed after, treating the sound as
  // a ring so that a loop stays seamless.
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

const char* KindName(files::Kind kind) {
  switch (kind) {
    case files::Kind::kFolder: return "a folder";
    case files::Kind::kPipe: return "a pipe";
    default: return "a device";
  }
}

}  // namespace

Status DecodeWav(const uint8_t* data, size_t size, Pcm& pcm) {
  if (size == 0) return Status::Fail("empty file");
  if (size > kLargestFile) return Status::Fail("file too large");
  return Decode(std::span<const uint8_t>(data, size), pcm);
}

Status LoadWavFile(const std::string& path, Pcm& pcm) {
  int error = 0;
  const int fd = files::OpenFile(path, files::kRead | files::kNoWait, error);
  if (fd < 0) {
    // TRANSLATORS: follows "the sound file PATH".
    if (error == ENOENT) return Status::Fail(Tr("is missing"));
    return Status::Fail(Fill(Tr("could not be read (%s)"), std::strerror(error)));
  }
  struct CloseFd {
    int fd;
    ~CloseFd() { files::Close(fd); }
  } close_fd{fd};
  files::Info info;
  if (!files::InfoOf(fd, info, error)) {
    return Status::Fail(Fill(Tr("could not be read (%s)"), std::strerror(error)));
  }
  if (info.kind != files::Kind::kPlain) {
    return Status::Fail(std::string("is ") + KindName(info.kind) + ", not a sound file");
  }
  if (info.size > kLargestFile) {
    return Status::Fail("is too large for a sound (" + std::to_string(info.size >> 20) +
                        " MB; the game reads up to " + std::to_string(kLargestFile >> 20) + " MB)");
  }
  // Never past the size it had: a file that grows while it is read is read as it was.
  std::vector<uint8_t> bytes(static_cast<size_t>(info.size));
  for (size_t done = 0; done < bytes.size();) {
    const long n = files::ReadSome(fd, bytes.data() + done, bytes.size() - done, error);
    if (n < 0) return Status::Fail(Fill(Tr("could not be read (%s)"), std::strerror(error)));
    if (n == 0) {
      bytes.resize(done);  // cut short while it was read
      break;
    }
    done += static_cast<size_t>(n);
  }
  Status s = DecodeWav(bytes.data(), bytes.size(), pcm);
  if (!s.ok()) return Status::Fail(Fill(Tr("is not a sound the game can play (%s)"), s.reason()));
  return s;
}

}  // namespace palomir
