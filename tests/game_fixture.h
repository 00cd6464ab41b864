// A game on the virtual machine, and short ways to set it up and look at it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "audio/sound_bank.h"
#include "game/main_form.h"
#include "game/sound_ops.h"
#include "platform/call_log.h"
#include "platform/recording.h"
#include "platform/virtual/virtual_platform.h"

namespace palomir::testing {

// The calls a game made, as the trace writes them.
inline std::vector<std::string> TracedLines(const VirtualPlatform& vp) {
  std::vector<std::string> lines;
  for (const Call& c : vp.calls()) lines.push_back(TraceLine(c));
  return lines;
}

// A recording the virtual machine wrote, read back for a replay. The virtual machine has the
// window's focus from the start, where a real one is given it in its first pump: the mouse
// is taken there.
inline std::deque<Replay::Record> RecordedReplay(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  lines.erase(std::find(lines.begin(), lines.end(), "capture ok"));
  lines.insert(std::find(lines.begin(), lines.end(), "pump") + 1, {"input focus gained", "capture ok"});
  std::vector<std::pair<int, std::string>> numbered;
  for (const std::string& line : lines) numbered.emplace_back(int(numbered.size()) + 1, line);
  return Replay::Parse(numbered);
}

struct Game {
  VirtualPlatform vp;
  ProgramObjects o;
  MainForm f{vp, o};
  std::vector<std::string> errors;

  Game() {
    f.on_error = [this](const std::string& e) { errors.push_back(e); };
    f.on_detail = [this](const std::string& e) { errors.push_back(e); };
  }
  // Start-up through the welcome and the first pause.
  void Load() { ASSERT_TRUE(f.Form_Load()); }

  void Puck(int32_t pan, int32_t volume) {
    SetPan(o.SoundPuck, pan);
    SetVolume(o.SoundPuck, volume);
  }
  void Paddle(int32_t pan, int32_t volume) {
    SetPan(o.SoundPaddleSlide, pan);
    SetVolume(o.SoundPaddleSlide, volume);
  }
  int32_t PuckPan() const { return PanOf(o.SoundPuck); }
  int32_t PuckVolume() const { return VolumeOf(o.SoundPuck); }
  int32_t PaddlePan() const { return PanOf(o.SoundPaddleSlide); }
  int32_t PaddleVolume() const { return VolumeOf(o.SoundPaddleSlide); }
  // Direction by timer pair.
  void GoingRight() { f.RightTimer.SetEnabled(true), f.LeftTimer.SetEnabled(false); }
  void GoingLeft() { f.LeftTimer.SetEnabled(true), f.RightTimer.SetEnabled(false); }
  void Approaching() { f.ToTimer.SetEnabled(true), f.FroTimer.SetEnabled(false); }
  void Retreating() { f.FroTimer.SetEnabled(true), f.ToTimer.SetEnabled(false); }
  bool Right() const { return f.RightTimer.Enabled() && !f.LeftTimer.Enabled(); }
  bool Left() const { return f.LeftTimer.Enabled() && !f.RightTimer.Enabled(); }
  bool Away() const { return f.FroTimer.Enabled() && !f.ToTimer.Enabled(); }
  bool Toward() const { return f.ToTimer.Enabled() && !f.FroTimer.Enabled(); }

  // Calls on one object since the records were last cleared, "op arg" each.
  std::vector<std::string> Calls(const std::string& object) const {
    std::vector<std::string> out;
    for (const auto& c : vp.calls()) {
      if (c.object == object) out.push_back(c.op + " " + std::to_string(c.arg));
    }
    return out;
  }
  // What the game changed, in order: every call but the reads, "object op arg" each.
  std::vector<std::string> Changes() const {
    std::vector<std::string> out;
    for (const auto& c : vp.calls()) {
      if (c.op.rfind("Get", 0) != 0)
        out.push_back(c.object + " " + c.op + " " + std::to_string(c.arg));
    }
    return out;
  }
  std::vector<std::string> Said() const {
    std::vector<std::string> out;
    for (const auto& s : vp.spoken()) out.push_back(s.text);
    return out;
  }
  bool Played(const std::string& object) const {
    for (const auto& c : vp.calls()) {
      if (c.object == object && c.op == "Play") return true;
    }
    return false;
  }
  // Input on the next pump, and the pump.
  void Press(int32_t key) {
    vp.KeyDown(key);
    vp.DoEvents();
  }
  void Release(int32_t key) {
    vp.KeyUp(key);
    vp.DoEvents();
  }
  void Move(int32_t dx, int32_t dy) {
    vp.MouseMove(dx, dy);
    vp.DoEvents();
  }
};

// A game through its start-up and welcome, with nothing recorded yet.
struct LoadedGame : ::testing::Test {
  Game g;
  void SetUp() override {
    g.Load();
    g.vp.ClearRecords();
  }
};

}  // namespace palomir::testing
