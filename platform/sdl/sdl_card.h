// Draws the window's card: a plain dark card with light text, in a system font found through
// fontconfig, sized to the window. Without a font the card is drawn without text. Game
// thread only. The first Paint (or font_file) blocks while fontconfig finds the font, which
// may mean building its cache; a new size reads the font file; Paint waits on the window
// system.
#pragma once

#include <map>
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
  // The font at a size in points (a TTF_Font), opened once for each size the window uses;
  // null when it cannot be opened.
  void* Font(int points);
  void CloseFonts();

  bool looked_ = false;
  int fonts_height_ = 0;  // the window height the open fonts were sized for
  std::map<int, void*> fonts_;
  bool ttf_ = false;
  std::string font_file_;
};

}  // namespace palomir
