#include "match/match_play.h"

#include <algorithm>
#include <cstdlib>
#include <array>
#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "game/main_form.h"
#include "game/sound_ops.h"
#include "game/table_rules.h"
#include "language/tr.h"
#include "match/protocol.h"
#include "match/rollback.h"
#include "platform/keycodes.h"
#include "platform/line_file.h"
#include "platform/net/port_opener.h"

namespace palomir {

namespace {

using namespace match;
using Kind = Event::Kind;

constexpr Micros kTick = Micros{kTickMs} * 1000;
constexpr Micros kSayWaitAfter = 1'000'000;  // a wait for the friend is said after a second
constexpr int kMostTicksAtOnce = 4;          // a late end catches up this many ticks a pump
constexpr int32_t kEvenOutEvery = 20;        // an end ahead of its friend waits a tick so often

// A tick's input as a recording writes it: dx,dy,runs,serves,keys,flags.
std::string InputText(const EndInput& in) {
  char text[80];
  std::snprintf(text, sizeof text, "%d,%d,%u,%u,%llx,%u", in.dx, in.dy, in.runs, in.serves,
                static_cast<unsigned long long>(in.keys), in.flags);
  return text;
}
bool ParseInput(const std::string& text, EndInput& in) {
  int dx = 0, dy = 0;
  unsigned runs = 0, serves = 0, flags = 0;
  unsigned long long keys = 0;
  char end = 0;
  if (std::sscanf(text.c_str(), "%d,%d,%u,%u,%llx,%u%c", &dx, &dy, &runs, &serves, &keys, &flags,
                  &end) != 6) {
    return false;
  }
  if (dx < INT16_MIN || dx > INT16_MAX || dy < INT16_MIN || dy > INT16_MAX || runs > kMostRuns ||
      serves > kMostServes || (keys & ~kAllKeys) != 0 || (flags & ~kAllFlags) != 0) {
    return false;
  }
  in = {static_cast<int16_t>(dx), static_cast<int16_t>(dy), static_cast<uint8_t>(runs),
        static_cast<uint8_t>(serves), keys, static_cast<uint8_t>(flags)};
  return true;
}

const char* KindName(Kind k) {
  static constexpr std::array<const char*, 12> kNames = {
      "slide", "hit",   "side-bounce", "rebound", "goal", "puck-in",
      "welcome", "level", "listening", "over", "answered", "quit"};
  return kNames[static_cast<size_t>(k)];
}

bool IsSound(Kind k) {
  switch (k) {
    case Kind::kSlide:
    case Kind::kHit:
    case Kind::kSideBounce:
    case Kind::kRebound:
    case Kind::kGoal:
    case Kind::kPuckIn:
      return true;
    default:
      return false;
  }
}
Packet Of(Packet::Type type, const std::string& version = {}) {
  Packet p;
  p.type = type;
  p.version = version;
  return p;
}

bool Same(const Event& a, const Event& b) {
  return a.tick == b.tick && a.kind == b.kind && a.end == b.end;
}

int16_t Added(int16_t a, int32_t d) {
  return static_cast<int16_t>(std::clamp<int32_t>(a + d, INT16_MIN, INT16_MAX));
}

class MatchPlay final : public MatchHooks {
 public:
  MatchPlay(Platform& platform, MainForm& form, ProgramObjects& objects, const MatchSetup& setup)
      : platform_(platform), window_(platform.window()), form_(form), o_(objects), setup_(setup),
        me_(setup.host ? kHost : kJoiner), rollback_(me_), address_(setup.address),
        port_(setup.port) {}

  int Run();
  void Input() override;

 private:
  Micros Now() const { return platform_.GuideClock(); }
  void Say(const std::string& line, int32_t flags = kSpeakAsync) {
    if (!form_.Voice) return;
    const Status said = form_.Voice->Speak(line, flags);
    if (!said.ok()) Report(said.reason());
  }
  // A run-time error of the match's own (a sound that failed): told once for each text.
  void Report(const std::string& text) {
    if (!reported_.insert(text).second) return;
    if (form_.on_error) {
      form_.on_error(text);
    } else {
      std::cerr << "palomir: " << text << "\n";
    }
  }
  // Printed for the player and said.
  void Tell(const std::string& line) {
    if (setup_.print) {
      setup_.print(line);
    } else {
      std::cout << line << std::endl;
    }
    Say(line);
  }
  void Pump(double wait_seconds) {
    window_.DoEvents();
    if (wait_seconds > 0) window_.WaitForEvents(wait_seconds);
  }
  void Send(const Packet& p, bool reliable) { link_->Send(Encode(p), reliable); }
  std::optional<Packet> Read(const LinkEvent& e) {
    auto p = Decode(e.data.data(), e.data.size());
    if (!p) ++dropped_;
    return p;
  }

  bool AskAddress();
  void Typed(const KeyboardState& keys);
  bool Meet();
  void AskedRouter();
  int Matches();
  void Take(const Packet& p);
  void SendInputs();
  void Render();
  void Sound(const Event& e);
  void Unsound(const Event& e);
  const BufferRef* BufferOf(const Event& e) const;
  void Said(const Event& e);
  void SayScore();
  // The match's last line in the recording, once.
  void End() {
    if (!std::exchange(ended_, true)) Record("end " + std::to_string(recorded_));
  }
  void Record(const std::string& line) {
    kept_.push_back(line);
    if (setup_.record) setup_.record->Line(line);
  }
  void KeepForReport();

  Platform& platform_;
  Window& window_;
  MainForm& form_;
  ProgramObjects& o_;
  const MatchSetup& setup_;
  const int me_;
  std::unique_ptr<Link> link_;
  std::unique_ptr<PortOpener> opener_;  // the router's port, while the host plays
  Rollback rollback_;
  EndInput pending_;
  bool up_down_ = false;  // the joiner's Up or Down was down at the last read
  std::vector<Event> played_;  // sounds started for ticks not final yet
  std::map<int32_t, uint64_t> my_sums_, friend_sums_;
  int32_t friend_acked_ = 0;  // of this end's inputs, the friend knows those before this
  int32_t friend_newest_ = 0;  // the friend's inputs came up to this tick
  Micros start_ = 0;
  Micros sent_at_ = 0;
  int32_t evened_at_ = 0;
  std::optional<Micros> stalled_since_;
  bool wait_said_ = false;
  bool quit_ = false;
  bool ended_ = false;
  std::string gone_;  // why the friend is gone
  bool disagree_ = false;
  uint64_t dropped_ = 0;
  int most_rerun_ = 0;
  int32_t recorded_ = 0;  // final ticks written down
  // The friend's address, asked for by voice: what has been typed, and the keys down at the
  // last read (a key types once as it goes down).
  bool asking_ = false;
  bool entered_ = false;
  std::string address_;
  uint16_t port_;
  std::string typed_;
  KeyboardState keys_down_{};
  std::set<std::string> reported_;
  std::vector<std::string> kept_;  // the recording's lines, also when none is written
  bool puck_on_ = false;       // the puck is on the table: its loop plays
  bool puck_playing_ = false;  // the loop as last started or stopped
};

// Two games that disagree keep the match for a report: where --record wrote it, or else in a
// file of its own beside the settings.
void MatchPlay::KeepForReport() {
  if (setup_.record || setup_.report_folder.empty()) return;
  LineFile file(setup_.report_folder + "/match-" + (me_ == kHost ? "host" : "joiner") + ".rec",
                "recording");
  std::string kept_as;
  if (!file.ok() || !file.Begin(true, kept_as)) return;
  file.Line(std::string("# palomir ") + setup_.version +
            " match recording: replay it with the scenario runner");
  for (const std::string& line : kept_) file.Line(line);
  file.Flush();
  Tell(Fill(Tr("This game's recording of the match is %s."), file.path()));
}

// --- The friend's address, typed with the digits, the full stop and the colon (the key right
// of L), each said as it is typed; Backspace takes the last back, Enter calls.
void MatchPlay::Typed(const KeyboardState& keys) {
  struct Typing {
    uint8_t key;
    char c;
  };
  static constexpr std::array<Typing, 25> kTyping = {{
      {dik::k0, '0'}, {dik::k1, '1'}, {dik::k2, '2'}, {dik::k3, '3'}, {dik::k4, '4'},
      {dik::k5, '5'}, {dik::k6, '6'}, {dik::k7, '7'}, {dik::k8, '8'}, {dik::k9, '9'},
      {0x52, '0'}, {0x4F, '1'}, {0x50, '2'}, {0x51, '3'}, {0x4B, '4'},  // the keypad's
      {0x4C, '5'}, {0x4D, '6'}, {0x47, '7'}, {0x48, '8'}, {0x49, '9'},
      {dik::kPeriod, '.'}, {0x53, '.'}, {0x27, ':'}, {0x0E, '\b'}, {dik::kReturn, '\n'},
  }};
  for (const Typing& t : kTyping) {
    if (!keys[t.key] || keys_down_[t.key]) continue;
    if (t.c == '\n') {
      if (typed_.empty()) {
        Say(Tr("Type your friend's address first."));
      } else {
        entered_ = true;
      }
    } else if (t.c == '\b') {
      if (typed_.empty()) {
        Say(Tr("Nothing to delete."));
      } else {
        // TRANSLATORS: Backspace took back the last character typed of an address.
        Say(Fill(Tr("%s deleted"), std::string(1, typed_.back())));
        typed_.pop_back();
      }
    } else if (typed_.size() < 40) {
      typed_ += t.c;
      Say(t.c == '.' ? Tr("dot") : t.c == ':' ? Tr("colon") : std::string(1, t.c));
    }
  }
  keys_down_ = keys;
}

bool MatchPlay::AskAddress() {
  asking_ = true;
  Tell(Tr("Type your friend's address with the digits and full stops, a colon before a port "
          "if they named one, then press Enter."));
  while (!entered_) Pump(0.02);
  asking_ = false;
  address_ = typed_;
  if (const size_t colon = address_.rfind(':'); colon != std::string::npos) {
    char* end = nullptr;
    const long port = std::strtol(address_.c_str() + colon + 1, &end, 10);
    if (colon == 0 || *end != '\0' || port < 1 || port > 65535) {
      Tell(Fill(Tr("%s is not an address and port, such as 192.168.1.20:4510."), address_));
      return false;
    }
    port_ = static_cast<uint16_t>(port);
    address_.resize(colon);
  }
  return true;
}

// The router's answer, said once it comes: the port stays open for as long as the game runs.
void MatchPlay::AskedRouter() {
  if (!opener_) return;
  if (auto r = opener_->Poll()) {
    Tell(r->opened ? Fill(Tr("From the internet your game is at %s, port %d."), r->public_address,
                          static_cast<int>(r->public_port))
                   : r->why);
  }
}

// --- Meeting the friend: the host waits for a joiner of the same version.
bool MatchPlay::Meet() {
  std::string error;
  link_ = setup_.link(address_, port_, error);
  if (!link_) {
    Tell(error);
    return false;
  }
  if (setup_.host) {
    const std::vector<std::string> here = LocalAddresses();
    std::string where;
    for (const std::string& a : here) where += (where.empty() ? "" : Tr(" or ")) + a;
    Tell(here.empty()
             ? Fill(Tr("Waiting for a friend to join on port %d. This computer has no address on "
                       "a network."),
                    static_cast<int>(port_))
             : Fill(Tr("Waiting for a friend to join. On this network your game is at %s, port "
                       "%d."),
                    where, static_cast<int>(port_)));
    if (setup_.open_router_port && !opener_) opener_ = std::make_unique<PortOpener>(port_);
  } else {
    Tell(Fill(Tr("Calling your friend's game at %s, port %d."), address_,
              static_cast<int>(port_)));
  }
  for (;;) {
    AskedRouter();
    for (const LinkEvent& e : link_->Poll()) {
      if (e.kind == LinkEvent::Kind::kGone) {
        if (setup_.host) continue;  // a caller who left: the next may come
        Tell(e.why);
        return false;
      }
      if (e.kind == LinkEvent::Kind::kConnected) {
        if (!setup_.host) Send(Of(Packet::Type::kHello, setup_.version), true);
        continue;
      }
      const auto p = Read(e);
      if (!p) continue;
      if (setup_.host && p->type == Packet::Type::kHello) {
        if (p->version == setup_.version) {
          Send(Of(Packet::Type::kWelcome, setup_.version), true);
          Tell(Fill(Tr("Your friend joined from %s."), link_->friend_address()));
          return true;
        }
        Send(Of(Packet::Type::kRefuse, setup_.version), true);
        Tell(Fill(Tr("A friend's game of version %s tried to join, but this is version %s: both "
                     "games need the same version."),
                  p->version, setup_.version));
        link_->Drop();
      } else if (!setup_.host && p->type == Packet::Type::kWelcome) {
        return true;
      } else if (!setup_.host && p->type == Packet::Type::kRefuse) {
        Tell(Fill(Tr("Your friend's game is version %s and this one is version %s: both games "
                     "need the same version to play together."),
                  p->version, setup_.version));
        return false;
      }
    }
    Pump(0.02);
  }
}

// --- The input handler's run at this end: it fills the input of the tick under way.
void MatchPlay::Input() {
  std::array<MouseRecord, 10> records{};
  int32_t n = 0;
  if (o_.MouseDevice) Check(o_.MouseDevice->GetDeviceData(records, 0, n));
  if (asking_) {
    if (o_.KeyboardDevice) Check(o_.KeyboardDevice->GetDeviceStateKeyboard(o_.KeyState));
    Typed(o_.KeyState);
    return;
  }
  const State& s = rollback_.state();
  for (int32_t i = 0; i < n; ++i) {
    const MouseRecord& r = records[static_cast<size_t>(i)];
    switch (r.offset) {
      case kMouseX:
        pending_.dx = Added(pending_.dx, r.data);
        break;
      case kMouseY:
        pending_.dy = Added(pending_.dy, r.data);
        break;
      case kMouseButton0:
        pending_.serves = static_cast<uint8_t>(std::min<int>(pending_.serves + 1, kMostServes));
        break;
      case kMouseButton1: {
        const Paddle& p = s.paddles[static_cast<size_t>(me_)];
        for (int32_t v : {s.lateral_speed, s.depth_speed, p.speed_x, p.speed_y}) Say(Decimal(v));
        break;
      }
      case kMouseButton2:
        Say(Decimal(s.scores[static_cast<size_t>(me_)]));
        Say(Decimal(s.scores[static_cast<size_t>(Other(me_))]));
        break;
      default:
        break;
    }
  }
  if (!o_.KeyboardDevice) return;
  Check(o_.KeyboardDevice->GetDeviceStateKeyboard(o_.KeyState));
  uint64_t keys = 0;
  for (size_t r = 0; r < table::kRows.size(); ++r) {
    for (size_t c = 0; c < table::kColumns.size(); ++c) {
      if (o_.KeyState[table::kRows[r].keys[c]]) keys |= uint64_t{1} << (r * table::kColumns.size() + c);
    }
  }
  const bool up = o_.KeyState[dik::kUp] != 0, down = o_.KeyState[dik::kDown] != 0;
  if (me_ == kHost) {
    if (up) keys |= kKeyUp;
    if (down) keys |= kKeyDown;
  } else if ((up || down) && !up_down_) {
    // TRANSLATORS: a joiner pressed Up or Down in a match: the host sets the speed level.
    Say(Fill(Tr("The speed level is your friend's: %d."), s.level));
  }
  up_down_ = up || down;
  if (o_.KeyState[dik::kY]) keys |= kKeyYes;
  if (o_.KeyState[dik::kN]) keys |= kKeyNo;
  pending_.keys = keys;
  pending_.runs = static_cast<uint8_t>(std::min<int>(pending_.runs + 1, kMostRuns));
}

void MatchPlay::Take(const Packet& p) {
  switch (p.type) {
    case Packet::Type::kInputs:
      if (static_cast<int32_t>(p.ack) > rollback_.next_tick()) {
        ++dropped_;  // it knows inputs this end never sent
        return;
      }
      friend_acked_ = std::max(friend_acked_, static_cast<int32_t>(p.ack));
      for (size_t i = 0; i < p.inputs.size(); ++i) {
        const auto tick = static_cast<int32_t>(p.tick + i);
        rollback_.Remote(tick, p.inputs[i]);
        friend_newest_ = std::max(friend_newest_, tick + 1);
      }
      break;
    case Packet::Type::kChecksum:
      friend_sums_[static_cast<int32_t>(p.tick)] = p.sum;
      break;
    case Packet::Type::kBye:
      if (p.reason == Packet::kDisagree) {
        disagree_ = true;
      } else if (gone_.empty()) {
        gone_ = Tr("Your friend closed their game.");
      }
      break;
    default:
      ++dropped_;  // the handshake is over
      break;
  }
}

void MatchPlay::SendInputs() {
  const int32_t next = rollback_.next_tick();
  if (next == 0) return;
  const int32_t from = std::clamp(friend_acked_, next - kMostInputsSent, next - 1);
  Packet p = Of(Packet::Type::kInputs);
  p.ack = static_cast<uint32_t>(rollback_.known());
  p.tick = static_cast<uint32_t>(from);
  for (int32_t t = from; t < next; ++t) p.inputs.push_back(rollback_.LocalInput(t));
  Send(p, false);
}

// The buffer an event's sound plays in, as this end hears it; nothing for the puck's loop.
const BufferRef* MatchPlay::BufferOf(const Event& e) const {
  const bool mine = e.end == me_;
  switch (e.kind) {
    case Kind::kSlide:
      return mine ? &o_.SoundPaddleSlide : &o_.SoundOpponentPaddleSlide;
    case Kind::kHit:
      return mine ? &o_.SoundPaddle : &o_.SoundOpponentHit;
    case Kind::kSideBounce:
      return &o_.SoundSideBounce;
    case Kind::kRebound:
      return &o_.SoundRebound;
    case Kind::kGoal:
      return mine ? &o_.SoundGoal : &o_.SoundBuzz;
    default:
      return nullptr;
  }
}

// The sound of an event, started as this end hears it: where the puck was, the walls as far
// away as it was, the fanfare at its own level.
void MatchPlay::Sound(const Event& e) {
  if (e.kind == Kind::kPuckIn) puck_on_ = true;
  const BufferRef* b = BufferOf(e);
  if (!b) return;
  if (e.kind == Kind::kSlide) {  // the slide goes on where the paddle is
    Play(*b, kPlayOnce);
    return;
  }
  const bool fanfare = e.kind == Kind::kGoal && e.end == me_;
  Stop(*b);
  Rewind(*b);
  if (!fanfare) SetPan(*b, ClampPan(PanFrom(me_, e.pan)));
  if (e.kind == Kind::kSideBounce || e.kind == Kind::kRebound) {
    SetVolume(*b, ClampVolume(VolumeFrom(me_, e.volume)));
  } else if (fanfare) {
    SetVolume(*b, -500);
  }
  Play(*b, kPlayOnce);
}

// A sound started for a tick that, as it turned out, did not happen.
void MatchPlay::Unsound(const Event& e) {
  if (e.kind == Kind::kPuckIn) puck_on_ = false;
  if (const BufferRef* b = BufferOf(e)) Stop(*b);
}

void MatchPlay::SayScore() {
  const State& s = rollback_.state();
  // TRANSLATORS: a match's score, this player's goals first: "The score is 12 to 7."
  Say(Fill(Tr("The score is %d to %d."), s.scores[static_cast<size_t>(me_)],
           s.scores[static_cast<size_t>(Other(me_))]),
      kSpeakWait);
}

// What the voice says of a final event.
void MatchPlay::Said(const Event& e) {
  const bool mine = e.end == me_;
  switch (e.kind) {
    case Kind::kWelcome:
      puck_on_ = false;
      Say(Tr("Welcome to Palomir: a Vossk game"));
      break;
    case Kind::kLevel:
      Say(Decimal(e.value));
      break;
    case Kind::kListening:
      if (!mine) {
        Say(e.value ? Tr("Your friend is listening to the help.")
                    : Tr("Your friend is back at the table."));
      }
      break;
    case Kind::kOver: {
      const State& s = rollback_.state();
      Say(Tr("The score is"), kSpeakAsync);
      Say(Decimal(s.scores[static_cast<size_t>(me_)]));
      Say(Tr("to"));
      Say(Decimal(s.scores[static_cast<size_t>(Other(me_))]));
      Say(mine ? Tr("You win!") : Tr("Your friend wins!"));
      // TRANSLATORS: after a match; both players answer with the keys Y and N.
      Say(Tr("Play again? Both of you press Y for a new match; N ends it."));
      break;
    }
    case Kind::kAnswered:
      if (!mine) Say(Tr("Your friend wants to play again."));
      break;
    case Kind::kQuit:
      quit_ = true;
      Say(mine ? Tr("You ended the match.") : Tr("Your friend ended the match."), kSpeakWait);
      break;
    default:
      break;
  }
}

void MatchPlay::Render() {
  const State& s = rollback_.state();
  const Paddle& mine = s.paddles[static_cast<size_t>(me_)];
  // The window's fields as the guide, the card and F3 read them: this player's first.
  form_.PlayerScore = s.scores[static_cast<size_t>(me_)];
  form_.ComputerScore = s.scores[static_cast<size_t>(Other(me_))];
  form_.SpeedLevel = s.level;
  form_.LateralSpeed = s.lateral_speed;
  form_.DepthSpeed = s.depth_speed;
  form_.MouseSpeedX = mine.speed_x;
  form_.MouseSpeedY = mine.speed_y;
  form_.GameOver = s.phase == Phase::kOver ? kTrue : kFalse;
  window_.set_answering(s.phase == Phase::kOver);

  const bool heard = !platform_.game_held();
  if (heard) {
    const Seen seen = SeenFrom(s, me_);
    SetPan(o_.SoundPuck, seen.puck_pan);
    SetVolume(o_.SoundPuck, seen.puck_volume);
    SetPan(o_.SoundPaddleSlide, mine.pan);
    SetVolume(o_.SoundPaddleSlide, mine.volume);
    SetPan(o_.SoundOpponentPaddleSlide, seen.friend_pan);
    SetVolume(o_.SoundOpponentPaddleSlide, seen.friend_volume);
  }
  auto started = [this](const Event& e) {
    return std::find_if(played_.begin(), played_.end(),
                        [&e](const Event& p) { return Same(p, e); });
  };
  // Final events: a sound already started is not started again; the voice says them now.
  for (const Event& e : rollback_.TakeFinal()) {
    if (IsSound(e.kind)) {
      if (const auto it = started(e); it != played_.end()) {
        played_.erase(it);
      } else if (heard || e.kind == Kind::kPuckIn) {
        Sound(e);
      }
    } else {
      Said(e);
    }
  }
  // Sounds of ticks run again that did not happen after all are stopped; those now
  // foreseen are started.
  const int32_t confirmed = rollback_.confirmed();
  const std::deque<Event>& pending = rollback_.pending();
  for (auto it = played_.begin(); it != played_.end();) {
    const bool still = it->tick >= confirmed &&
                       std::any_of(pending.begin(), pending.end(),
                                   [&it](const Event& e) { return Same(e, *it); });
    if (still) {
      ++it;
      continue;
    }
    Unsound(*it);
    it = played_.erase(it);
  }
  for (const Event& e : pending) {
    if (!IsSound(e.kind) || started(e) != played_.end()) continue;
    if (heard || e.kind == Kind::kPuckIn) Sound(e);
    played_.push_back(e);
  }
  // The puck's loop, as the table has it, once the table is heard again: not over the help.
  if (heard && puck_on_ != puck_playing_) {
    if (puck_on_) {
      Rewind(o_.SoundPuck);
      Play(o_.SoundPuck, kPlayLooping);
    } else {
      Stop(o_.SoundPuck);
    }
    puck_playing_ = puck_on_;
  }
}

int MatchPlay::Matches() {
  start_ = Now();
  Record(std::string("match ") + (me_ == kHost ? "host" : "joiner"));
  for (;;) {
    Pump(0);
    AskedRouter();
    for (const LinkEvent& e : link_->Poll()) {
      if (e.kind == LinkEvent::Kind::kGone) {
        if (e.code == Packet::kDisagree + 1) disagree_ = true;
        if (gone_.empty()) gone_ = e.code != 0 ? Tr("Your friend closed their game.") : e.why;
      } else if (e.kind == LinkEvent::Kind::kReceived) {
        if (auto p = Read(e)) Take(*p);
      }
    }
    most_rerun_ = std::max(most_rerun_, rollback_.Settle());

    // The ticks due on this end's clock; an end ahead of its friend waits a tick now and then
    // so that neither runs far on guesses.
    const Micros now = Now();
    const int32_t friend_now =
        friend_newest_ + static_cast<int32_t>(link_->round_trip_ms() / 2 / kTickMs);
    if (rollback_.next_tick() - friend_now > 2 && rollback_.next_tick() - evened_at_ > kEvenOutEvery) {
      start_ += kTick;
      evened_at_ = rollback_.next_tick();
    }
    const auto due = static_cast<int32_t>((now - start_) / kTick) + 1;
    bool advanced = false;
    for (int n = 0; rollback_.next_tick() < due && n < kMostTicksAtOnce; ++n) {
      if (!rollback_.CanAdvance()) break;
      EndInput in = pending_;
      in.flags = platform_.game_held() ? kListening : 0;
      rollback_.Advance(in);
      pending_.dx = pending_.dy = 0;
      pending_.runs = pending_.serves = 0;
      advanced = true;
    }
    // Waiting: a tick is due and none could run.
    if (!advanced && rollback_.next_tick() < due && !rollback_.CanAdvance()) {
      if (!stalled_since_) stalled_since_ = now;
      if (!wait_said_ && now - *stalled_since_ >= kSayWaitAfter) {
        wait_said_ = true;
        Say(Tr("Waiting for your friend's game."));
      }
    } else if (stalled_since_) {
      // The time waited is not caught up: both ends go on from where they stood.
      start_ += now - *stalled_since_;
      stalled_since_.reset();
      if (wait_said_) Say(Tr("The match goes on."));
      wait_said_ = false;
    }
    // Sent as each tick runs; while waiting, once a tick, so the friend knows what arrived.
    if (advanced || (rollback_.next_tick() > 0 && now - sent_at_ >= kTick)) {
      SendInputs();
      sent_at_ = now;
    }

    for (const auto& in : rollback_.TakeFinalInputs()) {
      if (!(in[0] == EndInput{}) || !(in[1] == EndInput{})) {
        Record("t " + std::to_string(recorded_) + " " + InputText(in[0]) + " " +
               InputText(in[1]));
      }
      ++recorded_;
    }
    try {
      Render();
    } catch (const RuntimeError& e) {
      Report(e.what());
    }
    for (const auto& [tick, sum] : rollback_.TakeChecksums()) {
      my_sums_[tick] = sum;
      Packet p = Of(Packet::Type::kChecksum);
      p.tick = static_cast<uint32_t>(tick);
      p.sum = sum;
      Send(p, true);
    }
    for (auto it = my_sums_.begin(); it != my_sums_.end();) {
      const auto f = friend_sums_.find(it->first);
      if (f == friend_sums_.end()) {
        ++it;
        continue;
      }
      if (f->second != it->second) disagree_ = true;
      friend_sums_.erase(f);
      it = my_sums_.erase(it);
    }

    if (disagree_ || quit_ || !gone_.empty()) break;
    const Micros next = stalled_since_ ? Now() + kTick : start_ + Micros{rollback_.next_tick()} * kTick;
    Pump(std::clamp(static_cast<double>(next - Now()) / 1e6, 0.001, 0.01));
  }
  End();
  if (disagree_) {
    Packet bye = Of(Packet::Type::kBye);
    bye.reason = Packet::kDisagree;
    Send(bye, true);
    Tell(Tr("The two games no longer agree about the match, so it ends here. Each game keeps "
            "its recording of it for a report."));
    KeepForReport();
    link_->Drop(Packet::kDisagree + 1);
  } else if (!gone_.empty()) {
    Tell(gone_);
  } else {
    Send(Of(Packet::Type::kBye), true);
    link_->Drop(Packet::kClosed + 1);
  }
  SayScore();
  if (dropped_ > 0) {
    std::cerr << "palomir: "
              << Fill(Tr("%d packets from the friend's game were not understood and were dropped"),
                      static_cast<int>(std::min<uint64_t>(dropped_, INT32_MAX)))
              << "\n";
  }
  return 0;
}

int MatchPlay::Run() {
  form_.match = this;
  struct Unhook {
    MainForm& f;
    ~Unhook() { f.match = nullptr; }
  } unhook{form_};
  if (!setup_.host && address_.empty() && !AskAddress()) return 1;
  if (!Meet()) return 1;
  try {
    return Matches();
  } catch (const WindowUnloaded&) {
    // The window was closed: the friend hears it at once rather than after five seconds.
    if (!ended_ && link_) {  // none while the address is asked for
      End();
      Send(Of(Packet::Type::kBye), true);
      link_->Drop(Packet::kClosed + 1);
    }
    throw;
  }
}

}  // namespace

int PlayMatch(Platform& platform, MainForm& form, ProgramObjects& objects, const MatchSetup& setup) {
  MatchPlay play(platform, form, objects, setup);
  return play.Run();
}

bool ReplayMatch(const std::vector<std::string>& recording,
                 const std::function<void(const std::string&)>& out, std::string& error) {
  std::map<int32_t, std::array<EndInput, 2>> inputs;
  int32_t end = -1;
  for (const std::string& line : recording) {
    std::istringstream words(line);
    std::string what;
    words >> what;
    if (what.empty() || what[0] == '#' || what == "match") continue;
    if (what == "t") {
      int32_t tick = -1;
      std::string host, joiner, more;
      words >> tick >> host >> joiner;
      std::array<EndInput, 2> in;
      if (tick < 0 || !ParseInput(host, in[0]) || !ParseInput(joiner, in[1]) || (words >> more) ||
          inputs.count(tick) != 0) {
        error = "not a tick of a match: " + line;
        return false;
      }
      inputs[tick] = in;
    } else if (what == "end") {
      words >> end;
    } else {
      error = "not a line of a match: " + line;
      return false;
    }
  }
  if (end < 0 || (!inputs.empty() && inputs.rbegin()->first >= end)) {
    error = "the match's end is missing or comes before its last tick";
    return false;
  }
  State s;
  std::vector<Event> events;
  try {
    for (int32_t t = 0; t < end; ++t) {
      const auto it = inputs.find(t);
      Step(s, it != inputs.end() ? it->second : std::array<EndInput, 2>{}, events);
      for (const Event& e : events) {
        out(std::to_string(e.tick) + " " + KindName(e.kind) + " " + std::to_string(e.end) + " " +
            std::to_string(e.pan) + " " + std::to_string(e.volume) + " " + std::to_string(e.value));
      }
      events.clear();
    }
  } catch (const RuntimeError& e) {
    error = e.what();
    return false;
  }
  out("score " + std::to_string(s.scores[0]) + " " + std::to_string(s.scores[1]));
  return true;
}

}  // namespace palomir
