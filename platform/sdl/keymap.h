// The physical keys of any keyboard, from SDL's scancodes to the game's key codes. Any
// thread; pure.
#pragma once

#include <cstdint>

namespace palomir {

// The key code for an SDL scancode; 0 for a key the game has no code for.
uint8_t KeyCodeForScancode(int scancode);

}  // namespace palomir
