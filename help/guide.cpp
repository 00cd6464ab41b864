#include "help/guide.h"

#include <algorithm>
#include <cmath>

#include "game/main_form.h"
#include "game/program.h"
#include "language/tr.h"
#include "platform/keycodes.h"
#include "platform/voice.h"

namespace palomir {

namespace {
static_assert(kVolumeOff == Levels::kOff);

Levels LevelsOf(const Settings& s) {
  return {s.speech_rate, s.speech_volume, s.sound_volume, s.background_volume};
}

RumbleChoice RumbleOf(const Settings& s) {
  return {s.rumble, s.rumble_hits != 0, s.rumble_walls != 0, s.rumble_goals != 0,
          s.rumble_near != 0};
}

// TRANSLATORS: a level as the voice reads it after "Speech", "Sounds" or "Background".
std::string Decibels(int db) {
  if (db == kVolumeOff) return Tr("off");
  const unsigned long n = static_cast<unsigned long>(std::abs(db));
  if (db >= 0) return Fill(TrN("%d decibel", "%d decibels", n), db);
  return Fill(TrN("minus %d decibel", "minus %d decibels", n), -db);
}

// One sound of the tour: its name, its file, and where it is played.
struct TourSound {
  const char* name;
  const char* file;
  enum class Way { kPuck, kOnce, kTwoSides, kSlide, kLoop } way;
  int32_t pan;
  int32_t volume;
  double seconds;
};

// TRANSLATORS: the tour's names, each spoken just before its sound plays.
constexpr TourSound kTour[] = {
    {N_("The puck, from left to right, then from far to near"), "puck.wav", TourSound::Way::kPuck,
     0, 0, 0},
    {N_("Your paddle hits the puck"), "paddle.wav", TourSound::Way::kOnce, 0, 0, 1.0},
    {N_("The computer's paddle hits the puck"), "OpponentHit.wav", TourSound::Way::kOnce, 0, -1500,
     1.0},
    {N_("The puck bounces off the side walls, left and right"), "SideBounce.wav",
     TourSound::Way::kTwoSides, 6000, -1000, 0.8},
    {N_("The puck bounces off the far wall"), "rebound.wav", TourSound::Way::kOnce, 0, -2500, 1.0},
    {N_("The buzzer: the puck got past you"), "buzz.wav", TourSound::Way::kOnce, 0, 0, 1.5},
    {N_("The fanfare: you scored"), "goal.wav", TourSound::Way::kOnce, 0, -500, 2.5},
    {N_("Your paddle sliding"), "paddleslide.wav", TourSound::Way::kSlide, 0, -1000, 0},
    {N_("The computer's paddle sliding"), "opponentpaddleslide.wav", TourSound::Way::kSlide, 0,
     -2000, 0},
    {N_("The background"), "background.wav", TourSound::Way::kLoop, 0, 0, 2.0},
};
constexpr int kPuckSteps = 12;
constexpr double kPuckStepSeconds = 0.12;
constexpr int32_t kPuckPanReach = 6000;
constexpr int32_t kPuckFar = -4000;
constexpr int kSlideSteps = 6;
constexpr double kSlideStepSeconds = 0.12;
constexpr double kGap = 0.25;  // between a name and its sound, and after each sound
constexpr double kQuiet = 0.02;  // seconds of speech left that count as none
}  // namespace

std::vector<std::string> Guide::HelpLines(const KeyLabels& keys) {
  auto name = [&keys](uint8_t code) { return KeyName(keys, code); };
  // TRANSLATORS: the spoken help, one sentence after another. Keys are named as printed
  // on them (F1, Escape, Y, N, Q, Shift; "full stop" is the key with the dot).
  return {
      Tr("Help. F1 again or Escape stops it."),
      Tr("Move the mouse to move your paddle: sideways, and forward and back."),
      Tr("The left button brings your paddle to the puck's line. The middle button says the "
         "score, the right button the speeds."),
      // TRANSLATORS: each %s is a key as the player's keyboard labels it ("1", "Q", "full
      // stop"): the first and the last key of each of the grid's four rows.
      Fill(Tr("The grid of keys from %s to %s, %s to %s, %s to %s and %s to %s is the table: "
              "hit with the key where the puck is."),
           name(dik::k1), name(dik::k9), name(dik::kQ), name(dik::kO), name(dik::kA), name(dik::kL),
           name(dik::kZ), name(dik::kPeriod)),
      // TRANSLATORS: the two %s are the keys labelled Y and N on the player's keyboard.
      Fill(Tr("Up and Down change the speed level. After a game, %s plays again and %s quits."),
           name(PlaceOfLetter(keys, 'Y', dik::kY)), name(PlaceOfLetter(keys, 'N', dik::kN))),
      Tr("F2 plays the tour of the sounds. F3 says the score, F4 the speeds."),
      Tr("F5 and F6 make the voice slower and faster, F7 and F8 quieter and louder."),
      Tr("F9 and F10 make the game's sounds quieter and louder, and with Shift the background."),
      Tr("A gamepad plays too: the left stick is your paddle, where it points; push it forward "
         "quickly to hit. A serves, Y says the score, X the speeds; after a game A plays again "
         "and B quits. Start is the help, Back the tour, the shoulder buttons the voice's rate, "
         "the pad's up and down the speed level."),
      Tr("F11 and F12 make the gamepad's rumble weaker and stronger. Home switches the rumble of "
         "the hits, End of the walls, Page Up of the goals and Page Down of the puck coming near."),
  };
}

std::vector<std::string> Guide::TourNames() {
  std::vector<std::string> names;
  for (const TourSound& t : kTour) names.push_back(Tr(t.name));
  return names;
}

Guide::Guide(Platform& platform, MainForm& form, ProgramObjects& objects, GuideSetup setup)
    : platform_(platform), form_(form), o_(objects), setup_(std::move(setup)) {
  platform_.SetLevels(LevelsOf(setup_.settings));
  platform_.SetRumble(RumbleOf(setup_.settings));
  if (setup_.file && setup_.tell) setup_.file->set_tell(setup_.tell);
  platform_.set_key_observer([this](const RawInput& in) { OnKey(in); });
  platform_.window().set_guide_observer([this] { Pumped(); });
}

Guide::~Guide() {
  platform_.set_key_observer(nullptr);
  platform_.window().set_guide_observer(nullptr);
  platform_.window().Timers().WakeAt(std::nullopt);
}

void Guide::Say(const std::string& text, int32_t flags) {
  if (form_.Voice) (void)form_.Voice->Speak(text, flags);
}

double Guide::SayingTime(const std::string& text) const {
  return SpokenLength(text) * VoiceLevels::kUsualRate / setup_.settings.speech_rate;
}

void Guide::OnKey(const RawInput& in) {
  const bool down = in.kind == RawInput::Kind::kKeyDown;
  if (in.a == dik::kLeftShift) shift_left_ = down;
  if (in.a == dik::kRightShift) shift_right_ = down;
  if (!down) return;
  const bool shift = shift_left_ || shift_right_;
  using N = Settings::Name;
  switch (in.a) {
    case dik::kF1:
      if (mode_ == Mode::kHelp) {
        Stop();
      } else {
        std::vector<Step> steps;
        double after = 0;
        for (const std::string& line : HelpLines(platform_.window().key_labels())) {
          steps.push_back({after, [this, line] { Say(line, kSpeakGuide); }, true});
          after = SayingTime(line);
        }
        steps.push_back({after, nullptr});
        Start(Mode::kHelp, std::move(steps));
      }
      break;
    case dik::kF2: {
      std::vector<Step> steps;
      AddTourSteps(steps);
      Start(Mode::kTour, std::move(steps));
      break;
    }
    case dik::kEscape:
      Stop();
      break;
    case dik::kF3:
      Say(std::to_string(form_.PlayerScore));
      Say(std::to_string(form_.ComputerScore));
      break;
    case dik::kF4:
      for (int32_t v : {form_.LateralSpeed, form_.DepthSpeed, form_.MouseSpeedX, form_.MouseSpeedY})
        Say(std::to_string(v));
      break;
    case dik::kF5: Change(N::kSpeechRate, -1); break;
    case dik::kF6: Change(N::kSpeechRate, +1); break;
    case dik::kF7: Change(N::kSpeechVolume, -1); break;
    case dik::kF8: Change(N::kSpeechVolume, +1); break;
    case dik::kF9: Change(shift ? N::kBackgroundVolume : N::kSoundVolume, -1); break;
    case dik::kF10: Change(shift ? N::kBackgroundVolume : N::kSoundVolume, +1); break;
    case dik::kF11: Change(N::kRumble, -1); break;
    case dik::kF12: Change(N::kRumble, +1); break;
    case dik::kHome: Change(N::kRumbleHits, +1); break;
    case dik::kEnd: Change(N::kRumbleWalls, +1); break;
    case dik::kPageUp: Change(N::kRumbleGoals, +1); break;
    case dik::kPageDown: Change(N::kRumbleNear, +1); break;
    default: break;
  }
}

void Guide::Change(Settings::Name name, int direction) {
  using N = Settings::Name;
  const bool moved = setup_.settings.Step(name, direction);
  const int value = setup_.settings.Of(name);
  platform_.SetLevels(LevelsOf(setup_.settings));
  platform_.SetRumble(RumbleOf(setup_.settings));
  std::string said;
  switch (name) {
    // TRANSLATORS: spoken after F5 or F6: the voice's rate in words a minute.
    case N::kSpeechRate: said = Fill(Tr("Rate %d"), value); break;
    // TRANSLATORS: spoken after F7 to F10: which level changed, then its decibels.
    case N::kSpeechVolume: said = Fill(Tr("Speech %s"), Decibels(value)); break;
    case N::kSoundVolume: said = Fill(Tr("Sounds %s"), Decibels(value)); break;
    case N::kBackgroundVolume: said = Fill(Tr("Background %s"), Decibels(value)); break;
    // TRANSLATORS: spoken after F11 or F12: the gamepad's rumble strength in percent.
    case N::kRumble: said = Fill(Tr("Rumble %d percent"), value); break;
    // TRANSLATORS: spoken after Home, End, Page Up or Page Down: one kind of the gamepad's
    // rumble switched on or off.
    case N::kRumbleHits:
      said = Tr(value ? N_("Rumble of the hits on") : N_("Rumble of the hits off"));
      break;
    case N::kRumbleWalls:
      said = Tr(value ? N_("Rumble of the walls on") : N_("Rumble of the walls off"));
      break;
    case N::kRumbleGoals:
      said = Tr(value ? N_("Rumble of the goals on") : N_("Rumble of the goals off"));
      break;
    case N::kRumbleNear:
      said = Tr(value ? N_("Rumble of the puck coming near on")
                      : N_("Rumble of the puck coming near off"));
      break;
  }
  // TRANSLATORS: after a level that cannot go further, "Rate 450, the highest".
  if (!moved) said = Fill(direction > 0 ? Tr("%s, the highest") : Tr("%s, the lowest"), said);
  Say(said);
  if (name == N::kSoundVolume) Sample("paddle.wav");
  if (name == N::kBackgroundVolume) Sample("background.wav");
  if (!moved || !setup_.file) return;
  setup_.kept.Of(name) = value;
  // Written on the file's own thread: a slow disk never holds play.
  setup_.file->Change(name, value);
}

std::unique_ptr<SoundBuffer> Guide::Open(const std::string& file) {
  std::unique_ptr<SoundBuffer> b;
  if (!o_.SoundDevice) return b;
  const std::string path = platform_.window().SoundsFolder() + "/" + file;
  if (!o_.SoundDevice->CreateSoundBufferFromFile(path, o_.BufferDesc, b).ok()) b.reset();
  return b;
}

// A sound at the new level, heard at once: the game's own buffers are left alone.
void Guide::Sample(const char* file) {
  auto& b = std::string(file) == "paddle.wav" ? sample_sound_ : sample_background_;
  // While the game is held its sounds are silent: a sound opened now is heard now, and
  // never later as if the game had made it.
  if (platform_.game_held()) b.reset();
  if (!b) b = Open(file);
  if (!b) return;
  (void)b->Stop();
  (void)b->SetCurrentPosition(0);
  (void)b->Play(kPlayOnce);
}

void Guide::AddTourSteps(std::vector<Step>& steps) {
  double after = 0;
  steps.push_back({0,
                   [this] {
                     tour_.clear();
                     Say(Tr("The sounds of the game."), kSpeakGuide);
                   },
                   true});
  after = SayingTime(Tr("The sounds of the game."));
  for (const TourSound& t : kTour) {
    const std::string name = Tr(t.name);
    steps.push_back({after, [this, name] { Say(name, kSpeakGuide); }, true});
    after = SayingTime(name) + kGap;
    auto buffer = std::make_shared<size_t>(0);
    steps.push_back({after, [this, t, buffer] {
                       tour_.push_back(Open(t.file));
                       *buffer = tour_.size() - 1;
                       SoundBuffer* b = tour_.back().get();
                       if (!b) return;
                       (void)b->SetVolume(t.way == TourSound::Way::kPuck ? -1000 : t.volume);
                       (void)b->SetPan(t.way == TourSound::Way::kPuck ? -kPuckPanReach
                                       : t.way == TourSound::Way::kTwoSides ? -t.pan
                                                                             : t.pan);
                       const bool loops = t.way == TourSound::Way::kPuck ||
                                          t.way == TourSound::Way::kLoop;
                       (void)b->Play(loops ? kPlayLooping : kPlayOnce);
                     }});
    auto with = [this, buffer](std::function<void(SoundBuffer&)> f) {
      return [this, buffer, f] {
        if (*buffer < tour_.size() && tour_[*buffer]) f(*tour_[*buffer]);
      };
    };
    switch (t.way) {
      case TourSound::Way::kPuck:
        // Left to right across the near end, then from the far end up to the player.
        for (int i = 1; i <= kPuckSteps; ++i) {
          const int32_t pan = -kPuckPanReach + 2 * kPuckPanReach * i / kPuckSteps;
          steps.push_back({kPuckStepSeconds, with([pan](SoundBuffer& b) { (void)b.SetPan(pan); })});
        }
        steps.push_back({kPuckStepSeconds, with([](SoundBuffer& b) {
                           (void)b.SetPan(0);
                           (void)b.SetVolume(kPuckFar);
                         })});
        for (int i = 1; i <= kPuckSteps; ++i) {
          const int32_t volume = kPuckFar - kPuckFar * i / kPuckSteps;
          steps.push_back(
              {kPuckStepSeconds, with([volume](SoundBuffer& b) { (void)b.SetVolume(volume); })});
        }
        steps.push_back({kPuckStepSeconds, with([](SoundBuffer& b) { (void)b.Stop(); })});
        after = kGap;
        break;
      case TourSound::Way::kTwoSides:
        steps.push_back({t.seconds, with([t](SoundBuffer& b) {
                           (void)b.SetPan(t.pan);
                           (void)b.SetCurrentPosition(0);
                           (void)b.Play(kPlayOnce);
                         })});
        after = t.seconds + kGap;
        break;
      case TourSound::Way::kSlide:
        for (int i = 1; i <= kSlideSteps; ++i) {
          const int32_t pan = -3000 + 6000 * i / kSlideSteps;
          steps.push_back({kSlideStepSeconds, with([pan](SoundBuffer& b) {
                             (void)b.SetPan(pan);
                             (void)b.Play(kPlayOnce);
                           })});
        }
        after = 0.4 + kGap;
        break;
      case TourSound::Way::kLoop:
        steps.push_back({t.seconds, with([](SoundBuffer& b) { (void)b.Stop(); })});
        after = kGap;
        break;
      case TourSound::Way::kOnce:
        after = t.seconds + kGap;
        break;
    }
  }
  steps.push_back({after, nullptr});
}

void Guide::Start(Mode mode, std::vector<Step> steps) {
  if (mode_ != Mode::kIdle) Stop(/*game_goes_on=*/false);
  if (form_.Voice) form_.Voice->Hush();
  mode_ = mode;
  steps_ = std::move(steps);
  next_ = 0;
  after_speech_ = false;
  platform_.HoldGame(true);
  due_ = platform_.GuideClock();
  // The first step is taken as this pump ends, like every other.
  Schedule();
}

void Guide::Stop(bool game_goes_on) {
  // What the guide was saying stops at once, also a last line still being said.
  if (form_.Voice) form_.Voice->Hush();
  if (mode_ == Mode::kIdle) return;
  mode_ = Mode::kIdle;
  steps_.clear();
  for (auto& b : tour_) {
    if (b) (void)b->Stop();
  }
  tour_.clear();
  platform_.window().Timers().WakeAt(std::nullopt);
  platform_.HoldGame(false);
  // The game was waiting for an answer, which the hold kept from it (a Y or N pressed
  // meanwhile was not taken): it is asked again, so that the player knows what it waits for.
  if (const std::string question = form_.PendingQuestion(); game_goes_on && !question.empty()) {
    Say(question, kSpeakAsync);
  }
}

void Guide::Schedule() {
  if (next_ >= steps_.size()) return;
  due_ += static_cast<Micros>(std::llround(steps_[next_].seconds * 1e6));
  platform_.window().Timers().WakeAt(due_);
}

void Guide::Pumped() {
  // What the player was told on the terminal is said too, once there is a voice to say it.
  if (setup_.file) {
    for (std::string& text : setup_.file->TakeSpoken()) platform_.TellPlayer(text);
  }
  if (form_.Voice) {
    for (const std::string& text : platform_.TakeTold()) Say(text, kSpeakNote);
  }
  while (mode_ != Mode::kIdle && next_ < steps_.size()) {
    // A line is said whole before the guide goes on, however slow the voice.
    if (after_speech_ && form_.Voice) {
      const double behind = form_.Voice->Behind();
      if (behind > kQuiet) {
        due_ = std::max(due_, platform_.GuideClock() + static_cast<Micros>(behind * 1e6));
        platform_.window().Timers().WakeAt(due_);
      }
    }
    if (!platform_.GuideStepDue(due_)) return;
    const Step step = steps_[next_++];
    after_speech_ = step.speaks;
    if (step.act) step.act();
    if (next_ >= steps_.size()) {
      Stop();
      return;
    }
    Schedule();
  }
}

}  // namespace palomir
