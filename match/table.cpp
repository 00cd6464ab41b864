#include "match/table.h"

#include <algorithm>

#include "game/table_rules.h"
#include "platform/keycodes.h"
#include "platform/sound.h"

namespace palomir::match {

using namespace table;

namespace {

using Kind = Event::Kind;

// The puck as `end` hears it, and set back from that view.
int32_t PuckPan(const State& s, int end) {
  return PanFrom(end, s.puck_pan);
}
int32_t PuckVolume(const State& s, int end) {
  return VolumeFrom(end, s.puck_volume);
}
void SetPuckVolume(State& s, int end, int32_t volume) {
  s.puck_volume = VolumeFrom(end, volume);  // mirroring is its own inverse
}
// The puck goes to `end`'s right / toward `end`, as that end hears it.
void GoRight(State& s, int end, bool right) {
  s.right = end == kHost ? right : !right;
}
void GoToward(State& s, int end) {
  s.toward_host = end == kHost;
}

struct Ticker {
  State& s;
  std::vector<Event>& out;

  void Emit(Kind kind, int end, int32_t value = 0) {
    out.push_back({s.tick, kind, static_cast<int8_t>(end), s.puck_pan, s.puck_volume, value});
  }

  // --- What an end's input does, as the game's input handler does for its player.
  void Take(int end, const EndInput& in) {
    Paddle& p = s.paddles[static_cast<size_t>(end)];
    const bool listening = (in.flags & kListening) != 0;
    if (listening != p.listening) {
      p.listening = listening;
      Emit(Kind::kListening, end, listening ? 1 : 0);
    }
    if (s.phase == Phase::kEnded) return;
    if (in.dx != 0) {
      Emit(Kind::kSlide, end);
      const int32_t pan = CheckedAdd(p.pan, CheckedMul(kMovementScale, in.dx));
      p.speed_x = SpeedOf(in.dx);
      // A move that would take the paddle to the edge is dropped whole, not cut short.
      if (pan > -kPaddlePanLimit && pan < kPaddlePanLimit) p.pan = pan;
    }
    if (in.dy != 0) {
      const int32_t volume = CheckedAdd(p.volume, CheckedMul(kMovementScale, in.dy));
      p.speed_y = SpeedOf(in.dy);
      p.volume = std::clamp(volume, kPaddleFarthest, kPaddleNearest);
    }
    for (int i = 0; i < in.serves; ++i) {
      // The paddle jumps to the puck's line, at the player's end.
      p.pan = PuckPan(s, end);
      p.volume = 0;
    }
    for (int run = 0; run < in.runs; ++run) {
      if (s.phase == Phase::kOver) {
        Answer(end, in.keys);
        return;
      }
      if (end == kHost) Level(in.keys);
      Grid(end, in.keys);
    }
  }

  void Answer(int end, uint64_t keys) {
    Paddle& p = s.paddles[static_cast<size_t>(end)];
    if (p.answered) return;  // a Y stands: the match waits for the friend's
    if (keys & kKeyYes) {
      p.answered = true;
      Emit(Kind::kAnswered, end);
    } else if (keys & kKeyNo) {
      s.phase = Phase::kEnded;
      Emit(Kind::kQuit, end);
    }
  }

  void Level(uint64_t keys) {
    if (keys & kKeyUp) {
      s.level = CheckedAdd(s.level, 1);
      Emit(Kind::kLevel, kHost, s.level);
    }
    if ((keys & kKeyDown) && s.level >= 2) {
      s.level = CheckedSub(s.level, 1);
      Emit(Kind::kLevel, kHost, s.level);
    }
  }

  void Grid(int end, uint64_t keys) {
    if (PuckVolume(s, end) <= kGridReach) return;
    for (size_t r = 0; r < kRows.size(); ++r) {
      for (size_t c = 0; c < kColumns.size(); ++c) {
        if (!(keys & (uint64_t{1} << (r * kColumns.size() + c)))) continue;
        const int32_t pan = PuckPan(s, end);
        if (!InBand(kColumns[c], pan)) continue;
        Emit(Kind::kHit, end);
        s.lateral_speed = GridLateral(kRows[r], kColumns[c], pan, s.lateral_speed);
        GoRight(s, end, !(pan < kColumns[c].turn));
        GoToward(s, Other(end));
        s.depth_speed = GridDepth(kRows[r], s.depth_speed);
      }
    }
  }

  // --- The puck, as the game's four timers move it.
  void Lateral() {
    if (s.right) {
      s.puck_pan = std::clamp(CheckedAdd(s.puck_pan, s.lateral_speed), kPanLeft, kPanRight);
      if (s.puck_pan >= kSideWall) {
        Emit(Kind::kSideBounce, kHost);
        s.right = false;
        s.lateral_speed = Damped(s.lateral_speed, s.level);
      }
    } else {
      s.puck_pan = std::clamp(CheckedSub(s.puck_pan, s.lateral_speed), kPanLeft, kPanRight);
      if (s.puck_pan <= -kSideWall) {
        Emit(Kind::kSideBounce, kHost);
        s.right = true;
        // The left wall caps before it damps; the right wall the other way round.
        s.lateral_speed = std::min(s.lateral_speed, kLateralCap);
        s.lateral_speed = Damped(s.lateral_speed, s.level);
      }
    }
    s.lateral_speed = std::min(s.lateral_speed, kLateralCap);
  }

  // A pushed paddle in reach sends the puck away from its end.
  void TryHit(int end, int32_t tolerance) {
    Paddle& p = s.paddles[static_cast<size_t>(end)];
    const int32_t volume = PuckVolume(s, end);
    if (!Touches(p.pan, p.volume, PuckPan(s, end), volume, tolerance)) return;
    if (!(p.volume > kHitZone && p.speed_y < 0)) return;
    Emit(Kind::kHit, end);
    GoRight(s, end, p.speed_x > 0);
    s.lateral_speed = CheckedAdd(s.lateral_speed, CheckedAbs(CheckedMul(20, p.speed_x)));
    GoToward(s, Other(end));
    s.depth_speed = PushedDepth(volume, p.speed_y, s.depth_speed);
  }

  // The puck comes toward `end`: the friend's paddle may still catch it as it leaves, then
  // `end`'s may hit it, and it moves on to `end`'s end wall or into its goal.
  void Depth() {
    const int end = s.toward_host ? kHost : kJoiner;
    TryHit(Other(end), kRetreatTolerance);
    TryHit(end, kFirstTolerance);
    const int32_t v = PuckVolume(s, end);
    if (!(v > CheckedSub(0, s.depth_speed))) {
      SetPuckVolume(s, end, std::clamp(CheckedAdd(v, s.depth_speed), kVolumeMin, kVolumeMax));
      if (!(PuckVolume(s, end) < CheckedSub(0, s.depth_speed))) EndOfTable(end);
    }
    // A lateral speed over the cap here stops the sideways motion rather than capping it.
    if (s.lateral_speed > kLateralCap) s.lateral_speed = 0;
    s.depth_speed = std::min(s.depth_speed, kDepthCap);
  }

  void EndOfTable(int end) {
    const int32_t pan = PuckPan(s, end);
    if (pan < -kGoalMouth || pan > kGoalMouth) {
      Emit(Kind::kRebound, end);
    } else {
      Emit(Kind::kGoal, Other(end));
      // The puck rests in front of the player scored against, the paddle beside it.
      SetPuckVolume(s, end, kRestVolume);
      s.puck_pan = 0;
      Paddle& p = s.paddles[static_cast<size_t>(end)];
      p.pan = 0;
      p.volume = 0;
      s.lateral_speed = 0;
      s.depth_speed = 0;
      int32_t& score = s.scores[static_cast<size_t>(Other(end))];
      score = CheckedAdd(score, 1);
      if (score == kFinalScore) {
        s.phase = Phase::kOver;
        Emit(Kind::kOver, Other(end));
      }
    }
    s.depth_speed = Damped(std::min(s.depth_speed, kDepthCap), s.level);
    GoToward(s, Other(end));
  }

  void Begin() {
    // Down the middle from the joiner's end toward the host, as the game's puck comes.
    s.phase = Phase::kPlay;
    s.puck_pan = 0;
    s.puck_volume = kFarWall;
    s.right = true;
    s.toward_host = true;
    s.lateral_speed = 1;
    s.depth_speed = 80;
    Emit(Kind::kPuckIn, kHost);
  }

  void NewMatch() {
    const State fresh;
    s.phase = Phase::kWelcome;
    s.countdown = kWelcomeTicks;
    s.scores = {0, 0};
    s.level = kFirstLevel;
    s.puck_pan = fresh.puck_pan;
    s.puck_volume = fresh.puck_volume;
    s.lateral_speed = s.depth_speed = 0;
    for (Paddle& p : s.paddles) p.answered = false;
    s.matches = CheckedAdd(s.matches, 1);
    Emit(Kind::kWelcome, kHost);
  }
};

}  // namespace

EndInput Predicted(const EndInput& last) {
  EndInput guess = last;
  guess.serves = 0;
  return guess;
}

int32_t PanFrom(int end, int32_t pan) {
  return end == kHost ? pan : -pan;
}
int32_t VolumeFrom(int end, int32_t volume) {
  return end == kHost ? volume : kFarWall - volume;
}

void Step(State& s, const std::array<EndInput, 2>& in, std::vector<Event>& out) {
  Ticker t{s, out};
  if (s.tick == 0) t.Emit(Kind::kWelcome, kHost);
  t.Take(kHost, in[kHost]);
  t.Take(kJoiner, in[kJoiner]);
  switch (s.phase) {
    case Phase::kWelcome:
      if (--s.countdown <= 0) t.Begin();
      break;
    case Phase::kPlay:
      t.Lateral();
      t.Depth();
      break;
    case Phase::kOver:
      if (s.paddles[kHost].answered && s.paddles[kJoiner].answered) t.NewMatch();
      break;
    case Phase::kEnded:
      break;
  }
  s.tick = CheckedAdd(s.tick, 1);
}

Seen SeenFrom(const State& s, int end) {
  const Paddle& f = s.paddles[static_cast<size_t>(Other(end))];
  // The friend's paddle is at their end: mirrored once to the host's view, once to ours.
  const int32_t friend_volume = VolumeFrom(Other(end), f.volume);
  return {PanFrom(end, s.puck_pan), std::clamp(VolumeFrom(end, s.puck_volume), kVolumeMin, kVolumeMax),
          -f.pan, std::clamp(VolumeFrom(end, friend_volume), kVolumeMin, kVolumeMax)};
}

uint64_t Checksum(const State& s) {
  uint64_t h = 14695981039346656037ULL;
  auto mix = [&h](int64_t v) {
    for (int i = 0; i < 8; ++i) {
      h ^= static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
      h *= 1099511628211ULL;
    }
  };
  for (int64_t v : {int64_t{s.tick}, int64_t{static_cast<int>(s.phase)}, int64_t{s.countdown},
                    int64_t{s.puck_pan}, int64_t{s.puck_volume}, int64_t{s.right},
                    int64_t{s.toward_host}, int64_t{s.lateral_speed}, int64_t{s.depth_speed},
                    int64_t{s.level}, int64_t{s.scores[0]}, int64_t{s.scores[1]},
                    int64_t{s.matches}}) {
    mix(v);
  }
  for (const Paddle& p : s.paddles) {
    for (int64_t v : {int64_t{p.pan}, int64_t{p.volume}, int64_t{p.speed_x}, int64_t{p.speed_y},
                      int64_t{p.listening}, int64_t{p.answered}}) {
      mix(v);
    }
  }
  return h;
}

}  // namespace palomir::match
