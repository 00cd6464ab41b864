// The physical keys of any keyboard, from SDL's scancodes to the game's key codes (any
// thread; pure), and what the player's layout prints on them (SdlKeyLabels: the game thread,
// once SDL's video is up; it reads SDL's keymap, which blocks on nothing).
#pragma once

#include <cstdint>
#include <string>

#include "platform/key_labels.h"

namespace palomir {

// The key code for an SDL scancode; 0 for a key the game has no code for.
uint8_t KeyCodeForScancode(int scancode);
// The SDL scancode of a key code; SDL_SCANCODE_UNKNOWN (0) for one SDL has no key for.
int ScancodeForKeyCode(uint8_t code);

class SdlKeyLabels final : public KeyLabels {
 public:
  std::string LabelAt(uint8_t code) const override;
};

}  // namespace palomir
