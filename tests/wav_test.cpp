// Reading the game's sound files, with the one reader every machine uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/core/wav.h"
#include "temp_folder.h"

#ifndef PALOMIR_SOUNDS
#define PALOMIR_SOUNDS "sounds"
#endif

namespace palomir {
namespace {

// A WAV file in memory, written into a vector of its final size (growing one byte by byte
// makes GCC 12 see a write past the end that cannot happen, at -O2).
std::vector<uint8_t> Wav(uint16_t format, uint16_t channels, uint32_t rate, uint16_t bits,
                         std::vector<uint8_t> data, int64_t claimed_data = -1) {
  std::vector<uint8_t> f(44 + data.size());
  size_t at = 0;
  auto u16 = [&](uint16_t v) { f[at++] = uint8_t(v), f[at++] = uint8_t(v >> 8); };
  auto u32 = [&](uint32_t v) { u16(uint16_t(v)), u16(uint16_t(v >> 16)); };
  auto tag = [&](const char* t) { std::memcpy(&f[at], t, 4), at += 4; };
  const auto size = static_cast<uint32_t>(claimed_data < 0 ? data.size() : claimed_data);
  tag("RIFF");
  u32(36 + size);
  tag("WAVE");
  tag("fmt ");
  u32(16);
  u16(format);
  u16(channels);
  u32(rate);
  u32(rate * channels * bits / 8);
  u16(uint16_t(channels * bits / 8));
  u16(bits);
  tag("data");
  u32(size);
  std::copy(data.begin(), data.end(), f.begin() + 44);
  return f;
}

std::vector<uint8_t> Silence16(size_t frames, int channels) {
  return std::vector<uint8_t>(frames * 2 * static_cast<size_t>(channels), 0);
}

TEST(Wav, ReadsPcmAndConvertsOnceToTheMixersRate) {
  Pcm pcm;
  auto mono = Wav(1, 1, 24000, 16, Silence16(2400, 1));
  ASSERT_TRUE(DecodeWav(mono.data(), mono.size(), pcm).ok());
  EXPECT_EQ(pcm.channels, 1);
  EXPECT_NEAR(static_cast<double>(pcm.frames()), 4800, 8);
  std::vector<uint8_t> bytes(2000, 0xC0);  // 8-bit unsigned: 0xC0 is half way up
  auto stereo = Wav(1, 2, 48000, 8, bytes);
  ASSERT_TRUE(DecodeWav(stereo.data(), stereo.size(), pcm).ok());
  EXPECT_EQ(pcm.channels, 2);
  EXPECT_EQ(pcm.frames(), 1000u);
  EXPECT_NEAR(pcm.samples[10], 0.5f, 0.01f);
}

TEST(Wav, RejectsWhatItCannotPlayWithAReason) {
  Pcm pcm;
  pcm.samples = {1.0f};
  const std::vector<std::vector<uint8_t>> bad = {
      {},
      {'n', 'o', 't', ' ', 'a', ' ', 'w', 'a', 'v'},
      Wav(1, 1, 22050, 16, Silence16(100, 1), 400),        // the data chunk claims more
      Wav(1, 1, 22050, 16, {}),                            // no sound at all
      Wav(3, 1, 22050, 32, std::vector<uint8_t>(400, 0)),  // float samples
      Wav(1, 3, 22050, 16, Silence16(100, 3)),             // three channels
      Wav(1, 1, 22050, 24, std::vector<uint8_t>(300, 0)),  // 24-bit
  };
  for (size_t i = 0; i < bad.size(); ++i) {
    Status s = DecodeWav(bad[i].data(), bad[i].size(), pcm);
    EXPECT_FALSE(s.ok()) << i;
    EXPECT_FALSE(s.reason().empty()) << i;
  }
  auto cut = Wav(1, 1, 22050, 16, Silence16(100, 1));
  cut.erase(cut.end() - 51, cut.end());  // truncated mid-sample
  EXPECT_FALSE(DecodeWav(cut.data(), cut.size(), pcm).ok());
  EXPECT_EQ(pcm.samples.size(), 1u);  // a failure leaves the sound as it was
  EXPECT_FALSE(LoadWavFile("/nonexistent/puck.wav", pcm).ok());
}

TEST(Wav, EverySoundOfTheGameLoadsThroughItsFullPath) {
  // Through a folder named as a player's own may be.
  const std::filesystem::path dir = testing::MakeTempFolder(testing::kPlayersFolder);
  for (const char* file : {"puck.wav", "paddle.wav", "OpponentHit.wav", "SideBounce.wav",
                           "rebound.wav", "buzz.wav", "goal.wav", "paddleslide.wav",
                           "opponentpaddleslide.wav", "background.wav"}) {
    Pcm pcm;
    const std::filesystem::path copy = dir / file;
    std::filesystem::copy_file(testing::U8Path(std::string(PALOMIR_SOUNDS) + "/" + file), copy);
    EXPECT_TRUE(LoadWavFile(testing::Utf8(copy), pcm).ok()) << file;
    EXPECT_GT(pcm.frames(), 0u) << file;
  }
  Pcm pcm;
  const Status missing = LoadWavFile(testing::Utf8(dir / "gone.wav"), pcm);
  EXPECT_EQ(missing.reason(), "is missing");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace palomir
