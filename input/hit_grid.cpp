// The keyboard hit grid: 36 keys in four rows of nine. A column is a lateral band of the
// table, a row a strength of hit; a key that is down hits the puck when the puck is within
// reach and inside its band.
#include <array>

#include "game/main_form.h"
#include "game/sound_ops.h"
#include "platform/arith.h"
#include "platform/keycodes.h"

namespace palomir {

namespace {

constexpr int32_t kReach = -2000;  // the grid acts only on a puck nearer than this volume

struct GridKey {
  uint8_t key;
  // The band of puck pans the key hits in: low < pan < high, or low <= pan <= high when
  // closed (the column just right of centre).
  int32_t low;
  int32_t high;
  bool closed;
  // Lateral gain (sign * pan + offset) / divisor: sign +1 for the left columns, -1 for
  // the right; 0 for the middle column, which adds a whole step instead, except while
  // -dead <= pan <= dead.
  int32_t sign;
  int32_t offset;
  int32_t divisor;
  int32_t step;
  int32_t dead;
  // Below this pan the puck is sent left, at or above it right.
  int32_t turn;
  int32_t depth;  // added to DepthSpeed
  bool lift;      // the digit row lifts a DepthSpeed of 0 to 60 first
};

// In grid order: the digit row, then Q to O, A to L, Z to period.
//   key, band low, band high, closed, sign, offset, divisor, step, dead, turn, depth, lift
constexpr std::array<GridKey, 36> kGrid = {{
    {dik::k1, -4000, -2400, false, 1, 4000, 4, 0, 0, -3200, 50, true},
    {dik::k2, -3200, -1600, false, 1, 3600, 4, 0, 0, -2400, 50, true},
    {dik::k3, -2400, -800, false, 1, 3200, 4, 0, 0, -1600, 50, true},
    {dik::k4, -1600, 0, false, 1, 2800, 4, 0, 0, -800, 50, true},
    {dik::k5, -800, 800, false, 0, 0, 0, 10, 50, 0, 50, true},
    {dik::k6, 0, 1600, true, -1, 2800, 4, 0, 0, 800, 50, true},
    {dik::k7, 800, 2400, false, -1, 3200, 4, 0, 0, 1600, 50, true},
    {dik::k8, 1600, 3200, false, -1, 3600, 4, 0, 0, 2400, 50, true},
    {dik::k9, 2400, 4000, false, -1, 4000, 4, 0, 0, 3200, 50, true},
    {dik::kQ, -4000, -2400, false, 1, 4000, 12, 0, 0, -3200, 40, false},
    {dik::kW, -3200, -1600, false, 1, 3600, 12, 0, 0, -2400, 40, false},
    {dik::kE, -2400, -800, false, 1, 3200, 12, 0, 0, -1600, 40, false},
    {dik::kR, -1600, 0, false, 1, 2800, 12, 0, 0, -800, 40, false},
    {dik::kT, -800, 800, false, 0, 0, 0, 6, 50, 0, 40, false},
    {dik::kY, 0, 1600, true, -1, 2800, 12, 0, 0, 800, 40, false},
    {dik::kU, 800, 2400, false, -1, 3200, 12, 0, 0, 1600, 40, false},
    {dik::kI, 1600, 3200, false, -1, 3600, 12, 0, 0, 2400, 40, false},
    {dik::kO, 2400, 4000, false, -1, 4000, 12, 0, 0, 3200, 40, false},
    {dik::kA, -4000, -2400, false, 1, 4000, 16, 0, 0, -3200, 30, false},
    {dik::kS, -3200, -1600, false, 1, 3600, 16, 0, 0, -2400, 30, false},
    {dik::kD, -2400, -800, false, 1, 3200, 16, 0, 0, -1600, 30, false},
    {dik::kF, -1600, 0, false, 1, 2800, 16, 0, 0, -800, 30, false},
    {dik::kG, -800, 800, false, 0, 0, 0, 2, 50, 0, 30, false},
    {dik::kH, 0, 1600, true, -1, 2800, 16, 0, 0, 800, 30, false},
    {dik::kJ, 800, 2400, false, -1, 3200, 16, 0, 0, 1600, 30, false},
    {dik::kK, 1600, 3200, false, -1, 3600, 16, 0, 0, 2400, 30, false},
    {dik::kL, 2400, 4000, false, -1, 4000, 16, 0, 0, 3200, 30, false},
    {dik::kZ, -4000, -2400, false, 1, 4000, 40, 0, 0, -3200, 20, false},
    {dik::kX, -3200, -1600, false, 1, 3600, 40, 0, 0, -2400, 20, false},
    {dik::kC, -2400, -800, false, 1, 3200, 40, 0, 0, -1600, 20, false},
    {dik::kV, -1600, 0, false, 1, 2800, 40, 0, 0, -800, 20, false},
    {dik::kB, -800, 800, false, 0, 0, 0, 1, -1, 0, 20, false},
    {dik::kN, 0, 1600, true, -1, 2800, 40, 0, 0, 800, 20, false},
    {dik::kM, 800, 2400, false, -1, 3200, 40, 0, 0, 1600, 20, false},
    {dik::kComma, 1600, 3200, false, -1, 3600, 40, 0, 0, 2400, 20, false},
    {dik::kPeriod, 2400, 4000, false, -1, 4000, 40, 0, 0, 3200, 20, false},
}};
static_assert(kGrid.size() == 36);

bool InBand(const GridKey& k, int32_t pan) {
  return k.closed ? k.low <= pan && pan <= k.high : k.low < pan && pan < k.high;
}

}  // namespace

void MainForm::HitGrid() {
  if (VolumeOf(o_.SoundPuck) <= kReach) return;
  for (const GridKey& k : kGrid) {
    if (o_.KeyState[k.key] == 0) continue;
    if (!InBand(k, PanOf(o_.SoundPuck))) continue;

    SetPan(o_.SoundPaddle, PanOf(o_.SoundPuck));
    Rewind(o_.SoundPaddle);
    Play(o_.SoundPaddle, kPlayOnce);

    const int32_t pan = PanOf(o_.SoundPuck);
    if (k.sign != 0) {
      const int32_t numerator = CheckedAdd(CheckedMul(k.sign, pan), k.offset);
      LateralSpeed =
          RoundHalfEven(CheckedFloat(LateralSpeed + static_cast<double>(numerator) / k.divisor));
    } else if (pan < -k.dead || pan > k.dead) {
      LateralSpeed = CheckedAdd(LateralSpeed, k.step);
    }

    if (PanOf(o_.SoundPuck) < k.turn) {
      LeftTimer.SetEnabled(true);
      RightTimer.SetEnabled(false);
    } else {
      LeftTimer.SetEnabled(false);
      RightTimer.SetEnabled(true);
    }
    ToTimer.SetEnabled(false);
    FroTimer.SetEnabled(true);

    if (k.lift && DepthSpeed == 0) DepthSpeed = 60;
    DepthSpeed = CheckedAdd(DepthSpeed, k.depth);
  }
}

}  // namespace palomir
