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

std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Records the calls on one object under its name, and its release.
class Recorder {
 protected:
  Recorder(VirtualPlatform& vp, std::string name) : vp_(vp), name_(std::move(name)) {}
  ~Recorder() { vp_.Record({name_, "Release", 0, false}); }
  Status Log(const char* op, int32_t arg, Status s) {
    vp_.Record({name_, op, arg, !s.ok()});
    return s;
  }
  VirtualPlatform& vp_;
  std::string name_;
};

// Every call on the buffer is recorded under the file's name.
class RecordingBuffer final : public SoundBuffer, Recorder {
 public:
  RecordingBuffer(VirtualPlatform& vp, std::string name, std::unique_ptr<SoundBuffer> inner)
      : Recorder(vp, std::move(name)), inner_(std::move(inner)) {}
  Status SetPan(int32_t pan) override { return Log("SetPan", pan, inner_->SetPan(pan)); }
  Status GetPan(int32_t& pan) const override { return inner_->GetPan(pan); }
  Status SetVolume(int32_t v) override { return Log("SetVolume", v, inner_->SetVolume(v)); }
  Status GetVolume(int32_t& v) const override { return inner_->GetVolume(v); }
  Status Play(int32_t flags) override { return Log("Play", flags, inner_->Play(flags)); }
  Status SetCurrentPosition(int32_t p) override {
    return Log("SetCurrentPosition", p, inner_->SetCurrentPosition(p));
  }
  Status Stop() override { return Log("Stop", 0, inner_->Stop()); }

 private:
  std::unique_ptr<SoundBuffer> inner_;
};

// The input objects, each call recorded under the object's name.
class RecordingInputDevice final : public InputDevice, Recorder {
 public:
  RecordingInputDevice(VirtualPlatform& vp, std::string name, std::unique_ptr<InputDevice> inner)
      : Recorder(vp, std::move(name)), inner_(std::move(inner)) {}
  Status SetCommonDataFormat(int32_t f) override {
    return Log("SetCommonDataFormat", f, inner_->SetCommonDataFormat(f));
  }
  Status SetCooperativeLevel(int32_t w, int32_t f) override {
    return Log("SetCooperativeLevel", f, inner_->SetCooperativeLevel(w, f));
  }
  Status SetProperty(const std::string& n, const PropLong& v) override {
    return Log("SetProperty", v.data, inner_->SetProperty(n, v));
  }
  Status SetEventNotification(int32_t e) override {
    return Log("SetEventNotification", e, inner_->SetEventNotification(e));
  }
  Status Acquire() override { return Log("Acquire", 0, inner_->Acquire()); }
  Status Unacquire() override { return Log("Unacquire", 0, inner_->Unacquire()); }
  Status GetDeviceData(std::span<MouseRecord> r, int32_t flags, int32_t& count) override {
    Status s = inner_->GetDeviceData(r, flags, count);
    return Log("GetDeviceData", s.ok() ? count : 0, std::move(s));
  }
  Status GetDeviceStateKeyboard(KeyboardState& state) override {
    return Log("GetDeviceStateKeyboard", 0, inner_->GetDeviceStateKeyboard(state));
  }

 private:
  std::unique_ptr<InputDevice> inner_;
};

class RecordingInputRoot final : public InputRoot {
 public:
  RecordingInputRoot(VirtualPlatform& vp, std::unique_ptr<InputRoot> inner)
      : vp_(vp), inner_(std::move(inner)) {}
  ~RecordingInputRoot() override { vp_.Record({"InputRoot", "Release", 0, false}); }
  Status CreateDevice(const std::string& name, std::unique_ptr<InputDevice>& device) override {
    std::unique_ptr<InputDevice> inner;
    Status s = inner_->CreateDevice(name, inner);
    vp_.Record({"InputRoot", "CreateDevice " + name, 0, !s.ok()});
    if (s.ok()) device = std::make_unique<RecordingInputDevice>(vp_, name, std::move(inner));
    return s;
  }

 private:
  VirtualPlatform& vp_;
  std::unique_ptr<InputRoot> inner_;
};

class RecordingDxRoot final : public DxRoot {
 public:
  RecordingDxRoot(VirtualPlatform& vp, std::unique_ptr<DxRoot> inner)
      : vp_(vp), inner_(std::move(inner)) {}
  ~RecordingDxRoot() override { vp_.Record({"DxRoot", "Release", 0, false}); }
  Status DirectSoundCreate(const std::string& device,
                           std::unique_ptr<SoundDevice>& sound) override {
    Status s = inner_->DirectSoundCreate(device, sound);
    vp_.Record({"DxRoot", "DirectSoundCreate", 0, !s.ok()});
    return s;
  }
  Status DirectInputCreate(std::unique_ptr<InputRoot>& input) override {
    std::unique_ptr<InputRoot> inner;
    Status s = vp_.no_input ? Status::Fail("DirectInputCreate: no input system")
                            : inner_->DirectInputCreate(inner);
    vp_.Record({"DxRoot", "DirectInputCreate", 0, !s.ok()});
    if (s.ok()) input = std::make_unique<RecordingInputRoot>(vp_, std::move(inner));
    return s;
  }
  Status CreateEvent(std::function<void(int32_t)> sink, int32_t& handle) override {
    Status s = inner_->CreateEvent(std::move(sink), handle);
    vp_.Record({"DxRoot", "CreateEvent", s.ok() ? handle : 0, !s.ok()});
    return s;
  }

 private:
  VirtualPlatform& vp_;
  std::unique_ptr<DxRoot> inner_;
};

class VirtualVoice final : public Voice {
 public:
  explicit VirtualVoice(VirtualPlatform& vp) : vp_(vp) {}
  Status Speak(const std::string& text, int32_t flags) override {
    if (flags != kSpeakWait && flags != kSpeakAsync) return Status::Fail("Speak: bad flags");
    vp_.RecordSpeech(text, flags);
    if (flags == kSpeakWait) vp_.WaitForSpeech();
    return Status::Ok();
  }

 private:
  VirtualPlatform& vp_;
};

}  // namespace

class VirtualPlatform::Sound final : public SoundDevice {
 public:
  explicit Sound(VirtualPlatform& vp) : vp_(vp) {}
  ~Sound() override { vp_.Record({"SoundDevice", "Release", 0, false}); }
  Status SetCooperativeLevel(int32_t, int32_t level) override {
    const bool ok = level >= 1 && level <= 3;
    vp_.Record({"SoundDevice", "SetCooperativeLevel", level, !ok});
    return ok ? Status::Ok() : Status::Fail("SetCooperativeLevel: bad level");
  }
  Status CreateSoundBufferFromFile(const std::string& path, const BufferDesc&,
                                   std::unique_ptr<SoundBuffer>& buffer) override {
    vp_.Record({"SoundDevice", "CreateSoundBufferFromFile " + path, 0, false});
    const std::string folder = vp_.folder_ + "/sounds/";
    auto it =
        path.rfind(folder, 0) == 0 ? vp_.files_.find(path.substr(folder.size())) : vp_.files_.end();
    if (it == vp_.files_.end()) return Status::Fail("is missing");
    if (!it->second.bad.empty()) {
      return Status::Fail("is not a sound the game can play (" + it->second.bad + ")");
    }
    auto pcm = std::make_shared<Pcm>();
    pcm->samples.assign(static_cast<size_t>(it->second.seconds * Mixer::kRate), 0.0f);
    auto inner = MixerSoundBuffer::Open(vp_.mixer_, std::move(pcm));
    if (!inner) return Status::Fail("no free mixer channel");
    buffer = std::make_unique<RecordingBuffer>(vp_, BaseName(path), std::move(inner));
    return Status::Ok();
  }

 private:
  VirtualPlatform& vp_;
};

VirtualPlatform::VirtualPlatform()
    : timers_([this] { return now_; }),
      hub_(
          [this](bool on) {
            mouse_captured_ = on;
            return Status::Ok();
          },
          [this] { return now_; }) {
  for (const char* f : kSoundFiles) files_[f] = File{};
  files_["puck.wav"].seconds = 0.8;
  timers_.set_observer([this](int index, const char* what, int32_t value) {
    static constexpr const char* kNames[] = {"RightTimer", "LeftTimer", "ToTimer", "FroTimer"};
    Record({index < 4 ? kNames[index] : "timer " + std::to_string(index), what, value, false});
  });
}

VirtualPlatform::~VirtualPlatform() = default;

Status VirtualPlatform::CreateVoice(std::unique_ptr<Voice>& voice) {
  Record({"platform", "CreateVoice", 0, no_voice});
  if (no_voice) return Status::Fail("no speech data");
  voice = std::make_unique<VirtualVoice>(*this);
  return Status::Ok();
}

Status VirtualPlatform::CreateDxRoot(std::unique_ptr<DxRoot>& root) {
  Record({"platform", "CreateDxRoot", 0, false});
  auto inner = std::make_unique<HubDxRoot>(
      hub_, [this](const std::string& name, std::unique_ptr<SoundDevice>& sound) {
        if (!name.empty()) return Status::Fail("DirectSoundCreate: no device called " + name);
        if (no_sound_device) return Status::Fail("no sound device");
        sound = std::make_unique<Sound>(*this);
        return Status::Ok();
      });
  root = std::make_unique<RecordingDxRoot>(*this, std::move(inner));
  return Status::Ok();
}

Status VirtualPlatform::Show() {
  Record({"window", "Show", 0, false});
  shown_ = true;
  return Status::Ok();
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

void VirtualPlatform::RunScheduled() {
  while (!scheduled_.empty() && scheduled_.begin()->first <= now_) {
    auto action = std::move(scheduled_.begin()->second);
    scheduled_.erase(scheduled_.begin());
    action();
  }
}

void VirtualPlatform::DoEvents() {
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
}

void VirtualPlatform::MoveClockTo(Micros t) {
  if (t <= now_) return;
  const auto frames = static_cast<size_t>((t - now_) * Mixer::kRate / 1000000);
  mixer_->Advance(frames);
  now_ = t;
}

void VirtualPlatform::WaitForEvents(double max_seconds) {
  if (!pending_.empty() || close_requested_) return;
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
  return static_cast<float>(std::fmod(day_start_ + static_cast<double>(now_) / 1e6, 86400.0));
}

void VirtualPlatform::SetTimeOfDay(double seconds) {
  day_start_ = seconds - static_cast<double>(now_) / 1e6;
}

void VirtualPlatform::RemoveFile(const std::string& name) {
  files_.erase(name);
}

void VirtualPlatform::Record(Call call) {
  if (!recording) return;
  if (on_call) on_call(call);
  calls_.push_back(std::move(call));
}

void VirtualPlatform::RecordSpeech(const std::string& text, int32_t flags) {
  // A line takes 60 ms a character, 300 ms at least, after whatever is still being said.
  const Micros length = std::max<Micros>(300000, static_cast<Micros>(text.size()) * 60000);
  speech_until_ = std::max(speech_until_, now_) + length;
  Spoken s{Now(), text, flags};
  if (on_speak) on_speak(s);
  if (recording) spoken_.push_back(std::move(s));
}

void VirtualPlatform::WaitForSpeech() {
  // As on the real machine, the window system is still asked while the voice speaks: a
  // close request cuts the wait short. Input and ticks wait for the line to end.
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
