// The real machine: an SDL2 window with its events, timers and relative mouse, an SDL2
// audio device pulling the mixer, and the espeak-ng voice. Game thread only, except where
// a function says otherwise.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/call_log.h"
#include "platform/input_hub.h"
#include "platform/mixer/mixer.h"
#include "platform/platform.h"
#include "platform/recording.h"
#include "platform/sdl/audio_output.h"
#include "platform/sdl/sdl_card.h"

namespace palomir {

class CloseSignalWatch;

class SdlPlatform final : public Platform, public Window {
 public:
  // Opens the window system (not the audio: the sound device does that) and makes the
  // window, hidden. Throws RuntimeError when there is no window system.
  // `speech_data` is the synthesizer's data folder, empty for its own.
  // `sounds_folder` is where the ten sounds are, empty for "sounds" beside the program.
  // `system_speech`: speak through the desktop's speech service where it can be reached.
  explicit SdlPlatform(std::string program_folder, std::string speech_data = "",
                       std::string sounds_folder = "", bool system_speech = false);
  ~SdlPlatform() override;

  Window& window() override { return *this; }
  Status CreateVoice(std::unique_ptr<Voice>& voice) override;
  Status CreateDxRoot(std::unique_ptr<DxRoot>& root) override;

  int32_t Handle() const override;
  Status Show() override;
  Status SetScaleMode(int32_t) override { return Status::Ok(); }
  TimerQueue& Timers() override { return timers_; }
  void ShowCard(const std::vector<CardLine>& lines) override;
  void DoEvents() override;
  void WaitForEvents(double max_seconds) override;
  float TimeOfDay() const override;
  std::string ProgramFolder() const override { return folder_; }
  std::string SoundsFolder() const override {
    return sounds_.empty() ? folder_ + "/sounds" : sounds_;
  }
  Status SetCurrentDirectory(const std::string& folder) override;
  [[noreturn]] void Unload() override;
  void SetLevels(const Levels& levels) override;
  Levels levels() const override { return levels_; }
  void HoldGame(bool on) override;
  bool game_held() const override { return timers_.held(); }
  void set_key_observer(std::function<void(const RawInput&)> observer) override {
    hub_.set_key_observer(std::move(observer));
  }
  Micros GuideClock() const override { return Now(); }
  bool GuideStepDue(Micros due) override;

  // Before the window loads. Every platform call and spoken line is told to `trace`;
  // everything from outside that reaches the game is written down by `recorder`.
  void set_trace(CallLog* trace);
  void set_recorder(Recorder* recorder) {
    recorder_ = recorder;
    if (recorder_) timers_.set_tick_observer([this](int timer) { recorder_->Tick(timer); });
  }

  // Before the window loads: the language of the game's lines ("de", "pt_BR"; "" for
  // English), told to speech-dispatcher. The game's own voice was chosen for it at start.
  void set_language(std::string code) { language_ = std::move(code); }

  // Frames per audio period of the open output; 0 while none is open.
  int audio_period() const { return output_->period(); }
  std::shared_ptr<Mixer> mixer() { return mixer_; }

 private:
  class Sound;
  Micros Now() const;
  void Handle(const void* sdl_event);
  void Deliver(const RawInput& input);
  Status MakeVoice(std::unique_ptr<Voice>& voice);
  Status OpenSound(const std::string& name, std::unique_ptr<SoundDevice>& sound);
  // The user asked for the window to close: nothing more runs.
  [[noreturn]] void Closed();

  std::string folder_;
  std::string speech_data_;
  std::string sounds_;
  bool system_speech_ = false;
  std::string language_;
  void* window_ = nullptr;  // SDL_Window
  bool shown_ = false;
  std::vector<CardLine> card_;
  CardPainter painter_;
  std::chrono::steady_clock::time_point start_;
  double day_start_ = 0;  // seconds since midnight when the program started
  TimerQueue timers_;
  InputHub hub_;
  std::shared_ptr<Mixer> mixer_ = std::make_shared<Mixer>();
  Levels levels_;
  std::shared_ptr<VoiceLevels> voice_levels_ = std::make_shared<VoiceLevels>();
  int window_fd_ = -1;           // the X11 connection, where there is one
  Micros last_pump_ = -1000000;  // when the window system was last asked for events
  CallLog* trace_ = nullptr;
  Recorder* recorder_ = nullptr;
  std::unique_ptr<CloseSignalWatch> close_signals_;
  std::unique_ptr<AudioOutput> output_ = std::make_unique<AudioOutput>(mixer_);
  bool sound_open_ = false;  // a sound device was handed to the game
  // The system voice's look at its server, run at every pump.
  std::shared_ptr<std::function<void()>> voice_poll_ = std::make_shared<std::function<void()>>();
};

}  // namespace palomir
