// The audio callback on a real sound server: the game's mixer (ten playing sounds, one
// looping, and speech) pulled by SDL through the driver named in SDL_AUDIODRIVER, each call
// timed. Prints how many calls there were and the slowest one.
//   callback_bench SECONDS
#include <SDL.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "platform/mixer/mixer.h"
#include "platform/mixer/mixer_buffer.h"

namespace {

using palomir::Mixer;

std::shared_ptr<palomir::Pcm> Tone(double seconds, double hz) {
  auto pcm = std::make_shared<palomir::Pcm>();
  const auto frames = static_cast<size_t>(seconds * Mixer::kRate);
  for (size_t i = 0; i < frames; ++i) {
    pcm->samples.push_back(
        static_cast<float>(0.1 * std::sin(2 * M_PI * hz * static_cast<double>(i) / Mixer::kRate)));
  }
  return pcm;
}

struct Timed {
  Mixer* mixer;
  std::atomic<int64_t> slowest_ns{0};
  std::atomic<int64_t> calls{0};
};

// Audio thread: the game's callback, with a stopwatch round it.
void Pull(void* user, Uint8* stream, int len) {
  auto* t = static_cast<Timed*>(user);
  const auto start = std::chrono::steady_clock::now();
  t->mixer->mix(
      std::span<float>(reinterpret_cast<float*>(stream), static_cast<size_t>(len) / sizeof(float)));
  const int64_t ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
          .count();
  if (ns > t->slowest_ns.load(std::memory_order_relaxed)) t->slowest_ns.store(ns);
  t->calls.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 8.0;
  if (SDL_Init(SDL_INIT_AUDIO) != 0) {
    std::fprintf(stderr, "callback_bench: %s\n", SDL_GetError());
    return 1;
  }
  auto mixer = std::make_shared<Mixer>();
  std::vector<std::unique_ptr<palomir::MixerSoundBuffer>> buffers;
  for (int i = 0; i < 10; ++i) {
    buffers.push_back(
        palomir::MixerSoundBuffer::Open(mixer, Tone(i == 0 ? 0.8 : 1.5, 200.0 + 50 * i)));
    (void)buffers.back()->SetPan(-4000 + 800 * i);
  }
  Timed timed{mixer.get()};
  SDL_AudioSpec want{};
  want.freq = Mixer::kRate;
  want.format = AUDIO_F32SYS;
  want.channels = 2;
  want.samples = 480;
  want.callback = Pull;
  want.userdata = &timed;
  const SDL_AudioDeviceID id = SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, 0);
  if (id == 0) {
    std::fprintf(stderr, "callback_bench: %s\n", SDL_GetError());
    return 1;
  }
  SDL_PauseAudioDevice(id, 0);
  // The game thread goes on changing things as a rally does, a thousand times a second.
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::vector<float> speech(Mixer::kRate / 2, 0.05f);
  for (int tick = 0; std::chrono::steady_clock::now() < end; ++tick) {
    (void)buffers[0]->Play(palomir::kPlayLooping);
    (void)buffers[0]->SetVolume(-(tick % 4000));
    (void)buffers[0]->SetPan(tick % 8000 - 4000);
    if (tick % 500 == 0) {
      for (size_t i = 1; i < buffers.size(); ++i) {
        (void)buffers[i]->SetCurrentPosition(0);
        (void)buffers[i]->Play(palomir::kPlayOnce);
      }
      (void)mixer->speech().Write(speech);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  SDL_CloseAudioDevice(id);
  std::printf("%lld calls, slowest %.3f ms\n", static_cast<long long>(timed.calls.load()),
              static_cast<double>(timed.slowest_ns.load()) / 1e6);
  SDL_Quit();
  return 0;
}
