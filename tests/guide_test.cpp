// The player's guide on the virtual machine: each key's effect and what it says, the game
// held still while the help or the tour plays and going on exactly where it stood, and the
// settings file read, written, overridden and, when it is not right, kept.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/file.h>
#endif

#include <atomic>
#include <functional>
#include <thread>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <algorithm>
#include <functional>

#include "app/options.h"
#include "game_fixture.h"
#include "card/card.h"
#include "help/guide.h"
#include "language/language.h"
#include "language/mo_catalog.h"
#include "language/tr.h"
#include "platform/files.h"
#include "platform/keycodes.h"
#include "platform/line_file.h"
#include "temp_folder.h"

namespace palomir::testing {
namespace {

struct GuidedGame : Game {
  std::optional<Guide> guide;
  explicit GuidedGame(GuideSetup setup = {}) {
    Load();
    guide.emplace(vp, f, o, std::move(setup));
    vp.ClearRecords();
  }
  void Key(int32_t key, bool shift = false) {
    if (shift) Press(dik::kLeftShift);
    Press(key);
    Release(key);
    if (shift) Release(dik::kLeftShift);
  }
  // Runs until the guide has finished, at most three minutes.
  void RunGuide() {
    for (int i = 0; i < 180000 && guide->mode() != Guide::Mode::kIdle; ++i) vp.RunFor(0.001);
  }
};

TEST(Guide, EachKeySaysWhatItDidAndTheLevelsFollow) {
  const float kStep = std::pow(10.0f, -3.0f / 20);
  struct Row {
    int32_t key;
    bool shift;
    std::vector<std::string> said;
    Levels levels;
    float sound, background, speech;  // the mixer's gains
  } rows[] = {
      {dik::kF5, false, {"Rate 150"}, {150, 0, 0, 0}, 1, 1, 1},
      {dik::kF6, false, {"Rate 200"}, {200, 0, 0, 0}, 1, 1, 1},
      {dik::kF7, false, {"Speech minus 3 decibels"}, {175, -3, 0, 0}, 1, 1, kStep},
      {dik::kF8, false, {"Speech 0 decibels, the highest"}, {175, 0, 0, 0}, 1, 1, 1},
      {dik::kF9, false, {"Sounds minus 3 decibels"}, {175, 0, -3, 0}, kStep, 1, 1},
      {dik::kF10, false, {"Sounds 0 decibels, the highest"}, {175, 0, 0, 0}, 1, 1, 1},
      {dik::kF9, true, {"Background minus 3 decibels"}, {175, 0, 0, -3}, 1, kStep, 1},
      {dik::kF10, true, {"Background 0 decibels, the highest"}, {175, 0, 0, 0}, 1, 1, 1},
      {dik::kF3, false, {"0", "0"}, {}, 1, 1, 1},
      {dik::kF4, false, {"1", "80", "0", "0"}, {}, 1, 1, 1},
      {dik::kF11, false, {"Rumble 50 percent"}, {}, 1, 1, 1},
      {dik::kF12, false, {"Rumble 100 percent"}, {}, 1, 1, 1},
      {dik::kHome, false, {"Rumble of the hits off"}, {}, 1, 1, 1},
      {dik::kEnd, false, {"Rumble of the walls off"}, {}, 1, 1, 1},
      {dik::kPageUp, false, {"Rumble of the goals off"}, {}, 1, 1, 1},
      {dik::kPageDown, false, {"Rumble of the puck coming near on"}, {}, 1, 1, 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.key);
    GuidedGame g;
    g.Key(r.key, r.shift);
    EXPECT_EQ(g.Said(), r.said);
    EXPECT_EQ(g.vp.levels(), r.levels);
    EXPECT_NEAR(g.vp.mixer()->sound_gain(), r.sound, 1e-4);
    EXPECT_NEAR(g.vp.mixer()->background_gain(), r.background, 1e-4);
    EXPECT_NEAR(g.vp.mixer()->speech_level(), r.speech, 1e-4);
    // Every key was a key press for the game's own input handler too.
    EXPECT_EQ(g.Calls("GUID_SysKeyboard").size(), r.shift ? 4u : 2u);
    EXPECT_FALSE(g.vp.game_held());
  }
  // The sounds go down to silence and no further, the voice never silent.
  GuidedGame g;
  for (int i = 0; i < 12; ++i) g.Key(dik::kF9);
  EXPECT_EQ(g.Said().back(), "Sounds off, the lowest");
  EXPECT_EQ(g.vp.mixer()->sound_gain(), 0.0f);
  for (int i = 0; i < 12; ++i) g.Key(dik::kF7);
  EXPECT_EQ(g.Said().back(), "Speech minus 30 decibels, the lowest");
}

TEST(Guide, TheGameHoldsStillThroughTheHelpAndGoesOnExactlyWhereItStood) {
  GuidedGame g;
  g.vp.RunFor(0.37);
  auto snapshot = [&] {
    std::ostringstream s;
    for (int32_t MainForm::*field :
         {&MainForm::HitTolerance, &MainForm::MouseSpeedX, &MainForm::MouseSpeedY,
          &MainForm::PaddlePan, &MainForm::PaddleVolume, &MainForm::OpponentPan,
          &MainForm::OpponentTicks, &MainForm::OpponentPace, &MainForm::PlayerScore,
          &MainForm::ComputerScore, &MainForm::LateralSpeed, &MainForm::DepthSpeed,
          &MainForm::SpeedLevel})
      s << g.f.*field << " ";
    s << g.f.GameOver << " | " << g.PuckPan() << " " << g.PuckVolume() << " " << g.PaddlePan()
      << " " << g.PaddleVolume() << " |";
    for (Timer* t : {&g.f.RightTimer, &g.f.LeftTimer, &g.f.ToTimer, &g.f.FroTimer})
      s << " " << t->Enabled() << "/" << t->Interval();
    s << " next in " << *g.vp.Timers().NextDue() - static_cast<Micros>(g.vp.Now() * 1e6) << " |";
    for (int c = 0; c < 10; ++c) s << " " << g.vp.mixer()->Position(c);
    return s.str();
  };
  const std::string before = snapshot();
  g.vp.ClearRecords();
  g.Key(dik::kF1);
  EXPECT_EQ(g.guide->mode(), Guide::Mode::kHelp);
  EXPECT_TRUE(g.vp.game_held());
  EXPECT_TRUE(g.vp.mixer()->held());
  g.vp.RunFor(3.0);
  EXPECT_EQ(g.Calls("puck.wav"), std::vector<std::string>{});  // no tick moved the puck
  g.RunGuide();
  EXPECT_FALSE(g.vp.game_held());
  EXPECT_EQ(snapshot(), before);
  const auto help = Guide::HelpLines();
  EXPECT_EQ(g.Said(), help);

  // F1 again, or Escape, stops it at once; the game goes on from where it stood.
  for (int32_t stop : {dik::kF1, dik::kEscape}) {
    const std::string now = snapshot();
    g.vp.ClearRecords();
    g.Key(dik::kF1);
    g.vp.RunFor(1.0);
    g.Key(stop);
    EXPECT_EQ(g.guide->mode(), Guide::Mode::kIdle);
    EXPECT_FALSE(g.vp.game_held());
    EXPECT_EQ(snapshot(), now);
    EXPECT_LT(g.Said().size(), help.size());
  }
}

// What once went wrong while the guide spoke, one row each: the voice keeps up with play,
// loses no line of the help however slow, stops the help's sentence at once, and the rules
// take no key and no mouse while the help plays.
TEST(Guide, ItsLinesAreNeverLostAndWhileItPlaysTheRulesTakeNoInput) {
  struct Row {
    const char* what;
    std::function<void(GuidedGame&)> act, check;
  } rows[] = {
      {"ten F4 presses in 1.5 s: no more than 3 s of speech waits",
       [](GuidedGame& g) {
         for (int i = 0; i < 10; ++i) {
           g.Key(dik::kF4);
           g.vp.RunFor(0.15);
         }
       },
       [](GuidedGame& g) {
         EXPECT_LE(g.vp.SpeechBehind(), SpeechQueue::kMostBehind);
         EXPECT_FALSE(g.vp.left_out().empty());
       }},
      {"F6, F8 and F5 twenty times each, back to back: the newest readout of each is enough",
       [](GuidedGame& g) {
         for (uint8_t key : {dik::kF6, dik::kF8, dik::kF5}) {
           for (int i = 0; i < 20; ++i) {
             g.Key(key);
             g.vp.RunFor(0.05);
           }
         }
       },
       [](GuidedGame& g) {
         // After the last key only its own readout is still to be heard: each older one was
         // left out or cut short as the next came; the lowest, pressed for again and again
         // while it is said, is heard once, not begun again at each press.
         EXPECT_EQ(g.vp.spoken().back().text, "Rate 75, the lowest");
         auto lowest = [](const auto& lines) {
           return std::count_if(lines.begin(), lines.end(),
                                [](const auto& l) { return l.text == "Rate 75, the lowest"; });
         };
         EXPECT_EQ(lowest(g.vp.spoken()) - lowest(g.vp.left_out()), 1);
         EXPECT_LE(g.vp.SpeechBehind(),
                   SpeechQueue::Length("Rate 75, the lowest") * VoiceLevels::kUsualRate / 75 + 1e-6);
         EXPECT_FALSE(g.vp.cut_short().empty());
       }},
      {"F4 twice, F1, then F7, F8 and F6: the help's first line, queued behind them all, is kept",
       [](GuidedGame& g) {
         for (uint8_t key : {dik::kF4, dik::kF4, dik::kF1, dik::kF7, dik::kF8, dik::kF6}) {
           g.Key(key);
           g.vp.RunFor(0.05);
         }
       },
       [](GuidedGame& g) {
         EXPECT_FALSE(g.vp.left_out().empty());
         for (const auto& gone : g.vp.left_out()) EXPECT_NE(gone.text, Guide::HelpLines()[0]);
       }},
      {"the slowest voice says all eight help lines, none left out",
       [](GuidedGame& g) {
         for (int i = 0; i < 5; ++i) g.Key(dik::kF5);
         g.vp.ClearRecords();
         g.Key(dik::kF1);
         g.RunGuide();
       },
       [](GuidedGame& g) {
         EXPECT_EQ(g.Said(), Guide::HelpLines());
         EXPECT_TRUE(g.vp.left_out().empty());
         EXPECT_FALSE(g.vp.game_held());
         EXPECT_EQ(g.vp.SpeechBehind(), 0.0);  // the game goes on once the last line is heard
       }},
      {"Escape stops the help's sentence at once",
       [](GuidedGame& g) {
         g.Key(dik::kF1);
         g.vp.RunFor(1.0);
         g.Key(dik::kEscape);
       },
       [](GuidedGame& g) {
         EXPECT_EQ(g.vp.SpeechBehind(), 0.0);
         EXPECT_EQ(g.vp.cut_short().size(), 1u);
       }},
      {"Up and the mouse during the help: no level, no paddle, then or after",
       [](GuidedGame& g) {
         g.Key(dik::kF1);
         g.Key(dik::kUp);
         g.Move(900, -300);
         g.vp.Button(0, true);
         g.vp.RunFor(1.0);
         g.Key(dik::kEscape);
         g.vp.RunFor(0.1);
       },
       [](GuidedGame& g) {
         const auto said = g.Said();
         EXPECT_EQ(std::count(said.begin(), said.end(), "11"), 0);
         EXPECT_EQ(g.f.SpeedLevel, 10);
         EXPECT_EQ(g.Calls("paddleslide.wav"), std::vector<std::string>{});
       }},
      {"F9 during the help is heard at once, and never again as a hit",
       [](GuidedGame& g) {
         g.Key(dik::kF9);  // its sample opened before the help
         g.Key(dik::kF1);
         g.vp.ClearRecords();
         g.Key(dik::kF9);
       },
       [](GuidedGame& g) {
         // A sound of its own, opened while the game is held, so not held with it.
         EXPECT_EQ(g.Calls("paddle.wav").back(), "Play 0");
         g.Key(dik::kEscape);
         g.vp.RunFor(0.5);
         const auto calls = g.Calls("paddle.wav");
         EXPECT_EQ(std::count(calls.begin(), calls.end(), "Play 0"), 1);
       }},
      {"a message printed for the player is said too, once, and no trace writes it down",
       [](GuidedGame& g) {
         g.vp.TellPlayer("The sound is back.");
         g.vp.RunFor(0.01);
       },
       [](GuidedGame& g) {
         EXPECT_GT(g.vp.SpeechBehind(), 1.0);
         g.vp.RunFor(2.0);
         EXPECT_EQ(g.vp.SpeechBehind(), 0.0);
         EXPECT_EQ(g.Said(), std::vector<std::string>{});
       }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    GuidedGame g;
    r.act(g);
    r.check(g);
  }
}

// The same game played twice, once with the help asked for at one moment: the game makes the
// same calls and says the same lines at the same moments of its own clock (shifted by the
// help's length, nothing else), and none at all while the help plays. Stopped, the help holds
// the game from F1 to Escape exactly: its clock, its timers and its input go on at once, and
// a pause goes on for just what it had left.
TEST(Guide, TheGameGoesOnAfterTheHelpShiftedInTimeOnly) {
  enum class Help { kNone, kWhole, kStopped };
  struct Moment {
    const char* what;
    double at;     // seconds of the game's clock when F1 is pressed
    double yes;    // when Y is pressed (0: never)
    bool end_game;  // the computer's 50th goal comes first
    double stop = 2.3;  // seconds after F1 that Escape stops the help
    bool asked_again = false;  // the help held the question: it is asked again as it ends
  } moments[] = {
      {"the welcome's pause", 0.7, 0, false},
      {"the welcome's pause, stopped 4 s in", 0.5, 0, false, 4.0},
      {"mid-rally", 2.6, 0, false},
      {"just before the computer's 50th goal", 2.6, 0, true},
      {"the play-again question", 7.0, 7.6, true, 2.3, true},
      {"the pause after Y", 7.6, 7.0, true},
  };
  struct Heard {
    std::vector<std::string> calls;
    int while_held = 0;
    Micros held = 0;
  };
  // `shift` < 0: plays long enough for the whole help, to learn how long it holds the game.
  auto play = [](const Moment& m, Help help, Micros shift) {
    Heard h;
    Game g;
    g.f.ComputerScore = m.end_game ? 49 : 0;
    auto game_time = [&g] {
      return std::to_string(g.vp.GuideClock() - g.vp.Timers().HeldFor());
    };
    g.vp.on_call = [&](const Call& c) {
      if (c.object.rfind("guid_", 0) == 0 || c.object.rfind("GUID_", 0) == 0) return;
      if (g.vp.game_held()) ++h.while_held;
      h.calls.push_back(game_time() + " " + c.object + " " + c.op + " " + std::to_string(c.arg));
    };
    g.vp.on_speak = [&](const VirtualPlatform::Spoken& s) {
      if (s.flags == kSpeakGuide) return;
      if (g.vp.game_held()) ++h.while_held;
      h.calls.push_back(game_time() + " say " + s.text);
    };
    Guide guide(g.vp, g.f, g.o, {});
    // Input comes at the same moments of the game's clock: after the help, that much later.
    const auto real = [&](double at) {
      return at <= m.at || shift < 0 ? at : at + static_cast<double>(shift) / 1e6;
    };
    g.vp.At(m.at, [&] {
      if (help != Help::kNone) g.vp.KeyDown(dik::kF1);
    });
    if (help != Help::kNone) {
      g.vp.At(m.at + 0.1, [&] { g.vp.KeyUp(dik::kF1); });
      if (help == Help::kStopped) g.vp.At(m.at + m.stop, [&] { g.vp.KeyDown(dik::kEscape); });
    }
    if (m.yes > 0) {
      g.vp.At(real(m.yes), [&] { g.vp.KeyDown(dik::kY); });
      g.vp.At(real(m.yes + 0.1), [&] { g.vp.KeyUp(dik::kY); });
    }
    EXPECT_TRUE(g.f.Form_Load());
    g.vp.RunFor((shift < 0 ? 120.0 : real(12.0)) - g.vp.Now());
    h.held = g.vp.Timers().HeldFor();
    return h;
  };
  for (const Moment& m : moments) {
    for (Help help : {Help::kWhole, Help::kStopped}) {
      SCOPED_TRACE(std::string(m.what) + (help == Help::kWhole ? ", the whole help" : ", stopped"));
      const Heard without = play(m, Help::kNone, 0);
      const Micros shift = play(m, help, -1).held;  // how long the help holds the game
      EXPECT_GT(shift, help == Help::kWhole ? 20'000'000 : 2'000'000);
      if (help == Help::kStopped) {
        EXPECT_EQ(shift, std::llround(m.stop * 1e6));
      }
      Heard with = play(m, help, shift);
      EXPECT_EQ(with.while_held, 0);
      // Asked again, the question is said once more as the help ends; nothing else changes.
      const auto question = [](const std::string& c) { return c.ends_with("say wanna get beat again?"); };
      const auto asked = std::find_if(with.calls.begin(), with.calls.end(), question);
      const auto again = asked == with.calls.end() ? asked : std::find_if(asked + 1, with.calls.end(), question);
      EXPECT_EQ(again != with.calls.end(), m.asked_again);
      if (again != with.calls.end() && m.asked_again) with.calls.erase(again);
      EXPECT_EQ(with.calls, without.calls);
      if (m.end_game) {
        EXPECT_NE(std::find_if(without.calls.begin(), without.calls.end(),
                               [](const std::string& c) { return c.ends_with("say Yippee!  I win!"); }),
                  without.calls.end());
      }
    }
  }
}

TEST(Guide, TheTourNamesAndPlaysEachOfTheTenSounds) {
  GuidedGame g;
  g.Key(dik::kF2);
  EXPECT_TRUE(g.vp.game_held());
  g.RunGuide();
  std::vector<std::string> expected{"The sounds of the game."};
  for (const std::string& n : Guide::TourNames()) expected.push_back(n);
  EXPECT_EQ(g.Said(), expected);
  for (const char* file : {"puck.wav", "paddle.wav", "OpponentHit.wav", "SideBounce.wav",
                           "rebound.wav", "buzz.wav", "goal.wav", "paddleslide.wav",
                           "opponentpaddleslide.wav", "background.wav"}) {
    SCOPED_TRACE(file);
    EXPECT_TRUE(g.Played(file));
  }
  EXPECT_FALSE(g.vp.game_held());
  EXPECT_EQ(g.errors, std::vector<std::string>{});
}

// A folder of its own for each test that writes settings.
struct TempFolder {
  std::filesystem::path path;
  TempFolder() : path(MakeTempFolder("palomir-settings")) {}
  ~TempFolder() {
    // A file left read-only (as a player may) is made writable first: Windows removes none.
    std::error_code ignored;
    for (const auto& e : std::filesystem::recursive_directory_iterator(path, ignored)) {
      if (!e.is_symlink(ignored)) {
        std::filesystem::permissions(e.path(), std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add, ignored);
      }
    }
    std::filesystem::remove_all(path, ignored);
  }
  std::string Read(const std::string& file) const {
    std::ifstream in(path / file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
};

TEST(Settings, TheFileIsReadWrittenOverriddenAndKeptWhenItIsNotRight) {
  struct Row {
    const char* text;
    Settings expected;
    bool problem;
  } rows[] = {
      {"speech-rate = 250\nspeech-volume = -6\nsound-volume = off\nbackground-volume=-12\n",
       {250, -6, kVolumeOff, -12}, false},
      {"# mine\n\n  sound-volume =  -9 dB  # quieter\n", {175, 0, -9, 0}, false},
      {"speech-rate = 900\nsound-volume = -3\n", {175, 0, -3, 0}, true},  // out of range
      {"sound-volume = 3\n", {}, true},  // never above the usual
      {"speech-volume = off\n", {}, true},
      {"loudness = 3\nspeech-rate = 200\n", {200, 0, 0, 0}, true},
      {"\x01\x02garbage", {}, true},
      {"language = pt_BR\nspeech-rate = 200\n", {200, 0, 0, 0}, false},  // kept as it is
      {"language = pt_BR\nloudness = 3\n", {}, true},  // kept in the new file too
      {"match = join=10.0.0.7\nspeech-rate = 200\n", {200, 0, 0, 0}, false},  // kept too
      {"\xEF\xBB\xBFspeech-rate = 250\n", {250, 0, 0, 0}, false},  // an editor's byte-order mark
      {"language =\nspeech-rate = 200\n", {200, 0, 0, 0}, false},  // the usual language
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    TempFolder dir;
    const std::string path = (dir.path / "palomir/settings").string();
    std::filesystem::create_directories(dir.path / "palomir");
    std::ofstream(path) << r.text;
    SettingsFile file(path);
    std::string problem;
    EXPECT_EQ(file.Load(problem), r.expected);
    EXPECT_EQ(!problem.empty(), r.problem) << problem;
    if (r.problem) {
      EXPECT_NE(problem.find(path), std::string::npos);
    }
    // A change is written; a file that was not right is set aside first, never overwritten.
    std::string kept_as, error;
    Settings changed = r.expected;
    changed.speech_rate = 300;
    ASSERT_TRUE(file.Save({{Settings::Name::kSpeechRate, 300}}, kept_as, error)) << error;
    EXPECT_EQ(kept_as, r.problem ? path + ".bad" : "");
    if (r.problem) {
      EXPECT_EQ(dir.Read("palomir/settings.bad"), r.text);
    }
    SettingsFile again(path);
    EXPECT_EQ(again.Load(problem), changed);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(again.language(), std::string(r.text).starts_with("language = pt") ? "pt_BR" : "");
    EXPECT_EQ(again.match(), std::string(r.text).starts_with("match") ? "join=10.0.0.7" : "");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path / "palomir"), {}),
              r.problem ? 2 : 1);  // nothing else left behind
  }
  // No file: nothing read, nothing said, nothing written.
  TempFolder dir;
  SettingsFile none((dir.path / "palomir/settings").string());
  std::string problem;
  EXPECT_EQ(none.Load(problem), Settings{});
  EXPECT_EQ(problem, "");
  EXPECT_FALSE(std::filesystem::exists(dir.path / "palomir"));

  // A key writes the file (folders and all); an option's value lasts for its run only.
  GuideSetup setup;
  setup.file = &none;
  setup.settings.sound_volume = -12;  // --sound-volume=-12
  {
    GuidedGame g(setup);
    g.Key(dik::kF6);
    EXPECT_EQ(g.vp.levels().sound_volume, -12);
  }
  EXPECT_TRUE(none.Wait(10));  // written on the file's own thread
  SettingsFile written((dir.path / "palomir/settings").string());
  EXPECT_EQ(written.Load(problem), (Settings{200, 0, 0, 0}));

  // A folder that cannot be made: printed once, and a few words for the voice once.
  std::ofstream(dir.path / "blocked") << "a file where the folder would be\n";
  SettingsFile cannot((dir.path / "blocked/palomir/settings").string());
  for (int rate : {300, 325}) {
    cannot.Change(Settings::Name::kSpeechRate, rate);
    EXPECT_TRUE(cannot.Wait(10));
  }
  EXPECT_EQ(cannot.TakeSpoken(), std::vector<std::string>{
                                     "Your settings could not be kept. They last for this game only."});
  EXPECT_TRUE(cannot.TakeSpoken().empty());

  struct OptionRow {
    std::vector<std::string> args;
    bool ok;
    Options expected;
  } options[] = {
      {{"palomir", "--speech-rate=300", "--sound-volume=off"}, true, {}},
      {{"palomir", "--background-volume=-6dB", "--speech-volume=-9"}, true, {}},
      {{"palomir", "--speech-volume=3"}, false, {}},
      {{"palomir", "--speech-rate=20"}, false, {}},
      {{"palomir", "--sound-volume=2"}, false, {}},
      {{"palomir", "--language="}, false, {}},
  };
  options[0].expected.speech_rate = 300;
  options[0].expected.sound_volume = kVolumeOff;
  options[1].expected.background_volume = -6;
  options[1].expected.speech_volume = -9;
  for (const OptionRow& r : options) {
    Options o;
    std::string error;
    EXPECT_EQ(ParseOptions(r.args, o, error), r.ok) << r.args[1];
    if (!r.ok) {
      EXPECT_NE(error.find(r.args[1].substr(2, r.args[1].find('=') - 2)), std::string::npos);
      continue;
    }
    EXPECT_EQ(o.speech_rate, r.expected.speech_rate);
    EXPECT_EQ(o.speech_volume, r.expected.speech_volume);
    EXPECT_EQ(o.sound_volume, r.expected.sound_volume);
    EXPECT_EQ(o.background_volume, r.expected.background_volume);
  }
}

TEST(Language, TheNamedOneTheDesktopsOrEnglish) {
  const std::vector<std::string> have = {"de", "es", "fr", "pt_BR", "ru"};
  struct Row {
    std::map<std::string, std::string> env;
    std::optional<std::string> catalog;  // nothing: a language the game does not have
  } rows[] = {
      {{}, ""},
      {{{"LANG", "C.UTF-8"}}, ""},
      {{{"LANG", "de_AT.UTF-8@euro"}}, "de"},
      {{{"LANG", "fr_FR.UTF-8"}, {"LC_MESSAGES", "es_ES.UTF-8"}}, "es"},
      {{{"LC_MESSAGES", "es_ES.UTF-8"}, {"LC_ALL", "ru_RU.UTF-8"}}, "ru"},
      {{{"LANG", "pt_BR.UTF-8"}}, "pt_BR"},
      {{{"LANG", "pt_PT.UTF-8"}}, std::nullopt},  // as gettext: no pt catalog
      {{{"LANGUAGE", "xx:fr:de"}, {"LANG", "ru_RU.UTF-8"}}, "fr"},  // the first it has
      {{{"LANGUAGE", "en:de"}}, ""},                                 // English comes first
      {{{"LANGUAGE", "xx"}, {"LANG", "de_DE.UTF-8"}}, "de"},
      {{{"LANG", "en_GB.UTF-8"}}, ""},
      {{{"LANG", "ja_JP.UTF-8"}}, std::nullopt},
      {{{"LANG", "../../etc"}}, std::nullopt},
  };
  for (const Row& r : rows) {
    const std::string wanted = DesktopLanguage(have, [&r](const char* name) -> const char* {
      auto it = r.env.find(name);
      return it == r.env.end() ? nullptr : it->second.c_str();
    });
    EXPECT_EQ(CatalogFor(wanted, have), r.catalog) << wanted;
  }
  EXPECT_EQ(CatalogFor("pt-br", have), "pt_BR");  // as people write it on the command line
  EXPECT_EQ(CatalogsIn(PALOMIR_LOCALE), have);

  // The game's own lines in the catalogs' languages: a number counted takes its form. A
  // line takes as long to say as it has letters, however many bytes each takes.
  struct Line {
    const char* language;
    int32_t key;
    const char* said;
    double seconds;  // to say it, at the rate after the key
  } lines[] = {
      {"de", dik::kF7, "Stimme minus 3 Dezibel", 1.32},
      {"ru", dik::kF7, "Голос минус 3 децибела", 1.32},
      {"es", dik::kF5, "Velocidad 150", 0.91},
      {"fr", dik::kF1, "Aide. F1 à nouveau ou Échap l'arrête.", 2.22},
      {"", dik::kF7, "Speech minus 3 decibels", 1.38},
  };
  for (const Line& l : lines) {
    UseLanguage(l.language, PALOMIR_LOCALE);
    GuidedGame g;
    g.vp.RunFor(5);  // the welcome heard
    g.Key(l.key);
    g.vp.RunFor(0.1);
    ASSERT_FALSE(g.Said().empty());
    EXPECT_EQ(g.Said().front(), l.said);
    EXPECT_NEAR(g.vp.SpeechBehind(), l.seconds - 0.1, 1e-6) << l.said;
  }
  UseLanguage("de", PALOMIR_LOCALE);
  {
    Game g;
    g.Load();
    EXPECT_EQ(g.Said().front(), "Willkommen bei Palomir, einem Spiel von Vossk");
    EXPECT_EQ(CardLines({3, 7, 11, true})[1].text, "Du 3   Computer 7");
  }
  {
    // The settings file's messages too, from the file's own reading.
    TempFolder dir;
    std::filesystem::create_directories(dir.path / "palomir/settings");
    SettingsFile folder((dir.path / "palomir/settings").string());
    std::string problem;
    folder.Load(problem);
    EXPECT_NE(problem.find("palomir/settings ist ein Ordner, keine gewöhnliche Datei; sie bleibt"),
              std::string::npos)
        << problem;
  }
  // The game's own reader of the catalogs (Windows has no gettext) finds what gettext finds,
  // every counted form included.
  for (const std::string& language : have) {
    SCOPED_TRACE(language);
    MoCatalog mo;
    ASSERT_TRUE(mo.Load(std::string(PALOMIR_LOCALE) + "/" + language + "/LC_MESSAGES/palomir.mo",
                        language));
    UseLanguage(language, PALOMIR_LOCALE);
    for (unsigned long n : {0, 1, 2, 3, 5, 11, 21, 22, 25, 101, 111}) {
      EXPECT_STREQ(mo.FindN("minus %d decibel", n), TrN("minus %d decibel", "minus %d decibels", n));
    }
    EXPECT_STREQ(mo.Find("no sound output could be opened"), Tr("no sound output could be opened"));
    EXPECT_EQ(mo.Find("no line of the game"), nullptr);
  }
  EXPECT_FALSE(MoCatalog().Load(std::string(PALOMIR_LOCALE) + "/../CMakeCache.txt", "de"));
  {
    // A catalog cut short (its last string's end gone), or counting more lines than its
    // tables hold, is not read at all.
    std::ifstream in(std::string(PALOMIR_LOCALE) + "/de/LC_MESSAGES/palomir.mo", std::ios::binary);
    const std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    TempFolder dir;
    const std::string path = (dir.path / "palomir.mo").string();
    auto loads = [&](const std::string& data) {
      std::ofstream(path, std::ios::binary) << data;
      return MoCatalog().Load(path, "de");
    };
    std::string counted = whole;
    counted[9] = '\x7f';  // some 32 000 lines more
    EXPECT_TRUE(loads(whole));
    EXPECT_FALSE(loads(whole.substr(0, whole.size() - 1)));
    EXPECT_FALSE(loads(counted));
  }
  {
    // A catalog made here: (English, translation) pairs in the file's order, the header's
    // first. With `shared`, every translation is the one string of the first.
    auto catalog = [](const std::vector<std::pair<std::string, std::string>>& lines,
                      bool shared = false) {
      const auto n = static_cast<uint32_t>(lines.size());
      std::string head(28, '\0'), tables(16 * n, '\0'), strings;
      auto word = [](std::string& to, size_t at, uint32_t v) { std::memcpy(&to[at], &v, 4); };
      word(head, 0, 0x950412deu);
      word(head, 8, n);
      word(head, 12, 28);
      word(head, 16, 28 + 8 * n);
      size_t first = 0;
      for (uint32_t i = 0; i < 2 * n; ++i) {
        const std::string& text = i < n ? lines[i].first : lines[shared ? 0 : i - n].second;
        if (i == n) first = 28 + 16 * n + strings.size();
        word(tables, 8 * i, static_cast<uint32_t>(text.size()));
        word(tables, 8 * i + 4, static_cast<uint32_t>(shared && i > n ? first : 28 + 16 * n + strings.size()));
        if (!shared || i <= n) strings += text + '\0';
      }
      return head + tables + strings;
    };
    // Its own Plural-Forms, whatever the language's name says; a rule that is none leaves
    // the language's; a form past the count, or a division by zero, is the first form.
    const std::string russian =
        "nplurals=3; plural=n%10==1 && n%100!=11 ? 0 : n%10>=2 && n%10<=4 && (n%100<10 || "
        "n%100>=20) ? 1 : 2;";
    const std::string forms = std::string("one\0few\0many", 12);
    for (const auto& [rule, counts] : std::vector<std::pair<std::string, std::string>>{
             {russian, "many one few many one many"},     // 0 1 2 5 21 111
             {"nplurals=2; plural=n %% ;", "few one few few few few"},  // German's, by name
             {"nplurals=2; plural=(n>1;", "few one few few few few"},
             {"nplurals=2; plural=5;", "one one one one one one"},
             {"nplurals=3; plural=2/(n-n) + n%0;", "one one one one one one"},
             {"nplurals=3; plural=!(n<2) ? (n>=5 ? 2 : 1) : 0;", "one one few many many many"},
         }) {
      MoCatalog mo;
      ASSERT_TRUE(mo.Read(catalog({{"", "Plural-Forms: " + rule + "\n"},
                                   {std::string("%d goal\0%d goals", 15), forms}}),
                          "de"))
          << rule;
      std::string said;
      for (unsigned long n : {0, 1, 2, 5, 21, 111}) {
        said += std::string(said.empty() ? "" : " ") + mo.FindN("%d goal", n);
      }
      EXPECT_EQ(said, counts) << rule;
    }
    // 3,000 lines sharing one translation of a megabyte: kept once, not 3,000 times.
    std::vector<std::pair<std::string, std::string>> lines;
    for (int i = 0; i < 3000; ++i) lines.push_back({"line " + std::to_string(i), ""});
    lines[0].second = std::string(1 << 20, 'x');
    const std::string hostile = catalog(lines, true);
    MoCatalog mo;
    ASSERT_TRUE(mo.Read(hostile, "de"));
    EXPECT_EQ(std::strlen(mo.Find("line 2999")), size_t{1} << 20);
    EXPECT_LT(mo.kept(), 2 * hostile.size()) << hostile.size();
  }
  UseLanguage("", PALOMIR_LOCALE);
  EXPECT_EQ(CardLines({3, 7, 11, true})[1].text, "You 3   Computer 7");
}

// Whatever is found at the settings file's name, the game plays; only its own new file ever
// takes the name's place, and nothing elsewhere is written.
TEST(Settings, WhatIsNotThePlayersPlainFileIsLeftAloneOrKeptAside) {
  namespace fs = std::filesystem;
  using N = Settings::Name;
  auto put = [](const fs::path& p, const char* text) { std::ofstream(p) << text; };
  struct Row {
    const char* name;
    std::function<void(const fs::path& dir, const std::string& settings)> make;
    const char* problem;  // a part of the line said as the file is read; "" for none
    const char* error;    // a part of the line said when a change cannot be kept; "" if kept
    // Then: a file and a part of what it holds ("exactly:" and all it holds), or "link",
    // "fifo", "a gigabyte", "absent".
    std::vector<std::pair<const char*, const char*>> then;
  } rows[] = {
#ifndef _WIN32  // no links or FIFOs for a player on Windows
      {"a leftover settings.new that links elsewhere",
       [&](const fs::path& d, const std::string& p) {
         put(d / "outside", "not the game's\n");
         fs::create_symlink(d / "outside", p + ".new");
       },
       "", "", {{"outside", "not the game's\n"}}},
      {"a settings file that links to the player's dotfiles",
       [&](const fs::path& d, const std::string& p) {
         put(d / "dotfiles", "sound-volume = -6\n");
         fs::create_symlink(d / "dotfiles", p);
       },
       "", "", {{"palomir/settings", "link"}, {"dotfiles", "sound-volume = -6 "}}},
      {"a settings file that links to the player's notes (beside another program's file)",
       [&](const fs::path& d, const std::string& p) {
         put(d / "notes", "buy milk\n");
         put(d / ".settings-Ab3xYz", "not ours");
         fs::create_symlink(d / "notes", p);
       },
       "leads to", "does not hold the game's settings; it is left as it is",
       {{"palomir/settings", "link"},
        {"notes", "exactly:buy milk\n"},
        {"notes.bad", "absent"},
        {".settings-Ab3xYz", "exactly:not ours"}}},
      {"a link to settings with a line that is not one",
       [&](const fs::path& d, const std::string& p) {
         put(d / "dotfiles", "sound-volume = -6\nloud\n");
         fs::create_symlink(d / "dotfiles", p);
       },
       "dotfiles is not right at line 2", "",
       {{"palomir/settings", "link"}, {"dotfiles.bad", "loud"}, {"dotfiles", "sound-volume = -6 "}}},
      {"a link round in a loop",
       [&](const fs::path& d, const std::string& p) {
         fs::create_symlink(p, d / "loop");
         fs::create_symlink(d / "loop", p);
       },
       "a link that leads nowhere; it is left as it is", "a link that leads nowhere",
       {{"palomir/settings", "link"}}},
#endif
      {"what a game stopped while it saved left",
       [&](const fs::path& d, const std::string&) { put(d / "palomir/.settings-Ab3xYz", "speech"); },
       "", "", {{"palomir/.settings-Ab3xYz", "absent"}}},
      {"a bad file beside an earlier settings.bad",
       [&](const fs::path&, const std::string& p) { put(p, "loud\n"), put(p + ".bad", "first\n"); },
       "is not right at line 1", "",
       {{"palomir/settings.bad", "first\n"}, {"palomir/settings.bad.1", "loud\n"}}},
#ifndef _WIN32  // no links or FIFOs for a player on Windows
      {"a FIFO", [](const fs::path&, const std::string& p) { mkfifo(p.c_str(), 0600); },
       "is a pipe, not a plain file; it is left as it is", "is a pipe, not a plain file; it is left",
       {{"palomir/settings", "fifo"}}},
      {"endless zeros",
       [](const fs::path&, const std::string& p) { fs::create_symlink("/dev/zero", p); },
       "is a device, not a plain file", "is a device", {{"palomir/settings", "link"}}},
#endif
      {"a folder", [](const fs::path&, const std::string& p) { fs::create_directory(p); },
       "is a folder, not a plain file", "is a folder", {}},
      {"a gigabyte",
       [&](const fs::path&, const std::string& p) { put(p, ""), fs::resize_file(p, 1ull << 30); },
       "is 1073741824 bytes, too large", "", {{"palomir/settings.bad", "a gigabyte"}}},
      {"a read-only file",
       [&](const fs::path&, const std::string& p) {
         put(p, "speech-rate = 100\n");
         fs::permissions(p, fs::perms::owner_read | fs::perms::group_read);
       },
       "", "is read-only, so the game leaves it as it is", {{"palomir/settings", "= 100\n"}}},
      {"a folder that cannot be made",
       [&](const fs::path& d, const std::string&) { fs::remove(d / "palomir"), put(d / "palomir", ""); },
       "", "palomir could not be made (a file of that name is there)", {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    TempFolder dir;
    const std::string path = (dir.path / "palomir/settings").string();
    fs::create_directories(dir.path / "palomir");
    r.make(dir.path, path);
#ifndef _WIN32
    if (geteuid() == 0 && std::string(r.name) == "a read-only file") continue;
#endif
    SettingsFile file(path);
    std::string problem, kept_as, error;
    file.Load(problem);
    EXPECT_NE(problem.find(r.problem), std::string::npos) << problem;
    EXPECT_EQ(problem.empty(), !*r.problem) << problem;
    EXPECT_EQ(file.Save({{N::kSpeechRate, 300}}, kept_as, error), !*r.error) << error;
    EXPECT_NE(error.find(r.error), std::string::npos) << error;
    if (!*r.error) {
      EXPECT_EQ(SettingsFile(path).Load(problem).speech_rate, 300) << problem;
    }
    for (const auto& [name, what] : r.then) {
      const fs::path at = dir.path / name;
      const std::string w = what;
      if (w == "link" || w == "fifo") {
        EXPECT_TRUE(w == "link" ? fs::is_symlink(at) : fs::is_fifo(at)) << name;
      } else if (w == "absent") {
        EXPECT_FALSE(fs::exists(fs::symlink_status(at))) << name;
      } else if (w.starts_with("exactly:")) {
        EXPECT_EQ(dir.Read(name), w.substr(8)) << name;
      } else if (w == "a gigabyte") {
        EXPECT_EQ(fs::file_size(at), 1ull << 30);
      } else {
        EXPECT_NE(dir.Read(name).find(w), std::string::npos) << name << ": " << dir.Read(name);
      }
    }
  }

  // Two games changing settings at once: each change stays, and a reader never meets a
  // file half written.
  TempFolder dir;
  const std::string path = (dir.path / "palomir/settings").string();
  SettingsFile one(path), other(path);
  std::atomic<bool> writing{true};
  std::atomic<int> torn{0};
  std::thread reader([&] {
#ifdef _WIN32
    // Windows replaces no file another program holds open: a reader this busy would hold
    // every change off (the game gives one a second), so the two games write alone there.
    return;
#endif
    while (writing) {
      std::string problem;
      SettingsFile(path).Load(problem);
      torn += !problem.empty();
    }
  });
  auto changes = [&](SettingsFile& file, N name) {
    for (int i = 0; i < 200; ++i) {
      std::string kept_as, error;
      EXPECT_TRUE(file.Save({{name, -3 * (i % 10)}}, kept_as, error)) << error;
    }
  };
  std::thread first(changes, std::ref(one), N::kSpeechVolume);
  changes(other, N::kSoundVolume);
  first.join();
  writing = false;
  reader.join();
  std::string problem;
  EXPECT_EQ(SettingsFile(path).Load(problem), (Settings{175, -27, -27, 0}));
  EXPECT_EQ(torn, 0);

#ifndef _WIN32
  // No folder for the settings: said as it is.
  const char* home = std::getenv("HOME");
  const std::string home_was = home ? home : "";
  setenv("HOME", "", 1);
  setenv("XDG_CONFIG_HOME", "config", 1);
  std::string why;
  EXPECT_EQ(SettingsPath(&why), "");
  EXPECT_EQ(why, "the settings cannot be kept: XDG_CONFIG_HOME (config) is not a whole path from "
                 "/, and HOME is not set");
  setenv("HOME", home_was.c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");
#endif
}

// The file layer's answers where the disk or the folder says no: a full disk is a failure;
// a rename that must not replace (by a second name too, where the file system has no such
// rename) keeps both files when the name is taken; descriptor 0 is a file like any other.
TEST(Files, AFullDiskFailsARenameNeverReplacesAndDescriptorZeroIsAFile) {
  namespace fs = std::filesystem;
  TempFolder dir;
  const std::string a = (dir.path / "a").string(), b = (dir.path / "b").string();
  auto text = [](const fs::path& p) {
    std::stringstream holds;
    holds << std::ifstream(p).rdbuf();
    return holds.str();
  };
  std::vector<int (*)(const std::string&, const std::string&)> renames = {files::RenameNoReplace};
#ifndef _WIN32
  renames.push_back(files::RenameByLink);
#endif
  // A root is never made: on a network folder (%APPDATA% on a share, as in offices) the
  // settings' folders are made below the share.
  const std::vector<std::pair<std::string, size_t>> roots = {
      {"a/b", 0},
#ifdef _WIN32
      {"C:\\Users\\a", 3}, {"\\\\server\\share\\a\\b", 15}, {"//server/share", 14},
      {"\\\\?\\UNC\\server\\share\\a", 21}, {"\\\\?\\C:\\a", 7}, {"\\a", 1}, {"C:a", 0},
#else
      {"/home/a", 1},
#endif
  };
  for (const auto& [path, root] : roots) EXPECT_EQ(files::RootLength(path), root) << path;
  for (auto rename : renames) {
    std::ofstream(a) << "new";
    std::ofstream(b) << "the player's";
    EXPECT_EQ(rename(a, b), EEXIST);
    EXPECT_TRUE(fs::exists(a));
    EXPECT_EQ(rename(a, (dir.path / "c").string()), 0);
    EXPECT_FALSE(fs::exists(a));
    EXPECT_EQ(text(b) + "/" + text(dir.path / "c"), "the player's/new");
    fs::remove(dir.path / "c");
  }
#ifndef _WIN32
  int error = 0;
  const int full = files::OpenFile("/dev/full", files::kWrite, error);
  ASSERT_GE(full, 0) << error;
  EXPECT_FALSE(files::WriteAll(full, "speech", 6, error));
  EXPECT_EQ(error, ENOSPC);
  files::Close(full);
  // Started with no standard input (by a launcher that closes it), the first file the game
  // opens is descriptor 0: locked and let go, written to.
  const int saved = dup(0);
  close(0);
  const int lock = files::LockFolder(dir.path.string());
  EXPECT_EQ(lock, 0);
  files::Unlock(lock);
  const int other = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);  // let go
  close(other);
  {
    LineFile trace((dir.path / "trace").string(), "trace");
    trace.Line("call");
  }
  dup2(saved, 0);
  close(saved);
  EXPECT_EQ(text(dir.path / "trace"), "call\n");
#endif
}

}  // namespace
}  // namespace palomir::testing
