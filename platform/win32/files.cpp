#include "platform/win32/files.h"

#include <fcntl.h>
#include <io.h>
#include <shlobj.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>

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
    default:
      return EIO;
  }
}

std::string SettingsPath() {
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
  if (folder.empty()) return "";
  return Utf8(folder) + "\\Palomir\\settings";
}

void MakeFoldersFor(const std::string& file) {
  std::error_code ignored;
  std::filesystem::create_directories(PathOf(file).parent_path(), ignored);
}

FileId IdOf(int fd) {
  FileId id;
  const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  BY_HANDLE_FILE_INFORMATION info{};
  if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(h, &info)) {
    return id;
  }
  id.volume = info.dwVolumeSerialNumber;
  id.index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  id.known = true;
  return id;
}

namespace {
int Failed() {
  errno = ErrnoOf(GetLastError());
  return -1;
}
}  // namespace

int mkdir(const char* path, int /*mode*/) {
  // The folders of a path in the Windows way: "C:\Users\Zoë\AppData\Roaming\Palomir".
  std::error_code error;
  std::filesystem::create_directories(PathOf(path), error);
  if (error) {
    errno = error.value();
    return -1;
  }
  return 0;
}

int open(const char* path, int flags, int mode) {
  return ::_wopen(Wide(path).c_str(), flags | _O_BINARY,
                  mode & (_S_IREAD | _S_IWRITE));
}

int fsync(int fd) {
  return ::_commit(fd);
}

int rename(const char* from, const char* to) {
  if (!MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Failed();
  }
  return 0;
}

int unlink(const char* path) {
  return ::_wunlink(Wide(path).c_str());
}

}  // namespace palomir::win32
