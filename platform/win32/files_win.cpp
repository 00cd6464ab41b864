// The file operations on Windows (platform/files.h): wide-character names (a player's folder
// may be C:\Users\Zoë), binary files, a file known by its volume and index (Windows has no
// inode numbers), files shared for reading, writing and renaming while the game writes them,
// and renames that replace only when asked to. Helpers for the rest of the Windows machine
// (platform/win32/wide.h) live here too.
#include "platform/files.h"

#include "language/tr.h"
#include "platform/win32/wide.h"

#include <fcntl.h>
#include <io.h>
#include <shlobj.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <random>

namespace palomir::win32 {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                    nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(Wide(utf8));
}

int ErrnoOf(unsigned long error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_CANT_RESOLVE_FILENAME:
      return ELOOP;
    default:
      return EIO;
  }
}


}  // namespace palomir::win32

namespace palomir::files {

using win32::ErrnoOf;
using win32::Wide;

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE HandleOf(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

bool FromHandle(HANDLE h, Info& info, int& error) {
  info = Info{};
  switch (GetFileType(h)) {
    case FILE_TYPE_DISK: {
      BY_HANDLE_FILE_INFORMATION bh{};
      if (!GetFileInformationByHandle(h, &bh)) {
        error = ErrnoOf(GetLastError());
        return false;
      }
      info.id = {bh.dwVolumeSerialNumber, (uint64_t{bh.nFileIndexHigh} << 32) | bh.nFileIndexLow};
      const bool folder = bh.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
      info.kind = folder ? Kind::kFolder : Kind::kPlain;
      info.size = folder ? 0 : (uint64_t{bh.nFileSizeHigh} << 32) | bh.nFileSizeLow;
      info.writable = !(bh.dwFileAttributes & FILE_ATTRIBUTE_READONLY);
      info.mode = info.writable ? 0644 : 0444;
      return true;
    }
    case FILE_TYPE_PIPE:
      info.kind = Kind::kPipe;
      return true;
    case FILE_TYPE_CHAR: {
      DWORD mode = 0;
      info.kind = GetConsoleMode(h, &mode) ? Kind::kTerminal : Kind::kDevice;  // NUL, COM1
      return true;
    }
    default:
      info.kind = Kind::kOther;
      return true;
  }
}

int FdOf(HANDLE h, unsigned how, int& error) {
  const int flags = ((how & kRead) && (how & kWrite)) ? _O_RDWR
                    : (how & kWrite)                  ? _O_WRONLY
                                                      : _O_RDONLY;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
  if (fd < 0) {
    error = EMFILE;
    CloseHandle(h);
  }
  return fd;
}

bool IsMissing(DWORD why) {
  return why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND;
}

}  // namespace

bool InfoOf(int fd, Info& info, int& error) {
  const HANDLE h = HandleOf(fd);
  if (h == INVALID_HANDLE_VALUE) {
    error = EBADF;
    return false;
  }
  return FromHandle(h, info, error);
}

bool InfoAt(const std::string& path, Info& info, int& error, bool follow) {
  // Opened to be looked at only: no reading, no writing, a folder or a link itself included.
  const HANDLE h = CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                               OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                               nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD why = GetLastError();
    if (IsMissing(why)) {
      info = Info{};
      return true;
    }
    error = ErrnoOf(why);
    return false;
  }
  const bool ok = FromHandle(h, info, error);
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (ok && !follow && GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof(tag)) &&
      (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      (tag.ReparseTag == IO_REPARSE_TAG_SYMLINK || tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT)) {
    info.kind = Kind::kLink;
  }
  CloseHandle(h);
  return ok;
}

int OpenFile(const std::string& path, unsigned how, int& error) {
  DWORD access = 0;
  if (how & kRead) access |= GENERIC_READ;
  if (how & kWrite) access |= GENERIC_WRITE;
  // CREATE_NEW fails on anything already there, a link included, and never follows one.
  const DWORD disposition = (how & kCreateNew) ? CREATE_NEW : OPEN_EXISTING;
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | ((how & kNoFollow) ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  const HANDLE h = CreateFileW(Wide(path).c_str(), access, kShareAll, nullptr, disposition, flags,
                               nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = ErrnoOf(GetLastError());
    return -1;
  }
  if (how & kNoFollow) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof(tag)) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      CloseHandle(h);
      error = ELOOP;
      return -1;
    }
  }
  return FdOf(h, how, error);
}

int CreateUnique(const std::string& folder, const std::string& prefix, std::string& made,
                 int& error) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device random;
  for (int tries = 0; tries < 100; ++tries) {
    std::string name = folder + "\\" + prefix;
    for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof(kLetters) - 1)];
    const int fd = OpenFile(name, kRead | kWrite | kCreateNew, error);
    if (fd >= 0) {
      made = name;
      return fd;
    }
    if (error != EEXIST) return -1;
  }
  return -1;
}

long ReadSome(int fd, void* data, size_t size, int& error) {
  DWORD n = 0;
  if (ReadFile(HandleOf(fd), data, static_cast<DWORD>(std::min<size_t>(size, 1u << 30)), &n,
               nullptr)) {
    return static_cast<long>(n);
  }
  const DWORD why = GetLastError();
  if (why == ERROR_BROKEN_PIPE || why == ERROR_HANDLE_EOF) return 0;  // the other end is gone
  error = ErrnoOf(why);
  return -1;
}

long WriteSome(int fd, const void* data, size_t size, int& error) {
  // The system's call on the handle alone, without the C library's locks: safe in a crash.
  DWORD n = 0;
  if (WriteFile(HandleOf(fd), data, static_cast<DWORD>(std::min<size_t>(size, 1u << 30)), &n,
                nullptr)) {
    return static_cast<long>(n);
  }
  error = ErrnoOf(GetLastError());
  return -1;
}

bool WaitWritable(int, int) {
  return true;  // Windows' writes wait for room on their own
}

bool WriteAll(int fd, const void* data, size_t size, int& error) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const long n = WriteSome(fd, at, size, error);
    if (n <= 0) {
      if (n == 0) error = ENOSPC;
      return false;
    }
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool Empty(int fd, int& error) {
  const HANDLE h = HandleOf(fd);
  LARGE_INTEGER start{};
  if (SetFilePointerEx(h, start, nullptr, FILE_BEGIN) && SetEndOfFile(h)) return true;
  error = ErrnoOf(GetLastError());
  return false;
}

void KeepMode(int, unsigned) {
  // A file's permissions on Windows come from its folder; the new file already has them.
}

bool Sync(int fd, int& error) {
  if (FlushFileBuffers(HandleOf(fd))) return true;
  error = ErrnoOf(GetLastError());
  return false;
}

void Close(int fd) {
  if (fd >= 0) ::_close(fd);
}

int RenameNoReplace(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING, a name already taken is never replaced.
  if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_WRITE_THROUGH)) return 0;
  return ErrnoOf(GetLastError());
}

int RenameOver(const std::string& from, const std::string& to) {
  // A file another program is reading cannot be replaced on Windows until it is closed: a
  // reader (another game, an editor, a virus scanner) is given a moment.
  DWORD why = 0;
  for (int tries = 0; tries < 100; ++tries) {
    if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return 0;
    }
    why = GetLastError();
    if (why != ERROR_ACCESS_DENIED && why != ERROR_SHARING_VIOLATION) break;
    Sleep(10);
  }
  return ErrnoOf(why);
}

bool RemoveIfSame(const std::string& path, const FileId& id) {
  // Opened by name, looked at, and deleted through that very handle: a file put at that name
  // meanwhile is the one looked at, and stays.
  const HANDLE h = CreateFileW(Wide(path).c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll,
                               nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  Info info;
  int error = 0;
  bool removed = false;
  if (FromHandle(h, info, error) && info.kind == Kind::kPlain && info.id == id) {
    FILE_DISPOSITION_INFO gone{};
    gone.DeleteFile = TRUE;
    removed = SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof(gone));
  }
  CloseHandle(h);
  return removed;
}

int LockFolder(const std::string& folder) {
  // A folder cannot be locked on Windows: a mutex named after it is, by every game of this
  // player's session, and waited for. One whose game ended while holding it is taken over.
  std::wstring name = Wide(Resolved(folder).empty() ? folder : Resolved(folder));
  for (wchar_t& c : name) c = static_cast<wchar_t>(towlower(c));
  wchar_t hex[17];
  swprintf(hex, 17, L"%016llx", static_cast<unsigned long long>(std::hash<std::wstring>{}(name)));
  const std::wstring mutex = std::wstring(L"Local\\palomir-settings-") + hex;
  const HANDLE h = CreateMutexW(nullptr, FALSE, mutex.c_str());
  if (!h) return -1;
  const DWORD got = WaitForSingleObject(h, INFINITE);
  if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) {
    CloseHandle(h);
    return -1;
  }
  // A kernel handle's value always fits in 32 bits.
  return static_cast<int>(reinterpret_cast<intptr_t>(h));
}

void Unlock(int lock) {
  if (lock < 0) return;
  const HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(lock));
  ReleaseMutex(h);
  CloseHandle(h);
}

int MakeFolder(const std::string& path) {
  const std::wstring wide = Wide(path);
  if (CreateDirectoryW(wide.c_str(), nullptr)) return 0;
  const DWORD why = GetLastError();
  // A drive ("C:") cannot be made; it is there as a folder is.
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (why == ERROR_ALREADY_EXISTS ||
      (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))) {
    return EEXIST;
  }
  return ErrnoOf(why);
}

size_t RootLength(const std::string& path) {
  const auto separator = [&](size_t at) {
    return at < path.size() && (path[at] == '\\' || path[at] == '/');
  };
  // Past `parts` more names, each with the separator after it (the last one may end the path).
  const auto past = [&](size_t at, int parts) {
    for (; parts > 0 && at < path.size(); --parts) {
      const auto next = path.find_first_of(kSeparators, at);
      at = next == std::string::npos ? path.size() : next + 1;
    }
    return at;
  };
  const auto drive = [&](size_t at) {
    return at + 1 < path.size() && path[at + 1] == ':' &&
           std::isalpha(static_cast<unsigned char>(path[at]));
  };
  if (path.rfind("\\\\?\\", 0) == 0) {
    // A share's folders can be made only below the share; "\\?\UNC\" itself is no folder.
    if (path.compare(4, 4, "UNC\\") == 0) return past(8, 2);
    return drive(4) ? (separator(6) ? 7 : 6) : 4;
  }
  if (separator(0) && separator(1)) return past(2, 2);
  if (drive(0)) return separator(2) ? 3 : 2;
  return separator(0) ? 1 : 0;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of(kSeparators);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return path.substr(0, 1);
  if (slash == 2 && path[1] == ':') return path.substr(0, 3);  // "C:\"
  return path.substr(0, slash);
}

std::string Resolved(const std::string& path) {
  const HANDLE h = CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "";
  std::wstring whole(32768, L'\0');
  const DWORD n = GetFinalPathNameByHandleW(h, whole.data(), static_cast<DWORD>(whole.size()),
                                            FILE_NAME_NORMALIZED);
  CloseHandle(h);
  if (n == 0 || n >= whole.size()) return "";
  whole.resize(n);
  // "\\?\C:\..." and "\\?\UNC\server\..." as a player writes them.
  if (whole.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    whole = L"\\\\" + whole.substr(8);
  } else if (whole.rfind(L"\\\\?\\", 0) == 0) {
    whole = whole.substr(4);
  }
  return win32::Utf8(whole);
}

std::string SettingsFile(std::string* why) {
  // The roaming application data folder, as every Windows program keeps its settings there;
  // APPDATA names it, and the shell is asked where that is not set.
  std::wstring folder;
  if (const wchar_t* appdata = _wgetenv(L"APPDATA"); appdata && *appdata) {
    folder = appdata;
  } else {
    PWSTR known = nullptr;
    if (SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &known) == S_OK) folder = known;
    CoTaskMemFree(known);
  }
  if (folder.empty()) {
    if (why) *why = Tr("the settings cannot be kept: APPDATA is not set");
    return "";
  }
  return win32::Utf8(folder) + "\\Palomir\\settings";
}

}  // namespace palomir::files
