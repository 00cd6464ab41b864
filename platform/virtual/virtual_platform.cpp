#include "platform/virtual/virtual_platform.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>

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

VirtualPlatform::VirtualPlatform() : MachineCore("/palomir", "", 36000.0) {
  for (const char* f : kSoundFiles) files_[f] = File{};
  files_["puck.wav"].seconds = 0.8;
  set_trace(this);
}

VirtualPlatform::~VirtualPlatform() = default;

Status VirtualPlatform::CaptureMouse(bool on) {
  // Giving the mouse back happens as everything is released, also after a recording that
  // was cut off: only taken from the recording when it is there.
  if (replay_ && (on || replay_->NextIs("capture"))) {
    return Replay::StatusOf(replay_->Take("capture"), 1);
  }
  return Status::Ok();
}

Status VirtualPlatform::OpenInput() {
  return no_input ? Status::Fail("no input system") : Status::Ok();
}

Status VirtualPlatform::OpenOutput() {
  if (replay_) return replay_->TakeOutcome("sound");
  if (no_sound_device) return Status::Fail("this machine has no sound card");
  return Status::Ok();
}

Status VirtualPlatform::LoadSound(const std::string& path, Pcm& pcm) {
  if (replay_) {
    const Status s = replay_->TakeOutcome("file");
    if (s.ok()) pcm = Pcm{1, {0.0f}};
    return s;
  }
  const std::string folder = SoundsFolder() + "/";
  auto it = path.rfind(folder, 0) == 0 ? files_.find(path.substr(folder.size())) : files_.end();
  if (it == files_.end()) return Status::Fail("is missing");
  if (!it->second.bad.empty()) return Status::Fail(it->second.bad);
  pcm.channels = 1;
  pcm.samples.assign(static_cast<size_t>(it->second.seconds * Mixer::kRate), 0.0f);
  return Status::Ok();
}

Status VirtualPlatform::MakeVoice(std::unique_ptr<Voice>& voice) {
  if (replay_) {
    const Status s = replay_->TakeOutcome("voice");
    if (!s.ok()) return s;
  } else if (no_voice) {
    return Status::Fail("no speech data");
  }
  voice = std::make_unique<VirtualVoice>(*this);
  return Status::Ok();
}

void VirtualPlatform::ShowCard(const std::vector<CardLine>& lines) {
  MachineCore::ShowCard(lines);
  if (!recording) return;
  std::string card;
  for (size_t i = 0; i < lines.size(); ++i) card += (i ? "\n" : "") + lines[i].text;
  cards_.push_back(std::move(card));
}

Status VirtualPlatform::ChangeFolder(const std::string& folder) {
  if (folder != ProgramFolder()) return Status::Fail("SetCurrentDirectory: no such folder " + folder);
  return Status::Ok();
}

namespace {

// A layout as the keys the American one prints otherwise.
class Layout final : public KeyLabels {
 public:
  explicit Layout(std::map<uint8_t, std::string> moved) : moved_(std::move(moved)) {}
  std::string LabelAt(uint8_t code) const override {
    auto it = moved_.find(code);
    return it != moved_.end() ? it->second : UsKeyLabels().LabelAt(code);
  }

 private:
  std::map<uint8_t, std::string> moved_;
};

const Layout kGerman({{0x0C, "ß"},
                      {0x15, "z"},
                      {0x1A, "ü"},
                      {0x1B, "+"},
                      {0x27, "ö"},
                      {0x28, "ä"},
                      {0x29, "^"},
                      {0x2B, "#"},
                      {0x2C, "y"},
                      {0x35, "-"}});
// The row of digits as SDL names it on AZERTY: by the digits printed there.
const Layout kFrench({{0x0C, ")"},
                      {0x10, "a"},
                      {0x11, "z"},
                      {0x1A, "^"},
                      {0x1B, "$"},
                      {0x1E, "q"},
                      {0x27, "m"},
                      {0x28, "ù"},
                      {0x29, "²"},
                      {0x2B, "*"},
                      {0x2C, "w"},
                      {0x32, ","},
                      {0x33, ";"},
                      {0x34, ":"},
                      {0x35, "!"}});
const Layout kRussian({{0x10, "й"}, {0x11, "ц"}, {0x12, "у"}, {0x13, "к"}, {0x14, "е"}, {0x15, "н"},
                       {0x16, "г"}, {0x17, "ш"}, {0x18, "щ"}, {0x19, "з"}, {0x1A, "х"}, {0x1B, "ъ"},
                       {0x1E, "ф"}, {0x1F, "ы"}, {0x20, "в"}, {0x21, "а"}, {0x22, "п"}, {0x23, "р"},
                       {0x24, "о"}, {0x25, "л"}, {0x26, "д"}, {0x27, "ж"}, {0x28, "э"}, {0x29, "ё"},
                       {0x2C, "я"}, {0x2D, "ч"}, {0x2E, "с"}, {0x2F, "м"}, {0x30, "и"}, {0x31, "т"},
                       {0x32, "ь"}, {0x33, "б"}, {0x34, "ю"}, {0x35, "."}});

}  // namespace

void VirtualPlatform::SetLayout(const std::string& name) {
  if (name == "us") {
    layout_ = &UsKeyLabels();
  } else if (name == "de") {
    layout_ = &kGerman;
  } else if (name == "fr") {
    layout_ = &kFrench;
  } else if (name == "ru") {
    layout_ = &kRussian;
  } else {
    throw std::invalid_argument("no layout " + name);
  }
}

bool VirtualPlatform::GuideStepDue(Micros due) {
  if (replay_) {
    if (!replay_->NextIs("guide")) return false;
    replay_->Take("guide");
    return true;
  }
  return MachineCore::GuideStepDue(due);
}

void VirtualPlatform::RunScheduled() {
  while (!scheduled_.empty() && scheduled_.begin()->first <= now_) {
    auto action = std::move(scheduled_.begin()->second);
    scheduled_.erase(scheduled_.begin());
    action();
  }
}

void VirtualPlatform::DoEvents() {
  if (!replay_) {
    MachineCore::DoEvents();
    return;
  }
  replay_->Take("pump");
  for (;;) {
    const std::string next = replay_->Next();
    if (next == "input") {
      DeliverAsRead(Replay::InputOf(replay_->Take("input")));
    } else if (next == "tick") {
      const Replay::Record r = replay_->Take("tick");
      if (!Timers().RunTick(std::stoi(r.words[1]))) {
        throw ReplayError(r.line, "timer " + r.words[1] + " cannot tick here");
      }
    } else if (next == "keys") {
      UseLabels(Replay::LabelsOf(replay_->Take("keys")));
    } else if (next == "close") {
      replay_->Take("close");
      Closed();
    } else {
      // The guide takes its steps as the pump ends, where the recording has them.
      Pumped();
      replay_->Take("done", "input");
      return;
    }
  }
}

void VirtualPlatform::PumpSystem() {
  RunScheduled();
  CheckClose();
}

void VirtualPlatform::CheckClose() {
  if (!close_requested_.exchange(false)) return;
  Closed();
}

void VirtualPlatform::MoveClockTo(Micros t) {
  if (t <= now_) return;
  const auto frames = static_cast<size_t>((t - now_) * Mixer::kRate / 1000000);
  mixer()->Advance(frames);
  now_ = t;
}

void VirtualPlatform::WaitUntil(Micros until) {
  if (replay_ || close_requested_) return;
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
  return MachineCore::TimeOfDay();
}

void VirtualPlatform::SetTimeOfDay(double seconds) {
  day_start_ = seconds - static_cast<double>(now_ - Timers().HeldFor()) / 1e6;
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
    saying_ = line;
    speaking_until_ =
        std::max(speaking_until_, static_cast<Micros>(std::llround(line.at * 1e6))) +
        SpeechLength(line.text);
  }
}

void VirtualPlatform::QueueSpeech(const std::string& text, int32_t flags) {
  speech_queue_.set_pace(static_cast<double>(VoiceLevels::kUsualRate) /
                         std::max(1, levels().speech_rate));
  SettleSpeech();
  const double saying = static_cast<double>(std::max<Micros>(0, speaking_until_ - now_)) / 1e6;
  QueuedLine line{lines_queued_ + 1, text, flags == kSpeakWait, Now(), 0, flags >= kSpeakGuide};
  // As the voice core does: the very readout being said again is left out; one that this
  // one makes stale is cut short.
  if (speaking_until_ > now_ && SpeechQueue::Repeats(line, saying_)) {
    if (recording) left_out_.push_back({line.at, line.text, kSpeakAsync});
    return;
  }
  ++lines_queued_;
  if (speaking_until_ > now_ && SpeechQueue::Replaces(line, saying_)) {
    speaking_until_ = now_;
    if (recording) cut_short_.push_back(Now());
  }
  for (QueuedLine& gone : speech_queue_.Push(std::move(line), saying)) {
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
  if (saying_.guide && speaking_until_ > now_) {
    speaking_until_ = now_;  // cut short where it is heard
    if (recording) cut_short_.push_back(Now());
  }
  SettleSpeech();
}

void VirtualPlatform::WaitForSpeech() {
  if (replay_) {
    if (replay_->Take("heard", "close").words[0] == "close") Closed();
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
    CheckClose();
  }
}

}  // namespace palomir
