#include "card/card.h"

#include <string>

#include "game/main_form.h"
#include "language/tr.h"
#include "platform/keycodes.h"

namespace palomir {

namespace {
// The keys the card names: the answers and the ends of the grid's rows.
constexpr uint8_t kNamed[] = {dik::k1, dik::k9, dik::kQ, dik::kO, dik::kA,
                              dik::kL, dik::kZ, dik::kPeriod, dik::kY, dik::kN};
}  // namespace

std::vector<CardLine> CardLines(const CardState& state, const KeyLabels& keys) {
  auto key = [&keys](uint8_t code) { return KeyLabel(keys, code); };
  using Size = CardLine::Size;
  std::vector<CardLine> lines;
  lines.push_back({"Palomir", Size::kTitle});
  // TRANSLATORS: the card in the window, read by someone looking; keys as printed on them.
  lines.push_back({Fill(state.against_friend ? Tr("You %d   Your friend %d") : Tr("You %d   Computer %d"),
                        state.player, state.computer),
                   Size::kLarge});
  lines.push_back(
      {state.level >= 1 ? Fill(Tr("Speed level %d"), state.level) : "", Size::kLarge});
  // TRANSLATORS: the two %s are the keys labelled Y and N on the player's keyboard.
  lines.push_back({state.game_over ? Fill(Tr("Game over: %s plays again, %s quits"),
                                          key(PlaceOfLetter(keys, 'Y', dik::kY)),
                                          key(PlaceOfLetter(keys, 'N', dik::kN)))
                                   : "",
                   Size::kSmall});
  // TRANSLATORS: each %s is a key as printed on it: the first and last of each grid row.
  lines.push_back({Fill(Tr("Mouse: paddle    Keys %s-%s, %s-%s, %s-%s, %s-%s: hit"), key(dik::k1),
                        key(dik::k9), key(dik::kQ), key(dik::kO), key(dik::kA), key(dik::kL),
                        key(dik::kZ), key(dik::kPeriod)),
                   Size::kSmall});
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
                      form_.GameOver == kTrue, form_.match != nullptr};
  // The player may change the keyboard's layout at any time: the card follows it too.
  const KeyLabels& labels = window_.key_labels();
  std::string keys;
  for (uint8_t code : kNamed) keys += labels.LabelAt(code) + '\n';
  if (drawn_ && now == shown_ && keys == keys_shown_) return;
  shown_ = now;
  keys_shown_ = keys;
  drawn_ = true;
  window_.ShowCard(CardLines(now, labels));
}

}  // namespace palomir
