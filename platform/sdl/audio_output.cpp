#include "platform/sdl/audio_output.h"

#include "language/tr.h"

#include "platform/pipewire/pipewire_output.h"

#include <SDL.h>
#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace palomir {

namespace {

using namespace std::chrono_literals;

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
// named palomir-mix once it runs. How many such threads there are.
int RaiseAudioThreads() {
  int found = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return 0;
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
    ++found;
  }
  closedir(tasks);
  return found;
}

// Output's thread. What a client finds at the local socket `path`, in a player's words;
// "" when a server answers there. The connection is closed at once (never waited on).
std::string AtSocket(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof(a.sun_path)) return Tr("the name is too long for a socket");
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::strerror(errno);
  const int r = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
  const int e = errno;
  close(fd);
  if (r == 0 || e == EAGAIN || e == EINPROGRESS) return "";
  switch (e) {
    case ENOENT:
    case ENOTDIR:
      return Tr("nothing there");
    case ECONNREFUSED:
      return Tr("no server listens there any more");
    case EACCES:
    case EPERM:
      return Tr("this user may not use it (another user's, or a folder this user cannot enter)");
    default:
      return std::strerror(e);
  }
}

// Output's thread. The sockets SDL's PulseAudio driver (libpulse) tries: those PULSE_SERVER
// names, else the session's own; then the system-wide one. A server named by network address
// is listed as it is named, with nothing probed.
std::vector<std::string> PulseSockets() {
  std::vector<std::string> out;
  auto set = [](const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
  };
  if (const char* servers = set("PULSE_SERVER")) {
    std::string all = servers;
    for (size_t at = 0; at < all.size();) {
      const size_t end = std::min(all.find_first_of(" \t", at), all.size());
      std::string one = all.substr(at, end - at);
      at = end + 1;
      if (one.empty()) continue;
      if (one[0] == '{') one.erase(0, std::min(one.find('}') + 1, one.size()));  // {machine}
      if (one.rfind("unix:", 0) == 0) one.erase(0, 5);
      out.push_back(one);
    }
    return out;
  }
  if (const char* dir = set("PULSE_RUNTIME_PATH")) {
    out.push_back(std::string(dir) + "/native");
  } else if (const char* xdg = set("XDG_RUNTIME_DIR")) {
    out.push_back(std::string(xdg) + "/pulse/native");
  }
  out.push_back("/run/pulse/native");
  return out;
}

// Output's thread, once no way to the speakers worked and no driver was named: where PipeWire
// and PulseAudio were looked for and what is there, what the PipeWire server said when one
// answered (`pipewire`), and what SDL said of the sound card (`card`).
std::string NoServer(const std::string& pipewire, const std::string& card) {
  std::string s = Tr("no sound server answered:");
  bool first = true;
  auto place = [&](const char* server, const std::string& path, const std::string& found) {
    // TRANSLATORS: a sound server (PipeWire, PulseAudio), where it was looked for, and what
    // is there.
    s += (first ? " " : "; ") + Fill(Tr("%s at %s: %s"), server, path, found);
    first = false;
  };
  for (const std::string& path : PipeWireOutput::Sockets()) {
    const std::string found = AtSocket(path);
    place("PipeWire", path, found.empty() ? Fill(Tr("a server answered, but %s"), pipewire) : found);
  }
  for (const std::string& path : PulseSockets()) {
    if (path[0] != '/') {
      place("PulseAudio", Fill(Tr("%s (from PULSE_SERVER)"), path), Tr("no answer"));
      continue;
    }
    const std::string found = AtSocket(path);
    place("PulseAudio", path, found.empty() ? Tr("a server answered, but refused the game's sound") : found);
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) {
    // sudo, su and ssh without a login session leave out the folder a desktop's server
    // listens in; the usual one may still be there.
    const std::string usual = "/run/user/" + std::to_string(getuid());
    s += std::string("; ") + Tr("XDG_RUNTIME_DIR, the folder where your desktop's sound server "
                                "listens, is not set (sudo and su leave it out)");
    if (AtSocket(usual + "/pipewire-0").empty() || AtSocket(usual + "/pulse/native").empty()) {
      s += "; " + Fill(Tr("a server answers in %s: start the game with XDG_RUNTIME_DIR=%s"), usual, usual);
    } else {
      s += std::string(": ") + Tr("start the game from your desktop session, or with XDG_RUNTIME_DIR set "
                                  "to its folder");
    }
  }
  return s + "; " + Fill(Tr("and no sound card could be opened directly (%s)"), card);
}

}  // namespace

SdlOutputDriver::SdlOutputDriver() = default;
SdlOutputDriver::~SdlOutputDriver() = default;

int SdlOutputDriver::Open(const std::shared_ptr<Mixer>& mixer, int frames, bool again,
                          const std::atomic<bool>& cancel, std::string& why) {
  removed_ = false;
  // After the game's own PipeWire stream, only PipeWire is tried again: while that server
  // restarts, the card it holds may look free to ALSA, and taking it would keep the server
  // from the speakers when it is back. A lost output is tried again quietly, without
  // explaining where each server was looked for.
  const bool others = !(again && was_own_);
  const bool explain = !again;
  std::string pipewire;  // why the game's own stream did not play, when it was tried
  if (OwnPipeWireAllowed()) {
    bool no_server = false;
    if (auto out = PipeWireOutput::Open(mixer, frames, cancel, no_server, why)) {
      own_ = std::move(out);
      device_ = kOwnPipeWire;
      was_own_ = true;
      RaiseAudioThreads();
      return frames;
    }
    // A PipeWire server that fails the game would fail SDL's drivers as well; without one,
    // PulseAudio or ALSA may still be there.
    if (!no_server || !others) return 0;
    pipewire.swap(why);
  }
  // No driver named and none of the servers there: the player is told where each was
  // looked for, rather than what the last driver tried (ALSA) said of the card.
  auto failed = [&] {
    const char* driver = SDL_GetCurrentAudioDriver();
    why = SDL_GetError();
    if (explain && !pipewire.empty() && !(driver && std::strcmp(driver, "pulseaudio") == 0)) {
      why = NoServer(pipewire, why);
    }
  };
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
    failed();
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
    failed();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return 0;
  }
  device_ = id;
  was_own_ = false;
  SDL_PauseAudioDevice(id, 0);
  // SDL's audio thread names itself once it runs, which on a busy machine can be well after
  // the open returns: looked for until it has (half a second at most), or it would play on
  // at an ordinary priority.
  for (int i = 0; i < 50 && RaiseAudioThreads() == 0 && !cancel; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  return have.samples;
}

void SdlOutputDriver::Close() {
  const uint32_t id = device_.exchange(0);
  if (id == kOwnPipeWire) {
    own_.reset();
  } else if (id) {
    SDL_CloseAudioDevice(id);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
  }
}

void SdlOutputDriver::ThreadEnds() {
  // SDL keeps an error buffer for every thread that calls it, and frees it only for
  // threads it made itself.
  SDL_TLSCleanup();
}

bool SdlOutputDriver::Lost() const {
  if (removed_) return true;
  // The game's own stream is set and cleared on the output's thread, which is not closing
  // it while the core asks (the core asks only while no job is under way).
  return device_ == kOwnPipeWire && own_ && own_->failed();
}

void SdlOutputDriver::Removed(uint32_t device) {
  if (device != 0 && device == device_) removed_ = true;
}

}  // namespace palomir
