// The few file operations the game needs to write the player's files without ever harming
// one that is not its own: which file an open descriptor is, creating a file only where none
// is, renaming without replacing, and removing a file only while it is still the one the game
// made. Descriptors are the C library's (open/_open); nothing here names a system's types,
// so that each system has its own files_*.cpp beside this header.
//
// Threads: any; nothing here is shared. Every call but FolderOf and SettingsFile is a system
// call that waits on the disk (a network folder may take long). LockFolder also waits for the
// other game that holds the lock, Sync for the disk to have the data, WaitWritable `ms` at
// most, and RenameOver on Windows up to a second while another program reads the file.
// Unlock on the thread that locked (on Windows the lock is that thread's).
#pragma once

#include <cstdint>
#include <string>

namespace palomir::files {

// Which file it is, by the system's own numbers (device and inode, or volume and file index).
struct FileId {
  uint64_t volume = 0;
  uint64_t number = 0;
  bool operator==(const FileId&) const = default;
};

enum class Kind { kMissing, kPlain, kFolder, kPipe, kTerminal, kDevice, kLink, kOther };

struct Info {
  FileId id;
  Kind kind = Kind::kMissing;
  uint64_t size = 0;
  bool writable = true;  // the player may write to it (a read-only file is left alone)
  unsigned mode = 0644;  // who may read and write it, to carry over to a file written anew
};

// What an open descriptor is. False with `error` (an errno value) when it cannot be told.
bool InfoOf(int fd, Info& info, int& error);
// What a name is, without following a link at its end (a link is kLink) unless `follow`. A
// name that is not there is kMissing, and true.
bool InfoAt(const std::string& path, Info& info, int& error, bool follow = false);

enum Open : unsigned {
  kRead = 1,
  kWrite = 2,
  kCreateNew = 4,   // made here, never there before (never through a link), readable by all
  kNoWait = 8,      // a pipe with no one at its other end does not hold the caller
  kNoFollow = 16,   // a link at the end of the name is refused
};
// Opens `path` in binary mode, closed in any program the game starts. -1 with `error`.
int OpenFile(const std::string& path, unsigned how, int& error);
// A new file made in `folder` under a name no other file has ("PREFIX" and a few random
// letters), for writing; its name in `made`. -1 with `error`.
int CreateUnique(const std::string& folder, const std::string& prefix, std::string& made,
                 int& error);
// Reads up to `size` bytes: how many (0 at the end), or -1 with `error`.
long ReadSome(int fd, void* data, size_t size, int& error);
// Writes up to `size` bytes without waiting where the file does not wait (a pipe opened with
// kNoWait): how many, or -1 with `error` (EAGAIN when the reader is behind). Safe in a crash
// handler: the system's write call alone.
long WriteSome(int fd, const void* data, size_t size, int& error);
// Waits up to `ms` milliseconds for room to write: false when there was none.
bool WaitWritable(int fd, int ms);
// Writes all of `size` bytes, waiting for them; false with `error`.
bool WriteAll(int fd, const void* data, size_t size, int& error);
// Empties an open file.
bool Empty(int fd, int& error);
// Gives an open file the permissions another file had (`Info::mode`).
void KeepMode(int fd, unsigned mode);
// Writes what was written down to the disk.
bool Sync(int fd, int& error);
void Close(int fd);

// Renames `from` to `to` only where `to` is not there: 0, or EEXIST when it is, or another
// errno value.
int RenameNoReplace(const std::string& from, const std::string& to);
#ifndef _WIN32
// RenameNoReplace where the file system cannot rename without replacing (some network and
// FUSE folders): a second name, made only where none is, then the first removed; the same
// answers.
int RenameByLink(const std::string& from, const std::string& to);
#endif
// Renames `from` over `to` in one step: whoever reads `to` sees the old file or the new one.
int RenameOver(const std::string& from, const std::string& to);
// Removes `path` only while it is the file `id` (the one this game made): a file put there in
// its place meanwhile stays. Whether it was removed.
bool RemoveIfSame(const std::string& path, const FileId& id);

// A lock on a folder, held between games on one machine while one of them rewrites a file in
// it; waits for the other. Where the folder cannot be locked (some network folders), -1 and
// no lock: each game then still writes whole files only.
int LockFolder(const std::string& folder);
void Unlock(int lock);

// Makes one folder, for this player alone: 0, EEXIST when a folder is there already, or
// another errno value.
int MakeFolder(const std::string& path);
// How much of `path` is its root, which no one can make: "/" on Linux; on Windows a drive
// ("C:\"), a share ("\\server\share\") and their long forms ("\\?\C:\",
// "\\?\UNC\server\share\"). 0 for a relative path. Any thread; does not block.
size_t RootLength(const std::string& path);

// What parts a path: '/', and on Windows '\\' too.
#ifdef _WIN32
inline constexpr const char* kSeparators = "/\\";
#else
inline constexpr const char* kSeparators = "/";
#endif

// Any thread; does not block. Where this user's settings file for the game is, as the system
// keeps programs' settings: on Linux $XDG_CONFIG_HOME/palomir/settings (a whole path), else
// ~/.config/palomir/settings; on Windows %APPDATA%\Palomir\settings. "" when the environment
// names no such place, with `why` (when given) saying so in the player's words.
std::string SettingsFile(std::string* why);

// The folder `path` is in ("." for a bare name) and the name's last part.
std::string FolderOf(const std::string& path);
// The file a link leads to, whole; "" when it leads nowhere.
std::string Resolved(const std::string& path);

}  // namespace palomir::files
