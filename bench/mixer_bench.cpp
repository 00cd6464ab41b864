// What the mixer costs: one second of 48 kHz stereo from ten playing buffers (one of them
// looping), each with its own pan and volume, plus a speech stream, mixed 480 frames at a
// time as the audio device asks for it.
#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>
#include <unistd.h>

#include "platform/call_log.h"
#include "platform/line_file.h"
#include "platform/mixer/mixer.h"
#include "platform/mixer/mixer_buffer.h"
#include "platform/recording.h"

namespace palomir {
namespace {

constexpr size_t kPeriod = 480;

std::shared_ptr<Pcm> Tone(double seconds, double hz, int channels) {
  auto pcm = std::make_shared<Pcm>();
  pcm->channels = channels;
  const auto frames = static_cast<size_t>(seconds * Mixer::kRate);
  for (size_t i = 0; i < frames; ++i) {
    const auto s =
        static_cast<float>(0.3 * std::sin(2 * M_PI * hz * static_cast<double>(i) / Mixer::kRate));
    for (int c = 0; c < channels; ++c) pcm->samples.push_back(s);
  }
  return pcm;
}

void BM_MixOneSecond(benchmark::State& state) {
  auto mixer = std::make_shared<Mixer>();
  std::vector<std::unique_ptr<MixerSoundBuffer>> buffers;
  for (int i = 0; i < 10; ++i) {
    // Sounds longer than the second mixed, so all ten play throughout; the puck loops.
    buffers.push_back(MixerSoundBuffer::Open(
        mixer, Tone(i == 0 ? 0.8 : 1.5, 200.0 + 50 * i, i % 3 == 2 ? 2 : 1)));
    (void)buffers.back()->SetPan(-4000 + 800 * i);
    (void)buffers.back()->SetVolume(-300 * i);
  }
  std::vector<float> speech(Mixer::kRate, 0.1f);
  std::vector<float> out(kPeriod * 2);
  for (auto _ : state) {
    state.PauseTiming();
    for (size_t i = 0; i < buffers.size(); ++i) {
      (void)buffers[i]->SetCurrentPosition(0);
      (void)buffers[i]->Play(i == 0 ? kPlayLooping : kPlayOnce);
    }
    (void)mixer->speech().Write(speech);
    state.ResumeTiming();
    for (size_t block = 0; block < Mixer::kRate / kPeriod; ++block) {
      mixer->mix(out);
      benchmark::DoNotOptimize(out.data());
    }
  }
}
BENCHMARK(BM_MixOneSecond)->Unit(benchmark::kMicrosecond);

// What --record and --trace cost the game thread for one second of busy play: a hundred
// pumps with a tick each (ToTimer every 10 ms, the side timer every other), a reading of
// the clock, a mouse movement, and the calls those ticks make (about 400 trace lines),
// written to two new files in the temporary folder as the game writes its own (a device
// such as /dev/null is refused, as it is for a player).
void BM_RecordAndTraceOneSecond(benchmark::State& state) {
  const auto folder = std::filesystem::temp_directory_path();
  const std::string stem = "palomir-bench-" + std::to_string(getpid());
  const auto record_path = folder / (stem + ".rec"), trace_path = folder / (stem + ".trace");
  LineFile record(record_path.string(), "recording"), trace(trace_path.string(), "trace");
  Recorder recorder(record);
  LineTrace log(trace);
  for (auto _ : state) {
    for (int pump = 0; pump < 100; ++pump) {
      recorder.Pump();
      recorder.Input(RawInput::MouseMove(3, -2));
      recorder.Tick(2);
      if (pump % 2) recorder.Tick(0);
      recorder.Clock(36000.25f + static_cast<float>(pump));
      recorder.Done();
      for (int call = 0; call < 4; ++call)
        log.Record({"puck.wav", "SetVolume", -1200 - pump, false});
    }
  }
  std::filesystem::remove(record_path);
  std::filesystem::remove(trace_path);
}
BENCHMARK(BM_RecordAndTraceOneSecond)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace palomir

BENCHMARK_MAIN();
