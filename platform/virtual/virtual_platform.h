// A machine for tests: a virtual clock that moves only when told to, scripted input, files
// that exist only in memory, and a record of every sound, timer and speech call the game
// makes. Deterministic; it never touches a window system, a sound card or a synthesizer.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/call_log.h"
#include "platform/core/machine.h"
#include "platform/recording.h"
#include "platform/speech_queue.h"

namespace palomir {

// The core with a clock of its own, and itself as the trace of every call. Game thread only
// (the thread the test runs on), but RequestClose: any thread, as on the real machines.
// Nothing blocks but a replay reading its recording (the disk): a wait moves the clock.
class VirtualPlatform final : public MachineCore, public CallLog {
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

  int32_t Handle() const override { return 1; }
  void ShowCard(const std::vector<CardLine>& lines) override;
  void DoEvents() override;
  float TimeOfDay() const override;
  bool GuideStepDue(Micros due) override;
  // The user closes the window: the next pump throws WindowUnloaded.
  void RequestClose() override { close_requested_ = true; }

  // --- What a test does ---
  // Runs the message loop for `seconds` of virtual time. WindowUnloaded escapes when the
  // game unloads its window.
  void RunFor(double seconds);
  // Input, taken at the next pump: Input(), or one of these.
  void KeyDown(int32_t key) { Input(RawInput::KeyDown(key)); }
  void KeyUp(int32_t key) { Input(RawInput::KeyUp(key)); }
  void MouseMove(int32_t dx, int32_t dy) { Input(RawInput::MouseMove(dx, dy)); }
  void Button(int32_t button, bool down) { Input(RawInput::Button(button, down)); }
  // A gamepad, as a backend hands it on: at once (the stick at the next pump).
  using MachineCore::PadAdded;
  using MachineCore::PadMoved;
  using MachineCore::PadPressed;
  using MachineCore::PadRemoved;
  // The player's keyboard layout: "us" (as made), "de" (QWERTZ), "fr" (AZERTY) or "ru"
  // (Cyrillic); any other name is refused (std::invalid_argument).
  // The game takes it up as keys come and as the pump looks (key_labels()).
  void SetLayout(const std::string& name);
  // Runs `action` once the clock reaches `seconds` (virtual clock seconds).
  void At(double seconds, std::function<void()> action);

  double Now() const { return static_cast<double>(now_) / 1e6; }
  void SetTimeOfDay(double seconds);
  void SetProgramFolder(std::string folder) { set_program_folder(std::move(folder)); }
  void SetSoundsFolder(std::string folder) { set_sounds_folder(std::move(folder)); }
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
    hub().set_focused(false);
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
  const KeyLabels* layout_ = &UsKeyLabels();
  // Off: nothing is recorded (long runs).
  bool recording = true;
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

 private:
  Micros Clock() const override { return now_; }
  void PumpSystem() override;
  void WaitUntil(Micros until) override;
  void CheckClose() override;
  void Reveal() override {}
  void Hide() override {}
  Status CaptureMouse(bool on) override;
  const KeyLabels& system_key_labels() const override { return *layout_; }
  Status OpenInput() override;
  Status OpenOutput() override;
  void CloseOutput() override {}
  bool OutputRunning() const override { return true; }
  Status LoadSound(const std::string& path, Pcm& pcm) override;
  Status MakeVoice(std::unique_ptr<Voice>& voice) override;
  Status ChangeFolder(const std::string& folder) override;
  void MoveClockTo(Micros t);
  void SettleSpeech();
  Micros SpeechLength(const std::string& text) const;
  void RunScheduled();

  Micros now_ = 0;
  Micros speaking_until_ = 0;   // when the line being said ends
  QueuedLine saying_;           // that line
  std::vector<double> cut_short_;
  SpeechQueue speech_queue_;
  uint64_t lines_queued_ = 0;
  std::vector<Spoken> left_out_;
  std::map<std::string, File> files_;
  std::multimap<Micros, std::function<void()>> scheduled_;
  std::vector<Call> calls_;
  std::vector<Spoken> spoken_;
  std::vector<std::string> cards_;
  std::atomic<bool> close_requested_{false};  // any thread sets it
  mutable std::optional<Replay> replay_;
};

}  // namespace palomir
