// The input devices and the input event, shared by the real and the virtual machine: the
// machine turns its own input into RawInput and hands it to Deliver(). Game thread only.
// Nothing here blocks but what the input event's handler does (Deliver runs it) and taking
// the mouse (the window system).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/input.h"
#include "platform/platform.h"
#include "platform/timers.h"

namespace palomir {

class HubDevice;

class InputHub {
 public:
  // `capture_mouse` takes the pointer for the window (true) or gives it back (false).
  InputHub(std::function<Status(bool)> capture_mouse, std::function<Micros()> now);
  ~InputHub();

  // Applies one piece of input to every device that has input now, then raises the input
  // event of each device that took it, once. A key the keyboard already holds down (the
  // system's auto-repeat) is not a new press and raises nothing.
  void Deliver(const RawInput& input);

  bool focused() const { return focused_; }
  // While the game is held (the help plays) the keyboard keeps track of its keys but raises
  // no input event, and the mouse's movements and buttons are let go, as in any paused game;
  // the key observer is told of every key all the same.
  void set_held(bool held) { held_ = held; }
  void set_focused(bool focused) { focused_ = focused; }

  // Told of every key press and release a keyboard took, once the input events have run.
  void set_key_observer(std::function<void(const RawInput&)> observer) {
    key_observer_ = std::move(observer);
  }

  int32_t CreateEvent(std::function<void(int32_t)> sink);
  std::unique_ptr<InputRoot> CreateInputRoot();

 private:
  friend class HubDevice;
  void Signal(int32_t event);
  void Register(HubDevice* d) { devices_.push_back(d); }
  void Unregister(HubDevice* d);

  std::function<Status(bool)> capture_mouse_;
  std::function<Micros()> now_;
  std::function<void(const RawInput&)> key_observer_;
  bool focused_ = true;
  bool held_ = false;
  int32_t next_event_ = 1;
  int32_t next_sequence_ = 1;
  std::map<int32_t, std::function<void(int32_t)>> events_;
  std::vector<HubDevice*> devices_;
};

// A root object whose input comes from a hub and whose sound device comes from `make_sound`.
class HubDxRoot final : public DxRoot {
 public:
  using SoundMaker = std::function<Status(const std::string&, std::unique_ptr<SoundDevice>&)>;
  // `input_allowed`, where given, says whether the input system can be had.
  HubDxRoot(InputHub& hub, SoundMaker make_sound, std::function<Status()> input_allowed = {})
      : hub_(hub), make_sound_(std::move(make_sound)), input_allowed_(std::move(input_allowed)) {}
  Status DirectSoundCreate(const std::string& device,
                           std::unique_ptr<SoundDevice>& sound) override {
    return make_sound_(device, sound);
  }
  Status DirectInputCreate(std::unique_ptr<InputRoot>& input) override {
    if (input_allowed_) {
      if (Status s = input_allowed_(); !s.ok()) return s;
    }
    input = hub_.CreateInputRoot();
    return Status::Ok();
  }
  Status CreateEvent(std::function<void(int32_t)> sink, int32_t& handle) override {
    handle = hub_.CreateEvent(std::move(sink));
    return Status::Ok();
  }

 private:
  InputHub& hub_;
  SoundMaker make_sound_;
  std::function<Status()> input_allowed_;
};

}  // namespace palomir
