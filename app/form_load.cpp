// Start-up: the window's load handler builds everything in one fixed order, then starts
// the first game. A step that fails is abandoned and start-up goes on with the next.
#include <array>
#include <functional>

#include "audio/sound_bank.h"
#include "game/main_form.h"
#include "language/tr.h"
#include "platform/arith.h"

namespace palomir {

struct FormLoadSteps {
  struct Step {
    const char* name;
    std::function<void()> run;
  };
  static std::array<Step, 24> Make(MainForm& f) {
    ProgramObjects& o = f.o_;
    Window& w = f.window_;
    auto need = [](auto& object, const char* what) -> auto& {
      if (!object) throw RuntimeError(std::string("no ") + what);
      return *object;
    };
    return {{
        {"ScaleMode", [&w] { Check(w.SetScaleMode(3)); }},
        {"create the voice", [&f] { Check(f.platform_.CreateVoice(f.Voice)); }},
        {"current directory", [&w] { Check(w.SetCurrentDirectory(w.ProgramFolder())); }},
        {"show the window", [&w] { Check(w.Show()); }},
        {"HitTolerance", [&f] { f.HitTolerance = 2000; }},
        {"create DxRoot", [&f, &o] { Check(f.platform_.CreateDxRoot(o.DxRoot)); }},
        {"DirectSoundCreate",
         [&o, need] { Check(need(o.DxRoot, "DxRoot").DirectSoundCreate("", o.SoundDevice)); }},
        {"sound SetCooperativeLevel",
         [&o, &w, need] {
           Check(need(o.SoundDevice, "sound device").SetCooperativeLevel(w.Handle(), 2));
         }},
        {"BufferDesc", [&o] { o.BufferDesc.flags = 0x20 | 0x40 | 0x80; }},
        {"DirectInputCreate",
         [&o, need] { Check(need(o.DxRoot, "DxRoot").DirectInputCreate(o.InputRoot)); }},
        {"create the keyboard",
         [&o, need] {
           Check(need(o.InputRoot, "InputRoot").CreateDevice("GUID_SysKeyboard", o.KeyboardDevice));
         }},
        {"create the mouse",
         [&o, need] {
           Check(need(o.InputRoot, "InputRoot").CreateDevice("guid_SysMouse", o.MouseDevice));
         }},
        {"mouse SetCommonDataFormat",
         [&o, need] { Check(need(o.MouseDevice, "mouse").SetCommonDataFormat(kFormatMouse)); }},
        {"mouse SetCooperativeLevel",
         [&o, &w, need] {
           Check(need(o.MouseDevice, "mouse")
                     .SetCooperativeLevel(w.Handle(), kLevelExclusive | kLevelForeground));
         }},
        {"mouse buffer size",
         [&o, need] {
           Check(need(o.MouseDevice, "mouse").SetProperty("DIPROP_BUFFERSIZE", PropLong{0, 0, 10}));
         }},
        {"CreateEvent",
         [&f, &o, need] {
           Check(need(o.DxRoot, "DxRoot")
                     .CreateEvent(
                         [&f](int32_t id) {
                           f.Guarded("input", [&f, id] { f.DirectXEvent8_DXCallback(id); });
                         },
                         f.EventHandle));
         }},
        {"mouse SetEventNotification",
         [&f, &o, need] {
           Check(need(o.MouseDevice, "mouse").SetEventNotification(f.EventHandle));
         }},
        {"mouse Acquire", [&o, need] { Check(need(o.MouseDevice, "mouse").Acquire()); }},
        {"keyboard SetCommonDataFormat",
         [&o, need] {
           Check(need(o.KeyboardDevice, "keyboard").SetCommonDataFormat(kFormatKeyboard));
         }},
        {"keyboard SetCooperativeLevel",
         [&o, &w, need] {
           Check(need(o.KeyboardDevice, "keyboard")
                     .SetCooperativeLevel(w.Handle(), kLevelExclusive | kLevelBackground));
         }},
        {"keyboard SetEventNotification",
         [&f, &o, need] {
           Check(need(o.KeyboardDevice, "keyboard").SetEventNotification(f.EventHandle));
         }},
        {"keyboard Acquire", [&o, need] { Check(need(o.KeyboardDevice, "keyboard").Acquire()); }},
        {"LoadSounds", [&o, &w] { LoadSounds(o, w); }},
        {"NewGame", [&f] { f.NewGame(); }},
    }};
  }
};

namespace {
// The keyboard's background level: this system never grants it, and says so every time.
constexpr size_t kKeyboardLevelStep = 20;
constexpr size_t kVoiceStep = 2;
constexpr size_t kSoundOutputStep = 7;
constexpr size_t kLoadSoundsStep = 23;
constexpr size_t kNewGameStep = 24;
}  // namespace

bool MainForm::CannotPlay(std::string& spoken, std::vector<std::string>& printed) const {
  auto failure = [this](size_t step) {
    auto it = startup_failures_.find(step);
    return it == startup_failures_.end() ? std::string() : it->second;
  };
  auto because = [](const std::string& reason) {
    return reason.empty() ? std::string() : " (" + reason + ")";
  };
  if (!o_.SoundDevice) {
    // TRANSLATORS: spoken and printed after "Palomir cannot start:".
    spoken = Tr("no sound output could be opened");
    const std::string reason = failure(kSoundOutputStep);
    printed = {spoken + because(reason) + platform_.NoSoundOutputHelp(reason)};
  } else if (!o_.MouseDevice) {
    spoken = Tr("the mouse could not be opened");
    printed = {spoken};
  } else if (!o_.KeyboardDevice) {
    spoken = Tr("the keyboard could not be opened");
    printed = {spoken};
  } else {
    for (const SoundFile& row : kSoundFiles) {
      if (row.buffer == &ProgramObjects::SoundBackground) break;  // never played
      if (!(o_.*row.buffer)) {
        spoken = Fill(Tr("the sound file %s could not be loaded"), row.file);
        const std::string reason = failure(kLoadSoundsStep);
        // The sounds beside the program or installed with it came with the game; any other
        // folder was named by the player.
        const std::string sounds = window_.SoundsFolder();
        const std::string installed = "/share/palomir/sounds";
        const bool own =
            sounds == window_.ProgramFolder() + "/sounds" ||
            (sounds.size() >= installed.size() &&
             sounds.compare(sounds.size() - installed.size(), std::string::npos, installed) == 0);
        printed = {
            reason.empty() ? spoken : reason,
            own ? Tr("reinstall the game, or name the folder that holds its sounds with --sounds")
                : Fill(Tr("put the game's sound files in %s, the folder named with --sounds, or "
                          "leave --sounds out to play with the sounds the game came with"),
                       sounds)};
        break;
      }
    }
  }
  return !spoken.empty();
}

bool MainForm::Form_Load() {
  auto steps = FormLoadSteps::Make(*this);
  for (size_t i = 0; i < steps.size(); ++i) {
    const size_t number = i + 1;
    if (number == kNewGameStep) {
      std::string why;
      std::vector<std::string> lines;
      if (CannotPlay(why, lines)) {
        for (const std::string& line : lines) Report(line);
        try {
          // TRANSLATORS: spoken; the reason follows the colon.
          Speak(Fill(Tr("Palomir cannot start: %s."), why), kSpeakWait);
        } catch (const RuntimeError&) {
          // Said on stderr already; a voice that fails now has nothing more to add.
        } catch (const WindowUnloaded&) {
          // Closed while the reason was read out: the game still could not start.
        }
        ReleaseAudioAndInput(o_);
        return false;
      }
    }
    try {
      steps[i].run();
    } catch (const RuntimeError& e) {
      startup_failures_[number] = e.what();
      if (number != kKeyboardLevelStep) {
        Detail("start-up step " + std::to_string(number) + " (" + steps[i].name + "): " + e.what());
      }
      // What the player is told of a failure the game plays on without.
      if (number == kVoiceStep) {
        Report(Fill(Tr("the voice could not be started (%s); the game plays without speech"),
                    std::string(e.what())));
      }
      if (number == kLoadSoundsStep && !o_.SoundBackground && o_.SoundPaddleSlide) {
        Report(Fill(Tr("%s; the game plays without it"), std::string(e.what())));
      }
    }
  }
  return true;
}

void MainForm::Form_Unload(int32_t& /*cancel*/) {
  o_.Form = nullptr;
}

}  // namespace palomir
