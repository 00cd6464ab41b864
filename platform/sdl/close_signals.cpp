#include "platform/sdl/close_signals.h"

#include <SDL.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <thread>

namespace palomir {

namespace {

int caught[2] = {-1, -1};  // written by the handler, read by the watch

// Any thread, in a signal handler: one byte into the pipe, nothing else.
void OnCloseSignal(int) {
  const int saved = errno;
  const char note = 's';
  if (::write(caught[1], &note, 1) < 0) {
    // The pipe is full: signals are already waiting.
  }
  errno = saved;
}

}  // namespace

void CatchCloseSignals() {
  std::signal(SIGPIPE, SIG_IGN);
  if (caught[0] >= 0 || pipe2(caught, O_CLOEXEC | O_NONBLOCK) != 0) return;
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");  // SDL's own would catch only two
  struct sigaction sa {};
  sa.sa_handler = OnCloseSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int s : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) sigaction(s, &sa, nullptr);
}

struct CloseSignalWatch::Thread {
  int stop[2] = {-1, -1};
  std::thread thread;
};

CloseSignalWatch::CloseSignalWatch() {
  if (caught[0] < 0) return;
  auto t = std::make_unique<Thread>();
  if (pipe2(t->stop, O_CLOEXEC) != 0) return;
  const int stop = t->stop[0];
  t->thread = std::thread([stop] {
    pollfd fds[2] = {{caught[0], POLLIN, 0}, {stop, POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents) return;
      char note;
      if (fds[0].revents && ::read(caught[0], &note, 1) == 1) {
        SDL_Event quit{};
        quit.type = SDL_QUIT;
        SDL_PushEvent(&quit);
        // Left readable for the game thread's wait, which may not be in SDL's hands.
        OnCloseSignal(0);
        return;
      }
    }
  });
  thread_ = std::move(t);
}

CloseSignalWatch::~CloseSignalWatch() {
  if (!thread_) return;
  const char note = 'x';
  if (::write(thread_->stop[1], &note, 1) < 0) {
    // Cannot happen with an empty pipe; the join below would then wait for a signal.
  }
  thread_->thread.join();
  ::close(thread_->stop[0]);
  ::close(thread_->stop[1]);
}

int CloseSignalWatch::fd() const {
  return thread_ ? caught[0] : -1;
}

}  // namespace palomir
