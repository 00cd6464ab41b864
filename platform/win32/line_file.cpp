// LineFile on Windows (platform/line_file.h): the same promises as on Linux, in Windows'
// terms. Files are opened through their wide-character names and written in binary, so a
// recording holds the same bytes as on Linux; a file is known again by its volume and index;
// an earlier recording is kept by a rename that never replaces anything. Windows has no
// non-blocking writes to a file or a pipe: the last lines are written out as the game ends.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/line_file.h"

namespace palomir {

namespace {

constexpr size_t kKeepAtMost = 64 * 1024;
constexpr std::chrono::milliseconds kKeepAtMostTime{50};

std::vector<LineFile*>& Open() {
  static std::vector<LineFile*> open;
  return open;
}

void OnCrash(int signal_number) {
  for (LineFile* f : Open()) f->Flush();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

void CatchCrashes() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int s : {SIGSEGV, SIGFPE, SIGILL, SIGABRT}) std::signal(s, OnCrash);
  });
}

// A file for writing, shared so that the player may read it meanwhile and the game may
// rename it (keeping an earlier recording) while it is open.
int OpenForWriting(const std::string& path, DWORD how, int& error) {
  const HANDLE h = CreateFileW(win32::Wide(path).c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               how, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = win32::ErrnoOf(GetLastError());
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    error = EMFILE;
    CloseHandle(h);
  }
  return fd;
}

}  // namespace

LineFile::LineFile(std::string path, std::string what)
    : path_(std::move(path)), what_(std::move(what)) {
  int error = 0;
  fd_ = OpenForWriting(path_, CREATE_NEW, error);
  created_ = fd_ >= 0;
  if (fd_ < 0 && error == EEXIST) {
    error = 0;
    fd_ = OpenForWriting(path_, OPEN_EXISTING, error);
  }
  if (fd_ >= 0 && fstat(fd_, &st_) != 0) error = errno;
  if (fd_ < 0 || error) {
    error_ = "the " + what_ + " " + path_ + " could not be written (" + std::strerror(error) + ")";
    if (fd_ >= 0) ::_close(fd_);
    fd_ = -1;
    return;
  }
  id_ = win32::IdOf(fd_);
  if (!created_ && S_ISREG(st_.st_mode) && st_.st_size > 0) {
    const HANDLE in = CreateFileW(win32::Wide(path_).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    char head[256];
    DWORD n = 0;
    if (in != INVALID_HANDLE_VALUE) {
      if (!ReadFile(in, head, sizeof(head), &n, nullptr)) n = 0;
      CloseHandle(in);
    }
    const std::string_view start(head, n);
    first_line_ = start.empty() || start[0] == '\n' ? std::string_view("?")
                                                    : start.substr(0, start.find('\n'));
  }
  kept_.reserve(kKeepAtMost + 4096);
  Open().push_back(this);
  CatchCrashes();
}

LineFile::~LineFile() {
  Flush();
  std::erase(Open(), this);
  if (fd_ >= 0) ::_close(fd_);
}

bool LineFile::SameFileAs(const LineFile& other) const {
  return ok() && other.ok() && id_.known && id_ == other.id_;
}

void LineFile::Discard() {
  if (fd_ < 0) return;
  ::_close(fd_);
  fd_ = -1;
  kept_.clear();
  if (created_) DeleteFileW(win32::Wide(path_).c_str());
}

bool LineFile::Begin(bool keep_earlier, std::string& kept_as) {
  kept_as.clear();
  if (fd_ < 0 || created_ || !S_ISREG(st_.st_mode) || st_.st_size == 0) return ok();
  int failed = 0;
  if (keep_earlier) {
    for (int n = 1; n <= 9999 && kept_as.empty(); ++n) {
      const std::string name = path_ + "." + std::to_string(n);
      // Without MOVEFILE_REPLACE_EXISTING a name already taken is never replaced.
      if (MoveFileExW(win32::Wide(path_).c_str(), win32::Wide(name).c_str(), 0)) {
        kept_as = name;
        break;
      }
      const DWORD why = GetLastError();
      if (why == ERROR_ALREADY_EXISTS || why == ERROR_FILE_EXISTS) continue;
      failed = win32::ErrnoOf(why);
      break;
    }
    int fresh = -1;
    if (!kept_as.empty()) {
      fresh = OpenForWriting(path_, CREATE_NEW, failed);
    } else if (!failed) {
      failed = EEXIST;  // every name taken
    }
    ::_close(fd_);
    fd_ = fresh;
    if (fd_ >= 0) id_ = win32::IdOf(fd_);
  } else if (::_chsize_s(fd_, 0) != 0) {
    failed = errno;
  }
  if (failed) {
    error_ = "the " + what_ + " " + path_ + " could not be written (" + std::strerror(failed) + ")";
    if (fd_ >= 0) ::_close(fd_);
    fd_ = -1;
  }
  return ok();
}

void LineFile::Line(const std::string& line) {
  if (fd_ < 0) return;
  kept_ += line;
  kept_ += '\n';
  const auto now = std::chrono::steady_clock::now();
  if (kept_.size() >= kKeepAtMost || now - last_flush_ >= kKeepAtMostTime) {
    last_flush_ = now;
    Flush();
  }
}

void LineFile::Flush() {
  size_t at = 0;
  while (fd_ >= 0 && at < kept_.size()) {
    const int n = ::_write(fd_, kept_.data() + at, static_cast<unsigned>(kept_.size() - at));
    if (n <= 0) {
      Failed(n < 0 ? errno : ENOSPC);
      break;
    }
    at += static_cast<size_t>(n);
  }
  kept_.clear();
}

void LineFile::Failed(int error_number) {
  std::fprintf(stderr, "palomir: the %s %s could not be written (%s); it stops here\n",
               what_.c_str(), path_.c_str(), std::strerror(error_number));
  ::_close(fd_);
  fd_ = -1;
}

void LineFile::Stalled() {
  std::fprintf(stderr,
               "palomir: the %s %s is not being read (%zu bytes are waiting); it stops here\n",
               what_.c_str(), path_.c_str(), kept_.size());
  kept_.clear();
  ::_close(fd_);
  fd_ = -1;
}

}  // namespace palomir
