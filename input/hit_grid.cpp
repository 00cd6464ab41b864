// The keyboard hit grid: 36 keys in four rows of nine. A column is a lateral band of the
// table, a row a strength of hit; a key that is down hits the puck when the puck is within
// reach and inside its band.
#include <array>

#include "game/main_form.h"
#include "game/table_rules.h"
#include "game/sound_ops.h"
#include "platform/arith.h"

namespace palomir {

using table::kColumns;
using table::kRows;

void MainForm::HitGrid() {
  if (VolumeOf(o_.SoundPuck) <= table::kGridReach) return;
  // Grid order: row by row, each from left to right.
  for (const table::GridRow& row : kRows) {
    for (size_t i = 0; i < kColumns.size(); ++i) {
      const table::GridColumn& column = kColumns[i];
      if (o_.KeyState[row.keys[i]] == 0) continue;
      if (!table::InBand(column, PanOf(o_.SoundPuck))) continue;

      SetPan(o_.SoundPaddle, PanOf(o_.SoundPuck));
      Rewind(o_.SoundPaddle);
      Play(o_.SoundPaddle, kPlayOnce);

      LateralSpeed = table::GridLateral(row, column, PanOf(o_.SoundPuck), LateralSpeed);

      if (PanOf(o_.SoundPuck) < column.turn) {
        LeftTimer.SetEnabled(true);
        RightTimer.SetEnabled(false);
      } else {
        LeftTimer.SetEnabled(false);
        RightTimer.SetEnabled(true);
      }
      ToTimer.SetEnabled(false);
      FroTimer.SetEnabled(true);

      DepthSpeed = table::GridDepth(row, DepthSpeed);
    }
  }
}

}  // namespace palomir
