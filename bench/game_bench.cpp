// Whole games in virtual time: a scripted player plays until one side has 50 goals, and
// the virtual seconds played are set against the real seconds it took.
#include <chrono>
#include <cstdio>

#include "game/main_form.h"
#include "platform/virtual/virtual_platform.h"
#include "tools/autoplayer.h"

int main() {
  using namespace palomir;
  using Clock = std::chrono::steady_clock;
  double played = 0, real = 0;
  int games = 0;
  for (uint32_t seed = 1; seed <= 5; ++seed) {
    VirtualPlatform vp;
    vp.recording = false;
    ProgramObjects o;
    MainForm f(vp, o);
    f.on_error = [](const std::string& e) { std::fprintf(stderr, "error: %s\n", e.c_str()); };
    if (!f.Form_Load()) return 1;
    Autoplayer player(vp, o, f, seed);
    const auto start = Clock::now();
    const double from = vp.Now();
    while (f.GameOver != kTrue) player.Step();
    real += std::chrono::duration<double>(Clock::now() - start).count();
    played += vp.Now() - from;
    ++games;
  }
  std::printf("whole games in virtual time: %d games, %.0f s of play in %.3f s: %.0fx real time\n",
              games, played, real, played / real);
  return 0;
}
