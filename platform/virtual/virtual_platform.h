// A machine for tests: a virtual clock that moves only when told to, scripted input, files
// that exist only in memory, and a record of every sound, timer and speech call the game
// makes. Deterministic; it never touches a window system, a sound card or a synthesizer.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/call_log.h"
#include "platform/input_hub.h"
#include "platform/mixer/mixer.h"
#include "platform/platform.h"
#include "platform/recording.h"
#include "platform/speech_queue.h"

namespace palomir {

class VirtualPlatform final : public Platform, public Window, public CallLog {
 public:
  using Call = palomir::Call;
  struct Spoken {
    double at = 0;  // seconds on the virtual clock when the line was queued
    std::string text;
    int32_t flags = 0;
  };
  struct File {
    double seconds = 0.3;
    std::string bad;  // non-empty: the file cannot be played, for this reason ("is ...")
  };

  // The program's folder holds the ten sounds; the clock starts at 10:00:00.
  VirtualPlatform();
  ~VirtualPlatform() override;

  // --- Platform and Window ---
  Window& window() override { return *this; }
  Status CreateVoice(std::unique_ptr<Voice>& voice) override;
  Status CreateDxRoot(std::unique_ptr<DxRoot>& root) override;
  int32_t Handle() const override { return 1; }
  Status Show() override;
  Status SetScaleMode(int32_t) override { return Status::Ok(); }
  TimerQueue& Timers() override { return timers_; }
  void ShowCard(const std::vector<CardLine>& lines) override;
  void DoEvents() override;
  void WaitForEvents(double max_seconds) override;
  float TimeOfDay() const override;
  std::string ProgramFolder() const override { return folder_; }
  Status SetCurrentDirectory(const std::string& folder) override;
  [[noreturn]] void Unload() override;
  void SetLevels(const Levels& levels) override;
  Levels levels() const override { return levels_; }
  void HoldGame(bool on) override;
  bool game_held() const override { return timers_.held(); }
  void set_key_observer(std::function<void(const RawInput&)> observer) override {
    hub_.set_key_observer(std::move(observer));
  }
  Micros GuideClock() const override { return now_; }
  bool GuideStepDue(Micros due) override;

  // --- What a test does ---
  // Runs the message loop for `seconds` of virtual time. WindowUnloaded escapes when the
  // game unloads its window.
  void RunFor(double seconds);
  // Input, taken at the next pump.
  void Input(const RawInput& input) { pending_.push_back(input); }
  void KeyDown(int32_t key) { Input(RawInput::KeyDown(key)); }
  void KeyUp(int32_t key) { Input(RawInput::KeyUp(key)); }
  void MouseMove(int32_t dx, int32_t dy) { Input(RawInput::MouseMove(dx, dy)); }
  void Button(int32_t button, bool down) { Input(RawInput::Button(button, down)); }
  // The user closes the window: the next pump throws WindowUnloaded.
  void RequestClose() { close_requested_ = true; }
  // Runs `action` once the clock reaches `seconds` (virtual clock seconds).
  void At(double seconds, std::function<void()> action);

  double Now() const { return static_cast<double>(now_) / 1e6; }
  void SetTimeOfDay(double seconds);
  void SetProgramFolder(std::string folder) { folder_ = std::move(folder); }
  std::string SoundsFolder() const override {
    return sounds_.empty() ? folder_ + "/sounds" : sounds_;
  }
  void SetSoundsFolder(std::string folder) { sounds_ = std::move(folder); }
  std::map<std::string, File>& files() { return files_; }
  void RemoveFile(const std::string& name);

  // Replays a recording of a real game: from here on input, ticks, the time of day, the
  // ends of waited-for lines, the close box and the outcomes of the machine's own calls all
  // come from it, in its order, and the virtual clock stands still. A record that does not
  // fit what the game asks throws ReplayError; running out throws ReplayEnded.
  // As on the real machine, input flows only once the window system gives focus.
  void StartReplay(std::deque<Replay::Record> records) { StartReplay(Replay(std::move(records))); }
  void StartReplay(Replay replay) {
    replay_.emplace(std::move(replay));
    hub_.set_focused(false);
  }
  bool replaying() const { return replay_.has_value(); }

  // Machine faults.
  bool no_sound_device = false;
  bool no_input = false;
  bool no_voice = false;

  const std::vector<Call>& calls() const { return calls_; }
  const std::vector<Spoken>& spoken() const { return spoken_; }
  // Every card drawn, its lines joined by newlines; the window system's own redraws (a
  // window uncovered or resized) are not the game's and are not kept.
  const std::vector<std::string>& cards() const { return cards_; }
  void ClearRecords() {
    calls_.clear();
    spoken_.clear();
    left_out_.clear();
    cut_short_.clear();
    cards_.clear();
  }
  // Off: nothing is recorded (long runs).
  bool recording = true;
  bool shown() const { return shown_; }
  bool unloaded() const { return unloaded_; }
  bool mouse_captured() const { return mouse_captured_; }
  // Called for every call recorded, as it happens (the scenario runner prints them).
  std::function<void(const Call&)> on_call;
  std::function<void(const Spoken&)> on_speak;

  void Record(const Call& call) override;
  void Said(const std::string& text, int32_t flags) override;
  // The voice queues a line: it is heard for a while after what is still being said, or
  // left out when it falls too far behind.
  void QueueSpeech(const std::string& text, int32_t flags);
  // The help's and the tour's lines stop: the one being said now, the rest unsaid.
  void HushSpeech();
  // Seconds of speech still to be heard.
  double SpeechBehind();
  // When a line of the guide was cut short (virtual clock seconds).
  const std::vector<double>& cut_short() const { return cut_short_; }
  // The lines the voice left out to keep up with play.
  const std::vector<Spoken>& left_out() const { return left_out_; }
  // The voice holds the game thread until everything queued has been heard.
  void WaitForSpeech();
  std::shared_ptr<Mixer> mixer() { return mixer_; }

 private:
  class Sound;
  void MoveClockTo(Micros t);
  void SettleSpeech();
  Micros SpeechLength(const std::string& text) const;
  void RunScheduled();

  Micros now_ = 0;
  double day_start_ = 36000.0;  // time of day at clock 0
  Micros speaking_until_ = 0;   // when the line being said ends
  bool saying_guide_ = false;   // that line is the guide's
  std::vector<double> cut_short_;
  SpeechQueue speech_queue_;
  uint64_t lines_queued_ = 0;
  std::vector<Spoken> left_out_;
  std::string folder_ = "/palomir";
  std::string sounds_;
  std::map<std::string, File> files_;
  TimerQueue timers_;
  InputHub hub_;
  std::shared_ptr<Mixer> mixer_ = std::make_shared<Mixer>();
  std::deque<RawInput> pending_;
  std::multimap<Micros, std::function<void()>> scheduled_;
  std::vector<Call> calls_;
  std::vector<Spoken> spoken_;
  std::vector<std::string> cards_;
  bool shown_ = false;
  bool unloaded_ = false;
  bool close_requested_ = false;
  bool mouse_captured_ = false;
  mutable std::optional<Replay> replay_;
  Levels levels_;
};

}  // namespace palomir
