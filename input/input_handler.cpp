// The input handler: the mouse's buffered records move the paddle, then the keyboard's
// state goes to the control keys and the hit grid.
#include <algorithm>
#include <array>

#include "game/main_form.h"
#include "game/table_rules.h"
#include "match/match_play.h"
#include "game/sound_ops.h"
#include "platform/arith.h"

namespace palomir {

using namespace table;  // the paddle moves as in a match

namespace {
constexpr int32_t kMouseRecords = 10;

InputDevice& Present(const std::unique_ptr<InputDevice>& device) {
  if (!device) throw RuntimeError("an input device that was not made was used");
  return *device;
}
}  // namespace

void MainForm::DirectXEvent8_DXCallback(int32_t /*event_id*/) {
  if (match) {
    match->Input();
    return;
  }
  std::array<MouseRecord, kMouseRecords> MouseData{};
  int32_t n = 0;
  Check(Present(o_.MouseDevice).GetDeviceData(MouseData, 0, n));
  for (int32_t i = 0; i < n; ++i) {
    const MouseRecord& r = MouseData[static_cast<size_t>(i)];
    switch (r.offset) {
      case kMouseX:
        HorizontalMovement(r.data);
        break;
      case kMouseY:
        VerticalMovement(r.data);
        break;
      case kMouseButton0:
        // The paddle jumps to the puck's line, at the player's end.
        SetPan(o_.SoundPaddleSlide, PanOf(o_.SoundPuck));
        SetVolume(o_.SoundPaddleSlide, 0);
        break;
      case kMouseButton1:
        Speak(Decimal(LateralSpeed), kSpeakAsync);
        Speak(Decimal(DepthSpeed), kSpeakAsync);
        Speak(Decimal(MouseSpeedX), kSpeakAsync);
        Speak(Decimal(MouseSpeedY), kSpeakAsync);
        break;
      case kMouseButton2:
        Speak(Decimal(PlayerScore), kSpeakAsync);
        Speak(Decimal(ComputerScore), kSpeakAsync);
        break;
      default:
        break;
    }
  }
  Check(Present(o_.KeyboardDevice).GetDeviceStateKeyboard(o_.KeyState));
  if (GameOver == kTrue) {
    PlayAgainKeys();
    return;
  }
  SpeedLevelKeys();
  HitGrid();
}

void MainForm::HorizontalMovement(int32_t d) {
  Play(o_.SoundPaddleSlide, kPlayOnce);
  const int32_t p = PanOf(o_.SoundPaddleSlide);
  PaddlePan = CheckedAdd(p, CheckedMul(kMovementScale, d));
  MouseSpeedX = SpeedOf(d);
  // A move that would take the paddle to the edge is dropped whole, not cut short.
  if (PaddlePan > -kPaddlePanLimit && PaddlePan < kPaddlePanLimit) {
    SetPan(o_.SoundPaddleSlide, PaddlePan);
  }
}

void MainForm::VerticalMovement(int32_t d) {
  const int32_t v = VolumeOf(o_.SoundPaddleSlide);
  PaddleVolume = CheckedAdd(v, CheckedMul(kMovementScale, d));
  MouseSpeedY = SpeedOf(d);
  SetVolume(o_.SoundPaddleSlide, std::clamp(PaddleVolume, kPaddleFarthest, kPaddleNearest));
}

}  // namespace palomir
