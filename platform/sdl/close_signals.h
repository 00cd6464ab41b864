// The signals that ask a program to end (SIGHUP when the terminal closes, SIGINT, SIGQUIT,
// SIGTERM) end the game as the close box does: the recording is written out whole and the
// status is 0. The handler only notes the signal in a pipe; a thread of its own turns it into
// the window system's quit event, which the game thread handles wherever it waits.
#pragma once

#include <memory>

namespace palomir {

// At the very start of the program, before any thread: the four signals are caught, and
// SIGPIPE is ignored (a pipe whose reader has gone is a file that cannot be written).
void CatchCloseSignals();

// While it exists (made once SDL's event system runs), a caught signal becomes SDL's quit
// event. A no-op where CatchCloseSignals was not called.
// Made and let go on the game thread; letting go ends its thread at once.
class CloseSignalWatch {
 public:
  CloseSignalWatch();
  ~CloseSignalWatch();
  CloseSignalWatch(const CloseSignalWatch&) = delete;
  CloseSignalWatch& operator=(const CloseSignalWatch&) = delete;
  // Becomes readable once a signal was caught and its quit event sent, so that a wait on the
  // window system's connection wakes for it too; -1 when signals are not caught. Any thread.
  int fd() const;

 private:
  struct Thread;
  std::unique_ptr<Thread> thread_;
};

}  // namespace palomir
