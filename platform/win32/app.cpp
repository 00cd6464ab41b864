#include "platform/win32/app.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <filesystem>
#include <mutex>

#include "platform/win32/wide.h"
#include "platform/win32/win32_platform.h"

namespace palomir::win32 {

namespace {
// The platform the console's requests close, and a lock that keeps it from going while a
// request reaches it (the handler runs on a thread of Windows' own).
std::mutex g_lock;
Win32Platform* g_platform = nullptr;

BOOL WINAPI OnConsole(DWORD event) {
  {
    std::lock_guard lock(g_lock);
    if (!g_platform) return FALSE;  // before the window, or after it: Windows' usual end
    g_platform->RequestClose();
  }
  // Closing the console, logging off or shutting down end the process once this returns:
  // the game thread is given the time Windows allows to close the game.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    Sleep(4000);
  }
  return TRUE;
}

// Whether the game's error output reaches the player or a file (UseParentConsole).
bool g_error_read = false;

}  // namespace

void UseParentConsole() {
  // Output already sent somewhere (a file, a pipe) stays there.
  const bool out = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) != FILE_TYPE_UNKNOWN;
  const bool err = GetFileType(GetStdHandle(STD_ERROR_HANDLE)) != FILE_TYPE_UNKNOWN;
  g_error_read = err;
  if ((!out || !err) && AttachConsole(ATTACH_PARENT_PROCESS)) {
    if (!out) std::freopen("CONOUT$", "w", stdout);
    if (!err) std::freopen("CONOUT$", "w", stderr);
    g_error_read = true;
  }
  SetConsoleOutputCP(CP_UTF8);
  SetConsoleCtrlHandler(OnConsole, TRUE);
}

void ShowStartFailure(const std::string& why) {
  if (g_error_read) return;
  MessageBoxW(nullptr, Wide(why).c_str(), L"Palomir", MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

std::vector<std::string> Arguments() {
  int n = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
  std::vector<std::string> args;
  for (int i = 0; i < n; ++i) args.push_back(Utf8(wide[i]));
  LocalFree(wide);
  return args;
}

std::string ProgramFolder() {
  std::wstring path(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(n);
  return Utf8(std::filesystem::path(path).parent_path().wstring());
}

std::string FromHere(const std::string& path) {
  if (path.empty()) return path;
  std::error_code ignored;
  return Utf8(std::filesystem::absolute(PathOf(path), ignored).wstring());
}

std::string UserLanguage() {
  // The first of the player's preferred display languages, else the one the user has.
  ULONG count = 0, size = 0;
  if (GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, nullptr, &size) && size > 1) {
    std::wstring names(size, L'\0');
    if (GetUserPreferredUILanguages(MUI_LANGUAGE_NAME, &count, names.data(), &size) &&
        names[0] != L'\0') {
      return Utf8(names.c_str());
    }
  }
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  if (LCIDToLocaleName(MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT), name,
                       LOCALE_NAME_MAX_LENGTH, 0) > 0) {
    return Utf8(name);
  }
  return "";
}

void CloseOnConsoleRequests(Win32Platform* platform) {
  std::lock_guard lock(g_lock);
  g_platform = platform;
}

}  // namespace palomir::win32
