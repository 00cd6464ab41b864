// Windows keeps names in UTF-16 where the game keeps its text in UTF-8 as on Linux: the two
// converted, Windows' error codes as errno values, and where the settings live. Any thread;
// pure.
#pragma once
#ifdef _WIN32

#include <filesystem>
#include <string>

namespace palomir::win32 {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
// A path for the standard library's streams and std::filesystem.
std::filesystem::path PathOf(const std::string& utf8);

// The errno value nearest a Windows error code (ENOENT, EACCES, EEXIST, ENOSPC, ...), so that
// messages read as they do on Linux.
int ErrnoOf(unsigned long error);

}  // namespace palomir::win32

#endif
