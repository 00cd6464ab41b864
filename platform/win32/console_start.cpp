// palomir.com: the game from a command prompt. palomir.exe is a program of the desktop, so
// cmd gives the prompt back at once and the game's lines and status come after it; cmd takes
// palomir.com before palomir.exe when the player types "palomir". This console program starts
// palomir.exe beside it with the same arguments and the same standard handles, waits for it
// and ends with its status, as a console program does.
//
// Threads: its one thread, which waits for the game for as long as it plays.
#include <windows.h>

#include <string>

namespace {

// The arguments as they were typed, after the program's own name.
const wchar_t* Arguments(const wchar_t* line) {
  if (*line == L'"') {
    ++line;
    while (*line && *line != L'"') ++line;
    if (*line) ++line;
  } else {
    while (*line && *line != L' ' && *line != L'\t') ++line;
  }
  return line;
}

}  // namespace

int main() {
  std::wstring exe(32768, L'\0');
  exe.resize(GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size())));
  const size_t dot = exe.find_last_of(L'.');
  if (dot != std::wstring::npos) exe.resize(dot);
  exe += L".exe";
  std::wstring line = L"\"" + exe + L"\"" + Arguments(GetCommandLineW());
  STARTUPINFOW start{};
  start.cb = sizeof(start);
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  start.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION game{};
  if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &start, &game)) {
    // Said in English: the game, which has the player's language, could not be reached.
    const std::string why = "palomir: cannot start palomir.exe beside palomir.com (Windows error " +
                            std::to_string(GetLastError()) + ")\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), why.data(), static_cast<DWORD>(why.size()), &written,
              nullptr);
    return 1;
  }
  // Ctrl+C and the console's close reach the game too, which closes its window: this program
  // stays to pass on its status.
  SetConsoleCtrlHandler(nullptr, TRUE);
  WaitForSingleObject(game.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(game.hProcess, &status);
  CloseHandle(game.hThread);
  CloseHandle(game.hProcess);
  return static_cast<int>(status);
}
