// The one window: it carries the whole game state and every handler. Everything runs on
// the game thread; the timer ticks and the input handler run from the event pump, also
// inside another handler's pump or inside a pause. What blocks: Form_Load (the voice's start,
// the sound output's open, the sound files), Pause and NewGame (they pump until the seconds
// are up), AnnounceGameEnd (its lines are waited for) and QuitGame (the output's close).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "game/program.h"
#include "platform/platform.h"

namespace palomir {

inline constexpr int16_t kTrue = -1;
inline constexpr int16_t kFalse = 0;

enum class Side { kComputer, kPlayer };

// A match against a friend (match/match_play.h): it takes the input handler's runs, and no
// game against the computer starts while it plays.
struct MatchHooks;

class MainForm {
 public:
  MainForm(Platform& platform, ProgramObjects& objects);
  MainForm(const MainForm&) = delete;
  MainForm& operator=(const MainForm&) = delete;

  // --- The game state record, in declaration order ---
  int32_t EventHandle = 0;
  int32_t HitTolerance = 0;  // contact tolerance while the puck approaches, pan and volume units
  int32_t MouseSpeedX = 0;   // last sideways movement, positive right; -1..1 stored as 0
  int32_t MouseSpeedY = 0;   // last forward-back movement, negative pushed away; -1..1 as 0
  int32_t PaddlePan = 0;     // pan last computed for the paddle, applied or not
  int32_t PaddleVolume = 0;  // volume last computed for the paddle, before clamping
  std::unique_ptr<::palomir::Voice> Voice;
  int32_t OpponentPan = 0;    // the opponent paddle's pan
  int32_t OpponentTicks = 0;  // retreat ticks since the opponent last stepped or hit
  int32_t OpponentPace = 0;   // the opponent's strength, 1 at each new game
  int32_t PlayerScore = 0;
  int32_t ComputerScore = 0;
  int16_t GameOver = kFalse;  // True (-1) from a score of 50 until the next new game
  int32_t LateralSpeed = 0;   // pan units per lateral tick, never negative
  int32_t DepthSpeed = 0;     // volume units per depth tick, never negative
  int32_t SpeedLevel = 0;     // damping divisor, at least 1 once a game has begun
  bool Drawing = false;
  bool Suspended = false;
  MatchHooks* match = nullptr;  // set while a match against a friend plays

  // --- The four timers: direction is which one of each pair is enabled ---
  Timer& RightTimer;  // puck pan + LateralSpeed per tick
  Timer& LeftTimer;   // puck pan - LateralSpeed per tick
  Timer& ToTimer;     // puck volume + DepthSpeed per tick: toward the player
  Timer& FroTimer;    // puck volume - DepthSpeed per tick: toward the opponent

  // --- Start-up and the end of the window ---
  // Builds everything and starts the first game. False when no game can be played: the
  // reason has been printed and spoken and everything made has been released.
  bool Form_Load();
  void Form_Unload(int32_t& cancel);

  // --- Handlers ---
  void RightTimer_Timer();
  void LeftTimer_Timer();
  void ToTimer_Timer();
  void FroTimer_Timer();
  void DirectXEvent8_DXCallback(int32_t event_id);

  // --- Game flow ---
  void NewGame();
  void Pause(double seconds);
  [[noreturn]] void QuitGame();

  // --- Puck motion and scoring ---
  int32_t DampSpeed(int32_t speed) const;
  void TryPaddleHit(int32_t tolerance);
  void AnnounceGameEnd(Side side);

  // --- Input ---
  void PlayAgainKeys();
  void SpeedLevelKeys();
  void HitGrid();

  // The play-again question as it was last asked, while it waits for Y or N ("" otherwise):
  // for the guide, which asks it again when the help or the tour that held it ends.
  std::string PendingQuestion() const {
    return GameOver != kFalse && !replay_pending_ ? question_ : std::string();
  }

  // How many run-time errors ended a handler since start-up.
  int errors() const { return errors_; }
  // Where what the player should read is told (run-time errors, a start that failed);
  // stderr unless a test listens.
  std::function<void(const std::string&)> on_error;
  // Where the details of start-up are told (each step that failed, in the platform's
  // terms); nowhere unless someone listens.
  std::function<void(const std::string&)> on_detail;

 private:
  friend struct FormLoadSteps;
  // Runs a handler; a run-time error ends it and is reported, once for each distinct text.
  void Guarded(const char* handler, const std::function<void()>& body);
  void Report(const std::string& text);
  void Detail(const std::string& text) {
    if (on_detail) on_detail(text);
  }
  // Says something with the voice; without a voice nothing is said.
  void Speak(const std::string& text, int32_t flags);
  void HorizontalMovement(int32_t d);
  void VerticalMovement(int32_t d);
  void SideBounce();
  void EndOfTable();
  void OpponentReturn();
  void PlayerGoal();
  // Why no game can be played: the words spoken, and the lines printed for the player.
  bool CannotPlay(std::string& spoken, std::vector<std::string>& printed) const;

  Platform& platform_;
  Window& window_;
  ProgramObjects& o_;
  bool replay_pending_ = false;
  std::string question_;  // the last line of the game's end, in the player's language
  int errors_ = 0;
  std::set<std::string> reported_;
  std::map<size_t, std::string> startup_failures_;  // step number, reason
};

}  // namespace palomir
