#include "card/card.h"

#include <string>

#include "game/main_form.h"
#include "language/tr.h"

namespace palomir {

std::vector<CardLine> CardLines(const CardState& state) {
  using Size = CardLine::Size;
  std::vector<CardLine> lines;
  lines.push_back({"Palomir", Size::kTitle});
  // TRANSLATORS: the card in the window, read by someone looking; keys as printed on them.
  lines.push_back({Fill(Tr("You %d   Computer %d"), state.player, state.computer), Size::kLarge});
  lines.push_back(
      {state.level >= 1 ? Fill(Tr("Speed level %d"), state.level) : "", Size::kLarge});
  lines.push_back({state.game_over ? Tr("Game over: Y plays again, N quits") : "", Size::kSmall});
  lines.push_back({Tr("Mouse: paddle    Keys 1-9, Q-O, A-L, Z-.: hit"), Size::kSmall});
  lines.push_back({Tr("Middle button: score    Up, Down: speed level"), Size::kSmall});
  lines.push_back({Tr("F1 help    F2 sounds    F3 score    F4 speeds"), Size::kSmall});
  lines.push_back({Tr("F5-F8 voice    F9, F10 sounds (Shift: background)"), Size::kSmall});
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
