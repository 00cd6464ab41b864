// The voice core, one for every voice the game speaks with: it owns the lines still to be
// said, leaves out what falls too far behind play, and hands its backend (the game's own
// synthesizer, speech-dispatcher, another system's voice) one line at a time, on a thread
// of its own, only once the backend has finished the line before. What waits to be heard is
// then what the queue holds, so "too far behind" is measured where the player hears it.
//
// When a backend fails, the player is told once, and the backend the setup makes in its
// place says everything not yet heard, the failed line first.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/status.h"
#include "platform/voice.h"

namespace palomir {

class VoiceBackend {
 public:
  virtual ~VoiceBackend() = default;
  // Voice thread, once, before the first line: connects or loads, giving up soon after
  // `stop` is set (the game is closing). A failure gives the reason in the player's words
  // ("speech-dispatcher could not be reached (...)").
  virtual Status Open(const std::atomic<bool>& /*stop*/) { return Status::Ok(); }
  // Voice thread, once, as the thread ends, whether Open worked or not: lets go of what must
  // be let go on the thread that took it (a system's objects and its set-up for them).
  virtual void Close() {}
  // Voice thread: says one line at the player's levels and returns once it has been heard,
  // or soon after `cut` is set (the line stops where the player hears it). A failure: the
  // backend can say nothing more, and this line was not heard.
  virtual Status Say(const std::string& text, const std::atomic<bool>& cut) = 0;
  // Voice thread, with nothing to say: returns at Wake, or within about a second. A failure
  // as Say's (a server that hung up meanwhile).
  virtual Status Idle() = 0;
  // Any thread: Idle returns, and a Say under way looks at its `cut` now.
  virtual void Wake() = 0;
  // Any thread, while Say runs: seconds of its line still to be heard; below 0 when the
  // backend cannot tell (the core then reckons from the line's length).
  virtual double Left() const { return -1; }
};

// A backend with nothing to watch between lines (the game's own synthesizers, a screen
// reader): its idle wait is a sleep that Wake ends early.
class SleepingBackend : public VoiceBackend {
 public:
  Status Idle() override;  // voice thread
  void Wake() override;    // any thread

 protected:
  // Voice thread: sleeps `most` at most; Wake ends it early (and is used up by it).
  void Nap(std::chrono::microseconds most);

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false;
};

class SpeechStream;

// A backend whose lines are samples the mixer plays beside the game's sounds.
class MixedBackend : public SleepingBackend {
 public:
  // Any thread: what the mixer has still to play of the line; below 0 while the line is
  // still being made (synthesized), before Play has handed any of it over.
  double Left() const override;

 protected:
  explicit MixedBackend(SpeechStream& stream) : stream_(stream) {}
  // Voice thread: hands the line (at the mixer's rate) to the mixer and returns once its
  // last sample has been played, at once when `cut` is set (the line stops where it is
  // heard) or when there is no output to play it (`running` false: none opened, or lost).
  Status Play(const std::vector<float>& pcm, const std::atomic<bool>& cut,
              const std::function<bool()>& running);

 private:
  SpeechStream& stream_;
  std::atomic<uint64_t> end_{0};  // where the line being played ends in the stream; 0: none yet
};

struct VoiceCoreSetup {
  // Game thread, about every 50 ms while a line is waited for (the line's end wakes the
  // wait at once); it may throw to abandon the wait (the window was closed).
  std::function<void()> while_waiting;
  // The player's rate: the queue reckons how long its lines take from it.
  std::shared_ptr<VoiceLevels> levels;
  // Game thread, once the backend has failed: makes the one that takes over. Empty, or a
  // failure: the game goes on without speech.
  std::function<Status(std::unique_ptr<VoiceBackend>&)> fallback;
  // A message for the player (stderr, and spoken once a voice can say it).
  std::function<void(const std::string&)> tell;
  // The core sets it: a look the game thread takes at every pump, so that a backend that
  // fails while the game says nothing is noticed and what was queued still said. Cleared
  // when the voice goes.
  std::shared_ptr<std::function<void()>> poll;
};

// Game thread. Starts the core's thread and returns at once; the backend is opened there.
// The Voice it gives keeps voice.h's rules; besides, a backend that failed is replaced on the
// game thread at the next Speak or pump, which then waits while `fallback` makes the new one.
std::unique_ptr<Voice> CreateVoiceCore(std::unique_ptr<VoiceBackend> backend,
                                       VoiceCoreSetup setup);

}  // namespace palomir
