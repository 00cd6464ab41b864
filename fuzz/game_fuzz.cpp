// The whole game on the virtual machine, driven by any sequence of input and time. After
// every step the rules of the table must hold: once a game has begun, exactly one timer of
// each pair runs, neither speed is negative, every sound is inside its ranges, and nothing
// has ended a handler with a run-time error.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "audio/sound_bank.h"
#include "game/main_form.h"
#include "game/sound_ops.h"
#include "platform/keycodes.h"
#include "platform/virtual/virtual_platform.h"

namespace {

using namespace palomir;

constexpr std::array<uint8_t, 44> kKeys = {
    dik::k1, dik::k2, dik::k3,     dik::k4,      dik::k5,  dik::k6,    dik::k7,  dik::k8,
    dik::k9, dik::kQ, dik::kW,     dik::kE,      dik::kR,  dik::kT,    dik::kY,  dik::kU,
    dik::kI, dik::kO, dik::kA,     dik::kS,      dik::kD,  dik::kF,    dik::kG,  dik::kH,
    dik::kJ, dik::kK, dik::kL,     dik::kZ,      dik::kX,  dik::kC,    dik::kV,  dik::kB,
    dik::kN, dik::kM, dik::kComma, dik::kPeriod, dik::kUp, dik::kDown, dik::kUp, dik::kDown,
    dik::kP, dik::k0, dik::kSpace, dik::kY};

void Fail(const char* what) {
  std::fprintf(stderr, "rule broken: %s\n", what);
  std::abort();
}

void CheckRules(const ProgramObjects& o, const MainForm& f) {
  if (f.RightTimer.Enabled() == f.LeftTimer.Enabled()) Fail("one lateral timer");
  if (f.ToTimer.Enabled() == f.FroTimer.Enabled()) Fail("one depth timer");
  if (f.LateralSpeed < 0 || f.DepthSpeed < 0) Fail("speeds never negative");
  for (const SoundFile& row : kSoundFiles) {
    const auto& b = o.*row.buffer;
    if (!b) continue;
    const int32_t pan = PanOf(b), volume = VolumeOf(b);
    if (pan < kPanLeft || pan > kPanRight || volume < kVolumeMin || volume > kVolumeMax)
      Fail("ranges");
  }
  if (f.errors() != 0) Fail("no run-time error");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VirtualPlatform vp;
  vp.recording = false;
  ProgramObjects o;
  MainForm f(vp, o);
  f.on_error = [](const std::string& e) { std::fprintf(stderr, "%s\n", e.c_str()); };
  if (!f.Form_Load()) std::abort();
  try {
    for (size_t i = 0; i + 2 < size; i += 3) {
      const uint8_t op = data[i], a = data[i + 1], b = data[i + 2];
      switch (op % 8) {
        case 0:
          vp.KeyDown(kKeys[a % kKeys.size()]);
          break;
        case 1:
          vp.KeyUp(kKeys[a % kKeys.size()]);
          break;
        case 2:
          vp.MouseMove(static_cast<int8_t>(a), static_cast<int8_t>(b));
          break;
        case 3:
          vp.Button(a % 3, b & 1);
          break;
        case 4:
          vp.RunFor((a + 256 * (b % 8)) / 1000.0);  // up to two seconds
          break;
        case 5:
          vp.Input(b & 1 ? RawInput::FocusGained() : RawInput::FocusLost());
          break;
        case 6:  // a far-fetched mouse: whole screens in one movement
          vp.MouseMove((static_cast<int8_t>(a)) * 1000, (static_cast<int8_t>(b)) * 1000);
          break;
        default:
          vp.DoEvents();
          break;
      }
      vp.DoEvents();
      CheckRules(o, f);
    }
  } catch (const WindowUnloaded&) {
    // N after a game: the player quit.
  }
  return 0;
}
