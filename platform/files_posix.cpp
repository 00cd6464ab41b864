// The file operations on Linux and other POSIX systems.
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/files.h"

#include "language/tr.h"

namespace palomir::files {

namespace {

void Fill(const struct stat& st, Info& info) {
  info.id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  info.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  info.mode = st.st_mode & 07777;
  if (S_ISREG(st.st_mode)) {
    info.kind = Kind::kPlain;
  } else if (S_ISDIR(st.st_mode)) {
    info.kind = Kind::kFolder;
  } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
    info.kind = Kind::kPipe;
  } else if (S_ISLNK(st.st_mode)) {
    info.kind = Kind::kLink;
  } else if (S_ISCHR(st.st_mode) && (major(st.st_rdev) == 4 || major(st.st_rdev) == 5 ||
                                      (major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143))) {
    info.kind = Kind::kTerminal;  // a console, /dev/tty or a terminal window's
  } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
    info.kind = Kind::kDevice;
  } else {
    info.kind = Kind::kOther;
  }
}

}  // namespace

bool InfoOf(int fd, Info& info, int& error) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    error = errno;
    return false;
  }
  Fill(st, info);
  // Whether this player may write to it, by the file's own permissions.
  char self[64];
  snprintf(self, sizeof(self), "/proc/self/fd/%d", fd);
  info.writable = access(self, W_OK) == 0 || errno == ENOENT;
  return true;
}

bool InfoAt(const std::string& path, Info& info, int& error, bool follow) {
  struct stat st {};
  if ((follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      info = Info{};
      return true;
    }
    error = errno;
    return false;
  }
  Fill(st, info);
  info.writable = access(path.c_str(), W_OK) == 0;
  return true;
}

int OpenFile(const std::string& path, unsigned how, int& error) {
  int flags = O_CLOEXEC | O_NOCTTY;
  flags |= (how & kRead) && (how & kWrite) ? O_RDWR : (how & kWrite) ? O_WRONLY : O_RDONLY;
  if (how & kCreateNew) flags |= O_CREAT | O_EXCL;  // O_EXCL: a link there is not followed
  if (how & kNoWait) flags |= O_NONBLOCK;
  if (how & kNoFollow) flags |= O_NOFOLLOW;
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) error = errno;
  return fd;
}

int CreateUnique(const std::string& folder, const std::string& prefix, std::string& made,
                 int& error) {
  std::string name = folder + "/" + prefix + "XXXXXX";
  const int fd = mkostemp(name.data(), O_CLOEXEC);  // O_EXCL: never an existing file
  if (fd < 0) {
    error = errno;
    return -1;
  }
  made = name;
  return fd;
}

long ReadSome(int fd, void* data, size_t size, int& error) {
  for (;;) {
    const ssize_t n = ::read(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    return static_cast<long>(n);
  }
}

long WriteSome(int fd, const void* data, size_t size, int& error) {
  // Async-signal-safe: write(2) and errno only.
  for (;;) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    return static_cast<long>(n);
  }
}

bool WaitWritable(int fd, int ms) {
  pollfd p{fd, POLLOUT, 0};
  return ::poll(&p, 1, ms) > 0;
}

bool WriteAll(int fd, const void* data, size_t size, int& error) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      return false;
    }
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool Empty(int fd, int& error) {
  if (ftruncate(fd, 0) == 0) return true;
  error = errno;
  return false;
}

void KeepMode(int fd, unsigned mode) {
  (void)fchmod(fd, static_cast<mode_t>(mode & 0777));
}

bool Sync(int fd, int& error) {
  if (fsync(fd) == 0) return true;
  error = errno;
  return false;
}

void Close(int fd) {
  if (fd >= 0) ::close(fd);
}

int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  return RenameByLink(from, to);
}

int RenameByLink(const std::string& from, const std::string& to) {
  if (link(from.c_str(), to.c_str()) != 0) return errno;
  if (unlink(from.c_str()) != 0) return errno;
  return 0;
}

int RenameOver(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

bool RemoveIfSame(const std::string& path, const FileId& id) {
  // Whatever is there is first moved aside in one step and looked at there: what is not
  // the game's own goes back, and nothing else can take its name in between unseen.
  std::string aside = path + ".gone-XXXXXX";
  const int fd = mkostemp(aside.data(), O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  if (::rename(path.c_str(), aside.c_str()) != 0) {
    unlink(aside.c_str());
    return false;
  }
  struct stat st {};
  const bool same = lstat(aside.c_str(), &st) == 0 &&
                    FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)} == id;
  if (same) return unlink(aside.c_str()) == 0;
  RenameNoReplace(aside, path);
  return false;
}

int LockFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    ::close(fd);
    return -1;
  }
  return fd;
}

void Unlock(int lock) {
  if (lock >= 0) ::close(lock);  // closing lets go of the lock
}

int MakeFolder(const std::string& path) {
  return ::mkdir(path.c_str(), 0700) == 0 ? 0 : errno;
}

size_t RootLength(const std::string& path) { return path.rfind('/', 0) == 0 ? 1 : 0; }

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Resolved(const std::string& path) {
  char whole[PATH_MAX];
  return realpath(path.c_str(), whole) ? std::string(whole) : std::string();
}

std::string SettingsFile(std::string* why) {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return std::string(config) + "/palomir/settings";
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.config/palomir/settings";
  if (why) {
    *why = config && *config
               ? palomir::Fill(Tr("the settings cannot be kept: XDG_CONFIG_HOME (%s) is not a whole path "
                         "from /, and HOME is not set"),
                      config)
               : Tr("the settings cannot be kept: neither XDG_CONFIG_HOME nor HOME is set");
  }
  return "";
}

}  // namespace palomir::files
