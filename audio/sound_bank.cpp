#include "audio/sound_bank.h"

#include "platform/arith.h"

namespace palomir {

const std::array<SoundFile, 10> kSoundFiles = {{
    {"SoundBuzz", "/sounds/buzz.wav", &ProgramObjects::SoundBuzz},
    {"SoundGoal", "/sounds/goal.wav", &ProgramObjects::SoundGoal},
    {"SoundPuck", "/sounds/puck.wav", &ProgramObjects::SoundPuck},
    {"SoundSideBounce", "/sounds/SideBounce.wav", &ProgramObjects::SoundSideBounce},
    {"SoundRebound", "/sounds/rebound.wav", &ProgramObjects::SoundRebound},
    {"SoundPaddle", "/sounds/paddle.wav", &ProgramObjects::SoundPaddle},
    {"SoundOpponentHit", "/sounds/OpponentHit.wav", &ProgramObjects::SoundOpponentHit},
    {"SoundOpponentPaddleSlide", "/sounds/opponentpaddleslide.wav",
     &ProgramObjects::SoundOpponentPaddleSlide},
    {"SoundPaddleSlide", "/sounds/paddleslide.wav", &ProgramObjects::SoundPaddleSlide},
    {"SoundBackground", "/sounds/background.wav", &ProgramObjects::SoundBackground},
}};

void LoadSounds(ProgramObjects& objects, const Window& window) {
  for (const SoundFile& row : kSoundFiles) {
    if (!objects.SoundDevice)
      throw RuntimeError("no sound device to load " + std::string(row.file));
    const std::string path = window.ProgramFolder() + row.file;
    std::unique_ptr<SoundBuffer> buffer;
    Check(objects.SoundDevice->CreateSoundBufferFromFile(path, objects.BufferDesc, buffer));
    objects.*row.buffer = std::move(buffer);
  }
}

void ReleaseAudioAndInput(ProgramObjects& objects) {
  for (const SoundFile& row : kSoundFiles) (objects.*row.buffer).reset();
  objects.KeyboardDevice.reset();
  objects.MouseDevice.reset();
  objects.InputRoot.reset();
  objects.SoundDevice.reset();
  objects.DxRoot.reset();
}

}  // namespace palomir
