// The sound output, written once for every system: a thread of its own opens the system's
// default output, the game thread watches it, and a lost output is reopened on that thread
// until the system has one again. The mixer keeps every channel where it was, so the game
// goes on where it was heard. What is lost, back or moved is said once, on stderr and to
// the player, in the player's language.
//
// A system supplies an OutputDriver: it only opens, fills (its own audio thread pulls the
// mixer) and reports. Every call into the driver but its reports happens on the output's
// thread, since a sound server can hold such a call for ever (PipeWire without its session
// manager never answers an open). The game thread only hands that thread work and looks at
// what came of it, never waiting longer than it was told to.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/mixer/mixer.h"
#include "platform/status.h"

namespace palomir {

class OutputDriver {
 public:
  virtual ~OutputDriver() = default;
  // Output's thread, as it starts and just before it ends (where a system sets up and lets
  // go what that thread needs: COM, a library's per-thread state).
  virtual void ThreadBegins() {}
  virtual void ThreadEnds() {}
  // Output's thread. Opens the system's default output, its audio thread pulling `mixer` at
  // about `frames` per period. Returns the period it got, in frames; 0 with `why` in a
  // player's words when it cannot. `again`: a lost output tried again (quietly: the reason
  // is not shown). `cancel` turns true when the game no longer wants the output; an open
  // that waits on the system gives up then. May block for as long as the system takes.
  virtual int Open(const std::shared_ptr<Mixer>& mixer, int frames, bool again,
                   const std::atomic<bool>& cancel, std::string& why) = 0;
  // Output's thread. Closes the open output: nothing pulls the mixer afterwards.
  virtual void Close() = 0;
  // Any thread. The open output is gone (the server went away, the device was removed),
  // though the system may not have stopped pulling. Cleared by the next Open.
  virtual bool Lost() const { return false; }
  // Any thread. The system's default output changed while one was open: the game is to
  // move there. Cleared by the next Open.
  virtual bool Moved() const { return false; }
};

class SoundOutput {
 public:
  // Game thread, as every call below but where one says otherwise. Starts the output's
  // thread (it runs the driver's ThreadBegins) and returns at once.
  SoundOutput(std::shared_ptr<Mixer> mixer, std::unique_ptr<OutputDriver> driver);
  // Closes the output if it can within 50 ms; a thread stuck in the system is left behind
  // (see abandoned()).
  ~SoundOutput();
  // The same, earlier: afterwards only abandoned() may be asked.
  void Shutdown();
  SoundOutput(const SoundOutput&) = delete;
  SoundOutput& operator=(const SoundOutput&) = delete;

  // Game thread. Opens the default output at `frames` per period, waiting at most
  // `deadline`; `idle` runs every few milliseconds meanwhile and may throw.
  Status Open(int frames, std::chrono::milliseconds deadline, const std::function<void()>& idle);
  // Game thread. Closes the output (at once when it can; in the background otherwise,
  // waiting 50 ms at most).
  void Close();
  // Game thread, as often as it likes; never blocks. Notices a lost output (the driver says
  // so, or nothing has pulled the mixer for a second) and a moved default, has the output
  // reopened, and says once what happened: on stderr, and to `told` (on the game thread,
  // inside Watch) in a few words.
  void Watch();
  std::function<void(const std::string&)> told;

  // Any thread. True while an output is open and pulls the mixer.
  bool running() const;
  // Any thread. Frames per period of the open output; 0 while none is.
  int period() const;
  // Game thread. True when the thread was left inside the system: the system's library
  // must then not be shut down under it.
  bool abandoned() const { return abandoned_; }

 private:
  struct State;
  std::shared_ptr<State> state_;
  bool abandoned_ = false;
  bool lost_ = false;    // lost and not yet back
  bool moving_ = false;  // reopening on the system's new default
  uint64_t last_blocks_ = 0;
  std::chrono::steady_clock::time_point last_change_{};
  std::chrono::steady_clock::time_point last_watch_{};
};

}  // namespace palomir
