// The real message loop during play: how evenly the 10 ms timers tick, and how soon an
// input event is heard. Runs the game on the real layer (use a real or virtual X server,
// or SDL's dummy drivers).
#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "audio/sound_bank.h"
#include "game/main_form.h"
#include "platform/sdl/sdl_platform.h"

namespace {

using Clock = std::chrono::steady_clock;
double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  using namespace palomir;
  const std::string folder = argc > 1 ? argv[1] : "build";
  SdlPlatform p(folder);
  ProgramObjects o;
  MainForm f(p, o);
  f.on_error = [](const std::string& e) { std::fprintf(stderr, "error: %s\n", e.c_str()); };
  if (!f.Form_Load()) return 1;
  SDL_Event focus{};
  focus.type = SDL_WINDOWEVENT;
  focus.window.event = SDL_WINDOWEVENT_FOCUS_GAINED;
  SDL_PushEvent(&focus);

  // Timer accuracy: a 10 ms timer of our own in the same loop as the game's four.
  std::vector<Clock::time_point> ticks;
  Timer& probe = p.Timers().Add([&] {
    ticks.push_back(Clock::now());
    if (ticks.size() > 2000) throw WindowUnloaded{};
  });
  probe.SetInterval(10);
  probe.SetEnabled(true);
  const auto start = Clock::now();
  try {
    p.RunMessageLoop();
  } catch (const WindowUnloaded&) {
  }
  std::vector<double> gaps;
  for (size_t i = 1; i < ticks.size(); ++i) gaps.push_back(Ms(ticks[i] - ticks[i - 1]));
  const double drift = Ms(ticks.back() - start) - 10.0 * static_cast<double>(ticks.size());
  std::printf(
      "timer 10 ms over %zu ticks: median %.2f ms, p99 %.2f ms, max %.2f ms, drift %.1f ms\n",
      gaps.size(), Percentile(gaps, 0.5), Percentile(gaps, 0.99),
      *std::max_element(gaps.begin(), gaps.end()), drift);
  probe.SetEnabled(false);

  // Input to sound: a sideways mouse movement starts the paddle's slide and moves it; the
  // first block mixed after the game has handled the event carries both.
  Mixer& mixer = *p.mixer();
  std::vector<double> lat;
  for (int i = 0; i < 200; ++i) {
    SDL_Event move{};
    move.type = SDL_MOUSEMOTION;
    move.motion.xrel = (i % 2) ? 3 : -3;
    const auto t0 = Clock::now();
    SDL_PushEvent(&move);
    p.WaitForEvents(0.1);
    p.DoEvents();
    const uint64_t handled = mixer.blocks_begun();
    // Yields until the next block begins (at most one audio period), then takes the time.
    while (mixer.blocks_begun() == handled) std::this_thread::yield();
    lat.push_back(Ms(Clock::now() - t0));
    SDL_Delay(7 + i % 5);  // events come at any moment of the audio period
  }
  std::printf(
      "input to sound over %zu events: median %.2f ms, p99 %.2f ms, max %.2f ms (audio period %d "
      "frames = %.1f ms)\n",
      lat.size(), Percentile(lat, 0.5), Percentile(lat, 0.99),
      *std::max_element(lat.begin(), lat.end()), p.audio_period(),
      p.audio_period() * 1000.0 / Mixer::kRate);
  ReleaseAudioAndInput(o);
  return 0;
}
