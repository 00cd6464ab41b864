// Any bytes as a recording of a game: the replay must stop cleanly at a bad line (with its
// number), at the end of the recording, or when the window closes; never crash, hang or
// leak.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "audio/sound_bank.h"
#include "game/main_form.h"
#include "platform/recording.h"
#include "platform/virtual/virtual_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace palomir;
  std::vector<std::pair<int, std::string>> lines;
  std::string line;
  for (size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == '\n') {
      lines.emplace_back(static_cast<int>(lines.size()) + 1, line);
      line.clear();
    } else {
      line += static_cast<char>(data[i]);
    }
  }
  VirtualPlatform vp;
  vp.recording = false;
  ProgramObjects o;
  MainForm f(vp, o);
  f.on_error = [](const std::string&) {};
  try {
    vp.StartReplay(Replay::Parse(lines));
    if (f.Form_Load()) vp.RunMessageLoop();
  } catch (const ReplayError& e) {
    if (e.line < 1 || e.line > static_cast<int>(lines.size())) __builtin_trap();
  } catch (const ReplayEnded&) {
  } catch (const WindowUnloaded&) {
  }
  ReleaseAudioAndInput(o);
  return 0;
}
