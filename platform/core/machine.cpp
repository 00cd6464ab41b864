#include "platform/core/machine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

#include "language/tr.h"
#include "platform/core/wav.h"
#include "platform/mixer/mixer_buffer.h"

namespace palomir {

namespace {

// Writes down the end of each line the game waited for.
class HeardVoice final : public Voice {
 public:
  HeardVoice(Recorder& recorder, std::unique_ptr<Voice> inner)
      : recorder_(recorder), inner_(std::move(inner)) {}
  Status Speak(const std::string& text, int32_t flags) override {
    Status s = inner_->Speak(text, flags);
    if (s.ok() && flags == kSpeakWait) recorder_.Heard();
    return s;
  }
  void Hush() override { inner_->Hush(); }
  double Behind() const override { return inner_->Behind(); }

 private:
  Recorder& recorder_;
  std::unique_ptr<Voice> inner_;
};

}  // namespace

namespace {
// The game's own sounds the pad follows: the paddle's place, the puck's distance, and what
// the table does, with what each is felt as when it plays (none: only followed).
struct Followed {
  std::string_view name;
  std::optional<RumbleLaw::Event> felt;
};
using Felt = RumbleLaw::Event;
constexpr Followed kFollowed[] = {
    {"paddleslide.wav", {}},           {"puck.wav", {}},
    {"paddle.wav", Felt::kPlayerHit},  {"OpponentHit.wav", Felt::kComputerHit},
    {"SideBounce.wav", Felt::kWall},   {"rebound.wav", Felt::kWall},
    {"buzz.wav", Felt::kComputerGoal}, {"goal.wav", Felt::kPlayerGoal},
};

const Followed* FollowedSound(std::string_view name) {
  const auto* f = std::find_if(std::begin(kFollowed), std::end(kFollowed),
                               [&](const Followed& x) { return x.name == name; });
  return f == std::end(kFollowed) ? nullptr : f;
}
}  // namespace

// One of the game's sounds, passed on as it is, each change told to the pad's mapping and
// rumble. Only the first buffer of each file is the game's: the guide opens its own later.
class MachineCore::Watched final : public SoundBuffer {
 public:
  Watched(MachineCore& m, std::string name, std::unique_ptr<SoundBuffer> inner)
      : m_(m), name_(std::move(name)), inner_(std::move(inner)) {
    m_.watched_.push_back(name_);
    if (name_ == "paddleslide.wav") m_.paddle_ = inner_.get();
  }
  ~Watched() override {
    std::erase(m_.watched_, name_);
    if (m_.paddle_ == inner_.get()) m_.paddle_ = nullptr;
  }
  Status SetPan(int32_t pan) override { return Told("pan", pan, inner_->SetPan(pan)); }
  Status GetPan(int32_t& pan) const override { return inner_->GetPan(pan); }
  Status SetVolume(int32_t volume) override {
    return Told("volume", volume, inner_->SetVolume(volume));
  }
  Status GetVolume(int32_t& volume) const override { return inner_->GetVolume(volume); }
  Status Play(int32_t flags) override { return Told("play", 0, inner_->Play(flags)); }
  Status SetCurrentPosition(int32_t p) override { return inner_->SetCurrentPosition(p); }
  Status Stop() override { return inner_->Stop(); }

 private:
  Status Told(const char* op, int32_t value, Status s) {
    if (s.ok()) m_.Watch(name_, op, value);
    return s;
  }
  MachineCore& m_;
  std::string name_;
  std::unique_ptr<SoundBuffer> inner_;
};

// The sound device owns the sound output: while it exists the mixer is heard.
class MachineCore::Sound final : public SoundDevice {
 public:
  explicit Sound(MachineCore& m) : m_(m) {}
  ~Sound() override {
    m_.CloseOutput();
    m_.sound_open_ = false;
  }
  Status SetCooperativeLevel(int32_t, int32_t level) override {
    if (level < 1 || level > 3) return Status::Fail("SetCooperativeLevel: bad level");
    return Status::Ok();
  }
  Status CreateSoundBufferFromFile(const std::string& path, const BufferDesc&,
                                   std::unique_ptr<SoundBuffer>& buffer) override {
    auto pcm = std::make_shared<Pcm>();
    Status s = m_.LoadSound(path, *pcm);
    const std::string name = path.substr(path.find_last_of("/\\") + 1);
    if (s.ok()) {
      auto b = MixerSoundBuffer::Open(m_.mixer_, std::move(pcm));
      if (b && name == "background.wav") {
        m_.mixer_->SetGroup(b->channel(), Mixer::Group::kBackground);
      }
      if (b && FollowedSound(name) &&
          std::find(m_.watched_.begin(), m_.watched_.end(), name) == m_.watched_.end()) {
        buffer = std::make_unique<Watched>(m_, name, std::move(b));
      } else if (b) {
        buffer = std::move(b);
      } else {
        s = Status::Fail("could not be given a mixer channel");
      }
    }
    if (m_.recorder_) m_.recorder_->Outcome("file " + name, s);
    return s;
  }

 private:
  MachineCore& m_;
};

MachineCore::MachineCore(std::string program_folder, std::string sounds_folder, double day_start)
    : day_start_(day_start),
      folder_(std::move(program_folder)),
      sounds_(std::move(sounds_folder)),
      timers_([this] { return Clock(); }),
      hub_(
          [this](bool on) {
            const Status s = CaptureMouse(on);
            if (s.ok()) mouse_captured_ = on;
            if (recorder_) recorder_->Capture(s);
            return s;
          },
          [this] { return Clock(); }),
      rumble_([this](const Rumble& r) {
        if (trace_) {
          trace_->Record({"pad", "Rumble " + std::to_string(r.low) + " " + std::to_string(r.high),
                          static_cast<int32_t>(r.ms), false});
        }
        DriveRumble(r);
      }) {
  timers_.set_tick_observer([this](int timer) {
    if (recorder_) recorder_->Tick(timer);
    // The puck's two timers, one of them always on: the beat of the game's own time.
    if (timer == 2 || timer == 3) rumble_.Beat();
  });
}

MachineCore::~MachineCore() = default;

Micros MachineCore::Clock() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

void MachineCore::set_trace(CallLog* trace) {
  trace_ = trace;
  if (trace_) LogTimers(*trace_, timers_);
}

void MachineCore::set_recorder(Recorder* recorder) {
  recorder_ = recorder;
}

Status MachineCore::CreateVoice(std::unique_ptr<Voice>& voice) {
  std::unique_ptr<Voice> made;
  const Status s = MakeVoice(made);
  if (trace_) trace_->Record({"platform", "CreateVoice", 0, !s.ok()});
  if (recorder_) recorder_->Outcome("voice", s);
  if (!s.ok()) return s;
  if (recorder_) made = std::make_unique<HeardVoice>(*recorder_, std::move(made));
  if (trace_) made = LoggedVoice(*trace_, std::move(made));
  voice = std::move(made);
  return s;
}

Status MachineCore::CreateDxRoot(std::unique_ptr<DxRoot>& root) {
  if (trace_) trace_->Record({"platform", "CreateDxRoot", 0, false});
  root = std::make_unique<HubDxRoot>(
      hub_,
      [this](const std::string& name, std::unique_ptr<SoundDevice>& sound) {
        const Status s = OpenSound(name, sound);
        if (recorder_) recorder_->Outcome("sound", s);
        return s;
      },
      [this] { return OpenInput(); });
  if (trace_) root = LoggedDxRoot(*trace_, std::move(root));
  return Status::Ok();
}

Status MachineCore::OpenSound(const std::string& name, std::unique_ptr<SoundDevice>& sound) {
  if (!name.empty()) return Status::Fail("there is no sound output called " + name);
  if (sound_open_) return Status::Fail("the sound output is in use");
  const Status s = OpenOutput();
  if (!s.ok()) return s;
  sound_open_ = true;
  sound = std::make_unique<Sound>(*this);
  return Status::Ok();
}

Status MachineCore::LoadSound(const std::string& path, Pcm& pcm) {
  return LoadWavFile(path, pcm);
}

void MachineCore::SetLevels(const Levels& levels) {
  levels_ = levels;
  mixer_->SetLevels(GainOf(levels.sound_volume), GainOf(levels.background_volume),
                    VoiceTakesVolume() ? 1.0f : GainOf(levels.speech_volume));
  voice_levels_->rate.store(levels.speech_rate);
  voice_levels_->volume_db.store(levels.speech_volume);
}

void MachineCore::HoldGame(bool on) {
  timers_.Hold(on);
  mixer_->Hold(on);
  hub_.set_held(on);
  if (on) rumble_.Stop();
}

bool MachineCore::GuideStepDue(Micros due) {
  if (Clock() < due) return false;
  if (recorder_) recorder_->Guide();
  return true;
}

Status MachineCore::Show() {
  if (trace_) trace_->Record({"window", "Show", 0, false});
  shown_ = true;
  Reveal();
  return Status::Ok();
}

void MachineCore::ShowCard(const std::vector<CardLine>& lines) {
  card_ = lines;
  if (shown_) DrawCard();
}

Status MachineCore::ChangeFolder(const std::string& folder) {
  std::error_code error;
  std::filesystem::current_path(std::filesystem::path(std::u8string(folder.begin(), folder.end())),
                                error);
  if (error) return Status::Fail("cannot change to " + folder);
  return Status::Ok();
}

Status MachineCore::SetCurrentDirectory(const std::string& folder) {
  const Status s = ChangeFolder(folder);
  if (trace_) trace_->Record({"window", "SetCurrentDirectory", 0, !s.ok()});
  return s;
}

void MachineCore::Unload() {
  if (trace_) trace_->Record({"window", "Unload", 0, false});
  unloaded_ = true;
  rumble_.Stop();
  Hide();
  throw WindowUnloaded{};
}

void MachineCore::Closed() {
  if (recorder_) recorder_->Close();
  rumble_.Stop();
  unloaded_ = true;
  throw WindowUnloaded{};
}

void MachineCore::Deliver(const RawInput& input) {
  RawInput read = input;
  const auto place = static_cast<uint8_t>(input.a);
  const bool key = input.a >= 0 && input.a <= 255;
  if (key && input.kind == RawInput::Kind::kKeyDown) {
    // A key is named and answers by the layout it was pressed on.
    LookAtLayout();
    read.a = answer_keys_.Press(place, labels_);
  } else if (key && input.kind == RawInput::Kind::kKeyUp) {
    read.a = answer_keys_.Release(place);
  }
  if (input.kind == RawInput::Kind::kFocusLost) answer_keys_.LetGo();
  DeliverAsRead(read);
}

void MachineCore::LookAtLayout() {
  if (labels_.Take(system_key_labels()) && recorder_) recorder_->Keys(labels_);
}

void MachineCore::DeliverAsRead(const RawInput& input) {
  if (recorder_) recorder_->Input(input);
  using K = RawInput::Kind;
  if (input.kind == K::kPadAdded || input.kind == K::kPadRemoved) {
    const bool added = input.kind == K::kPadAdded;
    pads_ = std::max(0, pads_ + (added ? 1 : -1));
    pad_map_.Forget();
    rumble_.set_present(pads_ > 0);
    // TRANSLATORS: said once when a gamepad is plugged in (or found at the start).
    TellPlayer(added ? Tr("A gamepad is connected: its stick moves your paddle.")
                     // TRANSLATORS: said once when a gamepad is pulled out during a game.
                     : Tr("The gamepad was disconnected; play on with the mouse and the keys."));
    return;
  }
  if (input.kind == K::kFocusLost) rumble_.Stop();
  hub_.Deliver(input);
}

void MachineCore::PadRemoved() {
  // Its buttons let go first, as the player's: a recording keeps them so.
  for (const RawInput& up : pad_map_.LetGo()) DeliverAsRead(up);
  Deliver(RawInput::PadRemoved());
}

void MachineCore::PadPressed(PadButton button, bool down) {
  if (auto in = pad_map_.Button(button, down, answer_keys_.answering())) DeliverAsRead(*in);
}

void MachineCore::FlushStick() {
  if (!stick_) return;
  const PadStick stick = *std::exchange(stick_, std::nullopt);
  PaddlePlace paddle;
  if (paddle_) (void)paddle_->GetPan(paddle.pan), (void)paddle_->GetVolume(paddle.volume);
  if (auto in = pad_map_.Stick(stick, paddle)) DeliverAsRead(*in);
}

void MachineCore::Watch(const std::string& name, const char* op, int32_t value) {
  const std::string_view what = op;
  // The guide's tour plays the game's sounds while the game holds: nothing is felt then.
  if (timers_.held()) return;
  if (name == "puck.wav" && what == "volume") rumble_.PuckAt(value);
  if (what != "play") return;
  if (const Followed* f = FollowedSound(name); f && f->felt) rumble_.On(*f->felt);
}

void MachineCore::DeliverQueued() {
  while (!queued_.empty()) {
    const RawInput input = queued_.front();
    queued_.pop_front();
    Deliver(input);
  }
}

namespace {
// How long the game waits for the sound output to open; the window can still be closed
// meanwhile.
constexpr std::chrono::milliseconds kOutputDeadline{2000};
}  // namespace

std::string Platform::NoSoundOutputHelp(const std::string& reason) const {
  // The desktops' sound servers: a reason that already says where they were looked for
  // needs no question.
  return reason.find("sound server") == std::string::npos ? Tr("; is a sound server running?")
                                                          : std::string();
}

void MachineCore::UseOutput(std::unique_ptr<OutputDriver> driver, int frames) {
  output_ = std::make_unique<SoundOutput>(mixer_, std::move(driver));
  output_->told = [this](const std::string& text) { TellPlayer(text); };
  output_frames_ = frames;
}

bool MachineCore::ShutdownOutput() {
  if (!output_) return false;
  output_->Shutdown();
  return output_->abandoned();
}

Status MachineCore::OpenOutput() {
  if (!output_) return Status::Fail("this machine has no sound output");
  return output_->Open(output_frames_, kOutputDeadline, [this] { CheckClose(); });
}

void MachineCore::CloseOutput() {
  if (output_) output_->Close();
}

void MachineCore::WatchOutput() {
  if (output_) output_->Watch();
}

bool MachineCore::OutputRunning() const {
  return output_ && output_->running();
}

void MachineCore::WhileSpeaking() {
  CheckClose();
  // A line is waited for until it is heard: an output lost meanwhile is noticed here too.
  WatchOutput();
}

void MachineCore::DoEvents() {
  TimerQueue::Pumping pumping(timers_);
  if (recorder_) recorder_->Pump();
  WatchOutput();
  if (*voice_poll_) (*voice_poll_)();
  PumpSystem();
  FlushStick();
  DeliverQueued();
  // The player may change the layout at any time: the card follows within a tenth of a
  // second. Looked at no more often, as a system may take a call of its own for each key.
  if (layout_seen_ < 0 || Clock() - layout_seen_ >= 100000) {
    layout_seen_ = Clock();
    LookAtLayout();
  }
  timers_.RunDue();
  Pumped();
  if (recorder_) recorder_->Done();
}

void MachineCore::WaitForEvents(double max_seconds) {
  if (!queued_.empty()) return;
  const Micros now = Clock();
  Micros until = now + static_cast<Micros>(std::ceil(std::max(0.0, max_seconds) * 1e6));
  if (auto due = timers_.NextDue()) until = std::min(until, *due);
  if (until <= now) return;
  WaitUntil(until);
}

float MachineCore::TimeOfDay() const {
  // The game's clock stands still while the game is held.
  auto t = static_cast<float>(
      std::fmod(day_start_ + static_cast<double>(Clock() - timers_.HeldFor()) / 1e6, 86400.0));
  if (t >= 86400.0f) t = 0;  // rounded up to midnight, where the day starts again
  if (recorder_) recorder_->Clock(t);
  return t;
}

}  // namespace palomir
