#include "platform/virtual/virtual_platform.h"

#include <algorithm>
#include <cmath>

#include "platform/mixer/mixer_buffer.h"

namespace palomir {

namespace {

constexpr const char* kSoundFiles[] = {
    "buzz.wav",        "goal.wav",      "puck.wav",        "SideBounce.wav",
    "rebound.wav",     "paddle.wav",    "OpponentHit.wav", "opponentpaddleslide.wav",
    "paddleslide.wav", "background.wav"};

class VirtualVoice final : public Voice {
 public:
  explicit VirtualVoice(VirtualPlatform& vp) : vp_(vp) {}
  Status Speak(const std::string& text, int32_t flags) override {
    if (flags < kSpeakWait || flags > kSpeakNote) {
      return Status::Fail("Speak: bad flags");
    }
    vp_.QueueSpeech(text, flags);
    if (flags == kSpeakWait) vp_.WaitForSpeech();
    return Status::Ok();
  }
  void Hush() override { vp_.HushSpeech(); }
  double Behind() const override { return vp_.SpeechBehind(); }

 private:
  VirtualPlatform& vp_;
};

}  // namespace

class VirtualPlatform::Sound final : public SoundDevice {
 public:
  explicit Sound(VirtualPlatform& vp) : vp_(vp) {}
  Status SetCooperativeLevel(int32_t, int32_t level) override {
    if (level < 1 || level > 3) return Status::Fail("SetCooperativeLevel: bad level");
    return Status::Ok();
  }
  Status CreateSoundBufferFromFile(const std::string& path, const BufferDesc&,
                                   std::unique_ptr<SoundBuffer>& buffer) override {
    const bool background = path.ends_with("/background.wav");
    if (vp_.replay_) {
      const Status s = vp_.replay_->TakeOutcome("file");
      if (!s.ok()) return s;
      auto b = MixerSoundBuffer::Open(vp_.mixer_, std::make_shared<Pcm>(Pcm{1, {0.0f}}));
      if (b && background) vp_.mixer_->SetGroup(b->channel(), Mixer::Group::kBackground);
      buffer = std::move(b);
      return Status::Ok();
    }
    const std::string folder = vp_.SoundsFolder() + "/";
    auto it =
        path.rfind(folder, 0) == 0 ? vp_.files_.find(path.substr(folder.size())) : vp_.files_.end();
    if (it == vp_.files_.end()) return Status::Fail("is missing");
    if (!it->second.bad.empty()) return Status::Fail(it->second.bad);
    auto pcm = std::make_shared<Pcm>();
    pcm->samples.assign(static_cast<size_t>(it->second.seconds * Mixer::kRate), 0.0f);
    auto inner = MixerSoundBuffer::Open(vp_.mixer_, std::move(pcm));
    if (!inner) return Status::Fail("no free mixer channel");
    if (background) vp_.mixer_->SetGroup(inner->channel(), Mixer::Group::kBackground);
    buffer = std::move(inner);
    return Status::Ok();
  }

 private:
  VirtualPlatform& vp_;
};

VirtualPlatform::VirtualPlatform()
    : timers_([this] { return now_; }),
      hub_(
          [this](bool on) {
            // Giving the mouse back happens as everything is released, also after a
            // recording that was cut off: only taken from the recording when it is there.
            if (replay_ && (on || replay_->NextIs("capture"))) {
              const Status s = Replay::StatusOf(replay_->Take("capture"), 1);
              if (!s.ok()) return s;
            }
            mouse_captured_ = on;
            return Status::Ok();
          },
          [this] { return now_; }) {
  for (const char* f : kSoundFiles) files_[f] = File{};
  files_["puck.wav"].seconds = 0.8;
  LogTimers(*this, timers_);
}

VirtualPlatform::~VirtualPlatform() = default;

Status VirtualPlatform::CreateVoice(std::unique_ptr<Voice>& voice) {
  if (replay_) {
    const Status s = replay_->TakeOutcome("voice");
    Record({"platform", "CreateVoice", 0, !s.ok()});
    if (!s.ok()) return s;
    voice = LoggedVoice(*this, std::make_unique<VirtualVoice>(*this));
    return s;
  }
  Record({"platform", "CreateVoice", 0, no_voice});
  if (no_voice) return Status::Fail("no speech data");
  voice = LoggedVoice(*this, std::make_unique<VirtualVoice>(*this));
  return Status::Ok();
}

Status VirtualPlatform::CreateDxRoot(std::unique_ptr<DxRoot>& root) {
  Record({"platform", "CreateDxRoot", 0, false});
  auto inner = std::make_unique<HubDxRoot>(
      hub_,
      [this](const std::string& name, std::unique_ptr<SoundDevice>& sound) {
        if (!name.empty()) return Status::Fail("DirectSoundCreate: no device called " + name);
        if (replay_) {
          const Status s = replay_->TakeOutcome("sound");
          if (!s.ok()) return s;
        } else if (no_sound_device) {
          return Status::Fail("this machine has no sound card");
        }
        sound = std::make_unique<Sound>(*this);
        return Status::Ok();
      },
      [this] { return no_input ? Status::Fail("no input system") : Status::Ok(); });
  root = LoggedDxRoot(*this, std::move(inner));
  return Status::Ok();
}

Status VirtualPlatform::Show() {
  Record({"window", "Show", 0, false});
  shown_ = true;
  return Status::Ok();
}

void VirtualPlatform::ShowCard(const std::vector<CardLine>& lines) {
  if (!recording) return;
  std::string card;
  for (size_t i = 0; i < lines.size(); ++i) card += (i ? "\n" : "") + lines[i].text;
  cards_.push_back(std::move(card));
}

Status VirtualPlatform::SetCurrentDirectory(const std::string& folder) {
  Record({"window", "SetCurrentDirectory", 0, folder != folder_});
  if (folder != folder_) return Status::Fail("SetCurrentDirectory: no such folder " + folder);
  return Status::Ok();
}

void VirtualPlatform::Unload() {
  Record({"window", "Unload", 0, false});
  unloaded_ = true;
  throw WindowUnloaded{};
}

void VirtualPlatform::SetLevels(const Levels& levels) {
  levels_ = levels;
  mixer_->SetLevels(GainOf(levels.sound_volume), GainOf(levels.background_volume),
                    GainOf(levels.speech_volume));
}

void VirtualPlatform::HoldGame(bool on) {
  timers_.Hold(on);
  mixer_->Hold(on);
  hub_.set_held(on);
}

bool VirtualPlatform::GuideStepDue(Micros due) {
  if (replay_) {
    if (!replay_->NextIs("guide")) return false;
    replay_->Take("guide");
    return true;
  }
  return now_ >= due;
}

void VirtualPlatform::RunScheduled() {
  while (!scheduled_.empty() && scheduled_.begin()->first <= now_) {
    auto action = std::move(scheduled_.begin()->second);
    scheduled_.erase(scheduled_.begin());
    action();
  }
}

void VirtualPlatform::DoEvents() {
  if (replay_) {
    replay_->Take("pump");
    for (;;) {
      const std::string next = replay_->Next();
      if (next == "input") {
        hub_.Deliver(Replay::InputOf(replay_->Take("input")));
      } else if (next == "tick") {
        const Replay::Record r = replay_->Take("tick");
        if (!timers_.RunTick(std::stoi(r.words[1]))) {
          throw ReplayError(r.line, "timer " + r.words[1] + " cannot tick here");
        }
      } else if (next == "close") {
        replay_->Take("close");
        unloaded_ = true;
        throw WindowUnloaded{};
      } else {
        // The guide takes its steps as the pump ends, where the recording has them.
        Pumped();
        replay_->Take("done", "input");
        return;
      }
    }
  }
  RunScheduled();
  if (close_requested_) {
    close_requested_ = false;
    unloaded_ = true;
    throw WindowUnloaded{};
  }
  while (!pending_.empty()) {
    const RawInput in = pending_.front();
    pending_.pop_front();
    hub_.Deliver(in);
  }
  timers_.RunDue();
  Pumped();
}

void VirtualPlatform::MoveClockTo(Micros t) {
  if (t <= now_) return;
  const auto frames = static_cast<size_t>((t - now_) * Mixer::kRate / 1000000);
  mixer_->Advance(frames);
  now_ = t;
}

void VirtualPlatform::WaitForEvents(double max_seconds) {
  if (replay_ || !pending_.empty() || close_requested_) return;
  Micros until = now_ + static_cast<Micros>(std::ceil(std::max(0.0, max_seconds) * 1e6));
  if (auto due = timers_.NextDue()) until = std::min(until, std::max(*due, now_));
  if (!scheduled_.empty()) until = std::min(until, std::max(scheduled_.begin()->first, now_));
  MoveClockTo(until);
}

void VirtualPlatform::RunFor(double seconds) {
  const Micros end = now_ + static_cast<Micros>(std::llround(seconds * 1e6));
  for (;;) {
    DoEvents();
    if (now_ >= end) break;
    WaitForEvents(static_cast<double>(end - now_) / 1e6);
  }
}

void VirtualPlatform::At(double seconds, std::function<void()> action) {
  scheduled_.emplace(static_cast<Micros>(std::llround(seconds * 1e6)), std::move(action));
}

float VirtualPlatform::TimeOfDay() const {
  if (replay_) return Replay::ClockOf(replay_->Take("clock"));
  // The game's clock stands still while the game is held.
  const auto t = static_cast<float>(
      std::fmod(day_start_ + static_cast<double>(now_ - timers_.HeldFor()) / 1e6, 86400.0));
  return t >= 86400.0f ? 0.0f : t;  // rounded up to midnight, where the day starts again
}

void VirtualPlatform::SetTimeOfDay(double seconds) {
  day_start_ = seconds - static_cast<double>(now_ - timers_.HeldFor()) / 1e6;
}

void VirtualPlatform::RemoveFile(const std::string& name) {
  files_.erase(name);
}

void VirtualPlatform::Record(const Call& call) {
  if (!recording) return;
  if (on_call) on_call(call);
  calls_.push_back(call);
}

void VirtualPlatform::Said(const std::string& text, int32_t flags) {
  Spoken s{Now(), text, flags};
  if (on_speak) on_speak(s);
  if (recording) spoken_.push_back(std::move(s));
}

// The voice core as the real machines have it, on the virtual clock: one line is being said
// at a time, for as long as SpeechQueue::Length says at the player's rate, the next taken
// from the queue only once it has ended; what is left out is reckoned from what is really
// still to be heard.
Micros VirtualPlatform::SpeechLength(const std::string& text) const {
  return static_cast<Micros>(std::llround(SpeechQueue::Length(text) * speech_queue_.pace() * 1e6));
}

void VirtualPlatform::SettleSpeech() {
  QueuedLine line;
  while (speaking_until_ <= now_ && speech_queue_.Pop(line)) {
    saying_guide_ = line.guide;
    speaking_until_ =
        std::max(speaking_until_, static_cast<Micros>(std::llround(line.at * 1e6))) +
        SpeechLength(line.text);
  }
}

void VirtualPlatform::QueueSpeech(const std::string& text, int32_t flags) {
  speech_queue_.set_pace(static_cast<double>(VoiceLevels::kUsualRate) /
                         std::max(1, levels_.speech_rate));
  SettleSpeech();
  const double saying = static_cast<double>(std::max<Micros>(0, speaking_until_ - now_)) / 1e6;
  for (QueuedLine& gone : speech_queue_.Push(
           {++lines_queued_, text, flags == kSpeakWait, Now(), 0, flags >= kSpeakGuide}, saying)) {
    if (recording) left_out_.push_back({gone.at, gone.text, gone.wait ? kSpeakWait : kSpeakAsync});
  }
  SettleSpeech();
}

double VirtualPlatform::SpeechBehind() {
  SettleSpeech();
  return static_cast<double>(std::max<Micros>(0, speaking_until_ - now_)) / 1e6 +
         speech_queue_.seconds();
}

void VirtualPlatform::HushSpeech() {
  SettleSpeech();
  speech_queue_.DropGuide();
  if (saying_guide_ && speaking_until_ > now_) {
    speaking_until_ = now_;  // cut short where it is heard
    if (recording) cut_short_.push_back(Now());
  }
  SettleSpeech();
}

void VirtualPlatform::WaitForSpeech() {
  if (replay_) {
    if (replay_->Take("heard", "close").words[0] == "close") {
      unloaded_ = true;
      throw WindowUnloaded{};
    }
    return;
  }
  // As on the real machine, the window system is still asked while the voice speaks: a
  // close request cuts the wait short. Input and ticks wait for the line to end.
  SettleSpeech();
  Micros speech_until_ = speaking_until_;
  for (const QueuedLine& l : speech_queue_.lines()) speech_until_ += SpeechLength(l.text);
  while (now_ < speech_until_) {
    Micros until = speech_until_;
    if (!scheduled_.empty()) until = std::min(until, std::max(scheduled_.begin()->first, now_));
    MoveClockTo(until);
    RunScheduled();
    if (close_requested_) {
      close_requested_ = false;
      unloaded_ = true;
      throw WindowUnloaded{};
    }
  }
}

}  // namespace palomir
