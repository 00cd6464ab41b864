// Input devices: the system mouse, read as buffered records, and the system keyboard,
// read as a whole key-state array. Both signal one shared input event. Every call is
// made from the game thread. None blocks but the mouse's Acquire and Unacquire, which ask
// the window system to take the pointer or give it back.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/status.h"

namespace palomir {

// One buffered mouse record, five 32-bit fields in this order.
struct MouseRecord {
  int32_t offset = 0;      // which control: kMouseX, kMouseY, kMouseButton0..2
  int32_t data = 0;        // axis: movement since the last record (right / toward the
                           // player positive); button: 0x80 pressed, 0 released
  int32_t time_stamp = 0;  // milliseconds
  int32_t sequence = 0;    // increases by one per record
  int32_t app_data = 0;
};

inline constexpr int32_t kMouseX = 0;
inline constexpr int32_t kMouseY = 4;
inline constexpr int32_t kMouseButton0 = 12;  // left button
inline constexpr int32_t kMouseButton1 = 13;  // right button
inline constexpr int32_t kMouseButton2 = 14;  // middle button

// 256 bytes indexed by key code; non-zero while the key is down.
using KeyboardState = std::array<uint8_t, 256>;

// Data formats.
inline constexpr int32_t kFormatKeyboard = 1;
inline constexpr int32_t kFormatMouse = 2;
// Cooperative level flags.
inline constexpr int32_t kLevelExclusive = 1;
inline constexpr int32_t kLevelNonExclusive = 2;
inline constexpr int32_t kLevelForeground = 4;
inline constexpr int32_t kLevelBackground = 8;

// A long-valued device property: how 0 means the whole device.
struct PropLong {
  int32_t how = 0;
  int32_t object = 0;
  int32_t data = 0;
};

class InputDevice {
 public:
  virtual ~InputDevice() = default;
  virtual Status SetCommonDataFormat(int32_t format) = 0;
  // A background level is refused: this system only gives input to the focused window.
  virtual Status SetCooperativeLevel(int32_t window, int32_t flags) = 0;
  // "DIPROP_BUFFERSIZE" sets how many mouse records are kept between two reads.
  virtual Status SetProperty(const std::string& name, const PropLong& value) = 0;
  // Input on this device signals the event (from DxRoot::CreateEvent).
  virtual Status SetEventNotification(int32_t event) = 0;
  virtual Status Acquire() = 0;
  virtual Status Unacquire() = 0;
  // Mouse: moves up to records.size() buffered records into `records`, oldest first,
  // removing them; `count` gets how many (0 when none). flags must be 0.
  virtual Status GetDeviceData(std::span<MouseRecord> records, int32_t flags, int32_t& count) = 0;
  // Keyboard: the present state of every key.
  virtual Status GetDeviceStateKeyboard(KeyboardState& state) = 0;
};

// One piece of input as a machine hands it on: a key, the mouse, the window's focus, a gamepad
// coming or going (its stick and buttons reach the game as the mouse and keys).
struct RawInput {
  enum class Kind {
    kKeyDown,
    kKeyUp,
    kMouseMove,
    kMouseButton,
    kFocusLost,
    kFocusGained,
    kPadAdded,   // a gamepad plugged in (or there at the start)
    kPadRemoved  // a gamepad pulled out
  };
  Kind kind = Kind::kKeyDown;
  int32_t a = 0;  // key code; x movement; button 0..2
  int32_t b = 0;  // y movement; 1 pressed, 0 released

  static RawInput KeyDown(int32_t key) { return {Kind::kKeyDown, key, 0}; }
  static RawInput KeyUp(int32_t key) { return {Kind::kKeyUp, key, 0}; }
  static RawInput MouseMove(int32_t dx, int32_t dy) { return {Kind::kMouseMove, dx, dy}; }
  static RawInput Button(int32_t button, bool down) { return {Kind::kMouseButton, button, down}; }
  static RawInput FocusLost() { return {Kind::kFocusLost, 0, 0}; }
  static RawInput FocusGained() { return {Kind::kFocusGained, 0, 0}; }
  static RawInput PadAdded() { return {Kind::kPadAdded, 0, 0}; }
  static RawInput PadRemoved() { return {Kind::kPadRemoved, 0, 0}; }
};

class InputRoot {
 public:
  virtual ~InputRoot() = default;
  // "GUID_SysKeyboard" or "guid_SysMouse"; the name's case does not matter.
  virtual Status CreateDevice(const std::string& name, std::unique_ptr<InputDevice>& device) = 0;
};

}  // namespace palomir
