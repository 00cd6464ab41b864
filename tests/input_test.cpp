// The input handler: the mouse paddle, the keyboard hit grid and the control keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "game_fixture.h"
#include "platform/keycodes.h"

namespace palomir::testing {
namespace {

using Strings = std::vector<std::string>;

using Input = LoadedGame;

// ---------------------------------------------------------------- the mouse paddle

TEST_F(Input, SidewaysMovementSlidesThePaddleByFourPerUnit) {
  g.Paddle(0, -2000);
  for (auto [d, pan, speed] : {std::tuple{1, 4, 0}, {2, 12, 2}, {-2, 4, -2}, {-1, 0, 0}}) {
    g.Move(d, 0);
    EXPECT_EQ(g.PaddlePan(), pan) << d;
    EXPECT_EQ(g.f.MouseSpeedX, speed) << d;
  }
  const Strings slide = g.Calls("paddleslide.wav");
  EXPECT_EQ(std::count(slide.begin(), slide.end(), "Play 0"), 4);
  EXPECT_EQ(std::count(slide.begin(), slide.end(), "SetCurrentPosition 0"), 0);
}

TEST_F(Input, AMoveToTheEdgeIsDroppedWhole) {
  // The paddle goes anywhere strictly inside +-5000; a move that would end on or past the
  // edge is dropped, not cut short.
  for (auto [from, d, to] : {std::tuple{4990, 2, 4998},
                             {4998, 1, 4998},
                             {4996, 1, 4996},
                             {4995, 1, 4999},
                             {-4995, -1, -4999},
                             {-4996, -1, -4996},
                             {-4990, -3, -4990}}) {
    g.Paddle(from, -2000);
    g.Move(d, 0);
    EXPECT_EQ(g.PaddlePan(), to) << from << " " << d;
    EXPECT_EQ(g.f.PaddlePan, from + 4 * d);
  }
}

TEST_F(Input, ForwardAndBackIsClampedAndMakesNoSlideSound) {
  for (auto [from, d, to, computed] : {std::tuple{-10, 5, 0, 10},
                                       {-2990, -5, -3000, -3010},
                                       {-4, 1, 0, 0},
                                       {-1500, -1, -1504, -1504}}) {
    g.Paddle(0, from);
    g.vp.ClearRecords();
    g.Move(0, d);
    EXPECT_EQ(g.PaddleVolume(), to) << from << " " << d;
    EXPECT_EQ(g.f.PaddleVolume, computed);
    EXPECT_FALSE(g.Played("paddleslide.wav"));
  }
  EXPECT_EQ(g.f.MouseSpeedY, 0);  // a movement of one unit is no speed
  g.Move(0, -7);
  EXPECT_EQ(g.f.MouseSpeedY, -7);
}

TEST_F(Input, ABatchAppliesEveryRecordInOrder) {
  g.Paddle(100, -1000);
  g.Move(5, -6);
  EXPECT_EQ(g.PaddlePan(), 120);
  EXPECT_EQ(g.PaddleVolume(), -1024);
  EXPECT_EQ(g.f.MouseSpeedX, 5);
  EXPECT_EQ(g.f.MouseSpeedY, -6);
  EXPECT_EQ(g.Calls("guid_SysMouse"), (Strings{"GetDeviceData 2"}));
}

TEST_F(Input, ARunRaisedByTheKeyboardFindsNoMouseRecords) {
  g.Paddle(100, -1000);
  g.vp.ClearRecords();
  g.Press(dik::kP);
  EXPECT_EQ(g.Calls("guid_SysMouse"), (Strings{"GetDeviceData 0"}));
  EXPECT_EQ(g.Calls("GUID_SysKeyboard"), (Strings{"GetDeviceStateKeyboard 0"}));
  EXPECT_TRUE(g.Calls("paddleslide.wav").empty());
}

TEST_F(Input, TheLeftButtonPutsThePaddleOnThePucksLineAtPressAndRelease) {
  g.Puck(5200, -3000);
  g.Paddle(0, -2000);
  g.vp.Button(0, true);
  g.vp.DoEvents();
  EXPECT_EQ(g.PaddlePan(), 5200);
  EXPECT_EQ(g.PaddleVolume(), 0);
  g.Puck(-700, -3000);
  g.Paddle(0, -2000);
  g.vp.Button(0, false);
  g.vp.DoEvents();
  EXPECT_EQ(g.PaddlePan(), -700);
  EXPECT_EQ(g.PaddleVolume(), 0);
  // Beyond the side wall, a movement counts from there and is dropped while outside.
  g.Puck(5200, -3000);
  g.vp.Button(0, true);
  g.Move(-10, 0);
  EXPECT_EQ(g.PaddlePan(), 5200);
}

TEST_F(Input, TheOtherButtonsSpeakTheNumbersAtPressAndRelease) {
  g.f.LateralSpeed = 12;
  g.f.DepthSpeed = 80;
  g.f.MouseSpeedX = -3;
  g.f.MouseSpeedY = 0;
  g.vp.Button(1, true);
  g.vp.Button(1, false);
  g.vp.DoEvents();
  EXPECT_EQ(g.Said(), (Strings{"12", "80", "-3", "0", "12", "80", "-3", "0"}));
  for (const auto& s : g.vp.spoken()) EXPECT_EQ(s.flags, kSpeakAsync);
  g.vp.ClearRecords();
  g.f.PlayerScore = 7;
  g.f.ComputerScore = 9;
  g.vp.Button(2, true);
  g.vp.DoEvents();
  EXPECT_EQ(g.Said(), (Strings{"7", "9"}));
}

TEST_F(Input, AGameOverShutsOutTheArrowsAndTheGrid) {
  g.f.GameOver = kTrue;
  g.Puck(-3000, -500);
  g.Approaching();
  g.Press(dik::k1);
  g.Press(dik::kUp);
  EXPECT_TRUE(g.Toward());
  EXPECT_EQ(g.f.SpeedLevel, 10);
  EXPECT_TRUE(g.Said().empty());
  g.Release(dik::kUp);
  g.f.GameOver = 1;  // only True itself ends a game
  g.Press(dik::kDown);
  EXPECT_EQ(g.f.SpeedLevel, 9);
}

// ---------------------------------------------------------------- the hit grid

struct Grid : Input {
  // Which of `keys` hit a puck at `pan` when pressed on their own.
  std::vector<uint8_t> Hitters(int32_t pan, std::vector<uint8_t> keys) {
    std::vector<uint8_t> hit;
    for (uint8_t k : keys) {
      g.Puck(pan, -500);
      g.Approaching();
      g.o.KeyState.fill(0);
      g.o.KeyState[k] = 0x80;
      g.f.HitGrid();
      if (g.Away()) hit.push_back(k);
    }
    g.o.KeyState.fill(0);
    return hit;
  }
  // The hits of `keys`, down together in one event, from a known state and nothing recorded.
  void HitWith(const std::vector<uint8_t>& keys, int32_t pan, int32_t lateral, int32_t depth,
               bool going_right = true) {
    g.Puck(pan, -500);
    g.Approaching();
    going_right ? g.GoingRight() : g.GoingLeft();
    g.f.LateralSpeed = lateral;
    g.f.DepthSpeed = depth;
    g.o.KeyState.fill(0);
    for (uint8_t k : keys) g.o.KeyState[k] = 0x80;
    g.vp.ClearRecords();
    g.f.HitGrid();
    g.o.KeyState.fill(0);
  }
  // One key's hit.
  void HitOnce(uint8_t key, int32_t pan, int32_t lateral = 0, int32_t depth = 80) {
    HitWith({key}, pan, lateral, depth);
  }
};

const std::vector<uint8_t> kDigits = {dik::k1, dik::k2, dik::k3, dik::k4, dik::k5,
                                      dik::k6, dik::k7, dik::k8, dik::k9};

TEST_F(Grid, BandEdges) {
  using K = std::vector<uint8_t>;
  EXPECT_EQ(Hitters(-4000, kDigits), K{});
  EXPECT_EQ(Hitters(-3999, kDigits), K{dik::k1});
  EXPECT_EQ(Hitters(-2400, kDigits), K{dik::k2});
  EXPECT_EQ(Hitters(-800, kDigits), K{dik::k4});
  EXPECT_EQ(Hitters(800, kDigits), K{dik::k6});
  EXPECT_EQ(Hitters(0, kDigits), (K{dik::k5, dik::k6}));
  EXPECT_EQ(Hitters(1600, kDigits), (K{dik::k6, dik::k7}));
  EXPECT_EQ(Hitters(-3200, kDigits), K{dik::k1});
  EXPECT_EQ(Hitters(-1600, kDigits), K{dik::k3});
  EXPECT_EQ(Hitters(2400, kDigits), K{dik::k8});
  EXPECT_EQ(Hitters(3200, kDigits), K{dik::k9});
  EXPECT_EQ(Hitters(-3000, kDigits), (K{dik::k1, dik::k2}));
  EXPECT_EQ(Hitters(4000, kDigits), K{});
  EXPECT_EQ(Hitters(3999, kDigits), K{dik::k9});
  EXPECT_EQ(Hitters(-2400, {dik::kQ, dik::kW, dik::kE}), K{dik::kW});
  EXPECT_EQ(Hitters(0, {dik::kZ, dik::kX, dik::kC, dik::kV, dik::kB, dik::kN, dik::kM, dik::kComma,
                        dik::kPeriod}),
            (K{dik::kB, dik::kN}));
  EXPECT_EQ(Hitters(3000, {dik::kA, dik::kS, dik::kD, dik::kF, dik::kG, dik::kH, dik::kJ, dik::kK,
                           dik::kL}),
            (K{dik::kK, dik::kL}));
}

TEST_F(Grid, LateralGainsFromAMovingPuck) {
  // What the table of every key below does not show: the middle step's dead zone on the
  // left, a gain added to a speed already there, and the rounding of a half from an odd and
  // an even start.
  struct Case {
    uint8_t key;
    int32_t pan, before, after;
  };
  for (Case c : {Case{dik::k5, -50, 7, 7},
                 {dik::k5, -51, 7, 17},
                 {dik::kG, -700, 3, 5},
                 {dik::kB, 0, 7, 8},
                 {dik::k1, -3998, 0, 0},
                 {dik::k1, -3998, 1, 2},
                 {dik::kZ, -3999, 9, 9},
                 {dik::k9, 3000, 100, 350},
                 {dik::kO, 3000, 100, 183}}) {
    HitOnce(c.key, c.pan, c.before);
    EXPECT_EQ(g.f.LateralSpeed, c.after) << int(c.key) << " at " << c.pan;
  }
}

TEST_F(Grid, EveryKeyItsBandGainTurningPointAndDepth) {
  // Worked out from the rules, key by key: the band's first and last pan inside (outside
  // it one step further nothing happens), the lateral gain at two pans from a standing
  // start (the second where the gain falls half way, so that rounding to even decides), the turning
  // point (at it right, one below it left), and the depth speed after the hit from 7 and from 0
  // (only the digit row lifts a standing puck to 60 first).
  struct Row {
    uint8_t key;
    int32_t first, last, pan_a, gain_a, pan_b, gain_b, turn, depth_from_7, depth_from_0;
  };
  const Row rows[] = {
      {dik::k1, -3999, -2401, -3999, 0, -3198, 200, -3200, 57, 110},
      {dik::k2, -3199, -1601, -3199, 100, -2398, 300, -2400, 57, 110},
      {dik::k3, -2399, -801, -2399, 200, -1598, 400, -1600, 57, 110},
      {dik::k4, -1599, -1, -1599, 300, -798, 500, -800, 57, 110},
      {dik::k5, -799, 799, 51, 10, 50, 0, 0, 57, 110},
      {dik::k6, 0, 1600, 0, 700, 806, 498, 800, 57, 110},
      {dik::k7, 801, 2399, 801, 600, 1606, 398, 1600, 57, 110},
      {dik::k8, 1601, 3199, 1601, 500, 2406, 298, 2400, 57, 110},
      {dik::k9, 2401, 3999, 2401, 400, 3206, 198, 3200, 57, 110},
      {dik::kQ, -3999, -2401, -3999, 0, -3178, 68, -3200, 47, 40},
      {dik::kW, -3199, -1601, -3199, 33, -2394, 100, -2400, 47, 40},
      {dik::kE, -2399, -801, -2399, 67, -1586, 134, -1600, 47, 40},
      {dik::kR, -1599, -1, -1599, 100, -778, 168, -800, 47, 40},
      {dik::kT, -799, 799, 51, 6, 50, 0, 0, 47, 40},
      {dik::kY, 0, 1600, 0, 233, 802, 166, 800, 47, 40},
      {dik::kU, 801, 2399, 801, 200, 1610, 132, 1600, 47, 40},
      {dik::kI, 1601, 3199, 1601, 167, 2418, 98, 2400, 47, 40},
      {dik::kO, 2401, 3999, 2401, 133, 3202, 66, 3200, 47, 40},
      {dik::kA, -3999, -2401, -3999, 0, -3192, 50, -3200, 37, 30},
      {dik::kS, -3199, -1601, -3199, 25, -2376, 76, -2400, 37, 30},
      {dik::kD, -2399, -801, -2399, 50, -1592, 100, -1600, 37, 30},
      {dik::kF, -1599, -1, -1599, 75, -776, 126, -800, 37, 30},
      {dik::kG, -799, 799, 51, 2, 50, 0, 0, 37, 30},
      {dik::kH, 0, 1600, 0, 175, 808, 124, 800, 37, 30},
      {dik::kJ, 801, 2399, 801, 150, 1624, 98, 1600, 37, 30},
      {dik::kK, 1601, 3199, 1601, 125, 2408, 74, 2400, 37, 30},
      {dik::kL, 2401, 3999, 2401, 100, 3224, 48, 3200, 37, 30},
      {dik::kZ, -3999, -2401, -3999, 0, -3180, 20, -3200, 27, 20},
      {dik::kX, -3199, -1601, -3199, 10, -2380, 30, -2400, 27, 20},
      {dik::kC, -2399, -801, -2399, 20, -1580, 40, -1600, 27, 20},
      {dik::kV, -1599, -1, -1599, 30, -780, 50, -800, 27, 20},
      {dik::kB, -799, 799, 51, 1, 50, 1, 0, 27, 20},
      {dik::kN, 0, 1600, 0, 70, 860, 48, 800, 27, 20},
      {dik::kM, 801, 2399, 801, 60, 1660, 38, 1600, 27, 20},
      {dik::kComma, 1601, 3199, 1601, 50, 2460, 28, 2400, 27, 20},
      {dik::kPeriod, 2401, 3999, 2401, 40, 3260, 18, 3200, 27, 20},
  };
  for (const Row& r : rows) {
    const std::string key = "key " + std::to_string(r.key);
    for (int32_t outside : {r.first - 1, r.last + 1}) {
      HitOnce(r.key, outside, 5, 7);
      EXPECT_TRUE(g.Toward() && g.f.LateralSpeed == 5 && g.f.DepthSpeed == 7)
          << key << " at " << outside;
    }
    for (int32_t inside : {r.first, r.last}) {
      HitOnce(r.key, inside, 5, 7);
      EXPECT_TRUE(g.Away()) << key << " at " << inside;
    }
    HitOnce(r.key, r.pan_a, 0, 7);
    EXPECT_EQ(g.f.LateralSpeed, r.gain_a) << key << " at " << r.pan_a;
    EXPECT_EQ(g.f.DepthSpeed, r.depth_from_7) << key;
    HitOnce(r.key, r.pan_b, 0, 0);
    EXPECT_EQ(g.f.LateralSpeed, r.gain_b) << key << " at " << r.pan_b;
    EXPECT_EQ(g.f.DepthSpeed, r.depth_from_0) << key;
    HitOnce(r.key, r.turn);
    EXPECT_TRUE(g.Right()) << key << " at its turning point";
    HitOnce(r.key, r.turn - 1);
    EXPECT_TRUE(g.Left()) << key << " below its turning point";
  }
}

TEST_F(Grid, SeveralKeysInOneEvent) {
  // Every key down whose band holds the puck hits, in grid order (digits, Q row, A row,
  // Z row; left to right): each gain rounded on its own, the last hit's direction kept, the
  // digit row's lift only while the depth speed is still 0.
  struct Row {
    int32_t pan;
    std::vector<uint8_t> keys;
    int32_t lateral, depth;  // before
    int32_t lateral_after, depth_after;
    bool right;
    size_t hits;
  };
  using K = std::vector<uint8_t>;
  const Row rows[] = {
      // 100 + 1000/4 = 350, then + 1000/12 = 433.33: 433; both send it right.
      {-3000, K{dik::kQ, dik::k1}, 100, 80, 433, 170, true, 2},
      // Key 1 sends it right, key 2 (below its turning point) left: key 2 comes later.
      {-3000, K{dik::k2, dik::k1}, 100, 80, 500, 180, false, 2},
      // Key 2 (left) before Q (right): the rows go before the columns.
      {-3100, K{dik::kQ, dik::k2}, 0, 0, 200, 150, true, 2},
      // 0.5, 0.17, 0.13, 0.05: each rounds to 0 on its own (together they would make 1).
      {-3998, K{dik::kZ, dik::kA, dik::kQ, dik::k1}, 0, 0, 0, 200, false, 4},
      // Key 1 lifts 0 to 60 and adds 50; key 2 finds 110 and only adds.
      {-3000, K{dik::k1, dik::k2}, 0, 0, 400, 160, false, 2},
      // Pan 0: 5 (no step, right), 6 (+700, left), B (+1, right), N (+70, left).
      {0, K{dik::kN, dik::kB, dik::k6, dik::k5}, 0, 0, 771, 200, false, 4},
      // A key outside its band is passed over.
      {-3000, K{dik::k9, dik::k1, dik::kL}, 0, 7, 250, 57, true, 1},
  };
  for (const Row& r : rows) {
    HitWith(r.keys, r.pan, r.lateral, r.depth, !r.right);  // from the other direction
    const std::string row =
        "pan " + std::to_string(r.pan) + ", " + std::to_string(r.keys.size()) + " keys";
    EXPECT_EQ(g.f.LateralSpeed, r.lateral_after) << row;
    EXPECT_EQ(g.f.DepthSpeed, r.depth_after) << row;
    EXPECT_EQ(g.Right(), r.right) << row;
    EXPECT_EQ(g.Left(), !r.right) << row;
    EXPECT_TRUE(g.Away()) << row;
    Strings sound;
    for (size_t i = 0; i < r.hits; ++i) {
      sound.insert(sound.end(),
                   {"SetPan " + std::to_string(r.pan), "SetCurrentPosition 0", "Play 0"});
    }
    EXPECT_EQ(g.Calls("paddle.wav"), sound) << row;
  }
  // At the side walls and beyond, no key hits.
  std::vector<uint8_t> all;
  for (uint8_t k = 0; k < 0xFF; ++k) {
    if (std::find(kDigits.begin(), kDigits.end(), k) != kDigits.end() ||
        (k >= dik::kQ && k <= dik::kO) || (k >= dik::kA && k <= dik::kL) ||
        (k >= dik::kZ && k <= dik::kPeriod)) {
      all.push_back(k);
    }
  }
  ASSERT_EQ(all.size(), 36u);
  for (int32_t pan : {-4000, 4000, -5000, 5000, -10000, 10000}) {
    EXPECT_TRUE(Hitters(pan, all).empty()) << pan;
  }
}

TEST_F(Grid, AHeldKeyHitsOnEveryInputEvent) {
  g.Puck(-3000, -500);
  g.Paddle(-4500, -3000);
  g.f.LateralSpeed = 0;
  g.f.DepthSpeed = 0;
  g.Press(dik::k1);  // 1
  g.Move(0, 5);      // 2
  g.Press(dik::kP);  // 3
  EXPECT_EQ(g.f.LateralSpeed, 750);
  EXPECT_EQ(g.f.DepthSpeed, 60 + 150);
}

TEST_F(Grid, ReachEndsAtMinusTwoThousand) {
  g.Puck(-3000, -2000);
  g.Approaching();
  g.Press(dik::k1);
  EXPECT_TRUE(g.Toward());
  g.Release(dik::k1);
  g.Puck(-3000, -1999);
  g.Press(dik::k1);
  EXPECT_TRUE(g.Away());
}

// ---------------------------------------------------------------- control keys

TEST_F(Input, ArrowsChangeTheLevelAndSayIt) {
  g.Press(dik::kUp);
  g.Release(dik::kUp);
  g.Press(dik::kDown);
  g.Release(dik::kDown);
  EXPECT_EQ(g.Said(), (Strings{"11", "10"}));
  g.vp.ClearRecords();
  g.f.SpeedLevel = 1;
  g.Press(dik::kDown);
  EXPECT_TRUE(g.Said().empty());
  g.Release(dik::kDown);
  g.vp.KeyDown(dik::kUp);
  g.vp.KeyDown(dik::kDown);
  g.vp.DoEvents();  // first run: Up alone; second: both
  EXPECT_EQ(g.Said(), (Strings{"2", "3", "2"}));
  g.vp.ClearRecords();
  g.f.SpeedLevel = 1;
  g.Move(3, 0);  // both still held: a mouse batch is another run
  EXPECT_EQ(g.Said(), (Strings{"2", "1"}));
  EXPECT_EQ(g.f.SpeedLevel, 1);
  EXPECT_TRUE(g.vp.left_out().empty());  // a few lines are all heard
}

TEST_F(Input, SpeechLeavesOutWhatFallsBehindButNeverTheEndOfAGame) {
  // Each row: lines queued a hundredth of a second apart, far more than can be said.
  struct Row {
    const char* what;
    std::function<void(int)> queue;  // the i-th batch
    size_t group;                    // lines one batch says
  };
  const Row rows[] = {
      {"Up held while the mouse moves: a level a batch",
       [&](int i) {
         if (i == 0) {
           g.Press(dik::kUp);
           g.vp.RunFor(0.01);
         }
         g.Move(1, 0);
         if (i == 39) g.vp.KeyUp(dik::kUp);
       },
       1},
      {"the score read out again and again",
       [&](int i) {
         g.f.PlayerScore = i;
         g.vp.Button(2, true);
         g.vp.Button(2, false);
         g.vp.DoEvents();
       },
       4},
  };
  for (const Row& row : rows) {
    g.vp.RunFor(5);  // all said
    g.vp.ClearRecords();
    for (int i = 0; i < 40; ++i) {
      g.vp.RunFor(0.01);
      row.queue(i);
    }
    const auto& said = g.vp.spoken();
    const auto& gone = g.vp.left_out();
    ASSERT_FALSE(gone.empty()) << row.what;
    // Whole batches go, never the newest; what is kept is about three seconds of speech
    // (with what was said during the batches).
    auto batch = [](const auto& lines, double at) {
      return std::count_if(lines.begin(), lines.end(), [at](const auto& l) { return l.at == at; });
    };
    for (const auto& l : gone) EXPECT_EQ(batch(gone, l.at), batch(said, l.at)) << row.what;
    EXPECT_EQ(batch(gone, said.back().at), 0) << row.what;
    EXPECT_LE((said.size() - gone.size()) * 0.3, SpeechQueue::kMostBehind + 0.4 + 0.3 * row.group)
        << row.what;
  }
  // A reading made stale by a newer one goes at once, however little waits (a fast voice):
  // the score read three times, 12 in the middle one, 0 in the last.
  g.vp.RunFor(5);
  g.vp.SetLevels({.speech_rate = 450});
  g.vp.ClearRecords();
  for (int score : {5, 12, 0}) {
    g.f.PlayerScore = score;
    g.vp.Button(2, true);
    g.vp.Button(2, false);
    g.vp.DoEvents();
    g.vp.RunFor(0.01);
  }
  Strings gone;
  for (const auto& l : g.vp.left_out()) gone.push_back(l.text);
  EXPECT_NE(std::find(gone.begin(), gone.end(), "12"), gone.end());
  EXPECT_EQ(std::find(gone.begin(), gone.end(), "0"), gone.end());
  g.vp.SetLevels({});
  // The end of a game waits its turn behind what is left, and none of it is left out.
  g.vp.ClearRecords();
  rows[0].queue(0);
  g.f.PlayerScore = 50;
  g.f.ComputerScore = 12;
  const double before = g.vp.Now();
  g.f.AnnounceGameEnd(Side::kPlayer);
  for (const auto& l : g.vp.left_out()) EXPECT_EQ(l.flags, kSpeakAsync) << l.text;
  EXPECT_EQ(std::count_if(g.vp.spoken().begin(), g.vp.spoken().end(),
                          [](const auto& l) { return l.flags == kSpeakWait; }),
            6);
  EXPECT_LT(g.vp.Now() - before, SpeechQueue::kMostBehind + 0.3 + 6.5);
}

TEST_F(Input, AnOverflowEndsTheHandlerAsARunTimeErrorNeverAWrap) {
  // The level at its top and one more Up; a movement whose four-fold step leaves the range.
  g.f.SpeedLevel = 2147483647;
  g.Press(dik::kUp);
  ASSERT_EQ(g.errors.size(), 1u);
  EXPECT_EQ(g.errors[0].rfind("input: ", 0), 0u) << g.errors[0];
  EXPECT_EQ(g.f.SpeedLevel, 2147483647);
  EXPECT_TRUE(g.Said().empty());
  g.Release(dik::kUp);
  g.Paddle(0, -2000);
  g.Move(600000000, 0);
  EXPECT_EQ(g.f.errors(), 2);  // told once: the same words as the first
  EXPECT_EQ(g.PaddlePan(), 0);
}

TEST_F(Input, YAndNDuringPlayAreOnlyGridKeys) {
  g.Puck(3000, -3000);  // out of reach
  g.Press(dik::kY);
  g.Press(dik::kN);
  EXPECT_FALSE(g.vp.unloaded());
  EXPECT_EQ(g.Said().size(), 0u);
}

TEST_F(Input, YWinsOverNAndStartsANewGameFromNothing) {
  g.Puck(3000, -3000);
  g.Press(dik::kN);  // held during play, where it is only a grid key
  g.f.GameOver = kTrue;
  g.f.PlayerScore = 50;
  g.f.ComputerScore = 20;
  g.f.HitTolerance = 400;
  g.vp.ClearRecords();
  const double before = g.vp.Now();
  g.Press(dik::kY);
  EXPECT_FALSE(g.vp.unloaded());
  EXPECT_GT(g.vp.Now() - before, 2.9);  // the answer's pause, then the welcome's
  EXPECT_EQ(g.Said(), (Strings{"Welcome to Palomir: a Vossk game"}));
  EXPECT_EQ(g.f.GameOver, kFalse);
  EXPECT_EQ(g.f.PlayerScore, 0);
  EXPECT_EQ(g.f.ComputerScore, 0);
  EXPECT_EQ(g.f.HitTolerance, 2000);
  EXPECT_EQ(g.PuckVolume(), -6000);
  EXPECT_TRUE(g.Right() && g.Toward());
}

TEST_F(Input, NAfterAGameQuits) {
  g.f.GameOver = kTrue;
  g.Press(dik::kUp);  // nothing while the game is over
  EXPECT_TRUE(g.Said().empty());
  EXPECT_THROW(g.Press(dik::kN), WindowUnloaded);
  EXPECT_TRUE(g.vp.unloaded());
  EXPECT_FALSE(g.o.SoundPuck);
  EXPECT_FALSE(g.o.DxRoot);
}

TEST_F(Input, ThePlayAgainKeysWaitWhileAReplayIsDue) {
  g.f.GameOver = kTrue;
  g.Paddle(0, -2000);
  const double t = g.vp.Now();
  g.vp.At(t + 0.5, [&] {
    g.vp.KeyUp(dik::kY);
    g.vp.KeyDown(dik::kN);  // would quit with a game still due
  });
  g.vp.At(t + 0.8, [&] {
    g.vp.KeyUp(dik::kN);
    g.vp.KeyDown(dik::kY);  // would start a second game after the first
  });
  g.vp.At(t + 1.0, [&] { g.vp.MouseMove(5, 0); });
  g.Press(dik::kY);
  EXPECT_FALSE(g.vp.unloaded());
  EXPECT_EQ(g.Said(), (Strings{"Welcome to Palomir: a Vossk game"}));
  EXPECT_EQ(g.f.GameOver, kFalse);
  EXPECT_EQ(g.PaddlePan(), 20);  // the mouse went on working
  EXPECT_TRUE(g.errors.empty());
  // The next finished game takes its answer again.
  g.Release(dik::kY);
  g.f.GameOver = kTrue;
  EXPECT_THROW(g.Press(dik::kN), WindowUnloaded);
}

TEST_F(Input, DuringTheAnswersPauseTheGameIsStillOverDuringTheWelcomeItIsOn) {
  // Y, then a 2 s pause that still belongs to the finished game, then the welcome's 2 s
  // pause, which already belongs to the new one: the grid and the arrows work there, and the
  // opponent is already back at the start, while the old speeds still move the puck.
  g.f.GameOver = kTrue;
  g.f.OpponentPace = 7, g.f.OpponentPan = 400, g.f.OpponentTicks = 99;
  g.f.LateralSpeed = 0, g.f.DepthSpeed = 0;
  g.Puck(-3000, -500), g.Paddle(-4500, -3000);
  g.GoingRight(), g.Approaching();
  const double t = g.vp.Now();
  struct Seen {
    int32_t over, pace, pan, ticks, lateral;
  } answer{}, welcome{};
  auto look = [this](Seen& s) {
    s = {g.f.GameOver, g.f.OpponentPace, g.f.OpponentPan, g.f.OpponentTicks, g.f.LateralSpeed};
  };
  // Key 1 and Up each down for one input event, once in each pause.
  for (double at : {t + 1.0, t + 2.7}) {
    g.vp.At(at, [&, at] { look(at < t + 2 ? answer : welcome), g.vp.KeyDown(dik::k1); });
    g.vp.At(at + 0.02, [&] { g.vp.KeyUp(dik::k1); });
    g.vp.At(at + 0.04, [&] { g.vp.KeyDown(dik::kUp); });
    g.vp.At(at + 0.06, [&] { g.vp.KeyUp(dik::kUp); });
  }
  g.Press(dik::kY);
  EXPECT_EQ(answer.over, kTrue);
  EXPECT_EQ(answer.pace, 7);
  EXPECT_EQ(welcome.over, kFalse);
  EXPECT_EQ(welcome.pace, 1);
  EXPECT_EQ(welcome.pan, 0);
  EXPECT_EQ(welcome.ticks, 0);
  EXPECT_EQ(welcome.lateral, 0);  // the new game's speeds come after the welcome
  // Up was heard once (11, in the welcome); key 1 hit once, in the welcome.
  EXPECT_EQ(g.Said(), (Strings{"Welcome to Palomir: a Vossk game", "11"}));
  const Strings hits = g.Calls("paddle.wav");
  EXPECT_EQ(std::count(hits.begin(), hits.end(), "Play 0"), 1);
  EXPECT_EQ(g.f.SpeedLevel, 10);
}

TEST_F(Input, LosingFocusStopsInputAndRegainingItBringsItBack) {
  g.vp.RunFor(0.3);  // mid-rally
  g.Paddle(0, -2000);
  g.vp.Input(RawInput::FocusLost());
  g.vp.DoEvents();
  EXPECT_FALSE(g.vp.mouse_captured());
  g.Move(10, 0);
  g.Press(dik::kUp);
  EXPECT_EQ(g.PaddlePan(), 0);
  EXPECT_EQ(g.f.SpeedLevel, 10);
  g.vp.RunFor(0.5);
  g.vp.Input(RawInput::FocusGained());
  g.vp.DoEvents();
  EXPECT_TRUE(g.vp.mouse_captured());
  g.Move(10, 0);
  EXPECT_EQ(g.PaddlePan(), 40);
  g.vp.RunFor(0.5);
  EXPECT_TRUE(g.errors.empty());
}

}  // namespace
}  // namespace palomir::testing
