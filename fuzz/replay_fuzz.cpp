// Any bytes as a recording of a game: the replay must stop cleanly at a bad line (with its
// number), at the end of the recording, or when the window closes; never crash, hang or
// leak.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "audio/sound_bank.h"
#include "game/main_form.h"
#include "help/guide.h"
#include "platform/recording.h"
#include "platform/virtual/virtual_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace palomir;
  // Read as the scenario runner reads a recording: line by line, as the game asks.
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  int number = 0;
  const auto lines = static_cast<int>(std::count(data, data + size, '\n'));
  VirtualPlatform vp;
  vp.recording = false;
  ProgramObjects o;
  MainForm f(vp, o);
  f.on_error = [](const std::string&) {};
  Guide guide(vp, f, o, GuideSetup{});  // the help and the tour, as the game has them
  try {
    vp.StartReplay(Replay(Replay::LinesOf(in, number)));
    if (f.Form_Load()) vp.RunMessageLoop();
  } catch (const ReplayError& e) {
    if (e.line < 1 || e.line > lines) __builtin_trap();  // only whole lines are read
  } catch (const ReplayEnded&) {
  } catch (const WindowUnloaded&) {
  }
  ReleaseAudioAndInput(o);
  return 0;
}
