#include "platform/core/sound_output.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "language/tr.h"

namespace palomir {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// An output whose mixer has not been pulled for this long is dead, whatever the system says
// (SDL's PipeWire driver says nothing when the server goes away).
constexpr auto kStalled = 1s;
// How often a lost output is tried again while the system has none.
constexpr auto kRetry = 250ms;
// How long the game waits for a close before leaving it to the output's thread.
constexpr auto kCloseWait = 50ms;

}  // namespace

struct SoundOutput::State {
  enum class Job { kNone, kOpen, kReopen, kClose };

  std::shared_ptr<Mixer> mixer;
  std::unique_ptr<OutputDriver> driver;
  std::mutex lock;
  std::condition_variable wake;  // work for the thread
  std::condition_variable done;  // a job finished, or the thread ended
  Job job = Job::kNone;
  bool busy = false;
  bool quit = false;
  bool ended = false;
  bool open = false;      // an output is open (under the lock)
  bool reopened = false;  // open again after a loss or a move, not yet said
  int frames = 480;
  std::string error;
  uint64_t finished = 0;
  std::atomic<int> period{0};
  std::atomic<bool> stopping{false};  // quit, or another job: an open under way gives up
  std::thread thread;

  // The output's thread.
  bool OpenOnce(bool again, std::string& why) {
    const int got = driver->Open(mixer, frames, again, stopping, why);
    period = got;
    return got > 0;
  }

  // The output's thread. Once closed nothing pulls the mixer.
  void CloseOutput() {
    {
      std::lock_guard g(lock);
      if (!open) return;
    }
    driver->Close();
    period = 0;
    std::lock_guard g(lock);
    open = false;
  }

  // The output's thread: takes jobs until told to quit. It owns its state, so that a
  // thread left stuck in the system never reaches anything freed.
  static void Run(std::shared_ptr<State> s) {
    s->driver->ThreadBegins();
    std::unique_lock l(s->lock);
    for (;;) {
      s->wake.wait(l, [&] { return s->job != Job::kNone || s->quit; });
      if (s->quit) break;
      const Job job = s->job;
      s->job = Job::kNone;
      s->stopping = false;
      s->busy = true;
      l.unlock();
      if (job == Job::kOpen) {
        std::string why;
        const bool ok = s->OpenOnce(false, why);
        l.lock();
        s->open = ok;
        s->error = why;
      } else if (job == Job::kClose) {
        s->CloseOutput();
        l.lock();
        s->reopened = false;  // a reopen that ended just before: nothing to say now
      } else {
        s->CloseOutput();
        for (;;) {
          std::string why;
          const bool ok = s->OpenOnce(true, why);
          l.lock();
          if (ok) {
            s->open = true;
            s->reopened = true;
            break;
          }
          // Quietly, until the system has an output or the game no longer wants one.
          if (s->wake.wait_for(l, kRetry, [&] { return s->quit || s->job != Job::kNone; })) break;
          l.unlock();
        }
      }
      s->busy = false;
      ++s->finished;
      s->done.notify_all();
    }
    l.unlock();
    s->CloseOutput();
    s->driver->ThreadEnds();
    l.lock();
    s->ended = true;
    s->done.notify_all();
  }
};

SoundOutput::SoundOutput(std::shared_ptr<Mixer> mixer, std::unique_ptr<OutputDriver> driver)
    : state_(std::make_shared<State>()) {
  state_->mixer = std::move(mixer);
  state_->driver = std::move(driver);
  state_->thread = std::thread(State::Run, state_);
}

SoundOutput::~SoundOutput() {
  Shutdown();
}

void SoundOutput::Shutdown() {
  if (abandoned_ || !state_->thread.joinable()) return;
  std::unique_lock l(state_->lock);
  state_->quit = true;
  state_->stopping = true;
  state_->wake.notify_all();
  if (state_->done.wait_for(l, kCloseWait, [&] { return state_->ended; })) {
    l.unlock();
    state_->thread.join();
    return;
  }
  // Stuck inside the system: it ends with the process.
  abandoned_ = true;
  state_->thread.detach();
}

Status SoundOutput::Open(int frames, std::chrono::milliseconds deadline,
                         const std::function<void()>& idle) {
  State& s = *state_;
  uint64_t target;
  {
    std::lock_guard g(s.lock);
    if (abandoned_ || s.open || s.busy) return Status::Fail("the sound output is in use");
    s.frames = frames;
    s.job = State::Job::kOpen;
    target = s.finished + 1;
  }
  s.wake.notify_all();
  const auto end = Clock::now() + deadline;
  for (;;) {
    {
      std::unique_lock l(s.lock);
      if (s.done.wait_for(l, 5ms, [&] { return s.finished >= target; })) {
        if (!s.open) return Status::Fail(s.error);
        lost_ = false;
        last_blocks_ = s.mixer->blocks_begun();
        last_change_ = last_watch_ = Clock::now();
        return Status::Ok();
      }
    }
    if (Clock::now() >= end) break;
    if (idle) idle();
  }
  // Whatever holds it may never let go. The output's thread stays behind, and closes the
  // output itself should the open ever end.
  {
    std::lock_guard g(s.lock);
    s.quit = true;
    s.stopping = true;
  }
  abandoned_ = true;
  s.thread.detach();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(deadline).count();
  return Status::Fail("the sound server did not answer within " + std::to_string(seconds) +
                      " seconds");
}

void SoundOutput::Close() {
  if (abandoned_) return;
  State& s = *state_;
  std::unique_lock l(s.lock);
  s.job = State::Job::kClose;
  s.stopping = true;
  // A job under way (a reopen) finishes first, and counts as one: the close is the next.
  const uint64_t target = s.finished + (s.busy ? 2 : 1);
  s.wake.notify_all();
  s.done.wait_for(l, kCloseWait, [&] { return s.finished >= target; });
  s.reopened = false;
  lost_ = false;
}

void SoundOutput::Watch() {
  if (abandoned_) return;
  State& s = *state_;
  const auto now = Clock::now();
  // A game thread that did not run for a while (the machine busy, the process stopped) has
  // not seen the pulls that happened meanwhile: the count starts again.
  if (now - last_watch_ > 500ms) last_change_ = now;
  last_watch_ = now;
  enum class Said { kNothing, kLost, kBack, kMoved } said = Said::kNothing;
  {
    std::lock_guard g(s.lock);
    if (s.reopened) {
      s.reopened = false;
      said = lost_ ? Said::kBack : Said::kMoved;
      lost_ = false;
      moving_ = false;
      last_change_ = now;
      last_blocks_ = s.mixer->blocks_begun();
    } else if (!lost_ && !moving_ && !s.busy && s.job == State::Job::kNone && s.open) {
      const uint64_t blocks = s.mixer->blocks_begun();
      if (blocks != last_blocks_) {
        last_blocks_ = blocks;
        last_change_ = now;
      }
      const bool lost = s.driver->Lost() || now - last_change_ > kStalled;
      if (lost || s.driver->Moved()) {
        if (lost) {
          lost_ = true;
          said = Said::kLost;
        } else {
          moving_ = true;
        }
        s.job = State::Job::kReopen;
        s.wake.notify_all();
      }
    }
  }
  const char* line = nullptr;
  const char* spoken = nullptr;
  switch (said) {
    case Said::kNothing:
      return;
    case Said::kLost:
      line = Tr("the sound output was lost; the game goes on and is heard again as soon as a "
                "sound server answers");
      // TRANSLATORS: spoken when the sound output is lost, is back, or has moved to the
      // system's new default device; short, no symbols.
      spoken = Tr("The sound output was lost.");
      break;
    case Said::kBack:
      line = Tr("the sound output is back");
      spoken = Tr("The sound is back.");
      break;
    case Said::kMoved:
      line = Tr("the sound output moved to the system's new default device");
      spoken = Tr("The sound moved to the new device.");
      break;
  }
  std::fprintf(stderr, "palomir: %s\n", line);
  if (told) told(spoken);
}

bool SoundOutput::running() const {
  return state_->period.load() > 0;
}

int SoundOutput::period() const {
  return state_->period.load();
}

}  // namespace palomir
