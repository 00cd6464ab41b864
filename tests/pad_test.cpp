// A gamepad: its stick and buttons reach the rules exactly as the mouse and keys they stand
// for, and the rumble law's calls, on the virtual machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "game_fixture.h"
#include "platform/call_log.h"
#include "platform/keycodes.h"
#include "platform/line_file.h"
#include "platform/recording.h"

namespace palomir::testing {
namespace {

struct PadGame : Game {
  explicit PadGame(bool pad = true) {
    Load();
    if (pad) vp.PadAdded();
    vp.PadMoved({0, 0});  // where the stick rests
    vp.DoEvents();
    (void)vp.TakeTold();
    vp.ClearRecords();
  }
  void Stick(int32_t x, int32_t y) {
    vp.PadMoved({x, y});
    vp.DoEvents();
  }
  void Push(PadButton b) {
    vp.PadPressed(b, true);
    vp.DoEvents();
    vp.PadPressed(b, false);
    vp.DoEvents();
  }
  std::vector<std::string> Trace() const {
    std::vector<std::string> out = Changes();
    for (const auto& s : vp.spoken()) out.push_back("say " + s.text);
    return out;
  }
};

TEST(Pad, StickAndButtonsReachTheRulesAsTheMouseAndKeys) {
  auto near_puck = [](PadGame& g) { g.Puck(0, -1000), g.Paddle(0, -500), g.Approaching(); };
  auto asking = [](PadGame& g) { g.f.GameOver = kTrue, g.vp.set_answering(true); };
  using In = RawInput;
  struct Row {
    const char* what;
    std::function<void(PadGame&)> setup;
    std::optional<PadButton> button;  // pushed and let go; else the stick moved to `stick`
    PadStick stick;
    std::vector<RawInput> same;  // the mouse and keys it stands for, one pump each
    double run = 0;              // seconds played after
  } rows[] = {
      {"stick right", {}, {}, {32767, 0}, {In::MouseMove(1200, 263)}},
      {"stick back left", {}, {}, {-32768, 32767}, {In::MouseMove(-1200, 500)}},
      {"trembling in the middle", {}, {}, {3000, -2000}, {}},
      {"a push forward hits", near_puck, {}, {0, -32768}, {In::MouseMove(0, -350)}, 0.05},
      {"A serves", {}, PadButton::kA, {}, {In::Button(0, true), In::Button(0, false)}},
      {"X the speeds", {}, PadButton::kX, {}, {In::Button(1, true), In::Button(1, false)}},
      {"Y the score", {}, PadButton::kY, {}, {In::Button(2, true), In::Button(2, false)}},
      {"B in play", {}, PadButton::kB, {}, {}},
      {"up", {}, PadButton::kUp, {}, {In::KeyDown(dik::kUp), In::KeyUp(dik::kUp)}},
      {"down", {}, PadButton::kDown, {}, {In::KeyDown(dik::kDown), In::KeyUp(dik::kDown)}},
      {"start", {}, PadButton::kStart, {}, {In::KeyDown(dik::kF1), In::KeyUp(dik::kF1)}},
      {"back", {}, PadButton::kBack, {}, {In::KeyDown(dik::kF2), In::KeyUp(dik::kF2)}},
      {"left shoulder", {}, PadButton::kLeftShoulder, {},
       {In::KeyDown(dik::kF5), In::KeyUp(dik::kF5)}},
      {"right shoulder", {}, PadButton::kRightShoulder, {},
       {In::KeyDown(dik::kF6), In::KeyUp(dik::kF6)}},
      {"A at the question", asking, PadButton::kA, {},
       {In::KeyDown(dik::kY), In::KeyUp(dik::kY)}, 3},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    PadGame pad, plain;
    if (r.setup) r.setup(pad), r.setup(plain);
    r.button ? pad.Push(*r.button) : pad.Stick(r.stick.x, r.stick.y);
    for (const RawInput& in : r.same) plain.vp.Input(in), plain.vp.DoEvents();
    pad.vp.RunFor(r.run), plain.vp.RunFor(r.run);
    EXPECT_EQ(pad.Trace(), plain.Trace());
    EXPECT_EQ(pad.PaddlePan(), plain.PaddlePan());
    EXPECT_EQ(pad.PaddleVolume(), plain.PaddleVolume());
  }
  // The push really was a hit, and B at the question quits as N does.
  PadGame hit;
  near_puck(hit);
  hit.Stick(0, -32768), hit.vp.RunFor(0.05);
  EXPECT_TRUE(hit.Played("paddle.wav"));
  PadGame quit;
  asking(quit);
  EXPECT_THROW(quit.Push(PadButton::kB), WindowUnloaded);

  // Plugged in and pulled out, up held: said once each, up let go, and the game plays on.
  PadGame plug(false);
  plug.vp.PadAdded();
  plug.vp.DoEvents();
  plug.vp.PadPressed(PadButton::kUp, true);
  plug.vp.PadRemoved();
  EXPECT_EQ(plug.Calls("GUID_SysKeyboard").size(), 2u);  // Up, and Up let go
  plug.vp.ClearRecords();
  plug.vp.DoEvents();
  EXPECT_EQ(plug.vp.TakeTold(),
            (std::vector<std::string>{
                "A gamepad is connected: its stick moves your paddle.",
                "The gamepad was disconnected; play on with the mouse and the keys."}));
  plug.vp.RunFor(1);
  EXPECT_TRUE(plug.vp.TakeTold().empty());
  EXPECT_TRUE(plug.errors.empty());
}

TEST(Pad, TheRumbleLawFollowsTheTableInTheGamesTime) {
  auto play = [](BufferRef ProgramObjects::*b) {
    return [b](PadGame& g) { Play(g.o.*b, kPlayOnce); };
  };
  auto hit = [](BufferRef ProgramObjects::*b, int32_t step) {
    return [b, step](PadGame& g) {
      Play(g.o.*b, kPlayOnce);
      g.vp.RunFor(0.05);  // the puck stands still: no step yet
      SetVolume(g.o.SoundPuck, -1000 - step);
    };
  };
  struct Row {
    const char* what;
    RumbleChoice choice;
    std::function<void(PadGame&)> act;
    std::vector<std::string> rumble;  // "LOW HIGH MS" each
  } rows[] = {
      {"your soft hit", {100}, hit(&ProgramObjects::SoundPaddle, 20), {"5898 13107 68"}},
      {"your hard hit", {100}, hit(&ProgramObjects::SoundPaddle, 100), {"29491 65535 100"}},
      {"the computer's hit", {100}, hit(&ProgramObjects::SoundOpponentHit, 50),
       {"32768 11469 120"}},
      {"a side wall", {100}, play(&ProgramObjects::SoundSideBounce), {"0 32768 40"}},
      {"an end wall, weaker", {50}, play(&ProgramObjects::SoundRebound), {"0 16384 40"}},
      {"the computer scores", {100}, play(&ProgramObjects::SoundBuzz), {"65535 39321 700"}},
      {"you score: two pulses", {100},
       [](PadGame& g) { Play(g.o.SoundGoal, kPlayOnce), g.vp.RunFor(1); },
       {"52428 52428 150", "52428 52428 150"}},
      {"the puck coming near", {100, true, true, true, true},
       [](PadGame& g) {
         for (int32_t v : {-4000, -3000, -2000, -1990, -1000, 0}) SetVolume(g.o.SoundPuck, v);
       },
       {"2458 0 0", "4915 0 0", "12288 0 0", "19661 0 0"}},
      {"nearness is off unless chosen", {100}, [](PadGame& g) { SetVolume(g.o.SoundPuck, 0); }, {}},
      {"hits off", {100, false}, hit(&ProgramObjects::SoundPaddle, 50), {}},
      {"walls off", {100, true, false}, play(&ProgramObjects::SoundSideBounce), {}},
      {"goals off", {100, true, true, false}, play(&ProgramObjects::SoundBuzz), {}},
      {"strength nought", {0}, play(&ProgramObjects::SoundBuzz), {}},
      {"the help stops it", {100},
       [](PadGame& g) { Play(g.o.SoundBuzz, kPlayOnce), g.vp.HoldGame(true); },
       {"65535 39321 700", "0 0 0"}},
      {"the tour is not felt", {100},
       [](PadGame& g) { g.vp.HoldGame(true), Play(g.o.SoundBuzz, kPlayOnce); }, {}},
      {"losing the focus stops it", {100},
       [](PadGame& g) {
         Play(g.o.SoundGoal, kPlayOnce), g.vp.Input(RawInput::FocusLost()), g.vp.RunFor(1);
       },
       {"52428 52428 150", "0 0 0"}},
      {"the end stops it", {100},
       [](PadGame& g) {
         Play(g.o.SoundBuzz, kPlayOnce);
         EXPECT_THROW(g.vp.Unload(), WindowUnloaded);
       },
       {"65535 39321 700", "0 0 0"}},
      {"no pad, nothing", {100},
       [](PadGame& g) { g.vp.PadRemoved(), Play(g.o.SoundBuzz, kPlayOnce); }, {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    PadGame g;
    // The puck held still where it is.
    g.f.DepthSpeed = g.f.LateralSpeed = 0;
    SetVolume(g.o.SoundPuck, -1000);
    g.vp.SetRumble(r.choice);
    g.vp.ClearRecords();
    r.act(g);
    std::vector<std::string> rumble;
    for (const std::string& c : g.Calls("pad")) rumble.push_back(c.substr(7));  // after "Rumble "
    EXPECT_EQ(rumble, r.rumble);
  }
}

// A game played with a pad, recorded, replays to the very calls: the stick and the buttons
// are in the recording as the mouse and keys, the rumble follows the recorded ticks.
TEST(Pad, AGamePlayedWithAPadReplaysToTheSameCalls) {
  const std::string path = ::testing::TempDir() + "/palomir-pad.recording";
  const RumbleChoice all{100, true, true, true, true};
  std::vector<std::string> played;
  {
    LineFile file(path, "recording");
    std::string kept;
    ASSERT_TRUE(file.Begin(false, kept));
    Recorder recorder(file);
    Game g;
    g.vp.set_recorder(&recorder);
    g.vp.SetRumble(all);
    g.Load();
    // As a backend hands them on: inside the pump.
    g.vp.At(g.vp.Now(), [&] { g.vp.PadAdded(), g.vp.PadMoved({0, 0}); });
    g.vp.At(2.3, [&] { g.vp.PadMoved({9000, -32768}); });
    g.vp.At(2.6, [&] { g.vp.PadMoved({0, 0}); });
    g.vp.At(3.0, [&] { g.vp.PadPressed(PadButton::kA, true); });
    g.vp.At(3.1, [&] { g.vp.PadPressed(PadButton::kA, false); });
    g.vp.At(4.0, [&] { g.vp.PadPressed(PadButton::kUp, true); });
    g.vp.At(4.1, [&] { g.vp.PadPressed(PadButton::kUp, false); });
    g.vp.RunFor(8);
    g.vp.set_recorder(nullptr);
    played = TracedLines(g.vp);
  }
  EXPECT_TRUE(std::any_of(played.begin(), played.end(),
                          [](const std::string& l) { return l.starts_with("call pad Rumble"); }));
  const std::deque<Replay::Record> replay = RecordedReplay(path);
  std::remove(path.c_str());
  EXPECT_TRUE(std::any_of(replay.begin(), replay.end(), [](const Replay::Record& r) {
    return r.words == std::vector<std::string>{"input", "pad", "added"};
  }));
  Game again;
  again.vp.SetRumble(all);
  again.vp.StartReplay(replay);
  again.Load();
  EXPECT_THROW(again.vp.RunMessageLoop(), ReplayEnded);
  EXPECT_EQ(TracedLines(again.vp), played);
}

}  // namespace
}  // namespace palomir::testing
