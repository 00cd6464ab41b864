#include "platform/mixer/mixer.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/sound_output.h"
#include "platform/mixer/mixer_buffer.h"
#include "platform/mixer/resample.h"
#include "platform/speech_queue.h"
#include "platform/voice_core.h"

namespace palomir {
namespace {

// A mono sound whose sample i is i + 1, so the output tells where a buffer is.
std::shared_ptr<Pcm> Ramp(size_t frames) {
  auto pcm = std::make_shared<Pcm>();
  for (size_t i = 0; i < frames; ++i) pcm->samples.push_back(static_cast<float>(i + 1));
  return pcm;
}

std::shared_ptr<Pcm> Constant(size_t frames, float value, int channels = 1) {
  auto pcm = std::make_shared<Pcm>();
  pcm->channels = channels;
  pcm->samples.assign(frames * channels, value);
  return pcm;
}

struct Out {
  std::vector<float> s;
  float L(size_t i) const { return s[2 * i]; }
  float R(size_t i) const { return s[2 * i + 1]; }
};

Out Mix(Mixer& m, size_t frames) {
  Out o;
  o.s.resize(frames * 2);
  m.mix(o.s);
  return o;
}

double Db(double ratio) {
  return 20 * std::log10(ratio);
}

TEST(MixerLaws, PanAndVolumeFollowTheSoundCardsLaws) {
  auto m = std::make_shared<Mixer>();
  auto b = MixerSoundBuffer::Open(m, Constant(4800, 0.5f));
  ASSERT_TRUE(b->Play(kPlayLooping).ok());

  ASSERT_TRUE(b->SetPan(-10000).ok());
  Out o = Mix(*m, 480);
  EXPECT_FLOAT_EQ(o.L(100), 0.5f);
  EXPECT_EQ(o.R(100), 0.0f);

  ASSERT_TRUE(b->SetPan(0).ok());
  ASSERT_TRUE(b->SetVolume(-600).ok());
  o = Mix(*m, 480);
  EXPECT_NEAR(o.L(7) / 0.5, 0.501, 0.001);
  EXPECT_NEAR(o.R(7) / 0.5, 0.501, 0.001);

  // The smallest pan already takes a hundredth of a decibel off the other side.
  ASSERT_TRUE(b->SetVolume(0).ok());
  ASSERT_TRUE(b->SetPan(1).ok());
  o = Mix(*m, 480);
  EXPECT_FLOAT_EQ(o.L(3), static_cast<float>(0.5 * std::pow(10.0, -1 / 2000.0)));
  EXPECT_FLOAT_EQ(o.R(3), 0.5f);

  ASSERT_TRUE(b->SetPan(870).ok());
  o = Mix(*m, 480);
  EXPECT_NEAR(Db(o.L(3) / 0.5), -8.7, 0.01);
  EXPECT_FLOAT_EQ(o.R(3), 0.5f);

  // Pan and volume together.
  ASSERT_TRUE(b->SetVolume(-1000).ok());
  ASSERT_TRUE(b->SetPan(-2000).ok());
  o = Mix(*m, 480);
  EXPECT_NEAR(Db(o.L(3) / 0.5), -10.0, 0.01);
  EXPECT_NEAR(Db(o.R(3) / 0.5), -30.0, 0.01);

  ASSERT_TRUE(b->SetVolume(-10000).ok());
  o = Mix(*m, 480);
  EXPECT_EQ(o.L(3), 0.0f);
}

TEST(MixerLaws, StereoChannelsStayOnTheirSide) {
  auto m = std::make_shared<Mixer>();
  auto pcm = std::make_shared<Pcm>();
  pcm->channels = 2;
  for (int i = 0; i < 100; ++i) {
    pcm->samples.insert(pcm->samples.end(),
                        {0.001f * static_cast<float>(i + 1), -0.002f * static_cast<float>(i + 1)});
  }
  auto b = MixerSoundBuffer::Open(m, pcm);
  ASSERT_TRUE(b->SetVolume(-600).ok());
  ASSERT_TRUE(b->Play(kPlayOnce).ok());
  // Into blocks that still hold the last ones' samples: each mix starts from silence, and
  // the second block goes on where the first stopped.
  const float v = static_cast<float>(std::pow(10.0, -600 / 2000.0));
  for (size_t start : {size_t{0}, size_t{60}}) {
    Out o;
    o.s.assign(120, 7.0f);
    m->mix(o.s);
    for (size_t i : {size_t{0}, size_t{1}, size_t{39}}) {
      const float n = static_cast<float>(start + i + 1);
      EXPECT_FLOAT_EQ(o.L(i), 0.001f * n * v) << start + i;
      EXPECT_FLOAT_EQ(o.R(i), -0.002f * n * v) << start + i;
    }
    EXPECT_FLOAT_EQ(o.L(40), start > 0 ? 0.0f : 0.041f * v);  // the second played it to its end
  }
}

TEST(SoundBuffer, ReadsBackExactlyAndRefusesOutOfRange) {
  auto m = std::make_shared<Mixer>();
  auto b = MixerSoundBuffer::Open(m, Constant(10, 1.0f));
  int32_t v = 123;
  ASSERT_TRUE(b->GetPan(v).ok());
  EXPECT_EQ(v, 0);
  ASSERT_TRUE(b->GetVolume(v).ok());
  EXPECT_EQ(v, 0);
  for (int32_t pan : {-10000, -4001, 1, 10000}) {
    ASSERT_TRUE(b->SetPan(pan).ok());
    ASSERT_TRUE(b->GetPan(v).ok());
    EXPECT_EQ(v, pan);
  }
  EXPECT_FALSE(b->SetPan(10001).ok());
  EXPECT_FALSE(b->SetPan(-10001).ok());
  ASSERT_TRUE(b->GetPan(v).ok());
  EXPECT_EQ(v, 10000);
  ASSERT_TRUE(b->SetVolume(-6000).ok());
  EXPECT_FALSE(b->SetVolume(1).ok());
  EXPECT_FALSE(b->SetVolume(-10001).ok());
  ASSERT_TRUE(b->GetVolume(v).ok());
  EXPECT_EQ(v, -6000);
  EXPECT_FALSE(b->Play(2).ok());
  EXPECT_FALSE(b->SetCurrentPosition(5).ok());
}

TEST(SoundBuffer, PlayOnceLoopStopAndRewind) {
  auto m = std::make_shared<Mixer>();
  m->set_limited(false);  // the ramp runs far past full scale
  auto b = MixerSoundBuffer::Open(m, Ramp(100));

  // Nothing is heard before Play.
  EXPECT_EQ(Mix(*m, 10).L(0), 0.0f);

  // Once: from the start to the end, then silence.
  ASSERT_TRUE(b->Play(kPlayOnce).ok());
  Out o = Mix(*m, 60);
  EXPECT_EQ(o.L(0), 1.0f);
  EXPECT_EQ(o.L(59), 60.0f);
  // Play while playing continues without restarting.
  ASSERT_TRUE(b->Play(kPlayOnce).ok());
  o = Mix(*m, 60);
  EXPECT_EQ(o.L(0), 61.0f);
  EXPECT_EQ(o.L(39), 100.0f);
  EXPECT_EQ(o.L(40), 0.0f);
  EXPECT_FALSE(m->Playing(0));
  // After playing to its end it starts over at the next Play.
  ASSERT_TRUE(b->Play(kPlayOnce).ok());
  EXPECT_EQ(Mix(*m, 1).L(0), 1.0f);

  // Stop halts at once and keeps the place; Play goes on from there.
  ASSERT_TRUE(b->Stop().ok());
  EXPECT_EQ(Mix(*m, 5).L(0), 0.0f);
  ASSERT_TRUE(b->Play(kPlayOnce).ok());
  EXPECT_EQ(Mix(*m, 1).L(0), 2.0f);

  // Rewinding while playing restarts; while stopped, the next Play starts at the top.
  ASSERT_TRUE(b->SetCurrentPosition(0).ok());
  EXPECT_EQ(Mix(*m, 1).L(0), 1.0f);
  ASSERT_TRUE(b->Stop().ok());
  ASSERT_TRUE(b->SetCurrentPosition(0).ok());
  ASSERT_TRUE(b->Play(kPlayOnce).ok());
  EXPECT_EQ(Mix(*m, 1).L(0), 1.0f);

  // Looping wraps round until stopped.
  ASSERT_TRUE(b->Play(kPlayLooping).ok());
  o = Mix(*m, 250);
  EXPECT_EQ(o.L(98), 100.0f);
  EXPECT_EQ(o.L(99), 1.0f);
  EXPECT_EQ(o.L(249), 51.0f);
  ASSERT_TRUE(b->Stop().ok());
  EXPECT_EQ(Mix(*m, 5).L(0), 0.0f);

  // A one-shot that has ended stays silent when only rewound.
  ASSERT_TRUE(b->Play(kPlayOnce).ok());
  Mix(*m, 120);
  ASSERT_TRUE(b->SetCurrentPosition(0).ok());
  EXPECT_EQ(Mix(*m, 5).L(0), 0.0f);
  EXPECT_FALSE(m->Playing(0));

  // A sound one frame long is a sound; the 33rd open channel is one too many.
  auto tick = MixerSoundBuffer::Open(m, Constant(1, 0.5f));
  ASSERT_TRUE(tick->Play(kPlayOnce).ok());
  EXPECT_TRUE(m->Playing(1));
  o = Mix(*m, 2);
  EXPECT_EQ(o.L(0), 0.5f);
  EXPECT_EQ(o.L(1), 0.0f);
  std::vector<std::unique_ptr<MixerSoundBuffer>> more;
  for (int i = 2; i < Mixer::kChannels; ++i) more.push_back(MixerSoundBuffer::Open(m, Ramp(1)));
  EXPECT_NE(more.back(), nullptr);
  EXPECT_EQ(m->Open(Ramp(1)), -1);
}

TEST(SoundBuffer, ReleasingAPlayingBufferSilencesItAndFreesItsSamples) {
  auto m = std::make_shared<Mixer>();
  auto pcm = Constant(1000, 0.5f);
  auto b = MixerSoundBuffer::Open(m, pcm);
  ASSERT_TRUE(b->Play(kPlayLooping).ok());
  EXPECT_EQ(Mix(*m, 10).L(0), 0.5f);
  b.reset();
  EXPECT_EQ(pcm.use_count(), 1);  // no block is being mixed: freed at once
  EXPECT_EQ(Mix(*m, 10).L(0), 0.0f);
}

TEST(SoundBuffer, AdvanceMovesPlayingBuffersAsIfHeard) {
  auto m = std::make_shared<Mixer>();
  m->set_limited(false);
  auto once = MixerSoundBuffer::Open(m, Ramp(100));
  auto loop = MixerSoundBuffer::Open(m, Ramp(100));
  ASSERT_TRUE(once->Play(kPlayOnce).ok());
  ASSERT_TRUE(loop->Play(kPlayLooping).ok());
  ASSERT_TRUE(loop->SetPan(10000).ok());   // loop on the right only
  ASSERT_TRUE(once->SetPan(-10000).ok());  // once on the left only
  m->Advance(30);
  Out o = Mix(*m, 1);
  EXPECT_EQ(o.L(0), 31.0f);
  EXPECT_EQ(o.R(0), 31.0f);
  m->Advance(99);
  EXPECT_FALSE(m->Playing(0));
  EXPECT_TRUE(m->Playing(1));
  o = Mix(*m, 1);
  EXPECT_EQ(o.L(0), 0.0f);
  EXPECT_EQ(o.R(0), 31.0f);
}

TEST(Speech, MixedCentredAboveTheSoundsWhateverTheBuffersDo) {
  auto m = std::make_shared<Mixer>();
  auto b = MixerSoundBuffer::Open(m, Constant(1000, 0.5f));
  ASSERT_TRUE(b->SetPan(-10000).ok());
  ASSERT_TRUE(b->SetVolume(-10000).ok());
  ASSERT_TRUE(b->Play(kPlayLooping).ok());
  std::vector<float> line(300);
  for (size_t i = 0; i < line.size(); ++i) line[i] = 0.001f * static_cast<float>(i + 1);
  EXPECT_EQ(m->speech().Write(line), 300u);
  Out o = Mix(*m, 200);
  EXPECT_FLOAT_EQ(o.L(0), 0.001f * Mixer::kSpeechGain);
  EXPECT_FLOAT_EQ(o.R(199), 0.2f * Mixer::kSpeechGain);
  EXPECT_EQ(m->speech().Heard(), 200u);
  o = Mix(*m, 200);
  EXPECT_FLOAT_EQ(o.L(0), 0.201f * Mixer::kSpeechGain);  // on from where it was
  EXPECT_FLOAT_EQ(o.R(99), 0.3f * Mixer::kSpeechGain);
  EXPECT_EQ(o.R(100), 0.0f);
  EXPECT_EQ(m->speech().Heard(), m->speech().Written());
}

TEST(Speech, TheRingNeverOverwritesWhatIsNotYetHeard) {
  Mixer m;
  std::vector<float> big(SpeechStream::kCapacity + 10, 0.1f);
  big[SpeechStream::kCapacity] = 0.9f;  // the first sample that does not fit
  EXPECT_EQ(m.speech().Write(big), SpeechStream::kCapacity);
  std::vector<float> out(20);
  m.mix(out);
  EXPECT_FLOAT_EQ(out[0], 0.1f * Mixer::kSpeechGain);
  EXPECT_EQ(m.speech().Write(big), 10u);
  EXPECT_EQ(m.speech().Write(big), 0u);
}

// A voice that takes a while to make a line before the mixer has any of it (espeak-ng or SAPI
// on a slow machine): the first waits for `go`. With no sound output, a line made is heard
// at once.
struct SlowToMake final : MixedBackend {
  explicit SlowToMake(Mixer& m) : MixedBackend(m.speech()) {}
  Status Say(const std::string& text, const std::atomic<bool>& cut) override {
    made.push_back(text);
    ++begun;
    while (!go && !cut) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return Play(std::vector<float>(480, 0.1f), cut, [] { return false; });
  }
  std::vector<std::string> made;  // read once the voice is quiet
  std::atomic<int> begun{0};
  std::atomic<bool> go{false};
};

TEST(Speech, ALineStillBeingMadeCountsAsStillToBeHeard) {
  using std::chrono::milliseconds;
  Mixer m;
  auto backend = std::make_unique<SlowToMake>(m);
  SlowToMake& slow = *backend;
  auto voice = CreateVoiceCore(std::move(backend), {});
  const std::string first(60, 'a');  // about 3.6 s to say
  ASSERT_TRUE(voice->Speak(first, kSpeakAsync).ok());
  for (int i = 0; i < 5000 && slow.begun == 0; ++i) std::this_thread::sleep_for(milliseconds(1));
  EXPECT_GT(voice->Behind(), 2.5);
  // Two short lines behind it, each from another run of the game's: with the first still to
  // be heard, they would be heard more than three seconds late, so the older is left out.
  for (const char* line : {"two", "three"}) {
    std::this_thread::sleep_for(milliseconds(5));
    ASSERT_TRUE(voice->Speak(line, kSpeakAsync).ok());
  }
  slow.go = true;
  for (int i = 0; i < 1000 && voice->Behind() > 0; ++i) std::this_thread::sleep_for(milliseconds(5));
  EXPECT_EQ(slow.made, (std::vector<std::string>{first, "three"}));
}

// A voice that says its lines at once into `said`, and fails at `fails_at` (its server gone).
struct Failing final : SleepingBackend {
  Failing(std::vector<std::string>& said, std::string fails_at) : said(said), fails_at(fails_at) {}
  Status Say(const std::string& text, const std::atomic<bool>&) override {
    if (text == fails_at) return Status::Fail("the server hung up");
    said.push_back(text);
    return Status::Ok();
  }
  std::vector<std::string>& said;
  std::string fails_at;
};

TEST(Speech, TheLineAFailedVoiceCouldNotSayIsTheFirstTheOneTakingOverSays) {
  std::vector<std::string> first, then, told;
  VoiceCoreSetup setup;
  setup.fallback = [&](std::unique_ptr<VoiceBackend>& own) {
    own = std::make_unique<Failing>(then, "");
    return Status::Ok();
  };
  setup.tell = [&](const std::string& line) { told.push_back(line); };
  auto voice = CreateVoiceCore(std::make_unique<Failing>(first, "b"), setup);
  for (const char* line : {"a", "b", "c"}) ASSERT_TRUE(voice->Speak(line, kSpeakAsync).ok());
  // Waited for: the failure is seen, the new voice made, and everything unheard said by it.
  ASSERT_TRUE(voice->Speak("d", kSpeakWait).ok());
  EXPECT_EQ(first, (std::vector<std::string>{"a"}));
  EXPECT_EQ(then, (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_EQ(told, (std::vector<std::string>{"the server hung up; using the game's own voice"}));
}

// What the queue leaves out, at a slow voice's pace (each line takes twice as long as usual):
// a readout made stale goes and what it took is no longer counted, so nothing more goes; and
// a line before one of the help's may go as any other.
TEST(Speech, TheQueueCountsWhatGoesAtTheVoicesPace) {
  auto left_out = [](std::vector<std::pair<const char*, bool>> lines) {
    SpeechQueue q;
    q.set_pace(2.0);
    std::vector<std::string> gone;
    double at = 0;
    for (const auto& [text, guide] : lines) {
      for (const QueuedLine& l : q.Push(QueuedLine{0, text, false, at += 0.01, 0, guide})) {
        gone.push_back(l.text);
      }
    }
    return gone;
  };
  // 0.96 s each: 3.84 s, less the stale rate's 0.96.
  EXPECT_EQ(left_out({{"Sounds 3", false}, {"Rate 100", false}, {"Speech 2", false}, {"Rate 125", false}}),
            (std::vector<std::string>{"Rate 100"}));
  // 0.96, 0.96 and the help's 2.88: both readouts go.
  const std::string help(24, 'h');
  EXPECT_EQ(left_out({{"Sounds 3", false}, {"Rate 100", false}, {help.c_str(), true}}),
            (std::vector<std::string>{"Sounds 3", "Rate 100"}));
}

// A voice whose lines are a second of one level each ("a" 0.1, "b" 0.2, ...; "Rate 3" 0.3),
// played while `running` says the sound output plays.
struct Steady final : MixedBackend {
  explicit Steady(Mixer& m) : MixedBackend(m.speech()) {}
  Status Say(const std::string& text, const std::atomic<bool>& cut) override {
    ++begun;
    const char last = text.back();
    const float level = 0.1f * static_cast<float>(std::isdigit(static_cast<unsigned char>(last))
                                                      ? last - '0'
                                                      : text[0] - 'a' + 1);
    return Play(std::vector<float>(Mixer::kRate, level), cut, [this] { return running.load(); });
  }
  void Wake() override {
    ++woken;
    MixedBackend::Wake();
  }
  std::atomic<bool> running{true};
  std::atomic<int> woken{0};
  std::atomic<int> begun{0};
};

TEST(Speech, ALineCutOrLeftByTheOutputIsNeverHeardAgainAndTheNextIsHeardFromItsStart) {
  Mixer m;
  auto backend = std::make_unique<Steady>(m);
  Steady& steady = *backend;
  auto voice = CreateVoiceCore(std::move(backend), {});
  auto settled = [&] {
    for (int i = 0; i < 5000 && voice->Behind() > 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return voice->Behind() == 0;
  };
  uint64_t before = 0;
  auto heard_first = [&](const char* line, int32_t flags = kSpeakGuide) {
    EXPECT_TRUE(voice->Speak(line, flags).ok());
    for (int i = 0; i < 5000 && m.speech().Written() < before + Mixer::kRate; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    before = m.speech().Written();
    return Mix(m, 100).L(0) / Mixer::kSpeechGain;
  };
  // Hushed while the voice sleeps on a line the mixer holds: cut where it was.
  EXPECT_FLOAT_EQ(heard_first("a"), 0.1f);
  const int woken = steady.woken;
  voice->Hush();
  EXPECT_EQ(steady.woken, woken + 1);  // the line asleep in the mixer hears of it at once
  ASSERT_TRUE(settled());
  EXPECT_EQ(Mix(m, 100).L(0), 0.0f);
  // The output lost in the middle of a line: the rest of it is let go, and once the output
  // is back the next line is heard from its first sample, nothing of the old one before it.
  EXPECT_FLOAT_EQ(heard_first("b"), 0.2f);
  steady.running = false;
  ASSERT_TRUE(settled());
  steady.running = true;
  EXPECT_FLOAT_EQ(heard_first("c"), 0.3f);
  EXPECT_FLOAT_EQ(Mix(m, Mixer::kRate).L(Mixer::kRate - 101) / Mixer::kSpeechGain, 0.3f);
  EXPECT_EQ(Mix(m, 100).L(0), 0.0f);
  EXPECT_TRUE(settled());
  // A readout made stale by a newer one of its kind is cut short where it is: the next
  // sample heard is the newer one's.
  EXPECT_FLOAT_EQ(heard_first("Rate 1", kSpeakAsync), 0.1f);
  EXPECT_FLOAT_EQ(heard_first("Rate 2", kSpeakAsync), 0.2f);
  // The same readout again while it is said: heard once, not begun again.
  const int begun = steady.begun;
  ASSERT_TRUE(voice->Speak("Rate 2", kSpeakAsync).ok());
  Mix(m, Mixer::kRate);  // the rest of the one being said
  EXPECT_TRUE(settled());
  EXPECT_EQ(steady.begun, begun);
}

// ---------------------------------------------------------------- the master limiter

TEST(Limiter, KeepsALoudMixInsideFullScaleAndLetsGoWithoutATrace) {
  auto m = std::make_shared<Mixer>();
  // The buzzer, the puck at the player's end and a spoken line together sum past full scale.
  // The buzzer swells and falls (a 110 Hz tone), so its peaks land on a few frames only.
  auto tone = Constant(Mixer::kRate / 2, 0.0f);
  auto buzz_at = [](size_t frame) {
    return static_cast<float>(0.7 *
                              std::sin(2 * M_PI * 110 * static_cast<double>(frame) / Mixer::kRate));
  };
  for (size_t i = 0; i < tone->samples.size(); ++i) tone->samples[i] = buzz_at(i);
  auto buzz = MixerSoundBuffer::Open(m, tone);
  auto puck = MixerSoundBuffer::Open(m, Constant(Mixer::kRate, 0.45f));
  ASSERT_TRUE(puck->SetPan(-3000).ok());  // -30 dB on the right: the image leans left
  ASSERT_TRUE(buzz->Play(kPlayOnce).ok());
  ASSERT_TRUE(puck->Play(kPlayLooping).ok());
  std::vector<float> line(4800, 0.2f);
  ASSERT_EQ(m->speech().Write(line), line.size());

  float peak = 0;
  Out o;
  for (int block = 0; block < 50; ++block) {  // the buzzer's half second
    o = Mix(*m, 480);
    for (float v : o.s) peak = std::max(peak, std::fabs(v));
    // One gain for both sides: the balance between them is what the laws made it.
    if (block == 5) {
      const float b = buzz_at(5 * 480 + 100), speech = 0.2f * Mixer::kSpeechGain;
      EXPECT_NEAR(o.R(100) / o.L(100), (b + speech + 0.45f * 0.0316228f) / (b + speech + 0.45f),
                  1e-4);
    }
  }
  EXPECT_LE(peak, Limiter::kThreshold * (1 + 1e-6f));  // to the last bit of rounding
  EXPECT_GT(peak, Limiter::kThreshold * 0.99f);        // limited, not turned down wholesale

  // Once the buzzer is over the gain comes back, smoothly, to exactly nothing.
  float last = 0;
  float biggest_step = 0;
  bool falls = false;
  for (int block = 0; block < 200; ++block) {
    o = Mix(*m, 480);
    for (size_t i = 0; i < 480; ++i) {
      const float gain = o.L(i) / 0.45f;
      if (block > 0 || i > 0) {
        biggest_step = std::max(biggest_step, std::fabs(gain - last));
        falls = falls || gain < last;
      }
      last = gain;
    }
  }
  EXPECT_FALSE(falls);
  EXPECT_LT(biggest_step, 0.001f);  // no jump, no pumping
  EXPECT_EQ(o.L(0), 0.45f);         // untouched again, bit for bit
  EXPECT_EQ(o.R(0), 0.45f * GainsFor(-3000, 0).right);
}

TEST(Limiter, EitherSideAloneCanSetTheGainForBoth) {
  // Frames as given to the limiter, and what comes out: over the threshold on one side, that
  // frame is brought to exactly the threshold and the other side by the same gain; the next
  // frame is let go by one step of the 150 ms release.
  const float keep = static_cast<float>(std::exp(-1.0 / (0.15 * 48000)));
  const float after = 1.0f - (1.0f - 0.472f) * keep;
  struct Row {
    const char* what;
    std::vector<float> in, out;
  };
  const Row rows[] = {
      {"quiet", {0.9f, -0.9f, 0.5f, 0.5f}, {0.9f, -0.9f, 0.5f, 0.5f}},
      {"at the threshold", {0.1f, 0.944f, -0.944f, 0.1f}, {0.1f, 0.944f, -0.944f, 0.1f}},
      {"right over",
       {0.1f, 0.2f, 0.1f, 2.0f, 0.1f, 0.2f},
       {0.1f, 0.2f, 0.0472f, 0.944f, 0.1f * after, 0.2f * after}},
      {"left under", {0.0f, 0.3f, -1.888f, 0.3f}, {0.0f, 0.3f, -0.944f, 0.15f}},
      {"first frame", {2.0f, 0.2f, 0.1f, 0.1f}, {0.944f, 0.0944f, 0.1f * after, 0.1f * after}},
      {"last frame",
       {0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.2f, 2.0f},
       {0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.0944f, 0.944f}},
      {"loud after the peak",  // 0.9 at the gain it has then is far under the threshold
       {0.1f, 2.0f, 0.1f, 0.9f},
       {0.0472f, 0.944f, 0.1f * after, 0.9f * after}},
  };
  for (const Row& r : rows) {
    Limiter limiter;
    std::vector<float> s = r.in;
    limiter.Process(s);
    ASSERT_EQ(s.size(), r.out.size());
    for (size_t i = 0; i < s.size(); ++i) EXPECT_NEAR(s[i], r.out[i], 2e-6f) << r.what << " " << i;
  }
  // The release goes on into the next block, quiet as it is.
  Limiter limiter;
  std::vector<float> loud{0.1f, 2.0f}, quiet{0.5f, 0.5f};
  limiter.Process(loud);
  limiter.Process(quiet);
  EXPECT_NEAR(quiet[0], 0.5f * after, 2e-6f);
}

// ---------------------------------------------------------------- the two threads

#ifndef _WIN32  // a signal stops the game thread; Windows has none to send to a thread
// Stops a thread where it happens to be, until told to go on.
sem_t g_stopped;
sem_t g_resume;
void Freeze(int) {
  sem_post(&g_stopped);
  while (sem_wait(&g_resume) != 0) {
  }
}
#endif

// The level of one frequency in a stretch of whole cycles, by a single DFT bin.
double Level(const std::vector<float>& s, double hz, int rate, int channels = 1, int channel = 0) {
  double re = 0, im = 0;
  const size_t frames = s.size() / static_cast<size_t>(channels);
  for (size_t i = 0; i < frames; ++i) {
    const double a = 2 * M_PI * hz * static_cast<double>(i) / rate;
    re += s[i * channels + channel] * std::cos(a);
    im += s[i * channels + channel] * std::sin(a);
  }
  return 2 * std::sqrt(re * re + im * im) / static_cast<double>(frames);
}

// A cosine (so that the first frame is not 0) on the first channel, the rest silent.
std::vector<float> Tone(double hz, size_t frames, int rate, int channels = 1) {
  std::vector<float> t(frames * channels, 0.0f);
  for (size_t i = 0; i < frames; ++i) {
    t[i * channels] =
        static_cast<float>(0.5 * std::cos(2 * M_PI * hz * static_cast<double>(i) / rate));
  }
  return t;
}

TEST(Resample, FlatToTenKilohertzWithNoImagesSeamlessAndTheRightLength) {
  for (double hz : {100.0, 1000.0, 5000.0, 8000.0, 10000.0}) {
    // One second of 22.05 kHz, whole cycles: a ring, on the left of a stereo sound.
    const std::vector<float> out = ResampleRing(Tone(hz, 22050, 22050, 2), 2, 22050);
    ASSERT_EQ(out.size(), 2 * 48000u);
    EXPECT_NEAR(Db(Level(out, hz, 48000, 2, 0) / 0.5), 0.0, 0.05) << hz;  // flat to 10 kHz
    // The image mirrored about the old Nyquist frequency; the silent right stays silent.
    EXPECT_LT(Db(Level(out, 22050 - hz, 48000, 2, 0) / 0.5 + 1e-12), -80.0) << hz;
    EXPECT_LT(Db(Level(out, hz, 48000, 2, 1) / 0.5 + 1e-12), -100.0) << hz;
  }
  // The loop starts on its own first frame and closes on itself: every frame, the seam
  // included, is where the tone would be at 48 kHz; in a stereo sound each side on its
  // own, and in a loop shorter than the filter's reach as well (20 cycles, 1/50 s).
  for (size_t frames : {size_t{22050}, size_t{441}}) {
    std::vector<float> in = Tone(1000, frames, 22050, 2);
    // On the right the ring's own lowest tone: one cycle a loop, so that no shift hides.
    const double lowest = 22050.0 / static_cast<double>(frames);
    const std::vector<float> right = Tone(lowest, frames, 22050);
    for (size_t i = 0; i < frames; ++i) in[2 * i + 1] = right[i];
    const std::vector<float> ring = ResampleRing(in, 2, 22050);
    const size_t out_frames = frames * 48000 / 22050;
    ASSERT_EQ(ring.size(), 2 * out_frames);
    const std::vector<float> left_exact = Tone(1000, out_frames, 48000);
    const std::vector<float> right_exact = Tone(lowest, out_frames, 48000);
    double worst = 0;
    for (size_t i = 0; i < out_frames; ++i) {
      worst = std::max({worst, std::fabs(double{ring[2 * i]} - left_exact[i]),
                        std::fabs(double{ring[2 * i + 1]} - right_exact[i])});
    }
    EXPECT_LT(worst, 1e-3) << frames;
  }
  const std::vector<float> exact = Tone(1000, 48000, 48000);
  const std::vector<float> line = ResampleLine(Tone(1000, 2205, 22050), 22050);
  ASSERT_EQ(line.size(), 4800u);
  EXPECT_NEAR(line[2400], exact[2400], 1e-3);  // the middle of the line, away from its edges

  struct Row {
    size_t frames;
    int channels;
    int rate;
    size_t ring, line;
  };
  for (const Row& r :
       std::initializer_list<Row>{{3, 1, 22050, 7, 7},  // 6.53 frames round up
                                  {1, 2, 22050, 2, 2},  // 2.18 round down
                                  {5, 1, 48000, 5, 5},  // already at the mixer's rate: a copy
                                  {0, 1, 22050, 0, 0}}) {
    std::vector<float> in(r.frames * r.channels, 0.25f);
    EXPECT_EQ(ResampleRing(in, r.channels, r.rate).size(), r.ring * r.channels) << r.frames;
    if (r.channels == 1) {
      EXPECT_EQ(ResampleLine(in, r.rate).size(), r.line) << r.frames;
    }
  }
  const std::vector<float> same{0.1f, -0.2f, 0.3f};
  EXPECT_EQ(ResampleRing(same, 1, 48000), same);
  EXPECT_EQ(ResampleLine(same, 48000), same);
}

// A system's output as a test drives it: its audio thread pulls the mixer every 2 ms and
// keeps the loudest sample of its last block; the test loses it, moves the default, stalls
// it, or has the next opens refused.
class TestDriver final : public OutputDriver {
 public:
  std::atomic<bool> lost{false}, moved{false}, stall{false};
  std::atomic<int> refuse{0}, opens{0};
  std::atomic<float> peak{0};

  int Open(const std::shared_ptr<Mixer>& mixer, int frames, bool, const std::atomic<bool>&,
           std::string& why) override {
    lost = moved = stall = false;
    ++opens;
    if (refuse > 0) {
      --refuse;
      why = "no device";
      return 0;
    }
    quit_ = false;
    audio_ = std::thread([this, mixer, frames] {
      std::vector<float> block(size_t(frames) * 2);
      while (!quit_) {
        if (!stall) {
          mixer->mix(block);
          float most = 0;
          for (float x : block) most = std::max(most, std::fabs(x));
          peak = most;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    return frames;
  }
  void Close() override {
    quit_ = true;
    audio_.join();
  }
  bool Lost() const override { return lost; }
  bool Moved() const override { return moved; }

 private:
  std::atomic<bool> quit_{false};
  std::thread audio_;
};

TEST(SoundOutput, LostStalledAndMovedOutputsComeBackWithEveryChannelEachSaidOnce) {
  using namespace std::chrono_literals;
  auto m = std::make_shared<Mixer>();
  auto owned = std::make_unique<TestDriver>();
  TestDriver& d = *owned;
  SoundOutput out(m, std::move(owned));
  std::vector<std::string> said;
  out.told = [&](const std::string& text) { said.push_back(text); };
  ASSERT_TRUE(out.Open(256, 2s, nullptr).ok());
  EXPECT_TRUE(out.running());
  EXPECT_EQ(out.period(), 256);
  auto loop = MixerSoundBuffer::Open(m, Constant(4800, 0.25f));
  ASSERT_TRUE(loop->Play(kPlayLooping).ok());
  // Watched as the game thread does, until `done` (3 s at most).
  auto watch = [&](auto done) {
    for (int i = 0; i < 600; ++i) {
      out.Watch();
      if (done()) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  };
  const std::vector<std::string> lost_and_back{"The sound output was lost.", "The sound is back."};

  // Lost, then refused twice: said once each way, the loop heard again where it was.
  d.refuse = 2;
  d.lost = true;
  EXPECT_TRUE(watch([&] { return said.size() >= 2; }));
  EXPECT_EQ(said, lost_and_back);
  EXPECT_EQ(d.opens, 4);
  d.peak = 0;
  EXPECT_TRUE(watch([&] { return d.peak > 0.1f; })) << "the loop plays on after the return";

  // Nothing pulls the mixer for a second, though the system says nothing: lost, reopened.
  said.clear();
  d.stall = true;
  EXPECT_TRUE(watch([&] { return said.size() >= 2; }));
  EXPECT_EQ(said, lost_and_back);

  // The system's default changed: moved, said once, never as lost.
  said.clear();
  d.moved = true;
  EXPECT_TRUE(watch([&] { return !said.empty(); }));
  for (int i = 0; i < 20; ++i) out.Watch();
  EXPECT_EQ(said, std::vector<std::string>{"The sound moved to the new device."});
  EXPECT_EQ(d.opens, 6);

  // Closed on the output's thread; on a busy machine after Close has stopped waiting for it.
  out.Close();
  EXPECT_TRUE(watch([&] { return !out.running(); }));
  EXPECT_EQ(out.period(), 0);
}

#ifndef _WIN32
TEST(MixerThreads, AGameThreadStoppedMidUpdateNeverStallsTheMix) {
  sem_init(&g_stopped, 0, 0);
  sem_init(&g_resume, 0, 0);
  struct sigaction act {};
  act.sa_handler = Freeze;
  sigemptyset(&act.sa_mask);
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGUSR2, &act, &old), 0);

  auto m = std::make_shared<Mixer>();
  auto pcm = Constant(4800, 0.1f);
  std::atomic<bool> quit{false};
  std::atomic<uint64_t> updates{0};
  std::thread game([&] {  // every kind of change the game makes, as fast as it can
    auto b = MixerSoundBuffer::Open(m, pcm);
    for (int32_t i = 0; !quit.load(); ++i) {
      (void)b->SetPan(i % 10000);
      (void)b->SetVolume(-(i % 5000));
      (void)b->Play(i % 3 == 0 ? kPlayLooping : kPlayOnce);
      (void)b->SetCurrentPosition(0);
      if (i % 7 == 0) (void)b->Stop();
      if (i % 50 == 0) b = MixerSoundBuffer::Open(m, pcm);  // close one, open another
      updates.fetch_add(1);
    }
  });
  while (updates.load() < 1000) std::this_thread::yield();

  std::mt19937 random(7);
  int stalled = 0;
  for (int trial = 0; trial < 300 && stalled == 0; ++trial) {
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
    pthread_kill(game.native_handle(), SIGUSR2);
    while (sem_wait(&g_stopped) != 0) {
    }
    // The game thread is frozen wherever it was; the audio thread must still get through.
    auto audio = std::async(std::launch::async, [&] {
      std::vector<float> out(960);
      for (int block = 0; block < 3; ++block) m->mix(out);
    });
    if (audio.wait_for(std::chrono::seconds(10)) != std::future_status::ready) ++stalled;
    sem_post(&g_resume);
    audio.wait();
  }
  quit = true;
  game.join();
  sigaction(SIGUSR2, &old, nullptr);
  EXPECT_EQ(stalled, 0);
}
#endif

}  // namespace
}  // namespace palomir
