#include "platform/line_file.h"

#ifdef _WIN32
#include <windows.h>  // the thread's number, a moment's wait and the fault filter in a crash
#else
#include <time.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>

#include "language/tr.h"

namespace palomir {

namespace {

constexpr size_t kKeepAtMost = 64 * 1024;
// Room for what is kept and one more line on top of it.
constexpr size_t kRoom = 2 * kKeepAtMost;
constexpr std::chrono::milliseconds kKeepAtMostTime{50};
// How long the last lines may wait for a slow reader as the game ends.
constexpr int kLastWaitMs = 100;
// How long a crash on one thread waits for the game thread to finish moving its lines.
constexpr int kCrashWaitMs = 200;

// The open files, so that a crash can write out what they keep: fixed places, read by the
// crash handler as they stand, with nothing allocated or locked.
constexpr int kPlaces = 4;
std::atomic<LineFile*> g_open[kPlaces];

// Any thread, at any point, malloc's and stdio's own locks perhaps held: write(2) only.
void WriteOutAll() {
  for (auto& place : g_open) {
    if (LineFile* f = place.load()) f->WriteOutAfterCrash();
  }
}

void OnCrash(int signal_number) {
  WriteOutAll();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

#ifdef _WIN32
// Windows' C runtime keeps the actions for SIGSEGV, SIGFPE and SIGILL per thread: a handler
// set on the game thread never hears of a crash on the voice's or the sound's thread. A fault
// that nothing handled comes here instead, whichever thread it happened on, and then goes on
// to what Windows does with a crash.
LPTOP_LEVEL_EXCEPTION_FILTER g_earlier_filter = nullptr;

LONG WINAPI OnFault(EXCEPTION_POINTERS* fault) {
  // Errors only (a bad memory access, a stack overflow, a division by zero): not a C++
  // exception on its way to std::terminate, whose abort comes to OnCrash.
  if ((fault->ExceptionRecord->ExceptionCode & 0xC0000000u) == 0xC0000000u) WriteOutAll();
  return g_earlier_filter ? g_earlier_filter(fault) : EXCEPTION_CONTINUE_SEARCH;
}
#endif

void CatchCrashes() {
  static std::once_flag once;
  std::call_once(once, [] {
#ifdef _WIN32
    g_earlier_filter = SetUnhandledExceptionFilter(OnFault);
    std::signal(SIGABRT, OnCrash);  // abort(), which is no fault to Windows
#else
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) std::signal(s, OnCrash);
#endif
  });
}

int ThisThread() {
#ifdef _WIN32
  return static_cast<int>(GetCurrentThreadId());
#else
  return static_cast<int>(gettid());
#endif
}

// A millisecond's wait, safe in a crash handler.
void WaitAMoment() {
#ifdef _WIN32
  Sleep(1);
#else
  const timespec ms{0, 1000 * 1000};
  nanosleep(&ms, nullptr);
#endif
}

std::string Message(const std::string& what, const std::string& path, int error_number) {
  return Fill(what == "recording" ? Tr("the recording %s could not be written (%s)")
                                  : Tr("the trace %s could not be written (%s)"),
              path, std::strerror(error_number));
}

// A device named as the file to write, in the player's words.
std::string Refused(const std::string& what, const std::string& path) {
  return Fill(what == "recording"
                  ? Tr("%s is a device, not a file: a recording is written only to a file or a pipe")
                  : Tr("%s is a device, not a file: a trace is written only to a file or a pipe"),
              path);
}

}  // namespace

LineFile::LineFile(std::string path, std::string what)
    : path_(std::move(path)), what_(std::move(what)) {
  using namespace files;
  // A device is never opened: opening some does something already.
  Info there;
  int error = 0;
  if (InfoAt(path_, there, error, true) && there.kind == Kind::kDevice) {
    refused_ = true;
    error_ = Refused(what_, path_);
    return;
  }
  fd_ = OpenFile(path_, kWrite | kCreateNew | kNoWait, error);
  created_ = fd_ >= 0;
  if (fd_ < 0 && error == EEXIST) fd_ = OpenFile(path_, kWrite | kNoWait, error);
  // A FIFO nobody reads yet: held open for reading too, so that what is written waits in
  // the pipe for a reader instead of the game waiting for one.
  if (fd_ < 0 && error == ENXIO) fd_ = OpenFile(path_, kRead | kWrite | kNoWait, error);
  if (fd_ < 0 || !InfoOf(fd_, info_, error) || info_.kind == Kind::kDevice) {
    if (fd_ >= 0 && info_.kind == Kind::kDevice) {
      refused_ = true;
      error_ = Refused(what_, path_);
    } else {
      error_ = Message(what_, path_, error);
    }
    Close(fd_);
    fd_ = -1;
    return;
  }
  if (!created_ && info_.kind == Kind::kPlain && info_.size > 0) {
    // The start is read from the very file that is to be written: a file that is not that
    // one by now shows as "?", not the game's own.
    const int in = OpenFile(path_, kRead | kNoWait, error);
    Info read_info;
    char head[256];
    long n = -1;
    if (in >= 0 && InfoOf(in, read_info, error) && read_info.id == info_.id) {
      n = ReadSome(in, head, sizeof(head), error);
    }
    Close(in);
    const std::string_view start(head, n > 0 ? static_cast<size_t>(n) : 0);
    // Something is there: unreadable or starting blank, it is shown as "?".
    first_line_ = start.empty() || start[0] == '\n' ? std::string_view("?")
                                                    : start.substr(0, start.find('\n'));
  }
  kept_ = std::make_unique<char[]>(kRoom);
  for (auto& place : g_open) {
    LineFile* none = nullptr;
    if (place.compare_exchange_strong(none, this)) break;
  }
  CatchCrashes();
}

LineFile::~LineFile() {
  // The last lines: a slow reader is given a moment to take them.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLastWaitMs);
  for (;;) {
    Flush();
    if (fd_ < 0 || head_ == tail_) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !files::WaitWritable(fd_, static_cast<int>(left.count()))) {
      Stalled();
      break;
    }
  }
  for (auto& place : g_open) {
    LineFile* self = this;
    place.compare_exchange_strong(self, nullptr);
  }
  files::Close(fd_);
}

bool LineFile::SameFileAs(const LineFile& other) const {
  return ok() && other.ok() && info_.id == other.info_.id && info_.kind != files::Kind::kTerminal;
}

void LineFile::Discard() {
  if (fd_ < 0) return;
  files::Close(fd_);
  fd_ = -1;
  head_ = tail_ = 0;
  // By what it is, not by its name: a file put at that name meanwhile stays.
  if (created_) files::RemoveIfSame(made_at_.empty() ? path_ : made_at_, info_.id);
}

bool LineFile::Begin(bool keep_earlier, std::string& kept_as) {
  using namespace files;
  kept_as.clear();
  if (fd_ < 0 || created_ || info_.kind != Kind::kPlain || info_.size == 0) return ok();
  int failed = 0;
  if (keep_earlier) {
    // Named through a link, the earlier recording is where the link leads: kept in its own
    // folder, and the new one made under its name, so that the link leads to the new one.
    Info now;
    std::string at = path_;
    if (InfoAt(path_, now, failed) && now.kind == Kind::kLink) {
      at = Resolved(path_);
      if (at.empty() || !InfoAt(at, now, failed)) at.clear();
    }
    // The name must still be the file that was read: another file put there meanwhile is
    // left where it is.
    if (at.empty() || now.id != info_.id || now.kind != Kind::kPlain) {
      if (!failed) failed = EEXIST;
    }
    for (int n = 1; n <= 9999 && kept_as.empty() && !failed; ++n) {
      const std::string name = at + "." + std::to_string(n);
      // Never over another: a game started at the same time may have taken this name.
      const int r = RenameNoReplace(at, name);
      if (r == 0) {
        kept_as = name;
      } else if (r != EEXIST) {
        failed = r;
      }
    }
    int fresh = -1;
    if (!kept_as.empty()) {
      fresh = OpenFile(at, kWrite | kCreateNew | kNoWait, failed);
    } else if (!failed) {
      failed = EEXIST;  // every name taken
    }
    Close(fd_);
    fd_ = fresh;
    if (fresh >= 0 && InfoOf(fresh, info_, failed)) {
      created_ = true;
      made_at_ = at;
    }
  } else {
    Empty(fd_, failed);
  }
  if (failed) {
    error_ = Message(what_, path_, failed);
    Close(fd_);
    fd_ = -1;
  }
  return ok();
}

bool LineFile::Claim() {
  int none = 0;
  return claim_.compare_exchange_strong(none, ThisThread());
}

void LineFile::Unclaim() {
  claim_ = 0;
}

void LineFile::Line(const std::string& line) {
  if (fd_ < 0) return;
  const size_t n = std::min(line.size(), kKeepAtMost);  // no line of the game's is this long
  size_t tail = tail_;
  if (tail + n + 1 > kRoom) {
    // The lines still kept go to the front first.
    if (!Claim()) return;  // a crash is writing them out
    const size_t head = head_;
    std::memmove(kept_.get(), kept_.get() + head, tail - head);
    tail -= head;
    head_ = 0;
    tail_ = tail;
    Unclaim();
  }
  if (tail + n + 1 > kRoom) {
    Stalled();
    return;
  }
  std::memcpy(kept_.get() + tail, line.data(), n);
  kept_[tail + n] = '\n';
  tail_ = tail + n + 1;  // the whole line is there for a crash to write out
  const auto now = std::chrono::steady_clock::now();
  if (tail_ - head_ >= kKeepAtMost || now - last_flush_ >= kKeepAtMostTime) {
    last_flush_ = now;
    Flush();
  }
}

void LineFile::Flush() {
  if (fd_ < 0 || !Claim()) return;
  size_t head = head_;
  const size_t tail = tail_;
  while (fd_ >= 0 && head < tail) {
    int error = 0;
    const long n = files::WriteSome(fd_, kept_.get() + head, tail - head, error);
    if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
      // The reader is behind: the rest waits here, as long as it fits.
      head_ = head;
      Unclaim();
      if (tail - head > kKeepAtMost) Stalled();
      return;
    }
    if (n <= 0) {
      Failed(n < 0 ? error : ENOSPC);
      break;
    }
    head += static_cast<size_t>(n);
    head_ = head;
  }
  head_ = tail_ = 0;
  Unclaim();
}

void LineFile::WriteOutAfterCrash() {
  // The game thread moves the lines only while it holds the claim, never for long: a crash
  // on another thread waits for it a moment, and a crash in the middle of the move itself
  // writes nothing more. The claim is kept: nothing is written after this.
  const int me = ThisThread();
  for (int waited = 0;; ++waited) {
    int none = 0;
    if (claim_.compare_exchange_strong(none, me)) break;
    if (none == me || waited >= kCrashWaitMs) return;
    WaitAMoment();
  }
  const int fd = fd_;
  size_t head = head_;
  const size_t tail = tail_;
  while (fd >= 0 && head < tail) {
    int error = 0;
    const long n = files::WriteSome(fd, kept_.get() + head, tail - head, error);
    if (n <= 0) break;
    head += static_cast<size_t>(n);
  }
}

void LineFile::Failed(int error_number) {
  // Said once; the game goes on without the file.
  // TRANSLATORS: %s is why the file could not be written; the game goes on without it.
  const std::string line = Fill(Tr("%s; it stops here"), Message(what_, path_, error_number));
  std::fprintf(stderr, "palomir: %s\n", line.c_str());
  files::Close(fd_);
  fd_ = -1;
}

void LineFile::Stalled() {
  const std::string waiting = std::to_string(tail_ - head_);
  const std::string line =
      Fill(what_ == "recording"
               ? Tr("the recording %s is not being read (%s bytes are waiting); it stops here")
               : Tr("the trace %s is not being read (%s bytes are waiting); it stops here"),
           path_, waiting);
  std::fprintf(stderr, "palomir: %s\n", line.c_str());
  files::Close(fd_);
  fd_ = -1;
  head_ = tail_ = 0;
}

}  // namespace palomir
