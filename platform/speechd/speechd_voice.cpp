#include "platform/speechd/speechd_voice.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <iterator>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "language/tr.h"
#include "platform/speech_queue.h"
#include "platform/speechd/ssip.h"
#include "platform/voice_core.h"

extern char** environ;

namespace palomir {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A server that takes longer than this to answer anything has failed.
constexpr auto kAnswer = 2s;
// A line it took and never began: it is busy elsewhere or its synthesizer died.
constexpr auto kBegin = 10s;

struct Failed {
  std::string why;
};

std::string Errno(int e) {
  return std::strerror(e);
}

// Where speech-dispatcher listens, as its own library finds it.
struct Address {
  std::string path;  // a local socket
  sockaddr_in inet{};
  bool is_inet = false;
  bool may_start = false;  // the usual place: the server may be started there
  std::string bad;
};

Address FindAddress() {
  Address a;
  const char* given = std::getenv("SPEECHD_ADDRESS");
  std::string s = given ? given : "";
  auto default_path = [] {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string base;
    if (runtime && *runtime) {
      base = runtime;
    } else if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache) {
      base = cache;
    } else {
      const char* home = std::getenv("HOME");
      base = std::string(home ? home : "") + "/.cache";
    }
    return base + "/speech-dispatcher/speechd.sock";
  };
  if (s.empty() || s == "unix_socket") {
    a.path = default_path();
    a.may_start = s.empty();
  } else if (s.rfind("unix_socket:", 0) == 0) {
    a.path = s.substr(12);
  } else if (s.rfind("inet_socket:", 0) == 0) {
    std::string host = s.substr(12);
    int port = 6560;
    if (const auto colon = host.rfind(':'); colon != std::string::npos) {
      port = std::atoi(host.c_str() + colon + 1);
      host.resize(colon);
    }
    if (host.empty() || host == "localhost") host = "127.0.0.1";
    a.is_inet = true;
    a.inet.sin_family = AF_INET;
    a.inet.sin_port = htons(static_cast<uint16_t>(port));
    // Numbers only: looking a name up can take as long as the network likes.
    if (port <= 0 || port > 65535 || inet_pton(AF_INET, host.c_str(), &a.inet.sin_addr) != 1) {
      a.bad = "SPEECHD_ADDRESS " + s + " names no address the game can reach without a lookup";
    }
  } else {
    a.bad = "SPEECHD_ADDRESS " + s + " is not an address speech-dispatcher gives";
  }
  if (!a.is_inet && a.bad.empty() && a.path.size() >= sizeof(sockaddr_un{}.sun_path)) {
    a.bad = "the socket path " + a.path + " is too long";
  }
  return a;
}

// speech-dispatcher as a backend of the voice core: one line at a time, from SPEAK to the
// server's word that it has ended.
class SpeechdBackend final : public VoiceBackend {
 public:
  SpeechdBackend(std::shared_ptr<VoiceLevels> levels, std::string language)
      : levels_(std::move(levels)), language_(std::move(language)) {
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  ~SpeechdBackend() override {
    // What the game still had to say goes with it.
    if (fd_ >= 0) {
      const char bye[] = "CANCEL SELF\r\nQUIT\r\n";
      (void)send(fd_, bye, sizeof(bye) - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      close(fd_);
    }
    if (wake_ >= 0) close(wake_);
  }

  Status Open(const std::atomic<bool>& stop) override {
    stop_ = &stop;
    try {
      OpenLink();
      return Status::Ok();
    } catch (const Stopped&) {
      return Status::Ok();  // the game is closing; nothing more is asked
    } catch (const Failed& f) {
      return Lost(f);
    }
  }

  Status Say(const std::string& text, const std::atomic<bool>& cut) override {
    stop_ = &cut;
    try {
      SayLine(text);
      return Status::Ok();
    } catch (const Stopped&) {
      // Stopped where the player hears it; its end or cancel is looked at, not waited for.
      Cancel();
      return Status::Ok();
    } catch (const Failed& f) {
      // Given up on: the server must not say it after the game's own voice has.
      Cancel();
      return Lost(f);
    }
  }

  Status Idle() override {
    // Still listening, so that a server that hangs up is noticed now.
    try {
      pollfd fds[2] = {{wake_, POLLIN, 0}, {fd_, POLLIN, 0}};
      if (poll(fds, fd_ >= 0 ? 2 : 1, 1000) > 0) {
        if (fds[0].revents & POLLIN) {
          eventfd_t v;
          (void)eventfd_read(wake_, &v);
        }
        if (fd_ >= 0 && fds[1].revents) {
          ReadSome();
          SsipReply r;
          while (Pending(r)) {
            if (!r.event()) throw Failed{"it answered " + std::to_string(r.code) + " unasked"};
          }
        }
      }
      return Status::Ok();
    } catch (const Failed& f) {
      return Lost(f);
    }
  }

  void Wake() override {
    if (wake_ >= 0) (void)eventfd_write(wake_, 1);
  }

 private:
  struct Stopped {};

  Status Lost(const Failed& f) const {
    return Status::Fail(Fill(answered_ ? Tr("speech-dispatcher stopped working (%s)")
                                       : Tr("speech-dispatcher could not be reached (%s)"),
                             f.why));
  }

  void Cancel() {
    if (fd_ < 0) return;
    const char cancel[] = "CANCEL SELF\r\n";
    const ssize_t n = send(fd_, cancel, sizeof(cancel) - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    // Its answer comes before the answer to anything sent later, and is read there.
    if (n == static_cast<ssize_t>(sizeof(cancel) - 1)) ++cancels_unread_;
  }

  void CheckStop() const {
    if (stop_ && stop_->load()) throw Stopped{};
  }

  // Waits until the socket is ready for `events` or the game wakes the thread; throws
  // Stopped or, past `deadline`, Failed.
  void Await(short events, Clock::time_point deadline,
             const char* late = "it did not answer for 2 seconds") {
    for (;;) {
      CheckStop();
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) throw Failed{late};
      pollfd fds[2] = {{fd_, events, 0}, {wake_, POLLIN, 0}};
      const int n = poll(fds, 2, static_cast<int>(std::min<int64_t>(left.count() + 1, 1000)));
      if (n < 0 && errno != EINTR) throw Failed{"poll: " + Errno(errno)};
      if (n > 0 && (fds[1].revents & POLLIN)) {
        eventfd_t v;
        (void)eventfd_read(wake_, &v);
      }
      if (n > 0 && fds[0].revents) return;
    }
  }

  // Waits `ms` unless the game wakes the thread first.
  void Nap(int ms) {
    CheckStop();
    pollfd fd{wake_, POLLIN, 0};
    if (poll(&fd, 1, ms) > 0) {
      eventfd_t v;
      (void)eventfd_read(wake_, &v);
    }
    CheckStop();
  }

  void Send(const std::string& text) {
    const auto deadline = Clock::now() + kAnswer;
    size_t at = 0;
    while (at < text.size()) {
      // Never SIGPIPE: a server that hung up is a failure like any other.
      const ssize_t n = send(fd_, text.data() + at, text.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        at += static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        Await(POLLOUT, deadline);
      } else {
        throw Failed{"it hung up: " + Errno(n < 0 ? errno : EPIPE)};
      }
    }
  }

  // Reads what the server sent; throws when it hung up or sent what is not its protocol.
  void ReadSome() {
    char buffer[4096];
    const ssize_t n = recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n == 0) throw Failed{"it hung up"};
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      throw Failed{"it hung up: " + Errno(errno)};
    }
    if (!reader_.Feed(std::string_view(buffer, static_cast<size_t>(n)))) {
      throw Failed{"it answered with " + reader_.error()};
    }
  }

  // The next answer or event, within the deadline.
  SsipReply Next(Clock::time_point deadline, const char* late = "it did not answer for 2 seconds") {
    SsipReply r;
    while (!Pending(r)) {
      Await(POLLIN, deadline, late);
      ReadSome();
    }
    answered_ = true;
    return r;
  }

  // The next answer or event read so far, past the answers to earlier CANCELs (whatever they
  // say: the line each stopped is over).
  bool Pending(SsipReply& r) {
    while (reader_.Next(r)) {
      if (r.event() || cancels_unread_ == 0) return true;
      --cancels_unread_;
    }
    return false;
  }

  // The answer to a command (`want`, or any success for 0): events that come first are looked at,
  // not waited for.
  SsipReply Answer(int want) {
    const auto deadline = Clock::now() + kAnswer;
    for (;;) {
      SsipReply r = Next(deadline);
      if (r.event()) continue;
      if (want ? r.code != want : !r.ok()) {
        throw Failed{"it answered " + std::to_string(r.code) + " " + r.text};
      }
      return r;
    }
  }

  void Command(const std::string& line, int want) {
    Send(line + "\r\n");
    (void)Answer(want);
  }

  void Connect(const Address& a) {
    fd_ = socket(a.is_inet ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw Failed{"socket: " + Errno(errno)};
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    std::memcpy(local.sun_path, a.path.c_str(),
                std::min(a.path.size(), sizeof(local.sun_path) - 1));
    const sockaddr* to = a.is_inet ? reinterpret_cast<const sockaddr*>(&a.inet)
                                   : reinterpret_cast<const sockaddr*>(&local);
    const socklen_t size = a.is_inet ? sizeof(a.inet) : sizeof(local);
    const auto deadline = Clock::now() + kAnswer;
    for (;;) {
      if (connect(fd_, to, size) == 0) return;
      const int e = errno;
      if (e == EINTR) continue;
      // A local socket whose queue of callers is full: the server is busy accepting; the
      // call is made again until the 2 seconds are up.
      if (e == EAGAIN && !a.is_inet) {
        if (Clock::now() >= deadline) {
          throw Failed{a.path + ": it took no new caller for 2 seconds"};
        }
        Nap(20);
        continue;
      }
      if (e != EINPROGRESS) {
        close(fd_);
        fd_ = -1;
        throw Failed{(a.is_inet ? std::string("its address") : a.path) + ": " + Errno(e)};
      }
      break;
    }
    Await(POLLOUT, deadline);
    int error = 0;
    socklen_t len = sizeof(error);
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len);
    if (error != 0) throw Failed{"connect: " + Errno(error)};
  }

  // As speech-dispatcher's own library does: where nobody listens at the usual place, the
  // server is started (it puts itself in the background). Waited for, at most a few seconds.
  void StartServer(const Address& a) {
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    for (int fd = 0; fd <= 2; ++fd)
      posix_spawn_file_actions_addopen(&files, fd, "/dev/null", O_RDWR, 0);
    std::string path = a.path;
    const char* argv[] = {
        "speech-dispatcher", "--spawn", "--communication-method", "unix_socket", "--socket-path",
        path.c_str(),        nullptr};
    pid_t pid = 0;
    const int r = posix_spawnp(&pid, "speech-dispatcher", &files, nullptr,
                               const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&files);
    if (r != 0) return;
    const auto end = Clock::now() + 5s;
    while (Clock::now() < end) {
      if (waitpid(pid, nullptr, WNOHANG) != 0) return;
      Nap(20);
    }
  }

  void OpenLink() {
    const Address a = FindAddress();
    if (!a.bad.empty()) throw Failed{a.bad};
    try {
      Connect(a);
    } catch (const Failed&) {
      if (!a.may_start) throw;
      if (fd_ >= 0) close(fd_);
      fd_ = -1;
      StartServer(a);
      Connect(a);
    }
    const char* user = std::getenv("USER");
    std::string who = user && *user ? user : "unknown";
    for (char& c : who) {
      if (c == '"' || c == ':' || c == '\r' || c == '\n' || c == ' ') c = '_';
    }
    Command("SET SELF CLIENT_NAME \"" + who + ":palomir:main\"", 0);
    // Queued behind earlier messages, never cut short by later ones.
    Command("SET SELF PRIORITY MESSAGE", 0);
    Command("SET SELF NOTIFICATION BEGIN on", 0);
    Command("SET SELF NOTIFICATION END on", 0);
    Command("SET SELF NOTIFICATION CANCEL on", 0);
    // The game's lines are in the player's language: the server's voice for it reads them.
    if (!language_.empty()) Command("SET SELF LANGUAGE " + language_, 0);
  }

  // One line, from SPEAK to the server's word that it has ended (or was cancelled).
  void SayLine(const std::string& text) {
    double pace = 1;
    if (levels_) {
      // speech-dispatcher's -100..100: 0 is its usual rate, 100 its loudest.
      const int rate = levels_->rate.load();
      pace = static_cast<double>(VoiceLevels::kUsualRate) / std::max(1, rate);
      if (rate != sent_rate_) {
        const int r = rate >= VoiceLevels::kUsualRate ? (rate - VoiceLevels::kUsualRate) * 100 / 275
                                                      : (rate - VoiceLevels::kUsualRate);
        Command("SET SELF RATE " + std::to_string(std::clamp(r, -100, 100)), 0);
        sent_rate_ = rate;
      }
      const int db = levels_->volume_db.load();
      if (db != sent_volume_) {
        Command("SET SELF VOLUME " + std::to_string(SpeechdVolume(db)), 0);
        sent_volume_ = db;
      }
    }
    CheckStop();
    Command("SPEAK", 230);
    Send(SsipText(text) + "\r\n.\r\n");
    const SsipReply queued = Answer(225);
    const std::string id = queued.data.empty() ? "" : queued.data[0];
    // Until the line begins, the server may be starting its synthesizer or finishing
    // another program's message; from then on the line takes about its length.
    auto deadline = Clock::now() + kBegin;
    const char* late = "it took a line and never began it";
    for (;;) {
      const SsipReply r = Next(deadline, late);
      if (!r.event()) throw Failed{"it answered " + std::to_string(r.code) + " unasked"};
      if (r.data.empty() || r.data[0] != id) continue;
      if (r.code == 701) {
        const auto seconds =
            std::chrono::duration<double>(2.0 + 3 * SpeechQueue::Length(text) * pace);
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(seconds);
        late = "it began a line and never said it was done";
      }
      if (r.code == 702 || r.code == 703) return;
    }
  }

  const std::atomic<bool>* stop_ = nullptr;
  int wake_ = -1;
  int fd_ = -1;  // the voice thread's own
  SsipReader reader_;
  bool answered_ = false;
  int cancels_unread_ = 0;  // CANCELs sent whose answer is still to be read
  std::shared_ptr<VoiceLevels> levels_;
  std::string language_;  // as speech-dispatcher names it ("pt-br"); empty: the server's own
  int sent_rate_ = VoiceLevels::kUsualRate;  // the voice thread only
  int sent_volume_ = 0;
};

}  // namespace

int SpeechdVolume(int db) {
  // speech-dispatcher's volume is not a loudness: its espeak-ng module makes it an amplitude
  // (volume + 100), and near the top, where the voice already reaches full scale, a step of
  // it is heard as a fraction of a decibel. Measured at a null sink (the welcome and four
  // numbers, the mean power of the 50-ms windows within 20 dB of the loudest) against the
  // usual level, 100: the volume for 0, -3, ... -30 dB.
  static constexpr int kVolumeAt[] = {100, 31, -11, -35, -55, -67, -76, -83, -87, -90, -92};
  constexpr int kSteps = static_cast<int>(std::size(kVolumeAt)) - 1;
  const double step = std::clamp(-db / 3.0, 0.0, static_cast<double>(kSteps));
  const int below = std::min(static_cast<int>(step), kSteps - 1);
  const double v = kVolumeAt[below] + (kVolumeAt[below + 1] - kVolumeAt[below]) * (step - below);
  return static_cast<int>(std::lround(v));
}

std::unique_ptr<Voice> CreateSpeechdVoice(SpeechdSetup setup) {
  VoiceCoreSetup core;
  core.while_waiting = std::move(setup.while_waiting);
  core.levels = setup.levels;
  core.fallback = std::move(setup.own_voice);
  core.tell = std::move(setup.tell);
  core.poll = std::move(setup.poll);
  return CreateVoiceCore(std::make_unique<SpeechdBackend>(setup.levels, setup.language), std::move(core));
}

}  // namespace palomir
