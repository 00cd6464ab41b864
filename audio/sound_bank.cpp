#include "audio/sound_bank.h"

#include "language/tr.h"
#include "platform/arith.h"

namespace palomir {

const std::array<SoundFile, 10> kSoundFiles = {{
    {"SoundBuzz", "buzz.wav", &ProgramObjects::SoundBuzz},
    {"SoundGoal", "goal.wav", &ProgramObjects::SoundGoal},
    {"SoundPuck", "puck.wav", &ProgramObjects::SoundPuck},
    {"SoundSideBounce", "SideBounce.wav", &ProgramObjects::SoundSideBounce},
    {"SoundRebound", "rebound.wav", &ProgramObjects::SoundRebound},
    {"SoundPaddle", "paddle.wav", &ProgramObjects::SoundPaddle},
    {"SoundOpponentHit", "OpponentHit.wav", &ProgramObjects::SoundOpponentHit},
    {"SoundOpponentPaddleSlide", "opponentpaddleslide.wav",
     &ProgramObjects::SoundOpponentPaddleSlide},
    {"SoundPaddleSlide", "paddleslide.wav", &ProgramObjects::SoundPaddleSlide},
    {"SoundBackground", "background.wav", &ProgramObjects::SoundBackground},
}};

void LoadSounds(ProgramObjects& objects, const Window& window) {
  for (const SoundFile& row : kSoundFiles) {
    const std::string path = window.SoundsFolder() + "/" + row.file;
    if (!objects.SoundDevice) throw RuntimeError(Fill(Tr("no sound output to play %s"), path));
    std::unique_ptr<SoundBuffer> buffer;
    const Status made =
        objects.SoundDevice->CreateSoundBufferFromFile(path, objects.BufferDesc, buffer);
    if (!made.ok()) throw RuntimeError(Fill(Tr("the sound file %s %s"), path, made.reason()));
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
