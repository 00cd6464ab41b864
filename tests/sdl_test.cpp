// The real machine's layer, run with SDL's dummy window and audio drivers: SDL's own events,
// keys, clock and voice, and the machine's contract (contract_test.cpp).
#include <SDL.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "contract.h"
#include "platform/arith.h"
#include "platform/call_log.h"
#include "platform/keycodes.h"
#include "platform/sdl/keymap.h"
#include "platform/sdl/sdl_platform.h"
#include "platform/core/wav.h"
#include "platform/speech_queue.h"
#include "tools/sound_measure.h"

#ifndef PALOMIR_SOUNDS
#define PALOMIR_SOUNDS "sounds"
#endif

namespace palomir {
namespace {

using namespace std::chrono_literals;

// A sound as the game hears it: loaded, at the mixer's rate.
std::vector<double> Heard(const std::string& file) {
  Pcm pcm;
  EXPECT_TRUE(LoadWavFile(std::string(PALOMIR_SOUNDS) + "/" + file, pcm).ok()) << file;
  return std::vector<double>(pcm.samples.begin(), pcm.samples.end());
}

TEST(Sounds, ShortCleanSilentAtTheEndsAndToTheLoudnessPlan) {
  struct Expect {
    const char* file;
    double max_seconds;
    bool one_shot;  // the puck and the background loop: seamless instead of silent ends
  };
  constexpr double kRate = Mixer::kRate;
  double loudest_cue = -100, quietest_cue = 0;
  for (Expect e : {Expect{"buzz.wav", 1.5, true},
                   {"goal.wav", 1.5, true},
                   {"puck.wav", 1.0, false},
                   {"SideBounce.wav", 0.6, true},
                   {"rebound.wav", 0.6, true},
                   {"paddle.wav", 0.6, true},
                   {"OpponentHit.wav", 0.6, true},
                   {"opponentpaddleslide.wav", 0.6, true},
                   {"paddleslide.wav", 0.6, true},
                   {"background.wav", 5.0, false}}) {
    const std::vector<double> s = Heard(e.file);
    ASSERT_FALSE(s.empty()) << e.file;
    const double seconds = static_cast<double>(s.size()) / kRate;
    EXPECT_LE(seconds, e.max_seconds) << e.file;
    EXPECT_GE(seconds, 0.1) << e.file;
    EXPECT_LT(measure::PeakDb(s), -0.5) << e.file;  // never clipping
    EXPECT_LT(measure::DcDb(s), -60) << e.file;
    if (e.one_shot) {
      // The file itself starts and ends on silence (after rate conversion a sharp attack
      // rings a little either side, as any band-limited sound does).
      double rate = 0;
      const auto file = measure::ReadWav16(std::string(PALOMIR_SOUNDS) + "/" + e.file, rate);
      ASSERT_FALSE(file.empty()) << e.file;
      EXPECT_LT(std::fabs(file.front()) + std::fabs(file.back()), 1e-3) << e.file;
    } else {
      // A seamless loop: from the last sample to the first is no bigger a step than any
      // step inside the sound.
      double steepest = 0;
      for (size_t i = 1; i < s.size(); ++i)
        steepest = std::max(steepest, std::fabs(s[i] - s[i - 1]));
      EXPECT_LE(std::fabs(s.back() - s.front()), steepest) << e.file;
    }
    const std::string f = e.file;
    if (f != "puck.wav" && f != "background.wav" && f.find("slide") == std::string::npos) {
      loudest_cue = std::max(loudest_cue, measure::Loudness(s, kRate));
      quietest_cue = std::min(quietest_cue, measure::Loudness(s, kRate));
    }
  }
  // The six cues close together, so that none drowns another.
  EXPECT_LE(loudest_cue - quietest_cue, 8.0);
}

TEST(Sounds, EachCueTellsWhereItIsAndWhatItIs) {
  using namespace measure;
  constexpr double kRate = Mixer::kRate;
  const auto puck = Heard("puck.wav"), slide = Heard("opponentpaddleslide.wav");
  const auto mine = Heard("paddleslide.wav"), hit = Heard("paddle.wav");
  const auto their_hit = Heard("OpponentHit.wav"), wall = Heard("rebound.wav");

  // At the far wall (-4000) the puck is at least as loud as the opponent's slide (-2000)
  // where the ear is keenest, 1-4 kHz.
  const auto p = OctaveBands(puck, kRate), o = OctaveBands(slide, kRate);
  for (size_t b = 3; b <= 5; ++b) EXPECT_GE(p[b] - 20, o[b] - 10) << kOctaves[b] << " Hz";

  // The player's slide answers the mouse at once; the two slides differ in envelope and pitch.
  EXPECT_LE(RiseMs(mine, kRate), 30);
  EXPECT_GE(RiseMs(slide, kRate), 2 * RiseMs(mine, kRate));
  EXPECT_GE(std::log2(Centroid(mine, kRate) / Centroid(slide, kRate)), 2.0);

  // The opponent's hit carries its distance: quieter and darker than the player's, and
  // pitched well away from the end wall's knock.
  EXPECT_LT(Loudness(their_hit, kRate), Loudness(hit, kRate) - 1);
  EXPECT_LT(Centroid(their_hit, kRate), Centroid(hit, kRate) / 2);
  EXPECT_GE(std::fabs(std::log2(Centroid(their_hit, kRate) / Centroid(wall, kRate))), 0.5);

  // The nine played sounds, pairwise, never alike. The old puck and opponent's slide, the
  // pair players confused, were 13 apart; every other pair then was 19 or more.
  const char* played[] = {
      "buzz.wav",       "goal.wav",   "puck.wav",        "SideBounce.wav",
      "rebound.wav",    "paddle.wav", "OpponentHit.wav", "opponentpaddleslide.wav",
      "paddleslide.wav"};
  std::vector<Print> prints;
  for (const char* f : played) prints.push_back(Fingerprint(Heard(f), kRate));
  for (size_t i = 0; i < prints.size(); ++i) {
    for (size_t j = i + 1; j < prints.size(); ++j) {
      EXPECT_GE(Distance(prints[i], prints[j]), 17.0) << played[i] << " / " << played[j];
    }
  }
}

TEST(KeyMap, EveryGridKeyTheArrowsYAndN) {
  struct Pair {
    SDL_Scancode sc;
    uint8_t code;
  };
  const Pair pairs[] = {
      {SDL_SCANCODE_1, dik::k1},           {SDL_SCANCODE_9, dik::k9},
      {SDL_SCANCODE_0, dik::k0},           {SDL_SCANCODE_Q, dik::kQ},
      {SDL_SCANCODE_O, dik::kO},           {SDL_SCANCODE_A, dik::kA},
      {SDL_SCANCODE_L, dik::kL},           {SDL_SCANCODE_Z, dik::kZ},
      {SDL_SCANCODE_M, dik::kM},           {SDL_SCANCODE_COMMA, dik::kComma},
      {SDL_SCANCODE_PERIOD, dik::kPeriod}, {SDL_SCANCODE_Y, dik::kY},
      {SDL_SCANCODE_N, dik::kN},           {SDL_SCANCODE_UP, dik::kUp},
      {SDL_SCANCODE_DOWN, dik::kDown},     {SDL_SCANCODE_LEFT, dik::kLeft},
      {SDL_SCANCODE_RIGHT, dik::kRight},   {SDL_SCANCODE_ESCAPE, dik::kEscape},
      {SDL_SCANCODE_SPACE, dik::kSpace},   {SDL_SCANCODE_RETURN, dik::kReturn},
  };
  for (Pair p : pairs) EXPECT_EQ(KeyCodeForScancode(p.sc), p.code) << SDL_GetScancodeName(p.sc);
  const char* row[] = {"1234567890", "QWERTYUIOP", "ASDFGHJKL", "ZXCVBNM"};
  const uint8_t first[] = {0x02, 0x10, 0x1E, 0x2C};
  ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_VIDEO), 0) << SDL_GetError();  // its keymap
  for (int r = 0; r < 4; ++r) {
    for (size_t i = 0; row[r][i]; ++i) {
      const char name[2] = {row[r][i], 0};
      EXPECT_EQ(KeyCodeForScancode(SDL_GetScancodeFromName(name)), first[r] + i) << name;
      // Back to SDL's key, and named as SDL's keymap (American here) labels it.
      EXPECT_EQ(ScancodeForKeyCode(static_cast<uint8_t>(first[r] + i)),
                SDL_GetScancodeFromName(name));
      EXPECT_EQ(SdlKeyLabels().LabelAt(static_cast<uint8_t>(first[r] + i)), name);
    }
  }
  EXPECT_EQ(SdlKeyLabels().LabelAt(dik::kPeriod), ".");
  EXPECT_EQ(SdlKeyLabels().LabelAt(dik::kUp), "");  // nothing printable
  EXPECT_EQ(SdlKeyLabels().LabelAt(0x00), "");     // no key at all
  SDL_QuitSubSystem(SDL_INIT_VIDEO);
  EXPECT_EQ(KeyCodeForScancode(-1), 0);
  EXPECT_EQ(KeyCodeForScancode(SDL_NUM_SCANCODES), 0);
}

struct Sdl : ::testing::Test {
  void SetUp() override {
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
  }
};

TEST(NoWindowSystem, AStartWithNoWindowToPlayInIsRefusedUnlessAsked) {
  struct Row {
    const char* display;  // null: not set
    const char* expect;   // null: the game starts
  };
  // A video driver the user asked for (the tests' dummy) is taken as asked.
  setenv("SDL_VIDEODRIVER", "dummy", 1);
  unsetenv("DISPLAY");
  EXPECT_NO_THROW(SdlPlatform("/tmp"));
  unsetenv("SDL_VIDEODRIVER");
  for (Row r : {Row{nullptr, "no window system (DISPLAY is not set)"},
                Row{"", "no window system (DISPLAY is not set)"},
                Row{":4711", "the window system at DISPLAY :4711 could not be reached"}}) {
    if (r.display) {
      setenv("DISPLAY", r.display, 1);
    } else {
      unsetenv("DISPLAY");
    }
    unsetenv("WAYLAND_DISPLAY");
    try {
      SdlPlatform p("/tmp");
      ADD_FAILURE() << "started with DISPLAY " << (r.display ? r.display : "unset");
    } catch (const RuntimeError& e) {
      EXPECT_NE(std::string(e.what()).find(r.expect), std::string::npos) << e.what();
    }
  }
  unsetenv("DISPLAY");
}

TEST_F(Sdl, AWindowASoundDeviceAndAKeyReachingTheCallback) {
  SdlPlatform p("/tmp");
  ASSERT_TRUE(p.Show().ok());
  std::unique_ptr<DxRoot> root;
  ASSERT_TRUE(p.CreateDxRoot(root).ok());
  std::unique_ptr<SoundDevice> sound;
  Status s = root->DirectSoundCreate("", sound);
  ASSERT_TRUE(s.ok()) << s.reason();
  EXPECT_GT(p.audio_period(), 0);
  EXPECT_EQ(p.audio_period(), 480);
  std::unique_ptr<InputRoot> input;
  ASSERT_TRUE(root->DirectInputCreate(input).ok());
  std::unique_ptr<InputDevice> keyboard;
  ASSERT_TRUE(input->CreateDevice("GUID_SysKeyboard", keyboard).ok());
  std::vector<bool> five_down;
  int32_t event = 0;
  ASSERT_TRUE(root->CreateEvent(
                      [&](int32_t) {
                        KeyboardState ks{};
                        ASSERT_TRUE(keyboard->GetDeviceStateKeyboard(ks).ok());
                        five_down.push_back(ks[dik::k5] != 0);
                      },
                      event)
                  .ok());
  ASSERT_TRUE(keyboard->SetCommonDataFormat(kFormatKeyboard).ok());
  EXPECT_FALSE(keyboard->SetCooperativeLevel(p.Handle(), kLevelExclusive | kLevelBackground).ok());
  ASSERT_TRUE(keyboard->SetEventNotification(event).ok());
  ASSERT_TRUE(keyboard->Acquire().ok());

  SDL_Event focus{};
  focus.type = SDL_WINDOWEVENT;
  focus.window.event = SDL_WINDOWEVENT_FOCUS_GAINED;
  SDL_PushEvent(&focus);
  SDL_Event key{};
  key.type = SDL_KEYDOWN;
  key.key.keysym.scancode = SDL_SCANCODE_5;
  SDL_PushEvent(&key);
  key.key.repeat = 1;
  SDL_PushEvent(&key);  // auto-repeat: no second press
  key.type = SDL_KEYUP;
  key.key.repeat = 0;
  SDL_PushEvent(&key);
  p.DoEvents();
  EXPECT_EQ(five_down, (std::vector<bool>{true, false}));
}

// A game controller, SDL's virtual one: plugged in and pulled out, said once each; its
// stick and a button reach the game as the mouse and a key; a wall's knock reaches its
// motors as the rumble law has it, and they stop by themselves.
TEST_F(Sdl, AGamepadPlaysAsTheMouseAndKeysAndRumbles) {
  setenv("SDL_JOYSTICK_ALLOW_BACKGROUND_EVENTS", "1", 1);
  struct Log final : CallLog {
    std::vector<std::string> pad;
    void Record(const Call& c) override {
      if (c.object == "pad") pad.push_back(c.op + " " + std::to_string(c.arg));
    }
    void Said(const std::string&, int32_t) override {}
  } log;
  SdlPlatform p("/tmp");
  p.set_trace(&log);
  std::unique_ptr<DxRoot> root;
  ASSERT_TRUE(p.CreateDxRoot(root).ok());
  std::unique_ptr<SoundDevice> sound;
  ASSERT_TRUE(root->DirectSoundCreate("", sound).ok());
  std::unique_ptr<InputRoot> input;
  ASSERT_TRUE(root->DirectInputCreate(input).ok());
  std::unique_ptr<InputDevice> keyboard, mouse;
  ASSERT_TRUE(input->CreateDevice("GUID_SysKeyboard", keyboard).ok());
  ASSERT_TRUE(input->CreateDevice("guid_SysMouse", mouse).ok());
  std::vector<std::string> got;
  bool f1 = false;
  int32_t event = 0;
  ASSERT_TRUE(root->CreateEvent(
                      [&](int32_t) {
                        std::array<MouseRecord, 10> records{};
                        int32_t n = 0;
                        (void)mouse->GetDeviceData(records, 0, n);
                        for (int32_t i = 0; i < n; ++i)
                          got.push_back(std::to_string(records[i].offset) + " " +
                                        std::to_string(records[i].data));
                        KeyboardState ks{};
                        ASSERT_TRUE(keyboard->GetDeviceStateKeyboard(ks).ok());
                        if (ks[dik::kF1] && !f1) got.push_back("F1");
                        f1 = ks[dik::kF1] != 0;
                      },
                      event)
                  .ok());
  ASSERT_TRUE(mouse->SetProperty("DIPROP_BUFFERSIZE", PropLong{0, 0, 10}).ok());
  for (auto* d : {keyboard.get(), mouse.get()}) {
    ASSERT_TRUE(d->SetCommonDataFormat(d == mouse.get() ? kFormatMouse : kFormatKeyboard).ok());
    ASSERT_TRUE(d->SetCooperativeLevel(p.Handle(), kLevelNonExclusive | kLevelForeground).ok());
    ASSERT_TRUE(d->SetEventNotification(event).ok());
    ASSERT_TRUE(d->Acquire().ok());
  }
  SDL_Event focus{};
  focus.type = SDL_WINDOWEVENT;
  focus.window.event = SDL_WINDOWEVENT_FOCUS_GAINED;
  SDL_PushEvent(&focus);
  auto pump = [&p] {
    std::this_thread::sleep_for(2ms);  // the window system is asked at most once a millisecond
    p.DoEvents();
  };

  static std::vector<std::pair<int, int>> felt;
  SDL_VirtualJoystickDesc desc{};
  desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
  desc.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
  desc.naxes = SDL_CONTROLLER_AXIS_MAX;
  desc.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
  desc.axis_mask = (1u << SDL_CONTROLLER_AXIS_MAX) - 1;
  desc.button_mask = (1u << SDL_CONTROLLER_BUTTON_MAX) - 1;
  desc.name = "test pad";
  desc.Rumble = [](void*, Uint16 low, Uint16 high) {
    felt.emplace_back(low, high);
    return 0;
  };
  const int index = SDL_JoystickAttachVirtualEx(&desc);
  ASSERT_GE(index, 0) << SDL_GetError();
  pump();
  EXPECT_EQ(p.TakeTold(),
            std::vector<std::string>{"A gamepad is connected: its stick moves your paddle."});
  SDL_Joystick* j = SDL_JoystickOpen(index);
  ASSERT_NE(j, nullptr);
  ASSERT_EQ(SDL_JoystickSetVirtualAxis(j, SDL_CONTROLLER_AXIS_LEFTX, 32767), 0);
  ASSERT_EQ(SDL_JoystickSetVirtualButton(j, SDL_CONTROLLER_BUTTON_START, 1), 0);
  pump();
  pump();
  // Right and to the middle of where the paddle hits, from a paddle at (0, 0); Start is F1.
  EXPECT_EQ(got, (std::vector<std::string>{"F1", "0 1200", "4 -238"}));

  std::unique_ptr<SoundBuffer> wall;
  ASSERT_TRUE(sound->CreateSoundBufferFromFile(std::string(PALOMIR_SOUNDS) + "/SideBounce.wav",
                                               BufferDesc{}, wall)
                  .ok());
  ASSERT_TRUE(wall->Play(kPlayOnce).ok());
  EXPECT_EQ(log.pad, std::vector<std::string>{"Rumble 0 24576 40"});  // at 75 percent
  ASSERT_FALSE(felt.empty());
  EXPECT_EQ(felt.front(), std::make_pair(0, 24576));
  for (int i = 0; i < 1000 && felt.back() != std::make_pair(0, 0); ++i) pump();
  EXPECT_EQ(felt.back(), std::make_pair(0, 0));

  SDL_JoystickClose(j);
  ASSERT_EQ(SDL_JoystickDetachVirtual(index), 0);
  pump();
  pump();
  EXPECT_EQ(p.TakeTold(),
            std::vector<std::string>{
                "The gamepad was disconnected; play on with the mouse and the keys."});
  unsetenv("SDL_JOYSTICK_ALLOW_BACKGROUND_EVENTS");
}

TEST_F(Sdl, TimersTickFromTheRealClock) {
  SdlPlatform p("/tmp");
  int ticks = 0;
  Timer& t = p.Timers().Add([&] { ++ticks; });
  t.SetInterval(1);
  t.SetEnabled(true);
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < 205ms) {
    p.WaitForEvents(0.05);
    p.DoEvents();
  }
  EXPECT_GE(ticks, 15);
  EXPECT_LE(ticks, 21);  // never faster than every 10 ms
  const float tod = p.TimeOfDay();
  EXPECT_GE(tod, 0.0f);
  EXPECT_LT(tod, 86400.0f);
}

TEST_F(Sdl, NoAudioDeviceIsAFailureWithSdlsReason) {
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  SdlPlatform p("/tmp");
  std::unique_ptr<DxRoot> root;
  ASSERT_TRUE(p.CreateDxRoot(root).ok());
  std::unique_ptr<SoundDevice> sound;
  Status s = root->DirectSoundCreate("", sound);
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.reason().find("'no-such-driver' not available"), std::string::npos) << s.reason();
  EXPECT_FALSE(sound);
}

TEST_F(Sdl, SpeechIsHeardInOrderAndAWaitingLineWaits) {
  SdlPlatform p("/tmp");
  std::unique_ptr<Voice> voice;
  Status made = p.CreateVoice(voice);
  ASSERT_TRUE(made.ok()) << made.reason();
  std::unique_ptr<DxRoot> root;
  ASSERT_TRUE(p.CreateDxRoot(root).ok());
  std::unique_ptr<SoundDevice> sound;
  ASSERT_TRUE(root->DirectSoundCreate("", sound).ok());
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(voice->Speak("The score is", kSpeakAsync).ok());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);  // queued, not waited for
  ASSERT_TRUE(voice->Speak("fifty", kSpeakWait).ok());
  const auto took = std::chrono::steady_clock::now() - start;
  SpeechStream& speech = p.mixer()->speech();
  EXPECT_GE(speech.Heard(), speech.Written() - 1);
  // Both lines were made and heard: well over half a second of speech at 48 kHz.
  EXPECT_GT(speech.Written(), 24000u);
  EXPECT_GE(took, std::chrono::microseconds(speech.Written() * 1000000 / Mixer::kRate) - 50ms);
  EXPECT_FALSE(voice->Speak("x", 4).ok());

  // The voice hands the mixer one line at a time: ten lines queued, no more than the one
  // being said waits in the mixer, and what is behind stays near the queue's most (a busy
  // machine's slow synthesis reckoned in: 1.5 s more); a line of the help stops at once
  // when hushed.
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(voice->Speak("eighty", kSpeakAsync).ok());
  std::this_thread::sleep_for(300ms);
  EXPECT_LT(speech.Written() - speech.Heard(), uint64_t{Mixer::kRate});
  EXPECT_LE(voice->Behind(), SpeechQueue::kMostBehind + 1.5);
  while (voice->Behind() > 0) std::this_thread::sleep_for(5ms);  // the numbers are said
  ASSERT_TRUE(voice->Speak("The grid of keys is the table: hit with the key where the puck is.",
                           kSpeakGuide)
                  .ok());
  std::this_thread::sleep_for(300ms);
  voice->Hush();
  const auto hushed = std::chrono::steady_clock::now();
  while (voice->Behind() > 0 && std::chrono::steady_clock::now() - hushed < 2s) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - hushed, 500ms);
}

TEST_F(Sdl, TheGamesOwnVoiceTakingOverFromSpeechDispatcherSpeaksAtThePlayersVolume) {
  setenv("SPEECHD_ADDRESS", "unix_socket:/nonexistent/speechd.sock", 1);
  SdlPlatform p("/tmp", "", "", true);
  p.SetLevels({175, -12, 0, 0});
  EXPECT_FLOAT_EQ(p.mixer()->speech_level(), 1.0f);  // speech-dispatcher's to give
  std::unique_ptr<Voice> voice;
  ASSERT_TRUE(p.CreateVoice(voice).ok());
  ASSERT_TRUE(voice->Speak("x", kSpeakWait).ok());  // said by the game's own voice
  EXPECT_FLOAT_EQ(p.mixer()->speech_level(), GainOf(-12));
  unsetenv("SPEECHD_ADDRESS");
}

TEST_F(Sdl, WithoutSpeechDataTheVoiceFailsInsteadOfEndingTheProgram) {
  // The synthesizer starts once per process: try it in a fresh one.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        char empty[] = "/tmp/palomir-no-speech-XXXXXX";
        SdlPlatform p("/tmp", mkdtemp(empty));  // a data folder with nothing in it
        std::unique_ptr<Voice> voice;
        Status s = p.CreateVoice(voice);
        rmdir(empty);
        std::fprintf(stderr, "%s\n", s.reason().c_str());
        std::_Exit(!s.ok() && !voice ? 7 : 1);
      },
      ::testing::ExitedWithCode(7), "could not load its data|no English voice");
}

using testing::Backend;
using testing::Contract;
INSTANTIATE_TEST_SUITE_P(Sdl, Contract, ::testing::Values(Backend{[] {
                           setenv("SDL_VIDEODRIVER", "dummy", 1);
                           setenv("SDL_AUDIODRIVER", "dummy", 1);
                           return std::unique_ptr<MachineCore>(
                               std::make_unique<SdlPlatform>("/tmp", "", PALOMIR_SOUNDS));
                         }, ""}));

}  // namespace
}  // namespace palomir
