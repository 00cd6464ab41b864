#include "platform/key_labels.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <utility>

#include "language/tr.h"
#include "platform/keycodes.h"

namespace palomir {

namespace {

// The keys a layout moves about, from the row of digits down to the row of Z, with what
// the American layout prints on each.
constexpr std::pair<uint8_t, const char*> kUsKeys[] = {
    {0x02, "1"}, {0x03, "2"},  {0x04, "3"}, {0x05, "4"}, {0x06, "5"}, {0x07, "6"}, {0x08, "7"},
    {0x09, "8"}, {0x0A, "9"},  {0x0B, "0"}, {0x0C, "-"}, {0x0D, "="}, {0x10, "q"}, {0x11, "w"},
    {0x12, "e"}, {0x13, "r"},  {0x14, "t"}, {0x15, "y"}, {0x16, "u"}, {0x17, "i"}, {0x18, "o"},
    {0x19, "p"}, {0x1A, "["},  {0x1B, "]"}, {0x1E, "a"}, {0x1F, "s"}, {0x20, "d"}, {0x21, "f"},
    {0x22, "g"}, {0x23, "h"},  {0x24, "j"}, {0x25, "k"}, {0x26, "l"}, {0x27, ";"}, {0x28, "'"},
    {0x29, "`"}, {0x2B, "\\"}, {0x2C, "z"}, {0x2D, "x"}, {0x2E, "c"}, {0x2F, "v"}, {0x30, "b"},
    {0x31, "n"}, {0x32, "m"},  {0x33, ","}, {0x34, "."}, {0x35, "/"},
};

// Where `code` is among those keys, or none.
std::optional<size_t> IndexOf(uint8_t code) {
  for (size_t i = 0; i < std::size(kUsKeys); ++i) {
    if (kUsKeys[i].first == code) return i;
  }
  return std::nullopt;
}

class UsLabels final : public KeyLabels {
 public:
  std::string LabelAt(uint8_t code) const override {
    const auto i = IndexOf(code);
    return i ? kUsKeys[*i].second : "";
  }
};

// A letter in capitals: ASCII, Latin-1 and Cyrillic ones; anything else as it is.
std::string Capital(std::string label) {
  if (label.size() == 1 && label[0] >= 'a' && label[0] <= 'z') {
    label[0] = static_cast<char>(label[0] - 'a' + 'A');
  } else if (label.size() == 2 && (static_cast<unsigned char>(label[0]) & 0xE0u) == 0xC0u &&
             (static_cast<unsigned char>(label[1]) & 0xC0u) == 0x80u) {
    // One character of two bytes.
    const auto b0 = static_cast<unsigned char>(label[0]);
    const auto b1 = static_cast<unsigned char>(label[1]);
    unsigned c = ((b0 & 0x1Fu) << 6) | (b1 & 0x3Fu);
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x430 && c <= 0x44F)) {
      c -= 0x20;
    } else if (c >= 0x450 && c <= 0x45F) {
      c -= 0x50;  // ё and the rest of its row
    }
    label[0] = static_cast<char>(0xC0u | (c >> 6));
    label[1] = static_cast<char>(0x80u | (c & 0x3Fu));
  }
  return label;
}

}  // namespace

const KeyLabels& UsKeyLabels() {
  static const UsLabels kUs;
  return kUs;
}

TakenLabels::TakenLabels() {
  static_assert(std::size(kUsKeys) == kKeys);
  for (size_t i = 0; i < kKeys; ++i) labels_[i] = kUsKeys[i].second;
}

std::string TakenLabels::LabelAt(uint8_t code) const {
  const auto i = IndexOf(code);
  return i ? labels_[*i] : std::string();
}

bool TakenLabels::Take(const KeyLabels& keys) {
  bool changed = false;
  for (size_t i = 0; i < kKeys; ++i) {
    std::string label = keys.LabelAt(kUsKeys[i].first);
    if (label == labels_[i]) continue;
    labels_[i] = std::move(label);
    changed = true;
  }
  return changed;
}

std::vector<std::string> TakenLabels::Words() const {
  std::vector<std::string> words;
  for (size_t i = 0; i < kKeys; ++i) {
    // A letter's case is no difference: the game names letters in capitals.
    if (Capital(labels_[i]) == Capital(kUsKeys[i].second)) continue;
    std::string word = std::to_string(kUsKeys[i].first) + "=";
    for (const char c : labels_[i]) {
      const auto b = static_cast<unsigned char>(c);
      if (b <= 0x20 || b == 0x7F || c == '%' || c == '#') {
        static constexpr char kHex[] = "0123456789ABCDEF";
        word += {'%', kHex[b >> 4], kHex[b & 0xF]};
      } else {
        word += c;
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

std::optional<TakenLabels> TakenLabels::FromWords(const std::vector<std::string>& words) {
  TakenLabels taken;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (const std::string& word : words) {
    const size_t equals = word.find('=');
    if (equals == std::string::npos || equals == 0 || equals > 3 ||
        word.find_first_not_of("0123456789") < equals) {
      return std::nullopt;
    }
    const int code = std::stoi(word.substr(0, equals));
    const auto i = code <= 255 ? IndexOf(static_cast<uint8_t>(code)) : std::nullopt;
    if (!i) return std::nullopt;
    std::string label;
    for (size_t at = equals + 1; at < word.size(); ++at) {
      if (word[at] != '%') {
        label += word[at];
        continue;
      }
      const int high = at + 2 < word.size() ? hex(word[at + 1]) : -1;
      const int low = at + 2 < word.size() ? hex(word[at + 2]) : -1;
      if (high < 0 || low < 0) return std::nullopt;
      label += static_cast<char>(high * 16 + low);
      at += 2;
    }
    taken.labels_[*i] = std::move(label);
  }
  return taken;
}

std::optional<uint8_t> PlaceOf(const KeyLabels& keys, std::string_view label) {
  const std::string wanted = Capital(std::string(label));
  for (const auto& [place, us] : kUsKeys) {
    if (Capital(keys.LabelAt(place)) == wanted) return place;
  }
  return std::nullopt;
}

uint8_t PlaceOfLetter(const KeyLabels& keys, char letter, uint8_t us_place) {
  return PlaceOf(keys, std::string(1, letter)).value_or(us_place);
}

std::string KeyLabel(const KeyLabels& keys, uint8_t code) {
  std::string label = keys.LabelAt(code);
  if (label.empty()) label = UsKeyLabels().LabelAt(code);
  return Capital(label);
}

std::string KeyName(const KeyLabels& keys, uint8_t code) {
  const std::string label = KeyLabel(keys, code);
  // TRANSLATORS: the names of punctuation keys, said as a key of the keyboard.
  if (label == ".") return Tr("full stop");
  if (label == ",") return Tr("comma");
  if (label == ";") return Tr("semicolon");
  if (label == ":") return Tr("colon");
  if (label == "-") return Tr("minus");
  return label;
}

uint8_t AnswerKeys::Press(uint8_t place, const KeyLabels& keys) {
  // The system's auto-repeat presses a key that is down again: it keeps its first code.
  if (down_[place]) return pressed_as_[place];
  uint8_t as = place;
  if (answering_) {
    // The rules read dik::kY and dik::kN: the labelled keys take those codes, and the keys
    // at those places take the labelled keys' places, so no other key answers.
    const uint8_t yes = PlaceOfLetter(keys, 'Y', dik::kY);
    const uint8_t no = PlaceOfLetter(keys, 'N', dik::kN);
    std::array<uint8_t, 256> to;
    std::iota(to.begin(), to.end(), uint8_t{0});
    std::swap(*std::find(to.begin(), to.end(), dik::kY), to[yes]);
    std::swap(*std::find(to.begin(), to.end(), dik::kN), to[no]);
    as = to[place];
  }
  down_[place] = true;
  pressed_as_[place] = as;
  return as;
}

uint8_t AnswerKeys::Release(uint8_t place) {
  if (!down_[place]) return place;
  down_[place] = false;
  return pressed_as_[place];
}

void AnswerKeys::LetGo() {
  for (bool& down : down_) down = false;
}

}  // namespace palomir
