// A sound buffer that plays through the mixer. Game thread only; nothing here blocks or
// waits for the audio thread.
#pragma once

#include <memory>

#include "platform/mixer/mixer.h"
#include "platform/sound.h"

namespace palomir {

class MixerSoundBuffer final : public SoundBuffer {
 public:
  // Fails (returns null) when the mixer has no free channel.
  static std::unique_ptr<MixerSoundBuffer> Open(std::shared_ptr<Mixer> mixer,
                                                std::shared_ptr<const Pcm> pcm);
  ~MixerSoundBuffer() override;

  Status SetPan(int32_t pan) override;
  Status GetPan(int32_t& pan) const override;
  Status SetVolume(int32_t volume) override;
  Status GetVolume(int32_t& volume) const override;
  Status Play(int32_t flags) override;
  Status SetCurrentPosition(int32_t position) override;
  Status Stop() override;
  Mixer::Channel channel() const { return channel_; }

 private:
  MixerSoundBuffer(std::shared_ptr<Mixer> mixer, Mixer::Channel channel)
      : mixer_(std::move(mixer)), channel_(channel) {}
  std::shared_ptr<Mixer> mixer_;
  Mixer::Channel channel_;
  int32_t pan_ = 0;
  int32_t volume_ = 0;
};

}  // namespace palomir
