// The sound output on Windows: WASAPI in shared mode, event-driven, 48 kHz float stereo,
// pulling the mixer on a thread of its own that Windows' multimedia scheduler (MMCSS)
// favours. A lost output (the device removed, the default endpoint changed, the audio
// service restarted) is reopened on the default endpoint as soon as there is one; the mixer
// keeps every channel where it was, so the game goes on where it was heard.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/mixer/mixer.h"
#include "platform/status.h"

namespace palomir {

class WasapiOutput {
 public:
  explicit WasapiOutput(std::shared_ptr<Mixer> mixer) : mixer_(std::move(mixer)) {}
  ~WasapiOutput() { Close(); }
  WasapiOutput(const WasapiOutput&) = delete;
  WasapiOutput& operator=(const WasapiOutput&) = delete;

  // Game thread. Opens the default endpoint and starts the mixing thread; fails with the
  // system's reason (no endpoint at all: "no sound device").
  Status Open();
  // Game thread. Stops the mixing thread and closes the endpoint.
  void Close();
  // Game thread, at every pump: says once on stderr when the output is lost and once when
  // it is back.
  void Watch();
  // Any thread. True while an endpoint plays the mix.
  bool running() const { return playing_.load(); }

 private:
  struct Shared;
  std::shared_ptr<Mixer> mixer_;
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
  std::atomic<bool> playing_{false};
  bool said_lost_ = false;
};

}  // namespace palomir
