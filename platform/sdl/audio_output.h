// The sound output: SDL's default audio device pulling the mixer. Every call into SDL's
// audio (open, close, starting its drivers) happens on a thread of the output's own,
// since a sound server can hold such a call for ever (PipeWire without its session
// manager never answers an open). The game thread only hands the thread work and looks
// at what came of it, never waiting longer than it was told to.
//
// When the output is lost (the server restarted, the device removed, the stream dead),
// the thread reopens the default output, trying again quietly until a server is there;
// the mixer keeps every channel where it was, so the game goes on where it was heard.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/mixer/mixer.h"
#include "platform/status.h"

namespace palomir {

class AudioOutput {
 public:
  explicit AudioOutput(std::shared_ptr<Mixer> mixer);
  // Closes the output if it can within 50 ms; a thread stuck in the sound
  // library is left behind (see abandoned()).
  ~AudioOutput();
  // The same, earlier: afterwards only abandoned() may be asked.
  void Shutdown();
  AudioOutput(const AudioOutput&) = delete;
  AudioOutput& operator=(const AudioOutput&) = delete;

  // Game thread. Opens the default output at `frames` per period, waiting at most
  // `deadline`; `idle` runs every few milliseconds meanwhile and may throw.
  Status Open(int frames, std::chrono::milliseconds deadline, const std::function<void()>& idle);
  // Game thread. Closes the output (at once when it can; in the background otherwise).
  void Close();
  // Game thread, as often as it likes. Notices a lost output and has it reopened; says once
  // on stderr when it is lost and once when it is back, and tells `told` in a few words.
  void Watch();
  std::function<void(const std::string&)> told;
  // Game thread: SDL said that this device was removed.
  void Removed(uint32_t device);

  // Any thread. True while an output is open and pulls the mixer.
  bool running() const;
  // Frames per period of the open output; 0 while none is.
  int period() const;
  // True when a thread was left inside the sound library: SDL must then not be shut down
  // under it.
  bool abandoned() const { return abandoned_; }

 private:
  struct State;
  std::shared_ptr<State> state_;
  bool abandoned_ = false;
  bool lost_ = false;
  bool removed_ = false;
  uint64_t last_blocks_ = 0;
  std::chrono::steady_clock::time_point last_change_{};
  std::chrono::steady_clock::time_point last_watch_{};
};

}  // namespace palomir
