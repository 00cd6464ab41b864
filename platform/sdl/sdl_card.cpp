#include "platform/sdl/sdl_card.h"

#include <SDL.h>
#include <SDL_ttf.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>

namespace palomir {

namespace {

constexpr SDL_Color kText{255, 255, 255, 255};
constexpr SDL_Color kTitle{255, 214, 0, 255};  // yellow on near-black
constexpr Uint8 kBack = 16;

// Each size's share of the window's height.
double Share(CardLine::Size size) {
  switch (size) {
    case CardLine::Size::kTitle:
      return 0.17;
    case CardLine::Size::kLarge:
      return 0.14;
    case CardLine::Size::kSmall:
      return 0.062;
  }
  return 0.1;
}

// A bold sans-serif face the system has, as fontconfig chooses it; "" when there is none.
// The game asks a fontconfig of its own, made and ended here: the library's shared one
// belongs to whatever else in the process uses it (the window's title bar, drawn by Pango).
std::string FindFont() {
  std::string file;
  FcConfig* config = FcInitLoadConfigAndFonts();
  if (!config) return file;
  FcPattern* want = FcNameParse(reinterpret_cast<const FcChar8*>("DejaVu Sans:bold"));
  if (want) {
    FcConfigSubstitute(config, want, FcMatchPattern);
    FcDefaultSubstitute(want);
    FcResult result = FcResultNoMatch;
    if (FcPattern* got = FcFontMatch(config, want, &result)) {
      FcChar8* path = nullptr;
      if (FcPatternGetString(got, FC_FILE, 0, &path) == FcResultMatch && path) {
        file = reinterpret_cast<const char*>(path);
      }
      FcPatternDestroy(got);
    }
    FcPatternDestroy(want);
  }
  FcConfigDestroy(config);
  return file;
}

}  // namespace

CardPainter::~CardPainter() {
  CloseFonts();
  if (ttf_) TTF_Quit();
}

void CardPainter::CloseFonts() {
  for (auto& [points, font] : fonts_) {
    if (font) TTF_CloseFont(static_cast<TTF_Font*>(font));
  }
  fonts_.clear();
}

void* CardPainter::Font(int points) {
  auto [at, made] = fonts_.try_emplace(points, nullptr);
  if (made) at->second = TTF_OpenFont(font_file_.c_str(), points);
  return at->second;
}

const std::string& CardPainter::font_file() {
  if (!looked_) {
    looked_ = true;
    font_file_ = FindFont();
    ttf_ = !font_file_.empty() && TTF_Init() == 0;
    if (!ttf_) font_file_.clear();
  }
  return font_file_;
}

void CardPainter::Paint(void* w, const std::vector<CardLine>& lines) {
  SDL_Window* window = static_cast<SDL_Window*>(w);
  SDL_Surface* surface = SDL_GetWindowSurface(window);
  if (!surface) return;
  SDL_FillRect(surface, nullptr, SDL_MapRGB(surface->format, kBack, kBack, kBack));
  const std::string& font = font_file();
  const int width = surface->w;
  const int height = surface->h;
  // Reading a font file costs more than drawing: each size is opened once, until the
  // window's height changes.
  if (height != fonts_height_) {
    CloseFonts();
    fonts_height_ = height;
  }
  if (!font.empty() && !lines.empty()) {
    double total = 0;
    for (const CardLine& line : lines) total += Share(line.size) * 1.25;
    // Lines are spaced by their size, the whole block centred up and down.
    int y = static_cast<int>(height * (1.0 - total) / 2);
    for (const CardLine& line : lines) {
      const int room = static_cast<int>(height * Share(line.size) * 1.25);
      int points = std::max(6, static_cast<int>(height * Share(line.size)));
      if (!line.text.empty()) {
        auto* f = static_cast<TTF_Font*>(Font(points));
        int tw = 0;
        int th = 0;
        // Narrow windows: a line too wide for the card is written smaller.
        if (f && TTF_SizeUTF8(f, line.text.c_str(), &tw, &th) == 0 && tw > width * 0.94) {
          points = std::max(6, static_cast<int>(points * width * 0.94 / tw));
          f = static_cast<TTF_Font*>(Font(points));
        }
        if (f) {
          const SDL_Color colour = line.size == CardLine::Size::kTitle ? kTitle : kText;
          if (SDL_Surface* text = TTF_RenderUTF8_Blended(f, line.text.c_str(), colour)) {
            SDL_Rect at{(width - text->w) / 2, y + (room - text->h) / 2, text->w, text->h};
            SDL_BlitSurface(text, nullptr, surface, &at);
            SDL_FreeSurface(text);
          }
        }
      }
      y += room;
    }
  }
  SDL_UpdateWindowSurface(window);
}

}  // namespace palomir
