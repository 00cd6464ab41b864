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

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/speech_queue.h"
#include "platform/speechd/ssip.h"

extern char** environ;

namespace palomir {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A server that takes longer than this to answer anything has failed.
constexpr auto kAnswer = 2s;

struct Failed {
  std::string why;
};
struct Quitting {};

double Seconds() {
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

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

// The connection to speech-dispatcher and the thread that speaks over it.
class Link {
 public:
  Link(std::shared_ptr<VoiceLevels> levels, std::string language)
      : levels_(std::move(levels)), language_(std::move(language)) {
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
  }
  ~Link() { Stop(); }

  // Game thread. Queues a line; returns its number.
  uint64_t Push(const std::string& text, bool wait) {
    uint64_t id;
    {
      std::lock_guard g(lock_);
      id = ++queued_;
      queue_.Push({id, text, wait, Seconds(), 0});
    }
    Wake();
    return id;
  }
  // Game thread. Waits a little for a change; true once line `id` has been said.
  bool WaitEnded(uint64_t id) {
    std::unique_lock l(lock_);
    return changed_.wait_for(l, 5ms, [&] { return ended_ >= id || failed_; }) && ended_ >= id;
  }
  bool failed() {
    std::lock_guard g(lock_);
    return failed_;
  }
  std::string why() {
    std::lock_guard g(lock_);
    return why_;
  }
  bool answered() {
    std::lock_guard g(lock_);
    return answered_;
  }
  // Game thread. Ends the thread (at once: it never blocks but in poll) and returns the
  // lines not yet said, the one being said first.
  std::deque<QueuedLine> Stop() {
    {
      std::lock_guard g(lock_);
      quit_ = true;
    }
    Wake();
    if (thread_.joinable()) thread_.join();
    if (wake_ >= 0) close(wake_);
    wake_ = -1;
    std::lock_guard g(lock_);
    std::deque<QueuedLine> left = queue_.TakeAll();
    if (in_flight_) left.push_front(*std::exchange(in_flight_, std::nullopt));
    return left;
  }

 private:
  void Wake() {
    if (wake_ >= 0) (void)eventfd_write(wake_, 1);
  }

  // Waits until the socket is ready for `events` or the game wakes the thread; throws
  // Quitting or, past `deadline`, Failed.
  void Await(short events, Clock::time_point deadline,
             const char* late = "it did not answer for 2 seconds") {
    for (;;) {
      {
        std::lock_guard g(lock_);
        if (quit_) throw Quitting{};
      }
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
    while (!reader_.Next(r)) {
      Await(POLLIN, deadline, late);
      ReadSome();
    }
    std::lock_guard g(lock_);
    answered_ = true;
    return r;
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
    if (connect(fd_, to, size) == 0) return;
    if (errno != EINPROGRESS && errno != EAGAIN) {
      const int e = errno;
      close(fd_);
      fd_ = -1;
      throw Failed{(a.is_inet ? std::string("its address") : a.path) + ": " + Errno(e)};
    }
    Await(POLLOUT, Clock::now() + kAnswer);
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
      {
        std::lock_guard g(lock_);
        if (quit_) throw Quitting{};
      }
      std::this_thread::sleep_for(20ms);
    }
  }

  void Open() {
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
    Command("SET SELF NOTIFICATION END on", 0);
    Command("SET SELF NOTIFICATION CANCEL on", 0);
    // The game's lines are in the player's language: the server's voice for it reads them.
    if (!language_.empty()) Command("SET SELF LANGUAGE " + language_, 0);
  }

  // One line, from SPEAK to the server's word that it has ended (or was cancelled).
  void Say(const QueuedLine& line) {
    if (levels_) {
      // speech-dispatcher's -100..100: 0 is its usual rate, 100 its loudest.
      const int rate = levels_->rate.load();
      if (rate != sent_rate_) {
        const int r = rate >= VoiceLevels::kUsualRate ? (rate - VoiceLevels::kUsualRate) * 100 / 275
                                                      : (rate - VoiceLevels::kUsualRate);
        Command("SET SELF RATE " + std::to_string(std::clamp(r, -100, 100)), 0);
        sent_rate_ = rate;
      }
      const int db = levels_->volume_db.load();
      if (db != sent_volume_) {
        Command("SET SELF VOLUME " + std::to_string(std::clamp(100 + db * 200 / 30, -100, 100)),
                0);
        sent_volume_ = db;
      }
    }
    Command("SPEAK", 230);
    Send(SsipText(line.text) + "\r\n.\r\n");
    const SsipReply queued = Answer(225);
    const std::string id = queued.data.empty() ? "" : queued.data[0];
    const auto seconds = std::chrono::duration<double>(2.0 + 3 * SpeechQueue::Length(line.text));
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(seconds);
    for (;;) {
      const SsipReply r = Next(deadline, "it took a line and never said it was done");
      if (!r.event()) throw Failed{"it answered " + std::to_string(r.code) + " unasked"};
      if ((r.code == 702 || r.code == 703) && !r.data.empty() && r.data[0] == id) return;
    }
  }

  void Run() {
    try {
      Open();
      for (;;) {
        QueuedLine line;
        for (;;) {
          {
            std::lock_guard g(lock_);
            if (quit_) throw Quitting{};
            if (queue_.Pop(line)) {
              in_flight_ = line;
              break;
            }
          }
          // Idle: still listening, so that a server that hangs up is noticed now.
          pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
          if (poll(fds, 2, 1000) > 0) {
            if (fds[1].revents & POLLIN) {
              eventfd_t v;
              (void)eventfd_read(wake_, &v);
            }
            if (fds[0].revents) {
              ReadSome();
              SsipReply r;
              while (reader_.Next(r)) {
                if (!r.event()) throw Failed{"it answered " + std::to_string(r.code) + " unasked"};
              }
            }
          }
        }
        Say(line);
        {
          std::lock_guard g(lock_);
          ended_ = line.id;
          in_flight_.reset();
        }
        changed_.notify_all();
      }
    } catch (const Quitting&) {
      // What the game still had to say goes with it.
      if (fd_ >= 0) {
        const char bye[] = "CANCEL SELF\r\nQUIT\r\n";
        (void)send(fd_, bye, sizeof(bye) - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      }
    } catch (const Failed& f) {
      std::lock_guard g(lock_);
      failed_ = true;
      why_ = f.why;
    }
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    changed_.notify_all();
  }

  std::thread thread_;
  int wake_ = -1;
  int fd_ = -1;  // the thread's own
  SsipReader reader_;

  std::mutex lock_;
  std::condition_variable changed_;
  SpeechQueue queue_;
  std::optional<QueuedLine> in_flight_;
  uint64_t queued_ = 0;
  uint64_t ended_ = 0;
  bool quit_ = false;
  bool failed_ = false;
  bool answered_ = false;
  std::string why_;
  std::shared_ptr<VoiceLevels> levels_;
  std::string language_;  // as speech-dispatcher names it ("pt-br"); empty: the server's own
  int sent_rate_ = VoiceLevels::kUsualRate;  // the speaking thread only
  int sent_volume_ = 0;
};

class SpeechdVoice final : public Voice {
 public:
  explicit SpeechdVoice(SpeechdSetup setup) : setup_(std::move(setup)) {
    if (setup_.poll) {
      *setup_.poll = [this] {
        if (!taken_over_ && link_.failed()) TakeOver();
      };
    }
  }

  ~SpeechdVoice() override {
    if (setup_.poll) *setup_.poll = nullptr;
    link_.Stop();
  }

  Status Speak(const std::string& text, int32_t flags) override {
    if (flags != kSpeakWait && flags != kSpeakAsync) {
      return Status::Fail("Speak: unknown flags " + std::to_string(flags));
    }
    if (!taken_over_ && !link_.failed()) {
      const uint64_t id = link_.Push(text, flags == kSpeakWait);
      if (flags == kSpeakAsync) return Status::Ok();
      while (!link_.WaitEnded(id)) {
        if (link_.failed()) {
          TakeOver();  // says this line too, and waits for it
          return Status::Ok();
        }
        if (setup_.while_waiting) setup_.while_waiting();
      }
      return Status::Ok();
    }
    TakeOver();
    return own_ ? own_->Speak(text, flags) : Status::Ok();
  }

 private:
  // Game thread: speech-dispatcher failed. Said once; the game's own voice says whatever
  // was not said yet, and everything after.
  void TakeOver() {
    if (taken_over_) return;
    taken_over_ = true;
    const bool answered = link_.answered();
    const std::string why = link_.why();
    std::deque<QueuedLine> left = link_.Stop();
    std::fprintf(stderr, "palomir: speech-dispatcher %s (%s); using the game's own voice\n",
                 answered ? "stopped working" : "could not be reached", why.c_str());
    const Status s = setup_.own_voice ? setup_.own_voice(own_) : Status::Fail("none");
    if (!s.ok()) {
      own_.reset();
      std::fprintf(stderr,
                   "palomir: the game's own voice could not be started either (%s); "
                   "the game plays without speech\n",
                   s.reason().c_str());
      return;
    }
    for (const QueuedLine& line : left) {
      (void)own_->Speak(line.text, line.wait ? kSpeakWait : kSpeakAsync);
    }
  }

  SpeechdSetup setup_;
  Link link_{setup_.levels, setup_.language};
  std::unique_ptr<Voice> own_;
  bool taken_over_ = false;
};

}  // namespace

std::unique_ptr<Voice> CreateSpeechdVoice(SpeechdSetup setup) {
  return std::make_unique<SpeechdVoice>(std::move(setup));
}

}  // namespace palomir
