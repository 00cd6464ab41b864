// What the keys of the player's keyboard have printed on them. The game reads keys by their
// place (platform/keycodes.h), the same on every layout, but names them to the player as
// their own keyboard labels them: a German player's Y is where an American's Z is.
//
// Threads: the game thread, every call; none blocks (a backend asks its system's keymap,
// which answers from memory). A backend answers for the layout in use when asked, so a text
// built after the player changes layout names the keys of the new one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace palomir {

class KeyLabels {
 public:
  virtual ~KeyLabels() = default;
  // What the key at `code` types without Shift, in UTF-8 ("q", "z", "ä", ";"); "" when the
  // layout gives it nothing printable.
  virtual std::string LabelAt(uint8_t code) const = 0;
};

// The American layout, as printed on the keys the game's codes are named after. Any thread.
const KeyLabels& UsKeyLabels();

// A layout's labels as they stood when last taken: the labels the game names keys by. The
// machine takes them from the system's layout as keys arrive and as it pumps, and its
// recording keeps each change (a `keys` record), so a game replays the same on any layout.
// Only the keys a layout moves about have labels here; any other key has none ("").
class TakenLabels final : public KeyLabels {
 public:
  TakenLabels();  // the American layout's
  std::string LabelAt(uint8_t code) const override;
  // Takes what `keys` has now; true when any label changed.
  bool Take(const KeyLabels& keys);
  // The keys labelled otherwise than on the American layout (a letter's case aside), each
  // as "CODE=LABEL": the code in decimal, and in the label each byte that is a space, a
  // control character, '%' or '#' (which starts a comment in a recording) as %XX.
  std::vector<std::string> Words() const;
  // The labels such words give, the rest as on the American layout; none when a word is not
  // one of them (not a code of a key a layout moves about, a bad %XX).
  static std::optional<TakenLabels> FromWords(const std::vector<std::string>& words);

 private:
  static constexpr size_t kKeys = 47;  // the keys a layout moves about
  std::array<std::string, kKeys> labels_;
};

// The place of the letter, digit or punctuation key labelled `label` (either case), among the
// keys a layout moves about; none when no key there has that label.
std::optional<uint8_t> PlaceOf(const KeyLabels& keys, std::string_view label);

// The place of the key labelled `letter` ('Y', 'N'), or `us_place` where the layout has no
// such letter (a Cyrillic one): the key where the American layout has it.
uint8_t PlaceOfLetter(const KeyLabels& keys, char letter, uint8_t us_place);

// The key at `code` as printed on it, a letter in capitals ("Y", "Ä", "."); a key the layout
// gives nothing as on the American layout.
std::string KeyLabel(const KeyLabels& keys, uint8_t code);

// The key at `code` as a player hears it named: a letter in capitals, a digit, a punctuation
// key by its name ("full stop", "comma", in the player's language), anything else as printed.
// A key the layout gives nothing is named as on the American layout.
std::string KeyName(const KeyLabels& keys, uint8_t code);

// Turns the keys the player answers a question with into the codes the rules read: while
// answering, the keys labelled Y and N give dik::kY and dik::kN (and the keys at those
// places give what the labelled ones would), otherwise every key gives its own place. A key
// let go gives the code its press gave, so no key stays down for the rules.
class AnswerKeys {
 public:
  void set_answering(bool on) { answering_ = on; }
  bool answering() const { return answering_; }
  // The code the rules see for a press of the key at `place` on the layout `keys` has now,
  // and for its release.
  uint8_t Press(uint8_t place, const KeyLabels& keys);
  uint8_t Release(uint8_t place);
  // The window lost the focus: every key counts as let go, as the keyboard's state does.
  void LetGo();

 private:
  bool answering_ = false;
  bool down_[256] = {};
  uint8_t pressed_as_[256] = {};  // the code a key that is down was pressed as
};

}  // namespace palomir
