#include "game/main_form.h"

#include <cmath>
#include <iostream>

#include "audio/sound_bank.h"
#include "game/sound_ops.h"
#include "language/tr.h"
#include "platform/arith.h"

namespace palomir {

namespace {
// TRANSLATORS: spoken as a game starts. Palomir is the game, Vossk its maker: both names
// stay as they are.
constexpr const char* kWelcome = N_("Welcome to Palomir: a Vossk game");
constexpr float kSecondsPerDay = 86400.0f;
}  // namespace

MainForm::MainForm(Platform& platform, ProgramObjects& objects)
    : RightTimer(platform.window().Timers().Add(
          [this] { Guarded(N_("puck moving right"), [this] { RightTimer_Timer(); }); })),
      LeftTimer(platform.window().Timers().Add(
          [this] { Guarded(N_("puck moving left"), [this] { LeftTimer_Timer(); }); })),
      ToTimer(platform.window().Timers().Add(
          [this] { Guarded(N_("puck coming toward you"), [this] { ToTimer_Timer(); }); })),
      FroTimer(platform.window().Timers().Add(
          [this] { Guarded(N_("puck going away"), [this] { FroTimer_Timer(); }); })),
      platform_(platform),
      window_(platform.window()),
      o_(objects) {
  // Design-time settings: the first pair enabled, every interval 0, so nothing ticks
  // before the first new game gives them intervals.
  RightTimer.SetEnabled(true);
  ToTimer.SetEnabled(true);
  o_.Form = this;
}

void MainForm::Guarded(const char* handler, const std::function<void()>& body) {
  try {
    body();
  } catch (const RuntimeError& e) {
    ++errors_;
    Report(std::string(Tr(handler)) + ": " + e.what());
  }
}

void MainForm::Report(const std::string& text) {
  if (!reported_.insert(text).second) return;
  if (on_error) {
    on_error(text);
  } else {
    std::cerr << "palomir: " << text << "\n";
  }
}

void MainForm::Speak(const std::string& text, int32_t flags) {
  if (Voice) Check(Voice->Speak(text, flags));
}

void MainForm::NewGame() {
  if (match) return;  // the match begins its own
  GameOver = kFalse;
  platform_.window().set_answering(false);
  OpponentPace = 1;
  OpponentTicks = 0;
  OpponentPan = 0;
  Speak(Tr(kWelcome), kSpeakAsync);
  Pause(2.0);
  LateralSpeed = 1;
  DepthSpeed = 80;
  SpeedLevel = 10;
  SetVolume(o_.SoundPuck, -6000);
  Rewind(o_.SoundPuck);
  Rewind(o_.SoundGoal);
  Rewind(o_.SoundPaddle);
  Rewind(o_.SoundSideBounce);
  Play(o_.SoundPuck, kPlayLooping);
  SetVolume(o_.SoundPaddleSlide, -2000);
  SetPan(o_.SoundPuck, 0);
  RightTimer.SetInterval(10);
  RightTimer.SetEnabled(true);
  LeftTimer.SetInterval(10);
  LeftTimer.SetEnabled(false);
  ToTimer.SetInterval(1);
  ToTimer.SetEnabled(true);
  FroTimer.SetInterval(1);
  FroTimer.SetEnabled(false);
}

void MainForm::Pause(double seconds) {
  const double wait = seconds;
  const int32_t start = RoundHalfEven(window_.TimeOfDay());
  const auto until = static_cast<float>(start + wait);
  // Seconds since midnight fall back to 0 at midnight; a pause that spans it counts on
  // from the end of the day instead, so it lasts as long as at any other time.
  auto now = [&] {
    float t = window_.TimeOfDay();
    if (t + kSecondsPerDay / 2 < static_cast<float>(start)) t += kSecondsPerDay;
    return t;
  };
  float t = now();
  while (until > t) {
    window_.DoEvents();
    t = now();
    if (until > t) window_.WaitForEvents(until - t);
  }
}

void MainForm::QuitGame() {
  ReleaseAudioAndInput(o_);
  window_.Unload();
  throw WindowUnloaded{};  // Unload never returns; this says so to the compiler
}

}  // namespace palomir
