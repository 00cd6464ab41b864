// Start-up, the sound bank, a new game, the pause and the ways out.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "app/options.h"
#include "app/run.h"
#include "game_fixture.h"
#include "help/guide.h"
#include "platform/call_log.h"
#include "platform/keycodes.h"
#include "platform/line_file.h"
#include "platform/recording.h"
#include "temp_folder.h"

namespace palomir::testing {
namespace {

using Strings = std::vector<std::string>;

Strings Trace(const Game& g) {
  Strings out;
  for (const auto& c : g.vp.calls()) {
    if (c.object.find(".wav") != std::string::npos || c.object.find("Timer") != std::string::npos)
      continue;
    out.push_back(c.object + " " + c.op + (c.failed ? " FAILED" : ""));
  }
  return out;
}

TEST(FormLoad, BuildsEverythingInItsOrder) {
  Game g;
  g.Load();
  const Strings expected = {
      "platform CreateVoice",
      "window SetCurrentDirectory",
      "window Show",
      "platform CreateDxRoot",
      "DxRoot DirectSoundCreate",
      "SoundDevice SetCooperativeLevel",
      "DxRoot DirectInputCreate",
      "InputRoot CreateDevice GUID_SysKeyboard",
      "InputRoot CreateDevice guid_SysMouse",
      "guid_SysMouse SetCommonDataFormat",
      "guid_SysMouse SetCooperativeLevel",
      "guid_SysMouse SetProperty",
      "DxRoot CreateEvent",
      "guid_SysMouse SetEventNotification",
      "guid_SysMouse Acquire",
      "GUID_SysKeyboard SetCommonDataFormat",
      "GUID_SysKeyboard SetCooperativeLevel FAILED",
      "GUID_SysKeyboard SetEventNotification",
      "GUID_SysKeyboard Acquire",
  };
  Strings trace = Trace(g);
  ASSERT_GE(trace.size(), expected.size() + 10);
  EXPECT_EQ(Strings(trace.begin(), trace.begin() + expected.size()), expected);
  for (size_t i = 0; i < kSoundFiles.size(); ++i) {
    EXPECT_EQ(trace[expected.size() + i],
              std::string("SoundDevice CreateSoundBufferFromFile /palomir/sounds/") +
                  kSoundFiles[i].file);
  }
  EXPECT_EQ(g.f.HitTolerance, 2000);
  EXPECT_EQ(g.o.BufferDesc.flags, 224);
  EXPECT_NE(g.f.EventHandle, 0);
  EXPECT_TRUE(g.errors.empty()) << g.errors.front();  // the refused background level is expected
  EXPECT_EQ(g.Calls("guid_SysMouse")[1], "SetCooperativeLevel 5");
  EXPECT_EQ(g.Calls("guid_SysMouse")[2], "SetProperty 10");
  EXPECT_EQ(g.Calls("GUID_SysKeyboard")[1], "SetCooperativeLevel 9");
}

TEST(FormLoad, NoTimerTicksBeforeTheFirstNewGameGivesIntervals) {
  Game g;
  EXPECT_TRUE(g.f.RightTimer.Enabled());
  EXPECT_TRUE(g.f.ToTimer.Enabled());
  EXPECT_FALSE(g.f.LeftTimer.Enabled());
  EXPECT_EQ(g.f.RightTimer.Interval(), 0);
  EXPECT_FALSE(g.vp.Timers().NextDue().has_value());
  EXPECT_EQ(g.f.LateralSpeed, 0);
  EXPECT_EQ(g.f.GameOver, kFalse);
}

TEST(FormLoad, AFailedStepIsReportedAndTheRestGoesOn) {
  Game g;
  g.vp.no_voice = true;
  g.Load();
  ASSERT_EQ(g.errors.size(), 2u);  // the step, and a line for the player
  EXPECT_EQ(g.errors[1].rfind("the voice could not be started (", 0), 0u) << g.errors[1];
  EXPECT_NE(g.errors[0].find("step 2"), std::string::npos);
  EXPECT_FALSE(g.f.Voice);
  EXPECT_TRUE(g.o.SoundBackground);  // the rest of start-up happened
  EXPECT_TRUE(g.f.RightTimer.Enabled());
  EXPECT_EQ(g.f.RightTimer.Interval(), 10);  // and the game plays, silently
}

TEST(FormLoad, WithoutInputRootEveryInputStepFailsButTheEvent) {
  Game g;
  g.vp.no_input = true;
  EXPECT_FALSE(g.f.Form_Load());
  Strings steps;
  for (const auto& e : g.errors) {
    if (e.rfind("start-up step ", 0) == 0) steps.push_back(e.substr(14, e.find(' ', 14) - 14));
  }
  EXPECT_EQ(steps, (Strings{"10", "11", "12", "13", "14", "15", "17", "18", "19", "21", "22"}));
  EXPECT_NE(g.f.EventHandle, 0);  // step 16 still made the event
  EXPECT_NE(g.errors.back().find("mouse"), std::string::npos);
}

TEST(FormLoad, NoSoundDeviceMeansNoGameSaidAloudAndEverythingReleased) {
  Game g;
  g.vp.no_sound_device = true;
  EXPECT_FALSE(g.f.Form_Load());
  ASSERT_FALSE(g.vp.spoken().empty());
  EXPECT_EQ(g.vp.spoken().back().text, "Palomir cannot start: no sound output could be opened.");
  EXPECT_EQ(g.vp.spoken().back().flags, kSpeakWait);
  EXPECT_EQ(g.errors.back(),
            "no sound output could be opened (this machine has no sound card); is a sound server "
            "running?");
  EXPECT_FALSE(g.o.DxRoot);
  EXPECT_FALSE(g.o.MouseDevice);
  EXPECT_FALSE(g.o.InputRoot);
  EXPECT_EQ(g.Said().size(), 1u);  // no welcome: no game starts
}

TEST(LoadSounds, OneFileMissingLeavesItAndEveryLaterRowAbsent) {
  Game g;
  g.vp.RemoveFile("rebound.wav");
  EXPECT_FALSE(g.f.Form_Load());
  ASSERT_GE(g.errors.size(), 3u);
  EXPECT_EQ(g.errors[0],
            "start-up step 23 (LoadSounds): the sound file /palomir/sounds/rebound.wav is missing");
  EXPECT_EQ(g.errors[1], "the sound file /palomir/sounds/rebound.wav is missing");
  EXPECT_EQ(g.errors[2],
            "reinstall the game, or name the folder that holds its sounds with --sounds");
  EXPECT_EQ(g.Said().back(),
            "Palomir cannot start: the sound file rebound.wav could not be loaded.");

  Game h;
  h.vp.RemoveFile("rebound.wav");
  ASSERT_TRUE(h.vp.CreateDxRoot(h.o.DxRoot).ok());
  ASSERT_TRUE(h.o.DxRoot->DirectSoundCreate("", h.o.SoundDevice).ok());
  EXPECT_THROW(LoadSounds(h.o, h.vp), RuntimeError);
  EXPECT_TRUE(h.o.SoundBuzz && h.o.SoundGoal && h.o.SoundPuck && h.o.SoundSideBounce);
  EXPECT_FALSE(h.o.SoundRebound || h.o.SoundPaddle || h.o.SoundOpponentHit ||
               h.o.SoundOpponentPaddleSlide || h.o.SoundPaddleSlide || h.o.SoundBackground);
}

TEST(LoadSounds, ANameInTheWrongCaseIsAnotherFile) {
  Game g;
  g.vp.RemoveFile("SideBounce.wav");
  g.vp.files()["sidebounce.wav"] = {};
  EXPECT_FALSE(g.f.Form_Load());
  EXPECT_EQ(g.Said().back(),
            "Palomir cannot start: the sound file SideBounce.wav could not be loaded.");
  EXPECT_TRUE(g.o.SoundPuck == nullptr);  // released before exit
}

TEST(LoadSounds, AMissingBackgroundIsOnlyAWarning) {
  Game g;
  g.vp.RemoveFile("background.wav");
  g.Load();
  ASSERT_EQ(g.errors.size(), 2u);
  EXPECT_EQ(g.errors[1],
            "the sound file /palomir/sounds/background.wav is missing; the game plays without it");
  EXPECT_TRUE(g.o.SoundPaddleSlide);
  EXPECT_EQ(g.f.ToTimer.Interval(), 1);
}

TEST(LoadSounds, AnUnreadableFileStopsTheBankThere) {
  Game g;
  g.vp.files()["puck.wav"].bad = "is not a sound the game can play (not a readable WAV file)";
  EXPECT_FALSE(g.f.Form_Load());
  EXPECT_TRUE(std::any_of(g.errors.begin(), g.errors.end(), [](const std::string& e) {
    return e ==
           "the sound file /palomir/sounds/puck.wav is not a sound the game can play (not a "
           "readable WAV file)";
  }));
}

TEST(ReleaseAudioAndInput, ChildrenGoBeforeParentsAndAbsentObjectsAreFine) {
  Game g;
  g.Load();
  g.vp.ClearRecords();
  EXPECT_THROW(g.f.QuitGame(), WindowUnloaded);
  Strings order;
  for (const auto& c : g.vp.calls()) order.push_back(c.object + " " + c.op);
  Strings expected;
  for (const SoundFile& row : kSoundFiles) expected.push_back(std::string(row.file) + " Release");
  for (const char* s : {"GUID_SysKeyboard Release", "guid_SysMouse Release", "InputRoot Release",
                        "SoundDevice Release", "DxRoot Release", "window Unload"}) {
    expected.push_back(s);
  }
  EXPECT_EQ(order, expected);
  EXPECT_TRUE(g.vp.unloaded());

  ProgramObjects nothing;
  EXPECT_NO_THROW(ReleaseAudioAndInput(nothing));
}

TEST(NewGame, SetsTheTableAndStartsTheTimers) {
  Game g;
  g.Load();
  ASSERT_EQ(g.vp.spoken().size(), 1u);
  EXPECT_EQ(g.vp.spoken()[0].text, "Welcome to Palomir: a Vossk game");
  EXPECT_EQ(g.vp.spoken()[0].flags, kSpeakAsync);
  EXPECT_EQ(g.f.GameOver, kFalse);
  EXPECT_EQ(g.f.OpponentPace, 1);
  EXPECT_EQ(g.f.LateralSpeed, 1);
  EXPECT_EQ(g.f.DepthSpeed, 80);
  EXPECT_EQ(g.f.SpeedLevel, 10);
  EXPECT_EQ(g.PuckVolume(), -6000);
  EXPECT_EQ(g.PuckPan(), 0);
  EXPECT_EQ(g.PaddleVolume(), -2000);
  EXPECT_TRUE(g.vp.mixer()->Playing(2));  // the puck, third sound loaded
  EXPECT_EQ(g.Calls("puck.wav"),
            (Strings{"SetVolume -6000", "SetCurrentPosition 0", "Play 1", "SetPan 0"}));
  EXPECT_EQ(g.f.RightTimer.Interval(), 10);
  EXPECT_EQ(g.f.LeftTimer.Interval(), 10);
  EXPECT_EQ(g.f.ToTimer.Interval(), 1);
  EXPECT_EQ(g.f.FroTimer.Interval(), 1);
  EXPECT_TRUE(g.Right() && g.Toward());
  // The welcome pause starts on a whole second: from 10:00:00.0 it lasts exactly 2 s.
  EXPECT_NEAR(g.vp.Now(), 2.0, 1e-3);
}

TEST(NewGame, AfterAFinishedGameTheOldPuckRunsOnUnderTheWelcome) {
  Game g;
  g.Load();
  g.f.GameOver = kTrue;
  g.f.OpponentPace = 7;
  g.f.OpponentPan = 400;
  g.f.LateralSpeed = 300;
  g.f.DepthSpeed = 60;
  g.f.SpeedLevel = 3;
  g.GoingLeft();
  g.Retreating();
  g.Puck(1000, -1000);
  g.vp.ClearRecords();
  g.f.NewGame();
  // During the pause the old timers moved the puck with the old speeds.
  const Strings puck = g.Calls("puck.wav");
  EXPECT_GT(std::count(puck.begin(), puck.end(), "SetPan 700"), 0);
  EXPECT_EQ(g.f.GameOver, kFalse);
  EXPECT_EQ(g.f.OpponentPace, 1);
  EXPECT_EQ(g.f.OpponentPan, 0);
  EXPECT_EQ(g.f.LateralSpeed, 1);
  EXPECT_EQ(g.f.DepthSpeed, 80);
  EXPECT_EQ(g.f.SpeedLevel, 10);
  EXPECT_EQ(g.PuckVolume(), -6000);
  EXPECT_EQ(g.PuckPan(), 0);
  EXPECT_TRUE(g.Right() && g.Toward());
}

TEST(NewGame, AnArrowDuringTheWelcomeIsHeardThenTheLevelIsSetBack) {
  Game g;
  g.vp.At(0.5, [&] { g.vp.KeyDown(dik::kUp); });
  g.vp.At(0.6, [&] { g.vp.KeyUp(dik::kUp); });
  g.Load();
  EXPECT_EQ(g.Said(), (Strings{"Welcome to Palomir: a Vossk game", "1"}));
  EXPECT_EQ(g.f.SpeedLevel, 10);
}

TEST(NewGame, MouseDuringTheWelcomeAlreadyMovesThePaddle) {
  Game g;
  g.vp.At(1.0, [&] { g.vp.MouseMove(10, 0); });
  g.Load();
  EXPECT_EQ(g.PaddlePan(), 40);
}

double PauseLength(double time_of_day, double seconds) {
  Game g;
  g.vp.SetTimeOfDay(time_of_day);
  const double before = g.vp.Now();
  g.f.Pause(seconds);
  return g.vp.Now() - before;
}

TEST(Pause, StartsFromTheNearestWholeSecondHalfToEven) {
  EXPECT_NEAR(PauseLength(10.4, 2), 1.6, 1e-3);
  EXPECT_NEAR(PauseLength(10.5, 2), 1.5, 1e-3);
  EXPECT_NEAR(PauseLength(10.6, 2), 2.4, 1e-3);
  EXPECT_NEAR(PauseLength(11.5, 2), 2.5, 1e-3);
  EXPECT_NEAR(PauseLength(10.4, 0), 0.0, 1e-9);
  EXPECT_NEAR(PauseLength(10.6, 0), 0.4, 1e-3);
}

TEST(Pause, AcrossMidnightLastsAsLongAsAnyOtherTime) {
  EXPECT_NEAR(PauseLength(86399.4, 2), 1.6, 0.01);
  EXPECT_NEAR(PauseLength(86399.6, 2), 2.4, 0.01);
  EXPECT_NEAR(PauseLength(86398.0, 2), 2.0, 0.01);
}

TEST(Pause, TestsBeforeItProcessesAnything) {
  Game g;
  g.Load();
  g.vp.SetTimeOfDay(100.2);
  g.vp.KeyDown(dik::kUp);
  g.f.Pause(0);
  EXPECT_EQ(g.f.SpeedLevel, 10);  // the pending key was not handled
  g.f.Pause(1);
  EXPECT_EQ(g.f.SpeedLevel, 11);
}

TEST(Closing, TheCloseBoxReleasesEverythingAndExitsCleanly) {
  for (double at : {1.0, 3.0}) {  // during the welcome, and during play
    VirtualPlatform vp;
    vp.At(at, [&] { vp.RequestClose(); });
    Strings errors;
    EXPECT_EQ(RunGame(vp,
                      [&](MainForm& f) {
                        f.on_error = [&](const std::string& e) { errors.push_back(e); };
                      }),
              0);
    EXPECT_TRUE(vp.unloaded());
    EXPECT_EQ(vp.calls().back().object, "DxRoot");
    EXPECT_EQ(vp.calls().back().op, "Release");
    EXPECT_TRUE(errors.empty());
  }
}

TEST(Closing, DuringTheEndOfGameSpeechAndDuringTheReplayPause) {
  for (bool replay : {false, true}) {
    VirtualPlatform vp;
    MainForm* form = nullptr;
    vp.At(2.5, [&] { form->ComputerScore = 49; });
    vp.At(8.0, [&] {
      if (replay) vp.KeyDown(dik::kY);  // the answer: a pause, then a new game...
    });
    vp.At(replay ? 8.5 : 3.0, [&] { vp.RequestClose(); });  // ...or the speech, cut short
    Strings errors;
    EXPECT_EQ(RunGame(vp,
                      [&](MainForm& f) {
                        form = &f;
                        f.on_error = [&](const std::string& e) { errors.push_back(e); };
                      }),
              0);
    EXPECT_TRUE(vp.unloaded());
    EXPECT_EQ(vp.calls().back().object + " " + vp.calls().back().op, "DxRoot Release");
    EXPECT_TRUE(errors.empty());
    // Closing cuts the announcement short: no line is queued after the close.
    if (replay) {
      ASSERT_GE(vp.spoken().size(), 7u);
    } else {
      ASSERT_EQ(vp.spoken().size(), 2u);
    }
    EXPECT_EQ(vp.spoken()[1].text, "The score is");
  }
}

// The window's card follows the game: drawn at the start, then only when the score, the
// speed level or the end of a game changes what it says.
TEST(Card, FollowsTheScoreTheSpeedLevelAndTheEndOfAGame) {
  VirtualPlatform vp;
  MainForm* form = nullptr;
  vp.At(2.5, [&] { vp.KeyDown(dik::kUp); });
  vp.At(2.6, [&] {
    vp.KeyUp(dik::kUp);
    form->ComputerScore = 49;  // the puck goes on into the goal mouth: 50, the end
  });
  vp.At(12.0, [&] { vp.RequestClose(); });
  EXPECT_EQ(RunGame(vp, [&](MainForm& f) { form = &f; }), 0);
  const std::string keys =
      "Mouse: paddle    Keys 1-9, Q-O, A-L, Z-.: hit\nMiddle button: score    Up, Down: speed level"
      "\nF1 help    F2 sounds    F3 score    F4 speeds"
      "\nF5-F8 voice    F9, F10 sounds (Shift: background)";
  const Strings want = {
      "Palomir\nYou 0   Computer 0\n\n\n" + keys,
      "Palomir\nYou 0   Computer 0\nSpeed level 10\n\n" + keys,
      "Palomir\nYou 0   Computer 0\nSpeed level 11\n\n" + keys,
      "Palomir\nYou 0   Computer 49\nSpeed level 11\n\n" + keys,
      // the goal and the end of the game come in the same handler: drawn once
      "Palomir\nYou 0   Computer 50\nSpeed level 11\nGame over: Y plays again, N quits\n" + keys,
  };
  EXPECT_EQ(vp.cards(), want);
}

// The keys are named as the player's keyboard labels them, and the key labelled Y or N
// answers after a game, wherever the layout has it (by its American place where the layout
// has no such letter). The German game, recorded, replays the same on an American layout.
TEST(Card, KeysAreNamedAndAnswerAsThePlayersLayoutLabelsThem) {
  struct Row {
    const char* layout;
    uint8_t stray;   // a key that is no answer here, pressed first (0: none)
    uint8_t answer;  // then the key labelled Y (a new game) or N (the end)
    bool again;
    const char* card;  // the game-over line and the grid's keys
    const char* grid;     // the help's line on the grid
    const char* answers;  // and its line on the answer
  };
  const Row rows[] = {
      {"us", 0, dik::kN, false,
       "Game over: Y plays again, N quits\nMouse: paddle    Keys 1-9, Q-O, A-L, Z-.",
       "1 to 9, Q to O, A to L and Z to full stop", "Y plays again and N quits"},
      {"de", dik::kY, dik::kZ, true,
       "Game over: Y plays again, N quits\nMouse: paddle    Keys 1-9, Q-O, A-L, Y-.",
       "1 to 9, Q to O, A to L and Y to full stop", "Y plays again and N quits"},
      {"fr", dik::kZ, dik::kN, false,
       "Game over: Y plays again, N quits\nMouse: paddle    Keys 1-9, A-O, Q-L, W-:",
       "1 to 9, A to O, Q to L and W to colon", "Y plays again and N quits"},
      {"ru", dik::kZ, dik::kY, true,
       "Game over: Н plays again, Т quits\nMouse: paddle    Keys 1-9, Й-Щ, Ф-Д, Я-Ю",
       "1 to 9, Й to Щ, Ф to Д and Я to Ю", "Н plays again and Т quits"},
  };
  const std::filesystem::path folder = testing::MakeTempFolder("palomir-layouts");
  const std::string path = testing::Utf8(folder / "de.recording");
  std::vector<std::string> german;  // the German game's calls, in the trace's words
  std::vector<std::string> german_cards;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.layout);
    VirtualPlatform vp;
    vp.SetLayout(row.layout);
    const auto help = Guide::HelpLines(*vp.layout_);
    EXPECT_NE(help[3].find(row.grid), std::string::npos) << help[3];
    EXPECT_NE(help[4].find(row.answers), std::string::npos) << help[4];
    std::unique_ptr<LineFile> file;
    std::unique_ptr<Recorder> recorder;
    if (row.layout == std::string("de")) {
      file = std::make_unique<LineFile>(path, "recording");
      std::string kept;
      ASSERT_TRUE(file->Begin(false, kept));
      recorder = std::make_unique<Recorder>(*file);
      vp.set_recorder(recorder.get());
    }
    // The game starts on the American layout and the player changes to theirs.
    vp.SetLayout("us");
    vp.At(1.0, [&] { vp.SetLayout(row.layout); });
    if (row.stray) vp.At(7.0, [&] { vp.KeyDown(row.stray); });
    if (row.stray) vp.At(7.1, [&] { vp.KeyUp(row.stray); });
    vp.At(9.0, [&] { vp.KeyDown(row.answer); });
    vp.At(9.1, [&] { vp.KeyUp(row.answer); });
    vp.At(13.0, [&] { vp.RequestClose(); });
    // The first goal ends the game.
    EXPECT_EQ(RunGame(vp, [](MainForm& f) { f.ComputerScore = 49; }), 0);
    const auto& cards = vp.cards();
    EXPECT_TRUE(std::any_of(cards.begin(), cards.end(), [&](const std::string& c) {
      return c.find(row.card) != std::string::npos;
    })) << cards.back();
    // The card follows the new layout at once, in the welcome, before the speed level shows.
    const std::string grid_keys = std::string(row.card).substr(std::string(row.card).find('\n'));
    EXPECT_TRUE(std::any_of(cards.begin(), cards.end(), [&](const std::string& c) {
      return c.find("Speed level") == std::string::npos && c.find(grid_keys) != std::string::npos;
    })) << cards.front();
    // Answered by the labelled key, at 9 s, never by the stray one: a new game's welcome
    // after the answer's 2 s pause, or the end there.
    std::vector<double> welcomes;
    for (const auto& line : vp.spoken()) {
      if (line.text == "Welcome to Palomir: a Vossk game") welcomes.push_back(line.at);
    }
    ASSERT_EQ(welcomes.size(), row.again ? 2u : 1u);
    const double answered = row.again ? welcomes[1] - 2.0 : vp.Now();
    EXPECT_TRUE(answered >= 9.0 && answered < 9.1) << answered;
    if (recorder) {
      vp.set_recorder(nullptr);
      recorder.reset();
      file.reset();
      german = TracedLines(vp);
      german_cards = vp.cards();
    }
  }
  // Replayed on the American layout: the same calls, the same new game.
  VirtualPlatform us;
  us.StartReplay(RecordedReplay(path));
  try {
    RunGame(us, [](MainForm& f) { f.ComputerScore = 49; });
  } catch (const ReplayEnded&) {
  }
  EXPECT_EQ(TracedLines(us), german);
  EXPECT_EQ(us.cards(), german_cards);  // the German keys, by the layout the recording keeps
  std::filesystem::remove_all(folder);
}

TEST(Closing, NoGameMeansStatusOneEvenWhenClosedDuringTheReason) {
  for (bool close : {false, true}) {
    VirtualPlatform vp;
    vp.RemoveFile("puck.wav");
    vp.RemoveFile("buzz.wav");
    if (close) vp.At(0.5, [&] { vp.RequestClose(); });  // the line lasts about 4 s
    EXPECT_EQ(RunGame(vp, [](MainForm& f) { f.on_error = [](const std::string&) {}; }), 1);
    EXPECT_EQ(vp.spoken().back().text,
              "Palomir cannot start: the sound file buzz.wav could not be loaded.");
    EXPECT_LT(vp.Now(), close ? 1.0 : 5.0);
    EXPECT_EQ(vp.calls().back().object + " " + vp.calls().back().op, "DxRoot Release");
  }
}

TEST(CommandLine, OptionsAndBadUsage) {
  struct Row {
    std::vector<std::string> args;
    std::string error;  // empty: understood
    Options::Speech speech = Options::Speech::kEmbedded;
    std::string sounds = "";
  };
  const Row rows[] = {
      {{"palomir"}, ""},
      {{"palomir", "--speech=system", "--sounds", "/s"}, "", Options::Speech::kSystem, "/s"},
      {{"palomir", "--speech", "embedded"}, ""},
      {{"palomir", "--speech"}, "option '--speech' needs a value"},
      {{"palomir", "--speech=loud"}, "--speech takes embedded or system, not 'loud'"},
      {{"palomir", "--sounds="}, "--sounds needs a folder"},
      {{"palomir", "--record="}, "--record needs a file"},
      {{"palomir", "--bogus"}, "unknown option '--bogus'"},
      {{"palomir", "-x"}, "unknown option '-x'"},
      {{"palomir", "extra"}, "unexpected argument 'extra'"},
      {{"palomir", "--host=0"}, "--host takes a port from 1 to 65535, not '0'"},
      {{"palomir", "--host="}, "--host takes a port from 1 to 65535, not ''"},
      {{"palomir", "--join=10.0.0.2:65536"}, "--join takes a port from 1 to 65535, not '65536'"},
      {{"palomir", "--join=:4510"}, "--join takes ADDRESS or ADDRESS:PORT, such as 192.168.1.20:4510"},
      {{"palomir", "--host", "--join=a"}, "--host and --join each start a match: name one of them, once"},
  };
  for (const Row& r : rows) {
    Options o;
    std::string error;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ParseOptions(r.args, o, error), r.error.empty()) << r.args.back();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // the caller prints one message
    EXPECT_EQ(error, r.error) << r.args.back();
    if (r.error.empty()) {
      EXPECT_EQ(o.speech, r.speech);
      EXPECT_EQ(o.sounds, r.sounds);
    }
  }
  Options o;
  std::string error;
  ASSERT_TRUE(ParseOptions({"palomir", "-h", "--version", "--record", "a", "--trace=b"}, o, error));
  EXPECT_TRUE(o.help && o.version);
  EXPECT_EQ(o.record + o.trace, "ab");
  // A match: hosted on the usual port or one named, joined at an address with its port, or
  // with the address to be asked for.
  o = Options{};
  ASSERT_TRUE(ParseOptions({"palomir", "--host"}, o, error));
  EXPECT_TRUE(o.match == Options::Match::kHost && !o.port);
  o = Options{};
  ASSERT_TRUE(ParseOptions({"palomir", "--join=192.168.1.20:4600"}, o, error));
  EXPECT_TRUE(o.match == Options::Match::kJoin && o.address == "192.168.1.20" && o.port == 4600);
  o = Options{};
  ASSERT_TRUE(ParseOptions({"palomir", "--join"}, o, error));
  EXPECT_TRUE(o.match == Options::Match::kJoin && o.address.empty() && !o.port);
  o = Options{};  // Windows' way to ask for the help
  ASSERT_TRUE(ParseOptions({"palomir", "/?"}, o, error));
  EXPECT_TRUE(o.help);
}

TEST(CommandLine, TheSoundsAreLookedForBesideTheProgramThenWhereItWasInstalled) {
  namespace fs = std::filesystem;
  const fs::path root = MakeTempFolder("palomir-find");
  const std::string games = (root / "games").string(), share = (root / "share/palomir/sounds").string();
  fs::create_directories(games);
  fs::create_directories(share);
  // The same folder, however it is written ("games/../share" or with the other separator).
  auto same = [](const std::string& a, const std::string& b) {
    return fs::weakly_canonical(a) == fs::weakly_canonical(b);
  };
  struct Row {
    const char* beside;  // what "sounds" beside the program is: "", "file" or "folder"
    const char* asked;
    std::string found;
  };
  for (const Row& r : {Row{"", "/my/sounds", "/my/sounds"},
                       {"", "", share},
                       {"file", "", share},  // a file of that name is not the folder
                       {"folder", "", games + "/sounds"}}) {
    fs::remove_all(games + "/sounds");
    if (std::string(r.beside) == "file") std::ofstream(fs::path(games) / "sounds");
    if (std::string(r.beside) == "folder") fs::create_directory(games + "/sounds");
    const std::string found = FindSounds(games, r.asked);
    EXPECT_TRUE(same(found, r.found)) << r.beside << " " << r.asked << ": " << found;
  }
  fs::remove_all(games + "/sounds");
  fs::remove_all(root / "share");
  EXPECT_EQ(FindSounds(games, ""), games + "/sounds");  // neither: the first place looked
  fs::remove_all(root);
}

}  // namespace
}  // namespace palomir::testing
