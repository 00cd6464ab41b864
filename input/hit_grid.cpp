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
constexpr int32_t kDeadZone = 50;  // the middle column adds no step at -50 <= pan <= 50

// A column is a lateral band of the table, left to right.
struct GridColumn {
  // The puck pans it hits in: low < pan < high, or low <= pan <= high when closed (the
  // column just right of the centre).
  int32_t low;
  int32_t high;
  bool closed;
  // Lateral gain (sign * pan + offset) / the row's divisor: sign +1 for the left columns,
  // -1 for the right; 0 for the middle column, which adds the row's whole step instead.
  int32_t sign;
  int32_t offset;
  // Below this pan the puck is sent left, at or above it right.
  int32_t turn;
};

//   band low, band high, closed, sign, offset, turning point
constexpr std::array<GridColumn, 9> kColumns = {{
    {-4000, -2400, false, 1, 4000, -3200},
    {-3200, -1600, false, 1, 3600, -2400},
    {-2400, -800, false, 1, 3200, -1600},
    {-1600, 0, false, 1, 2800, -800},
    {-800, 800, false, 0, 0, 0},
    {0, 1600, true, -1, 2800, 800},
    {800, 2400, false, -1, 3200, 1600},
    {1600, 3200, false, -1, 3600, 2400},
    {2400, 4000, false, -1, 4000, 3200},
}};

// A row is a strength of hit, strongest first.
struct GridRow {
  int32_t divisor;
  int32_t step;                 // the middle column's gain
  bool dead_zone;               // the middle step is skipped near the centre line
  int32_t depth;                // added to DepthSpeed
  bool lift;                    // a DepthSpeed of 0 is first lifted to 60
  std::array<uint8_t, 9> keys;  // left to right
};

//   divisor, middle step, dead zone, depth, lift, keys
// clang-format off
constexpr std::array<GridRow, 4> kRows = {{
    {4, 10, true, 50, true,
     {dik::k1, dik::k2, dik::k3, dik::k4, dik::k5, dik::k6, dik::k7, dik::k8, dik::k9}},
    {12, 6, true, 40, false,
     {dik::kQ, dik::kW, dik::kE, dik::kR, dik::kT, dik::kY, dik::kU, dik::kI, dik::kO}},
    {16, 2, true, 30, false,
     {dik::kA, dik::kS, dik::kD, dik::kF, dik::kG, dik::kH, dik::kJ, dik::kK, dik::kL}},
    {40, 1, false, 20, false,
     {dik::kZ, dik::kX, dik::kC, dik::kV, dik::kB, dik::kN, dik::kM, dik::kComma, dik::kPeriod}},
}};
// clang-format on
static_assert(kColumns.size() == 9 && kRows.size() == 4 && kRows[0].keys.size() == 9);

bool InBand(const GridColumn& c, int32_t pan) {
  return c.closed ? c.low <= pan && pan <= c.high : c.low < pan && pan < c.high;
}

}  // namespace

void MainForm::HitGrid() {
  if (VolumeOf(o_.SoundPuck) <= kReach) return;
  // Grid order: row by row, each from left to right.
  for (const GridRow& row : kRows) {
    for (size_t i = 0; i < kColumns.size(); ++i) {
      const GridColumn& column = kColumns[i];
      if (o_.KeyState[row.keys[i]] == 0) continue;
      if (!InBand(column, PanOf(o_.SoundPuck))) continue;

      SetPan(o_.SoundPaddle, PanOf(o_.SoundPuck));
      Rewind(o_.SoundPaddle);
      Play(o_.SoundPaddle, kPlayOnce);

      const int32_t pan = PanOf(o_.SoundPuck);
      if (column.sign != 0) {
        const int32_t numerator = CheckedAdd(CheckedMul(column.sign, pan), column.offset);
        LateralSpeed = RoundHalfEven(
            CheckedFloat(LateralSpeed + static_cast<double>(numerator) / row.divisor));
      } else if (!row.dead_zone || pan < -kDeadZone || pan > kDeadZone) {
        LateralSpeed = CheckedAdd(LateralSpeed, row.step);
      }

      if (PanOf(o_.SoundPuck) < column.turn) {
        LeftTimer.SetEnabled(true);
        RightTimer.SetEnabled(false);
      } else {
        LeftTimer.SetEnabled(false);
        RightTimer.SetEnabled(true);
      }
      ToTimer.SetEnabled(false);
      FroTimer.SetEnabled(true);

      if (row.lift && DepthSpeed == 0) DepthSpeed = 60;
      DepthSpeed = CheckedAdd(DepthSpeed, row.depth);
    }
  }
}

}  // namespace palomir
