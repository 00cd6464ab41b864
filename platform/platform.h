// Everything the game asks of the machine it runs on. Two machines implement it: the real
// one (a window, a sound card, a mouse, a keyboard and a speech synthesizer) and the
// virtual one that tests drive.
//
// Threads: the game thread, every call (GainOf is pure, for any thread). What blocks:
// CreateVoice while the voice starts, and DirectSoundCreate while the sound output opens
// (within the machine's deadline).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/input.h"
#include "platform/pad.h"
#include "platform/sound.h"
#include "platform/status.h"
#include "platform/voice.h"
#include "platform/window.h"

namespace palomir {

// The root object that makes the sound device, the input root and the input event.
class DxRoot {
 public:
  virtual ~DxRoot() = default;
  // "" is the default sound device. Fails with the system's reason when no output opens.
  virtual Status DirectSoundCreate(const std::string& device,
                                   std::unique_ptr<SoundDevice>& sound) = 0;
  virtual Status DirectInputCreate(std::unique_ptr<InputRoot>& input) = 0;
  // An input event: each signal of it calls `sink` with the event's handle, from the
  // event pump, on the game thread.
  virtual Status CreateEvent(std::function<void(int32_t)> sink, int32_t& handle) = 0;
};

// The player's own levels, none of them a rule of play.
struct Levels {
  static constexpr int kOff = -1000;  // silence
  int speech_rate = 175;              // words a minute
  int speech_volume = 0;              // dB against the game's usual level
  int sound_volume = 0;               // dB (never above 0), or kOff
  int background_volume = 0;          // dB (never above 0), or kOff
  bool operator==(const Levels&) const = default;
};
// A level in dB as a plain gain; kOff is 0.
float GainOf(int db);

class Platform {
 public:
  virtual ~Platform() = default;
  virtual Window& window() = 0;
  virtual Status CreateVoice(std::unique_ptr<Voice>& voice) = 0;
  virtual Status CreateDxRoot(std::unique_ptr<DxRoot>& root) = 0;

  // --- What the player's guide (help, the sound tour, the levels) asks; no part of the rules.
  // Heard at once: the sounds from the next block, the voice from its next line.
  virtual void SetLevels(const Levels& levels) = 0;
  virtual Levels levels() const = 0;
  // What a gamepad's motors let the player feel, from the next event on the table.
  virtual void SetRumble(const RumbleChoice&) {}
  // Holds the game still (its timers and every sound it has, silent, positions kept) or
  // lets it go on exactly where it stood. Sounds made while it is held play as usual.
  virtual void HoldGame(bool on) = 0;
  virtual bool game_held() const = 0;
  // Told of every key press and release the keyboard took, after the game's input handler
  // has run for it. Shift is among them.
  virtual void set_key_observer(std::function<void(const RawInput&)> observer) = 0;
  // The guide's pace: microseconds on the machine's own clock, never written down.
  virtual Micros GuideClock() const = 0;
  // Whether the guide's next step, due at `due` on that clock, is taken in this pump: a
  // recording writes it down ("guide"), and a replay takes it where the recording has it.
  virtual bool GuideStepDue(Micros due) = 0;

  // Game thread. What the player can do when no sound output could be opened, in their
  // words, to follow `reason` ("; is a sound server running?"); "" when the reason already
  // says where the sound servers were looked for.
  virtual std::string NoSoundOutputHelp(const std::string& reason) const;

  // A message for the player that has been printed: said too, in a few words, once a voice
  // can say it (a player who started the game from the desktop's menu sees no terminal).
  // Game thread.
  void TellPlayer(const std::string& spoken) { told_.push_back(spoken); }
  std::vector<std::string> TakeTold() { return std::exchange(told_, {}); }

 private:
  std::vector<std::string> told_;
};

}  // namespace palomir
