// Our mixer and SDL_mixer side by side on the same work: ten sounds with pan and volume
// (one looping) plus a speech stream, into one second of 48 kHz float stereo, 480 frames a
// call. SDL_mixer mixes only inside the audio callback it hands to SDL, so this program
// stands in for SDL_OpenAudioDevice: it keeps the callback and calls it itself, exactly as
// the audio thread would, with no device, no thread and no driver around it.
#include <SDL.h>
#include <SDL_mixer.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "platform/mixer/mixer.h"
#include "platform/mixer/mixer_buffer.h"

namespace {
SDL_AudioCallback g_callback = nullptr;
void* g_userdata = nullptr;
}  // namespace

// Found before SDL's own by SDL_mixer, since the program exports it.
extern "C" SDL_AudioDeviceID SDL_OpenAudioDevice(const char*, int, const SDL_AudioSpec* desired,
                                                 SDL_AudioSpec* obtained, int) {
  g_callback = desired->callback;
  g_userdata = desired->userdata;
  if (obtained) *obtained = *desired;
  return 1;
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 48000;
constexpr int kPeriod = 480;
constexpr double kSeconds = 12.0;  // every sound plays through all the seconds mixed

std::vector<float> Tone(double hz, int channels) {
  std::vector<float> s;
  const auto frames = static_cast<size_t>(kSeconds * kRate);
  for (size_t i = 0; i < frames; ++i) {
    const auto v =
        static_cast<float>(0.2 * std::sin(2 * M_PI * hz * static_cast<double>(i) / kRate));
    for (int c = 0; c < channels; ++c) s.push_back(v);
  }
  return s;
}

// Microseconds to mix one second, the best of `rounds` seconds.
template <typename Mix>
double Best(Mix mix, int rounds) {
  std::vector<float> out(kPeriod * 2);
  double best = 1e9;
  for (int r = 0; r < rounds; ++r) {
    const auto start = Clock::now();
    for (int block = 0; block < kRate / kPeriod; ++block) mix(out);
    best = std::min(best, std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main() {
  using namespace palomir;
  // Ours: the game's sounds are mono, turned to float at load; the speech stream on top.
  auto mixer = std::make_shared<Mixer>();
  std::vector<std::unique_ptr<MixerSoundBuffer>> buffers;
  for (int i = 0; i < 10; ++i) {
    auto pcm = std::make_shared<Pcm>();
    pcm->samples = Tone(200.0 + 50 * i, 1);
    buffers.push_back(MixerSoundBuffer::Open(mixer, pcm));
    (void)buffers.back()->SetPan(-4000 + 800 * i);
    (void)buffers.back()->SetVolume(-300 * i);
    (void)buffers.back()->Play(i == 0 ? kPlayLooping : kPlayOnce);
  }
  std::vector<float> speech(kRate * 10, 0.1f);
  (void)mixer->speech().Write(speech);
  const double ours = Best([&](std::vector<float>& out) { mixer->mix(out); }, 10);

  // SDL_mixer: the same sounds as chunks in the output's format (it converts at load), pan
  // by Mix_SetPanning, volume by Mix_Volume, the speech as an eleventh chunk at full volume.
  if (Mix_OpenAudioDevice(kRate, AUDIO_F32SYS, 2, kPeriod, nullptr, 0) != 0 || !g_callback) {
    std::fprintf(stderr, "SDL_mixer: %s\n", Mix_GetError());
    return 1;
  }
  Mix_AllocateChannels(16);
  std::vector<std::vector<float>> data;
  std::vector<Mix_Chunk*> chunks;
  for (int i = 0; i < 11; ++i) {
    data.push_back(i < 10 ? Tone(200.0 + 50 * i, 2)
                          : std::vector<float>(kRate * kSeconds * 2, 0.1f));
    chunks.push_back(Mix_QuickLoad_RAW(reinterpret_cast<Uint8*>(data.back().data()),
                                       static_cast<Uint32>(data.back().size() * sizeof(float))));
    if (i < 10) {
      const StereoGain g = GainsFor(-4000 + 800 * i, 0);
      Mix_SetPanning(i, static_cast<Uint8>(g.left * 255), static_cast<Uint8>(g.right * 255));
      Mix_Volume(i, static_cast<int>(MIX_MAX_VOLUME * std::pow(10.0, -300.0 * i / 2000.0)));
    }
    Mix_PlayChannel(i, chunks.back(), i == 0 ? -1 : 0);
  }
  const double theirs = Best(
      [&](std::vector<float>& out) {
        g_callback(g_userdata, reinterpret_cast<Uint8*>(out.data()),
                   static_cast<int>(out.size() * sizeof(float)));
      },
      10);
  std::printf("ours %.0f us, SDL_mixer %.0f us per second of audio: ours %.1fx faster\n", ours,
              theirs, theirs / ours);
  Mix_HaltChannel(-1);
  for (Mix_Chunk* c : chunks) Mix_FreeChunk(c);
  Mix_CloseAudio();
  return 0;
}
