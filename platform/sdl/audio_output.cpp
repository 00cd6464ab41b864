#include "platform/sdl/audio_output.h"

#include "platform/pipewire/pipewire_output.h"

#include <SDL.h>
#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace palomir {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// An output whose callback has not been called for this long is dead, whatever SDL says
// (its PipeWire driver says nothing when the server goes away).
constexpr auto kStalled = 1s;
// How often a lost output is tried again while no server answers.
constexpr auto kRetry = 250ms;
// How long the game waits for a close before leaving it to the output's thread.
constexpr auto kCloseWait = 50ms;
// The device number the game's own PipeWire stream goes by (SDL's are small numbers).
constexpr uint32_t kOwnPipeWire = UINT32_MAX;

// Output's thread. Whether the game may play through PipeWire itself: unless the player
// named SDL's drivers, when those are what is heard.
bool OwnPipeWireAllowed() {
  const char* named = std::getenv("SDL_AUDIODRIVER");
  return !named || !*named;
}

// Audio thread.
void PullMixer(void* mixer, Uint8* stream, int len) {
  static_cast<Mixer*>(mixer)->mix(
      std::span<float>(reinterpret_cast<float*>(stream), static_cast<size_t>(len) / sizeof(float)));
}

// Output's thread. True when thread `tid` already runs at real-time priority.
bool RealTime(pid_t tid) {
  const int policy = sched_getscheduler(tid) & ~SCHED_RESET_ON_FORK;
  return policy == SCHED_FIFO || policy == SCHED_RR;
}

// Output's thread. Thread `tid` at real-time priority as far as this user may have it:
// set directly where the system lets the game (root, or a real-time allowance such as an
// audio group's rtprio limit), else asked of the desktop's real-time service (rtkit) on the
// system bus as desktop programs ask it. SDL's request keeps within the service's limits:
// its highest priority, and the process's limit on processor time at real-time priority
// (RLIMIT_RTTIME) set as the service demands. Where nothing grants it, a higher nice level.
void RaiseThread(pid_t tid) {
  if (RealTime(tid)) return;
  sched_param param{};
  param.sched_priority = 70;  // below the sound server's own threads
  if (sched_setscheduler(tid, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0) return;
  rlimit allowed{};
  if (getrlimit(RLIMIT_RTPRIO, &allowed) == 0 && allowed.rlim_cur > 0) {
    param.sched_priority = static_cast<int>(std::min<rlim_t>(allowed.rlim_cur, 70));
    if (sched_setscheduler(tid, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0) return;
  }
  if (SDL_LinuxSetThreadPriorityAndPolicy(tid, SDL_THREAD_PRIORITY_TIME_CRITICAL, SCHED_RR) == 0 &&
      RealTime(tid)) {
    return;
  }
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), -11);
}

// Output's thread. The thread that pulls the mixer: SDL's own audio thread, which SDL asks
// real time for itself (its hint, set at start), or, with SDL's pipewire driver, the PipeWire
// loop that talks to the server and runs the callback, which nobody raises but the game (both
// are named SDLAudioP); or, through the game's own PipeWire stream, PipeWire's data thread,
// named palomir-mix once it runs.
void RaiseAudioThreads() {
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return;
  while (dirent* e = readdir(tasks)) {
    const std::string task = e->d_name;
    if (task.empty() || task[0] == '.') continue;
    char name[32] = {};
    if (FILE* f = std::fopen(("/proc/self/task/" + task + "/comm").c_str(), "r")) {
      if (!std::fgets(name, sizeof(name), f)) name[0] = 0;
      std::fclose(f);
    }
    if (std::strncmp(name, "SDLAudioP", 9) != 0 && std::strncmp(name, "palomir-mix", 11) != 0) continue;
    RaiseThread(static_cast<pid_t>(std::stol(task)));
  }
  closedir(tasks);
}

}  // namespace

struct AudioOutput::State {
  enum class Job { kNone, kOpen, kReopen, kClose };

  std::shared_ptr<Mixer> mixer;
  std::mutex lock;
  std::condition_variable wake;  // work for the thread
  std::condition_variable done;  // a job finished, or the thread ended
  Job job = Job::kNone;
  bool busy = false;
  bool quit = false;
  bool ended = false;
  bool reopened = false;  // back after a loss, not yet said
  int frames = 480;
  uint32_t device = 0;  // thread-owned; read by the game thread under the lock
  std::unique_ptr<PipeWireOutput> own;  // the game's own stream, when it plays (under the lock)
  std::atomic<bool> stopping{false};  // quit, or another job: an open under way gives up
  // The output's thread. The last output opened was the game's own PipeWire stream: while
  // that server restarts, the card it holds may look free to ALSA, and taking it would keep
  // the server from the speakers when it is back; so only PipeWire is tried again.
  bool was_own = false;
  std::string error;
  uint64_t finished = 0;
  std::atomic<int> period{0};
  std::atomic<bool> running{false};
  std::thread thread;

  // The output's thread. `others`: whether SDL's drivers may be tried when there is no
  // PipeWire server.
  uint32_t OpenOnce(std::string& why, bool others = true) {
    if (OwnPipeWireAllowed()) {
      bool no_server = false;
      if (auto out = PipeWireOutput::Open(mixer, frames, stopping, no_server, why)) {
        {
          std::lock_guard g(lock);
          own = std::move(out);
        }
        period = frames;
        running = true;
        was_own = true;
        RaiseAudioThreads();
        return kOwnPipeWire;
      }
      // A PipeWire server that fails the game would fail SDL's drivers as well; without one,
      // PulseAudio or ALSA may still be there.
      if (!no_server || !others) return 0;
      why.clear();
    }
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
      why = SDL_GetError();
      return 0;
    }
    SDL_AudioSpec want{};
    SDL_AudioSpec have{};
    want.freq = Mixer::kRate;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = static_cast<Uint16>(frames);
    // SDL's file and silent outputs keep time by sleeping whole milliseconds per period:
    // 10 ms periods keep them in step with the clock (5.3 would run as 5).
    const char* driver = SDL_GetCurrentAudioDriver();
    if (driver && (std::strcmp(driver, "disk") == 0 || std::strcmp(driver, "dummy") == 0)) {
      want.samples = static_cast<Uint16>(Mixer::kRate / 100);
    }
    want.callback = PullMixer;
    want.userdata = mixer.get();
    // Nothing may change: where the device wants another rate, format or period, SDL
    // converts and buffers behind the callback, which always mixes whole periods.
    const SDL_AudioDeviceID id = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (id == 0) {
      why = SDL_GetError();
      SDL_QuitSubSystem(SDL_INIT_AUDIO);
      return 0;
    }
    period = have.samples;
    running = true;
    was_own = false;
    SDL_PauseAudioDevice(id, 0);
    RaiseAudioThreads();
    return id;
  }

  // The output's thread. Once the device is closed nothing pulls the mixer.
  void CloseDevice() {
    uint32_t id;
    {
      std::lock_guard g(lock);
      id = device;
    }
    if (!id) return;
    if (id == kOwnPipeWire) {
      std::unique_ptr<PipeWireOutput> out;
      {
        std::lock_guard g(lock);
        out = std::move(own);
      }
      out.reset();
      running = false;
      period = 0;
      std::lock_guard g(lock);
      device = 0;
      return;
    }
    SDL_CloseAudioDevice(id);
    running = false;
    period = 0;
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    std::lock_guard g(lock);
    device = 0;
  }

  // The output's thread: takes jobs until told to quit. It owns its state, so that a
  // thread left stuck in the sound library never reaches anything freed.
  static void Run(std::shared_ptr<State> s) {
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
        const uint32_t id = s->OpenOnce(why);
        l.lock();
        s->device = id;
        s->error = why;
      } else if (job == Job::kClose) {
        s->CloseDevice();
        l.lock();
        s->reopened = false;  // a reopen that ended just before: nothing to say now
      } else {
        s->CloseDevice();
        for (;;) {
          std::string why;
          const uint32_t id = s->OpenOnce(why, !s->was_own);
          l.lock();
          if (id) {
            s->device = id;
            s->reopened = true;
            break;
          }
          // Quietly, until a server answers or the game no longer wants the output.
          if (s->wake.wait_for(l, kRetry, [&] { return s->quit || s->job != Job::kNone; })) break;
          l.unlock();
        }
      }
      s->busy = false;
      ++s->finished;
      s->done.notify_all();
    }
    l.unlock();
    s->CloseDevice();
    // SDL keeps an error buffer for every thread that calls it, and frees it only for
    // threads it made itself.
    SDL_TLSCleanup();
    l.lock();
    s->ended = true;
    s->done.notify_all();
  }
};

AudioOutput::AudioOutput(std::shared_ptr<Mixer> mixer) : state_(std::make_shared<State>()) {
  state_->mixer = std::move(mixer);
  state_->thread = std::thread(State::Run, state_);
}

AudioOutput::~AudioOutput() {
  Shutdown();
}

void AudioOutput::Shutdown() {
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
  // Stuck inside the sound library: it ends with the process.
  abandoned_ = true;
  state_->thread.detach();
}

Status AudioOutput::Open(int frames, std::chrono::milliseconds deadline,
                         const std::function<void()>& idle) {
  State& s = *state_;
  uint64_t target;
  {
    std::lock_guard g(s.lock);
    if (abandoned_ || s.device || s.busy) return Status::Fail("the sound output is in use");
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
        if (!s.device) return Status::Fail(s.error);
        lost_ = false;
        last_blocks_ = s.mixer->blocks_begun();
        last_change_ = last_watch_ = Clock::now();
        return Status::Ok();
      }
    }
    if (Clock::now() >= end) break;
    if (idle) idle();
  }
  // Whatever holds it may never let go. The output's thread stays behind, and takes the
  // device down itself should the open ever end.
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

void AudioOutput::Close() {
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

void AudioOutput::Removed(uint32_t device) {
  std::lock_guard g(state_->lock);
  if (device != 0 && device == state_->device) removed_ = true;
}

void AudioOutput::Watch() {
  if (abandoned_) return;
  State& s = *state_;
  const auto now = Clock::now();
  // A game thread that did not run for a while (the machine busy, the process stopped) has
  // not seen the callbacks that ran meanwhile: the count starts again.
  if (now - last_watch_ > 500ms) last_change_ = now;
  last_watch_ = now;
  bool back = false;
  bool lost = false;
  {
    std::lock_guard g(s.lock);
    if (s.reopened) {
      s.reopened = false;
      lost_ = false;
      back = true;
      last_change_ = now;
      last_blocks_ = s.mixer->blocks_begun();
    } else if (!lost_ && !s.busy && s.job == State::Job::kNone && s.device) {
      const uint64_t blocks = s.mixer->blocks_begun();
      if (blocks != last_blocks_) {
        last_blocks_ = blocks;
        last_change_ = now;
      }
      if (removed_ || (s.own && s.own->failed()) || now - last_change_ > kStalled) {
        removed_ = false;
        lost_ = lost = true;
        s.job = State::Job::kReopen;
        s.wake.notify_all();
      }
    }
  }
  if (lost) {
    std::fprintf(stderr,
                 "palomir: the sound output was lost; the game goes on and is heard again as soon "
                 "as a sound server answers\n");
  }
  if (back) std::fprintf(stderr, "palomir: the sound output is back\n");
}

bool AudioOutput::running() const {
  return state_->running.load();
}

int AudioOutput::period() const {
  return state_->period.load();
}

}  // namespace palomir
