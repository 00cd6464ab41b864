// The sound output's driver on Windows (the core, platform/core/sound_output.h, opens, watches
// and reopens it): WASAPI in shared mode, event-driven, 48 kHz float stereo, the mixer pulled
// on a thread of the driver's own that Windows' multimedia scheduler (MMCSS) favours. The
// default endpoint is listened to (IMMNotificationClient): when the player plugs in a headset
// or chooses another default, the driver says the game is to move, and the core reopens it
// there; a removed, disabled or invalidated endpoint is reported lost.
//
// Threads: ThreadBegins, Open, Close and ThreadEnds on the core's output thread (COM's
// multithreaded apartment is set up there, and the endpoint's objects made and released
// there); the fill thread joins the same apartment; Windows calls the listener on a thread of
// its own; Lost and Moved from any thread. Nothing blocks longer than the audio service takes
// to answer, and Close waits for the fill thread's current period at most.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "platform/core/sound_output.h"

struct IMMNotificationClient;

namespace palomir {

namespace win32 {
class ComApartment;
}

class WasapiDriver final : public OutputDriver {
 public:
  WasapiDriver();
  ~WasapiDriver() override;

  void ThreadBegins() override;
  void ThreadEnds() override;
  int Open(const std::shared_ptr<Mixer>& mixer, int frames, bool again,
           const std::atomic<bool>& cancel, std::string& why) override;
  void Close() override;
  bool Lost() const override;
  bool Moved() const override;

  // What Windows calls when its endpoints change; a test may call it as Windows would (the
  // endpoint the game plays on is the one Open found, "" while none is open). The caller
  // holds a reference of its own (AddRef) for as long as it keeps the pointer.
  IMMNotificationClient* listener() const;

 private:
  struct Stream;
  struct Events;
  class Listener;
  std::unique_ptr<win32::ComApartment> com_;
  std::shared_ptr<Events> events_;
  Listener* listener_ = nullptr;  // one reference, the driver's
  std::unique_ptr<Stream> stream_;
  std::thread fill_;
};

}  // namespace palomir
