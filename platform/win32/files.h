// Files on Windows, where the game keeps its paths in UTF-8 as on Linux: wide-character
// names for every call (a player's folder may be C:\Users\Zoë), binary files, a file's
// identity by its volume and index (Windows has no inode numbers), and a rename that
// replaces what is there.
#pragma once
#ifdef _WIN32

#include <fcntl.h>

#include <cstdint>
#include <filesystem>
#include <string>

// Not inherited by a program the game starts: Windows' word for close-on-exec.
#ifndef O_CLOEXEC
#define O_CLOEXEC _O_NOINHERIT
#endif

namespace palomir::win32 {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
// A path for the standard library's streams and std::filesystem.
std::filesystem::path PathOf(const std::string& utf8);

// The errno value nearest a Windows error code (ENOENT, EACCES, EEXIST, ENOSPC, ...), so that
// messages read as they do on Linux.
int ErrnoOf(unsigned long error);

// The settings file: %APPDATA%\Palomir\settings; empty when there is no such folder.
std::string SettingsPath();
// Makes the folders a file's path names, as far as the player may.
void MakeFoldersFor(const std::string& file);

// One file's identity: the same file under another name, a hard link included, has the same.
struct FileId {
  uint32_t volume = 0;
  uint64_t index = 0;
  bool known = false;
  bool operator==(const FileId&) const = default;
};
// Of an open C runtime file descriptor; unknown for a device or pipe.
FileId IdOf(int fd);

// The few POSIX file calls the settings file makes, for Windows: wide names, binary files,
// and rename() replacing a file that is there, as on Linux. They set errno.
int mkdir(const char* path, int mode);
int open(const char* path, int flags, int mode);
int fsync(int fd);
int rename(const char* from, const char* to);
int unlink(const char* path);

}  // namespace palomir::win32

#endif
