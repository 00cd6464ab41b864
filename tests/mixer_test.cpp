#include "platform/mixer/mixer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/mixer/mixer_buffer.h"

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

  ASSERT_TRUE(b->SetVolume(0).ok());
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
  for (int i = 0; i < 100; ++i) pcm->samples.insert(pcm->samples.end(), {0.25f, -0.5f});
  auto b = MixerSoundBuffer::Open(m, pcm);
  ASSERT_TRUE(b->Play(kPlayOnce).ok());
  Out o = Mix(*m, 200);
  EXPECT_FLOAT_EQ(o.L(10), 0.25f);
  EXPECT_FLOAT_EQ(o.R(10), -0.5f);
  EXPECT_EQ(o.L(150), 0.0f);  // played to its end
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
}

TEST(SoundBuffer, ReleasingAPlayingBufferSilencesIt) {
  auto m = std::make_shared<Mixer>();
  auto b = MixerSoundBuffer::Open(m, Constant(1000, 0.5f));
  ASSERT_TRUE(b->Play(kPlayLooping).ok());
  b.reset();
  EXPECT_EQ(Mix(*m, 10).L(0), 0.0f);
}

TEST(SoundBuffer, AdvanceMovesPlayingBuffersAsIfHeard) {
  auto m = std::make_shared<Mixer>();
  auto once = MixerSoundBuffer::Open(m, Ramp(100));
  auto loop = MixerSoundBuffer::Open(m, Ramp(100));
  ASSERT_TRUE(once->Play(kPlayOnce).ok());
  ASSERT_TRUE(loop->Play(kPlayLooping).ok());
  ASSERT_TRUE(loop->SetPan(10000).ok());   // loop on the right only
  ASSERT_TRUE(once->SetPan(-10000).ok());  // once on the left only
  m->Advance(130);
  EXPECT_FALSE(m->Playing(0));
  EXPECT_TRUE(m->Playing(1));
  Out o = Mix(*m, 1);
  EXPECT_EQ(o.L(0), 0.0f);
  EXPECT_EQ(o.R(0), 31.0f);
}

TEST(Speech, MixedCentredAtFullVolumeWhateverTheBuffersDo) {
  auto m = std::make_shared<Mixer>();
  auto b = MixerSoundBuffer::Open(m, Constant(1000, 0.5f));
  ASSERT_TRUE(b->SetPan(-10000).ok());
  ASSERT_TRUE(b->SetVolume(-10000).ok());
  ASSERT_TRUE(b->Play(kPlayLooping).ok());
  std::vector<float> line(300, 0.25f);
  EXPECT_EQ(m->speech().Write(line), 300u);
  Out o = Mix(*m, 200);
  EXPECT_FLOAT_EQ(o.L(0), 0.25f);
  EXPECT_FLOAT_EQ(o.R(199), 0.25f);
  EXPECT_EQ(m->speech().Heard(), 200u);
  o = Mix(*m, 200);
  EXPECT_FLOAT_EQ(o.R(99), 0.25f);
  EXPECT_EQ(o.R(100), 0.0f);
  EXPECT_EQ(m->speech().Heard(), m->speech().Written());
}

TEST(Speech, TheRingNeverOverwritesWhatIsNotYetHeard) {
  Mixer m;
  std::vector<float> big(SpeechStream::kCapacity + 10, 0.1f);
  EXPECT_EQ(m.speech().Write(big), SpeechStream::kCapacity);
  EXPECT_EQ(m.speech().Write(big), 0u);
  std::vector<float> out(20);
  m.mix(out);
  EXPECT_EQ(m.speech().Write(big), 10u);
}

}  // namespace
}  // namespace palomir
