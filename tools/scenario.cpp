// Plays a text script through the virtual machine and prints every platform call the game
// makes and every line spoken, one per line, so that a reported fault can be replayed
// exactly. The script format is in docs/scenario.md.
//   scenario SCRIPT      (or the script on standard input)
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <climits>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/run.h"
#include "audio/sound_bank.h"
#include "game/main_form.h"
#include "game/sound_ops.h"
#include "help/guide.h"
#include "match/match_play.h"
#include "language/language.h"
#include "platform/call_log.h"
#include "platform/keycodes.h"
#include "platform/virtual/virtual_platform.h"
#include "settings/settings.h"

namespace palomir {
namespace {

const std::map<std::string, int32_t MainForm::*> kFields = {
    {"EventHandle", &MainForm::EventHandle},     {"HitTolerance", &MainForm::HitTolerance},
    {"MouseSpeedX", &MainForm::MouseSpeedX},     {"MouseSpeedY", &MainForm::MouseSpeedY},
    {"PaddlePan", &MainForm::PaddlePan},         {"PaddleVolume", &MainForm::PaddleVolume},
    {"OpponentPan", &MainForm::OpponentPan},     {"OpponentTicks", &MainForm::OpponentTicks},
    {"OpponentPace", &MainForm::OpponentPace},   {"PlayerScore", &MainForm::PlayerScore},
    {"ComputerScore", &MainForm::ComputerScore}, {"LateralSpeed", &MainForm::LateralSpeed},
    {"DepthSpeed", &MainForm::DepthSpeed},       {"SpeedLevel", &MainForm::SpeedLevel},
};

const std::map<std::string, uint8_t> kKeys = {
    {"1", dik::k1},         {"2", dik::k2},           {"3", dik::k3},
    {"4", dik::k4},         {"5", dik::k5},           {"6", dik::k6},
    {"7", dik::k7},         {"8", dik::k8},           {"9", dik::k9},
    {"0", dik::k0},         {"Q", dik::kQ},           {"W", dik::kW},
    {"E", dik::kE},         {"R", dik::kR},           {"T", dik::kT},
    {"Y", dik::kY},         {"U", dik::kU},           {"I", dik::kI},
    {"O", dik::kO},         {"P", dik::kP},           {"A", dik::kA},
    {"S", dik::kS},         {"D", dik::kD},           {"F", dik::kF},
    {"G", dik::kG},         {"H", dik::kH},           {"J", dik::kJ},
    {"K", dik::kK},         {"L", dik::kL},           {"Z", dik::kZ},
    {"X", dik::kX},         {"C", dik::kC},           {"V", dik::kV},
    {"B", dik::kB},         {"N", dik::kN},           {"M", dik::kM},
    {"comma", dik::kComma}, {"period", dik::kPeriod}, {"up", dik::kUp},
    {"down", dik::kDown},   {"left", dik::kLeft},     {"right", dik::kRight},
    {"space", dik::kSpace}, {"escape", dik::kEscape}, {"F1", dik::kF1},
    {"F2", dik::kF2},       {"F3", dik::kF3},         {"F4", dik::kF4},
    {"F5", dik::kF5},       {"F6", dik::kF6},         {"F7", dik::kF7},
    {"F8", dik::kF8},       {"F9", dik::kF9},         {"F10", dik::kF10},
    {"shift", dik::kLeftShift},
};

// The folder this program is in: its catalogs are beside it in a build tree.
std::string OwnFolder() {
#ifdef _WIN32
  wchar_t wide[32768];
  const DWORD length = GetModuleFileNameW(nullptr, wide, 32768);
  char path[4 * 32768];
  const int n = length == 0 ? 0
                            : WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), path,
                                                  sizeof(path), nullptr, nullptr);
  if (n <= 0) return ".";
  const std::string exe(path, static_cast<size_t>(n));
  return exe.substr(0, exe.find_last_of("\\/"));
#else
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return ".";
  const std::string exe(path, static_cast<size_t>(n));
  return exe.substr(0, exe.find_last_of('/'));
#endif
}

struct Runner {
  VirtualPlatform vp;
  ProgramObjects o;
  MainForm f{vp, o};
  std::ostream& out;
  GuideSetup guide;  // a recording's settings; nothing is ever written
  // The player's guide, made as the program makes it, before start-up: F1 to F10 and
  // Escape in a script reach it as they reach a player's.
  std::optional<Guide> player_guide;

  explicit Runner(std::ostream& os) : out(os) {
    vp.on_call = [this](const VirtualPlatform::Call& c) {
      out << "call " << c.object << " " << c.op << " " << c.arg << (c.failed ? " FAILED" : "")
          << "\n";
    };
    vp.on_speak = [this](const VirtualPlatform::Spoken& s) {
      out << "say " << s.flags << " \"" << s.text << "\"\n";
    };
    f.on_error = [this](const std::string& e) { out << "error " << e << "\n"; };
  }

  std::unique_ptr<SoundBuffer>& Buffer(const std::string& name) {
    for (const SoundFile& row : kSoundFiles) {
      if (name == row.name) return o.*row.buffer;
    }
    throw std::invalid_argument("no sound called " + name);
  }
  Timer& TimerNamed(const std::string& name) {
    if (name == "RightTimer") return f.RightTimer;
    if (name == "LeftTimer") return f.LeftTimer;
    if (name == "ToTimer") return f.ToTimer;
    if (name == "FroTimer") return f.FroTimer;
    throw std::invalid_argument("no timer called " + name);
  }
  uint8_t Key(const std::string& name) {
    auto it = kKeys.find(name);
    if (it == kKeys.end()) throw std::invalid_argument("no key called " + name);
    return it->second;
  }
  void Tick(const std::string& name) {
    if (name == "RightTimer")
      f.RightTimer_Timer();
    else if (name == "LeftTimer")
      f.LeftTimer_Timer();
    else if (name == "ToTimer")
      f.ToTimer_Timer();
    else if (name == "FroTimer")
      f.FroTimer_Timer();
    else
      throw std::invalid_argument("no timer called " + name);
  }
  void Print(const std::string& what) {
    if (what == "GameOver") {
      out << "GameOver = " << f.GameOver << "\n";
    } else if (auto it = kFields.find(what); it != kFields.end()) {
      out << what << " = " << f.*(it->second) << "\n";
    } else if (what.rfind("Sound", 0) == 0) {
      auto& b = Buffer(what);
      if (!b) {
        out << what << " absent\n";
      } else {
        out << what << " pan " << PanOf(b) << " volume " << VolumeOf(b) << "\n";
      }
    } else if (what == "timers") {
      for (const char* t : {"RightTimer", "LeftTimer", "ToTimer", "FroTimer"}) {
        Timer& timer = TimerNamed(t);
        out << t << " " << (timer.Enabled() ? "on" : "off") << " " << timer.Interval() << "\n";
      }
    } else if (what == "time") {
      out << "time " << vp.Now() << "\n";
    } else {
      throw std::invalid_argument("nothing called " + what + " to print");
    }
  }

  // A recording of a real game, from its `start` on: the game is played from start-up to
  // its end as the recording says. Returns the program's status: 1 where the recording
  // ends before the game did (`read`: the lines read of it by then).
  int Replay(palomir::Replay::Source lines, const int& read) {
    vp.StartReplay(palomir::Replay(std::move(lines)));
    // The window's own settings, made as it was created, before anything was replayed.
    for (const VirtualPlatform::Call& c : vp.calls()) out << TraceLine(c) << "\n";
    try {
      return RunForm(vp, f, o, guide);
    } catch (const ReplayEnded&) {
      out << "end of recording\n";
      vp.on_call = nullptr;
      ReleaseAudioAndInput(o);
      out.flush();
      std::cerr << "scenario: the recording ends at line " << read
                << " while the game was still playing: it was cut off (the game was stopped "
                   "before it could close it, or the disk filled up); replayed up to there\n";
      return 1;
    }
    return 0;
  }

  // One line of the script.
  void Do(const std::vector<std::string>& w) {
    auto num = [&](size_t i) -> int32_t { return static_cast<int32_t>(std::stol(w.at(i))); };
    const std::string& c = w[0];
    if (c == "load") {
      if (!player_guide) player_guide.emplace(vp, f, o, guide);
      out << "load " << (f.Form_Load() ? "ok" : "cannot play") << "\n";
    } else if (c == "set" && w.at(1) == "GameOver") {
      f.GameOver = static_cast<int16_t>(num(2));
    } else if (c == "set") {
      auto it = kFields.find(w.at(1));
      if (it == kFields.end()) throw std::invalid_argument("no field called " + w[1]);
      f.*(it->second) = num(2);
    } else if (c == "pan") {
      Check(Loaded(Buffer(w.at(1))).SetPan(num(2)));
    } else if (c == "volume") {
      Check(Loaded(Buffer(w.at(1))).SetVolume(num(2)));
    } else if (c == "enable" || c == "disable") {
      TimerNamed(w.at(1)).SetEnabled(c == "enable");
    } else if (c == "interval") {
      TimerNamed(w.at(1)).SetInterval(num(2));
    } else if (c == "tick") {
      const int32_t n = w.size() > 2 ? num(2) : 1;
      for (int32_t i = 0; i < n; ++i) Tick(w.at(1));
    } else if (c == "key") {
      w.at(1) == "down" ? vp.KeyDown(Key(w.at(2))) : vp.KeyUp(Key(w.at(2)));
      vp.DoEvents();
    } else if (c == "mouse" && w.at(1) == "move") {
      vp.MouseMove(num(2), num(3));
      vp.DoEvents();
    } else if (c == "mouse" && w.at(1) == "button") {
      vp.Button(num(2), w.at(3) == "down");
      vp.DoEvents();
    } else if (c == "pad") {
      // A gamepad as a backend hands it on: "pad added", "pad removed", "pad stick X Y",
      // "pad A down" (A B X Y Back Start LB RB Up Down); each followed by a pump.
      static const std::map<std::string, PadButton> kButtons = {
          {"A", PadButton::kA},         {"B", PadButton::kB},
          {"X", PadButton::kX},         {"Y", PadButton::kY},
          {"Back", PadButton::kBack},   {"Start", PadButton::kStart},
          {"LB", PadButton::kLeftShoulder}, {"RB", PadButton::kRightShoulder},
          {"Up", PadButton::kUp},       {"Down", PadButton::kDown}};
      const std::string& what = w.at(1);
      if (what == "added" || what == "removed") {
        what == "added" ? vp.PadAdded() : vp.PadRemoved();
      } else if (what == "stick") {
        vp.PadMoved({num(2), num(3)});
      } else if (auto it = kButtons.find(what); it != kButtons.end()) {
        vp.PadPressed(it->second, w.at(2) == "down");
      } else {
        throw std::invalid_argument("no pad input called " + what);
      }
      vp.DoEvents();
    } else if (c == "rumble") {
      // What the player chose to feel: strength, then hits walls goals near, each on or off.
      auto on = [&](size_t i) { return w.at(i) == "on"; };
      vp.SetRumble({num(1), on(2), on(3), on(4), on(5)});
    } else if (c == "run") {
      vp.RunFor(std::stod(w.at(1)));
    } else if (c == "pump") {
      vp.DoEvents();
    } else if (c == "time") {
      vp.SetTimeOfDay(std::stod(w.at(1)));
    } else if (c == "folder") {
      vp.SetProgramFolder(w.at(1));
    } else if (c == "sounds") {
      vp.SetSoundsFolder(w.at(1));
    } else if (c == "settings") {
      // The player's settings the recorded game started with: rate, voice, sounds, background,
      // and (since gamepads play) the rumble's strength and its four kinds.
      const std::vector<Settings::Name>& names = Settings::Names();
      if (w.size() != 5 && w.size() != names.size() + 1)
        throw std::invalid_argument("settings takes four or nine values");
      for (size_t i = 0; i + 1 < w.size(); ++i) {
        const auto v = ParseValue(names[i], w[i + 1]);
        if (!v) throw std::invalid_argument("'" + w[i + 1] + "' is not a " + NameOf(names[i]));
        guide.settings.Of(names[i]) = *v;
      }
    } else if (c == "language") {
      // The language the game spoke in (a recording's: with the voice that spoke it).
      const std::string folder = LocaleFolder(OwnFolder());
      const auto code = CatalogFor(w.at(1), CatalogsIn(folder));
      if (!code) throw std::invalid_argument("no catalog for the language " + w[1] + " in " + folder);
      UseLanguage(*code, folder);
      std::string voice;  // a voice's name may have spaces: "Spanish (Spain)"
      for (size_t i = 2; i < w.size(); ++i) voice += (i > 2 ? " " : "") + w[i];
      if (!voice.empty()) out << TraceLanguage(*code, voice) << "\n";
    } else if (c == "remove") {
      vp.RemoveFile(w.at(1));
    } else if (c == "close") {
      vp.RequestClose();
      vp.DoEvents();
    } else if (c == "print") {
      for (size_t i = 1; i < w.size(); ++i) Print(w[i]);
    } else {
      throw std::invalid_argument("unknown command " + c);
    }
  }
};

}  // namespace
}  // namespace palomir

// The next line of the script and its number, without its comment.
bool NextLine(std::istream& in, int& number, std::string& line) {
  if (!std::getline(in, line)) return false;
  ++number;
  if (auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
  return true;
}

int main(int argc, char** argv) {
  std::ifstream file;
  if (argc > 1) {
    file.open(argv[1]);
    if (!file) {
      std::cerr << "scenario: cannot open " << argv[1] << "\n";
      return 2;
    }
  }
  std::istream& in = argc > 1 ? file : std::cin;
  int number = 0;
  // A match's recording: both ends' inputs, run again tick by tick; each end's recording
  // gives the same lines.
  if (in.peek() == '#') {
    std::string first;
    std::getline(in, first);
    if (first.find(" match recording") != std::string::npos) {
      std::vector<std::string> lines;
      for (std::string line; std::getline(in, line);) lines.push_back(line);
      std::string error;
      if (!palomir::ReplayMatch(lines, [](const std::string& l) { std::cout << l << "\n"; },
                                error)) {
        std::cout.flush();
        std::cerr << "scenario: " << error << "\n";
        return 2;
      }
      return 0;
    }
    number = 1;  // the header: no line of the script
  }
  palomir::Runner r(std::cout);
  for (std::string line; NextLine(in, number, line);) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (w.empty()) continue;
    std::cout << "> " << line.substr(line.find_first_not_of(' ')) << "\n";
    try {
      if (w[0] == "start") {
        return r.Replay(palomir::Replay::LinesOf(in, number), number);  // read as the game asks
      }
      r.Do(w);
    } catch (const palomir::WindowUnloaded&) {
      std::cout << "window unloaded\n";
      palomir::ReleaseAudioAndInput(r.o);
      return 0;
    } catch (const palomir::RuntimeError& e) {
      std::cout << "error " << e.what() << "\n";
    } catch (const palomir::ReplayError& e) {
      std::cout.flush();
      std::cerr << "scenario: " << e.what() << "\n";
      return 2;
    } catch (const std::exception& e) {
      std::cout.flush();
      std::cerr << "scenario: line " << number << ": " << e.what() << "\n";
      return 2;
    }
  }
  r.vp.on_call = nullptr;  // the end of the script is not a call the game made
  return 0;
}
