// The sound bank: the ten sounds loaded from the sounds folder beside the program.
// Game thread only. LoadSounds reads the files (the disk); ReleaseAudioAndInput closes the
// sound output, waiting 50 ms at most. Nothing else blocks.
#pragma once

#include <array>
#include <memory>

#include "game/program.h"
#include "platform/window.h"

namespace palomir {

struct SoundFile {
  const char* name;  // the buffer's name in the game
  const char* file;  // appended to the program's folder, case and all
  std::unique_ptr<SoundBuffer> ProgramObjects::*buffer;
};

// In load order. Only the last, the background, is never played.
extern const std::array<SoundFile, 10> kSoundFiles;

// Creates the ten buffers in order. The first that cannot be made raises a run-time
// error: the rows before it exist, it and every row after it stay absent.
void LoadSounds(ProgramObjects& objects, const Window& window);

// Releases every buffer, both input devices, the input root, the sound device and the
// root object, in that order. Absent objects are passed over; it never fails.
void ReleaseAudioAndInput(ProgramObjects& objects);

}  // namespace palomir
