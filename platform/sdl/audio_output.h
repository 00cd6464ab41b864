// The sound output's driver on Linux (the core, platform/core/sound_output.h, opens, watches
// and reopens it): the game's own PipeWire stream where a PipeWire server answers, else SDL's
// drivers (PulseAudio, then the card itself), the thread that pulls the mixer raised to
// real-time priority as far as this user may have it. When nothing answers, the reason says
// where each server was looked for.
//
// Threads: Open, Close and ThreadEnds on the core's output thread (they may block on the
// server); Lost on the game thread while that thread has no job under way (the core's Watch
// asks it so: the game's own stream is set and cleared there); Removed on the game thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/core/sound_output.h"

namespace palomir {

class PipeWireOutput;

class SdlOutputDriver final : public OutputDriver {
 public:
  SdlOutputDriver();
  ~SdlOutputDriver() override;

  int Open(const std::shared_ptr<Mixer>& mixer, int frames, bool again,
           const std::atomic<bool>& cancel, std::string& why) override;
  void Close() override;
  void ThreadEnds() override;
  bool Lost() const override;
  // Game thread: SDL said that this device was removed.
  void Removed(uint32_t device);

 private:
  std::atomic<uint32_t> device_{0};
  std::atomic<bool> removed_{false};
  std::unique_ptr<PipeWireOutput> own_;  // the game's own stream, while it plays
  bool was_own_ = false;  // output's thread: the last output opened was the game's own stream
};

}  // namespace palomir
