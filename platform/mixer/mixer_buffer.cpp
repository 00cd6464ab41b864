#include "platform/mixer/mixer_buffer.h"

#include <string>

namespace palomir {

std::unique_ptr<MixerSoundBuffer> MixerSoundBuffer::Open(std::shared_ptr<Mixer> mixer,
                                                         std::shared_ptr<const Pcm> pcm) {
  const Mixer::Channel c = mixer->Open(std::move(pcm));
  if (c < 0) return nullptr;
  return std::unique_ptr<MixerSoundBuffer>(new MixerSoundBuffer(std::move(mixer), c));
}

MixerSoundBuffer::~MixerSoundBuffer() {
  mixer_->Close(channel_);
}

Status MixerSoundBuffer::SetPan(int32_t pan) {
  if (pan < kPanLeft || pan > kPanRight) {
    return Status::Fail("SetPan: " + std::to_string(pan) + " is outside -10000..10000");
  }
  pan_ = pan;
  mixer_->SetGain(channel_, GainsFor(pan_, volume_));
  return Status::Ok();
}

Status MixerSoundBuffer::GetPan(int32_t& pan) const {
  pan = pan_;
  return Status::Ok();
}

Status MixerSoundBuffer::SetVolume(int32_t volume) {
  if (volume < kVolumeMin || volume > kVolumeMax) {
    return Status::Fail("SetVolume: " + std::to_string(volume) + " is outside -10000..0");
  }
  volume_ = volume;
  mixer_->SetGain(channel_, GainsFor(pan_, volume_));
  return Status::Ok();
}

Status MixerSoundBuffer::GetVolume(int32_t& volume) const {
  volume = volume_;
  return Status::Ok();
}

Status MixerSoundBuffer::Play(int32_t flags) {
  if (flags != kPlayOnce && flags != kPlayLooping) {
    return Status::Fail("Play: unknown flags " + std::to_string(flags));
  }
  mixer_->Play(channel_, flags == kPlayLooping);
  return Status::Ok();
}

Status MixerSoundBuffer::SetCurrentPosition(int32_t position) {
  if (position != 0) {
    return Status::Fail("SetCurrentPosition: only 0 is supported, got " + std::to_string(position));
  }
  mixer_->Rewind(channel_);
  return Status::Ok();
}

Status MixerSoundBuffer::Stop() {
  mixer_->Stop(channel_);
  return Status::Ok();
}

}  // namespace palomir
