// Keys that steer the game rather than the puck: Y and N after a game, the arrows during
// one. Level-sensitive: a key acts on every run of the input handler while it is down.
#include "game/main_form.h"
#include "platform/arith.h"
#include "platform/keycodes.h"

namespace palomir {

void MainForm::PlayAgainKeys() {
  // Once Y has been taken, the keys wait for the new game: a second Y would start a second
  // game after the first, and an N would quit with a game still due.
  if (replay_pending_) return;
  if (o_.KeyState[dik::kY]) {
    struct Pending {
      bool& flag;
      explicit Pending(bool& f) : flag(f) { flag = true; }
      ~Pending() { flag = false; }
    } pending(replay_pending_);
    Pause(2.0);
    // A new game starts from nothing: otherwise a score already past 50 could never again
    // become exactly 50, and the game would never end.
    PlayerScore = 0;
    ComputerScore = 0;
    HitTolerance = 2000;
    NewGame();
  } else if (o_.KeyState[dik::kN]) {
    QuitGame();
  }
}

void MainForm::SpeedLevelKeys() {
  if (o_.KeyState[dik::kUp]) {
    SpeedLevel = CheckedAdd(SpeedLevel, 1);
    Speak(Decimal(SpeedLevel), kSpeakAsync);
  }
  if (o_.KeyState[dik::kDown] && SpeedLevel >= 2) {
    SpeedLevel = CheckedSub(SpeedLevel, 1);
    Speak(Decimal(SpeedLevel), kSpeakAsync);
  }
}

}  // namespace palomir
