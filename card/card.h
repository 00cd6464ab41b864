// The card the window shows to someone looking: the game's name, the score (the player's
// first), the speed level and the main keys. It is no part of the game's rules: it reads the
// game's state and the keyboard's labels after each pump and asks the window to draw again
// only when what it shows has changed.
//
// Game thread only (Update runs from the window's pump); CardLines is pure. Update blocks
// only while the window system draws the card.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/window.h"

namespace palomir {

class MainForm;

// What the card shows of a game.
struct CardState {
  int32_t player = 0;
  int32_t computer = 0;
  int32_t level = 0;  // 0 until a game has begun
  bool game_over = false;
  bool against_friend = false;  // a match: the other score is the friend's
  bool operator==(const CardState&) const = default;
};

// The card's lines for a game in that state, its keys named as `keys` labels them.
std::vector<CardLine> CardLines(const CardState& state, const KeyLabels& keys = UsKeyLabels());

// Keeps the window's card in step with a game, from the window's pump.
class CardWatcher {
 public:
  CardWatcher(Window& window, const MainForm& form);
  ~CardWatcher();
  CardWatcher(const CardWatcher&) = delete;
  CardWatcher& operator=(const CardWatcher&) = delete;

  // Draws the card where the game has changed since it was last drawn (and the first time).
  void Update();

 private:
  Window& window_;
  const MainForm& form_;
  CardState shown_;
  std::string keys_shown_;  // the labels of the keys it names, as last drawn
  bool drawn_ = false;
};

}  // namespace palomir
