// The table's geometry and the arithmetic of a hit, shared by the game against the computer
// and the match between two players, so that a hit is the same hit in both.
// Constants and pure functions: any thread.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "platform/arith.h"
#include "platform/keycodes.h"

namespace palomir::table {

inline constexpr int32_t kSideWall = 4000;  // pan of the right wall; the left is at -4000
inline constexpr int32_t kLateralCap = 600;
inline constexpr int32_t kDepthCap = 100;
inline constexpr int32_t kHitZone = -2000;  // the paddle hits only nearer than this volume
inline constexpr int32_t kGoalMouth = 500;  // half the width of either goal mouth, pan units
inline constexpr int32_t kFarWall = -4000;
inline constexpr int32_t kRetreatTolerance = 400;
inline constexpr int32_t kFirstTolerance = 2000;  // the reach of a player's paddle at first
inline constexpr int32_t kFinalScore = 50;
inline constexpr int32_t kRestVolume = -100;  // a puck scored against a player rests here

// The paddle's movement: units per unit of mouse movement, and where it may go.
inline constexpr int32_t kMovementScale = 4;
inline constexpr int32_t kPaddlePanLimit = 5000;  // strictly inside +-5000
inline constexpr int32_t kPaddleNearest = 0;
inline constexpr int32_t kPaddleFarthest = -3000;

// A movement of one unit or none is no speed at all.
inline int32_t SpeedOf(int32_t d) {
  return d > 1 || d < -1 ? d : 0;
}

// The speed lost at a bounce: speed - speed / level, rounded half to even.
inline int32_t Damped(int32_t speed, int32_t level) {
  return RoundHalfEven(CheckedFloat(speed - static_cast<double>(speed) / level));
}

// Whether a paddle at (paddle_pan, paddle_volume) touches a puck at (pan, volume), both seen
// from the paddle's end, within `tolerance`.
inline bool Touches(int32_t paddle_pan, int32_t paddle_volume, int32_t pan, int32_t volume,
                    int32_t tolerance) {
  return paddle_volume >= CheckedSub(volume, tolerance) &&
         paddle_volume <= CheckedAdd(volume, tolerance) && paddle_pan >= CheckedSub(pan, tolerance) &&
         paddle_pan <= CheckedAdd(pan, tolerance);
}

// The depth speed after a pushed paddle hits a puck at `volume` (seen from its end).
inline int32_t PushedDepth(int32_t volume, int32_t mouse_speed_y, int32_t depth_speed) {
  const double push = volume / 40.0 + CheckedMul(4, mouse_speed_y);
  return RoundHalfEven(CheckedFloat(std::fabs(push) + depth_speed));
}

// --- The keyboard hit grid: 36 keys in four rows of nine. A column is a lateral band of the
// table, a row a strength of hit.
inline constexpr int32_t kGridReach = -2000;  // the grid acts only on a puck nearer than this
inline constexpr int32_t kDeadZone = 50;  // the middle column adds no step at -50 <= pan <= 50

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
inline constexpr std::array<GridColumn, 9> kColumns = {{
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
  int32_t depth;                // added to the depth speed
  bool lift;                    // a depth speed of 0 is first lifted to 60
  std::array<uint8_t, 9> keys;  // left to right
};

//   divisor, middle step, dead zone, depth, lift, keys
// clang-format off
inline constexpr std::array<GridRow, 4> kRows = {{
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

inline bool InBand(const GridColumn& c, int32_t pan) {
  return c.closed ? c.low <= pan && pan <= c.high : c.low < pan && pan < c.high;
}

// What a grid key does to a puck at `pan` (seen from the key's end): the lateral speed after
// it, then the depth speed after it; the puck goes left when pan < column.turn.
inline int32_t GridLateral(const GridRow& row, const GridColumn& column, int32_t pan,
                           int32_t lateral_speed) {
  if (column.sign != 0) {
    const int32_t numerator = CheckedAdd(CheckedMul(column.sign, pan), column.offset);
    return RoundHalfEven(
        CheckedFloat(lateral_speed + static_cast<double>(numerator) / row.divisor));
  }
  if (!row.dead_zone || pan < -kDeadZone || pan > kDeadZone) {
    return CheckedAdd(lateral_speed, row.step);
  }
  return lateral_speed;
}
inline int32_t GridDepth(const GridRow& row, int32_t depth_speed) {
  if (row.lift && depth_speed == 0) depth_speed = 60;
  return CheckedAdd(depth_speed, row.depth);
}

}  // namespace palomir::table
