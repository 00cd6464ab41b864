// The machine written once: what every system's machine does the same way, whatever the
// system. The timers and the time of day, the input hub and the game's hold, the mixer and
// the player's levels, the voice's wiring (the recording's and the trace's wrappers, the
// levels the voice reads, the look at the voice at every pump), the recorder and the trace,
// the guide's steps, the sound device and its files, a gamepad's mapping and its rumble. A backend (SDL, Win32, the virtual
// machine) derives from it and supplies only what its system alone has: the pump and its
// wait, the window and its card, the raw input, the sound output, the voice.
//
// Threads. Game thread only, except where a function says otherwise. Nothing here blocks but
// what a backend's hook blocks on: WaitForEvents (until the next input, tick or its bound),
// CreateVoice (the voice's start), DirectSoundCreate (the output's open, within its deadline)
// and a sound file's read (the disk); besides, letting the sound device go waits 50 ms at most
// for the output's close, and the pump's look at the voice waits while a failed voice's
// replacement starts.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/call_log.h"
#include "platform/core/sound_output.h"
#include "platform/input_hub.h"
#include "platform/mixer/mixer.h"
#include "platform/platform.h"
#include "platform/recording.h"
#include "platform/timers.h"

namespace palomir {

class MachineCore : public Platform, public Window {
 public:
  ~MachineCore() override;
  MachineCore(const MachineCore&) = delete;
  MachineCore& operator=(const MachineCore&) = delete;

  // --- Platform
  Window& window() final { return *this; }
  // The backend's voice, made by MakeVoice; its outcome recorded, its lines traced, the end
  // of each waited-for line recorded. Blocks while the voice starts.
  Status CreateVoice(std::unique_ptr<Voice>& voice) final;
  // The input hub's devices and event, and the one sound device (OpenOutput).
  Status CreateDxRoot(std::unique_ptr<DxRoot>& root) final;
  void SetLevels(const Levels& levels) final;
  Levels levels() const final { return levels_; }
  void SetRumble(const RumbleChoice& choice) final { rumble_.set_choice(choice); }
  // The timers, every sound and the input held together, and let go together.
  void HoldGame(bool on) final;
  bool game_held() const final { return timers_.held(); }
  void set_key_observer(std::function<void(const RawInput&)> observer) final {
    hub_.set_key_observer(std::move(observer));
  }
  Micros GuideClock() const final { return Clock(); }
  bool GuideStepDue(Micros due) override;

  // --- Window
  Status Show() final;
  Status SetScaleMode(int32_t) final { return Status::Ok(); }
  TimerQueue& Timers() final { return timers_; }
  void ShowCard(const std::vector<CardLine>& lines) override;
  // The recorder's pump, the output's and the voice's looks, the system's events (PumpSystem),
  // the input queued meanwhile, the due ticks, the observers; each handler runs to its end.
  void DoEvents() override;
  // Returns at once while input waits to be taken; else waits (WaitUntil) until the next
  // tick or `max_seconds`, whichever is first.
  void WaitForEvents(double max_seconds) final;
  // On the game's clock, which stands still while the game is held; recorded.
  float TimeOfDay() const override;
  std::string ProgramFolder() const final { return folder_; }
  std::string SoundsFolder() const final { return sounds_.empty() ? folder_ + "/sounds" : sounds_; }
  Status SetCurrentDirectory(const std::string& folder) final;
  [[noreturn]] void Unload() final;
  // The labels taken from the system's layout when a key last came or the pump last looked
  // (or, in a replay, the recording's): the game's texts name keys by them.
  const KeyLabels& key_labels() const final { return labels_; }
  void set_answering(bool on) final { answer_keys_.set_answering(on); }

  // --- The machine's own
  // Before the window loads. Every platform call and spoken line is told to `trace`;
  // everything from outside that reaches the game is written down by `recorder`.
  void set_trace(CallLog* trace);
  void set_recorder(Recorder* recorder);
  // Before the window loads: the language of the game's lines ("de", "pt_BR"; "" for
  // English), for a voice that is told it.
  void set_language(std::string code) { language_ = std::move(code); }
  // Input as the system would hand it over (a test's, the virtual machine's script), taken
  // at the next pump after the system's own.
  void Input(const RawInput& input) { queued_.push_back(input); }
  // Any thread: asks the game to close as the close box does; taken at the next pump (a
  // wait under way may first run to its bound).
  virtual void RequestClose() = 0;

  // Any thread: the mixer every sound and the mixed voices play through.
  std::shared_ptr<Mixer> mixer() const { return mixer_; }
  // Any thread: the player's rate and loudness, as a voice reads them before each line.
  std::shared_ptr<VoiceLevels> voice_levels() const { return voice_levels_; }
  bool shown() const { return shown_; }
  bool unloaded() const { return unloaded_; }
  // The mouse is taken for the window (an exclusive mouse that has the focus).
  bool mouse_captured() const { return mouse_captured_; }

 protected:
  // `day_start`: the time of day, in seconds since midnight, at clock 0.
  MachineCore(std::string program_folder, std::string sounds_folder, double day_start);

  // --- What a backend supplies
  // Microseconds on the machine's clock, from when it was made; the steady clock unless the
  // backend has a clock of its own. Any thread.
  virtual Micros Clock() const;
  // The system's pending events, each handed on (Deliver, Closed) in order; it may throw
  // WindowUnloaded.
  virtual void PumpSystem() = 0;
  // Blocks until `until` on the clock, or until the system has input or a close request.
  virtual void WaitUntil(Micros until) = 0;
  // Looks at the system just enough to see a close request, and closes (Closed) if there is
  // one: while the voice says a line the game waits for, and while the output opens.
  virtual void CheckClose() = 0;
  // The window shown, hidden (as it unloads), its card drawn again (only once shown).
  virtual void Reveal() = 0;
  virtual void Hide() = 0;
  virtual void DrawCard() {}
  // Takes the pointer for the window (true) or gives it back (false).
  virtual Status CaptureMouse(bool on) = 0;
  // What the keys of the player's layout have printed on them, as the system has it now;
  // the American layout unless the backend can tell.
  virtual const KeyLabels& system_key_labels() const { return UsKeyLabels(); }
  // Whether the system's input can be had at all.
  virtual Status OpenInput() { return Status::Ok(); }
  // The sound output, pulling the mixer while it is open: opened (blocking within its
  // deadline) as the game makes its one sound device, closed as it releases it, and looked
  // at once a pump (a lost output reopened, said). The core's sound output (UseOutput) does
  // all of it for a backend that gives it the system's driver.
  virtual Status OpenOutput();
  virtual void CloseOutput();
  virtual void WatchOutput();
  // Any thread: whether an output pulls the mixer now.
  virtual bool OutputRunning() const;
  // A sound file's samples at the mixer's rate; the game's WAV reader unless the backend
  // has its files elsewhere. Blocks on the disk.
  virtual Status LoadSound(const std::string& path, Pcm& pcm);
  // The backend's voice. The wiring a voice needs is below (WhileSpeaking, voice_poll,
  // voice_levels, mixer, OutputRunning, language).
  virtual Status MakeVoice(std::unique_ptr<Voice>& voice) = 0;
  // True when the voice is told the player's loudness itself (a speech server): its speech
  // then stays at the mix's usual level.
  virtual bool VoiceTakesVolume() const { return false; }
  // Changes the process's folder (UTF-8); the reason when it cannot.
  virtual Status ChangeFolder(const std::string& folder);

  // --- What the core gives a backend
  // In the backend's constructor: the system's sound output driver, opened at `frames` per
  // period by the core's sound output (its thread starts here). What it says when the output
  // is lost, back or moved reaches the player. The backend's destructor calls ShutdownOutput
  // before it tears down what the driver uses; true when the output's thread was left stuck
  // in the system (its library must then stay up).
  void UseOutput(std::unique_ptr<OutputDriver> driver, int frames);
  bool ShutdownOutput();
  // A gamepad, from the system's events: plugged in (or there at the start) or pulled out,
  // said to the player; its stick (taken as the mouse once a pump, PumpSystem's last reading)
  // and its buttons (at once, as a mouse button or a key). Only the first pad plays.
  void PadAdded() { Deliver(RawInput::PadAdded()); }
  void PadRemoved();
  void PadMoved(PadStick stick) { stick_ = stick; }
  void PadPressed(PadButton button, bool down);
  // The pad's motors, as the rumble law drives them (traced as "pad Rumble LOW HIGH", MS);
  // a backend with a pad sets them. Must not block.
  virtual void DriveRumble(const Rumble&) {}
  // The core's sound output; null until UseOutput.
  SoundOutput* output() const { return output_.get(); }
  // One piece of input from the system: its keys turned into the codes the rules read
  // (the play-again answer by the keys' labels, AnswerKeys), recorded so, then to the input
  // hub. A recording thus keeps what the rules saw, and replays the same on any layout.
  void Deliver(const RawInput& input);
  // Input already as the rules read it (a recording's): recorded, then to the input hub.
  void DeliverAsRead(const RawInput& input);
  // The labels the game names keys by from here on (a recording's `keys`).
  void UseLabels(const TakenLabels& labels) { labels_ = labels; }
  // The input queued with Input(), delivered now; the pump does it after PumpSystem, and a
  // backend that must keep it in order with its own may do it sooner.
  void DeliverQueued();
  // The user closed the window: recorded; throws WindowUnloaded.
  [[noreturn]] void Closed();
  // About every 50 ms while the game waits for a line to be heard: a close request cuts the
  // wait short (throws), and a lost output is noticed.
  void WhileSpeaking();
  // The voice's look at its server, run at every pump; the voice sets it.
  const std::shared_ptr<std::function<void()>>& voice_poll() const { return voice_poll_; }
  InputHub& hub() { return hub_; }
  Recorder* recorder() const { return recorder_; }
  CallLog* trace() const { return trace_; }
  const std::string& language() const { return language_; }
  const std::vector<CardLine>& card() const { return card_; }
  bool input_queued() const { return !queued_.empty(); }
  void set_program_folder(std::string folder) { folder_ = std::move(folder); }
  // "" is the folder "sounds" beside the program.
  void set_sounds_folder(std::string folder) { sounds_ = std::move(folder); }
  // The time of day at clock 0, in seconds since midnight.
  double day_start_ = 0;

 private:
  class Sound;
  class Watched;
  void Watch(const std::string& name, const char* op, int32_t value);
  void FlushStick();
  void StopRumble();
  Status OpenSound(const std::string& name, std::unique_ptr<SoundDevice>& sound);

  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::string folder_;
  std::string sounds_;
  std::string language_;
  TimerQueue timers_;
  InputHub hub_;
  std::shared_ptr<Mixer> mixer_ = std::make_shared<Mixer>();
  Levels levels_;
  std::shared_ptr<VoiceLevels> voice_levels_ = std::make_shared<VoiceLevels>();
  std::shared_ptr<std::function<void()>> voice_poll_ = std::make_shared<std::function<void()>>();
  std::deque<RawInput> queued_;
  // The system's layout, taken as keys come and, at most every 100 ms, as the pump runs;
  // each change recorded.
  void LookAtLayout();
  AnswerKeys answer_keys_;
  TakenLabels labels_;
  Micros layout_seen_ = -1;  // when the pump last looked; -1 never
  std::vector<CardLine> card_;
  CallLog* trace_ = nullptr;
  Recorder* recorder_ = nullptr;
  bool sound_open_ = false;  // a sound device was handed to the game
  std::unique_ptr<SoundOutput> output_;
  int output_frames_ = 0;
  bool shown_ = false;
  bool unloaded_ = false;
  bool mouse_captured_ = false;
  int pads_ = 0;
  std::optional<PadStick> stick_;  // the last reading not yet taken
  PadMapper pad_map_;
  RumbleLaw rumble_;
  SoundBuffer* paddle_ = nullptr;  // the game's paddle slide, read back for the stick
  std::vector<std::string> watched_;  // the game's own sounds the pad follows
};

}  // namespace palomir
