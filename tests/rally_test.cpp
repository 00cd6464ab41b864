// The four timers that move the puck, the paddle contact, and the end of a game.
#include <gtest/gtest.h>

#include <functional>

#include "game_fixture.h"
#include "platform/keycodes.h"

namespace palomir::testing {
namespace {

using Strings = std::vector<std::string>;

using Rally = LoadedGame;

// ---------------------------------------------------------------- DampSpeed

TEST_F(Rally, DampSpeedRoundsTiesToEven) {
  struct Case {
    int32_t level, speed, left;
  };
  for (Case c : {Case{10, 600, 540},
                 {10, 100, 90},
                 {10, 45, 40},
                 {10, 15, 14},
                 {10, 3, 3},
                 {10, 1, 1},
                 {2, 5, 2},
                 {2, 3, 2},
                 {2, 1, 0},
                 {1, 600, 0},
                 {1, 1, 0},
                 {3, 0, 0}}) {
    g.f.SpeedLevel = c.level;
    EXPECT_EQ(g.f.DampSpeed(c.speed), c.left) << c.speed << " at level " << c.level;
  }
  g.f.SpeedLevel = 0;
  EXPECT_THROW(g.f.DampSpeed(5), RuntimeError);
}

// ---------------------------------------------------------------- lateral ticks

TEST_F(Rally, RightWallIsAtFourThousand) {
  g.Puck(3998, -1234);
  g.GoingRight();
  g.f.LateralSpeed = 1;
  g.f.RightTimer_Timer();
  EXPECT_EQ(g.PuckPan(), 3999);
  EXPECT_TRUE(g.Right());
  EXPECT_FALSE(g.Played("SideBounce.wav"));
  g.f.RightTimer_Timer();
  EXPECT_EQ(g.PuckPan(), 4000);
  EXPECT_TRUE(g.Left());
  EXPECT_EQ(g.f.LateralSpeed, 1);
  EXPECT_EQ(g.Calls("SideBounce.wav"), (Strings{"SetPan 4000", "SetVolume -1234",
                                                "SetCurrentPosition 0", "Stop 0", "Play 0"}));
}

TEST_F(Rally, LeftWallIsAtMinusFourThousand) {
  g.Puck(-3998, -50);
  g.GoingLeft();
  g.f.LateralSpeed = 1;
  g.f.LeftTimer_Timer();
  EXPECT_EQ(g.PuckPan(), -3999);
  EXPECT_TRUE(g.Left());
  g.f.LeftTimer_Timer();
  EXPECT_EQ(g.PuckPan(), -4000);
  EXPECT_TRUE(g.Right());
  EXPECT_EQ(g.Calls("SideBounce.wav"),
            (Strings{"SetPan -4000", "SetVolume -50", "SetCurrentPosition 0", "Stop 0", "Play 0"}));
}

TEST_F(Rally, TheWallsDampAndCapInOppositeOrders) {
  g.Puck(3500, -1000);
  g.GoingRight();
  g.f.LateralSpeed = 1000;
  g.f.RightTimer_Timer();
  EXPECT_EQ(g.PuckPan(), 4500);      // the full step first
  EXPECT_EQ(g.f.LateralSpeed, 600);  // 900, then capped
  g.Puck(-3500, -1000);
  g.f.LateralSpeed = 1000;
  g.f.LeftTimer_Timer();
  EXPECT_EQ(g.PuckPan(), -4500);
  EXPECT_EQ(g.f.LateralSpeed, 540);  // capped to 600, then damped
}

TEST_F(Rally, LateralTicksCapLateralSpeedAndLeaveDepthSpeedAlone) {
  g.Puck(0, -1000);
  g.f.LateralSpeed = 700;
  g.f.DepthSpeed = 150;
  g.f.RightTimer_Timer();
  EXPECT_EQ(g.f.LateralSpeed, 600);
  g.f.LateralSpeed = 700;
  g.f.LeftTimer_Timer();
  EXPECT_EQ(g.f.LateralSpeed, 600);
  EXPECT_EQ(g.f.DepthSpeed, 150);
}

TEST_F(Rally, AStillPuckBeyondTheWallBouncesOnceAndStays) {
  g.Puck(4100, -1000);
  g.GoingRight();
  g.f.LateralSpeed = 0;
  g.f.RightTimer_Timer();
  EXPECT_TRUE(g.Left());
  g.f.LeftTimer_Timer();
  EXPECT_EQ(g.PuckPan(), 4100);
  EXPECT_EQ(g.Calls("SideBounce.wav").size(), 5u);
}

TEST_F(Rally, AStepPastTheEdgeOfTheSoundStopsAtTheEdge) {
  g.Puck(9800, -1000);
  g.f.LateralSpeed = 5000;
  g.f.RightTimer_Timer();
  EXPECT_EQ(g.PuckPan(), 10000);
  g.Puck(-9800, -1000);
  g.f.LateralSpeed = 5000;
  g.f.LeftTimer_Timer();
  EXPECT_EQ(g.PuckPan(), -10000);
  g.Puck(0, -9990);
  g.f.DepthSpeed = 100;
  g.f.FroTimer_Timer();              // past the far wall: the step stops at -10000... and rebounds
  EXPECT_EQ(g.PuckVolume(), -9990);  // below -4000 it is not moved at all
  EXPECT_TRUE(g.errors.empty());
}

// ---------------------------------------------------------------- the player's hit

struct Hit : Rally {
  // Puck and paddle in contact, the paddle pushed forward.
  void SetUp() override {
    Rally::SetUp();
    g.Puck(100, -500);
    g.Paddle(100, -500);
    g.f.MouseSpeedY = -5;
    g.f.MouseSpeedX = 0;
    g.f.LateralSpeed = 0;
    g.f.DepthSpeed = 0;
    g.GoingRight();
    g.Approaching();
  }
  bool HitWith(int32_t tolerance) {
    g.f.TryPaddleHit(tolerance);
    return g.Away();
  }
};

TEST_F(Hit, ContactIsInclusiveAtTheTolerance) {
  for (auto [dp, dv, hits] : {std::tuple{300, 300, true},
                              {-300, -300, true},
                              {301, 0, false},
                              {0, 301, false},
                              {-301, 0, false},
                              {0, -301, false}}) {
    g.Approaching();
    g.Paddle(100 + dp, -500 + dv);
    EXPECT_EQ(HitWith(300), hits) << dp << "," << dv;
  }
}

TEST_F(Hit, OnlyInTheNearPartAndOnlyPushingForward) {
  g.Puck(0, -2000);
  g.Paddle(0, -2000);
  EXPECT_FALSE(HitWith(400));
  g.Paddle(0, -1999);
  EXPECT_TRUE(HitWith(400));
  for (int32_t y : {0, 3}) {
    g.Approaching();
    g.f.MouseSpeedY = y;
    EXPECT_FALSE(HitWith(2000));
  }
}

TEST_F(Hit, SidewaysMovementSetsDirectionAndSpeed) {
  struct Case {
    int32_t x;
    bool right;
    int32_t speed;
  };
  for (Case c : {Case{0, false, 0}, {-10, false, 200}, {10, true, 200}}) {
    g.Approaching();
    g.GoingRight();
    g.f.LateralSpeed = 0;
    g.f.MouseSpeedX = c.x;
    ASSERT_TRUE(HitWith(400));
    EXPECT_EQ(g.Right(), c.right) << c.x;
    EXPECT_EQ(g.Left(), !c.right) << c.x;
    EXPECT_EQ(g.f.LateralSpeed, c.speed) << c.x;
  }
  EXPECT_EQ(g.Calls("paddle.wav").back(), "Play 0");
  EXPECT_EQ(g.Calls("paddle.wav")[1], "SetPan 100");  // heard at the puck
}

TEST_F(Hit, ALateralSpeedOverTheCapEndsAToTickAtZeroAndAFroTickAtSixHundred) {
  g.Puck(0, -1000);
  g.Paddle(0, -1000);
  g.f.MouseSpeedX = 31;
  g.f.ToTimer_Timer();
  EXPECT_TRUE(g.Away());
  EXPECT_EQ(g.f.LateralSpeed, 0);
  g.Approaching();
  g.f.LateralSpeed = 0;
  g.f.MouseSpeedX = 30;  // exactly at the cap: kept
  g.f.ToTimer_Timer();
  EXPECT_EQ(g.f.LateralSpeed, 600);
  g.Puck(0, -1000);
  g.f.LateralSpeed = 0;
  g.f.FroTimer_Timer();
  EXPECT_EQ(g.f.LateralSpeed, 600);
}

TEST_F(Hit, DepthSpeedGrowsWithDistanceAndPush) {
  g.Puck(0, -100);
  g.Paddle(0, -100);
  g.f.TryPaddleHit(400);
  EXPECT_EQ(g.f.DepthSpeed, 22);  // 22.5 to even
  g.Approaching();
  g.Puck(0, -1000);
  g.Paddle(0, -1000);
  g.f.DepthSpeed = 40;
  g.f.TryPaddleHit(400);
  EXPECT_EQ(g.f.DepthSpeed, 85);
}

TEST_F(Hit, AHitRaisedDepthSpeedIsUsedThenCut) {
  g.Puck(0, -1000);
  g.Paddle(0, -1000);
  g.f.DepthSpeed = 100;  // + 25 + 20 = 145
  g.f.ToTimer_Timer();
  // The approach step of the same tick still runs, with the raised speed.
  EXPECT_EQ(g.PuckVolume(), -855);
  EXPECT_EQ(g.f.DepthSpeed, 100);
}

TEST_F(Hit, EachCallerItsTolerance) {
  // The approach passes the shrinking HitTolerance, the retreat a fixed 400: a paddle
  // between the two hits in one and not in the other.
  struct Row {
    int32_t tolerance, apart;
    bool approach_hits, retreat_hits;
  };
  for (const Row& r : {Row{2000, 1000, true, false},
                       {2000, 400, true, true},
                       {1950, 1951, false, false},
                       {450, 401, true, false},
                       {400, 401, false, false}}) {
    g.f.HitTolerance = r.tolerance;
    for (bool approach : {true, false}) {
      g.Puck(0, -1000);
      g.Paddle(r.apart, -1000);
      g.f.DepthSpeed = 0;
      approach ? g.Approaching() : g.Retreating();
      g.vp.ClearRecords();
      approach ? g.f.ToTimer_Timer() : g.f.FroTimer_Timer();
      EXPECT_EQ(g.Played("paddle.wav"), approach ? r.approach_hits : r.retreat_hits)
          << r.tolerance << " " << r.apart << (approach ? " coming" : " going");
    }
  }
  // A paddle that keeps pace with the puck and keeps pushing hits it on every tick: each
  // hit adds |volume| / 40 + 4 x 5, and the depth speed is cut back to 100 at each tick's end.
  // Volumes -200, -175, -224, -299 (102 used, then cut), -401.
  g.Puck(0, -200);
  g.Approaching();
  const int32_t depth[] = {25, 49, 75, 100, 100};
  for (int tick = 0; tick < 5; ++tick) {
    g.Paddle(g.PuckPan(), g.PuckVolume());
    g.vp.ClearRecords();
    tick == 0 ? g.f.ToTimer_Timer() : g.f.FroTimer_Timer();
    EXPECT_TRUE(g.Played("paddle.wav")) << tick;
    EXPECT_EQ(g.f.DepthSpeed, depth[tick]) << tick;
  }
  EXPECT_EQ(g.PuckVolume(), -531);
}

TEST_F(Rally, SoundsAndTimerSwitchesInTheirOrder) {
  struct Row {
    const char* what;
    std::function<void(Game&)> run;
    Strings changes;
  };
  const auto away = [](Game& g) { g.Paddle(-4500, -3000); };
  const auto hit = [](int32_t x) {
    return [x](Game& g) {
      g.Puck(100, -500), g.Paddle(100, -500), g.Approaching();
      g.f.MouseSpeedX = x, g.f.MouseSpeedY = -5;
      g.vp.ClearRecords(), g.f.TryPaddleHit(400);
    };
  };
  const auto key1 = [](int32_t pan) {
    return [pan](Game& g) {
      g.Puck(pan, -500), g.Approaching();
      g.o.KeyState.fill(0), g.o.KeyState[dik::k1] = 0x80;
      g.vp.ClearRecords(), g.f.HitGrid();
      g.o.KeyState.fill(0);
    };
  };
  const auto ret = [away](int32_t pan) {
    return [pan, away](Game& g) {
      away(g), g.Puck(pan, -2500), g.Retreating();
      g.f.OpponentPan = pan, g.f.OpponentPace = 1, g.f.OpponentTicks = 5, g.f.DepthSpeed = 0;
      g.vp.ClearRecords(), g.f.FroTimer_Timer();
    };
  };
  const std::vector<Row> rows = {
      {"right wall",
       [](Game& g) {
         g.Puck(3990, -1234), g.GoingRight(), g.f.LateralSpeed = 20, g.vp.ClearRecords(),
                                              g.f.RightTimer_Timer();
       },
       {"puck.wav SetPan 4010", "SideBounce.wav SetPan 4010", "SideBounce.wav SetVolume -1234",
        "SideBounce.wav SetCurrentPosition 0", "SideBounce.wav Stop 0", "SideBounce.wav Play 0",
        "RightTimer Enabled 0", "LeftTimer Enabled -1"}},
      {"left wall",
       [](Game& g) {
         g.Puck(-3990, -50), g.GoingLeft(), g.f.LateralSpeed = 20, g.vp.ClearRecords(),
                                            g.f.LeftTimer_Timer();
       },
       {"puck.wav SetPan -4010", "SideBounce.wav SetPan -4010", "SideBounce.wav SetVolume -50",
        "SideBounce.wav SetCurrentPosition 0", "SideBounce.wav Stop 0", "SideBounce.wav Play 0",
        "RightTimer Enabled -1", "LeftTimer Enabled 0"}},
      {"paddle hit to the right",
       hit(3),
       {"paddle.wav SetCurrentPosition 0", "paddle.wav SetPan 100", "paddle.wav Play 0",
        "RightTimer Enabled -1", "LeftTimer Enabled 0", "FroTimer Enabled -1",
        "ToTimer Enabled 0"}},
      {"paddle hit to the left",
       hit(-3),
       {"paddle.wav SetCurrentPosition 0", "paddle.wav SetPan 100", "paddle.wav Play 0",
        "LeftTimer Enabled -1", "RightTimer Enabled 0", "FroTimer Enabled -1",
        "ToTimer Enabled 0"}},
      {"key 1 sending right",
       key1(-3000),
       {"paddle.wav SetPan -3000", "paddle.wav SetCurrentPosition 0", "paddle.wav Play 0",
        "LeftTimer Enabled 0", "RightTimer Enabled -1", "ToTimer Enabled 0",
        "FroTimer Enabled -1"}},
      {"key 1 sending left",
       key1(-3201),
       {"paddle.wav SetPan -3201", "paddle.wav SetCurrentPosition 0", "paddle.wav Play 0",
        "LeftTimer Enabled -1", "RightTimer Enabled 0", "ToTimer Enabled 0",
        "FroTimer Enabled -1"}},
      {"end wall",
       [away](Game& g) {
         away(g), g.Puck(1000, -90), g.Approaching(), g.f.DepthSpeed = 80, g.vp.ClearRecords(),
                                                      g.f.ToTimer_Timer();
       },
       {"puck.wav SetVolume -10", "rebound.wav Stop 0", "rebound.wav SetPan 1000",
        "rebound.wav SetVolume -10", "rebound.wav SetCurrentPosition 0", "rebound.wav Play 0",
        "ToTimer Enabled 0", "FroTimer Enabled -1"}},
      {"computer's goal",
       [away](Game& g) {
         away(g), g.Puck(0, -90), g.Approaching(), g.f.DepthSpeed = 80, g.vp.ClearRecords(),
                                                   g.f.ToTimer_Timer();
       },
       {"puck.wav SetVolume -10", "buzz.wav Stop 0", "buzz.wav SetPan 0",
        "buzz.wav SetCurrentPosition 0", "buzz.wav Play 0", "puck.wav SetVolume -100",
        "puck.wav SetPan 0", "paddleslide.wav SetPan 0", "paddleslide.wav SetVolume 0",
        "paddleslide.wav SetVolume 0", "ToTimer Enabled 0", "FroTimer Enabled -1"}},
      {"return to the left",
       ret(150),
       {"RightTimer Enabled 0", "LeftTimer Enabled -1", "OpponentHit.wav Stop 0",
        "OpponentHit.wav SetCurrentPosition 0", "OpponentHit.wav SetPan 150",
        "OpponentHit.wav Play 0", "FroTimer Enabled 0", "ToTimer Enabled -1",
        "puck.wav SetVolume -2512"}},  // 2500 / 200 = 12.5, to even
      {"return to the right",
       ret(-150),
       {"LeftTimer Enabled 0", "RightTimer Enabled -1", "OpponentHit.wav Stop 0",
        "OpponentHit.wav SetCurrentPosition 0", "OpponentHit.wav SetPan -150",
        "OpponentHit.wav Play 0", "FroTimer Enabled 0", "ToTimer Enabled -1",
        "puck.wav SetVolume -2512"}},
      {"player's goal",
       [away](Game& g) {
         away(g), g.Puck(0, -3600), g.Retreating();
         g.f.OpponentPan = 1000, g.f.OpponentPace = 1, g.f.OpponentTicks = 5, g.f.DepthSpeed = 0;
         g.vp.ClearRecords(), g.f.FroTimer_Timer();
       },
       {"goal.wav Stop 0", "goal.wav SetCurrentPosition 0", "goal.wav SetVolume -500",
        "goal.wav Play 0", "FroTimer Enabled 0", "ToTimer Enabled -1", "puck.wav SetVolume -3620"}},
      {"far wall",
       [away](Game& g) {
         away(g), g.Puck(2000, -3990), g.Retreating();
         g.f.OpponentPan = -2000, g.f.OpponentTicks = 5, g.f.DepthSpeed = 20;
         g.vp.ClearRecords(), g.f.FroTimer_Timer();
       },
       {"puck.wav SetVolume -4010", "rebound.wav SetPan 2000", "rebound.wav SetVolume -4010",
        "rebound.wav SetCurrentPosition 0", "rebound.wav Play 0", "FroTimer Enabled 0",
        "ToTimer Enabled -1"}},
  };
  // Each row sets the table, clears the records, then runs the one handler.
  for (const Row& r : rows) {
    r.run(g);
    EXPECT_EQ(g.Changes(), r.changes) << r.what;
  }
}

// ---------------------------------------------------------------- approach and the player's end

TEST_F(Rally, TheApproachStopsWithinOneStepOfTheEnd) {
  // A puck more than a step (80) from the end moves a step; if that leaves it within a step
  // the end is handled in the same tick. A puck already within a step does not move at all.
  struct Row {
    int32_t from, to;
    bool ended;
  };
  g.Paddle(-4000, -3000);
  for (const Row& r : {Row{-170, -90, false},
                       {-90, -10, true},
                       {-161, -81, false},
                       {-160, -80, true},
                       {-80, 0, true},
                       {-79, -79, false},
                       {-50, -50, false}}) {
    g.Approaching();
    g.Puck(2000, r.from);
    g.f.DepthSpeed = 80;
    g.vp.ClearRecords();
    g.f.ToTimer_Timer();
    EXPECT_EQ(g.PuckVolume(), r.to) << r.from;
    EXPECT_EQ(g.Away(), r.ended) << r.from;
    EXPECT_EQ(g.Played("rebound.wav"), r.ended) << r.from;
    EXPECT_EQ(g.f.DepthSpeed, r.ended ? 72 : 80) << r.from;
  }
}

TEST_F(Rally, EveryTickLetsWaitingInputInFirst) {
  // Input that arrived just before a tick is handled before the tick moves anything: a
  // paddle pushed into the approaching puck hits it in that very tick.
  for (auto tick : {&MainForm::RightTimer_Timer, &MainForm::LeftTimer_Timer,
                    &MainForm::ToTimer_Timer, &MainForm::FroTimer_Timer}) {
    g.Paddle(0, -2000);
    g.vp.MouseMove(5, 0);  // waiting, not yet pumped
    (g.f.*tick)();
    EXPECT_EQ(g.PaddlePan(), 20);
  }
  g.Puck(0, -1000);
  g.Paddle(0, -960);
  g.Approaching();
  g.f.DepthSpeed = 0;
  g.vp.MouseMove(0, -10);  // forward, by 40
  g.f.ToTimer_Timer();
  EXPECT_TRUE(g.Away());
}

TEST_F(Rally, AtLevelOneTheEndWallStopsThePuck) {
  g.Puck(2000, -80);
  g.Paddle(-4000, -3000);
  g.f.DepthSpeed = 80;
  g.f.SpeedLevel = 1;
  g.f.ToTimer_Timer();
  EXPECT_EQ(g.f.DepthSpeed, 0);
}

TEST_F(Rally, TheGoalMouthIsFiveHundredEitherSideInclusive) {
  for (auto [pan, goal] : {std::pair{500, true}, {-500, true}, {501, false}, {-501, false}}) {
    Game h;
    h.Load();
    h.Puck(pan, -80);
    h.Paddle(4000, -3000);
    h.f.DepthSpeed = 80;
    h.f.ToTimer_Timer();
    EXPECT_EQ(h.f.ComputerScore, goal ? 1 : 0) << pan;
    EXPECT_EQ(h.Played("buzz.wav"), goal) << pan;
    EXPECT_EQ(h.Played("rebound.wav"), !goal) << pan;
  }
}

TEST_F(Rally, AComputerGoalPutsPuckAndPaddleAtTheServe) {
  g.Puck(300, -100);
  g.Paddle(3000, -2500);
  g.vp.ClearRecords();
  g.f.DepthSpeed = 90;
  g.f.LateralSpeed = 250;
  g.f.ToTimer_Timer();
  EXPECT_EQ(g.Calls("buzz.wav"),
            (Strings{"Stop 0", "SetPan 300", "SetCurrentPosition 0", "Play 0"}));
  EXPECT_EQ(g.PuckVolume(), -100);
  EXPECT_EQ(g.PuckPan(), 0);
  EXPECT_EQ(g.PaddlePan(), 0);
  EXPECT_EQ(g.PaddleVolume(), 0);
  EXPECT_EQ(g.Calls("paddleslide.wav"), (Strings{"SetPan 0", "SetVolume 0", "SetVolume 0"}));
  EXPECT_EQ(g.f.LateralSpeed, 0);
  EXPECT_EQ(g.f.DepthSpeed, 0);
  EXPECT_EQ(g.f.ComputerScore, 1);
  EXPECT_TRUE(g.Away());
  // The puck waits there under the retreat timer until it is served.
  for (int i = 0; i < 50; ++i) g.f.FroTimer_Timer();
  EXPECT_EQ(g.PuckVolume(), -100);
  EXPECT_EQ(g.PuckPan(), 0);
}

// ---------------------------------------------------------------- retreat, opponent and far end

struct Far : Rally {
  void SetUp() override {
    Rally::SetUp();
    g.Paddle(-4500, -3000);  // out of the way
    g.Retreating();
    g.f.DepthSpeed = 0;
    g.f.LateralSpeed = 0;
  }
};

int StepsIn(Game& g, int ticks) {
  int steps = 0;
  for (int i = 0; i < ticks; ++i) {
    const int32_t before = g.f.OpponentPan;
    g.f.FroTimer_Timer();
    if (g.f.OpponentPan != before) ++steps;
  }
  return steps;
}

TEST_F(Far, TheOpponentsPaceSetsHowOftenItsPaddleMoves) {
  g.Puck(3000, -1000);
  g.f.OpponentPace = 1;
  g.f.OpponentTicks = 0;
  EXPECT_EQ(StepsIn(g, 300), 0);
  EXPECT_EQ(StepsIn(g, 1), 1);
  EXPECT_EQ(g.f.OpponentTicks, 0);
  EXPECT_EQ(StepsIn(g, 301), 1);
  g.f.OpponentPace = 2;
  g.f.OpponentTicks = 0;
  EXPECT_EQ(StepsIn(g, 100), 0);
  EXPECT_EQ(StepsIn(g, 101), 1);
  g.f.OpponentPace = 3;
  EXPECT_EQ(StepsIn(g, 10), 10);
  EXPECT_EQ(g.Calls("opponentpaddleslide.wav").back(), "Play 0");
}

TEST_F(Far, LevelWithThePuckTheOpponentStaysAndIsSilent) {
  g.f.OpponentPace = 3;
  for (int32_t pan : {0, 40, -40}) {
    g.Puck(pan, -1000);
    g.f.OpponentPan = pan;
    g.vp.ClearRecords();
    g.f.FroTimer_Timer();
    EXPECT_EQ(g.f.OpponentPan, pan);
    EXPECT_FALSE(g.Played("opponentpaddleslide.wav"));
  }
  // Steps to the left wait their turn as those to the right do: 301 ticks at level 1.
  g.Puck(-3000, -1000);
  g.f.OpponentPace = 1;
  g.f.OpponentTicks = 0;
  EXPECT_EQ(StepsIn(g, 300), 0);
  EXPECT_EQ(StepsIn(g, 1), 1);
  EXPECT_EQ(StepsIn(g, 300), 0);
  EXPECT_EQ(StepsIn(g, 1), 1);
}

TEST_F(Far, PastThePuckTheOpponentStepsRightAndBackInOneTick) {
  g.Puck(20, -1000);
  g.f.OpponentPace = 3;
  g.f.OpponentPan = 0;
  g.f.FroTimer_Timer();
  EXPECT_EQ(g.f.OpponentPan, 0);
  EXPECT_EQ(g.Calls("opponentpaddleslide.wav"), (Strings{"SetPan 40", "SetVolume -2000", "Play 0",
                                                         "SetPan 0", "SetVolume -2000", "Play 0"}));
}

TEST_F(Far, ReachIsStrictlyWithinForty) {
  g.Puck(39, -2500);
  g.f.OpponentPace = 1;
  g.f.FroTimer_Timer();
  EXPECT_TRUE(g.Toward());
  EXPECT_TRUE(g.Played("OpponentHit.wav"));

  g.Retreating();
  g.Puck(40, -2500);
  g.vp.ClearRecords();
  g.f.FroTimer_Timer();
  EXPECT_TRUE(g.Away());
  EXPECT_FALSE(g.Played("OpponentHit.wav"));

  g.Puck(-39, -2000);  // the zone's edge belongs to the opponent
  g.f.FroTimer_Timer();
  EXPECT_TRUE(g.Toward());

  g.Retreating();
  g.Puck(-40, -2500);
  g.f.FroTimer_Timer();
  EXPECT_TRUE(g.Away());
}

TEST_F(Far, ReturnsAimForTheMiddleWithTheBandsSpeedAndTheBonus) {
  struct Case {
    int32_t pan;
    bool was_right;
    bool right_after;
    int32_t old_speed, speed;
  };
  // Every band's first and last pan inside, worked out from the rules: 1, 4, 8, 12, 16 or
  // 20, and 29 more at level 1; on a band's edge the old speed stays.
  for (Case c :
       {Case{0, true, true, 77, 30},  {100, true, true, 77, 30},   {101, true, false, 77, 30},
        {-100, false, false, 77, 30}, {-101, false, true, 77, 30}, {201, true, false, 77, 33},
        {-399, false, true, 77, 33},  {-401, false, true, 77, 37}, {599, true, false, 77, 37},
        {-799, false, true, 77, 41},  {-801, false, true, 77, 45}, {999, true, false, 77, 45},
        {1001, true, false, 77, 49},  {150, true, false, 0, 30},   {-700, false, true, 0, 41},
        {50, true, true, 0, 30},      {50, false, false, 0, 30},   {200, false, false, 77, 106},
        {-200, true, true, 77, 106},  {199, true, false, 77, 30},  {1199, true, false, 0, 49},
        {1200, true, false, 5, 34},   {-1000, false, true, 5, 34}, {-999, false, true, 5, 45},
        {600, true, false, 5, 34},    {601, true, false, 5, 41},   {400, true, false, 77, 106},
        {-800, false, true, 77, 106}}) {
    g.Retreating();
    c.was_right ? g.GoingRight() : g.GoingLeft();
    g.Puck(c.pan, -2500);
    g.f.OpponentPan = c.pan;
    g.f.OpponentPace = 1;
    g.f.OpponentTicks = 5;
    g.f.LateralSpeed = c.old_speed;
    g.f.FroTimer_Timer();
    EXPECT_TRUE(g.Toward()) << c.pan;
    EXPECT_EQ(g.Right(), c.right_after) << c.pan;
    EXPECT_EQ(g.f.LateralSpeed, c.speed) << c.pan;
    EXPECT_EQ(g.f.OpponentTicks, 0);
  }
  EXPECT_EQ(g.Calls("OpponentHit.wav").back(), "Play 0");
}

TEST_F(Far, NoBonusFromPaceThirtyOn) {
  g.Puck(0, -2000);
  g.f.OpponentPace = 30;
  g.f.OpponentTicks = -1000;  // no paddle steps
  g.f.FroTimer_Timer();
  EXPECT_EQ(g.f.LateralSpeed, 1);
  EXPECT_EQ(g.f.DepthSpeed, 100);  // 2000 * 30 / 200 = 300, capped at the end of the tick
}

TEST_F(Far, AReturnsDepthGainGrowsWithDistanceAndPace) {
  for (auto [volume, before, after] :
       {std::tuple{-2000, 0, 10}, {-2500, 40, 52}, {-2500, 41, 54}}) {
    g.Retreating();
    g.Puck(0, volume);
    g.f.OpponentPan = 0;
    g.f.OpponentPace = 1;
    g.f.DepthSpeed = before;
    g.f.FroTimer_Timer();
    EXPECT_EQ(g.f.DepthSpeed, after) << volume << " " << before;
    EXPECT_EQ(g.PuckVolume(), volume - after);  // and the far-end step still runs
  }
}

TEST_F(Far, TheFarGoalNeedsTheMouthAndTheDepth) {
  for (auto [pan, volume, goal] : {std::tuple{499, -3501, true},
                                   {-499, -3501, true},
                                   {500, -3501, false},
                                   {-500, -3501, false},
                                   {499, -3500, false}}) {
    Game h;
    h.Load();
    h.vp.ClearRecords();
    h.Paddle(-4500, -3000);
    h.Puck(pan, volume);
    h.f.OpponentPan = 5000;
    h.f.DepthSpeed = 0;
    h.Retreating();
    h.f.FroTimer_Timer();
    EXPECT_EQ(h.f.PlayerScore, goal ? 1 : 0) << pan << " " << volume;
    if (goal) {
      EXPECT_EQ(h.Calls("goal.wav"),
                (Strings{"Stop 0", "SetCurrentPosition 0", "SetVolume -500", "Play 0"}));
    }
  }
}

TEST_F(Far, APlayerGoalStrengthensTheOpponentAndNarrowsTheReach) {
  g.Puck(0, -3600);
  g.f.OpponentPan = 3000;
  g.f.DepthSpeed = 0;
  g.f.FroTimer_Timer();
  EXPECT_EQ(g.f.OpponentPace, 2);
  EXPECT_EQ(g.f.HitTolerance, 1950);
  EXPECT_EQ(g.f.DepthSpeed, 20);
  EXPECT_EQ(g.PuckVolume(), -3620);  // not reset: it comes back from where it is
  EXPECT_TRUE(g.Toward());
  for (auto [before, after] : {std::pair{450, 400}, {400, 400}}) {
    g.Retreating();
    g.Puck(0, -3600);
    g.f.HitTolerance = before;
    g.f.FroTimer_Timer();
    EXPECT_EQ(g.f.HitTolerance, after);
  }
}

TEST_F(Far, TheToleranceReachesFourHundredAtTheThirtySecondGoal) {
  for (int goal = 1; goal <= 40; ++goal) {
    g.Retreating();
    g.Puck(0, -3600);
    g.f.OpponentPan = 3000;
    g.f.OpponentTicks = -100000;
    g.f.DepthSpeed = 0;
    g.f.FroTimer_Timer();
    if (goal == 31) {
      EXPECT_EQ(g.f.HitTolerance, 450);
    }
    if (goal == 32) {
      EXPECT_EQ(g.f.HitTolerance, 400);
    }
  }
  EXPECT_EQ(g.f.HitTolerance, 400);
  EXPECT_EQ(g.f.PlayerScore, 40);
  g.f.HitTolerance = 401;  // anything above 400 is still lowered
  g.Retreating();
  g.f.FroTimer_Timer();
  EXPECT_EQ(g.f.HitTolerance, 351);
}

TEST_F(Far, AGoalAndAFarReboundInOneTick) {
  g.Puck(0, -3980);
  g.f.OpponentPan = 3000;
  g.f.OpponentPace = 1;
  g.f.DepthSpeed = 40;
  g.f.SpeedLevel = 10;
  g.f.FroTimer_Timer();
  EXPECT_EQ(g.f.PlayerScore, 1);
  EXPECT_EQ(g.PuckVolume(), -4040);
  EXPECT_TRUE(g.Played("rebound.wav"));
  EXPECT_EQ(g.f.DepthSpeed, 54);
  EXPECT_TRUE(g.Toward());
}

TEST_F(Far, TheFarWallIsAtMinusFourThousand) {
  g.Puck(2000, -3990);
  g.f.DepthSpeed = 5;
  g.f.FroTimer_Timer();
  EXPECT_EQ(g.PuckVolume(), -3995);
  EXPECT_TRUE(g.Away());
  g.f.FroTimer_Timer();
  EXPECT_EQ(g.PuckVolume(), -4000);
  EXPECT_TRUE(g.Toward());
  EXPECT_EQ(g.Calls("rebound.wav"),
            (Strings{"SetPan 2000", "SetVolume -4000", "SetCurrentPosition 0", "Play 0"}));
}

TEST_F(Far, ASlowPuckAlwaysComesBack) {
  // At level 1 the bounce's loss takes the whole speed, and at level 2 a speed of 1 rounds
  // to 0: the puck still leaves the wall at 1.
  struct Row {
    int32_t level, before, after;
  };
  for (const Row& r : {Row{10, 0, 1},
                       {10, 1, 2},
                       {10, 2, 3},
                       {10, 3, 3},
                       {10, 150, 90},
                       {1, 0, 1},
                       {1, 2, 1},
                       {1, 150, 1},
                       {2, 0, 1},
                       {2, 1, 1},
                       {2, 5, 2}}) {
    g.Retreating();
    g.Puck(2000, -4000);
    g.f.SpeedLevel = r.level;
    g.f.DepthSpeed = r.before;
    g.f.FroTimer_Timer();
    EXPECT_EQ(g.f.DepthSpeed, r.after) << r.level << " " << r.before;
    EXPECT_TRUE(g.Toward());
  }
}

// ---------------------------------------------------------------- the end of a game

Strings Announcement(const std::string& player, const std::string& computer, bool player_won,
                     const std::string& closing) {
  return {
      "The score is", player, "to", computer, player_won ? "darn!  You win!" : "Yippee!  I win!",
      closing};
}

void ComputerScores(Game& g) {
  g.Approaching();
  g.Puck(0, -80);
  g.f.DepthSpeed = 80;
  g.f.ToTimer_Timer();
}

void PlayerScores(Game& g) {
  g.Retreating();
  g.Puck(0, -3600);
  g.f.OpponentPan = 3000;
  g.f.OpponentTicks = -100000;
  g.f.FroTimer_Timer();
}

TEST_F(Far, TheComputersFiftiethGoalIsAnnouncedAndPlayGoesOn) {
  g.f.PlayerScore = 37;
  g.f.ComputerScore = 49;
  ComputerScores(g);
  EXPECT_EQ(g.f.GameOver, kTrue);
  EXPECT_EQ(g.Said(), Announcement("37", "50", false, "wanna get beat again?"));
  for (const auto& s : g.vp.spoken()) EXPECT_EQ(s.flags, kSpeakWait);
  EXPECT_TRUE(g.Away());  // the tick went on after the announcement
  EXPECT_EQ(g.f.DepthSpeed, 0);
  g.vp.ClearRecords();
  ComputerScores(g);
  EXPECT_EQ(g.f.ComputerScore, 51);
  EXPECT_TRUE(g.Said().empty());
}

TEST_F(Far, ThePlayersFiftiethGoalIsAnnouncedAndPlayGoesOn) {
  g.f.PlayerScore = 49;
  g.f.ComputerScore = 12;
  PlayerScores(g);
  EXPECT_EQ(g.Said(),
            Announcement("50", "12", true, "But you won't next time.  Wanna play again?"));
  EXPECT_EQ(g.f.GameOver, kTrue);
  // After the lines the tick goes on: the puck turned toward the player still takes its
  // step away, 10 x the raised pace of 2.
  EXPECT_TRUE(g.Toward());
  EXPECT_EQ(g.PuckVolume(), -3620);
  g.vp.ClearRecords();
  PlayerScores(g);
  EXPECT_EQ(g.f.PlayerScore, 51);
  EXPECT_TRUE(g.Said().empty());
}

TEST_F(Far, TheOtherSideReachingFiftyLaterIsAnnouncedAgain) {
  g.f.PlayerScore = 49;
  g.f.ComputerScore = 55;
  PlayerScores(g);
  EXPECT_EQ(g.Said(), Announcement("50", "55", false, "Wanna get beat again?"));
}

TEST_F(Far, ATieAtFiftyGoesToTheComputersLines) {
  g.f.PlayerScore = 50;
  g.f.ComputerScore = 49;
  ComputerScores(g);
  EXPECT_EQ(g.Said(), Announcement("50", "50", false, "wanna get beat again?"));
}

TEST_F(Far, APlayerAheadWhenTheComputerReachesFifty) {
  g.f.PlayerScore = 60;
  g.f.ComputerScore = 49;
  ComputerScores(g);
  EXPECT_EQ(g.Said(), Announcement("60", "50", true, "Let's play again so I can whip ya!"));
}

}  // namespace
}  // namespace palomir::testing
