#include "card/card.h"

#include <string>

#include "game/main_form.h"

namespace palomir {

std::vector<CardLine> CardLines(const CardState& state) {
  using Size = CardLine::Size;
  std::vector<CardLine> lines;
  lines.push_back({"Palomir", Size::kTitle});
  lines.push_back({"You " + std::to_string(state.player) + "   Computer " +
                       std::to_string(state.computer),
                   Size::kLarge});
  lines.push_back(
      {state.level >= 1 ? "Speed level " + std::to_string(state.level) : "", Size::kLarge});
  lines.push_back({state.game_over ? "Game over: Y plays again, N quits" : "", Size::kSmall});
  lines.push_back({"Mouse: paddle    Keys 1-9, Q-O, A-L, Z-.: hit", Size::kSmall});
  lines.push_back({"Middle button: score    Up, Down: speed level", Size::kSmall});
  lines.push_back({"F1 help    F2 sounds    F3 score    F4 speeds", Size::kSmall});
  lines.push_back({"F5-F8 voice    F9, F10 sounds (Shift: background)", Size::kSmall});
  return lines;
}

CardWatcher::CardWatcher(Window& window, const MainForm& form) : window_(window), form_(form) {
  window_.set_pump_observer([this] { Update(); });
}

CardWatcher::~CardWatcher() {
  window_.set_pump_observer(nullptr);
}

void CardWatcher::Update() {
  const CardState now{form_.PlayerScore, form_.ComputerScore, form_.SpeedLevel,
                      form_.GameOver == kTrue};
  if (drawn_ && now == shown_) return;
  shown_ = now;
  drawn_ = true;
  window_.ShowCard(CardLines(now));
}

}  // namespace palomir
