// The game's own PipeWire client: one playback stream whose process callback runs on
// PipeWire's real-time data thread and mixes the very block the sink plays in that cycle.
// SDL's pipewire driver fills its block on a thread of its own, one cycle ahead of the sink,
// which the player hears a whole quantum later (5.3 ms at 256 frames and 48 kHz).
//
// Threads: Open and the destructor run on the sound output's own thread (they talk to the
// server, which may be slow to answer); the process callback runs on PipeWire's data
// thread (the audio thread); failed() may be asked from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/mixer/mixer.h"

namespace palomir {

class PipeWireOutput {
 public:
  // Output's thread. Connects to this session's PipeWire server and plays `mixer` through a
  // stream asking for `frames` per cycle at the mixer's rate. Returns once the server pulls
  // the stream. Returns nullptr, with `why` in a player's words, when the server fails, and
  // when `cancel` turns true meanwhile; `no_server` then tells whether no PipeWire server
  // could be reached at all (another way to the speakers may then be tried).
  static std::unique_ptr<PipeWireOutput> Open(std::shared_ptr<Mixer> mixer, int frames,
                                              const std::atomic<bool>& cancel, bool& no_server,
                                              std::string& why);
  // Output's thread. Stops the stream and leaves the server; the mixer is no longer pulled.
  ~PipeWireOutput();
  PipeWireOutput(const PipeWireOutput&) = delete;
  PipeWireOutput& operator=(const PipeWireOutput&) = delete;

  // Any thread. True once the server has gone away or ended the stream.
  bool failed() const;

  // Any thread. The sockets a PipeWire client of this session connects to, in the order it
  // tries them: the one its environment names (PIPEWIRE_REMOTE in PIPEWIRE_RUNTIME_DIR or
  // XDG_RUNTIME_DIR), then the system-wide one.
  static std::vector<std::string> Sockets();

  struct Impl;

 private:
  PipeWireOutput();
  std::unique_ptr<Impl> impl_;
};

}  // namespace palomir
