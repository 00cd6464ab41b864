#include "platform/win32/xinput_pads.h"

// clang-format off
#include <windows.h>
#include <xinput.h>
// clang-format on

#include <algorithm>
#include <array>
#include <utility>

namespace palomir {

namespace {
constexpr Micros kLookEvery = 1000000;
constexpr DWORD kSlots = 4;

// XInput's buttons in the game's terms.
constexpr std::array<std::pair<WORD, PadButton>, 10> kButtons = {{
    {XINPUT_GAMEPAD_A, PadButton::kA},
    {XINPUT_GAMEPAD_B, PadButton::kB},
    {XINPUT_GAMEPAD_X, PadButton::kX},
    {XINPUT_GAMEPAD_Y, PadButton::kY},
    {XINPUT_GAMEPAD_BACK, PadButton::kBack},
    {XINPUT_GAMEPAD_START, PadButton::kStart},
    {XINPUT_GAMEPAD_LEFT_SHOULDER, PadButton::kLeftShoulder},
    {XINPUT_GAMEPAD_RIGHT_SHOULDER, PadButton::kRightShoulder},
    {XINPUT_GAMEPAD_DPAD_UP, PadButton::kUp},
    {XINPUT_GAMEPAD_DPAD_DOWN, PadButton::kDown},
}};

// XInput's stick has up positive; the game's, toward the player.
PadStick StickOf(const XINPUT_GAMEPAD& g) {
  return {g.sThumbLX, std::clamp(-static_cast<int32_t>(g.sThumbLY), -32768, 32767)};
}
}  // namespace

struct XInputPads::Api {
  HMODULE library = nullptr;
  DWORD(WINAPI* get)(DWORD, XINPUT_STATE*) = nullptr;
  DWORD(WINAPI* set)(DWORD, XINPUT_VIBRATION*) = nullptr;
};

XInputPads::XInputPads() {
  for (const wchar_t* name : {L"xinput1_4.dll", L"xinput9_1_0.dll"}) {
    HMODULE library = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!library) continue;
    auto get = reinterpret_cast<decltype(Api::get)>(
        reinterpret_cast<void*>(GetProcAddress(library, "XInputGetState")));
    auto set = reinterpret_cast<decltype(Api::set)>(
        reinterpret_cast<void*>(GetProcAddress(library, "XInputSetState")));
    if (get && set) {
      api_ = new Api{library, get, set};
      return;
    }
    FreeLibrary(library);
  }
}

XInputPads::~XInputPads() {
  if (!api_) return;
  if (slot_ >= 0) {
    XINPUT_VIBRATION off{};
    api_->set(static_cast<DWORD>(slot_), &off);
  }
  FreeLibrary(api_->library);
  delete api_;
}

void XInputPads::Poll(Micros now, const Told& told) {
  if (!api_) return;
  if (rumble_until_ >= 0 && now >= rumble_until_) Drive({}, now);
  XINPUT_STATE s{};
  if (slot_ >= 0) {
    if (api_->get(static_cast<DWORD>(slot_), &s) != ERROR_SUCCESS) {
      // Pulled out (the core lets its buttons go); another pad may take its place at once.
      slot_ = -1;
      rumble_until_ = -1;
      told.plugged(false);
      next_look_ = now;
    } else if (s.dwPacketNumber != packet_) {
      packet_ = s.dwPacketNumber;
      told.moved(StickOf(s.Gamepad));
      const WORD changed = s.Gamepad.wButtons ^ buttons_;
      buttons_ = s.Gamepad.wButtons;
      for (const auto& [bit, button] : kButtons) {
        if (changed & bit) told.pressed(button, (buttons_ & bit) != 0);
      }
    }
    return;
  }
  if (now < next_look_) return;
  next_look_ = now + kLookEvery;
  for (DWORD i = 0; i < kSlots; ++i) {
    if (api_->get(i, &s) != ERROR_SUCCESS) continue;
    slot_ = static_cast<int>(i);
    packet_ = s.dwPacketNumber;
    buttons_ = 0;  // what is held as it comes is pressed from then on
    told.plugged(true);
    told.moved(StickOf(s.Gamepad));
    return;
  }
}

void XInputPads::Drive(const Rumble& r, Micros now) {
  if (!api_ || slot_ < 0) return;
  XINPUT_VIBRATION v{r.low, r.high};
  api_->set(static_cast<DWORD>(slot_), &v);
  const bool running = r.low != 0 || r.high != 0;
  rumble_until_ = running && r.ms > 0 ? now + static_cast<Micros>(r.ms) * 1000 : -1;
}

}  // namespace palomir
