// The pads XInput knows (four slots): the first one connected plays, the next takes its
// place when it goes. XInput has no events: its state is read at every pump, and the empty
// slots are looked at once a second (a look at an empty slot is the slow one). The motors
// run for a rumble's time, stopped at the first pump after it.
//
// Threads: game thread only. Nothing here blocks but XInput's own calls (a read of the
// device's state, a write of its motors).
#pragma once

#include <cstdint>
#include <functional>

#include "platform/pad.h"
#include "platform/timers.h"

namespace palomir {

class XInputPads {
 public:
  struct Told {
    std::function<void(bool added)> plugged;
    std::function<void(PadStick)> moved;
    std::function<void(PadButton, bool down)> pressed;
  };
  // xinput1_4.dll, else xinput9_1_0.dll; with neither there are no pads, and nothing is said.
  XInputPads();
  // The motors stopped, the library let go.
  ~XInputPads();
  XInputPads(const XInputPads&) = delete;
  XInputPads& operator=(const XInputPads&) = delete;

  // Reads the pad that plays (and, once a second, the empty slots); `now` on the machine's
  // clock.
  void Poll(Micros now, const Told& told);
  void Drive(const Rumble& r, Micros now);

 private:
  struct Api;
  Api* api_ = nullptr;
  int slot_ = -1;             // the pad that plays
  uint32_t packet_ = 0;       // its state's last packet number
  uint16_t buttons_ = 0;      // its buttons held
  Micros next_look_ = 0;      // when the empty slots are looked at again
  Micros rumble_until_ = -1;  // the motors stop then; -1: not running, or until told
};

}  // namespace palomir
