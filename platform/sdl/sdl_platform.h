// The real machine on Linux: the machine's core (platform/core/machine.h) with an SDL2
// window and its events, SDL2's relative mouse, the sound output (PipeWire, else SDL2's
// audio) pulling the mixer, and the espeak-ng voice or speech-dispatcher. Game thread only,
// except where a function says otherwise; the wait blocks in poll (X11) or SDL's wait.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/core/machine.h"
#include "platform/sdl/audio_output.h"
#include "platform/sdl/keymap.h"
#include "platform/sdl/sdl_card.h"

namespace palomir {

class CloseSignalWatch;

class SdlPlatform final : public MachineCore {
 public:
  // Opens the window system (not the audio: the sound device does that) and makes the
  // window, hidden. Throws RuntimeError when there is no window system.
  // `speech_data` is the synthesizer's data folder, empty for its own.
  // `sounds_folder` is where the ten sounds are, empty for "sounds" beside the program.
  // `system_speech`: speak through the desktop's speech service where it can be reached.
  // Blocks while the window system is reached (a busy X server is asked again, about 0.6 s
  // in all).
  explicit SdlPlatform(std::string program_folder, std::string speech_data = "",
                       std::string sounds_folder = "", bool system_speech = false);
  // Waits 50 ms at most for the sound output's thread (see SoundOutput).
  ~SdlPlatform() override;

  int32_t Handle() const override;
  // Any thread: SDL's quit event, as the close box sends it.
  void RequestClose() override;

  // Frames per audio period of the open output; 0 while none is open.
  int audio_period() const { return output()->period(); }

 private:
  SdlKeyLabels labels_;
  const KeyLabels& system_key_labels() const override { return labels_; }
  // The window system's events, each handed on in order. The wait blocks in one poll of the
  // X11 connection (to the microsecond), elsewhere in SDL's own wait.
  void PumpSystem() override;
  void WaitUntil(Micros until) override;
  // SDL's queue, looked at for its quit event.
  void CheckClose() override;
  // The window, its card drawn through the X server (or SDL's renderer on Wayland).
  void Reveal() override;
  void Hide() override;
  void DrawCard() override;
  // SDL's relative mouse mode.
  Status CaptureMouse(bool on) override;
  // The first game controller's two motors (SDL_GameControllerRumble: a write to the device).
  void DriveRumble(const Rumble& r) override;
  // A game controller plugged in, pulled out, its stick and buttons: the first one plays,
  // the next takes its place when it goes.
  void PadEvent(const void* sdl_event);
  void OpenFirstPad();
  // espeak-ng, or speech-dispatcher with espeak-ng to take over; blocks while espeak-ng
  // loads its voice.
  Status MakeVoice(std::unique_ptr<Voice>& voice) override;
  // speech-dispatcher is told the player's loudness; the embedded voice is made louder or
  // quieter in the mix, also once it has taken over from speech-dispatcher.
  bool VoiceTakesVolume() const override { return system_speech_ && !own_voice_took_over_; }
  void HandleEvent(const void* sdl_event);
  // SDL's pump, noted.
  void Pump();
  // Something other than a pump spoke to the X server (a paint, the window shown or hidden,
  // the mouse taken): what it read or left unsent is for the next pump.
  void Touched() { quiet_ = false; }

  std::string speech_data_;
  bool system_speech_ = false;
  bool own_voice_took_over_ = false;  // game thread
  void* window_ = nullptr;  // SDL_Window
  CardPainter painter_;
  int window_fd_ = -1;           // the X11 connection, where there is one
  Micros last_pump_ = -1000000;  // when the window system was last asked for events
  Micros last_full_pump_ = -1000000;  // when SDL last pumped (its own timed work, too)
  // X11: since the last pump nothing has been read from the connection or left unsent, and
  // nothing has arrived on it: the wait need not pump first.
  bool quiet_ = false;
  std::unique_ptr<CloseSignalWatch> close_signals_;
  void* pad_ = nullptr;  // SDL_GameController, the one that plays
  int32_t pad_id_ = -1;  // its joystick instance
  PadStick stick_;
  SdlOutputDriver* driver_ = nullptr;  // the core's output's driver (the game's PipeWire
                                       // stream, else SDL's audio), told of removed devices
};

}  // namespace palomir
