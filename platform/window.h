// The one window and its services: timers, the event pump, the clock, the program's
// folder. Game thread only. WaitForEvents blocks, and DoEvents for as long as the handlers it
// runs (a pause, a line waited for); Show and ShowCard may wait on the window system.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/status.h"
#include "platform/timers.h"

namespace palomir {

// Thrown by Window::Unload, and by the pump when the user closes the window: it unwinds
// every handler that is running, down to whoever runs the message loop.
struct WindowUnloaded {};

// One line of the card the window shows, and how large it is drawn.
struct CardLine {
  enum class Size { kTitle, kLarge, kSmall };
  std::string text;  // UTF-8; empty keeps the line's place
  Size size = Size::kLarge;
};

class Window {
 public:
  virtual ~Window() = default;

  virtual int32_t Handle() const = 0;
  // 312 x 213 pixels, caption "Palomir" (the game's name, which a screen reader
  // says when the window takes the focus); hidden until shown.
  virtual Status Show() = 0;
  virtual Status SetScaleMode(int32_t mode) = 0;

  virtual TimerQueue& Timers() = 0;

  // What the window shows: a plain card of a few lines, top to bottom. It is drawn now (once
  // the window is shown) and again whenever the window system asks (uncovered, resized);
  // the game itself is heard, never drawn.
  virtual void ShowCard(const std::vector<CardLine>& lines) = 0;
  // Told at the end of every pump, once the handlers it ran are done (the card is kept up
  // to date from here). Empty: nobody is told.
  void set_pump_observer(std::function<void()> observer) { pumped_ = std::move(observer); }
  // A second one, for the player's guide (help and the sound tour), told after the card's.
  void set_guide_observer(std::function<void()> observer) { guide_ = std::move(observer); }

  // The event pump: runs every pending input callback and every due timer tick, each to
  // its end, and returns. A close request from the user throws WindowUnloaded.
  virtual void DoEvents() = 0;
  // Blocks until input is pending, a timer falls due, or `max_seconds` have passed.
  virtual void WaitForEvents(double max_seconds) = 0;

  // Seconds since midnight, fractions included, on the game's clock: it stands still while
  // the game is held (the help plays), so a pause waits as long as it would have.
  virtual float TimeOfDay() const = 0;
  // The folder the program was started from, without a trailing separator.
  virtual std::string ProgramFolder() const = 0;
  // Where the ten sound files are; the folder "sounds" beside the program unless the
  // player or the installation says otherwise.
  virtual std::string SoundsFolder() const { return ProgramFolder() + "/sounds"; }
  virtual Status SetCurrentDirectory(const std::string& folder) = 0;

  // Takes the window away; throws WindowUnloaded.
  [[noreturn]] virtual void Unload() = 0;

  // Waits and pumps until the window is unloaded; WindowUnloaded then escapes.
  [[noreturn]] void RunMessageLoop() {
    for (;;) {
      WaitForEvents(1.0);
      DoEvents();
    }
  }

 protected:
  // Each machine calls this as its pump ends.
  void Pumped() {
    if (pumped_) pumped_();
    if (guide_) guide_();
  }

 private:
  std::function<void()> pumped_;
  std::function<void()> guide_;
};

}  // namespace palomir
