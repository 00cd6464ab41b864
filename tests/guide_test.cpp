// The player's guide on the virtual machine: each key's effect and what it says, the game
// held still while the help or the tour plays and going on exactly where it stood, and the
// settings file read, written, overridden and, when it is not right, kept.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "app/options.h"
#include "game_fixture.h"
#include "help/guide.h"
#include "platform/keycodes.h"
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
  // Runs until the guide has finished, at most a minute.
  void RunGuide() {
    for (int i = 0; i < 600 && guide->mode() != Guide::Mode::kIdle; ++i) vp.RunFor(0.1);
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

TEST(Guide, AKeyPressDuringTheHelpStillRunsTheRules) {
  GuidedGame g;
  g.Key(dik::kF1);
  g.Key(dik::kUp);  // the speed level, as at any time
  EXPECT_EQ(g.f.SpeedLevel, 11);
  EXPECT_EQ(g.Said()[1], "11");
  EXPECT_TRUE(g.vp.game_held());
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
  ~TempFolder() { std::filesystem::remove_all(path); }
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
    ASSERT_TRUE(file.Save(changed, kept_as, error)) << error;
    EXPECT_EQ(kept_as, r.problem ? path + ".bad" : "");
    if (r.problem) {
      EXPECT_EQ(dir.Read("palomir/settings.bad"), r.text);
    }
    SettingsFile again(path);
    EXPECT_EQ(again.Load(problem), changed);
    EXPECT_EQ(problem, "");
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
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
  SettingsFile written((dir.path / "palomir/settings").string());
  EXPECT_EQ(written.Load(problem), (Settings{200, 0, 0, 0}));

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

}  // namespace
}  // namespace palomir::testing
