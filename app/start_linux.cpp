// The game's start on Linux: the SDL machine, espeak-ng or speech-dispatcher, the desktop's
// language as gettext reads it.
#include "app/start.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "language/language.h"
#include "language/tr.h"
#include "platform/espeak/espeak_voice.h"
#include "platform/sdl/close_signals.h"
#include "platform/sdl/sdl_platform.h"

namespace palomir::start {

std::vector<std::string> Begin(int argc, char** argv) {
  // A standard stream the program was started without is opened on /dev/null, so that no
  // file the game opens later takes its number and gets its messages.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) close(null);  // only the lowest free number is wanted
  }
  CatchCloseSignals();
  return std::vector<std::string>(argv, argv + argc);
}

std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return ".";
  std::string exe(path, static_cast<size_t>(n));
  const auto slash = exe.find_last_of('/');
  if (slash == 0) return "/";
  return slash == std::string::npos ? "." : exe.substr(0, slash);
}

std::string FromHere(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char here[PATH_MAX];
  if (!getcwd(here, sizeof(here))) return path;
  return std::string(here) + "/" + path;
}

std::string DesktopLanguage(const std::vector<std::string>& catalogs) {
  // LANGUAGE, LC_ALL, LC_MESSAGES, LANG.
  return palomir::DesktopLanguage(catalogs, [](const char* name) { return std::getenv(name); });
}

bool ChooseVoice(const std::string& language, bool system_speech, std::string& voice,
                 bool& no_words) {
  const bool speaks = ChooseEspeakLanguage(language, "", voice, &no_words) || voice.empty();
  if (voice.empty()) voice = "none";
  // speech-dispatcher speaks in the language the game tells it; espeak-ng takes over in it.
  if (system_speech) voice = "speech-dispatcher";
  return speaks;
}

std::string UsageOptions() {
  // TRANSLATORS: keep the option names and the column the descriptions start in.
  return Tr(
      "  --speech=VOICE            embedded (default): the game's own voice, mixed with its\n"
      "                            sounds; system: speech-dispatcher, with the voice,\n"
      "                            language and rate set up for your screen reader\n"
      "  --sounds=DIR              where the ten sound files are (default: beside the\n"
      "                            program, else PREFIX/share/palomir/sounds)\n"
      "  --record=FILE             write down everything that reaches the game (keys,\n"
      "                            mouse, timer ticks, the clock) so that the game can be\n"
      "                            replayed exactly; attach FILE when you report a problem\n"
      "  --trace=FILE              write every sound, timer and speech call the game makes\n"
      "  --language=CODE           the language the game speaks and writes: en, de, es, fr,\n"
      "                            pt_BR or ru (default: the desktop's)\n");
}

std::string SettingsPlace() {
  return "~/.config/palomir/settings";
}

std::string UsageEnd() {
  return Tr(
      "Exit status: 0 when the game was played and closed, 1 when it could not start,\n"
      "2 for a bad command line. See palomir(6) for how to play.\n");
}

std::unique_ptr<MachineCore> MakeMachine(const std::string& folder, const std::string& sounds,
                                         bool system_speech) {
  return std::make_unique<SdlPlatform>(folder, "", sounds, system_speech);
}

void CouldNotStart(const std::string&) {
  // The error output has it: the desktop keeps it in the session's log.
}

std::shared_ptr<void> WhilePlaying(MachineCore&, std::function<void()>) {
  // Signals close the game as the close box does (CatchCloseSignals, at the start).
  return nullptr;
}

}  // namespace palomir::start
