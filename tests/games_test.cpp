// Whole games on the virtual machine, played by a scripted player with random input.
#include <gtest/gtest.h>

#include "game_fixture.h"
#include "tools/autoplayer.h"

namespace palomir::testing {
namespace {

void ExpectSound(const Game& g) {
  ASSERT_NE(g.f.RightTimer.Enabled(), g.f.LeftTimer.Enabled()) << "lateral pair";
  ASSERT_NE(g.f.ToTimer.Enabled(), g.f.FroTimer.Enabled()) << "depth pair";
  ASSERT_GE(g.f.LateralSpeed, 0);
  ASSERT_GE(g.f.DepthSpeed, 0);
  ASSERT_GE(g.f.SpeedLevel, 1);
}

TEST(WholeGames, ManyGamesEndWithoutARunTimeErrorAndTheRulesHold) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    Game g;
    g.Load();
    g.vp.recording = false;
    Autoplayer player(g.vp, g.o, g.f, seed);
    int games = 0;
    bool was_over = false;
    for (int step = 0; step < 400000 && games < 2; ++step) {
      player.Step();
      ExpectSound(g);
      if (::testing::Test::HasFatalFailure()) return;
      const bool over = g.f.GameOver == kTrue;
      if (over && !was_over) ++games;
      was_over = over;
    }
    EXPECT_EQ(games, 2) << "seed " << seed;
    EXPECT_TRUE(g.errors.empty()) << g.errors.front();
    EXPECT_EQ(g.f.errors(), 0);
  }
}

TEST(WholeGames, AFinishedGameWaitsWithThePuckStillMoving) {
  Game g;
  g.Load();
  g.f.ComputerScore = 49;
  g.Puck(0, -100);
  g.Paddle(4000, -3000);
  g.vp.RunFor(2.0);  // the puck comes down the middle: the 50th goal
  ASSERT_EQ(g.f.GameOver, kTrue);
  g.Paddle(0, 0);
  g.f.MouseSpeedY = -5;  // the player serves the resting puck...
  g.vp.RunFor(0.5);
  EXPECT_EQ(g.f.GameOver, kTrue);  // ...and play goes on, waiting for Y or N
  EXPECT_LT(g.PuckVolume(), -100);
  EXPECT_TRUE(g.errors.empty());
}

}  // namespace
}  // namespace palomir::testing
