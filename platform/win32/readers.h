// The screen readers the game speaks through with `system` speech, each a backend of the
// voice core: NVDA through its controller interface, JAWS through its automation object, and
// any other (Narrator among them) through UI Automation notifications. The first one running
// takes the lines; where none runs, the core says so once and the game's own voice takes
// over.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/voice_core.h"
#include "platform/win32/sapi_voice.h"

namespace palomir::win32 {

// Game thread; none of them blocks: each looks for its reader in Open, on the voice thread,
// and fails there with the player's whole message when it cannot speak through it.
std::unique_ptr<VoiceBackend> NvdaReader(const SapiSetup& setup);
std::unique_ptr<VoiceBackend> JawsReader(const SapiSetup& setup);
std::unique_ptr<VoiceBackend> UiaReader(const SapiSetup& setup);

// Game thread, does not block. A backend that opens the readers in the order given, on the
// voice thread, and speaks through the first that opens; when none does, its Open fails with
// the last one's message (those before it only say their reader is not running).
std::unique_ptr<VoiceBackend> FirstReader(std::vector<std::unique_ptr<VoiceBackend>> readers);

// A reader that cannot tell when a line has been heard: a line is taken as heard once it
// would have been said at the player's rate.
class ReckoningReader : public SleepingBackend {
 public:
  // Any thread, while Wait runs: seconds of the reckoned line still to come.
  double Left() const override;

 protected:
  explicit ReckoningReader(std::shared_ptr<VoiceLevels> levels) : levels_(std::move(levels)) {}
  // Any thread: the seconds `text` takes to say at the player's rate, near enough.
  double Seconds(const std::string& text) const;
  // Voice thread: returns once `text` would have been said, or soon after `cut` is set.
  void Wait(const std::string& text, const std::atomic<bool>& cut);

 private:
  std::shared_ptr<VoiceLevels> levels_;
  std::atomic<int64_t> until_{0};  // steady clock's ticks when the line ends; 0: none
};

}  // namespace palomir::win32
