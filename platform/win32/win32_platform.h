// The real machine on Windows: a Win32 window whose card is drawn with GDI, the event pump
// and the timers on the game thread (a high-resolution waitable timer, waited for together
// with the input with MsgWaitForMultipleObjectsEx), DirectInput 8 for the mouse (buffered,
// exclusive, foreground) and the keyboard (non-exclusive, so the screen reader's keys still
// reach it), and WASAPI for the sound. Game thread only, except where a function says
// otherwise.
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
#include "platform/win32/wasapi_output.h"

namespace palomir {

namespace win32 {
class ComApartment;
}

class Win32Platform final : public Platform, public Window {
 public:
  // Makes the window, hidden, and opens DirectInput. Throws RuntimeError when it cannot.
  // `system_speech`: speak through the player's screen reader where it can be reached.
  explicit Win32Platform(std::string program_folder, std::string speech_data = "",
                         std::string sounds_folder = "", bool system_speech = false);
  ~Win32Platform() override;

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

  void set_trace(CallLog* trace);
  void set_recorder(Recorder* recorder) {
    recorder_ = recorder;
    if (recorder_) timers_.set_tick_observer([this](int timer) { recorder_->Tick(timer); });
  }
  // Told when Windows ends the session (log-off, shutdown) while the game runs: the process
  // ends as soon as the window has answered, so what must be kept is written out here.
  void set_session_end(std::function<void()> end) { session_end_ = std::move(end); }
  // Before the window loads: the language of the game's lines ("de"; "" for English). The
  // SAPI voice speaks as the system has it set up.
  void set_language(std::string code) { language_ = std::move(code); }

  // Any thread: asks the game to close as the close box does (Ctrl+C in the console).
  void RequestClose();

 private:
  class Sound;
  struct Native;
  Micros Now() const;
  void Deliver(const RawInput& input);
  void ReadInput();
  [[noreturn]] void Closed();
  static intptr_t __stdcall Proc(void* hwnd, unsigned message, uintptr_t w, intptr_t l);
  intptr_t OnMessage(unsigned message, uintptr_t w, intptr_t l);
  void Paint();

  std::string folder_;
  std::string language_;
  std::string sounds_;
  bool system_speech_ = false;
  // The game thread's COM (a single-threaded apartment, as a window's thread has), set up
  // before the window's objects are made and let go after they are released.
  std::unique_ptr<win32::ComApartment> com_;
  std::unique_ptr<Native> native_;
  bool shown_ = false;
  bool close_asked_ = false;
  std::vector<bool> pending_focus_;  // the window came to the front (true) or left it
  std::vector<CardLine> card_;
  std::chrono::steady_clock::time_point start_;
  double day_start_ = 0;
  TimerQueue timers_;
  InputHub hub_;
  std::shared_ptr<Mixer> mixer_ = std::make_shared<Mixer>();
  Levels levels_;
  std::shared_ptr<VoiceLevels> voice_levels_ = std::make_shared<VoiceLevels>();
  CallLog* trace_ = nullptr;
  Recorder* recorder_ = nullptr;
  std::function<void()> session_end_;
  std::unique_ptr<WasapiOutput> output_ = std::make_unique<WasapiOutput>(mixer_);
  bool sound_open_ = false;
};

}  // namespace palomir
