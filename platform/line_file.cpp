#include "platform/line_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace palomir {

namespace {

constexpr size_t kKeepAtMost = 64 * 1024;
constexpr std::chrono::milliseconds kKeepAtMostTime{50};

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

}  // namespace

LineFile::LineFile(std::string path, std::string what)
    : path_(std::move(path)), what_(std::move(what)) {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    error_ = "the " + what_ + " " + path_ + " could not be written (" + std::strerror(errno) + ")";
    return;
  }
  kept_.reserve(kKeepAtMost + 4096);
  Open().push_back(this);
  CatchCrashes();
}

LineFile::~LineFile() {
  Flush();
  std::erase(Open(), this);
  if (fd_ >= 0) ::close(fd_);
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

}  // namespace palomir
