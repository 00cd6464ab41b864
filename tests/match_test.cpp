// The match between two players: the table's rules from both ends, the rollback against the
// plain run of the final inputs on a bad line, the packets' reading, and the link itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <random>
#include <thread>

#include "app/run.h"
#include "game_fixture.h"
#include "match/match_play.h"
#include "match/protocol.h"
#include "match/rollback.h"
#include "platform/keycodes.h"
#include "platform/net/link.h"


namespace palomir::match {
namespace {

using Kind = Event::Kind;

// The grid key of `row` (0 the digits .. 3 the bottom row) and `column` (0 left .. 8 right).
uint64_t GridKey(int row, int column) {
  return uint64_t{1} << (row * 9 + column);
}

std::vector<Event> Ticks(State& s, int ticks, const std::array<EndInput, 2>& in = {}) {
  std::vector<Event> out;
  for (int i = 0; i < ticks; ++i) Step(s, i == 0 ? in : std::array<EndInput, 2>{}, out);
  return out;
}
bool Has(const std::vector<Event>& events, Kind kind, int end) {
  return std::any_of(events.begin(), events.end(),
                     [&](const Event& e) { return e.kind == kind && e.end == end; });
}

// Each row: a puck placed near one end, what that end does, and what follows.
TEST(Match, EachEndPlaysByTheSameRulesMirrored) {
  struct Row {
    const char* what;
    int end;                 // the end the puck comes toward
    int32_t pan, volume;     // the puck as that end hears it
    EndInput input;          // that end's input
    Kind expect;             // what happens first, by `end` (a goal: by the other)
    bool right;              // where the puck then goes, as that end hears it
    bool away;               // toward the other end
  };
  EndInput grid;
  grid.runs = 1;
  grid.keys = GridKey(1, 3);  // R: the column left of the middle, a strong row
  EndInput push;
  push.dy = -20;
  push.dx = 5;
  const Row rows[] = {
      {"the joiner's grid, mirrored", kJoiner, -1000, -300, grid, Kind::kHit, false, true},
      {"the joiner's push, sent to its right", kJoiner, 200, -100, push, Kind::kHit, true, true},
      {"nothing: a goal against the joiner", kJoiner, 100, -100, EndInput{}, Kind::kGoal, true, true},
      {"nothing, off the mouth: the end wall", kHost, 2000, -100, EndInput{}, Kind::kRebound, true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    State s;
    s.phase = Phase::kPlay;
    s.puck_pan = PanFrom(row.end, row.pan);
    s.puck_volume = VolumeFrom(row.end, row.volume);
    s.toward_host = row.end == kHost;
    s.right = row.end == kHost;  // to this end's right
    s.depth_speed = 80;
    s.lateral_speed = 0;
    Paddle& p = s.paddles[static_cast<size_t>(row.end)];
    p.pan = row.pan;
    p.volume = -100;
    std::array<EndInput, 2> in{};
    in[static_cast<size_t>(row.end)] = row.input;
    std::vector<Event> out;
    Step(s, in, out);
    const int by = row.expect == Kind::kGoal ? Other(row.end) : row.end;
    ASSERT_TRUE(Has(out, row.expect, by));
    EXPECT_EQ(s.toward_host, row.end != kHost) << "the puck leaves the end it reached";
    if (row.expect == Kind::kHit) {
      EXPECT_EQ(s.right == (row.end == kHost), row.right);
      EXPECT_GT(s.depth_speed, 80);
    }
    if (row.expect == Kind::kGoal) {
      EXPECT_EQ(s.scores[static_cast<size_t>(by)], 1);
      const Seen seen = SeenFrom(s, row.end);
      EXPECT_EQ(seen.puck_volume, -100) << "it rests in front of the player scored against";
      EXPECT_EQ(seen.puck_pan, 0);
      EXPECT_EQ(s.depth_speed, 0);
    }
  }
  // Each end hears the other's paddle at the far end, its left mirrored.
  State s;
  s.paddles[kJoiner].pan = 1200;
  s.paddles[kJoiner].volume = 0;
  EXPECT_EQ(SeenFrom(s, kHost).friend_pan, -1200);
  EXPECT_EQ(SeenFrom(s, kHost).friend_volume, -4000);
  EXPECT_EQ(SeenFrom(s, kJoiner).puck_volume, 0) << "the puck begins at the joiner's end";
}

// A match from its welcome to its end: the puck's start, the host's level (the joiner's keys
// do nothing to it), the last goal, the answers.
TEST(Match, AMatchBeginsEndsAndIsPlayedAgainOnlyWhenBothSayYes) {
  State s;
  std::array<EndInput, 2> up{};
  up[kHost].runs = 1;
  up[kHost].keys = kKeyUp;
  up[kJoiner].runs = 1;
  up[kJoiner].keys = kKeyDown;
  std::vector<Event> out = Ticks(s, kWelcomeTicks, up);
  EXPECT_EQ(out.front().kind, Kind::kWelcome);
  EXPECT_EQ(s.level, 11) << "the host's Up; the joiner's Down is not the joiner's to give";
  EXPECT_TRUE(Has(out, Kind::kPuckIn, kHost));
  EXPECT_EQ(s.phase, Phase::kPlay);

  s.scores = {49, 12};
  s.puck_pan = 0;
  s.puck_volume = -3900;
  s.toward_host = false;
  s.depth_speed = 80;
  out = Ticks(s, 1);
  ASSERT_TRUE(Has(out, Kind::kOver, kHost));
  EXPECT_EQ(s.phase, Phase::kOver);

  std::array<EndInput, 2> yes{};
  yes[kJoiner].runs = 1;
  yes[kJoiner].keys = kKeyYes | GridKey(0, 4);
  out = Ticks(s, 3, yes);
  EXPECT_TRUE(Has(out, Kind::kAnswered, kJoiner));
  EXPECT_EQ(s.phase, Phase::kOver) << "one Y waits for the other";
  yes[kHost] = yes[kJoiner];
  out = Ticks(s, 1, yes);
  EXPECT_TRUE(Has(out, Kind::kWelcome, kHost));
  EXPECT_EQ(s.scores, (std::array<int32_t, 2>{0, 0}));
  EXPECT_EQ(s.matches, 2);

  s.phase = Phase::kOver;
  std::array<EndInput, 2> no{};
  no[kJoiner].runs = 1;
  no[kJoiner].keys = kKeyNo;
  out = Ticks(s, 1, no);
  EXPECT_TRUE(Has(out, Kind::kQuit, kJoiner));
  EXPECT_EQ(s.phase, Phase::kEnded);
}

// Random play at both ends over a line of 100 ms each way (+-20 ms), losing one packet in
// twenty, for five minutes of the game's clock: what each end made final is what the final
// inputs give when run straight through, and the checksums agree every second.
TEST(Match, RollbackOnABadLineEndsWhereTheFinalInputsLead) {
  constexpr int kTicks = 5 * 60 * 100;
  std::mt19937 rng(7);
  struct Packet {
    int32_t at;  // the tick it arrives
    std::vector<uint8_t> data;
  };
  struct End {
    Rollback r;
    std::deque<Packet> inbox;
    int32_t acked = 0;
    std::vector<Event> finals;
    std::vector<std::array<EndInput, 2>> inputs;
    std::vector<std::pair<int32_t, uint64_t>> sums;
    EndInput held;
    int most_rerun = 0;
    explicit End(int e) : r(e) {}
  };
  End ends[2] = {End(kHost), End(kJoiner)};
  auto random_input = [&rng](EndInput& held) {
    std::uniform_int_distribution<int> d(0, 99);
    EndInput in = held;
    in.dx = in.dy = 0;
    in.runs = in.serves = 0;
    if (d(rng) < 30) {
      in.dx = static_cast<int16_t>(d(rng) / 4 - 12);
      in.dy = static_cast<int16_t>(d(rng) / 5 - 12);
      in.runs = 1;
    }
    if (d(rng) < 3) in.serves = 1;
    if (d(rng) < 5) held.keys = d(rng) < 50 ? 0 : GridKey(d(rng) % 4, d(rng) % 9);
    if (d(rng) < 1) held.keys |= kKeyYes;
    in.keys = held.keys;
    if (in.keys && d(rng) < 20) in.runs = 1;
    return in;
  };
  for (int32_t now = 0; now < kTicks + 200; ++now) {
    for (int e = 0; e < 2; ++e) {
      End& me = ends[e];
      End& other = ends[1 - e];
      while (!me.inbox.empty() && me.inbox.front().at <= now) {
        const auto p = Decode(me.inbox.front().data.data(), me.inbox.front().data.size());
        me.inbox.pop_front();
        ASSERT_TRUE(p);
        me.acked = std::max(me.acked, static_cast<int32_t>(p->ack));
        for (size_t i = 0; i < p->inputs.size(); ++i) me.r.Remote(static_cast<int32_t>(p->tick + i), p->inputs[i]);
      }
      me.most_rerun = std::max(me.most_rerun, me.r.Settle());
      if (now < kTicks && me.r.CanAdvance()) me.r.Advance(random_input(me.held));
      const int32_t next = me.r.next_tick();
      if (next > 0) {
        match::Packet p;
        p.type = match::Packet::Type::kInputs;
        const int32_t from = std::clamp(me.acked, next - kMostInputsSent, next - 1);
        p.ack = static_cast<uint32_t>(me.r.known());
        p.tick = static_cast<uint32_t>(from);
        for (int32_t t = from; t < next; ++t) p.inputs.push_back(me.r.LocalInput(t));
        if (rng() % 20 != 0) {
          const int32_t at = now + 10 + static_cast<int32_t>(rng() % 5) - 2;
          auto it = std::find_if(other.inbox.begin(), other.inbox.end(),
                                 [at](const Packet& q) { return q.at > at; });
          other.inbox.insert(it, {at, Encode(p)});
        }
      }
      for (const Event& ev : me.r.TakeFinal()) me.finals.push_back(ev);
      for (const auto& in : me.r.TakeFinalInputs()) me.inputs.push_back(in);
      for (const auto& sum : me.r.TakeChecksums()) me.sums.push_back(sum);
    }
  }
  // Straight through, with nothing guessed.
  const size_t ticks = std::min(ends[0].inputs.size(), ends[1].inputs.size());
  ASSERT_GT(ticks, static_cast<size_t>(kTicks - 100));
  State plain;
  std::vector<Event> events;
  std::vector<std::pair<int32_t, uint64_t>> sums;
  for (size_t t = 0; t < ticks; ++t) {
    ASSERT_EQ(ends[0].inputs[t], ends[1].inputs[t]) << "tick " << t;
    Step(plain, ends[0].inputs[t], events);
    if ((t + 1) % Rollback::kChecksumEvery == 0) sums.emplace_back(t + 1, Checksum(plain));
  }
  for (const End& end : ends) {
    std::vector<Event> finals(end.finals.begin(),
                              std::find_if(end.finals.begin(), end.finals.end(), [&](const Event& e) {
                                return e.tick >= static_cast<int32_t>(ticks);
                              }));
    EXPECT_EQ(finals, events);
    ASSERT_GE(end.sums.size(), sums.size());
    EXPECT_TRUE(std::equal(sums.begin(), sums.end(), end.sums.begin()));
    EXPECT_LE(end.most_rerun, Rollback::kMostAhead);
    EXPECT_GT(end.most_rerun, 0) << "the line was bad enough to guess wrong";
  }
  EXPECT_TRUE(Has(events, Kind::kHit, kHost) && Has(events, Kind::kHit, kJoiner));
  EXPECT_TRUE(Has(events, Kind::kGoal, kHost) && Has(events, Kind::kGoal, kJoiner));
}

// A packet is one of the protocol's, whole, or nothing; an input already known, or too far
// ahead, is not taken.
TEST(Match, APacketIsTakenWholeOrNotAtAll) {
  match::Packet inputs;
  inputs.type = match::Packet::Type::kInputs;
  inputs.ack = 7;
  inputs.tick = 40;
  EndInput in;
  in.dx = -300;
  in.dy = 12;
  in.runs = 2;
  in.serves = 1;
  in.keys = kKeyYes | GridKey(3, 8);
  in.flags = kListening;
  inputs.inputs = {in, EndInput{}};
  const std::vector<uint8_t> good = Encode(inputs);
  const auto back = Decode(good.data(), good.size());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->inputs, inputs.inputs);
  EXPECT_EQ(back->tick, 40u);
  EXPECT_EQ(back->ack, 7u);
  match::Packet hello;
  hello.version = "1.1.0";
  const std::vector<uint8_t> greeting = Encode(hello);
  ASSERT_TRUE(Decode(greeting.data(), greeting.size()));
  EXPECT_EQ(Decode(greeting.data(), greeting.size())->version, "1.1.0");

  struct Bad {
    const char* what;
    std::vector<uint8_t> data;
  };
  auto changed = [&good](size_t at, uint8_t v) {
    std::vector<uint8_t> d = good;
    d[at] = v;
    return d;
  };
  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  std::vector<uint8_t> spaced = greeting;
  spaced[5] = ' ';
  const Bad bad[] = {
      {"empty", {}},
      {"truncated", std::vector<uint8_t>(good.begin(), good.end() - 1)},
      {"a byte too many", longer},
      {"oversized", std::vector<uint8_t>(kLargestPacket + 1, 'P')},
      {"not this game's", changed(0, 'X')},
      {"another protocol", changed(2, 9)},
      {"an unknown type", changed(3, 0x77)},
      {"no inputs", changed(12, 0)},
      {"more inputs than sent", changed(12, kMostInputsSent + 1)},
      {"too many runs", changed(17, kMostRuns + 1)},
      {"too many presses", changed(18, kMostServes + 1)},
      {"a flag that is none", changed(24, 0x80)},
      {"a version with a blank", spaced},
  };
  for (const Bad& b : bad) EXPECT_FALSE(Decode(b.data.data(), b.data.size())) << b.what;

  Rollback r(kHost);
  EXPECT_TRUE(r.Remote(0, in));
  EXPECT_FALSE(r.Remote(0, EndInput{})) << "a repeat";
  EXPECT_FALSE(r.Remote(Rollback::kKept + 5, in)) << "too far ahead to be the friend's";
  EXPECT_EQ(r.known(), 1);
}

// The network's link on loopback: the friend connects, packets go both ways, reliable ones
// in order; a goodbye carries its code. (A stranger's packets: the two-game test.)
TEST(Match, TheLinkCarriesTheFriendAndNobodyElse) {
  std::string error;
  const uint16_t port = static_cast<uint16_t>(20000 + (std::random_device()() % 20000));
  auto host = HostLink(port, error);
  ASSERT_TRUE(host) << error;
  auto join = JoinLink("127.0.0.1", port, error);
  ASSERT_TRUE(join) << error;
  std::vector<LinkEvent> at_host, at_join;
  auto pump = [&](const std::function<bool()>& done) {
    for (int i = 0; i < 300 && !done(); ++i) {
      for (auto& e : host->Poll()) at_host.push_back(std::move(e));
      for (auto& e : join->Poll()) at_join.push_back(std::move(e));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  };
  auto kinds = [](const std::vector<LinkEvent>& v, LinkEvent::Kind k) {
    return std::count_if(v.begin(), v.end(), [k](const LinkEvent& e) { return e.kind == k; });
  };
  pump([&] { return kinds(at_host, LinkEvent::Kind::kConnected) && kinds(at_join, LinkEvent::Kind::kConnected); });
  ASSERT_EQ(kinds(at_host, LinkEvent::Kind::kConnected), 1);
  ASSERT_EQ(kinds(at_join, LinkEvent::Kind::kConnected), 1);
  EXPECT_EQ(host->friend_address().rfind("127.0.0.1:", 0), 0u);

  for (int i = 0; i < 3; ++i) join->Send({static_cast<uint8_t>(i)}, true);
  join->Send({9}, false);
  host->Send({42}, true);
  pump([&] { return kinds(at_host, LinkEvent::Kind::kReceived) >= 4 && kinds(at_join, LinkEvent::Kind::kReceived) >= 1; });
  std::vector<uint8_t> reliable;
  for (const LinkEvent& e : at_host) {
    if (e.kind == LinkEvent::Kind::kReceived && e.data.size() == 1 && e.data[0] < 3) reliable.push_back(e.data[0]);
  }
  EXPECT_EQ(reliable, (std::vector<uint8_t>{0, 1, 2}));
  EXPECT_EQ(kinds(at_host, LinkEvent::Kind::kConnected), 1) << "nobody else got in";
  EXPECT_EQ(kinds(at_host, LinkEvent::Kind::kGone), 0);

  join->Drop(2);
  pump([&] { return kinds(at_host, LinkEvent::Kind::kGone) > 0; });
  ASSERT_EQ(kinds(at_host, LinkEvent::Kind::kGone), 1);
  EXPECT_EQ(at_host.back().code, 2u);
}

}  // namespace
}  // namespace palomir::match

namespace palomir::match {
namespace {

// The friend's side of the line, played from a script: what each poll brings, and what the
// game sent, read back.
struct LineLog {
  std::vector<match::Packet> sent;
  std::vector<uint32_t> dropped;
};
struct ScriptedLink final : Link {
  std::function<std::vector<LinkEvent>(int poll)> script;
  LineLog& log;
  int polls = 0;
  explicit ScriptedLink(LineLog& l) : log(l) {}
  void Send(const std::vector<uint8_t>& data, bool) override {
    const auto p = Decode(data.data(), data.size());
    ASSERT_TRUE(p);
    log.sent.push_back(*p);
  }
  std::vector<LinkEvent> Poll() override { return script(++polls); }
  void Drop(uint32_t code) override { log.dropped.push_back(code); }
  std::string friend_address() const override { return "192.0.2.7:4510"; }
  uint32_t round_trip_ms() const override { return 0; }
};

LinkEvent Received(const match::Packet& p) {
  return {LinkEvent::Kind::kReceived, Encode(p), {}, 0};
}

// A host on the virtual machine: a friend of another version is refused, said; the next is
// welcomed, and nothing of the match goes out before that; the match waits for a friend who
// says nothing, says so, and goes on when their inputs come (the help at their end said);
// their game gone ends the match with its score.
TEST(Match, AHostMeetsItsFriendWaitsForThemAndIsToldWhenTheyAreGone) {
  palomir::testing::Game g;
  LineLog log;
  LineLog* line = nullptr;
  int welcomed_at = 0;
  int32_t sent_ticks = 0;
  MatchSetup setup;
  setup.version = "1.1.0";
  setup.open_router_port = false;
  setup.print = [](const std::string&) {};
  setup.link = [&](const std::string&, uint16_t, std::string&) {
    auto made = std::make_unique<ScriptedLink>(log);
    line = &log;
    made->script = [&](int poll) -> std::vector<LinkEvent> {
      match::Packet hello;
      hello.version = poll < 5 ? "0.9" : "1.1.0";
      if (poll == 2 || poll == 5) return {{LinkEvent::Kind::kConnected, {}, {}, 0}};
      if (poll == 3 || poll == 6) return {Received(hello)};
      if (poll == 6 + 1) welcomed_at = poll;
      // Silent for a while, then the ticks' inputs as the host runs them, the help on from the
      // fifth; gone once three seconds have been played.
      if (poll < 400 || sent_ticks > 300) {
        return sent_ticks > 300 ? std::vector<LinkEvent>{{LinkEvent::Kind::kGone, {}, "gone", 0}}
                                : std::vector<LinkEvent>{};
      }
      match::Packet in;
      in.type = match::Packet::Type::kInputs;
      in.tick = static_cast<uint32_t>(sent_ticks);
      // As far as the host has gone, and a little more.
      int32_t host_at = 0;
      for (const match::Packet& p : log.sent) {
        if (p.type == match::Packet::Type::kInputs) host_at = static_cast<int32_t>(p.tick + p.inputs.size());
      }
      for (; sent_ticks < host_at + 2 && in.inputs.size() < 3; ++sent_ticks) {
        EndInput e;
        e.flags = sent_ticks >= 5 ? kListening : 0;
        in.inputs.push_back(e);
      }
      if (in.inputs.empty()) return {};
      return {Received(in)};
    };
    return std::unique_ptr<Link>(std::move(made));
  };
  EXPECT_EQ(RunForm(g.vp, g.f, g.o, {}, &setup), 0);
  ASSERT_TRUE(line);
  ASSERT_GE(line->sent.size(), 3u);
  EXPECT_EQ(line->sent[0].type, match::Packet::Type::kRefuse);
  EXPECT_EQ(line->sent[0].version, "1.1.0");
  EXPECT_EQ(line->dropped.front(), 0u) << "the refused friend let go";
  EXPECT_EQ(line->sent[1].type, match::Packet::Type::kWelcome);
  EXPECT_GT(welcomed_at, 0);
  const std::vector<std::string> said = g.Said();
  auto at = [&said](const std::string& text) {
    return std::find_if(said.begin(), said.end(), [&](const std::string& s) {
             return s.find(text) != std::string::npos;
           }) - said.begin();
  };
  const auto end = static_cast<long>(said.size());
  EXPECT_LT(at("version 0.9 tried to join"), at("Your friend joined from 192.0.2.7:4510"));
  EXPECT_LT(at("Waiting for your friend's game."), at("The match goes on."));
  EXPECT_LT(at("The match goes on."), end);
  EXPECT_LT(at("Welcome to Palomir"), at("Your friend is listening to the help."));
  EXPECT_LT(at("Your friend is listening to the help."), at("gone"));
  EXPECT_EQ(said.back(), "The score is 0 to 1.") << "the first puck, let in";
  EXPECT_EQ(line->sent.back().type, match::Packet::Type::kInputs) << "no goodbye to a game gone";
}

// A joiner with no address asks for it: each key typed is said, Backspace takes one back,
// Enter calls where it was told; a host of another version refuses it, said, and no match is
// played.
TEST(Match, AJoinerTypesTheAddressByEarAndIsRefusedByAnotherVersion) {
  palomir::testing::Game g;
  LineLog log;
  std::string called;
  MatchSetup setup;
  setup.host = false;
  setup.version = "1.1.0";
  setup.print = [&g](const std::string& line) {
    if (line.rfind("Type your friend's address", 0) != 0) return;
    for (uint8_t key : {dik::k1, dik::k0, dik::kPeriod, dik::k7, dik::k9, uint8_t{0x0E},
                        uint8_t{0x27}, dik::k4, dik::k6, dik::k0, dik::k0, dik::kReturn}) {
      g.vp.KeyDown(key);
      g.vp.KeyUp(key);
    }
  };
  setup.link = [&](const std::string& address, uint16_t port, std::string&) {
    called = address + " " + std::to_string(port);
    auto made = std::make_unique<ScriptedLink>(log);
    made->script = [](int poll) -> std::vector<LinkEvent> {
      match::Packet refuse;
      refuse.type = match::Packet::Type::kRefuse;
      refuse.version = "1.2.0";
      if (poll == 1) return {{LinkEvent::Kind::kConnected, {}, {}, 0}};
      return {Received(refuse)};
    };
    return std::unique_ptr<Link>(std::move(made));
  };
  EXPECT_EQ(RunForm(g.vp, g.f, g.o, {}, &setup), 1);
  EXPECT_EQ(called, "10.7 4600");
  ASSERT_FALSE(log.sent.empty());
  EXPECT_EQ(log.sent[0].type, match::Packet::Type::kHello);
  EXPECT_EQ(log.sent[0].version, "1.1.0");
  const std::vector<std::string> said = g.Said();
  const std::vector<std::string> typed = {"1", "0", "dot", "7", "9", "9 deleted", "colon", "4", "6", "0", "0"};
  const auto first = std::find(said.begin(), said.end(), "1");
  ASSERT_GE(said.end() - first, static_cast<long>(typed.size()));
  EXPECT_EQ(std::vector<std::string>(first, first + static_cast<long>(typed.size())), typed);
  EXPECT_NE(said.back().find("version 1.2.0 and this one is version 1.1.0"), std::string::npos);
}

}  // namespace
}  // namespace palomir::match
