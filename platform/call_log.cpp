#include "platform/call_log.h"

#include "platform/line_file.h"

namespace palomir {

namespace {

std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Records the calls on one object under its name, and its release.
class Logged {
 protected:
  Logged(CallLog& log, std::string name) : log_(log), name_(std::move(name)) {}
  ~Logged() { log_.Record({name_, "Release", 0, false}); }
  Status Log(const char* op, int32_t arg, Status s) {
    log_.Record({name_, op, arg, !s.ok()});
    return s;
  }
  CallLog& log_;
  std::string name_;
};

// Every call on a sound buffer, under its file's name.
class LoggedBuffer final : public SoundBuffer, Logged {
 public:
  LoggedBuffer(CallLog& log, std::string name, std::unique_ptr<SoundBuffer> inner)
      : Logged(log, std::move(name)), inner_(std::move(inner)) {}
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

class LoggedSoundDevice final : public SoundDevice, Logged {
 public:
  LoggedSoundDevice(CallLog& log, std::unique_ptr<SoundDevice> inner)
      : Logged(log, "SoundDevice"), inner_(std::move(inner)) {}
  Status SetCooperativeLevel(int32_t window, int32_t level) override {
    return Log("SetCooperativeLevel", level, inner_->SetCooperativeLevel(window, level));
  }
  Status CreateSoundBufferFromFile(const std::string& path, const BufferDesc& desc,
                                   std::unique_ptr<SoundBuffer>& buffer) override {
    log_.Record({name_, "CreateSoundBufferFromFile " + path, 0, false});
    std::unique_ptr<SoundBuffer> inner;
    Status s = inner_->CreateSoundBufferFromFile(path, desc, inner);
    if (s.ok()) buffer = std::make_unique<LoggedBuffer>(log_, BaseName(path), std::move(inner));
    return s;
  }

 private:
  std::unique_ptr<SoundDevice> inner_;
};

class LoggedInputDevice final : public InputDevice, Logged {
 public:
  LoggedInputDevice(CallLog& log, std::string name, std::unique_ptr<InputDevice> inner)
      : Logged(log, std::move(name)), inner_(std::move(inner)) {}
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

class LoggedInputRoot final : public InputRoot {
 public:
  LoggedInputRoot(CallLog& log, std::unique_ptr<InputRoot> inner)
      : log_(log), inner_(std::move(inner)) {}
  ~LoggedInputRoot() override { log_.Record({"InputRoot", "Release", 0, false}); }
  Status CreateDevice(const std::string& name, std::unique_ptr<InputDevice>& device) override {
    std::unique_ptr<InputDevice> inner;
    Status s = inner_->CreateDevice(name, inner);
    log_.Record({"InputRoot", "CreateDevice " + name, 0, !s.ok()});
    if (s.ok()) device = std::make_unique<LoggedInputDevice>(log_, name, std::move(inner));
    return s;
  }

 private:
  CallLog& log_;
  std::unique_ptr<InputRoot> inner_;
};

class LoggedDxRoot final : public DxRoot {
 public:
  LoggedDxRoot(CallLog& log, std::unique_ptr<DxRoot> inner) : log_(log), inner_(std::move(inner)) {}
  ~LoggedDxRoot() override { log_.Record({"DxRoot", "Release", 0, false}); }
  Status DirectSoundCreate(const std::string& device,
                           std::unique_ptr<SoundDevice>& sound) override {
    std::unique_ptr<SoundDevice> inner;
    Status s = inner_->DirectSoundCreate(device, inner);
    log_.Record({"DxRoot", "DirectSoundCreate", 0, !s.ok()});
    if (s.ok()) sound = std::make_unique<LoggedSoundDevice>(log_, std::move(inner));
    return s;
  }
  Status DirectInputCreate(std::unique_ptr<InputRoot>& input) override {
    std::unique_ptr<InputRoot> inner;
    Status s = inner_->DirectInputCreate(inner);
    log_.Record({"DxRoot", "DirectInputCreate", 0, !s.ok()});
    if (s.ok()) input = std::make_unique<LoggedInputRoot>(log_, std::move(inner));
    return s;
  }
  Status CreateEvent(std::function<void(int32_t)> sink, int32_t& handle) override {
    Status s = inner_->CreateEvent(std::move(sink), handle);
    log_.Record({"DxRoot", "CreateEvent", s.ok() ? handle : 0, !s.ok()});
    return s;
  }

 private:
  CallLog& log_;
  std::unique_ptr<DxRoot> inner_;
};

class LoggedVoiceImpl final : public Voice {
 public:
  LoggedVoiceImpl(CallLog& log, std::unique_ptr<Voice> inner)
      : log_(log), inner_(std::move(inner)) {}
  Status Speak(const std::string& text, int32_t flags) override {
    log_.Said(text, flags);
    return inner_->Speak(text, flags);
  }

 private:
  CallLog& log_;
  std::unique_ptr<Voice> inner_;
};

}  // namespace

std::unique_ptr<DxRoot> LoggedDxRoot(CallLog& log, std::unique_ptr<DxRoot> inner) {
  return std::make_unique<class LoggedDxRoot>(log, std::move(inner));
}

std::unique_ptr<Voice> LoggedVoice(CallLog& log, std::unique_ptr<Voice> inner) {
  return std::make_unique<LoggedVoiceImpl>(log, std::move(inner));
}

void LogTimers(CallLog& log, TimerQueue& timers) {
  timers.set_observer([&log](int index, const char* what, int32_t value) {
    static constexpr const char* kNames[] = {"RightTimer", "LeftTimer", "ToTimer", "FroTimer"};
    log.Record({index < 4 ? kNames[index] : "timer " + std::to_string(index), what, value, false});
  });
}

void LineTrace::Record(const Call& call) {
  file_.Line(TraceLine(call));
}
void LineTrace::Said(const std::string& text, int32_t flags) {
  file_.Line(TraceSpeech(text, flags));
}
void LineTrace::Error(const std::string& text) {
  file_.Line(TraceError(text));
}

std::string TraceLine(const Call& c) {
  return "call " + c.object + " " + c.op + " " + std::to_string(c.arg) +
         (c.failed ? " FAILED" : "");
}

std::string TraceSpeech(const std::string& text, int32_t flags) {
  return "say " + std::to_string(flags) + " \"" + text + "\"";
}

std::string TraceLanguage(const std::string& code, const std::string& voice) {
  return "language " + code + " voice " + voice;
}

std::string TraceError(const std::string& text) {
  return "error " + text;
}

}  // namespace palomir
