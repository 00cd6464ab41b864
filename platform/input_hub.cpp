#include "platform/input_hub.h"

#include <strings.h>

#include <algorithm>
#include <deque>
#include <string>

namespace palomir {

class HubDevice final : public InputDevice {
 public:
  enum class Kind { kMouse, kKeyboard };
  HubDevice(InputHub& hub, Kind kind) : hub_(hub), kind_(kind) { hub_.Register(this); }
  ~HubDevice() override {
    if (HasCapture()) (void)hub_.capture_mouse_(false);
    hub_.Unregister(this);
  }

  Status SetCommonDataFormat(int32_t format) override {
    const int32_t wanted = kind_ == Kind::kMouse ? kFormatMouse : kFormatKeyboard;
    if (format != wanted) return Fail("SetCommonDataFormat: format does not fit this device");
    format_ = format;
    return Status::Ok();
  }

  Status SetCooperativeLevel(int32_t /*window*/, int32_t flags) override {
    if (flags & kLevelBackground) {
      return Fail("SetCooperativeLevel: this system gives input only to the focused window");
    }
    const bool exclusive = flags & kLevelExclusive;
    if (exclusive == bool(flags & kLevelNonExclusive) || !(flags & kLevelForeground)) {
      return Fail("SetCooperativeLevel: invalid flags " + std::to_string(flags));
    }
    exclusive_ = exclusive;
    return Status::Ok();
  }

  Status SetProperty(const std::string& name, const PropLong& value) override {
    if (name != "DIPROP_BUFFERSIZE") return Fail("SetProperty: unknown property " + name);
    if (value.how != 0 || value.object != 0 || value.data < 0) {
      return Fail("SetProperty: invalid DIPROP_BUFFERSIZE record");
    }
    buffer_size_ = static_cast<size_t>(value.data);
    while (records_.size() > buffer_size_) records_.pop_back();
    return Status::Ok();
  }

  Status SetEventNotification(int32_t event) override {
    event_ = event;
    return Status::Ok();
  }

  Status Acquire() override {
    if (format_ == 0) return Fail("Acquire: no data format set");
    acquired_ = true;
    if (WantsCapture() && hub_.focused()) {
      Status s = hub_.capture_mouse_(true);
      if (!s.ok()) {
        acquired_ = false;
        return Fail("Acquire: " + s.reason());
      }
      captured_ = true;
    }
    return Status::Ok();
  }

  Status Unacquire() override {
    LoseInput();
    acquired_ = false;
    return Status::Ok();
  }

  Status GetDeviceData(std::span<MouseRecord> records, int32_t flags, int32_t& count) override {
    if (kind_ != Kind::kMouse) return Fail("GetDeviceData: not a buffered device");
    if (flags != 0) return Fail("GetDeviceData: only flags 0 are supported");
    if (!HasInput()) return Fail("GetDeviceData: the device has lost its input");
    if (buffer_size_ == 0) return Fail("GetDeviceData: the device is not buffered");
    ++reads_;
    const size_t n = std::min({records.size(), records_.size(), buffer_size_});
    std::copy_n(records_.begin(), n, records.begin());
    records_.erase(records_.begin(), records_.begin() + static_cast<ptrdiff_t>(n));
    count = static_cast<int32_t>(n);
    return Status::Ok();
  }

  Status GetDeviceStateKeyboard(KeyboardState& state) override {
    if (kind_ != Kind::kKeyboard) return Fail("GetDeviceStateKeyboard: not a keyboard");
    if (!HasInput()) return Fail("GetDeviceStateKeyboard: the device has lost its input");
    state = keys_;
    return Status::Ok();
  }

  // Applies the input; true when the device took it and should signal.
  bool Take(const RawInput& in, Micros now, int32_t& sequence) {
    using K = RawInput::Kind;
    switch (in.kind) {
      case K::kFocusLost:
        LoseInput();
        return false;
      case K::kFocusGained:
        if (WantsCapture() && acquired_ && !captured_) captured_ = hub_.capture_mouse_(true).ok();
        return false;
      default:
        break;
    }
    if (!HasInput()) return false;
    if (kind_ == Kind::kKeyboard) {
      if (in.kind != K::kKeyDown && in.kind != K::kKeyUp) return false;
      if (in.a < 0 || in.a > 255) return false;
      const uint8_t now_down = in.kind == K::kKeyDown ? 0x80 : 0;
      if (keys_[in.a] == now_down) return false;
      keys_[in.a] = now_down;
      return true;
    }
    const auto stamp = static_cast<int32_t>(now / 1000);
    bool took = false;
    auto add = [&](int32_t offset, int32_t data) {
      // Records beyond what one read takes wait for the next read; only past a second's
      // worth of frantic movement that nobody reads is the newest lost.
      if (records_.size() >= kMostKept) return;
      records_.push_back({offset, data, stamp, sequence++, 0});
      took = true;
    };
    if (in.kind == K::kMouseMove) {
      if (in.a != 0) add(kMouseX, in.a);
      if (in.b != 0) add(kMouseY, in.b);
    } else if (in.kind == K::kMouseButton && in.a >= 0 && in.a <= 2) {
      add(kMouseButton0 + in.a, in.b ? 0x80 : 0);
    }
    return took;
  }

  int32_t event() const { return event_; }
  bool keyboard() const { return kind_ == Kind::kKeyboard; }
  size_t pending() const { return records_.size(); }
  uint64_t reads() const { return reads_; }
  static constexpr size_t kMostKept = 4096;

 private:
  static Status Fail(const std::string& why) { return Status::Fail(why); }
  bool WantsCapture() const { return kind_ == Kind::kMouse && exclusive_; }
  bool HasCapture() const { return captured_; }
  bool HasInput() const { return acquired_ && hub_.focused(); }
  void LoseInput() {
    records_.clear();
    keys_.fill(0);
    if (captured_) {
      (void)hub_.capture_mouse_(false);
      captured_ = false;
    }
  }

  InputHub& hub_;
  Kind kind_;
  int32_t format_ = 0;
  bool exclusive_ = false;
  size_t buffer_size_ = 0;
  int32_t event_ = 0;
  bool acquired_ = false;
  bool captured_ = false;
  std::deque<MouseRecord> records_;
  uint64_t reads_ = 0;
  KeyboardState keys_{};
};

namespace {
class HubInputRoot final : public InputRoot {
 public:
  explicit HubInputRoot(InputHub& hub) : hub_(hub) {}
  Status CreateDevice(const std::string& name, std::unique_ptr<InputDevice>& device) override {
    if (strcasecmp(name.c_str(), "GUID_SysKeyboard") == 0) {
      device = std::make_unique<HubDevice>(hub_, HubDevice::Kind::kKeyboard);
    } else if (strcasecmp(name.c_str(), "GUID_SysMouse") == 0) {
      device = std::make_unique<HubDevice>(hub_, HubDevice::Kind::kMouse);
    } else {
      return Status::Fail("CreateDevice: no device called " + name);
    }
    return Status::Ok();
  }

 private:
  InputHub& hub_;
};
}  // namespace

InputHub::InputHub(std::function<Status(bool)> capture_mouse, std::function<Micros()> now)
    : capture_mouse_(std::move(capture_mouse)), now_(std::move(now)) {}

InputHub::~InputHub() = default;

void InputHub::Unregister(HubDevice* d) {
  std::erase(devices_, d);
}

int32_t InputHub::CreateEvent(std::function<void(int32_t)> sink) {
  const int32_t handle = next_event_++;
  events_[handle] = std::move(sink);
  return handle;
}

std::unique_ptr<InputRoot> InputHub::CreateInputRoot() {
  return std::make_unique<HubInputRoot>(*this);
}

void InputHub::Signal(int32_t event) {
  auto it = events_.find(event);
  if (it == events_.end()) return;
  // A copy: the callback may run the pump, and the pump may deliver more input.
  auto sink = it->second;
  sink(event);
}

void InputHub::Deliver(const RawInput& input) {
  if (input.kind == RawInput::Kind::kFocusLost) focused_ = false;
  if (input.kind == RawInput::Kind::kFocusGained) focused_ = true;
  std::vector<int32_t> to_signal;
  std::vector<std::pair<HubDevice*, uint64_t>> reads_before;
  for (HubDevice* d : devices_) reads_before.emplace_back(d, d->reads());
  const Micros now = now_();
  bool key_taken = false;
  const bool mouse_input =
      input.kind == RawInput::Kind::kMouseMove || input.kind == RawInput::Kind::kMouseButton;
  for (HubDevice* d : devices_) {
    if (held_ && mouse_input) continue;
    const bool took = d->Take(input, now, next_sequence_);
    if (took && d->keyboard()) key_taken = true;
    if (took && d->event() != 0 && !held_) {
      if (std::find(to_signal.begin(), to_signal.end(), d->event()) == to_signal.end()) {
        to_signal.push_back(d->event());
      }
    }
  }
  for (int32_t e : to_signal) Signal(e);
  // A read takes at most a buffer's worth: while the handler reads and records are left,
  // it is called again for the rest, none lost and none twice.
  for (auto [d, before] : reads_before) {
    if (held_) break;
    if (std::find(devices_.begin(), devices_.end(), d) == devices_.end()) continue;  // released
    if (d->reads() == before) continue;  // its handler does not read it now
    for (;;) {
      const size_t left = d->pending();
      const uint64_t reads = d->reads();
      if (left == 0 || d->event() == 0) break;
      Signal(d->event());
      if (std::find(devices_.begin(), devices_.end(), d) == devices_.end()) return;  // released
      if (d->reads() == reads || d->pending() >= left) break;
    }
  }
  if (key_taken && key_observer_) key_observer_(input);
}

}  // namespace palomir
