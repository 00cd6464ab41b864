// The player's guide, beside the game and no part of its rules: F1 the spoken help, F2 the
// tour of the ten sounds, F3 the score, F4 the speeds, F5..F10 the voice's rate and the
// volumes (kept in the settings file). While the help or the tour plays, the game holds
// still and then goes on exactly where it stood. Every key it answers has first been a key
// press for the game's own input handler, like any other key.
//
// Game thread only: its keys and steps come from the window's pump. Nothing here blocks but
// a sound of the tour or a sample being opened (its file is read); a changed setting is
// written on the settings file's own thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "settings/settings.h"

namespace palomir {

class MainForm;
struct ProgramObjects;

struct GuideSetup {
  Settings settings;              // what this run starts with (the file, then the options)
  Settings kept;                  // what the file holds; a change is written back into it
  SettingsFile* file = nullptr;   // none: nothing is ever written (a replay, a test)
  std::function<void(const std::string&)> tell;  // a line for the player (stderr), any thread
};

class Guide {
 public:
  enum class Mode { kIdle, kHelp, kTour };

  Guide(Platform& platform, MainForm& form, ProgramObjects& objects, GuideSetup setup);
  ~Guide();
  Guide(const Guide&) = delete;
  Guide& operator=(const Guide&) = delete;

  Mode mode() const { return mode_; }
  const Settings& settings() const { return setup_.settings; }
  // The help's sentences and the tour's names, in order (tests and the manual use them).
  // The keys named as `keys` labels them.
  static std::vector<std::string> HelpLines(const KeyLabels& keys = UsKeyLabels());
  static std::vector<std::string> TourNames();

 private:
  struct Step {
    double seconds;              // after the step before
    std::function<void()> act;   // may be empty
    bool speaks = false;         // the next step waits until the voice has said it
  };
  void OnKey(const RawInput& in);
  void Pumped();
  void Start(Mode mode, std::vector<Step> steps);
  // `game_goes_on`: false where another part of the guide follows at once.
  void Stop(bool game_goes_on = true);
  void Schedule();
  void Say(const std::string& text, int32_t flags = kSpeakAsync);
  double SayingTime(const std::string& text) const;
  void Change(Settings::Name name, int direction);
  void Sample(const char* file);
  std::unique_ptr<SoundBuffer> Open(const std::string& file);
  void AddTourSteps(std::vector<Step>& steps);

  Platform& platform_;
  MainForm& form_;
  ProgramObjects& o_;
  GuideSetup setup_;
  Mode mode_ = Mode::kIdle;
  std::vector<Step> steps_;
  size_t next_ = 0;
  Micros due_ = 0;
  bool after_speech_ = false;  // the step taken last said a line
  bool shift_left_ = false, shift_right_ = false;
  std::vector<std::unique_ptr<SoundBuffer>> tour_;     // the tour's own sounds
  std::unique_ptr<SoundBuffer> sample_sound_, sample_background_;
};

}  // namespace palomir
