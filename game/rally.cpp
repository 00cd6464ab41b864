// The four timers that move the puck, the paddle contact, and the end of a game.
#include <array>
#include <cmath>

#include "game/main_form.h"
#include "game/table_rules.h"
#include "game/sound_ops.h"
#include "language/tr.h"
#include "platform/arith.h"

namespace palomir {

using namespace table;  // the geometry both games share

namespace {

constexpr int32_t kFarGoalDepth = -3500;  // a missed puck deeper than this, in the mouth, scores
constexpr int32_t kOpponentZone = -2000;
constexpr int32_t kOpponentStep = 40;
constexpr int32_t kOpponentReach = 40;
constexpr int32_t kOpponentSlideVolume = -2000;
constexpr int32_t kToleranceFloor = 400;

// Lateral speed of the opponent's return by the puck's distance from the centre line:
// low < |pan| < high. Exactly on an edge, or 1200 and beyond, keeps the speed it had.
struct ReturnBand {
  int32_t low;
  int32_t high;
  int32_t speed;
};
constexpr std::array<ReturnBand, 6> kReturnBands = {{
    {-1, 200, 1},
    {200, 400, 4},
    {400, 600, 8},
    {600, 800, 12},
    {800, 1000, 16},
    {1000, 1200, 20},
}};
static_assert(kReturnBands.size() == 6);

int32_t ReturnSpeed(int32_t pan, int32_t speed) {
  const int32_t off = CheckedAbs(pan);
  for (const ReturnBand& band : kReturnBands) {
    if (band.low < off && off < band.high) return band.speed;
  }
  return speed;
}

struct ClosingLines {
  const char* ahead;   // the player's score is higher
  const char* behind;  // otherwise, equal scores included
};
// By the side whose score reached 50.
// TRANSLATORS: the computer's cheeky last words after a game; the player answers with the
// Y or N key, so a question here is answered yes or no.
constexpr ClosingLines kComputerReached = {N_("Let's play again so I can whip ya!"),
                                           N_("wanna get beat again?")};
// TRANSLATORS: as above, after the player reached the last goal.
constexpr ClosingLines kPlayerReached = {N_("But you won't next time.  Wanna play again?"),
                                         N_("Wanna get beat again?")};

}  // namespace

int32_t MainForm::DampSpeed(int32_t speed) const {
  return Damped(speed, SpeedLevel);
}

// The thud of a side wall, heard where the puck is and as far away as it is.
void MainForm::SideBounce() {
  SetPan(o_.SoundSideBounce, PanOf(o_.SoundPuck));
  SetVolume(o_.SoundSideBounce, VolumeOf(o_.SoundPuck));
  Rewind(o_.SoundSideBounce);
  Stop(o_.SoundSideBounce);
  Play(o_.SoundSideBounce, kPlayOnce);
}

void MainForm::RightTimer_Timer() {
  window_.DoEvents();
  SetPan(o_.SoundPuck, ClampPan(CheckedAdd(PanOf(o_.SoundPuck), LateralSpeed)));
  if (PanOf(o_.SoundPuck) >= kSideWall) {
    SideBounce();
    RightTimer.SetEnabled(false);
    LeftTimer.SetEnabled(true);
    LateralSpeed = DampSpeed(LateralSpeed);
  }
  if (LateralSpeed > kLateralCap) LateralSpeed = kLateralCap;
}

void MainForm::LeftTimer_Timer() {
  window_.DoEvents();
  SetPan(o_.SoundPuck, ClampPan(CheckedSub(PanOf(o_.SoundPuck), LateralSpeed)));
  if (PanOf(o_.SoundPuck) <= -kSideWall) {
    SideBounce();
    RightTimer.SetEnabled(true);
    LeftTimer.SetEnabled(false);
    // The left wall caps before it damps; the right wall the other way round.
    if (LateralSpeed > kLateralCap) LateralSpeed = kLateralCap;
    LateralSpeed = DampSpeed(LateralSpeed);
  }
  if (LateralSpeed > kLateralCap) LateralSpeed = kLateralCap;
}

void MainForm::TryPaddleHit(int32_t tolerance) {
  const int32_t paddle_volume = VolumeOf(o_.SoundPaddleSlide);
  const int32_t paddle_pan = PanOf(o_.SoundPaddleSlide);
  const int32_t puck_volume = VolumeOf(o_.SoundPuck);
  const int32_t puck_pan = PanOf(o_.SoundPuck);
  const bool contact = Touches(paddle_pan, paddle_volume, puck_pan, puck_volume, tolerance);
  if (!contact) return;
  const bool in_zone = VolumeOf(o_.SoundPaddleSlide) > kHitZone;
  if (!(in_zone && MouseSpeedY < 0)) return;

  Rewind(o_.SoundPaddle);
  SetPan(o_.SoundPaddle, PanOf(o_.SoundPuck));
  Play(o_.SoundPaddle, kPlayOnce);
  if (MouseSpeedX > 0) {
    RightTimer.SetEnabled(true);
    LeftTimer.SetEnabled(false);
  } else {
    LeftTimer.SetEnabled(true);
    RightTimer.SetEnabled(false);
  }
  LateralSpeed = CheckedAdd(LateralSpeed, CheckedAbs(CheckedMul(20, MouseSpeedX)));
  FroTimer.SetEnabled(true);
  ToTimer.SetEnabled(false);
  DepthSpeed = PushedDepth(VolumeOf(o_.SoundPuck), MouseSpeedY, DepthSpeed);
}

void MainForm::ToTimer_Timer() {
  window_.DoEvents();
  TryPaddleHit(HitTolerance);
  const int32_t v = VolumeOf(o_.SoundPuck);
  const int32_t one_step = CheckedSub(0, DepthSpeed);
  if (!(v > one_step)) {
    SetVolume(o_.SoundPuck, ClampVolume(CheckedAdd(v, DepthSpeed)));
    if (!(VolumeOf(o_.SoundPuck) < CheckedSub(0, DepthSpeed))) EndOfTable();
  }
  // A lateral speed over the cap here stops the sideways motion rather than capping it.
  if (LateralSpeed > kLateralCap) LateralSpeed = 0;
  if (DepthSpeed > kDepthCap) DepthSpeed = kDepthCap;
}

// The puck has reached the player's end: off the end wall, or into the goal mouth.
void MainForm::EndOfTable() {
  const int32_t pan = PanOf(o_.SoundPuck);
  if (pan < -kGoalMouth || pan > kGoalMouth) {
    Stop(o_.SoundRebound);
    SetPan(o_.SoundRebound, PanOf(o_.SoundPuck));
    SetVolume(o_.SoundRebound, VolumeOf(o_.SoundPuck));
    Rewind(o_.SoundRebound);
    Play(o_.SoundRebound, kPlayOnce);
  } else {
    Stop(o_.SoundBuzz);
    SetPan(o_.SoundBuzz, PanOf(o_.SoundPuck));
    Rewind(o_.SoundBuzz);
    Play(o_.SoundBuzz, kPlayOnce);
    // The puck rests in front of the player, the paddle beside it, until served.
    SetVolume(o_.SoundPuck, -100);
    SetPan(o_.SoundPuck, 0);
    SetPan(o_.SoundPaddleSlide, 0);
    SetVolume(o_.SoundPaddleSlide, 0);
    LateralSpeed = 0;
    DepthSpeed = 0;
    SetVolume(o_.SoundPaddleSlide, 0);
    ComputerScore = CheckedAdd(ComputerScore, 1);
    if (ComputerScore == kFinalScore) AnnounceGameEnd(Side::kComputer);
  }
  if (DepthSpeed > kDepthCap) DepthSpeed = kDepthCap;
  DepthSpeed = DampSpeed(DepthSpeed);
  ToTimer.SetEnabled(false);
  FroTimer.SetEnabled(true);
}

void MainForm::FroTimer_Timer() {
  window_.DoEvents();
  TryPaddleHit(kRetreatTolerance);

  // The opponent's paddle creeps toward the puck, more often as its pace rises.
  OpponentTicks = CheckedAdd(OpponentTicks, 1);
  const int32_t threshold = CheckedSub(500, CheckedMul(200, OpponentPace));
  if (OpponentPan < PanOf(o_.SoundPuck) && OpponentTicks > threshold) {
    OpponentPan = CheckedAdd(OpponentPan, kOpponentStep);
    SetPan(o_.SoundOpponentPaddleSlide, ClampPan(OpponentPan));
    SetVolume(o_.SoundOpponentPaddleSlide, kOpponentSlideVolume);
    Play(o_.SoundOpponentPaddleSlide, kPlayOnce);
    OpponentTicks = 0;
  }
  if (OpponentPan > PanOf(o_.SoundPuck) && OpponentTicks > threshold) {
    OpponentPan = CheckedSub(OpponentPan, kOpponentStep);
    SetPan(o_.SoundOpponentPaddleSlide, ClampPan(OpponentPan));
    // Heard at the far end going left as well as going right.
    SetVolume(o_.SoundOpponentPaddleSlide, kOpponentSlideVolume);
    Play(o_.SoundOpponentPaddleSlide, kPlayOnce);
    OpponentTicks = 0;
  }

  if (VolumeOf(o_.SoundPuck) <= kOpponentZone) {
    const int32_t p = PanOf(o_.SoundPuck);
    if (CheckedSub(p, kOpponentReach) < OpponentPan &&
        OpponentPan < CheckedAdd(p, kOpponentReach)) {
      OpponentReturn();
    } else {
      const int32_t pan = PanOf(o_.SoundPuck);
      const int32_t volume = VolumeOf(o_.SoundPuck);
      if (pan > -kGoalMouth && pan < kGoalMouth && volume < kFarGoalDepth) PlayerGoal();
    }
  }

  const int32_t v = VolumeOf(o_.SoundPuck);
  if (v >= kFarWall) {
    SetVolume(o_.SoundPuck, ClampVolume(CheckedSub(v, DepthSpeed)));
    if (VolumeOf(o_.SoundPuck) <= kFarWall) {
      SetPan(o_.SoundRebound, PanOf(o_.SoundPuck));
      SetVolume(o_.SoundRebound, VolumeOf(o_.SoundPuck));
      Rewind(o_.SoundRebound);
      Play(o_.SoundRebound, kPlayOnce);
      // A slow puck always comes back off the far wall.
      if (DepthSpeed <= 2) DepthSpeed = CheckedAdd(DepthSpeed, 1);
      if (DepthSpeed > kDepthCap) DepthSpeed = kDepthCap;
      DepthSpeed = DampSpeed(DepthSpeed);
      // At speed level 1 the loss takes everything; the puck must still come back.
      if (DepthSpeed < 1) DepthSpeed = 1;
      FroTimer.SetEnabled(false);
      ToTimer.SetEnabled(true);
    }
  }
  if (LateralSpeed > kLateralCap) LateralSpeed = kLateralCap;
  if (DepthSpeed > kDepthCap) DepthSpeed = kDepthCap;
}

void MainForm::OpponentReturn() {
  // Aim back toward the middle; a puck near the centre line keeps its direction.
  if (PanOf(o_.SoundPuck) > 100) {
    RightTimer.SetEnabled(false);
    LeftTimer.SetEnabled(true);
  } else if (PanOf(o_.SoundPuck) < -100) {
    LeftTimer.SetEnabled(false);
    RightTimer.SetEnabled(true);
  }
  LateralSpeed = ReturnSpeed(PanOf(o_.SoundPuck), LateralSpeed);
  OpponentTicks = 0;
  Stop(o_.SoundOpponentHit);
  Rewind(o_.SoundOpponentHit);
  SetPan(o_.SoundOpponentHit, PanOf(o_.SoundPuck));
  Play(o_.SoundOpponentHit, kPlayOnce);
  const int32_t v = VolumeOf(o_.SoundPuck);
  const int32_t force = CheckedMul(CheckedAbs(v), OpponentPace);
  DepthSpeed = RoundHalfEven(CheckedFloat(force / 200.0 + DepthSpeed));
  if (OpponentPace < 30) LateralSpeed = CheckedAdd(LateralSpeed, CheckedSub(30, OpponentPace));
  FroTimer.SetEnabled(false);
  ToTimer.SetEnabled(true);
}

void MainForm::PlayerGoal() {
  Stop(o_.SoundGoal);
  Rewind(o_.SoundGoal);
  SetVolume(o_.SoundGoal, -500);
  Play(o_.SoundGoal, kPlayOnce);
  // The opponent grows stronger and the player's reach narrows.
  OpponentPace = CheckedAdd(OpponentPace, 1);
  if (HitTolerance > kToleranceFloor) HitTolerance = CheckedSub(HitTolerance, 50);
  FroTimer.SetEnabled(false);
  ToTimer.SetEnabled(true);
  DepthSpeed = CheckedAdd(DepthSpeed, CheckedMul(10, OpponentPace));
  PlayerScore = CheckedAdd(PlayerScore, 1);
  if (PlayerScore == kFinalScore) AnnounceGameEnd(Side::kPlayer);
}

void MainForm::AnnounceGameEnd(Side side) {
  GameOver = kTrue;
  // From now on the keys labelled Y and N answer, wherever the player's layout has them.
  platform_.window().set_answering(true);
  // TRANSLATORS: the final score is read as four lines: this, the player's goals, "to", the
  // computer's goals, each number said by the voice as a bare number.
  Speak(Tr("The score is"), kSpeakWait);
  Speak(Decimal(PlayerScore), kSpeakWait);
  // TRANSLATORS: between the two scores, "The score is 12 to 50".
  Speak(Tr("to"), kSpeakWait);
  Speak(Decimal(ComputerScore), kSpeakWait);
  const bool player_ahead = PlayerScore > ComputerScore;
  // TRANSLATORS: the computer speaks: it lost, or it won.
  Speak(Tr(player_ahead ? N_("darn!  You win!") : N_("Yippee!  I win!")), kSpeakWait);
  const ClosingLines& lines = side == Side::kComputer ? kComputerReached : kPlayerReached;
  question_ = Tr(player_ahead ? lines.ahead : lines.behind);
  Speak(question_, kSpeakWait);
}

}  // namespace palomir
