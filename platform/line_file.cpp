#include "platform/line_file.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

namespace palomir {

namespace {

constexpr size_t kKeepAtMost = 64 * 1024;
constexpr std::chrono::milliseconds kKeepAtMostTime{50};
// How long the last lines may wait for a slow reader as the game ends.
constexpr int kLastWaitMs = 100;

// The open files, so that a crash can write out what they keep. Only the game thread adds
// to them; the handler reads them as they stand.
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
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) std::signal(s, OnCrash);
  });
}

constexpr int kWriteFlags = O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

}  // namespace

LineFile::LineFile(std::string path, std::string what)
    : path_(std::move(path)), what_(std::move(what)) {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | kWriteFlags, 0644);
  created_ = fd_ >= 0;
  if (fd_ < 0 && errno == EEXIST) fd_ = ::open(path_.c_str(), O_WRONLY | kWriteFlags);
  // A FIFO nobody reads yet: held open for reading too, so that what is written waits in
  // the pipe for a reader instead of the game waiting for one.
  if (fd_ < 0 && errno == ENXIO) fd_ = ::open(path_.c_str(), O_RDWR | kWriteFlags);
  if (fd_ < 0 || fstat(fd_, &st_) != 0) {
    error_ = "the " + what_ + " " + path_ + " could not be written (" + std::strerror(errno) + ")";
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return;
  }
  if (!created_ && S_ISREG(st_.st_mode) && st_.st_size > 0) {
    const int in = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    char head[256];
    const ssize_t n = in >= 0 ? ::read(in, head, sizeof(head)) : -1;
    if (in >= 0) ::close(in);
    const std::string_view start(head, n > 0 ? static_cast<size_t>(n) : 0);
    // Something is there: unreadable or starting blank, it is shown as "?".
    first_line_ = start.empty() || start[0] == '\n' ? std::string_view("?")
                                                    : start.substr(0, start.find('\n'));
  }
  kept_.reserve(kKeepAtMost + 4096);
  Open().push_back(this);
  CatchCrashes();
}

LineFile::~LineFile() {
  // The last lines: a slow reader is given a moment to take them.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLastWaitMs);
  for (;;) {
    Flush();
    if (fd_ < 0 || kept_.empty()) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLOUT, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0) {
      Stalled();
      break;
    }
  }
  std::erase(Open(), this);
  if (fd_ >= 0) ::close(fd_);
}

bool LineFile::SameFileAs(const LineFile& other) const {
  return ok() && other.ok() && st_.st_dev == other.st_.st_dev && st_.st_ino == other.st_.st_ino &&
         !S_ISCHR(st_.st_mode);
}

void LineFile::Discard() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  kept_.clear();
  if (created_) ::unlink(path_.c_str());
}

bool LineFile::Begin(bool keep_earlier, std::string& kept_as) {
  kept_as.clear();
  if (fd_ < 0 || created_ || !S_ISREG(st_.st_mode) || st_.st_size == 0) return ok();
  int failed = 0;
  if (keep_earlier) {
    for (int n = 1; n <= 9999 && kept_as.empty(); ++n) {
      const std::string name = path_ + "." + std::to_string(n);
      struct stat there {};
      if (lstat(name.c_str(), &there) == 0 || errno != ENOENT) continue;
      if (::rename(path_.c_str(), name.c_str()) != 0) {
        failed = errno;
        break;
      }
      kept_as = name;
    }
    int fresh = -1;
    if (!kept_as.empty()) {
      fresh = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | kWriteFlags, 0644);
      if (fresh < 0) failed = errno;
    } else if (!failed) {
      failed = EEXIST;  // every name taken
    }
    ::close(fd_);
    fd_ = fresh;
  } else if (ftruncate(fd_, 0) != 0) {
    failed = errno;
  }
  if (failed) {
    error_ = "the " + what_ + " " + path_ + " could not be written (" + std::strerror(failed) + ")";
    if (fd_ >= 0) ::close(fd_);
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
    const ssize_t n = ::write(fd_, kept_.data() + at, kept_.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The reader is behind: the rest waits here, as long as it fits.
      kept_.erase(0, at);
      if (kept_.size() > kKeepAtMost) Stalled();
      return;
    }
    if (n <= 0) {
      Failed(n < 0 ? errno : ENOSPC);
      break;
    }
    at += static_cast<size_t>(n);
  }
  kept_.clear();
}

void LineFile::Failed(int error_number) {
  // Said once; the game goes on without the file.
  std::fprintf(stderr, "palomir: the %s %s could not be written (%s); it stops here\n",
               what_.c_str(), path_.c_str(), std::strerror(error_number));
  ::close(fd_);
  fd_ = -1;
}

void LineFile::Stalled() {
  std::fprintf(stderr,
               "palomir: the %s %s is not being read (%zu bytes are waiting); it stops here\n",
               what_.c_str(), path_.c_str(), kept_.size());
  kept_.clear();
  ::close(fd_);
  fd_ = -1;
}

}  // namespace palomir
