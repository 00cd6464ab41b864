// What starting the game differs in from one system to the next. Each system has a file of
// its own, built into the program beside app/main.cpp: app/start_linux.cpp (the SDL machine)
// and app/start_windows.cpp (the Win32 machine). Everything else in app/ is the same game on
// every system.
//
// Threads: the main thread (the game thread), before and while the game plays. Nothing here
// blocks but DesktopLanguage and ChooseVoice, which read the disk (the catalogs, the voices'
// data), and MakeMachine, which opens the window system.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/core/machine.h"

namespace palomir::start {

// Before anything is printed: the process's standard streams and its close signals made
// ready; the command line as the player typed it, each argument in UTF-8.
std::vector<std::string> Begin(int argc, char** argv);
// The folder the program is in, without a trailing separator.
std::string ProgramFolder();
// A relative path named on the command line, taken from the folder the game was started in
// (the game moves to its own folder as it loads).
std::string FromHere(const std::string& path);
// The language the desktop asks for, as the system tells it (a code as people write it,
// "de_DE.UTF-8", "pt-BR"); "" when it says nothing. `catalogs`: the game's languages.
std::string DesktopLanguage(const std::vector<std::string>& catalogs);
// The voice that will speak `language` (not English), as a recording and a trace name it
// ("none" when no voice is there). False when there is a voice but it does not speak the
// language, or its data has no words (`no_words`): the game is then played in English.
bool ChooseVoice(const std::string& language, bool system_speech, std::string& voice,
                 bool& no_words);
// The option lines of --help that are the system's own (the voices, the sounds' folder, the
// default language), where the settings file is kept, and its last lines (where to read
// more).
std::string UsageOptions();
std::string SettingsPlace();
std::string UsageEnd();
// The system's machine. Throws RuntimeError, in the player's words, when it cannot be made.
std::unique_ptr<MachineCore> MakeMachine(const std::string& folder, const std::string& sounds,
                                         bool system_speech);
// The game could not start, for `why` (already written to the error output, in the player's
// words): on Windows, a player who started it from the Start menu, with no console to read,
// is shown it in a message box, which blocks until it is closed. Nothing more on Linux.
void CouldNotStart(const std::string& why);
// The system's own ways to end a game, for as long as the returned object lives: on Windows
// the console's close requests close the window, and `flush` writes the files out as the
// session ends (the player logs off). Made before the game plays, let go before the machine.
std::shared_ptr<void> WhilePlaying(MachineCore& machine, std::function<void()> flush);

}  // namespace palomir::start
