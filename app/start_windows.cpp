// The game's start on Windows: the Win32 machine, SAPI or the screen reader, the player's
// display language, the console it was started from.
#include "app/start.h"

#include <cstdlib>

#include "language/language.h"
#include "language/tr.h"
#include "platform/win32/app.h"
#include "platform/win32/sapi_voice.h"
#include "platform/win32/win32_platform.h"

namespace palomir::start {

std::vector<std::string> Begin(int, char**) {
  win32::UseParentConsole();
  return win32::Arguments();
}

std::string ProgramFolder() {
  return win32::ProgramFolder();
}

std::string FromHere(const std::string& path) {
  return win32::FromHere(path);
}

std::string DesktopLanguage(const std::vector<std::string>& catalogs) {
  // The player's display language, unless LANGUAGE names one the game has.
  const std::string asked = palomir::DesktopLanguage(catalogs, [](const char* name) {
    return std::string(name) == "LANGUAGE" ? std::getenv(name) : nullptr;
  });
  return asked.empty() ? win32::UserLanguage() : asked;
}

bool ChooseVoice(const std::string& language, bool system_speech, std::string& voice,
                 bool& no_words) {
  no_words = false;  // a SAPI voice of the language has its data
  // The screen reader speaks in its own language; else the SAPI voice of the language.
  if (system_speech) {
    voice = "screen-reader";
    return true;
  }
  const bool speaks = ChooseSapiLanguage(language, voice) || voice.empty();
  if (voice.empty()) voice = "none";
  return speaks;
}

std::string UsageOptions() {
  // Windows' own words for the screen reader, the sounds' folder and the language.
  // TRANSLATORS: keep the option names and the column the descriptions start in.
  return Tr(
      "  --speech=VOICE            embedded (default): the game's own voice, mixed with its\n"
         "                            sounds; system: your screen reader (NVDA, JAWS,\n"
         "                            Narrator), through UI Automation notifications\n"
         "  --sounds=DIR              where the ten sound files are (default: the folder\n"
         "                            sounds beside palomir.exe)\n"
         "  --record=FILE             write down everything that reaches the game (keys,\n"
         "                            mouse, timer ticks, the clock) so that the game can be\n"
         "                            replayed exactly; attach FILE when you report a problem\n"
         "  --trace=FILE              write every sound, timer and speech call the game makes\n"
         "  --language=CODE           the language the game speaks and writes: en, de, es, fr,\n"
         "                            pt_BR or ru (default: Windows' display language)\n");
}

std::string SettingsPlace() {
  return "%APPDATA%\\Palomir\\settings";
}

std::string UsageEnd() {
  return Tr(
      "Exit status: 0 when the game was played and closed, 1 when it could not start,\n"
      "2 for a bad command line. See README.txt beside palomir.exe for how to play.\n");
}

std::unique_ptr<MachineCore> MakeMachine(const std::string& folder, const std::string& sounds,
                                         bool system_speech) {
  return std::make_unique<Win32Platform>(folder, "", sounds, system_speech);
}

void CouldNotStart(const std::string& why) {
  win32::ShowStartFailure(why);
}

std::shared_ptr<void> WhilePlaying(MachineCore& machine, std::function<void()> flush) {
  auto& platform = static_cast<Win32Platform&>(machine);  // MakeMachine's
  win32::CloseOnConsoleRequests(&platform);
  platform.set_session_end(std::move(flush));
  // Before the window goes, the console no longer reaches it.
  return std::shared_ptr<void>(nullptr, [](void*) { win32::CloseOnConsoleRequests(nullptr); });
}

}  // namespace palomir::start
