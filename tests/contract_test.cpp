// The machine's contract, the same cases for every backend (tests/contract.h): the hold, the
// levels, the voice's lines, the one sound device and its files, what a recording and a
// trace write down, and the close path. Time is the machine's own: the virtual machine's
// moves when it waits, the real ones' as the wall clock does.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "contract.h"
#include "platform/call_log.h"
#include "platform/key_labels.h"
#include "platform/keycodes.h"
#include "platform/line_file.h"
#include "platform/recording.h"
#include "temp_folder.h"

namespace palomir::testing {
namespace {

// Pumps and waits as the message loop does, for `seconds` on the machine's clock.
void RunFor(MachineCore& m, double seconds) {
  const Micros end = m.GuideClock() + static_cast<Micros>(seconds * 1e6);
  for (;;) {
    m.DoEvents();
    const Micros now = m.GuideClock();
    if (now >= end) return;
    m.WaitForEvents(static_cast<double>(end - now) / 1e6);
  }
}

// The game's input objects: a keyboard and a buffered mouse, each signalling its own event.
struct Devices {
  std::unique_ptr<DxRoot> root;
  std::unique_ptr<InputRoot> input;
  std::unique_ptr<InputDevice> keyboard;
  std::unique_ptr<InputDevice> mouse;
  int keys = 0;   // the keyboard's event, raised
  int moves = 0;  // the mouse's
  int Records() {
    MouseRecord records[16];
    int32_t n = 0;
    EXPECT_TRUE(mouse->GetDeviceData(records, 0, n).ok());
    return n;
  }
};

void Open(MachineCore& m, Devices& d) {
  ASSERT_TRUE(m.CreateDxRoot(d.root).ok());
  ASSERT_TRUE(d.root->DirectInputCreate(d.input).ok());
  for (auto [name, device, count] : {std::tuple{"GUID_SysKeyboard", &d.keyboard, &d.keys},
                                     std::tuple{"GUID_SysMouse", &d.mouse, &d.moves}}) {
    int32_t event = 0;
    ASSERT_TRUE(d.root->CreateEvent([count](int32_t) { ++*count; }, event).ok());
    ASSERT_TRUE(d.input->CreateDevice(name, *device).ok());
    InputDevice& dev = **device;
    ASSERT_TRUE(dev.SetCommonDataFormat(device == &d.mouse ? kFormatMouse : kFormatKeyboard).ok());
    ASSERT_TRUE(dev.SetCooperativeLevel(m.Handle(), kLevelNonExclusive | kLevelForeground).ok());
    if (device == &d.mouse) {
      ASSERT_TRUE(dev.SetProperty("DIPROP_BUFFERSIZE", {0, 0, 16}).ok());
    }
    ASSERT_TRUE(dev.SetEventNotification(event).ok());
    ASSERT_TRUE(dev.Acquire().ok());
  }
}

// Every call and spoken line, in the trace's words.
struct Trace final : CallLog {
  std::vector<std::string> lines;
  void Record(const Call& call) override { lines.push_back(TraceLine(call)); }
  void Said(const std::string& text, int32_t flags) override {
    lines.push_back(TraceSpeech(text, flags));
  }
  bool Has(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
};

// A recorder writing into a file of the test's own, read back line by line.
class Recording {
 public:
  Recording() {
    std::string kept;
    EXPECT_TRUE(file_->Begin(false, kept)) << file_->error();
  }
  ~Recording() {
    recorder_.reset();
    file_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  Recorder* recorder() { return recorder_.get(); }
  std::vector<std::string> Lines() {
    file_->Flush();
    std::ifstream in(folder_ / "game.recording");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  bool Has(const std::string& line) {
    const auto lines = Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

 private:
  std::filesystem::path folder_ = MakeTempFolder("palomir-contract");
  std::unique_ptr<LineFile> file_ =
      std::make_unique<LineFile>(Utf8(folder_ / "game.recording"), "recording");
  std::unique_ptr<Recorder> recorder_ = std::make_unique<Recorder>(*file_);
};

TEST_P(Contract, TheHoldStillsTheTimersTheKeysTheMouseTheSoundsAndTheClock) {
  const auto m = Make();
  Devices d;
  ASSERT_NO_FATAL_FAILURE(Open(*m, d));
  std::unique_ptr<SoundDevice> sound;
  std::unique_ptr<SoundBuffer> puck;
  ASSERT_TRUE(d.root->DirectSoundCreate("", sound).ok());
  ASSERT_TRUE(sound->CreateSoundBufferFromFile(m->SoundsFolder() + "/puck.wav", {224}, puck).ok());
  ASSERT_TRUE(puck->Play(kPlayLooping).ok());
  std::vector<int32_t> told;
  m->set_key_observer([&](const RawInput& in) { told.push_back(in.a); });
  int ticks = 0;
  Timer& timer = m->Timers().Add([&] { ++ticks; });
  timer.SetInterval(10);
  timer.SetEnabled(true);
  m->Input(RawInput::FocusGained());
  m->Input(RawInput::KeyDown(dik::k5));
  m->Input(RawInput::MouseMove(3, 0));
  RunFor(*m, 0.1);
  EXPECT_EQ(d.keys, 1);
  EXPECT_EQ(d.moves, 1);
  EXPECT_EQ(d.Records(), 1);
  EXPECT_GT(ticks, 0);

  m->HoldGame(true);
  EXPECT_TRUE(m->game_held());
  EXPECT_TRUE(m->Timers().held());
  EXPECT_TRUE(m->mixer()->held());  // the puck, silent where it stood
  const float day = m->TimeOfDay();
  ticks = 0;
  told.clear();
  m->Input(RawInput::KeyDown(dik::kUp));
  m->Input(RawInput::MouseMove(4, 0));
  m->Input(RawInput::Button(0, true));
  RunFor(*m, 0.2);
  EXPECT_EQ(ticks, 0);
  EXPECT_EQ(d.keys, 1) << "a key reached the game while it was held";
  EXPECT_EQ(d.moves, 1) << "the mouse reached the game while it was held";
  EXPECT_EQ(d.Records(), 0);
  // The keyboard keeps track of its keys, and the guide is told of them.
  EXPECT_EQ(told, std::vector<int32_t>{dik::kUp});
  KeyboardState keys{};
  ASSERT_TRUE(d.keyboard->GetDeviceStateKeyboard(keys).ok());
  EXPECT_NE(keys[dik::kUp], 0);
  EXPECT_NEAR(m->TimeOfDay(), day, 0.02) << "the game's clock went on while it was held";

  m->HoldGame(false);
  EXPECT_FALSE(m->game_held());
  EXPECT_FALSE(m->mixer()->held());
  m->Input(RawInput::KeyUp(dik::kUp));
  RunFor(*m, 0.1);
  EXPECT_EQ(d.keys, 2);
  EXPECT_GT(ticks, 0);
}

TEST_P(Contract, LevelsReachTheMixAndTheVoice) {
  const auto m = Make();
  const Levels levels{250, -6, -10, Levels::kOff};
  m->SetLevels(levels);
  EXPECT_EQ(m->levels(), levels);
  EXPECT_FLOAT_EQ(m->mixer()->sound_gain(), GainOf(-10));
  EXPECT_FLOAT_EQ(m->mixer()->background_gain(), 0.0f);
  EXPECT_FLOAT_EQ(m->mixer()->speech_level(), GainOf(-6));
  EXPECT_EQ(m->voice_levels()->rate.load(), 250);
  EXPECT_EQ(m->voice_levels()->volume_db.load(), -6);
}

TEST_P(Contract, OneSoundDeviceAtATimeItsFilesFromTheSoundsFolder) {
  const auto m = Make();
  Recording recording;
  m->set_recorder(recording.recorder());
  std::unique_ptr<DxRoot> root;
  ASSERT_TRUE(m->CreateDxRoot(root).ok());
  std::unique_ptr<SoundDevice> sound, again;
  const Status opened = root->DirectSoundCreate("", sound);
  ASSERT_TRUE(opened.ok()) << opened.reason();
  EXPECT_FALSE(root->DirectSoundCreate("", again).ok());
  EXPECT_FALSE(root->DirectSoundCreate("Speakers", again).ok());
  EXPECT_FALSE(sound->SetCooperativeLevel(m->Handle(), 4).ok());
  std::unique_ptr<SoundBuffer> puck, gone;
  const Status loaded = sound->CreateSoundBufferFromFile(m->SoundsFolder() + "/puck.wav", {224}, puck);
  EXPECT_TRUE(loaded.ok()) << loaded.reason();
  const Status missing = sound->CreateSoundBufferFromFile(m->SoundsFolder() + "/gone.wav", {224}, gone);
  EXPECT_EQ(missing.reason(), "is missing");
  EXPECT_FALSE(gone);
  puck.reset();
  // Released, the output can be had again.
  sound.reset();
  EXPECT_TRUE(root->DirectSoundCreate("", again).ok());
  const auto lines = recording.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "outcome sound ok"), 2);
  EXPECT_TRUE(recording.Has("outcome sound fail the sound output is in use"));
  EXPECT_TRUE(recording.Has("outcome file puck.wav ok"));
  EXPECT_TRUE(recording.Has("outcome file gone.wav fail is missing"));
}

TEST_P(Contract, TheVoiceSaysItsLinesInOrderAndTheRecordingHearsTheOneWaitedFor) {
  if (NoVoice()) GTEST_SKIP() << GetParam().no_voice;
  const auto m = Make();
  Trace trace;
  Recording recording;
  m->set_trace(&trace);
  m->set_recorder(recording.recorder());
  std::unique_ptr<DxRoot> root;
  std::unique_ptr<SoundDevice> sound;
  ASSERT_TRUE(m->CreateDxRoot(root).ok());
  ASSERT_TRUE(root->DirectSoundCreate("", sound).ok());
  std::unique_ptr<Voice> voice;
  const Status made = m->CreateVoice(voice);
  ASSERT_TRUE(made.ok()) << made.reason();
  EXPECT_TRUE(trace.Has("call platform CreateVoice 0"));
  EXPECT_TRUE(recording.Has("outcome voice ok"));
  ASSERT_TRUE(voice->Speak("one", kSpeakAsync).ok());
  ASSERT_TRUE(voice->Speak("two", kSpeakAsync).ok());
  ASSERT_TRUE(voice->Speak("three", kSpeakWait).ok());
  EXPECT_EQ(voice->Behind(), 0);  // everything before the waited line was heard too
  const std::vector<std::string> said(trace.lines.end() - 3, trace.lines.end());
  EXPECT_EQ(said, (std::vector<std::string>{"say 1 \"one\"", "say 1 \"two\"", "say 0 \"three\""}));
  EXPECT_EQ(recording.Lines().back(), "heard");
  EXPECT_FALSE(voice->Speak("four", 4).ok());

  // A line of the help, stopped: the recording's and the trace's voices hand both on.
  ASSERT_TRUE(voice->Speak("The grid of keys is the table: hit with the key where the puck is.",
                           kSpeakGuide)
                  .ok());
  // Behind it, once the line is heard (a voice that makes its lines first may say 0 until then).
  for (int i = 0; i < 200 && voice->Behind() == 0; ++i) RunFor(*m, 0.01);
  EXPECT_GT(voice->Behind(), 0);
  voice->Hush();
  for (int i = 0; i < 200 && voice->Behind() > 0; ++i) RunFor(*m, 0.01);
  EXPECT_EQ(voice->Behind(), 0);
}

TEST_P(Contract, TheRecordingAndTheTraceHaveWhatReachedTheGame) {
  const auto m = Make();
  Trace trace;
  Recording recording;
  m->set_trace(&trace);
  m->set_recorder(recording.recorder());
  Devices d;
  ASSERT_NO_FATAL_FAILURE(Open(*m, d));
  Timer& timer = m->Timers().Add([] {});
  timer.SetInterval(10);
  timer.SetEnabled(true);
  m->Input(RawInput::FocusGained());
  m->Input(RawInput::KeyDown(dik::k5));
  RunFor(*m, 0.05);
  // The machine's layout names its keys, each found again by its label; while the game waits
  // for an answer, its key labelled Y is written down as the Y the rules read.
  const KeyLabels& keys = m->key_labels();
  for (uint8_t key : {dik::kQ, dik::kA, dik::kZ, dik::kY}) {
    EXPECT_EQ(PlaceOf(keys, keys.LabelAt(key)), key) << int(key) << " " << keys.LabelAt(key);
  }
  EXPECT_EQ(keys.LabelAt(dik::kUp), "");
  m->set_answering(true);
  m->Input(RawInput::KeyDown(PlaceOfLetter(keys, 'Y', dik::kY)));
  RunFor(*m, 0.05);
  m->set_answering(false);
  (void)m->TimeOfDay();
  EXPECT_FALSE(m->GuideStepDue(m->GuideClock() + 60000000));
  EXPECT_TRUE(m->GuideStepDue(m->GuideClock()));
  const auto lines = recording.Lines();
  for (const char* line : {"pump", "done", "input focus gained", "input key down 6",
                           "input key down 21", "tick 0", "guide"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
  }
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "guide"), 1);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2].rfind("clock ", 0), 0u);  // the time of day the game read
  for (const char* line : {"call platform CreateDxRoot 0", "call RightTimer Interval 10",
                           "call RightTimer Enabled -1"}) {
    EXPECT_TRUE(trace.Has(line)) << line;
  }
}

TEST_P(Contract, ACloseRequestEndsTheGameAtTheNextPump) {
  const auto m = Make();
  Recording recording;
  m->set_recorder(recording.recorder());
  m->RequestClose();
  EXPECT_THROW(RunFor(*m, 2.0), WindowUnloaded);
  EXPECT_TRUE(m->unloaded());
  EXPECT_EQ(recording.Lines().back(), "close");
}

TEST_P(Contract, ACloseRequestCutsAWaitedForLineShort) {
  if (NoVoice()) GTEST_SKIP() << GetParam().no_voice;
  const auto m = Make();
  std::unique_ptr<DxRoot> root;
  std::unique_ptr<SoundDevice> sound;
  ASSERT_TRUE(m->CreateDxRoot(root).ok());
  ASSERT_TRUE(root->DirectSoundCreate("", sound).ok());
  std::unique_ptr<Voice> voice;
  ASSERT_TRUE(m->CreateVoice(voice).ok());
  m->RequestClose();
  EXPECT_THROW((void)voice->Speak("But you won't next time.  Wanna play again?", kSpeakWait),
               WindowUnloaded);
}

TEST_P(Contract, TheWindowIsShownAndUnloaded) {
  const auto m = Make();
  Trace trace;
  m->set_trace(&trace);
  m->ShowCard({{"Palomir", CardLine::Size::kTitle}});
  ASSERT_TRUE(m->Show().ok());
  EXPECT_TRUE(m->shown());
  EXPECT_THROW(m->Unload(), WindowUnloaded);
  EXPECT_TRUE(m->unloaded());
  EXPECT_EQ(trace.lines, (std::vector<std::string>{"call window Show 0", "call window Unload 0"}));
}

}  // namespace
}  // namespace palomir::testing
