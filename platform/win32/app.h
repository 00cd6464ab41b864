// The program's start on Windows: its command line in UTF-8, its folder, the console it
// was started from (for --help, --version and the game's messages), and the console's close
// requests (Ctrl+C, Ctrl+Break, the console closed) taken as the close box.
//
// Threads: the main thread, as the game starts; nothing here blocks. The console's requests
// come on a thread Windows makes: it asks the window to close (RequestClose, which only posts)
// and, when the console closes or the session ends, waits there 4 s for the game to end.
#pragma once
#ifdef _WIN32

#include <string>
#include <vector>

namespace palomir {
class Win32Platform;
}

namespace palomir::win32 {

// Before anything is printed: a game started from a console writes to it; one started from
// the desktop has no console and opens none.
void UseParentConsole();
// When the game could not start and its error output reaches no one (started from the
// Start menu or Explorer: no console, nothing redirected), says `why` in a message box
// titled Palomir, which screen readers read; else does nothing, the console has it. Blocks
// until the player closes the box; the game is over by then.
void ShowStartFailure(const std::string& why);
// The command line as the player typed it, each argument in UTF-8.
std::vector<std::string> Arguments();
// The folder the program is in, without a trailing separator.
std::string ProgramFolder();
// A relative path taken from the folder the game was started in.
std::string FromHere(const std::string& path);
// The player's display language as Windows names it ("de-DE", "pt-BR"); "" when unknown.
std::string UserLanguage();
// From now on the console's close requests close `platform`'s window; nothing while null.
// Waits for a request under way to have reached the platform it replaces, which may then go.
void CloseOnConsoleRequests(Win32Platform* platform);

}  // namespace palomir::win32

#endif
