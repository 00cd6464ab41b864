// Draws the window's card: a plain dark card with light text, in a system font found through
// fontconfig, sized to the window. Without a font the card is drawn without text. Game
// thread only.
#pragma once

#include <string>
#include <vector>

#include "platform/window.h"

namespace palomir {

class CardPainter {
 public:
  CardPainter() = default;
  ~CardPainter();
  CardPainter(const CardPainter&) = delete;
  CardPainter& operator=(const CardPainter&) = delete;

  // Draws `lines` on `window` (an SDL_Window) at its present size.
  void Paint(void* window, const std::vector<CardLine>& lines);
  // The font file the card is written in; empty when there is none.
  const std::string& font_file();

 private:
  bool looked_ = false;
  bool ttf_ = false;
  std::string font_file_;
};

}  // namespace palomir
